#include "RecordStore.h"
#include "RecordRow.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QSysInfo>
#include <QCoreApplication>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <cstring>
#include <vector>

namespace qv::engine {

namespace {

// How long opening a database waits for another writer before it is refused as busy (nothing
// has been sent then), and how long reads wait.
constexpr int kBusyTimeoutMs = 2000;
// How long a row, a number's outcome or a draw waits for another writer once the database is
// open: a board may have been programmed already, and its row must not be lost to a writer that
// holds the lock a moment. Draws, appends and outcomes each hold it for milliseconds.
constexpr int kRowBusyTimeoutMs = 30000;

// The records table as the first qv310 made it (schema 1: no application id, user version 0).
const char kCreateVersion1[] =
    "CREATE TABLE records ("
    " id INTEGER PRIMARY KEY,"
    " utc TEXT NOT NULL,"
    " host TEXT NOT NULL,"
    " device TEXT NOT NULL,"
    " board_id INTEGER,"
    " board_mcu INTEGER,"
    " app_version INTEGER,"
    " boot_version INTEGER,"
    " target_type INTEGER,"
    " target_flash_id INTEGER,"
    " operation TEXT NOT NULL,"
    " file TEXT NOT NULL,"
    " size INTEGER NOT NULL,"
    " crc32 INTEGER NOT NULL,"
    " sha256 TEXT NOT NULL,"
    " address INTEGER,"
    " result INTEGER,"
    " exit_code INTEGER NOT NULL,"
    " duration_ms INTEGER NOT NULL,"
    " blocks_written INTEGER,"
    " blocks_skipped INTEGER,"
    " error TEXT,"
    " log TEXT NOT NULL)";

// What each schema version adds to the one before, applied in one transaction. A new database
// runs them all, so it has exactly the layout of a migrated one.
const char* const kMigrations[] = {
    kCreateVersion1,
    // 2: which program wrote the row, and whether the target started at the end.
    "ALTER TABLE records ADD COLUMN tool_version TEXT;"
    "ALTER TABLE records ADD COLUMN target_started INTEGER",
    // 3: the run's label, the board's number, the file as given and its job; the serial pools.
    "ALTER TABLE records ADD COLUMN tag TEXT;"
    "ALTER TABLE records ADD COLUMN serial TEXT;"
    "ALTER TABLE records ADD COLUMN source_sha256 TEXT;"
    "ALTER TABLE records ADD COLUMN job_sha256 TEXT;"
    "ALTER TABLE records ADD COLUMN uuid TEXT;"
    "ALTER TABLE records ADD COLUMN run_uuid TEXT;"
    "CREATE UNIQUE INDEX records_uuid ON records (uuid);"
    "CREATE INDEX records_job ON records (job_sha256);"
    "CREATE TABLE serial_pools (id INTEGER PRIMARY KEY, kind TEXT NOT NULL, first INTEGER NOT NULL,"
    " last INTEGER NOT NULL, UNIQUE (kind, first, last));"
    "CREATE TABLE serials (kind TEXT NOT NULL, value INTEGER NOT NULL, pool INTEGER NOT NULL,"
    " state TEXT NOT NULL CHECK (state IN ('taken', 'used', 'spoiled')), taken_utc TEXT NOT NULL,"
    " host TEXT NOT NULL, pid INTEGER NOT NULL, device TEXT, tag TEXT, finished_utc TEXT,"
    " PRIMARY KEY (kind, value)) WITHOUT ROWID",
    // 4: the round of boards started together (the first-pass yield tells a gang sharing a tag from
    // a retest); each pool's next new number and the numbers given back, so that a draw costs the
    // same however many numbers a pool has given.
    "ALTER TABLE records ADD COLUMN round_uuid TEXT;"
    "ALTER TABLE serial_pools ADD COLUMN next_new INTEGER;"
    "CREATE TABLE serial_returns (kind TEXT NOT NULL, value INTEGER NOT NULL, PRIMARY KEY (kind, value))"
    " WITHOUT ROWID",
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == SqliteRecordStore::kSchemaVersion);

// The columns of each schema version, in table order.
const std::vector<const char*> kColumnsVersion1 = {
    "id",          "utc",          "host",     "device",         "board_id",       "board_mcu",
    "app_version", "boot_version", "target_type", "target_flash_id", "operation",   "file",
    "size",        "crc32",        "sha256",   "address",        "result",         "exit_code",
    "duration_ms", "blocks_written", "blocks_skipped", "error",    "log"};
std::vector<const char*> columnsOfVersion(int version) {
    std::vector<const char*> columns = kColumnsVersion1;
    if (version >= 2) {
        columns.push_back("tool_version");
        columns.push_back("target_started");
    }
    if (version >= 3) {
        for (const char* c : {"tag", "serial", "source_sha256", "job_sha256", "uuid", "run_uuid"})
            columns.push_back(c);
    }
    if (version >= 4)
        columns.push_back("round_uuid");
    return columns;
}

QString sqliteError(sqlite3* db) {
    return QString::fromUtf8(db ? sqlite3_errmsg(db) : "out of memory");
}

bool exec(sqlite3* db, const char* sql, QString& error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    error = QString::fromUtf8(message ? message : sqlite3_errmsg(db));
    sqlite3_free(message);
    return false;
}

// The first column of the first row of a query, as text; empty on no row or an error.
QString queryText(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    QString value;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(statement, 0);
        value = QString::fromUtf8(text ? reinterpret_cast<const char*>(text) : "");
    }
    sqlite3_finalize(statement);
    return value;
}

int64_t queryInt(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    int64_t value = 0;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW)
        value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
}

