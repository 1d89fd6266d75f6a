#include "CommandLine.h"

#include <QRegularExpression>

#include <utility>

namespace qv::cli {

namespace {

bool takesFile(Command command) {
    return isOperation(command) || command == Command::Run || command == Command::Station;
}

}  // namespace

std::optional<uint32_t> boardIdChoice(const QString& choice) {
    static const QRegularExpression pattern(QStringLiteral("^board:0[xX]([0-9A-Fa-f]{1,8})\\z"));
    const QRegularExpressionMatch match = pattern.match(choice);
    if (!match.hasMatch())
        return std::nullopt;
    return uint32_t(match.captured(1).toULong(nullptr, 16));
}

namespace {

// How far a part of the command line got: on, refused (the error says why), or to the help, which
// ends the reading.
enum class Reading { Ok, Refused, Help };

// The options, in the order given; every other argument goes to positional.
Reading readOptions(const QStringList& args, Options& o, QStringList& positional, bool& versionAsked,
                    QString& error) {
    const auto failed = [&error](const QString& message) {
        error = message;
        return Reading::Refused;
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
            return Reading::Help;
        } else if (arg == QLatin1String("--version") && flag()) {
            versionAsked = true;
        } else if (arg == QLatin1String("-d") || arg == QLatin1String("--device")) {
            QString path;
            if (!value(path) || path.isEmpty())
                return failed(QStringLiteral("option %1 needs a device path, \"all\" or \"board:0x...\"").arg(arg));
            if (path.startsWith(QLatin1String("board:")) && !boardIdChoice(path))
                return failed(QStringLiteral("option %1: \"%2\" is not \"board:0x\" and 1 to 8 hexadecimal digits")
                                .arg(arg, path));
            o.devices << path;
        } else if (arg == QLatin1String("--speed")) {
            QString speed;
            if (!value(speed))
                return failed(QStringLiteral("option --speed needs high, medium or low"));
            if (speed == QLatin1String("high"))
                o.speed = 0;
            else if (speed == QLatin1String("medium"))
                o.speed = 1;
            else if (speed == QLatin1String("low"))
                o.speed = 2;
            else
                return failed(QStringLiteral("option --speed: \"%1\" is not high, medium or low").arg(speed));
        } else if ((arg == QLatin1String("--power-off") || arg == QLatin1String("--no-power-off")) && flag()) {
            const bool on = arg == QLatin1String("--power-off");
            if (o.powerOff && *o.powerOff != on)
                return failed(QStringLiteral("--power-off and --no-power-off contradict each other"));
            o.powerOff = on;
        } else if (arg == QLatin1String("--flash-ini")) {
            if (!value(o.flashIni) || o.flashIni.isEmpty())
                return failed(QStringLiteral("option --flash-ini needs a file"));
        } else if ((arg == QLatin1String("-q") || arg == QLatin1String("--quiet")) && flag()) {
            o.quiet = true;
        } else if (arg == QLatin1String("--json") && flag()) {
            o.json = true;
        } else if (arg == QLatin1String("--record")) {
            if (!value(o.recordPath) || o.recordPath.isEmpty())
                return failed(QStringLiteral("option --record needs a database file"));
        } else if (arg == QLatin1String("--allow-boot-update") && flag()) {
            o.allowBootUpdate = true;
        } else if ((arg == QLatin1String("--skip-unchanged") || arg == QLatin1String("--no-skip-unchanged")) &&
                   flag()) {
            const bool on = arg == QLatin1String("--skip-unchanged");
            if (o.skipUnchanged && *o.skipUnchanged != on)
                return failed(QStringLiteral("--skip-unchanged and --no-skip-unchanged contradict each other"));
            o.skipUnchanged = on;
        } else if (arg == QLatin1String("--addr")) {
            QString addr;
            if (!value(addr))
                return failed(QStringLiteral("option --addr needs an address such as 0xA000"));
            if (!isStrictCodeAddress(addr))
                return failed(QStringLiteral("option --addr: \"%1\" is not \"0x\" and 1 to 8 hexadecimal digits "
                                           "below 0x80000 (the end of the code flash) on a 4096-byte block "
                                           "(0xA000, 0xB000, ...)")
                                .arg(addr));
            o.addr = addr;
        } else if (arg == QLatin1String("--tag")) {
            if (!value(o.tag))
                return failed(QStringLiteral("option --tag needs a text"));
            if (o.tag.contains(QLatin1Char('\n')) || o.tag.contains(QLatin1Char('\r')))
                return failed(QStringLiteral("option --tag: a tag is one line"));
        } else if ((arg == QLatin1String("--csv") || arg == QLatin1String("--jsonl")) && flag()) {
            o.exportFormat = arg.mid(2);
        } else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            return failed(QStringLiteral("unknown option %1").arg(args.at(i)));
        } else {
            positional << args.at(i);
        }
    }

