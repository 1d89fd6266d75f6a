#pragma once

#include <QString>

#include <memory>

class MainWindow;

namespace qv {

// The menu start: prepares the working folder (DesktopStart.h), changes into it, and only then
// builds the window, so the window reads config.ini and Flash.ini there exactly as it does in any
// current directory. When the default catalogue could not be copied, the window's log says so once.
// Returns no window when the folder cannot be used; problem then holds the text for a message box,
// and the current directory is left as it was.
std::unique_ptr<MainWindow> openWindowInWorkFolder(const QString& folder, const QString& shippedFlashIni,
                                                   QString& problem);

}  // namespace qv
