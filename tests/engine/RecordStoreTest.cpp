// The record database: marked as this program's, brought up to date in one transaction, and
// refused before anything is sent when it is another program's or newer.

#include "engine/RecordStore.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <string>

namespace {

using qv::engine::SqliteRecordStore;

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
        QString error;
        EXPECT_FALSE(SqliteRecordStore::open(QString::fromStdString(db), error));
        EXPECT_TRUE(error.contains(QLatin1String(c.says))) << error.toStdString();
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