    return Reading::Ok;
}

// The subcommand and its own arguments, taken from the front of positional.
Reading readSubcommand(QStringList& positional, Options& o, QString& error) {
    const auto failed = [&error](const QString& message) {
        error = message;
        return Reading::Refused;
    };
    if (positional.isEmpty())
        return failed(QStringLiteral("no subcommand given"));
    const QString name = positional.takeFirst();
    if (name == QLatin1String("records")) {
        const QString what = positional.isEmpty() ? QString() : positional.takeFirst();
        if (what == QLatin1String("export")) {
            o.command = Command::RecordsExport;
        } else if (what == QLatin1String("sync")) {
            o.command = Command::RecordsSync;
        } else if (what == QLatin1String("yield")) {
            o.command = Command::RecordsYield;
        } else {
            return failed(QStringLiteral("records: the subcommands are \"records export\", \"records sync\" and "
                                       "\"records yield\""));
        }
        if (!positional.isEmpty())
            o.recordPath = positional.takeFirst();
        if (o.recordPath.isEmpty())
            return failed(o.command == Command::RecordsSync ? QStringLiteral("records sync needs a server URL")
                                                          : QStringLiteral("records %1 needs a database file or URL")
                                                                .arg(what));
        if (o.command == Command::RecordsExport && o.exportFormat.isEmpty())
            return failed(QStringLiteral("records export needs --csv or --jsonl"));
        if (o.command != Command::RecordsExport && !o.exportFormat.isEmpty())
            return failed(QStringLiteral("--%1 belongs to records export").arg(o.exportFormat));
    } else if (name == QLatin1String("serials")) {
        o.command = Command::Serials;
        if (!positional.isEmpty())
            o.recordPath = positional.takeFirst();
        if (o.recordPath.isEmpty())
            return failed(QStringLiteral("serials needs a database file"));
    } else {
        o.command = commandOfName(name);
        if (o.command == Command::None)
            return failed(QStringLiteral("unknown subcommand \"%1\"").arg(name));
        if (o.command == Command::Help)
            return Reading::Help;
        if (takesFile(o.command)) {
            if (positional.isEmpty())
                return failed(QStringLiteral("%1 needs a file").arg(name));
            o.file = positional.takeFirst();
            if (o.file.isEmpty())
                return failed(QStringLiteral("%1 needs a file").arg(name));
        }
        if (!o.exportFormat.isEmpty())
            return failed(QStringLiteral("--%1 belongs to records export").arg(o.exportFormat));
    }
    return Reading::Ok;
}

}  // namespace

ParsedCommandLine parseCommandLine(const QStringList& args) {
    ParsedCommandLine result;
    Options& o = result.options;
    QStringList positional;
    bool versionAsked = false;

    const auto fail = [&result](const QString& message) {
        result.ok = false;
        result.error = message;
        return result;
    };

    QString error;
    Reading reading = readOptions(args, o, positional, versionAsked, error);
    if (reading == Reading::Refused)
        return fail(error);
    if (reading == Reading::Help) {
        result.ok = true;
        return result;
    }
    if (versionAsked) {
        if (!positional.isEmpty())
            return fail(QStringLiteral("--version takes no subcommand"));
        o.command = Command::Version;
        result.ok = true;
        return result;
    }
    reading = readSubcommand(positional, o, error);
    if (reading == Reading::Refused)
        return fail(error);
    if (reading == Reading::Help) {
        result.ok = true;
        return result;
    }
    if (!positional.isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\"").arg(positional.first()));
    if (o.addr && o.command != Command::ProgramMcu)
        return fail(QStringLiteral("option --addr belongs to program-mcu (a job step has its own \"addr\")"));
    if (o.allowBootUpdate && o.command != Command::UpdateBoot && o.command != Command::Run &&
        o.command != Command::Station)
        return fail(QStringLiteral("option --allow-boot-update belongs to update-boot"));
    result.ok = true;
    return result;
}

// The lines of the help text that differ between Windows and the rest.
#ifdef _WIN32
#define QV_FLASH_INI_HELP                                                                       \
    "  --flash-ini FILE          flash catalogue; default: the first of .\\Flash.ini,\n"         \
    "                            %LOCALAPPDATA%\\qv310-isp\\Flash.ini, the one beside qv310.exe\n"
#define QV_INTERRUPT_HELP                                                                 \
    "  130  interrupted (Ctrl-C, Ctrl-Break, the console closed): each board's row says\n" \
    "       \"interrupted\"\n"
