#include "StationFixture.h"

#ifndef _WIN32
#include "support/PostgresServer.h"
#endif

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QDir>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextEdit>
#include <QTimer>

#ifndef _WIN32
#include "support/PostgresServer.h"

#include <sys/stat.h>
#endif

using namespace stationtest;

inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace {

TEST_F(Station, tilesFollowProgrammersPluggedInAndOut) {
    auto window = openWindow();
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->windowTitle().startsWith(QStringLiteral("QV310 Station")));
    EXPECT_TRUE(window->windowTitle().contains(QStringLiteral("line.json")));
    QFile job(options.jobFile);
    ASSERT_TRUE(job.open(QIODevice::ReadOnly));
    EXPECT_TRUE(window->windowTitle().contains(
        QString::fromLatin1(QCryptographicHash::hash(job.readAll(), QCryptographicHash::Sha256).toHex().left(8))));
    EXPECT_TRUE(window->tiles().isEmpty());

    auto& a = plug("tile-a", 1);
    auto& b = plug("tile-b", 2);
    ASSERT_TRUE(pumpUntil([&] { return window->tiles().size() == 2; }));
    for (auto* p : {&a, &b}) {
        ProgrammerTile* t = window->tile(path(*p));
        ASSERT_NE(t, nullptr) << p->devicePath();
        EXPECT_EQ(t->title(), path(*p));
        EXPECT_EQ(t->stateText(), QStringLiteral("READY"));
    }
    a.unplug();
    ASSERT_TRUE(pumpUntil([&] { return window->tiles().size() == 1; }));
    EXPECT_NE(window->tile(path(b)), nullptr);
    a.plug();
    ASSERT_TRUE(pumpUntil([&] { return window->tiles().size() == 2; }));
    programmers.clear();
    ASSERT_TRUE(pumpUntil([&] { return window->tiles().isEmpty(); }));
}

TEST_F(Station, onlyTheProgrammersNamedWithDGetTiles) {
    auto& a = plug("named", 1);
    plug("other", 2);
    options.devices = QStringList{path(a), QStringLiteral("virtual:/nowhere.sock")};
    auto window = openWindow();
    ASSERT_TRUE(window);
    ASSERT_TRUE(pumpUntil([&] { return window->tiles().size() == 1; }));
    EXPECT_NE(window->tile(path(a)), nullptr);
    plug("late", 3);  // plugged in later, and not named either
    a.unplug();
    ASSERT_TRUE(pumpUntil([&] { return window->tiles().isEmpty(); }));
    EXPECT_EQ(label(*window, "Waiting for"), QStringLiteral("Waiting for ") + path(a) + QStringLiteral(", virtual:/nowhere.sock"));
}

TEST_F(Station, startAllRunsEveryProgrammerAndAFailureStaysOnItsTile) {
    auto window = openWindow();
    ASSERT_TRUE(window);
    for (uint32_t id = 1; id <= 4; ++id)
        plug("gang-" + std::to_string(id), 0x10 + id);
    ASSERT_TRUE(pumpUntil([&] { return window->tiles().size() == 4; }));
    vprog::VirtualProgrammer& bad = *programmers[2];
    failNextCheck(bad);

    button(*window, QStringLiteral("Start all"))->click();
    for (ProgrammerTile* t : window->tiles())
        EXPECT_EQ(t->stateText(), QStringLiteral("RUNNING"));
    ASSERT_TRUE(pumpUntil([&] { return allDone(*window, 4); }));

    for (uint32_t id = 1; id <= 4; ++id) {
        vprog::VirtualProgrammer& p = *programmers[id - 1];
        ProgrammerTile* t = window->tile(path(p));
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->stateText(), &p == &bad ? QStringLiteral("FAIL") : QStringLiteral("PASS")) << p.devicePath();
        // The board id is known once the board has answered.
        EXPECT_EQ(t->title(), path(p) + QStringLiteral("  board ") + qv::engine::hex8(0x10 + id));
    }
    ProgrammerTile* failed = window->tile(path(bad));
    EXPECT_TRUE(failed->reason().startsWith(QStringLiteral("exit 1: program-mcu:"))) << failed->reason().toStdString();
    EXPECT_FALSE(failed->reason().contains(QLatin1Char('\n')));
    EXPECT_TRUE(failed->logText().contains(QStringLiteral("Program target is fail....."))) << failed->logText().toStdString();
    EXPECT_EQ(label(*window, "Passed:"), QStringLiteral("Passed: 3  Failed: 1"));
    // Each board without a tag is a board of its own.
    EXPECT_EQ(label(*window, "First-pass yield"), QStringLiteral("First-pass yield: 75.0% of 4 boards"));
    for (auto& p : programmers) {
        if (p.get() != &bad) {
            EXPECT_TRUE(holdsImage(*p, image)) << p->devicePath();
        }
    }
    EXPECT_EQ(recordedTags().size(), 4);
}

