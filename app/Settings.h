#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;

namespace qv {

// config.ini: seven positional lines, read once at start and rewritten once at exit.
//   1 "UPBOOT:0"            read: unlocks the boot-loader update for this run when it contains "UPBOOT:1"
//   2 "NFLASH:0"            ignored
//   3 MCU code path         read trimmed into the field, shown untrimmed
//   4 UI image path         likewise
//   5 boot code path        likewise
//   6 "WAITT:0"             ignored
//   7 "PWROFF:1"/"PWROFF:0" the power-off check box, when it contains "PWROFF:1"
struct StoredSettings {
    bool upbootEnabled = false;
    bool hasMcuCodeLine = false, hasUiImageLine = false, hasBootCodeLine = false;
    QString mcuCodeLine, uiImageLine, bootCodeLine;  // as read, untrimmed
    bool hasPowerOffLine = false;
    bool powerOff = false;
};

// Reads up to seven lines; lines after the seventh are not read. Missing lines change nothing.
StoredSettings readSettings(QIODevice& file);

// The exact bytes written at exit ("\n" line ends; "\r\n" on Windows, as text mode writes them).
QByteArray settingsFileBytes(const QString& mcuCodePath, const QString& uiImagePath,
                             const QString& bootCodePath, bool powerOff);

// Writes bytes to path through a temporary file beside it ("<name>.<pid>.tmp") that is renamed
// over the old file, so a crash, a kill or a full disk never leaves a truncated config.ini.
// - A path that is a symbolic link: the file it leads to is replaced, the link stays.
// - A folder that allows no new file: an existing, writable file is rewritten in place, every
//   byte checked as for the temporary file.
// - Temporary files that earlier saves of processes no longer running left beside it are removed.
// False when nothing was written; when the temporary file could not be written or renamed, the
// old file, if any, is untouched.
bool writeFileAtomically(const QString& path, const QByteArray& bytes);

}  // namespace qv
