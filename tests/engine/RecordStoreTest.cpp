// The record database: marked as this program's, brought up to date in one transaction, and
// refused before anything is sent when it is another program's or newer.

#include "engine/RecordStore.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using qv::engine::SqliteRecordStore;

QByteArray bytesOf(const std::string& file) {
    QFile f(QString::fromStdString(file));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// The records table exactly as the first qv310 made it (no application id, user version 0).
const char kFirstLayout[] =
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE IF NOT EXISTS records ( id INTEGER PRIMARY KEY, utc TEXT NOT NULL, host TEXT NOT NULL,"
    " device TEXT NOT NULL, board_id INTEGER, board_mcu INTEGER, app_version INTEGER, boot_version INTEGER,"
    " target_type INTEGER, target_flash_id INTEGER, operation TEXT NOT NULL, file TEXT NOT NULL,"
    " size INTEGER NOT NULL, crc32 INTEGER NOT NULL, sha256 TEXT NOT NULL, address INTEGER, result INTEGER,"
    " exit_code INTEGER NOT NULL, duration_ms INTEGER NOT NULL, blocks_written INTEGER, blocks_skipped INTEGER,"
    " error TEXT, log TEXT NOT NULL);"
    "INSERT INTO records (utc, host, device, board_id, operation, file, size, crc32, sha256, exit_code,"
    " duration_ms, log) VALUES ('2026-01-02T03:04:05.006Z', 'pc1', 'usb:1-2', 10, 'program-mcu', '/a.bin', 100,"
    " 1234, 'ab', 0, 50, 'Program target is OK!!!!!!');"
    "INSERT INTO records (utc, host, device, board_id, operation, file, size, crc32, sha256, exit_code,"
    " duration_ms, error, log) VALUES ('2026-01-02T03:05:00.000Z', 'pc1', 'usb:1-2', 11, 'program-mcu', '/a.bin',"
    " 100, 1234, 'ab', 5, 60, 'the programmer vanished', '');";

class RecordDatabase : public ::testing::Test {
  protected:
    std::string path(const char* name) const { return dir_.filePath(QString::fromLatin1(name)).toStdString(); }
    void make(const std::string& file, const char* sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        char* message = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
        sqlite3_free(message);
        sqlite3_close(db);
    }
    int64_t scalar(const std::string& file, const char* sql) {
        sqlite3* db = nullptr;
        sqlite3_open(file.c_str(), &db);
        sqlite3_stmt* s = nullptr;
        int64_t value = -1;
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
            value = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
        sqlite3_close(db);
        return value;
    }
    QTemporaryDir dir_;
};

TEST_F(RecordDatabase, theFirstLayoutIsMigratedAndKeepsItsRows) {
    const std::string db = path("first.db");
    make(db, kFirstLayout);
    QString error;
    {
        auto store = SqliteRecordStore::open(QString::fromStdString(db), error);
        ASSERT_TRUE(store) << error.toStdString();
        qv::engine::OperationResult row;
        row.utc = QStringLiteral("2026-12-10T00:00:00.000Z");
        row.device = QStringLiteral("usb:1-3");
        row.operation = QStringLiteral("verify-mcu");
        row.file = QStringLiteral("/a.bin");
        row.targetStarted = true;
        ASSERT_TRUE(store->append(row, error)) << error.toStdString();
    }
    EXPECT_EQ(scalar(db, "PRAGMA application_id"), SqliteRecordStore::kApplicationId);
    EXPECT_EQ(scalar(db, "PRAGMA user_version"), SqliteRecordStore::kSchemaVersion);
    EXPECT_EQ(scalar(db, "SELECT count(*) FROM records"), 3);
    EXPECT_EQ(scalar(db, "SELECT board_id FROM records WHERE id = 2"), 11);
    EXPECT_EQ(scalar(db, "SELECT count(*) FROM records WHERE error = 'the programmer vanished'"), 1);
    EXPECT_EQ(scalar(db, "SELECT count(*) FROM records WHERE tool_version IS NULL"), 2) << "old rows stay as they were";
    EXPECT_EQ(scalar(db, "SELECT target_started FROM records WHERE id = 3"), 1);

    // Opened again: nothing to migrate, the rows stay.
    ASSERT_TRUE(SqliteRecordStore::open(QString::fromStdString(db), error)) << error.toStdString();
    EXPECT_EQ(scalar(db, "SELECT count(*) FROM records"), 3);
}

TEST_F(RecordDatabase, anotherProgramsDatabaseIsRefusedAndLeftAsItWas) {
    struct Case {
        const char* name;
        const char* sql;
        const char* says;
    };
    const Case cases[] = {
        {"foreign.db", "CREATE TABLE records (id INTEGER PRIMARY KEY, serial TEXT)", "another program's"},
        {"other-tables.db", "CREATE TABLE boards (id INTEGER)", "tables of another program"},
        {"other-mark.db", "PRAGMA application_id=305419896; CREATE TABLE records (id INTEGER)", "another program"},
        {"newer.db", "PRAGMA application_id=1364603697; PRAGMA user_version=99; CREATE TABLE records (id INTEGER)",
         "newer than this qv310"},
        {"altered.db", "PRAGMA application_id=1364603697; PRAGMA user_version=2; CREATE TABLE records (id INTEGER)",
         "columns of schema 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string db = path(c.name);
        make(db, c.sql);
        const int64_t mark = scalar(db, "PRAGMA application_id");
        const QByteArray before = bytesOf(db);
        QString error;
        EXPECT_FALSE(SqliteRecordStore::open(QString::fromStdString(db), error));
        EXPECT_TRUE(error.contains(QLatin1String(c.says))) << error.toStdString();
        // Not a byte changed (its journal mode neither), and no write-ahead log made beside it.
        EXPECT_TRUE(bytesOf(db) == before) << "the file changed; its header's format bytes (1 1: rollback journal, "
                                              "2 2: write-ahead log): "
                                           << int(bytesOf(db).at(18)) << " " << int(bytesOf(db).at(19));
        EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(db + "-wal")));
        EXPECT_EQ(scalar(db, "PRAGMA application_id"), mark);
        EXPECT_EQ(scalar(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table'"), 1);
    }
}

TEST_F(RecordDatabase, theFirstPassYieldCountsARetestedBoardOnce) {
    QString error;
    auto store = SqliteRecordStore::open(QString::fromStdString(path("yield.db")), error);
    ASSERT_TRUE(store) << error.toStdString();
    int n = 0;
    // (job, tag, run, exit code) of each row; a run's rows share its run id.
    const auto row = [&](const char* job, const char* tag, const char* run, int code) {
        qv::engine::OperationResult r;
        r.utc = QStringLiteral("2026-12-10T00:00:00.000Z");
        r.device = QStringLiteral("usb:1-1");
        r.operation = QStringLiteral("program-mcu");
        r.file = QStringLiteral("/a.bin");
        r.jobSha256 = QLatin1String(job);
        r.tag = QLatin1String(tag);
        r.runUuid = QLatin1String(run);
        r.uuid = QStringLiteral("row-%1").arg(++n);
        r.exitCode = code;
        ASSERT_TRUE(store->append(r, error)) << error.toStdString();
    };
    row("J", "SN-1", "r1", 0);
    row("J", "SN-1", "r1", 1);  // the same run's second step failed: SN-1 failed first
    row("J", "SN-1", "r2", 0);  // retested, passed: still one board, not first-pass
    row("J", "SN-2", "r3", 0);
    row("J", "", "r4", 0);      // no tag: a board of its own
    row("J", "", "r5", 5);
    row("K", "SN-3", "r6", 0);  // another job
    qv::engine::JobYield yield;
    ASSERT_TRUE(store->jobYield(QStringLiteral("J"), yield, error)) << error.toStdString();
    EXPECT_EQ(yield.boards, 4);
    EXPECT_EQ(yield.passedFirstTime, 2);
}

// A gang or a station round under one scanned lot label is as many boards as it had; a tag names
// one board only when it was the only board of its round. The station's figure (jobYield) and
// qv310 records yield's (readYields) are the same.
TEST_F(RecordDatabase, boardsSharingATagInOneRoundCountEach) {
    struct Row {
        const char* tag;
        const char* run;
        const char* round;  // nullptr: a row from before rounds were recorded
        int code;
    };
    struct Case {
        const char* name;
        std::vector<Row> rows;
        int boards;
        int firstPass;
        double percent;
    };
    const Case cases[] = {
        {"a gang of two with one tag, one failing", {{"LOT-1", "a", "R1", 0}, {"LOT-1", "b", "R1", 1}}, 2, 1, 50.0},
        {"a gang of two with one tag, the failing one first",
         {{"LOT-1", "b", "R1", 1}, {"LOT-1", "a", "R1", 0}},
         2,
         1,
         50.0},
        {"a gang of three with one tag, then the same tag on a gang again",
         {{"LOT-2", "a", "R1", 0}, {"LOT-2", "b", "R1", 0}, {"LOT-2", "c", "R1", 1}, {"LOT-2", "d", "R2", 0},
          {"LOT-2", "e", "R2", 0}},
         5,
         4,
         80.0},
        {"a board retested alone under its tag", {{"SN-1", "a", "R1", 1}, {"SN-1", "b", "R2", 0}}, 1, 0, 0.0},
        {"boards without a tag in one round", {{"", "a", "R1", 0}, {"", "b", "R1", 5}}, 2, 1, 50.0},
        {"a gang of two, two tags, one retested",
         {{"SN-1", "a", "R1", 0}, {"SN-2", "b", "R1", 1}, {"SN-2", "c", "R2", 0}},
         2,
         1,
         50.0},
        {"rows from before rounds were recorded: the tag is the board",
         {{"SN-3", "a", nullptr, 1}, {"SN-3", "b", nullptr, 0}},
         1,
         0,
         0.0},
        {"two of three", {{"", "a", "R1", 0}, {"", "b", "R2", 0}, {"", "c", "R3", 4}}, 3, 2, 66.7},
    };
    int file = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string db = path(("yield-" + std::to_string(++file) + ".db").c_str());
        QString error;
        auto store = SqliteRecordStore::open(QString::fromStdString(db), error);
        ASSERT_TRUE(store) << error.toStdString();
        int n = 0;
        for (const Row& row : c.rows) {
            qv::engine::OperationResult r;
            r.utc = QStringLiteral("2026-12-10T00:00:00.000Z");
            r.device = QStringLiteral("usb:1-%1").arg(n);
            r.operation = QStringLiteral("program-mcu");
            r.file = QStringLiteral("/a.bin");
            r.jobSha256 = QStringLiteral("J");
            r.tag = QLatin1String(row.tag);
            r.runUuid = QLatin1String(row.run);
            r.roundUuid = row.round ? QLatin1String(row.round) : QString();
            r.uuid = QStringLiteral("row-%1").arg(++n);
            r.exitCode = row.code;
            if (row.code != 0)
                r.error = QStringLiteral("the operation failed on the board (result -7)");
            ASSERT_TRUE(store->append(r, error)) << error.toStdString();
        }
        qv::engine::JobYield yield;
        ASSERT_TRUE(store->jobYield(QStringLiteral("J"), yield, error)) << error.toStdString();
        EXPECT_EQ(yield.boards, c.boards);
        EXPECT_EQ(yield.passedFirstTime, c.firstPass);
        EXPECT_DOUBLE_EQ(yield.percent(), c.percent);
        QVector<qv::engine::JobYield> all;
        ASSERT_TRUE(qv::engine::readYields(QString::fromStdString(db), all, error)) << error.toStdString();
        ASSERT_EQ(all.size(), 1);
        EXPECT_EQ(all[0].job, QStringLiteral("J"));
        EXPECT_EQ(all[0].boards, yield.boards);
        EXPECT_EQ(all[0].passedFirstTime, yield.passedFirstTime);
        if (c.firstPass < c.boards) {
            ASSERT_EQ(all[0].reasons.size(), 1);
            EXPECT_EQ(all[0].reasons[0].reason,
                      QStringLiteral("program-mcu: the operation failed on the board (result -7)"));
            EXPECT_EQ(all[0].reasons[0].boards, c.boards - c.firstPass);
        }
    }
}

// The ten most frequent reasons of the boards whose first run failed, the most frequent first;
// the reason of a board is its last failing row's.
TEST_F(RecordDatabase, theYieldNamesTheTenMostFrequentFailures) {
    QString error;
    const std::string db = path("reasons.db");
    auto store = SqliteRecordStore::open(QString::fromStdString(db), error);
    ASSERT_TRUE(store) << error.toStdString();
    int n = 0;
    const auto board = [&](const QString& operation, const QString& reason, int code) {
        ++n;
        for (int step = 0; step < 2; ++step) {
            qv::engine::OperationResult r;
            r.utc = QStringLiteral("2026-12-10T00:00:00.000Z");
            r.device = QStringLiteral("usb:1-1");
            r.operation = step == 0 ? QStringLiteral("write-ui") : operation;
            r.file = QStringLiteral("/a.bin");
            r.jobSha256 = QStringLiteral("J");
            r.runUuid = QStringLiteral("run-%1").arg(n);
            r.roundUuid = QStringLiteral("round-%1").arg(n);
            r.uuid = QStringLiteral("row-%1-%2").arg(n).arg(step);
            r.exitCode = step == 0 ? 0 : code;
            r.error = step == 0 ? QString() : reason;
            ASSERT_TRUE(store->append(r, error)) << error.toStdString();
        }
    };
    for (int i = 0; i < 3; ++i)
        board(QStringLiteral("program-mcu"), QStringLiteral("the programmer vanished"), 5);
    for (int i = 0; i < 2; ++i)
        board(QStringLiteral("verify-mcu"), QStringLiteral("the operation failed on the board (result -7)"), 1);
    for (int i = 0; i < 10; ++i)
        board(QStringLiteral("check-ui"), QStringLiteral("reason %1").arg(i, 2, 10, QLatin1Char('0')), 1);
    board(QStringLiteral("program-mcu"), QString(), 4);  // no error text: its exit code
    board(QStringLiteral("program-mcu"), QString(), 0);
    QVector<qv::engine::JobYield> yields;
    ASSERT_TRUE(qv::engine::readYields(QString::fromStdString(db), yields, error)) << error.toStdString();
    ASSERT_EQ(yields.size(), 1);
    EXPECT_EQ(yields[0].boards, 17);
    EXPECT_EQ(yields[0].passedFirstTime, 1);
    QStringList reasons;
    for (const auto& r : yields[0].reasons)
        reasons << QStringLiteral("%1 %2").arg(r.boards).arg(r.reason);
    EXPECT_EQ(reasons, (QStringList{QStringLiteral("3 program-mcu: the programmer vanished"),
                                    QStringLiteral("2 verify-mcu: the operation failed on the board (result -7)"),
                                    QStringLiteral("1 check-ui: reason 00"), QStringLiteral("1 check-ui: reason 01"),
                                    QStringLiteral("1 check-ui: reason 02"), QStringLiteral("1 check-ui: reason 03"),
                                    QStringLiteral("1 check-ui: reason 04"), QStringLiteral("1 check-ui: reason 05"),
                                    QStringLiteral("1 check-ui: reason 06"), QStringLiteral("1 check-ui: reason 07")}));
}

// A row of a board that may be programmed already waits for another writer (a draw, another
// station's row) rather than being lost after two seconds.
TEST_F(RecordDatabase, aRowWaitsForAnotherWriterInsteadOfBeingLost) {
    const std::string db = path("busy.db");
    QString error;
    auto store = SqliteRecordStore::open(QString::fromStdString(db), error);
    ASSERT_TRUE(store) << error.toStdString();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread holder([other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    qv::engine::OperationResult r;
    r.utc = QStringLiteral("2026-12-10T00:00:00.000Z");
    r.device = QStringLiteral("usb:1-1");
    r.operation = QStringLiteral("program-mcu");
    r.file = QStringLiteral("/a.bin");
    r.uuid = QStringLiteral("the-row");
    const auto started = std::chrono::steady_clock::now();
    const bool stored = store->append(r, error);
    const auto waited = std::chrono::steady_clock::now() - started;
    holder.join();
    sqlite3_close(other);
    EXPECT_TRUE(stored) << error.toStdString();
    EXPECT_GE(waited, std::chrono::milliseconds(3000)) << "it did not wait for the other writer";
    EXPECT_EQ(scalar(db, "SELECT count(*) FROM records WHERE uuid = 'the-row'"), 1);
}

namespace {

qv::engine::SerialRequest numbers(uint64_t first, uint64_t last) {
    qv::engine::SerialRequest request;
    request.field.offset = 0x100;
    request.field.format = qv::engine::SerialFormat::U32Le;
    request.field.first = first;
    request.field.last = last;
    request.device = QStringLiteral("usb:1-1");
    return request;
}

// Takes count numbers of [first, last] in one draw; empty when the draw is refused.
std::vector<uint64_t> draw(SqliteRecordStore& store, uint64_t first, uint64_t last, int count = 1) {
    QVector<qv::engine::SerialRequest> requests(count, numbers(first, last));
    QVector<uint64_t> values;
    QString error;
    if (!store.takeSerials(requests, values, error))
        return {};
    return std::vector<uint64_t>(values.begin(), values.end());
}

}  // namespace

// A draw takes the pool's next new number, or a number given back, whichever is lower; a pool
// overlapping another never gives a number the other holds.
TEST_F(RecordDatabase, aDrawGivesTheLowestFreeNumberOfItsPool) {
    QString error;
    auto store = SqliteRecordStore::open(QString::fromStdString(path("draws.db")), error);
    ASSERT_TRUE(store) << error.toStdString();
    using V = std::vector<uint64_t>;
    EXPECT_EQ(draw(*store, 1, 10, 5), (V{1, 2, 3, 4, 5}));
    for (uint64_t given : {4, 2})
        ASSERT_TRUE(store->finishSerial(qv::engine::SerialKind::Number, given, qv::engine::SerialOutcome::Returned, error));
    ASSERT_TRUE(store->finishSerial(qv::engine::SerialKind::Number, 3, qv::engine::SerialOutcome::Spoiled, error));
    // Returning a number already spoiled changes nothing.
    ASSERT_TRUE(store->finishSerial(qv::engine::SerialKind::Number, 3, qv::engine::SerialOutcome::Returned, error));
    EXPECT_EQ(draw(*store, 1, 10, 3), (V{2, 4, 6}));
    // A pool overlapping it: 5 and 6 are held, 7 is its first free number.
    EXPECT_EQ(draw(*store, 5, 20, 1), (V{7}));
    EXPECT_EQ(draw(*store, 1, 10, 1), (V{8}));
    ASSERT_TRUE(store->finishSerial(qv::engine::SerialKind::Number, 7, qv::engine::SerialOutcome::Returned, error));
    QVector<qv::engine::SerialPoolState> pools;
    ASSERT_TRUE(qv::engine::readSerialPools(QString::fromStdString(path("draws.db")), pools, error));
    ASSERT_EQ(pools.size(), 2);
    EXPECT_EQ(pools[0].next, std::optional<uint64_t>(7));
    EXPECT_EQ(pools[1].next, std::optional<uint64_t>(7));
    EXPECT_EQ(draw(*store, 1, 10, 3), (V{7, 9, 10}));
    // Exhausted: refused, and nothing taken.
    EXPECT_EQ(draw(*store, 1, 10, 1), V{});
    EXPECT_EQ(draw(*store, 5, 20, 2), (V{11, 12}));
    EXPECT_EQ(scalar(path("draws.db"), "SELECT count(*) FROM serials"), 12);
    EXPECT_EQ(scalar(path("draws.db"), "SELECT count(DISTINCT value) FROM serials"), 12);
}

// A pool of a database made before the pools had a counter goes on from its lowest free number,
// the numbers given back before (gaps) included.
TEST_F(RecordDatabase, aPoolOfAnOlderDatabaseGoesOnFromItsLowestFreeNumber) {
    const std::string db = path("schema3.db");
    make(db, "PRAGMA journal_mode=WAL;");
    {
        QString error;
        ASSERT_TRUE(SqliteRecordStore::open(QString::fromStdString(db), error)) << error.toStdString();
    }
    // As schema 3 left a pool: no counter, numbers 1-10 but 4 used, and 20.
    make(db,
         "INSERT INTO serial_pools (id, kind, first, last, next_new) VALUES (1, 'number', 1, 30, NULL);"
         "WITH RECURSIVE n(v) AS (SELECT 1 UNION ALL SELECT v + 1 FROM n WHERE v < 10)"
         " INSERT INTO serials (kind, value, pool, state, taken_utc, host, pid) SELECT 'number', v, 1, 'used',"
         " '2026-01-01T00:00:00.000Z', 'pc1', 1 FROM n WHERE v <> 4;"
         "INSERT INTO serials (kind, value, pool, state, taken_utc, host, pid) VALUES ('number', 20, 1, 'used',"
         " '2026-01-01T00:00:00.000Z', 'pc1', 1);");
    QString error;
    auto store = SqliteRecordStore::open(QString::fromStdString(db), error);
    ASSERT_TRUE(store) << error.toStdString();
    std::vector<uint64_t> got;
    for (int i = 0; i < 12; ++i) {
        const std::vector<uint64_t> one = draw(*store, 1, 30);
        ASSERT_EQ(one.size(), 1u);
        got.push_back(one[0]);
    }
    EXPECT_EQ(got, (std::vector<uint64_t>{4, 11, 12, 13, 14, 15, 16, 17, 18, 19, 21, 22}));
}

// A draw looks up its pool's counter and the numbers given back: it costs the same with two
// hundred thousand numbers used as with none (it used to read every used number of the pool,
// inside the write lock). The median of nine draws.
TEST_F(RecordDatabase, aDrawCostsTheSameWhateverThePoolHasGiven) {
    const std::string db = path("big.db");
    QString error;
    auto store = SqliteRecordStore::open(QString::fromStdString(db), error);
    ASSERT_TRUE(store) << error.toStdString();
    constexpr uint64_t kUsed = 200000;
    ASSERT_EQ(draw(*store, 1, 10000000).size(), 1u);
    ASSERT_EQ(draw(*store, 100000000, 200000000).size(), 1u);
    // The big pool's numbers, used (the first draw below moves past them once).
    make(db,
         "BEGIN;"
         "WITH RECURSIVE n(v) AS (SELECT 2 UNION ALL SELECT v + 1 FROM n WHERE v < 200000)"
         " INSERT INTO serials (kind, value, pool, state, taken_utc, host, pid) SELECT 'number', v, 1, 'used',"
         " '2026-01-01T00:00:00.000Z', 'pc1', 1 FROM n;"
         "COMMIT;");
    ASSERT_EQ(scalar(db, "SELECT count(*) FROM serials WHERE value <= 10000000"), int64_t(kUsed));
    const auto timeOf = [&](uint64_t first, uint64_t last) {
        std::vector<double> ms;
        for (int i = 0; i < 9; ++i) {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(draw(*store, first, last).size(), 1u);
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        std::sort(ms.begin(), ms.end());
        return ms[ms.size() / 2];
    };
    const double empty = timeOf(100000000, 200000000);
    const double full = timeOf(1, 10000000);
    // Both are mostly the commit's flush to the disk (a few milliseconds); reading the pool's
    // used numbers took a few hundred.
    EXPECT_LT(full, empty + 50.0) << "a draw from a pool of " << kUsed << " used numbers took " << full
                                  << " ms, from a fresh one " << empty << " ms";
}

#ifndef _WIN32
TEST_F(RecordDatabase, anExportThatCannotBeWrittenFails) {
    const std::string db = path("export.db");
    make(db, kFirstLayout);
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    QString error;
    qv::engine::RowExporter exporter(full, true);
    EXPECT_FALSE(qv::engine::exportRecords(QString::fromStdString(db), exporter, error));
    EXPECT_TRUE(error.contains(QLatin1String("could not be written"))) << error.toStdString();
    std::fclose(full);
}
#endif

}  // namespace