TEST_F(Station, aLabelScannedIntoTheTagFieldStartsEveryProgrammerWithIt) {
    auto window = openWindow();
    ASSERT_TRUE(window);
    plug("scan-a", 1);
    plug("scan-b", 2);
    ASSERT_TRUE(pumpUntil([&] { return window->tiles().size() == 2; }));
    window->show();
    auto* tag = window->findChild<QLineEdit*>();
    ASSERT_NE(tag, nullptr);
    ASSERT_EQ(tag->accessibleName(), QStringLiteral("Tag"));
    // As a scanner types: the label's keys, then Enter.
    const auto key = [tag](int code, const QString& text) {
        QKeyEvent press(QEvent::KeyPress, code, Qt::NoModifier, text);
        QKeyEvent release(QEvent::KeyRelease, code, Qt::NoModifier, text);
        QCoreApplication::sendEvent(tag, &press);
        QCoreApplication::sendEvent(tag, &release);
    };
    for (const QChar c : QStringLiteral("SN-88213"))
        key(c.unicode(), QString(c));
    EXPECT_EQ(tag->text(), QStringLiteral("SN-88213"));
    EXPECT_FALSE(window->running()) << "typing alone starts nothing";
    key(Qt::Key_Return, QStringLiteral("\r"));
    EXPECT_TRUE(tag->text().isEmpty()) << "the field is ready for the next label";
    ASSERT_TRUE(pumpUntil([&] { return allDone(*window, 2); }));
    for (ProgrammerTile* t : window->tiles()) {
        EXPECT_EQ(t->stateText(), QStringLiteral("PASS"));
        EXPECT_EQ(t->lastBoard(), QStringLiteral("no serial  Tag SN-88213"));
    }
    EXPECT_EQ(recordedTags(), QStringList({QStringLiteral("SN-88213"), QStringLiteral("SN-88213")}));
}

// The counters are this window's; the yield comes from the records, where a board retested under
// its tag counts once with its first result.
TEST_F(Station, countersCountThisWindowsBoardsAndTheYieldCountsARetestOnce) {
    // A board of this job from an earlier day, already in the records.
    {
        auto earlier = openWindow();
        ASSERT_TRUE(earlier);
        plug("counter", 7);
        ASSERT_TRUE(pumpUntil([&] { return earlier->tiles().size() == 1; }));
        earlier->tiles().first()->startButton()->click();
        ASSERT_TRUE(pumpUntil([&] { return allDone(*earlier, 1); }));
        EXPECT_EQ(label(*earlier, "Passed:"), QStringLiteral("Passed: 1  Failed: 0"));
    }
    auto window = openWindow();
    ASSERT_TRUE(window);
    ASSERT_TRUE(pumpUntil([&] { return window->tiles().size() == 1 && !window->recordsBusy(); }));
    EXPECT_EQ(label(*window, "Passed:"), QStringLiteral("Passed: 0  Failed: 0"));
    EXPECT_EQ(label(*window, "First-pass yield"), QStringLiteral("First-pass yield: 100.0% of 1 board"));
    auto* tag = window->findChild<QLineEdit*>();
    ProgrammerTile* tile = window->tiles().first();
    const auto runBoard = [&](const char* label, bool fail) {
        if (fail)
            failNextCheck(*programmers.front());
        tag->setText(QString::fromLatin1(label));
        tile->startButton()->click();
        ASSERT_TRUE(pumpUntil([&] { return allDone(*window, 1); }));
        EXPECT_EQ(tile->stateText(), fail ? QStringLiteral("FAIL") : QStringLiteral("PASS")) << label;
    };
    runBoard("B-1", true);
    runBoard("B-1", false);  // the same board again: passes now, but did not the first time
    runBoard("B-2", false);
    EXPECT_EQ(label(*window, "Passed:"), QStringLiteral("Passed: 2  Failed: 1"));
    EXPECT_EQ(label(*window, "First-pass yield"), QStringLiteral("First-pass yield: 66.7% of 3 boards"));
}