QStringList tableColumns(sqlite3* db, const char* table) {
    QStringList names;
    sqlite3_stmt* statement = nullptr;
    const QByteArray sql = QByteArray("PRAGMA table_info(") + table + ")";
    if (sqlite3_prepare_v2(db, sql.constData(), -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW)
            names << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)));
    }
    sqlite3_finalize(statement);
    return names;
}

QStringList namesOf(const std::vector<const char*>& columns) {
    QStringList names;
    for (const char* c : columns)
        names << QString::fromLatin1(c);
    return names;
}

// The schema version of a database (with the write lock held): 0 for an empty one, the user
// version for one marked as this program's, 1 for a records table of the first qv310 (unmarked).
// -1 with a reason for anything else.
int schemaVersionOf(sqlite3* db, QString& why) {
    const int64_t applicationId = queryInt(db, "PRAGMA application_id");
    const int64_t userVersion = queryInt(db, "PRAGMA user_version");
    const int64_t tables = queryInt(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table'");
    const QStringList columns = tableColumns(db, "records");
    if (applicationId == SqliteRecordStore::kApplicationId) {
        if (userVersion > SqliteRecordStore::kSchemaVersion) {
            why = QStringLiteral("its records have schema %1, newer than this qv310 knows (%2); use a newer qv310")
                      .arg(userVersion)
                      .arg(SqliteRecordStore::kSchemaVersion);
            return -1;
        }
        if (userVersion < 1 || columns != namesOf(columnsOfVersion(int(userVersion)))) {
            why = QStringLiteral("its records table does not have the columns of schema %1").arg(userVersion);
            return -1;
        }
        return int(userVersion);
    }
    if (applicationId != 0) {
        why = QStringLiteral("it belongs to another program (application id 0x%1)")
                  .arg(QString::number(quint32(applicationId), 16).toUpper());
        return -1;
    }
    if (userVersion == 0 && tables == 0)
        return 0;
    if (userVersion == 0 && columns == namesOf(kColumnsVersion1))
        return 1;
    why = columns.isEmpty() ? QStringLiteral("it holds tables of another program and no qv310 records")
                            : QStringLiteral("its records table is another program's (other columns)");
    return -1;
}

// The row insert, with the columns of a record row in their order.
QByteArray insertStatement() {
    QByteArray names;
    QByteArray marks;
    for (const RowColumn& c : recordRow(OperationResult())) {
        names += (names.isEmpty() ? "" : ", ") + c.name;
        marks += marks.isEmpty() ? "?" : ", ?";
    }
    return "INSERT INTO records (" + names + ") VALUES (" + marks + ")";
}

}  // namespace

