// qv310-isp-launcher: the desktop menu's way into the window. It runs the window in the user's own
// working folder instead of wherever the desktop happens to start programs.
#include "app/DesktopStart.h"
#include "qtsupport/DisplayScaling.h"
#include "app/Launcher.h"
#include "app/MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>

#include <cstdio>
#include <memory>

#ifndef QV_SHIPPED_FLASH_INI
#define QV_SHIPPED_FLASH_INI "/usr/share/qv310-isp/Flash.ini"
#endif

namespace {

const char kUsage[] =
    "Usage: qv310-isp-launcher\n"
    "\n"
    "Starts the QV310 SWD ISP window in the working folder $XDG_DATA_HOME/qv310-isp\n"
    "(~/.local/share/qv310-isp when XDG_DATA_HOME is not set). The folder is created on the\n"
    "first start and Flash.ini is copied into it from " QV_SHIPPED_FLASH_INI
    " when it has none;\n"
    "config.ini is kept there. The desktop menu entry runs this program. Started as qv310-isp,\n"
    "the window uses the current directory instead.\n"
    "\n"
    "Options:\n"
    "  -h, --help  show this text\n"
    "\n"
    "Exit status: the window's, or 1 when the working folder cannot be used.\n";

}  // namespace

int main(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }

    qv::enableDisplayScaling();
    auto* app = new QApplication(argc, argv);
    const QString folder = qv::workFolderPath(qEnvironmentVariable("XDG_DATA_HOME"), QDir::homePath());
    QString problem;
    std::unique_ptr<MainWindow> window =
        qv::openWindowInWorkFolder(folder, QStringLiteral(QV_SHIPPED_FLASH_INI), problem);
    if (!window) {
        // Started from a menu nobody sees standard error, so the box is the report.
        std::fprintf(stderr, "qv310-isp-launcher: %s\n", qPrintable(problem));
        QMessageBox::critical(nullptr, QStringLiteral("QV310 SWD ISP"), problem);
        delete app;
        return 1;
    }
    window->show();
    const int exitCode = app->exec();
    window.reset();
    delete app;
    return exitCode;
}