#ifndef _WIN32
// The window never asks the record server on its own thread: with the server frozen (its
// processes stopped, its connections open) the window goes on handling its events while a
// board's number cannot be drawn, and the board is not started. Once the server is back, the next
// board finds it again (the status line says so), draws its number and stores its row there.
TEST_F(Station, aFrozenRecordServerNeverHoldsTheWindowAndIsFoundAgain) {
    ::chmod(qPrintable(work.path()), 0755);  // the server may run as another user
    qvtest::PostgresServer server(work.filePath(QStringLiteral("pg")));
    if (!server.skipReason().isEmpty())
        GTEST_SKIP() << server.skipReason().toStdString();
    QString error;
    ASSERT_TRUE(server.start(error)) << error.toStdString();
    const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", work.filePath(QStringLiteral("data")).toUtf8());  // the spool
    qputenv("QV310_RECORD_SERVER_TIMEOUT_MS", "1500");
    writeJob(R"({"steps": [{"program-mcu": "mcu.bin", "addr": "0xA000", "sha256": ")" + digest +
             R"(", "serial": {"offset": "0x100", "format": "u32le", "first": 70, "last": 79}}]})");
    options.recordPath = QString::fromStdString(server.url());
    {
        auto window = openWindow();
        ASSERT_TRUE(window);
        plug("frozen-server", 9);
        ASSERT_TRUE(pumpUntil([&] { return window->tiles().size() == 1 && !window->recordsBusy(); }));
        ProgrammerTile* tile = window->tiles().first();
        ASSERT_TRUE(server.freeze());
        // The window's thread, seen from its own event loop: the longest pause between ticks.
        QElapsedTimer clock;
        clock.start();
        qint64 last = 0;
        qint64 longest = 0;
        QTimer tick;
        tick.setInterval(20);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            longest = std::max(longest, clock.elapsed() - last);
            last = clock.elapsed();
        });
        tick.start();
        tile->startButton()->click();
        const bool refused = pumpUntil([&] { return allDone(*window, 1); }, 30000);
        longest = std::max(longest, clock.elapsed() - last);  // a click that did not come back at once
        tick.stop();
        EXPECT_TRUE(server.thaw());
        ASSERT_TRUE(refused);
        EXPECT_LT(longest, 1000) << "the window waited on the server (1.5 s when it does)";
        EXPECT_EQ(tile->stateText(), QStringLiteral("READY"));
        const auto statusSays = [&](const char* text) {
            for (QLabel* l : window->findChildren<QLabel*>()) {
                if (l->text().contains(QLatin1String(text)))
                    return true;
            }
            return false;
        };
        EXPECT_TRUE(statusSays("did not answer within 1.5 s"));

        tile->startButton()->click();
        ASSERT_TRUE(pumpUntil([&] { return allDone(*window, 1); }, 30000));
        EXPECT_EQ(tile->stateText(), QStringLiteral("PASS")) << tile->reason().toStdString();
        EXPECT_TRUE(statusSays("reconnected to the record server"));
        EXPECT_EQ(tile->lastBoard(), QStringLiteral("Serial 70  no tag"));
    }
    QString serials;
    EXPECT_TRUE(server.sql(QStringLiteral("SELECT string_agg(serial, ',') FROM records"), error, &serials,
                           QStringLiteral("line")))
        << error.toStdString();
    EXPECT_EQ(serials, QStringLiteral("70"));
    qunsetenv("QV310_RECORD_SERVER_TIMEOUT_MS");
    if (dataHome.isNull())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", dataHome);
}
#endif

