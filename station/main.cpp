// qv310-station: the operators' window. qv310-station --help says how it is started.
#include "StationOptions.h"
#include "StationWindow.h"

#include "qtsupport/DisplayScaling.h"
#include "engine/Events.h"
#include "engine/Steps.h"
#include "engine/ProductionJob.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

#include <cstdio>

int main(int argc, char* argv[]) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const qv::station::ParsedStationArgs parsed = qv::station::parseStationArgs(args);
    // Help, version and usage errors need no display.
    if (parsed.ok && parsed.options.help) {
        std::fputs(qPrintable(qv::station::stationUsage()), stdout);
        return 0;
    }
    if (parsed.ok && parsed.options.version) {
        std::printf("qv310-station %s\n", qPrintable(qv::engine::toolVersion()));
        return 0;
    }
    if (!parsed.ok) {
        std::fprintf(stderr, "qv310-station: %s\n(qv310-station --help shows the usage)\n", qPrintable(parsed.error));
        return qv::engine::kExitUsage;
    }

    qv::enableDisplayScaling();
    QApplication app(argc, argv);
    qv::station::StationOptions options = parsed.options;
    if (options.jobFile.isEmpty()) {
        // Started from the menu: the job is chosen once, before the window opens.
        options.jobFile = QFileDialog::getOpenFileName(nullptr, QStringLiteral("QV310 Station: choose the job file"),
                                                       QString(), QStringLiteral("Job files (*.json);;All files (*)"));
        if (options.jobFile.isEmpty())
            return 0;
    }
    qv::engine::JobFailure failure;
    std::unique_ptr<qv::station::StationWindow> window = qv::station::StationWindow::open(options, failure);
    if (!window) {
        std::fprintf(stderr, "qv310-station: %s\n", qPrintable(failure.message));
        QMessageBox::critical(nullptr, QStringLiteral("QV310 Station"),
                              QStringLiteral("The job cannot be run:\n%1").arg(failure.message));
        return failure.code;
    }
    window->show();
    const int code = app.exec();
    window.reset();
    return code;
}
