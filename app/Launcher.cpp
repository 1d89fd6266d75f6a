#include "app/Launcher.h"

#include "app/DesktopStart.h"
#include "app/MainWindow.h"

#include <QDir>

#include <cstdio>

namespace qv {

std::unique_ptr<MainWindow> openWindowInWorkFolder(const QString& folder, const QString& shippedFlashIni,
                                                   QString& problem) {
    const WorkFolder work = prepareWorkFolder(folder, shippedFlashIni);
    if (!work.usable) {
        problem = work.problem;
        return nullptr;
    }
    if (!QDir::setCurrent(folder)) {
        problem = QStringLiteral("QV310 SWD ISP cannot change into its working folder\n%1").arg(folder);
        return nullptr;
    }
    auto window = std::make_unique<MainWindow>();
    if (!work.logLine.isEmpty()) {
        // Also on standard error, where a desktop session's journal keeps it.
        std::fprintf(stderr, "qv310-isp-launcher: %s\n", qPrintable(work.logLine));
        window->appendLog(work.logLine);
    }
    return window;
}

}  // namespace qv
