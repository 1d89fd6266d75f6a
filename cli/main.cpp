// qv310: the command-line front end. See qv310 --help.
#include "cli/Runner.h"

#include <QCoreApplication>

#include <csignal>

int main(int argc, char** argv) {
#ifdef SIGPIPE
    // A reader that goes away (jq ended, a closed terminal) must not end a board half written:
    // output then fails quietly and the operations run to their end. (Windows has no such signal:
    // a write to a closed pipe fails.)
    std::signal(SIGPIPE, SIG_IGN);
#endif
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qv310"));
    return qv::cli::runCommandLine(QCoreApplication::arguments().mid(1));
}