std::unique_ptr<SqliteRecordStore> SqliteRecordStore::open(const QString& path, QString& error) {
    if (QFileInfo(path).isDir()) {
        error = QStringLiteral("%1: is a folder, not a database").arg(path);
        return nullptr;
    }
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(path.toUtf8().constData(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    const auto fail = [&](const QString& why) -> std::unique_ptr<SqliteRecordStore> {
        error = QStringLiteral("%1: %2").arg(path, why);
        sqlite3_close(db);
        return nullptr;
    };
    if (rc != SQLITE_OK)
        return fail(sqliteError(db));
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    if (sqlite3_db_readonly(db, "main") == 1)
        return fail(QStringLiteral("the database is read-only"));
    QString why;
    // Another program's database is refused as it is: nothing of it changes, not even its journal
    // mode. (Checked again under the write lock below.)
    if (schemaVersionOf(db, why) < 0)
        return fail(why);
    // Readers and the writer of several qv310 processes then never block each other; SQLite can
    // only do it where the file's shared memory works, which excludes network shares.
    const QString mode = queryText(db, "PRAGMA journal_mode=WAL").toLower();
    if (mode != QLatin1String("wal")) {
        return fail(QStringLiteral("the database cannot use a write-ahead log (journal mode \"%1\"): "
                                   "keep it on a local disk, not a network share")
                        .arg(mode.isEmpty() ? sqliteError(db) : mode));
    }
    // Taking the write lock once proves the file is writable and not held by another writer.
    if (!exec(db, "BEGIN IMMEDIATE", why))
        return fail(why);
    const int version = schemaVersionOf(db, why);
    bool ok = version >= 0;
    for (int v = std::max(version, 0); ok && v < kSchemaVersion; ++v)
        ok = exec(db, kMigrations[v], why);
    if (ok && version < kSchemaVersion) {
        const QByteArray mark = QByteArray("PRAGMA application_id=") + QByteArray::number(kApplicationId) +
                                ";PRAGMA user_version=" + QByteArray::number(kSchemaVersion);
        ok = exec(db, mark.constData(), why);
    }
    if (!ok) {
        QString ignored;
        exec(db, "ROLLBACK", ignored);
        return fail(why);
    }
    if (!exec(db, "COMMIT", why))
        return fail(why);
    sqlite3_busy_timeout(db, kRowBusyTimeoutMs);
    sqlite3_stmt* insert = nullptr;
    const QByteArray insertSql = insertStatement();
    if (sqlite3_prepare_v3(db, insertSql.constData(), -1, SQLITE_PREPARE_PERSISTENT, &insert, nullptr) != SQLITE_OK)
        return fail(sqliteError(db));
    return std::unique_ptr<SqliteRecordStore>(new SqliteRecordStore(db, insert));
}

SqliteRecordStore::~SqliteRecordStore() {
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
}

bool SqliteRecordStore::append(const OperationResult& r, const QVector<Finish>& serials, QString& error) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    sqlite3_stmt* statement = insert_;
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    int column = 0;
    for (const RowColumn& c : recordRow(r)) {
        ++column;
        if (c.value.kind == RowValue::Kind::Integer) {
            sqlite3_bind_int64(statement, column, c.value.integer);
        } else if (c.value.kind == RowValue::Kind::Text) {
            const QByteArray bytes = c.value.text.toUtf8();
            sqlite3_bind_text(statement, column, bytes.constData(), bytes.size(), SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_null(statement, column);
        }
    }

    QString why;
    bool ok = exec(db_, "BEGIN IMMEDIATE", why);
    if (ok) {
        ok = sqlite3_step(statement) == SQLITE_DONE;
        if (!ok)
            why = sqliteError(db_);
        for (int i = 0; ok && i < serials.size(); ++i)
            ok = finishSerialInTransaction(serials.at(i), why);
        QString ignored;
        ok = ok ? exec(db_, "COMMIT", why) : (exec(db_, "ROLLBACK", ignored), false);
    }
    sqlite3_reset(statement);
    if (!ok)
        error = why;
    return ok;
}

namespace {

const char* kindName(SerialKind kind) {
    return kind == SerialKind::Mac ? "mac" : "number";
}

// A statement with its bindings, finalised when it goes.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) : db_(db) { ok_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) == SQLITE_OK; }
    ~Statement() { sqlite3_finalize(s_); }
    Statement& text(int i, const QString& value) {
        const QByteArray bytes = value.toUtf8();
        sqlite3_bind_text(s_, i, bytes.constData(), bytes.size(), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& textOrNull(int i, const QString& value) {
        if (value.isEmpty())
            sqlite3_bind_null(s_, i);
        else
            text(i, value);
        return *this;
    }
    Statement& integer(int i, int64_t value) {
        sqlite3_bind_int64(s_, i, value);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE, or an error code.
    int step() { return ok_ ? sqlite3_step(s_) : SQLITE_ERROR; }
    bool run() { return step() == SQLITE_DONE; }
    bool isNull(int column) const { return sqlite3_column_type(s_, column) == SQLITE_NULL; }
    int64_t column(int c) const { return sqlite3_column_int64(s_, c); }
    QString columnText(int c) const {
        const unsigned char* t = sqlite3_column_text(s_, c);
        return QString::fromUtf8(t ? reinterpret_cast<const char*>(t) : "");
    }
    QString error() const { return sqliteError(db_); }

  private:
    sqlite3* db_;
    sqlite3_stmt* s_ = nullptr;
    bool ok_ = false;
};

// The lowest number of [first, last] no board has taken; none when every one is taken. It reads
// every taken number of the range: only for a pool of a database older than schema 4 (once, to
// start its counter) and for qv310 serials on such a database.
std::optional<uint64_t> lowestFree(sqlite3* db, SerialKind kind, uint64_t first, uint64_t last) {
    Statement q(db,
                "SELECT min(v) FROM ("
                " SELECT ?2 AS v WHERE NOT EXISTS (SELECT 1 FROM serials WHERE kind = ?1 AND value = ?2)"
                " UNION ALL"
                " SELECT s.value + 1 FROM serials s WHERE s.kind = ?1 AND s.value >= ?2 AND s.value < ?3"
                "  AND NOT EXISTS (SELECT 1 FROM serials t WHERE t.kind = ?1 AND t.value = s.value + 1))");
    q.text(1, QString::fromLatin1(kindName(kind))).integer(2, int64_t(first)).integer(3, int64_t(last));
    if (q.step() != SQLITE_ROW || q.isNull(0))
        return std::nullopt;
    return uint64_t(q.column(0));
}

bool isTaken(sqlite3* db, SerialKind kind, uint64_t value) {
    Statement q(db, "SELECT 1 FROM serials WHERE kind = ?1 AND value = ?2");
    q.text(1, QString::fromLatin1(kindName(kind))).integer(2, int64_t(value));
    return q.step() == SQLITE_ROW;
}

// The first number above the taken one from that nobody holds, up to last: walks the index from
// there and stops at the first gap (one step when the pool's counter is right, as it is unless a
// pool overlapping this one took numbers above it).
std::optional<uint64_t> gapAbove(sqlite3* db, SerialKind kind, uint64_t from, uint64_t last) {
    Statement q(db,
                "SELECT s.value + 1 FROM serials s WHERE s.kind = ?1 AND s.value >= ?2 AND s.value < ?3"
                " AND NOT EXISTS (SELECT 1 FROM serials t WHERE t.kind = ?1 AND t.value = s.value + 1)"
                " ORDER BY s.value LIMIT 1");
    q.text(1, QString::fromLatin1(kindName(kind))).integer(2, int64_t(from)).integer(3, int64_t(last));
    if (q.step() != SQLITE_ROW)
        return std::nullopt;
    return uint64_t(q.column(0));
}

// The number the pool gives next: the lowest of the numbers given back in its range and its next
// new number (the counter, moved past numbers a pool overlapping it took); none when every number
// is taken. Index look-ups only, whatever the pool has given, but for a pool without a counter
// (made before schema 4), which is read whole once.
struct NextNumber {
    std::optional<uint64_t> value;
    std::optional<uint64_t> fresh;  // the counter's candidate (the pool's next new number)
};
NextNumber nextNumber(sqlite3* db, SerialKind kind, uint64_t first, uint64_t last, std::optional<uint64_t> counter,
                      bool hasReturns) {
    NextNumber next;
    if (!counter) {
        next.fresh = lowestFree(db, kind, first, last);
    } else if (*counter <= last) {
        const uint64_t candidate = std::max(*counter, first);
        next.fresh = isTaken(db, kind, candidate) ? gapAbove(db, kind, candidate, last) : candidate;
    }
    next.value = next.fresh;
    if (hasReturns) {
        // (A number given back and taken again by a qv310 of schema 3 still running is passed over.)
        Statement q(db, "SELECT min(r.value) FROM serial_returns r WHERE r.kind = ?1 AND r.value BETWEEN ?2 AND ?3"
                        " AND NOT EXISTS (SELECT 1 FROM serials s WHERE s.kind = r.kind AND s.value = r.value)");
        q.text(1, QString::fromLatin1(kindName(kind))).integer(2, int64_t(first)).integer(3, int64_t(last));
        if (q.step() == SQLITE_ROW && !q.isNull(0)) {
            const uint64_t returned = uint64_t(q.column(0));
            if (!next.value || returned < *next.value)
                next.value = returned;
        }
    }
    return next;
}

QString rangeText(const SerialField& field) {
    return serialText(field.kind(), field.first) + QLatin1Char('-') + serialText(field.kind(), field.last);
}

}  // namespace

bool SqliteRecordStore::takeSerials(const QVector<SerialRequest>& requests, QVector<uint64_t>& values,
                                    QString& error) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    values.clear();
    QString why;
    if (!exec(db_, "BEGIN IMMEDIATE", why)) {
        error = why;
        return false;
    }
    const QString now = utcNow();
    const QString host = QSysInfo::machineHostName();
    bool ok = true;
    for (const SerialRequest& request : requests) {
        const SerialField& field = request.field;
        const QString kind = QString::fromLatin1(kindName(field.kind()));
        // A new pool starts its counter at its first number.
        Statement pool(db_, "INSERT INTO serial_pools (kind, first, last, next_new) VALUES (?1, ?2, ?3, ?2)"
                            " ON CONFLICT (kind, first, last) DO UPDATE SET kind = excluded.kind RETURNING id, next_new");
        pool.text(1, kind).integer(2, int64_t(field.first)).integer(3, int64_t(field.last));
        if (pool.step() != SQLITE_ROW) {
            why = pool.error();
            ok = false;
            break;
        }
        const int64_t poolId = pool.column(0);
        const std::optional<uint64_t> counter = pool.isNull(1) ? std::nullopt : std::optional<uint64_t>(pool.column(1));
        const NextNumber next = nextNumber(db_, field.kind(), field.first, field.last, counter, true);
        if (!next.value) {
            // Before this transaction: the range's size less what others hold.
            int wanted = 0;
            int takenHere = 0;
            for (int i = 0; i < requests.size(); ++i) {
                const SerialField& other = requests.at(i).field;
                const bool same = other.kind() == field.kind() && other.first == field.first && other.last == field.last;
                wanted += same;
                takenHere += same && i < values.size();
            }
            Statement taken(db_, "SELECT count(*) FROM serials WHERE kind = ?1 AND value BETWEEN ?2 AND ?3");
            taken.text(1, kind).integer(2, int64_t(field.first)).integer(3, int64_t(field.last));
            const int64_t left = taken.step() == SQLITE_ROW
                                     ? int64_t(field.last - field.first) + 1 - taken.column(0) + takenHere
                                     : 0;
            why = QStringLiteral("the serial range %1 has %2 number(s) left, %3 board(s) need one")
                      .arg(rangeText(field))
                      .arg(std::max<int64_t>(left, 0))
                      .arg(wanted);
            ok = false;
            break;
        }
        const uint64_t value = *next.value;
        Statement take(db_, "INSERT INTO serials (kind, value, pool, state, taken_utc, host, pid, device, tag)"
                            " VALUES (?1, ?2, ?3, 'taken', ?4, ?5, ?6, ?7, ?8)");
        take.text(1, kind)
            .integer(2, int64_t(value))
            .integer(3, poolId)
            .text(4, now)
            .text(5, host)
            .integer(6, QCoreApplication::applicationPid())
            .textOrNull(7, request.device)
            .textOrNull(8, request.tag);
        Statement unreturn(db_, "DELETE FROM serial_returns WHERE kind = ?1 AND value = ?2");
        unreturn.text(1, kind).integer(2, int64_t(value));
        // The counter moves on past the number it gave (or is started, for a pool without one). It
        // stays on the last number once that is given: the next draw finds it taken and no gap
        // above it.
        const uint64_t counterNow =
            !next.fresh ? field.last : value == *next.fresh ? std::min(value + 1, field.last) : *next.fresh;
        Statement count(db_, "UPDATE serial_pools SET next_new = ?1 WHERE id = ?2");
        count.integer(1, int64_t(counterNow)).integer(2, poolId);
        if (!take.run() || !unreturn.run() || !count.run()) {
            why = sqliteError(db_);
            ok = false;
            break;
        }
        values.push_back(value);
    }
    if (ok)
        ok = exec(db_, "COMMIT", why);
    if (!ok) {
        QString ignored;
        exec(db_, "ROLLBACK", ignored);
        values.clear();
        error = why;
    }
    return ok;
}

bool SqliteRecordStore::finishSerialInTransaction(const Finish& finish, QString& error) {
    // Only a number still taken changes: a used or spoiled one stays what it is. A number given
    // back is listed for the next draw of any pool whose range holds it.
    const QString kind = QString::fromLatin1(kindName(finish.kind));
    if (finish.outcome == SerialOutcome::Returned) {
        Statement remove(db_, "DELETE FROM serials WHERE kind = ?1 AND value = ?2 AND state = 'taken'");
        remove.text(1, kind).integer(2, int64_t(finish.value));
        if (!remove.run()) {
            error = remove.error();
            return false;
        }
        if (sqlite3_changes(db_) == 0)
            return true;
        Statement list(db_, "INSERT OR IGNORE INTO serial_returns (kind, value) VALUES (?1, ?2)");
        list.text(1, kind).integer(2, int64_t(finish.value));
        if (!list.run()) {
            error = list.error();
            return false;
        }
        return true;
    }
    Statement statement(db_, "UPDATE serials SET state = ?3, finished_utc = ?4 WHERE kind = ?1 AND value = ?2"
                             " AND state = 'taken'");
    statement.text(1, kind)
        .integer(2, int64_t(finish.value))
        .text(3, finish.outcome == SerialOutcome::Used ? QStringLiteral("used") : QStringLiteral("spoiled"))
        .text(4, utcNow());
    if (!statement.run()) {
        error = statement.error();
        return false;
    }
    return true;
}

bool SqliteRecordStore::finishSerial(SerialKind kind, uint64_t value, SerialOutcome outcome, QString& error) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // Given back: the delete and the listing are one transaction.
    QString why;
    if (!exec(db_, "BEGIN IMMEDIATE", why)) {
        error = why;
        return false;
    }
    QString ignored;
    if (!finishSerialInTransaction({kind, value, outcome}, why) || !exec(db_, "COMMIT", why)) {
        exec(db_, "ROLLBACK", ignored);
        error = why;
        return false;
    }
    return true;
}

QByteArray yieldQuery(bool figures, bool oneJob, bool hasRound, const char* parameter) {
    // A board's runs: its rows share the run's uuid. A board is its tag when the tag was the only
    // one of its round (a board retested under its label counts once), else its own run (boards
    // sharing a tag in one round count each; rows from before rounds were recorded count by tag).
    // The board's first run decides; its failure reason is its last failing row's.
    QByteArray sql =
        "WITH runs AS (SELECT run_uuid, min(job_sha256) AS job, " +
        QByteArray(hasRound ? "min(round_uuid)" : "CAST(NULL AS TEXT)") +
        " AS round, min(tag) AS tag, min(id) AS first_row, max(exit_code) AS code,"
        "  max(CASE WHEN exit_code <> 0 THEN id END) AS failing_row"
        "  FROM records WHERE " +
        (oneJob ? "job_sha256 = " + QByteArray(parameter) : QByteArray("job_sha256 IS NOT NULL")) +
        " AND run_uuid IS NOT NULL GROUP BY run_uuid),"
        " shared AS (SELECT runs.*, count(*) OVER (PARTITION BY job, round, tag) AS sharing FROM runs),"
        " boards AS (SELECT job, first_row, code, failing_row,"
        "  CASE WHEN tag IS NOT NULL AND (round IS NULL OR sharing = 1) THEN 'tag:' || tag"
        "   ELSE 'run:' || run_uuid END AS board FROM shared),"
        " firsts AS (SELECT job, code, failing_row,"
        "  row_number() OVER (PARTITION BY job, board ORDER BY first_row) AS n FROM boards)";
    if (figures)
        return sql +
               " SELECT job, count(*) AS board_count, sum(CASE WHEN code = 0 THEN 1 ELSE 0 END) AS first_pass"
               " FROM firsts WHERE n = 1 GROUP BY job ORDER BY job";
    return sql +
           " SELECT f.job, r.operation || ': ' || coalesce(r.error, 'exit ' || r.exit_code) AS reason,"
           " count(*) AS board_count FROM firsts f JOIN records r ON r.id = f.failing_row"
           " WHERE f.n = 1 AND f.code <> 0 GROUP BY f.job, reason ORDER BY f.job, board_count DESC, reason";
}

namespace {

// Every job's yield, or one job's (job not empty), from a SQLite database.
bool queryYields(sqlite3* db, const QString& job, bool hasRound, QVector<JobYield>& yields, QString& error) {
    yields.clear();
    const bool oneJob = !job.isEmpty();
    Statement figures(db, yieldQuery(true, oneJob, hasRound, "?1").constData());
    if (oneJob)
        figures.text(1, job);
    int rc = SQLITE_ROW;
    while ((rc = figures.step()) == SQLITE_ROW) {
        JobYield y;
        y.job = figures.columnText(0);
        y.boards = figures.column(1);
        y.passedFirstTime = figures.column(2);
        yields.push_back(y);
    }
    if (rc != SQLITE_DONE) {
        error = figures.error();
        return false;
    }
    Statement reasons(db, yieldQuery(false, oneJob, hasRound, "?1").constData());
    if (oneJob)
        reasons.text(1, job);
    while ((rc = reasons.step()) == SQLITE_ROW) {
        const QString of = reasons.columnText(0);
        for (JobYield& y : yields) {
            if (y.job == of && y.reasons.size() < 10)
                y.reasons.push_back({reasons.columnText(1), reasons.column(2)});
        }
    }
    if (rc != SQLITE_DONE) {
        error = reasons.error();
        return false;
    }
    return true;
}

}  // namespace

bool SqliteRecordStore::jobYield(const QString& jobSha256, JobYield& yield, QString& error) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    QVector<JobYield> yields;
    if (!queryYields(db_, jobSha256, true, yields, error))
        return false;
    yield = yields.isEmpty() ? JobYield() : yields.first();
    yield.job = jobSha256;
    return true;
}

namespace {

// A database of this program opened to read (never created, never changed), with its schema
// version; null with a reason otherwise.
sqlite3* openToRead(const QString& path, int& version, QString& error) {
    if (!QFileInfo(path).isFile()) {
        error = QStringLiteral("%1: no such database").arg(path);
        return nullptr;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        error = QStringLiteral("%1: %2").arg(path, sqliteError(db));
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // A file that is no database at all says so here.
    sqlite3_stmt* probe = nullptr;
    const bool readable = sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &probe, nullptr) == SQLITE_OK &&
                          sqlite3_step(probe) == SQLITE_ROW;
    sqlite3_finalize(probe);
    if (!readable) {
        error = QStringLiteral("%1: %2").arg(path, sqliteError(db));
        sqlite3_close(db);
        return nullptr;
    }
    QString why;
    version = schemaVersionOf(db, why);
    if (version < 0) {
        error = QStringLiteral("%1: not a qv310 record database: %2").arg(path, why);
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

}  // namespace

bool readYields(const QString& path, QVector<JobYield>& yields, QString& error) {
    yields.clear();
    int version = 0;
    sqlite3* db = openToRead(path, version, error);
    if (!db)
        return false;
    // Before schema 3 no row names its job.
    bool ok = true;
    if (version >= 3) {
        QString why;
        ok = queryYields(db, QString(), version >= 4, yields, why);
        if (!ok)
            error = QStringLiteral("%1: %2").arg(path, why);
    }
    sqlite3_close(db);
    return ok;
}

bool readSerialPools(const QString& path, QVector<SerialPoolState>& pools, QString& error) {
    pools.clear();
    int version = 0;
    sqlite3* db = openToRead(path, version, error);
    if (!db)
        return false;
    bool ok = true;
    if (version >= 3) {
        Statement list(db, version >= 4 ? "SELECT kind, first, last, next_new FROM serial_pools ORDER BY id"
                                        : "SELECT kind, first, last, NULL FROM serial_pools ORDER BY id");
        int rc = SQLITE_ROW;
        while ((rc = list.step()) == SQLITE_ROW) {
            SerialPoolState pool;
            pool.kind = list.columnText(0) == QLatin1String("mac") ? SerialKind::Mac : SerialKind::Number;
            pool.first = uint64_t(list.column(1));
            pool.last = uint64_t(list.column(2));
            const std::optional<uint64_t> counter =
                list.isNull(3) ? std::nullopt : std::optional<uint64_t>(uint64_t(list.column(3)));
            pool.next = nextNumber(db, pool.kind, pool.first, pool.last, counter, version >= 4).value;
            Statement count(db, "SELECT state, count(*) FROM serials WHERE kind = ?1 AND value BETWEEN ?2 AND ?3"
                                " GROUP BY state");
            count.text(1, QString::fromLatin1(kindName(pool.kind)))
                .integer(2, int64_t(pool.first))
                .integer(3, int64_t(pool.last));
            while (count.step() == SQLITE_ROW) {
                const QString state = count.columnText(0);
                (state == QLatin1String("used") ? pool.used
                 : state == QLatin1String("spoiled") ? pool.spoiled
                                                     : pool.taken) = count.column(1);
            }
            pools.push_back(pool);
        }
        if (rc != SQLITE_DONE) {
            error = QStringLiteral("%1: %2").arg(path, list.error());
            ok = false;
        }
    }
    sqlite3_close(db);
    return ok;
}
bool exportRecords(const QString& path, RowExporter& exporter, QString& error) {
    if (!QFileInfo(path).isFile()) {
        error = QStringLiteral("%1: no such database").arg(path);
        return false;
    }
    sqlite3* db = nullptr;
    const auto fail = [&](const QString& why) {
        error = QStringLiteral("%1: %2").arg(path, why);
        sqlite3_close(db);
        return false;
    };
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        return fail(sqliteError(db));
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // Read as it is: an older schema is exported with the columns it lacks left empty.
    QString why;
    if (schemaVersionOf(db, why) < 0)
        return fail(QStringLiteral("not a qv310 record database: ") + why);
    const QStringList present = tableColumns(db, "records");
    QByteArray select = "SELECT 1 WHERE 0";  // an empty database has no rows
    if (!present.isEmpty()) {
        select = "SELECT ";
        for (int i = 0; i < present.size(); ++i)
            select += (i ? "," : "") + present.at(i).toLatin1();
        select += " FROM records ORDER BY id";
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, select.constData(), -1, &statement, nullptr) != SQLITE_OK)
        return fail(sqliteError(db));
    int rc = SQLITE_ROW;
    bool written = true;
    while (written && (rc = sqlite3_step(statement)) == SQLITE_ROW) {
        RecordRow row;
        for (int c = 0; c < present.size(); ++c) {
            RowValue value;
            const int type = sqlite3_column_type(statement, c);
            if (type == SQLITE_INTEGER)
                value = RowValue::of(qint64(sqlite3_column_int64(statement, c)));
            else if (type != SQLITE_NULL)
                value = RowValue::of(QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, c)),
                                                       sqlite3_column_bytes(statement, c)));
            row.push_back({present.at(c).toLatin1(), value});
        }
        written = exporter.write(row);
    }
    const bool readOk = !written || rc == SQLITE_DONE;
    const QString readError = sqliteError(db);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    db = nullptr;
    if (!exporter.finish() || !written) {
        error = QStringLiteral("%1: the export could not be written (%2)")
                    .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (!readOk) {
        error = QStringLiteral("%1: %2").arg(path, readError);
        return false;
    }
    return true;
}

}  // namespace qv::engine
