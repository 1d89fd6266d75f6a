#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace qv::cli {

// The exit codes of qv310: one table for every subcommand.
enum ExitCode : int {
    kExitOk = 0,
    kExitBoardFailed = 1,     // write, verify or CRC check failed on the board
    kExitUsage = 2,           // bad command line
    kExitNoProgrammer = 3,    // no programmer attached, or the one named is not there
    kExitFileProblem = 4,     // missing, unreadable, malformed or refused file (or database)
    kExitProgrammerLost = 5,  // the programmer vanished or stopped answering
};

enum class Command {
    None,
    Help,
    List,
    Info,
    ProgramBoot,
    ProgramMcu,
    VerifyBoot,
    VerifyMcu,
    WriteUi,
    CheckUi,
    UpdateFirmware,
    UpdateBoot,
    Run,
    RecordsExport,
};

// The subcommand's name on the command line and in job files ("program-mcu"); empty for None.
QString commandName(Command command);
// The command of a name, or Command::None.
Command commandOfName(const QString& name);
// True for the subcommands that take an image file and run one operation on a board.
bool isOperation(Command command);

// One operation on one board, as a subcommand or a job step names it.
struct Step {
    Command command = Command::None;
    QString file;                             // as given; job steps: resolved against the job's folder
    QString addr = QStringLiteral("0xA000");  // McuCode Addr text (program-mcu)
    QString sha256;                           // expected digest, lower-case hex; empty: not pinned
};

struct Options {
    Command command = Command::None;
    QString file;              // the image file, or the job file for run
    QStringList devices;       // -d/--device, in order; "all" stands for every attached programmer
    std::optional<int> speed;  // row of the SWD speed box: 0 high, 1 medium, 2 low
    std::optional<bool> powerOff;
    QString flashIni;  // empty: Flash.ini in the current directory
    bool quiet = false;
    bool json = false;
    QString recordPath;  // --record DB; for records export also the positional argument
    bool allowBootUpdate = false;
    // --skip-unchanged: write only the blocks the board does not hold already (program-boot,
    // program-mcu, write-ui with a whole image, run).
    std::optional<bool> skipUnchanged;
    std::optional<QString> addr;  // --addr (program-mcu)
    QString exportFormat;         // "csv" or "jsonl" (records export)
};

struct ParsedCommandLine {
    bool ok = false;
    QString error;  // one line naming the option or argument at fault
    Options options;
};

// Reads the arguments after the program name. Nothing is checked on disk here.
ParsedCommandLine parseCommandLine(const QStringList& args);

// True for an McuCode address written as hexadecimal: optional 0x, one to eight hex digits.
bool isHexAddress(const QString& text);

// The --help text, with the subcommands, options and exit-code table.
QString usageText();

}  // namespace qv::cli
