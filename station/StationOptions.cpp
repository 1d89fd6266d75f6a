#include "StationOptions.h"

namespace qv::station {

ParsedStationArgs parseStationArgs(const QStringList& args) {
    ParsedStationArgs parsed;
    StationOptions& o = parsed.options;
    const auto fail = [&parsed](const QString& error) {
        parsed.ok = false;
        parsed.error = error;
        return parsed;
    };
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        // "--option=value" and "--option value" alike.
        QString name = arg;
        QString value;
        bool inlineValue = false;
        if (arg.startsWith(QLatin1String("--")) && arg.contains(QLatin1Char('='))) {
            name = arg.left(arg.indexOf(QLatin1Char('=')));
            value = arg.mid(arg.indexOf(QLatin1Char('=')) + 1);
            inlineValue = true;
        }
        const auto takeValue = [&](QString& into) {
            if (!inlineValue) {
                if (i + 1 >= args.size())
                    return false;
                value = args.at(++i);
            }
            into = value;
            return !into.isEmpty();
        };
        if (name == QLatin1String("--help") || name == QLatin1String("-h")) {
            o.help = true;
        } else if (name == QLatin1String("--version")) {
            o.version = true;
        } else if (name == QLatin1String("--from-menu") && !inlineValue) {
            o.fromMenu = true;
        } else if (name == QLatin1String("--record")) {
            if (!takeValue(o.recordPath))
                return fail(QStringLiteral("--record needs a database file or a postgresql:// URL"));
        } else if (name == QLatin1String("-d") || name == QLatin1String("--device")) {
            QString device;
            if (!takeValue(device))
                return fail(QStringLiteral("%1 needs a device path or \"all\"").arg(name));
            // Asking every programmer for its board id would hold it open while an operator
            // presses Start; the station names programmers by path.
            if (device.startsWith(QLatin1String("board:")))
                return fail(QStringLiteral("%1 %2: the station takes device paths (qv310 list shows them), not board ids")
                                .arg(name, device));
            o.devices << device;
        } else if (arg.startsWith(QLatin1Char('-')) && arg != QLatin1String("-")) {
            return fail(QStringLiteral("unknown option \"%1\"").arg(arg));
        } else if (o.jobFile.isEmpty()) {
            o.jobFile = arg;
        } else {
            return fail(QStringLiteral("one job file only (\"%1\" and \"%2\")").arg(o.jobFile, arg));
        }
    }
    if (o.devices.contains(QStringLiteral("all")))
        o.devices.clear();
    parsed.ok = true;
    return parsed;
}

QString stationUsage() {
    return QStringLiteral(
        "Usage: qv310-station [JOB.json] [--record DB|URL] [-d PATH|all]... [--from-menu]\n"
        "\n"
        "The production station: one job on every attached QV310 programmer, a tile per programmer\n"
        "with a large PASS or FAIL per board. The job is fixed for the life of the window.\n"
        "\n"
        "  JOB.json           the job file (as for qv310 run); without it a file dialog asks for one\n"
        "  --record DB|URL    append a record row per board operation to a SQLite database, or to a\n"
        "                     PostgreSQL server (postgresql://USER@HOST/DB); needed by a job that\n"
        "                     writes serial numbers\n"
        "  -d, --device PATH  use only this programmer (may be given several times); \"all\", the\n"
        "                     default, uses every programmer attached, as they come and go\n"
        "  --from-menu        started by the desktop menu entry: Flash.ini is not taken from the\n"
        "                     current folder (wherever the desktop started the program), only\n"
        "                     from the job's \"flash-ini\", $XDG_DATA_HOME/qv310-isp or the one\n"
        "                     installed with the program\n"
        "  --version          print the version and exit\n"
        "  -h, --help         print this help and exit\n"
        "\n"
        "In the window: \"Start all\" runs the job on every programmer that is not running, \"Start\"\n"
        "on one; a label scanned into the Tag field and Enter runs it on every one with that tag.\n");
}

}  // namespace qv::station
