#include "CommandLine.h"

#include <QRegularExpression>

#include <utility>

namespace qv::cli {

namespace {

const std::pair<Command, const char*> kCommandNames[] = {
    {Command::Help, "help"},
    {Command::List, "list"},
    {Command::Info, "info"},
    {Command::ProgramBoot, "program-boot"},
    {Command::ProgramMcu, "program-mcu"},
    {Command::VerifyBoot, "verify-boot"},
    {Command::VerifyMcu, "verify-mcu"},
    {Command::WriteUi, "write-ui"},
    {Command::CheckUi, "check-ui"},
    {Command::UpdateFirmware, "update-firmware"},
    {Command::UpdateBoot, "update-boot"},
    {Command::Run, "run"},
};

bool takesFile(Command command) {
    return isOperation(command) || command == Command::Run;
}

}  // namespace

QString commandName(Command command) {
    if (command == Command::RecordsExport)
        return QStringLiteral("records export");
    for (const auto& entry : kCommandNames) {
        if (entry.first == command)
            return QString::fromLatin1(entry.second);
    }
    return QString();
}

Command commandOfName(const QString& name) {
    for (const auto& entry : kCommandNames) {
        if (name == QLatin1String(entry.second))
            return entry.first;
    }
    return Command::None;
}

bool isOperation(Command command) {
    switch (command) {
        case Command::ProgramBoot:
        case Command::ProgramMcu:
        case Command::VerifyBoot:
        case Command::VerifyMcu:
        case Command::WriteUi:
        case Command::CheckUi:
        case Command::UpdateFirmware:
        case Command::UpdateBoot:
            return true;
        default:
            return false;
    }
}

bool isHexAddress(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral("^(0[xX])?[0-9A-Fa-f]{1,8}$"));
    return pattern.match(text).hasMatch();
}

ParsedCommandLine parseCommandLine(const QStringList& args) {
    ParsedCommandLine result;
    Options& o = result.options;
    QStringList positional;

    const auto fail = [&result](const QString& message) {
        result.ok = false;
        result.error = message;
        return result;
    };

    for (int i = 0; i < args.size(); ++i) {
        QString arg = args.at(i);
        std::optional<QString> inlineValue;
        if (arg.startsWith(QLatin1String("--")) && arg.contains(QLatin1Char('='))) {
            const int eq = arg.indexOf(QLatin1Char('='));
            inlineValue = arg.mid(eq + 1);
            arg = arg.left(eq);
        }
        const auto value = [&](QString& out) -> bool {
            if (inlineValue) {
                out = *inlineValue;
            } else if (i + 1 < args.size()) {
                out = args.at(++i);
            } else {
                return false;
            }
            return true;
        };
        const auto flag = [&]() { return !inlineValue; };

        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            o.command = Command::Help;
            result.ok = true;
            return result;
        } else if (arg == QLatin1String("-d") || arg == QLatin1String("--device")) {
            QString path;
            if (!value(path) || path.isEmpty())
                return fail(QStringLiteral("option %1 needs a device path (or \"all\")").arg(arg));
            o.devices << path;
        } else if (arg == QLatin1String("--speed")) {
            QString speed;
            if (!value(speed))
                return fail(QStringLiteral("option --speed needs high, medium or low"));
            if (speed == QLatin1String("high"))
                o.speed = 0;
            else if (speed == QLatin1String("medium"))
                o.speed = 1;
            else if (speed == QLatin1String("low"))
                o.speed = 2;
            else
                return fail(QStringLiteral("option --speed: \"%1\" is not high, medium or low").arg(speed));
        } else if (arg == QLatin1String("--power-off") && flag()) {
            o.powerOff = true;
        } else if (arg == QLatin1String("--flash-ini")) {
            if (!value(o.flashIni) || o.flashIni.isEmpty())
                return fail(QStringLiteral("option --flash-ini needs a file"));
        } else if ((arg == QLatin1String("-q") || arg == QLatin1String("--quiet")) && flag()) {
            o.quiet = true;
        } else if (arg == QLatin1String("--json") && flag()) {
            o.json = true;
        } else if (arg == QLatin1String("--record")) {
            if (!value(o.recordPath) || o.recordPath.isEmpty())
                return fail(QStringLiteral("option --record needs a database file"));
        } else if (arg == QLatin1String("--allow-boot-update") && flag()) {
            o.allowBootUpdate = true;
        } else if (arg == QLatin1String("--skip-unchanged") && flag()) {
            o.skipUnchanged = true;
        } else if (arg == QLatin1String("--addr")) {
            QString addr;
            if (!value(addr))
                return fail(QStringLiteral("option --addr needs a hexadecimal address"));
            if (!isHexAddress(addr))
                return fail(QStringLiteral("option --addr: \"%1\" is not a hexadecimal address").arg(addr));
            o.addr = addr;
        } else if ((arg == QLatin1String("--csv") || arg == QLatin1String("--jsonl")) && flag()) {
            o.exportFormat = arg.mid(2);
        } else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            return fail(QStringLiteral("unknown option %1").arg(args.at(i)));
        } else {
            positional << args.at(i);
        }
    }

    if (positional.isEmpty())
        return fail(QStringLiteral("no subcommand given"));
    const QString name = positional.takeFirst();
    if (name == QLatin1String("records")) {
        if (positional.isEmpty() || positional.takeFirst() != QLatin1String("export"))
            return fail(QStringLiteral("records: the only subcommand is \"records export\""));
        o.command = Command::RecordsExport;
        if (!positional.isEmpty())
            o.recordPath = positional.takeFirst();
        if (o.recordPath.isEmpty())
            return fail(QStringLiteral("records export needs a database file"));
        if (o.exportFormat.isEmpty())
            return fail(QStringLiteral("records export needs --csv or --jsonl"));
    } else {
        o.command = commandOfName(name);
        if (o.command == Command::None)
            return fail(QStringLiteral("unknown subcommand \"%1\"").arg(name));
        if (o.command == Command::Help) {
            result.ok = true;
            return result;
        }
        if (takesFile(o.command)) {
            if (positional.isEmpty())
                return fail(QStringLiteral("%1 needs a file").arg(name));
            o.file = positional.takeFirst();
            if (o.file.isEmpty())
                return fail(QStringLiteral("%1 needs a file").arg(name));
        }
        if (!o.exportFormat.isEmpty())
            return fail(QStringLiteral("--%1 belongs to records export").arg(o.exportFormat));
    }
    if (!positional.isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\"").arg(positional.first()));
    if (o.addr && o.command != Command::ProgramMcu)
        return fail(QStringLiteral("option --addr belongs to program-mcu (a job step has its own \"addr\")"));
    if (o.allowBootUpdate && o.command != Command::UpdateBoot && o.command != Command::Run)
        return fail(QStringLiteral("option --allow-boot-update belongs to update-boot"));
    result.ok = true;
    return result;
}

