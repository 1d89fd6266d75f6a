#pragma once

#include <QString>
#include <QStringList>

namespace qv::station {

// The station's command line: qv310-station JOB.json [--record DB|URL] [-d PATH|all]... [--from-menu]
struct StationOptions {
    QString jobFile;      // empty: asked for with a file dialog before the window opens
    QString recordPath;   // empty: no records
    QStringList devices;  // programmers the station may use; empty or "all": every one attached
    bool help = false;
    bool version = false;
    // Started by the desktop menu entry: the current folder is wherever the desktop was, so no
    // Flash.ini is taken from it.
    bool fromMenu = false;
};

struct ParsedStationArgs {
    bool ok = false;
    QString error;
    StationOptions options;
};

// Reads the arguments after the program name.
ParsedStationArgs parseStationArgs(const QStringList& args);

// What --help prints.
QString stationUsage();

}  // namespace qv::station
