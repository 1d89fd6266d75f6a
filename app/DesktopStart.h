#pragma once

#include <QString>

namespace qv {

// Started from the desktop's menu, the tool has the home folder as its current directory, yet it
// keeps config.ini and finds Flash.ini in its current directory. The launcher therefore gives it
// a folder of its own per user and fills in the catalogue on the first start.

// $XDG_DATA_HOME/qv310-isp when XDG_DATA_HOME is an absolute path, else HOME/.local/share/qv310-isp
// (a relative XDG_DATA_HOME is invalid and ignored, as the XDG base directory rules say).
QString workFolderPath(const QString& xdgDataHome, const QString& home);

struct WorkFolder {
    // false: the folder cannot be used, and problem says why in words for a message box.
    bool usable = false;
    QString problem;
    // Non-empty: one line for the window's log (the catalogue could not be filled in).
    QString logLine;
};

// Creates folder when missing, checks that files can be written in it (config.ini is rewritten
// there at exit), and copies shippedFlashIni to folder/Flash.ini when the folder has none. An
// existing Flash.ini is never touched: it may hold the user's own chips.
WorkFolder prepareWorkFolder(const QString& folder, const QString& shippedFlashIni);

}  // namespace qv