QString usageText() {
    return QStringLiteral(
        "Usage: qv310 SUBCOMMAND [FILE] [OPTIONS]\n"
        "Programs QV310 target boards through the QV310 USB programmer box, without the window.\n"
        "Runs the same operations as the window: the same requests, log lines and checks.\n"
        "\n"
        "Subcommands:\n"
        "  list                      every attached programmer (real ones first, then virtual)\n"
        "  info                      connect, initialise the target and show the programmer,\n"
        "                            board and target\n"
        "  program-boot FILE         write boot code from address 0, check it, start the target\n"
        "  program-mcu FILE          write MCU code from --addr (default 0xA000), check, start\n"
        "  verify-boot FILE          compare the board's boot code with FILE (CRC check)\n"
        "  verify-mcu FILE           compare the board's MCU code with FILE (CRC check)\n"
        "  write-ui FILE.bin|FILE.diff\n"
        "                            write a whole UI image, or the blocks of a difference file\n"
        "  check-ui FILE.bin         compare the board's UI area with the UI image\n"
        "  update-firmware FILE.app  replace the programmer's application (boot loader running)\n"
        "  update-boot FILE.boot     replace the programmer's boot loader; needs\n"
        "                            --allow-boot-update\n"
        "  run JOB.json              the steps of a job file, every image pinned by SHA-256\n"
        "  records export DB --csv|--jsonl\n"
        "                            print the production records of a database\n"
        "  help                      this text\n"
        "\n"
        "Options:\n"
        "  -d, --device PATH         the programmer to use (a path from \"qv310 list\"); may be\n"
        "                            given several times, or \"all\", to program boards at once.\n"
        "                            Default: the only programmer attached\n"
        "  --speed high|medium|low   SWD speed (default high)\n"
        "  --power-off               power the target off when it is started\n"
        "  --addr HEX                McuCode address for program-mcu (default 0xA000)\n"
        "  --allow-boot-update       allow update-boot\n"
        "  --skip-unchanged          program-boot, program-mcu, write-ui (whole image), run:\n"
        "                            ask the board for the CRC of each 4096-byte block and\n"
        "                            write only those that differ; the final CRC check over\n"
        "                            the whole range is made as after a full write\n"
        "  --flash-ini FILE          flash catalogue (default Flash.ini in the current folder)\n"
        "  --record DB               append one row per board operation to a SQLite database\n"
        "  --json                    JSON Lines events on standard output, nothing else there\n"
        "  -q, --quiet               human output: only errors and the closing line per board\n"
        "  -h, --help                this text\n"
        "\n"
        "Human output goes to standard error: the operation's log lines, a progress bar when\n"
        "standard error is a terminal, and one closing line per board.\n"
        "\n"
        "Job file (run): {\"steps\": [{\"program-mcu\": \"app.bin\", \"addr\": \"0xA000\",\n"
        "  \"sha256\": \"...\"}, ...], \"power-off\": true}. Paths are relative to the job file;\n"
        "  every step needs \"sha256\"; every digest is checked before the first step starts.\n"
        "  \"speed\", \"power-off\", \"flash-ini\", \"allow-boot-update\" and \"skip-unchanged\"\n"
        "  may stand beside\n"
        "  \"steps\"; the command line's options win over them.\n"
        "\n"
        "Exit codes:\n"
        "  0  success\n"
        "  1  the operation failed on the board (write, verify or CRC check failed)\n"
        "  2  usage error\n"
        "  3  no programmer, or the one named is not there\n"
        "  4  a file is missing, unreadable, malformed or refused (digest, running address,\n"
        "     size, \"Illegal document\"), or the record database is busy or read-only\n"
        "  5  the programmer vanished or stopped answering\n"
        "With several programmers: 0 only when every board succeeded, else the highest code.\n");
}

}  // namespace qv::cli