// Closing the window stops a board that is being programmed, as a pulled cable would; its row
// still says what happened.
TEST_F(Station, closingTheWindowStopsARunningBoardAndRecordsIt) {
    auto window = openWindow();
    ASSERT_TRUE(window);
    auto& p = plug("stuck", 4);
    ASSERT_TRUE(pumpUntil([&] { return window->tiles().size() == 1; }));
    p.withModel([](vprog::DeviceModel& m) {
        m.mutableOptions().fault = vprog::Fault::Stall;  // takes a request and never answers again
        m.mutableOptions().faultAtRequest = m.requestCount() + 3;
    });
    button(*window, QStringLiteral("Start all"))->click();
    bool stalled = false;
    ASSERT_TRUE(pumpUntil([&] {
        p.withModel([&](vprog::DeviceModel& m) { stalled = m.faultFired(); });
        return stalled;
    }));
    ASSERT_TRUE(window->running());
    window->close();
    EXPECT_FALSE(window->running());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(qPrintable(options.recordPath), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT exit_code, error FROM records", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 130);
    EXPECT_EQ(sqlite3_step(st), SQLITE_DONE) << "one row";
    sqlite3_finalize(st);
    sqlite3_close(db);
}

// The job is fixed for the life of the window: what an operator can press or type is Start all,
// Start, Log and the Tag field; and every control is named as it reads, for screen readers and
// test robots.
TEST_F(Station, noControlCanChangeTheJobAndEveryControlIsNamedAsItReads) {
    auto window = openWindow();
    ASSERT_TRUE(window);
    plug("walk", 3);
    ASSERT_TRUE(pumpUntil([&] { return window->tiles().size() == 1; }));
    failNextCheck(*programmers.front());
    button(*window, QStringLiteral("Start all"))->click();
    ASSERT_TRUE(pumpUntil([&] { return allDone(*window, 1); }));
    window->show();
    button(*window, QStringLiteral("Log"))->click();  // every widget of a failed tile on show
    ASSERT_TRUE(window->findChild<QPlainTextEdit*>()->isVisible());

    const QStringList allowed = {QStringLiteral("Start all"), QStringLiteral("Start"), QStringLiteral("Log")};
    int inputs = 0;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisible())
            continue;
        const std::string what = w->metaObject()->className() + std::string(" ") + w->accessibleName().toStdString();
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            EXPECT_EQ(b->accessibleName(), b->text()) << what;
            if (b->isEnabled()) {
                EXPECT_TRUE(allowed.contains(b->text())) << what;
            }
            ++inputs;
        } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
            EXPECT_EQ(e->accessibleName(), QStringLiteral("Tag")) << what;
            ++inputs;
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            // A tile's title may carry invisible break hints in its path.
            EXPECT_EQ(l->accessibleName(), QString(l->text()).remove(QChar(0x200B))) << what;
        } else if (auto* tile = qobject_cast<ProgrammerTile*>(w)) {
            EXPECT_EQ(tile->accessibleName(), tile->device() + QStringLiteral("  board 0x00000003")) << what;
        } else if (auto* t = qobject_cast<QPlainTextEdit*>(w)) {
            EXPECT_TRUE(t->isReadOnly()) << what;
        } else if (!qobject_cast<QScrollBar*>(w)) {  // scrolling the tiles changes nothing
            EXPECT_FALSE(qobject_cast<QTextEdit*>(w) || qobject_cast<QComboBox*>(w) ||
                         qobject_cast<QAbstractSpinBox*>(w) || qobject_cast<QAbstractSlider*>(w))
                << what << " could change a setting";
        }
    }
    EXPECT_EQ(inputs, 4) << "Tag, Start all, and the tile's Start and Log";
    EXPECT_EQ(window->findChild<QLineEdit*>()->accessibleName(), QStringLiteral("Tag"));
}

