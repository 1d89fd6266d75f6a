#pragma once

#include "engine/Steps.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace qv::cli {

// The commands, steps and exit codes are the engine's.
using namespace engine;

struct Options {
    Command command = Command::None;
    QString file;              // the image file, or the job file for run
    // -d/--device, in order: a path, "all" for every attached programmer, or "board:0x..." for
    // the programmer whose handshake reports that board id.
    QStringList devices;
    std::optional<int> speed;  // row of the SWD speed box: 0 high, 1 medium, 2 low
    std::optional<bool> powerOff;  // --power-off / --no-power-off
    QString flashIni;  // empty: searched (see findFlashCatalogue)
    bool quiet = false;
    bool json = false;
    QString recordPath;  // --record DB; for records export and serials the positional argument
    bool allowBootUpdate = false;
    // --skip-unchanged: write only the blocks the board does not hold already (program-boot,
    // program-mcu, write-ui with a whole image, run).
    std::optional<bool> skipUnchanged;  // --skip-unchanged / --no-skip-unchanged
    std::optional<QString> addr;  // --addr (program-mcu), strict form
    QString exportFormat;         // "csv" or "jsonl" (records export)
    QString tag;                  // --tag: a free label stored with every row and result
};

struct ParsedCommandLine {
    bool ok = false;
    QString error;  // one line naming the option or argument at fault
    Options options;
};

// Reads the arguments after the program name. Nothing is checked on disk here.
ParsedCommandLine parseCommandLine(const QStringList& args);

// The board id of a device choice "board:0x0000000A" ("0x" and one to eight hex digits); none for
// anything else.
std::optional<uint32_t> boardIdChoice(const QString& choice);

// The --help text, with the subcommands, options and exit-code table.
QString usageText();

}  // namespace qv::cli