#else
#define QV_FLASH_INI_HELP                                                              \
    "  --flash-ini FILE          flash catalogue; default: the first of ./Flash.ini,\n"  \
    "                            $XDG_DATA_HOME/qv310-isp/Flash.ini (~/.local/share/...),\n" \
    "                            the one installed with qv310 (<prefix>/share/qv310-isp)\n"
#define QV_INTERRUPT_HELP \
    "  130  interrupted (Ctrl-C, SIGTERM, SIGHUP: a closed terminal): each board's row says\n" \
    "       \"interrupted\"\n"
#endif

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
        "  station JOB.json          a bench with a barcode scanner: each line read from standard\n"
        "                            input is the tag of the next board (or gang); the job runs,\n"
        "                            one PASS or FAIL line per board, then the next line; an\n"
        "                            empty line runs without a tag; end of input or \"q\" ends\n"
        "  records export DB|URL --csv|--jsonl\n"
        "                            print the production records of a database or server\n"
        "  records sync URL          upload the rows kept locally while the server was away\n"
        "  records yield DB|URL      per job: boards, passed first time, first-pass yield and the\n"
        "                            ten most frequent failure reasons (as the station shows it)\n"
        "  serials DB|URL            every serial pool of a database: range, next, used, spoiled,\n"
        "                            taken by a board not finished\n"
        "  help                      this text\n"
        "\n"
        "Options:\n"
        "  -d, --device PATH|board:0xID|all\n"
        "                            the programmer to use: a path from \"qv310 list\", or the one\n"
        "                            whose board id is ID (as \"qv310 list\" shows it); may be\n"
        "                            given several times, or \"all\", to program boards at once.\n"
        "                            Default: the only programmer attached\n"
        "  --speed high|medium|low   SWD speed (default high)\n"
        "  --power-off, --no-power-off\n"
        "                            power the target off when it is started, or not (wins\n"
        "                            over a job's \"power-off\")\n"
        "  --addr 0xHEX              McuCode address for program-mcu (default 0xA000): \"0x\"\n"
        "                            and 1 to 8 hex digits, below 0x80000, on a 4096-byte block\n"
        "  --allow-boot-update       allow update-boot\n"
        "  --skip-unchanged, --no-skip-unchanged\n"
        "                            program-boot, program-mcu, write-ui (whole image), run:\n"
        "                            ask the board for the CRC of each 4096-byte block and\n"
        "                            write only those that differ; the final CRC check over\n"
        "                            the whole range is made as after a full write (when\n"
        "                            the first whole-range check matched and nothing was\n"
        "                            written, that answer is the final check)\n"
        QV_FLASH_INI_HELP
        "  --record DB|URL           append one row per board operation to a SQLite database,\n"
        "                            or to a PostgreSQL server (postgresql://user@host/db); a\n"
        "                            server that cannot be reached: the rows wait in the local\n"
        "                            spool; needed by a job whose steps take a serial\n"
        "  --tag TEXT                a free label (a scanned barcode, a lot number) stored in\n"
        "                            every row and result of the run\n"
        "  --json                    JSON Lines events on standard output, nothing else there\n"
        "  -q, --quiet               human output: only errors and the closing line per board\n"
        "  --version                 the program's version\n"
        "  -h, --help                this text\n"
        "\n"
        "Human output goes to standard error: the operation's log lines, a progress bar when\n"
        "standard error is a terminal, and one closing line per board.\n"
        "\n"
        "Job file (run): {\"steps\": [{\"program-mcu\": \"app.bin\", \"addr\": \"0xA000\",\n"
        "  \"sha256\": \"...\"}, ...], \"power-off\": true}. Paths are relative to the job file;\n"
        "  every step needs \"sha256\"; every digest is checked before the first step starts.\n"
        "  \"speed\", \"power-off\", \"flash-ini\", \"allow-boot-update\" and \"skip-unchanged\"\n"
        "  may stand beside \"steps\"; the command line's options win over them. A job cannot\n"
        "  allow update-boot by itself: --allow-boot-update is needed on the command line.\n"
        "  Steps after update-firmware or update-boot wait up to 15 s for the programmer\n"
        "  (the same board id) to come back.\n"
        "\n"
        "Exit codes:\n"
        "  0  success\n"
        "  1  the operation failed on the board (write, verify or CRC check failed)\n"
        "  2  usage error\n"
        "  3  no programmer, or the one named is not there\n"
        "  4  a file is missing, unreadable, malformed or refused (digest, running address,\n"
        "     size, \"Illegal document\"), or the record database is busy or read-only\n"
        "  5  the programmer vanished or stopped answering, or did not come back after a\n"
        "     firmware update\n"
        QV_INTERRUPT_HELP
        "With several programmers: 0 only when every board succeeded, else the highest code.\n");
}

}  // namespace qv::cli
