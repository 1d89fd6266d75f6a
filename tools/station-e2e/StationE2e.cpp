// qv310-station-e2e: the real station window, offscreen, against virtual programmers that run as
// programs of their own (qv310-vprog). The window starts first ("station ready"); the programmers
// are plugged in while it runs and it must show a tile for each; then "Start all" runs the job on
// all of them at once, each tile's verdict is printed ("verdict PASS|FAIL DEVICE ..."), with the
// counters, and the driver asks for the unplug ("unplug the programmers now"), which the window
// must follow by removing every tile. scripts/check-station-e2e.sh compares the verdicts, the
// records and the programmers' memory dumps with what the job must produce.
//
//   qv310-station-e2e --job FILE --record DB --programmers N [--screenshot FILE.png]
//
// With --screenshot the window, as it stands after the run, is saved as a PNG (the README's).
// Exit status 0 when the window followed every step, 1 when it did not, 2 for a bad command line.
#include "station/ProgrammerTile.h"
#include "station/StationWindow.h"

#include "engine/ProductionJob.h"
#include "tests/support/PumpUntil.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include <cstdio>

namespace {

int run(const QStringList& args) {
    qv::station::StationOptions options;
    int programmers = 0;
    QString screenshot;
    for (int i = 0; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--job"))
            options.jobFile = args.at(i + 1);
        else if (args.at(i) == QLatin1String("--record"))
            options.recordPath = args.at(i + 1);
        else if (args.at(i) == QLatin1String("--programmers"))
            programmers = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--screenshot"))
            screenshot = args.at(i + 1);
    }
    if (options.jobFile.isEmpty() || programmers < 1) {
        std::fprintf(stderr, "usage: qv310-station-e2e --job FILE --record DB --programmers N\n");
        return 2;
    }
    qv::engine::JobFailure failure;
    auto window = qv::station::StationWindow::open(options, failure);
    if (!window) {
        std::printf("FAILED: the job was refused: %s\n", qPrintable(failure.message));
        return 1;
    }
    window->resize(1280, 720);
    window->show();
    std::printf("station ready: %s\n", qPrintable(window->windowTitle()));
    std::fflush(stdout);

    if (!qvtest::pumpUntil([&] { return window->tiles().size() == programmers; }, 60000)) {
        std::printf("FAILED: %d tiles, not %d\n", int(window->tiles().size()), programmers);
        return 1;
    }
    for (qv::station::ProgrammerTile* tile : window->tiles())
        std::printf("ok: tile %s %s\n", qPrintable(tile->title()), qPrintable(tile->stateText()));

    QPushButton* startAll = nullptr;
    for (QPushButton* b : window->findChildren<QPushButton*>()) {
        if (b->text() == QLatin1String("Start all"))
            startAll = b;
    }
    if (!startAll) {
        std::printf("FAILED: no Start all button\n");
        return 1;
    }
    startAll->click();
    if (!qvtest::pumpUntil([&] { return !window->running(); }, 240000)) {
        std::printf("FAILED: the boards did not finish\n");
        return 1;
    }
    for (qv::station::ProgrammerTile* tile : window->tiles()) {
        std::printf("verdict %s %s | %s | %s\n", qPrintable(tile->stateText()), qPrintable(tile->title()),
                    qPrintable(tile->lastBoard()), qPrintable(tile->reason()));
    }
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (label->text().startsWith(QLatin1String("Passed:")) || label->text().startsWith(QLatin1String("First-pass")))
            std::printf("%s\n", qPrintable(label->text()));
    }
    if (!screenshot.isEmpty()) {
        // Shown as an operator sees it: the failed tile's log opened.
        for (QPushButton* b : window->findChildren<QPushButton*>()) {
            if (b->text() == QLatin1String("Log") && b->isEnabled())
                b->click();
        }
        QCoreApplication::processEvents();
        if (!window->grab().save(screenshot, "PNG")) {
            std::printf("FAILED: the screenshot could not be saved as %s\n", qPrintable(screenshot));
            return 1;
        }
        std::printf("screenshot: %s\n", qPrintable(screenshot));
    }
    std::printf("unplug the programmers now\n");
    std::fflush(stdout);
    if (!qvtest::pumpUntil([&] { return window->tiles().isEmpty(); }, 60000)) {
        std::printf("FAILED: %d tiles stayed after the unplug\n", int(window->tiles().size()));
        return 1;
    }
    std::printf("ok: every tile went with its programmer\n");
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // QApplication has taken its own options (-platform ...) out of argv.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const int code = run(args);
    std::fflush(stdout);
    return code;
}
