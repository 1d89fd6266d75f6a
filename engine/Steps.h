#pragma once

#include "Serials.h"

#include <QString>

#include <optional>

namespace qv::engine {

// The exit codes of a board run, and of qv310: one table for every subcommand.
enum ExitCode : int {
    kExitOk = 0,
    kExitBoardFailed = 1,     // write, verify or CRC check failed on the board
    kExitUsage = 2,           // bad command line
    kExitNoProgrammer = 3,    // no programmer attached, or the one named is not there
    kExitFileProblem = 4,     // missing, unreadable, malformed or refused file (or database)
    kExitProgrammerLost = 5,  // the programmer vanished or stopped answering
    kExitInterrupted = 130,   // stopped by a signal (Ctrl-C) before the board was done
};

// What a run does: the operations on a board, and the subcommands of qv310 around them.
enum class Command {
    None,
    Help,
    Version,
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
    Station,
    RecordsExport,
    RecordsSync,
    RecordsYield,
    Serials,
};

// The command's name on the command line and in job files ("program-mcu"); empty for None.
QString commandName(Command command);
// The command of a name, or Command::None.
Command commandOfName(const QString& name);
// True for the commands that take an image file and run one operation on a board.
bool isOperation(Command command);
// True for the operations that replace the programmer's own firmware (it restarts afterwards).
bool updatesProgrammer(Command command);

// The McuCode address of a command line or a job file, read strictly: "0x" or "0X" and one to
// eight hexadecimal digits, inside the code flash (below 0x80000), on a 4096-byte block (the code
// is written from the start of its block). Anything else (no prefix, a sign, spaces, a ninth
// digit, an address at or past the end of the code flash, an address inside a block, which the
// window would round down) is refused, so that nothing is ever written where the text did not say.
bool isStrictCodeAddress(const QString& text);

// One operation on one board, as a subcommand or a job step names it.
struct Step {
    Command command = Command::None;
    QString file;                             // as given; job steps: resolved against the job's folder
    QString addr = QStringLiteral("0xA000");  // McuCode Addr text (program-mcu), strict form
    QString sha256;                           // expected digest, lower-case hex; empty: not pinned
    // A job step's per-board number, written into each board's copy of the image (program-mcu,
    // program-boot).
    std::optional<SerialField> serial;
};

}  // namespace qv::engine