TEST(StationCommandLine, readsTheJobTheRecordAndTheProgrammersAndRefusesTheRest) {
    const struct {
        QStringList args;
        bool ok;
        QString job, record;
        QStringList devices;
        const char* says;
    } cases[] = {
        {{"line.json", "--record", "db.sqlite", "-d", "usb:1-2", "--device=usb:1-3"}, true, "line.json", "db.sqlite",
         {"usb:1-2", "usb:1-3"}, ""},
        {{"--record=postgresql://station@server/line", "line.json", "-d", "all"}, true, "line.json",
         "postgresql://station@server/line", {}, ""},
        {{}, true, "", "", {}, ""},
        {{"line.json", "--record"}, false, "", "", {}, "--record needs"},
        {{"line.json", "-d", "board:0x0000000A"}, false, "", "", {}, "not board ids"},
        {{"line.json", "other.json"}, false, "", "", {}, "one job file only"},
        {{"line.json", "--speed", "high"}, false, "", "", {}, "unknown option \"--speed\""},
        {{"--from-menu", "line.json"}, true, "line.json", "", {}, ""},
        {{"--from-menu"}, true, "", "", {}, ""},
        {{"--from-menu=1"}, false, "", "", {}, "unknown option"},
    };
    for (const auto& c : cases) {
        const qv::station::ParsedStationArgs parsed = qv::station::parseStationArgs(c.args);
        const std::string name = c.args.join(' ').toStdString();
        EXPECT_EQ(parsed.ok, c.ok) << name;
        EXPECT_TRUE(parsed.error.contains(QLatin1String(c.says))) << name << ": " << parsed.error.toStdString();
        if (c.ok) {
            EXPECT_EQ(parsed.options.jobFile, c.job) << name;
            EXPECT_EQ(parsed.options.recordPath, c.record) << name;
            EXPECT_EQ(parsed.options.devices, c.devices) << name;
            EXPECT_EQ(parsed.options.fromMenu, c.args.contains(QStringLiteral("--from-menu"))) << name;
        }
    }
}

#ifndef _WIN32
// The menu entry says it is the menu that starts the station, and claims no file type: a job file
// is JSON, but not every JSON file is a job.
TEST(StationDesktopEntry, startsTheStationFromTheMenuAndClaimsNoJsonFile) {
    QFile entry(QStringLiteral(QV_SOURCE_DIR "/packaging/desktop/qv310-station.desktop.in"));
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(entry.readAll()).split(QLatin1Char('\n'));
    EXPECT_TRUE(lines.contains(QStringLiteral("Exec=qv310-station --from-menu %f"))) << lines.join('\n').toStdString();
    for (const QString& line : lines)
        EXPECT_FALSE(line.startsWith(QLatin1String("MimeType=")) && line.contains(QLatin1String("application/json")))
            << line.toStdString();
}
#endif

// Started from the menu, the station's current folder is wherever the desktop was: a Flash.ini
// there is not the catalogue of its job. Started from a terminal it is, as for qv310.
TEST_F(Station, startedFromTheMenuItTakesNoFlashIniFromItsCurrentFolder) {
    QFile catalogue(work.filePath("Flash.ini"));
    ASSERT_TRUE(catalogue.open(QIODevice::WriteOnly));
    catalogue.write("0x1C4016,0x40,0x20,desk-drawer chip,\n");
    catalogue.close();
    const QString previous = QDir::currentPath();
    QDir::setCurrent(work.path());
    const QString here = QDir(work.path()).absoluteFilePath(QStringLiteral("Flash.ini"));
    {
        auto fromTerminal = openWindow();
        ASSERT_TRUE(fromTerminal);
        EXPECT_EQ(fromTerminal->job().plan().flashCatalogueSource, here);
    }
    options.fromMenu = true;
    {
        auto fromMenu = openWindow();
        ASSERT_TRUE(fromMenu);
        EXPECT_NE(fromMenu->job().plan().flashCatalogueSource, here);
    }
    QDir::setCurrent(previous);
}

// A gang under one scanned lot label is as many boards as it has: one failing of two is 50 % of
// 2 boards (it was 100 % or 0 % of 1, by whichever row came first).
TEST_F(Station, aLabelOnAGangCountsEveryBoardInTheYield) {
    auto window = openWindow();
    ASSERT_TRUE(window);
    plug("lot-a", 1);
    plug("lot-b", 2);
    ASSERT_TRUE(pumpUntil([&] { return window->tiles().size() == 2; }));
    failNextCheck(*programmers[1]);
    window->findChild<QLineEdit*>()->setText(QStringLiteral("LOT-2026-49"));
    button(*window, QStringLiteral("Start all"))->click();
    ASSERT_TRUE(pumpUntil([&] { return allDone(*window, 2); }));
    EXPECT_EQ(label(*window, "Passed:"), QStringLiteral("Passed: 1  Failed: 1"));
    EXPECT_EQ(label(*window, "First-pass yield"), QStringLiteral("First-pass yield: 50.0% of 2 boards"));
    EXPECT_EQ(recordedTags(), QStringList({QStringLiteral("LOT-2026-49"), QStringLiteral("LOT-2026-49")}));
}

