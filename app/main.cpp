#include "qtsupport/DisplayScaling.h"
#include "MainWindow.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    qv::enableDisplayScaling();
    auto* app = new QApplication(argc, argv);
    auto* window = new MainWindow();
    window->show();
    const int exitCode = app->exec();
    delete window;
    delete app;
    return exitCode;
}
