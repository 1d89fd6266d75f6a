// qv310: the command-line front end. See qv310 --help.
#include "cli/Runner.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qv310"));
    return qv::cli::runCommandLine(QCoreApplication::arguments().mid(1));
}