#ifndef _WIN32
// A draw that fails at the station (the range has too few numbers left) is said on the status
// line without the password of the server's URL.
TEST_F(Station, aFailingDrawShowsNoPasswordOnTheStatusLine) {
    QTemporaryDir serverFolder;
    ASSERT_TRUE(serverFolder.isValid());
    // The server runs as another user when the tests run as root: it must reach its folder.
    QFile::setPermissions(serverFolder.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                   QFileDevice::ExeOther);
    qvtest::PostgresServer server(serverFolder.filePath(QStringLiteral("pg")));
    if (!server.skipReason().isEmpty())
        GTEST_SKIP() << "PostgreSQL tests skipped: " << server.skipReason().toStdString();
    QString error;
    ASSERT_TRUE(server.start(error)) << error.toStdString();
    writeJob(R"({"steps": [{"program-mcu": "mcu.bin", "addr": "0xA000", "sha256": ")" + digest +
             R"(", "serial": {"offset": "0x100", "format": "u32le", "first": 5, "last": 5}}]})");
    options.recordPath = QString::fromStdString(server.url());
    ASSERT_TRUE(options.recordPath.contains(QLatin1String(":secret@")));
    auto window = openWindow();
    ASSERT_TRUE(window);
    plug("pw-a", 1);
    plug("pw-b", 2);
    ASSERT_TRUE(pumpUntil([&] { return window->tiles().size() == 2; }));
    button(*window, QStringLiteral("Start all"))->click();
    // The numbers are drawn away from the window's thread: the refusal comes back to it.
    EXPECT_TRUE(pumpUntil([&] { return !window->running() && !window->recordsBusy(); }));
    QStringList texts;
    for (QLabel* l : window->findChildren<QLabel*>())
        texts << l->text();
    const QString all = texts.join(QLatin1Char('\n'));
    EXPECT_TRUE(all.contains(QLatin1String("need one"))) << all.toStdString();
    EXPECT_TRUE(all.contains(QLatin1String("station:***@"))) << all.toStdString();
    EXPECT_FALSE(all.contains(QLatin1String("secret"))) << all.toStdString();
    for (auto& p : programmers)
        p->withModel([](vprog::DeviceModel& m) { EXPECT_EQ(m.requestCount(), 0u); });
}
#endif

// A job that cannot run opens no window: nothing is sent, and the reason names the file.
TEST_F(Station, aBadJobFileOpensNoWindow) {
    plug("untouched", 9);
    const QByteArray step = R"({"program-mcu": "mcu.bin", "addr": "0xA000", "sha256": ")";
    const struct {
        const char* name;
        QByteArray job;
        const char* says;
    } cases[] = {
        {"a digest that does not match", "{\"steps\": [" + step + QByteArray(64, '0') + "\"}]}", "mcu.bin"},
        {"not JSON", "{\"steps\": [", "line.json"},
        {"a serial and no record to take it from",
         "{\"steps\": [" + step + digest +
             R"(", "serial": {"offset": "0x100", "format": "u32le", "first": 1, "last": 9}}]})",
         "--record"},
        {"no such job file", QByteArray(), "missing.json"},
    };
    for (const auto& c : cases) {
        options.recordPath.clear();
        if (c.job.isEmpty())
            options.jobFile = work.filePath("missing.json");
        else
            writeJob(c.job);
        qv::engine::JobFailure failure;
        EXPECT_FALSE(StationWindow::open(options, failure)) << c.name;
        EXPECT_NE(failure.code, 0) << c.name;
        EXPECT_TRUE(failure.message.contains(QLatin1String(c.says))) << c.name << ": " << failure.message.toStdString();
    }
    programmers.front()->withModel([](vprog::DeviceModel& m) { EXPECT_EQ(m.requestCount(), 0u); });
}

}  // namespace
