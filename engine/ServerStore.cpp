#include "ServerStore.h"

#include "RecordRow.h"
#include "Redact.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>

#include <sqlite3.h>

#ifdef QV_WITH_POSTGRES
#include <libpq-fe.h>
#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#endif
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>

namespace qv::engine {

bool isServerUrl(const QString& target) {
    return target.startsWith(QLatin1String("postgresql://")) || target.startsWith(QLatin1String("postgres://"));
}

bool serverStoresAvailable() {
#ifdef QV_WITH_POSTGRES
    return true;
#else
    return false;
#endif
}

QString spoolPath() {
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QDir(data).absoluteFilePath(QStringLiteral("qv310-isp/spool.db"));
}

namespace {

const char* kindName(SerialKind kind) {
    return kind == SerialKind::Mac ? "mac" : "number";
}

const char* outcomeName(SerialOutcome outcome) {
    switch (outcome) {
        case SerialOutcome::Used:
            return "used";
        case SerialOutcome::Spoiled:
            return "spoiled";
        case SerialOutcome::Returned:
            return "returned";
    }
    return "spoiled";
}

// ---------------------------------------------------------------------------------------------
// The local spool: rows and number outcomes waiting for their server, a SQLite file of its own.

class Spool {
  public:
    // This program's spool ("QV3S").
    static constexpr int32_t kApplicationId = 0x51563353;

    ~Spool() { sqlite3_close(db_); }

    bool open(QString& error) {
        const QString path = spoolPath();
        if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
            error = QStringLiteral("%1: the folder cannot be made").arg(path);
            return false;
        }
        if (sqlite3_open_v2(path.toUtf8().constData(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
            SQLITE_OK) {
            error = QStringLiteral("%1: %2").arg(path, QString::fromUtf8(sqlite3_errmsg(db_)));
            return false;
        }
        sqlite3_busy_timeout(db_, 10000);
        const QByteArray schema = "PRAGMA journal_mode=WAL;"
                                  "PRAGMA application_id=" + QByteArray::number(kApplicationId) + ";"
                                  "CREATE TABLE IF NOT EXISTS spooled_rows (uuid TEXT PRIMARY KEY,"
                                  " destination TEXT NOT NULL, row TEXT NOT NULL, serials TEXT NOT NULL);"
                                  "CREATE TABLE IF NOT EXISTS spooled_serials (destination TEXT NOT NULL,"
                                  " kind TEXT NOT NULL, value INTEGER NOT NULL, outcome TEXT NOT NULL,"
                                  " PRIMARY KEY (destination, kind, value))";
        return exec(schema.constData(), error);
    }

    bool addRow(const QString& destination, const RecordRow& row, const QVector<RecordStore::Finish>& finishes,
                QString& error) {
        QString uuid;
        for (const RowColumn& c : row) {
            if (c.name == "uuid")
                uuid = c.value.text;
        }
        QJsonArray serials;
        for (const RecordStore::Finish& f : finishes)
            serials.append(QJsonObject{{QStringLiteral("kind"), QLatin1String(kindName(f.kind))},
                                       {QStringLiteral("value"), QString::number(f.value)},
                                       {QStringLiteral("outcome"), QLatin1String(outcomeName(f.outcome))}});
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, "INSERT OR IGNORE INTO spooled_rows (uuid, destination, row, serials) VALUES (?, ?, ?, ?)",
                           -1, &s, nullptr);
        const QByteArray u = uuid.toUtf8();
        const QByteArray d = destination.toUtf8();
        const QByteArray r = QJsonDocument(rowToJson(row)).toJson(QJsonDocument::Compact);
        const QByteArray f = QJsonDocument(serials).toJson(QJsonDocument::Compact);
        sqlite3_bind_text(s, 1, u.constData(), u.size(), SQLITE_TRANSIENT);
        sqlite3_bind_text(s, 2, d.constData(), d.size(), SQLITE_TRANSIENT);
        sqlite3_bind_text(s, 3, r.constData(), r.size(), SQLITE_TRANSIENT);
        sqlite3_bind_text(s, 4, f.constData(), f.size(), SQLITE_TRANSIENT);
        const bool ok = sqlite3_step(s) == SQLITE_DONE;
        if (!ok)
            error = QString::fromUtf8(sqlite3_errmsg(db_));
        sqlite3_finalize(s);
        return ok;
    }

    bool addSerial(const QString& destination, const RecordStore::Finish& f, QString& error) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO spooled_serials (destination, kind, value, outcome) VALUES (?, ?, ?, ?)",
                           -1, &s, nullptr);
        const QByteArray d = destination.toUtf8();
        sqlite3_bind_text(s, 1, d.constData(), d.size(), SQLITE_TRANSIENT);
        sqlite3_bind_text(s, 2, kindName(f.kind), -1, SQLITE_STATIC);
        sqlite3_bind_int64(s, 3, int64_t(f.value));
        sqlite3_bind_text(s, 4, outcomeName(f.outcome), -1, SQLITE_STATIC);
        const bool ok = sqlite3_step(s) == SQLITE_DONE;
        if (!ok)
            error = QString::fromUtf8(sqlite3_errmsg(db_));
        sqlite3_finalize(s);
        return ok;
    }

    struct Pending {
        QString uuid;
        RecordRow row;
        QVector<RecordStore::Finish> finishes;
    };
    QVector<Pending> rowsFor(const QString& destination) {
        QVector<Pending> rows;
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, "SELECT uuid, row, serials FROM spooled_rows WHERE destination = ? ORDER BY rowid", -1, &s,
                           nullptr);
        const QByteArray d = destination.toUtf8();
        sqlite3_bind_text(s, 1, d.constData(), d.size(), SQLITE_TRANSIENT);
        while (sqlite3_step(s) == SQLITE_ROW) {
            Pending p;
            p.uuid = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
            p.row = rowFromJson(QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(s, 1)))).object());
            for (const QJsonValue& v :
                 QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(s, 2)))).array())
                p.finishes.push_back(finishOf(v.toObject()));
            rows.push_back(p);
        }
        sqlite3_finalize(s);
        return rows;
    }
    QVector<RecordStore::Finish> serialsFor(const QString& destination) {
        QVector<RecordStore::Finish> list;
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, "SELECT kind, value, outcome FROM spooled_serials WHERE destination = ?", -1, &s, nullptr);
        const QByteArray d = destination.toUtf8();
        sqlite3_bind_text(s, 1, d.constData(), d.size(), SQLITE_TRANSIENT);
        while (sqlite3_step(s) == SQLITE_ROW) {
            list.push_back(finishOf(QJsonObject{
                {QStringLiteral("kind"), QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)))},
                {QStringLiteral("value"), QString::number(sqlite3_column_int64(s, 1))},
                {QStringLiteral("outcome"), QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, 2)))}}));
        }
        sqlite3_finalize(s);
        return list;
    }
    // Rows kept for servers other than this one.
    int rowsForOthers(const QString& destination) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, "SELECT count(*) FROM spooled_rows WHERE destination <> ?", -1, &s, nullptr);
        const QByteArray d = destination.toUtf8();
        sqlite3_bind_text(s, 1, d.constData(), d.size(), SQLITE_TRANSIENT);
        const int n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int(s, 0) : 0;
        sqlite3_finalize(s);
        return n;
    }
    // Every destination rows or numbers are kept for.
    QStringList destinations() {
        QStringList list;
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, "SELECT destination FROM spooled_rows UNION SELECT destination FROM spooled_serials", -1,
                           &s, nullptr);
        while (s && sqlite3_step(s) == SQLITE_ROW)
            list << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
        sqlite3_finalize(s);
        return list;
    }
    // What is kept for one destination is kept for another from now on, in one transaction.
    bool rename(const QString& from, const QString& to, QString& error) {
        if (!exec("BEGIN IMMEDIATE", error))
            return false;
        const bool ok = run2("UPDATE spooled_rows SET destination = ?2 WHERE destination = ?1", from, to, error) &&
                        run2("UPDATE OR REPLACE spooled_serials SET destination = ?2 WHERE destination = ?1", from, to,
                             error);
        QString ignored;
        return ok ? exec("COMMIT", error) : (exec("ROLLBACK", ignored), false);
    }
    bool removeRow(const QString& uuid, QString& error) {
        return run("DELETE FROM spooled_rows WHERE uuid = ?", uuid, error);
    }
    bool removeSerial(const QString& destination, const RecordStore::Finish& f, QString& error) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, "DELETE FROM spooled_serials WHERE destination = ? AND kind = ? AND value = ?", -1, &s,
                           nullptr);
        const QByteArray d = destination.toUtf8();
        sqlite3_bind_text(s, 1, d.constData(), d.size(), SQLITE_TRANSIENT);
        sqlite3_bind_text(s, 2, kindName(f.kind), -1, SQLITE_STATIC);
        sqlite3_bind_int64(s, 3, int64_t(f.value));
        const bool ok = sqlite3_step(s) == SQLITE_DONE;
        if (!ok)
            error = QString::fromUtf8(sqlite3_errmsg(db_));
        sqlite3_finalize(s);
        return ok;
    }

  private:
    static RecordStore::Finish finishOf(const QJsonObject& o) {
        RecordStore::Finish f;
        f.kind = o.value(QStringLiteral("kind")).toString() == QLatin1String("mac") ? SerialKind::Mac : SerialKind::Number;
        f.value = o.value(QStringLiteral("value")).toString().toULongLong();
        const QString outcome = o.value(QStringLiteral("outcome")).toString();
        f.outcome = outcome == QLatin1String("used")       ? SerialOutcome::Used
                    : outcome == QLatin1String("returned") ? SerialOutcome::Returned
                                                           : SerialOutcome::Spoiled;
        return f;
    }
    bool exec(const char* sql, QString& error) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK)
            return true;
        error = QStringLiteral("%1: %2").arg(spoolPath(), QString::fromUtf8(message ? message : sqlite3_errmsg(db_)));
        sqlite3_free(message);
        return false;
    }
    bool run(const char* sql, const QString& argument, QString& error) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, sql, -1, &s, nullptr);
        const QByteArray a = argument.toUtf8();
        sqlite3_bind_text(s, 1, a.constData(), a.size(), SQLITE_TRANSIENT);
        const bool ok = sqlite3_step(s) == SQLITE_DONE;
        if (!ok)
            error = QString::fromUtf8(sqlite3_errmsg(db_));
        sqlite3_finalize(s);
        return ok;
    }
    bool run2(const char* sql, const QString& first, const QString& second, QString& error) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, sql, -1, &s, nullptr);
        const QByteArray a = first.toUtf8();
        const QByteArray b = second.toUtf8();
        sqlite3_bind_text(s, 1, a.constData(), a.size(), SQLITE_TRANSIENT);
        sqlite3_bind_text(s, 2, b.constData(), b.size(), SQLITE_TRANSIENT);
        const bool ok = sqlite3_step(s) == SQLITE_DONE;
        if (!ok)
            error = QString::fromUtf8(sqlite3_errmsg(db_));
        sqlite3_finalize(s);
        return ok;
    }
    sqlite3* db_ = nullptr;
};

#ifdef QV_WITH_POSTGRES

// ---------------------------------------------------------------------------------------------
// The PostgreSQL store.

constexpr int kSchemaVersion = SqliteRecordStore::kSchemaVersion;

const char kCreateTables[] =
    "CREATE TABLE records ("
    " id BIGSERIAL PRIMARY KEY, utc TEXT NOT NULL, host TEXT NOT NULL, device TEXT NOT NULL,"
    " board_id BIGINT, board_mcu BIGINT, app_version BIGINT, boot_version BIGINT, target_type BIGINT,"
    " target_flash_id BIGINT, operation TEXT NOT NULL, file TEXT NOT NULL, size BIGINT NOT NULL,"
    " crc32 BIGINT NOT NULL, sha256 TEXT NOT NULL, address BIGINT, result BIGINT, exit_code BIGINT NOT NULL,"
    " duration_ms BIGINT NOT NULL, blocks_written BIGINT, blocks_skipped BIGINT, error TEXT, log TEXT NOT NULL,"
    " tool_version TEXT, target_started BIGINT, tag TEXT, serial TEXT, source_sha256 TEXT, job_sha256 TEXT,"
    " uuid TEXT UNIQUE, run_uuid TEXT);"
    "CREATE INDEX records_job ON records (job_sha256);"
    "CREATE TABLE serial_pools (id BIGSERIAL PRIMARY KEY, kind TEXT NOT NULL, first BIGINT NOT NULL,"
    " last BIGINT NOT NULL, UNIQUE (kind, first, last));"
    "CREATE TABLE serials (kind TEXT NOT NULL, value BIGINT NOT NULL, pool BIGINT NOT NULL,"
    " state TEXT NOT NULL CHECK (state IN ('taken', 'used', 'spoiled')), taken_utc TEXT NOT NULL,"
    " host TEXT NOT NULL, pid BIGINT NOT NULL, device TEXT, tag TEXT, finished_utc TEXT,"
    " PRIMARY KEY (kind, value))";

// Schema 4, as in the SQLite store: the round of boards started together; each pool's next new
// number and the numbers given back, so that a draw costs the same however many a pool has given.
const char kMigrateTo4[] =
    "ALTER TABLE records ADD COLUMN round_uuid TEXT;"
    "ALTER TABLE serial_pools ADD COLUMN next_new BIGINT;"
    "CREATE TABLE serial_returns (kind TEXT NOT NULL, value BIGINT NOT NULL, PRIMARY KEY (kind, value));"
    "UPDATE qv310_schema SET version = 4";

// One result of libpq, cleared when it goes.
class Result {
  public:
    explicit Result(PGresult* r) : r_(r) {}
    ~Result() { PQclear(r_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    bool ok() const {
        const ExecStatusType s = PQresultStatus(r_);
        return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
    }
    int rows() const { return PQntuples(r_); }
    bool isNull(int row, int column) const { return PQgetisnull(r_, row, column) == 1; }
    QString text(int row, int column) const { return QString::fromUtf8(PQgetvalue(r_, row, column)); }
    qint64 integer(int row, int column) const { return QByteArray(PQgetvalue(r_, row, column)).toLongLong(); }
    Oid type(int column) const { return PQftype(r_, column); }
    int columns() const { return PQnfields(r_); }
    QByteArray name(int column) const { return QByteArray(PQfname(r_, column)); }
    PGresult* get() const { return r_; }

  private:
    PGresult* r_;
};

// Texts of parameters kept alive for one call.
class Parameters {
  public:
    Parameters& add(const QString& text) {
        storage_.push_back(text.toUtf8());
        nulls_.push_back(false);
        return *this;
    }
    Parameters& add(qint64 n) { return add(QString::number(n)); }
    Parameters& add(const RowValue& v) {
        if (v.kind == RowValue::Kind::Null) {
            storage_.push_back(QByteArray());
            nulls_.push_back(true);
            return *this;
        }
        return v.kind == RowValue::Kind::Integer ? add(v.integer) : add(v.text);
    }
    std::vector<const char*> values() const {
        std::vector<const char*> v;
        for (size_t i = 0; i < storage_.size(); ++i)
            v.push_back(nulls_[i] ? nullptr : storage_[i].constData());
        return v;
    }
    int size() const { return int(storage_.size()); }

  private:
    std::vector<QByteArray> storage_;
    std::vector<bool> nulls_;
};

// How long a statement may go without an answer before the server counts as away: 10 s, or
// QV310_RECORD_SERVER_TIMEOUT_MS (at least 100 ms) for the tests.
std::chrono::milliseconds answerLimit() {
    static const std::chrono::milliseconds limit = [] {
        bool ok = false;
        const int ms = qEnvironmentVariableIntValue("QV310_RECORD_SERVER_TIMEOUT_MS", &ok);
        return std::chrono::milliseconds(ok && ms >= 100 ? ms : 10000);
    }();
    return limit;
}

// The connection, with its parameters given as the URI plus limits of our own, which win over
// the URI's: connecting takes at most 5 s (less under a shorter answer limit, at least libpq's
// 2 s); over TCP an idle connection is probed every 2 s after 5 s of silence and given up after
// 3 unanswered probes, and data that the server does not acknowledge within the answer limit
// ends the connection.
struct ConnectionParameters {
    explicit ConnectionParameters(const QString& url) : uri(url.toUtf8()) {
        const qint64 limit = answerLimit().count();
        connectTimeout = QByteArray::number(std::clamp<qint64>((limit + 999) / 1000, 2, 5));
        userTimeout = QByteArray::number(limit);
        keywords = {"dbname", "connect_timeout", "application_name", "keepalives", "keepalives_idle",
                    "keepalives_interval", "keepalives_count", "tcp_user_timeout", nullptr};
        values = {uri.constData(), connectTimeout.constData(), "qv310", "1", "5", "2", "3", userTimeout.constData(),
                  nullptr};
    }
    QByteArray uri;
    QByteArray connectTimeout;
    QByteArray userTimeout;
    std::vector<const char*> keywords;
    std::vector<const char*> values;
};

// The four parameters that name a server's database, as libpq completes them: what the URI does
// not say comes from the environment (PGUSER, PGHOST, PGPORT, PGDATABASE) and libpq's defaults
// (this user, the default socket folder, port 5432, a database named as the user).
QString identityFrom(QString user, QString host, QString port, QString dbname) {
    PQconninfoOption* defaults = PQconndefaults();
    for (PQconninfoOption* o = defaults; o && o->keyword; ++o) {
        const QString value = o->val ? QString::fromUtf8(o->val) : QString();
        const QByteArray key(o->keyword);
        if (key == "user" && user.isEmpty())
            user = value;
        else if (key == "host" && host.isEmpty())
            host = value;
        else if (key == "port" && port.isEmpty())
            port = value;
        else if (key == "dbname" && dbname.isEmpty())
            dbname = value;
    }
    PQconninfoFree(defaults);
    if (host.isEmpty())
        host = QStringLiteral("/var/run/postgresql");  // Debian's libpq
    QStringList hosts;
    for (QString h : host.split(QLatin1Char(','))) {
        if (h.startsWith(QLatin1Char('/'))) {
            // A socket folder: one spelling of it, through its links when it is there.
            h = QDir::cleanPath(h);
            const QString real = QFileInfo(h).canonicalFilePath();
            if (!real.isEmpty())
                h = real;
        } else {
            h = h.toLower();
        }
        hosts << h;
    }
    if (port.isEmpty())
        port = QStringLiteral("5432");
    if (dbname.isEmpty())
        dbname = user;
    return QStringLiteral("postgresql://%1@%2:%3/%4").arg(user, hosts.join(QLatin1Char(',')), port, dbname);
}

// The server as a destination of spooled rows: its identity, without a password, the same for
// every spelling of the same server ("?host=/run/pg" and "?host=/run/pg/&port=5432").
QString destinationOf(const QString& url) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(url.toUtf8().constData(), &error);
    if (!options) {
        PQfreemem(error);
        // Unreadable: shown without what could be a password.
        QString shown = url;
        shown.replace(QRegularExpression(QStringLiteral("://([^:/@]*):[^@]*@")), QStringLiteral("://\\1:***@"));
        shown.replace(QRegularExpression(QStringLiteral("password=[^&]*")), QStringLiteral("password=***"));
        return shown;
    }
    QString user, host, hostaddr, port, dbname;
    for (PQconninfoOption* o = options; o->keyword; ++o) {
        const QString value = o->val ? QString::fromUtf8(o->val) : QString();
        const QByteArray key(o->keyword);
        if (key == "user")
            user = value;
        else if (key == "host")
            host = value;
        else if (key == "hostaddr")
            hostaddr = value;
        else if (key == "port")
            port = value;
        else if (key == "dbname")
            dbname = value;
    }
    PQconninfoFree(options);
    return identityFrom(user, host.isEmpty() ? hostaddr : host, port, dbname);
}

// A destination as earlier versions wrote it into the spool: the URI's user, host, port and
// database as given ("postgresql://station@/run/pg:/line"), completed as destinationOf does.
// Empty when it cannot be read (it is then kept as it is).
QString destinationOfStoredKey(const QString& key) {
    static const QRegularExpression form(QStringLiteral("^postgresql://([^@/]*)@(.*):([0-9]*)/([^/]*)$"));
    const QRegularExpressionMatch m = form.match(key);
    if (!m.hasMatch() || key.contains(QLatin1String("***")))
        return QString();
    return identityFrom(m.captured(1), m.captured(2), m.captured(3), m.captured(4));
}

// Rows and numbers kept under an older spelling of their server are kept under its identity.
void migrateSpoolKeys(Spool& spool) {
    for (const QString& key : spool.destinations()) {
        const QString identity = destinationOfStoredKey(key);
        QString ignored;
        if (!identity.isEmpty() && identity != key)
            spool.rename(key, identity, ignored);
    }
}

class PostgresRecordStore : public RecordStore {
  public:
    enum class Reach { Connected, Unreachable, Refused };

    static std::unique_ptr<PostgresRecordStore> connect(const QString& url, Reach& reach, QString& error) {
        const ConnectionParameters p(url);
        PGconn* conn = PQconnectdbParams(p.keywords.data(), p.values.data(), 1);
        std::unique_ptr<PostgresRecordStore> store(new PostgresRecordStore(conn, url));
        if (PQstatus(conn) != CONNECTION_OK) {
            error = QString::fromUtf8(PQerrorMessage(conn)).trimmed();
            // A server that answers but does not let us in is a setting to mend, not an outage. A
            // server that took the connection and then said nothing (a frozen process) is away,
            // and asking it again would only wait as long once more.
            const bool silent = error.contains(QLatin1String("timeout expired"));
            reach = silent || PQpingParams(p.keywords.data(), p.values.data(), 1) == PQPING_NO_RESPONSE
                        ? Reach::Unreachable
                        : Reach::Refused;
            return nullptr;
        }
        // Statements are sent and their answers awaited with a deadline of our own.
        PQsetnonblocking(conn, 1);
        reach = Reach::Connected;
        if (!store->prepareSchema(error)) {
            reach = store->lost() ? Reach::Unreachable : Reach::Refused;
            return nullptr;
        }
        return store;
    }

    ~PostgresRecordStore() override { PQfinish(conn_); }

    // True once the connection failed: the server went away, or closed it (shut down).
    bool lost() const { return lost_ || PQstatus(conn_) != CONNECTION_OK; }

    bool append(const OperationResult& r, const QVector<Finish>& serials, QString& error) override {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        return insertRow(recordRow(r), serials, false, error);
    }

    // A row from this store or the spool, and the outcome of its board's numbers, in one
    // transaction. A row already there (the same uuid) is left as it is.
    bool insertRow(const RecordRow& row, const QVector<Finish>& serials, bool mayExist, QString& error) {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        QByteArray names;
        QByteArray marks;
        Parameters parameters;
        for (const RowColumn& c : row) {
            names += (names.isEmpty() ? "" : ", ") + c.name;
            parameters.add(c.value);
            marks += (marks.isEmpty() ? "$" : ", $") + QByteArray::number(parameters.size());
        }
        const QByteArray sql = "INSERT INTO records (" + names + ") VALUES (" + marks + ")" +
                               (mayExist ? " ON CONFLICT (uuid) DO NOTHING" : "");
        if (!exec("BEGIN", error))
            return false;
        bool ok = run(sql, parameters, error);
        for (int i = 0; ok && i < serials.size(); ++i)
            ok = finishInTransaction(serials.at(i), error);
        if (ok)
            return exec("COMMIT", error);
        QString ignored;
        exec("ROLLBACK", ignored);
        return false;
    }

    bool takeSerials(const QVector<SerialRequest>& requests, QVector<uint64_t>& values, QString& error) override {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        values.clear();
        if (!exec("BEGIN", error))
            return false;
        // One allocation at a time across every station: the lock ends with the transaction.
        bool ok = exec("SELECT pg_advisory_xact_lock(1364603697)", error);
        const QString now = utcNow();
        // The pools of this draw, each read once (a gang draws from one pool board after board).
        struct Pool {
            qint64 id = 0;
            std::optional<qint64> counter;
        };
        std::map<std::tuple<QString, qint64, qint64>, Pool> pools;
        for (const SerialRequest& request : requests) {
            if (!ok)
                break;
            const SerialField& field = request.field;
            const QString kind = QLatin1String(kindName(field.kind()));
            const auto key = std::make_tuple(kind, qint64(field.first), qint64(field.last));
            if (pools.find(key) == pools.end()) {
                // A new pool starts its counter at its first number.
                ok = run("INSERT INTO serial_pools (kind, first, last, next_new) VALUES ($1, $2, $3, $2)"
                         " ON CONFLICT DO NOTHING",
                         Parameters().add(kind).add(qint64(field.first)).add(qint64(field.last)), error);
                if (!ok)
                    break;
                Result row(query("SELECT id, next_new FROM serial_pools WHERE kind = $1 AND first = $2 AND last = $3",
                                 Parameters().add(kind).add(qint64(field.first)).add(qint64(field.last))));
                if (!row.ok() || row.rows() != 1) {
                    error = serverError();
                    ok = false;
                    break;
                }
                pools[key] = {row.integer(0, 0),
                              row.isNull(0, 1) ? std::nullopt : std::optional<qint64>(row.integer(0, 1))};
            }
            Pool& pool = pools[key];
            NextNumber next;
            if (!nextNumber(kind, qint64(field.first), qint64(field.last), pool.counter, next, error)) {
                ok = false;
                break;
            }
            if (!next.value) {
                int wanted = 0;
                for (const SerialRequest& r : requests)
                    wanted += r.field.kind() == field.kind() && r.field.first == field.first && r.field.last == field.last;
                error = QStringLiteral("the serial range %1-%2 has too few numbers left: %3 board(s) need one")
                            .arg(serialText(field.kind(), field.first), serialText(field.kind(), field.last))
                            .arg(wanted);
                ok = false;
                break;
            }
            const qint64 value = *next.value;
            // The counter moves on past the number it gave (or is started, for a pool without
            // one); it stays on the last number once that is given.
            const qint64 counterNow = !next.fresh            ? qint64(field.last)
                                      : value == *next.fresh ? std::min(value + 1, qint64(field.last))
                                                             : *next.fresh;
            // Taken, off the list of numbers given back, and the counter moved: one round trip.
            ok = run("WITH unlisted AS (DELETE FROM serial_returns WHERE kind = $1 AND value = $2),"
                     " counted AS (UPDATE serial_pools SET next_new = $9 WHERE id = $3)"
                     " INSERT INTO serials (kind, value, pool, state, taken_utc, host, pid, device, tag)"
                     " VALUES ($1, $2, $3, 'taken', $4, $5, $6, $7, $8)",
                     Parameters()
                         .add(kind)
                         .add(value)
                         .add(pool.id)
                         .add(now)
                         .add(QSysInfo::machineHostName())
                         .add(qint64(QCoreApplication::applicationPid()))
                         .add(RowValue::textOrNull(request.device))
                         .add(RowValue::textOrNull(request.tag))
                         .add(counterNow),
                     error);
            if (ok) {
                pool.counter = counterNow;
                values.push_back(uint64_t(value));
            }
        }
        if (ok)
            ok = exec("COMMIT", error);
        if (!ok) {
            QString ignored;
            exec("ROLLBACK", ignored);
            values.clear();
        }
        return ok;
    }

    bool finishSerial(SerialKind kind, uint64_t value, SerialOutcome outcome, QString& error) override {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        return finishInTransaction({kind, value, outcome}, error);
    }

    bool jobYield(const QString& jobSha256, JobYield& yield, QString& error) override {
        QVector<JobYield> yields;
        if (!readYields(jobSha256, yields, error))
            return false;
        yield = yields.isEmpty() ? JobYield() : yields.first();
        yield.job = jobSha256;
        return true;
    }

    // Every job's yield (jobSha256 empty) or one job's, by the same query as the SQLite store's.
    bool readYields(const QString& jobSha256, QVector<JobYield>& yields, QString& error) {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        yields.clear();
        const bool oneJob = !jobSha256.isEmpty();
        const Parameters parameters = oneJob ? Parameters().add(jobSha256) : Parameters();
        Result figures(query(yieldQuery(true, oneJob, true, "$1").constData(), parameters));
        Result reasons(query(yieldQuery(false, oneJob, true, "$1").constData(), parameters));
        if (!figures.ok() || !reasons.ok()) {
            error = serverError();
            noteFailure(figures.ok() ? reasons.get() : figures.get());
            return false;
        }
        for (int i = 0; i < figures.rows(); ++i) {
            JobYield y;
            y.job = figures.text(i, 0);
            y.boards = figures.integer(i, 1);
            y.passedFirstTime = figures.integer(i, 2);
            for (int k = 0; k < reasons.rows() && y.reasons.size() < 10; ++k) {
                if (reasons.text(k, 0) == y.job)
                    y.reasons.push_back({reasons.text(k, 1), reasons.integer(k, 2)});
            }
            yields.push_back(y);
        }
        return true;
    }

    bool exportRows(RowExporter& exporter, QString& error) {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        // A cursor keeps a large table from being read into memory at once.
        if (!exec("BEGIN", error) ||
            !exec("DECLARE rows NO SCROLL CURSOR FOR SELECT * FROM records ORDER BY id", error))
            return false;
        for (;;) {
            Result batch(statement("FETCH 500 FROM rows", nullptr));
            if (!batch.ok()) {
                error = serverError();
                return false;
            }
            if (batch.rows() == 0)
                break;
            for (int i = 0; i < batch.rows(); ++i) {
                RecordRow row;
                for (int c = 0; c < batch.columns(); ++c) {
                    RowValue v;
                    if (!batch.isNull(i, c))
                        v = batch.type(c) == 20 || batch.type(c) == 23 ? RowValue::of(batch.integer(i, c))
                                                                       : RowValue::of(batch.text(i, c));
                    row.push_back({batch.name(c), v});
                }
                if (!exporter.write(row)) {
                    QString ignored;
                    exec("ROLLBACK", ignored);
                    return true;  // the writer reports the failed write
                }
            }
        }
        return exec("COMMIT", error);
    }

    bool readPools(QVector<SerialPoolState>& pools, QString& error) {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        Result list(statement("SELECT kind, first, last, next_new FROM serial_pools ORDER BY id", nullptr));
        if (!list.ok()) {
            error = serverError();
            return false;
        }
        for (int i = 0; i < list.rows(); ++i) {
            SerialPoolState pool;
            pool.kind = list.text(i, 0) == QLatin1String("mac") ? SerialKind::Mac : SerialKind::Number;
            pool.first = uint64_t(list.integer(i, 1));
            pool.last = uint64_t(list.integer(i, 2));
            const Parameters range = Parameters().add(list.text(i, 0)).add(list.integer(i, 1)).add(list.integer(i, 2));
            NextNumber next;
            if (!nextNumber(list.text(i, 0), list.integer(i, 1), list.integer(i, 2),
                            list.isNull(i, 3) ? std::nullopt : std::optional<qint64>(list.integer(i, 3)), next, error))
                return false;
            Result counts(query("SELECT state, count(*) FROM serials WHERE kind = $1 AND value BETWEEN $2 AND $3"
                                " GROUP BY state",
                                range));
            if (!counts.ok()) {
                error = serverError();
                return false;
            }
            if (next.value)
                pool.next = uint64_t(*next.value);
            for (int k = 0; k < counts.rows(); ++k) {
                const QString state = counts.text(k, 0);
                (state == QLatin1String("used") ? pool.used
                 : state == QLatin1String("spoiled") ? pool.spoiled
                                                     : pool.taken) = counts.integer(k, 1);
            }
            pools.push_back(pool);
        }
        return true;
    }

    QString serverError() const {
        return away_.isEmpty() ? QString::fromUtf8(PQerrorMessage(conn_)).trimmed() : away_;
    }

  private:
    PostgresRecordStore(PGconn* conn, const QString& url) : conn_(conn), url_(url) {
        // The server's notices (a shutdown announced) are not the console's business.
        PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
    }

    // A failed statement whose cause is the connection, not the statement: no SQLSTATE (the
    // client lost the server), a connection exception (class 08), or the server shutting down or
    // starting (57P01, 57P02, 57P03).
    void noteFailure(const PGresult* result) {
        const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        const QByteArray code(state ? state : "");
        if (code.isEmpty() || code.startsWith("08") || code == "57P01" || code == "57P02" || code == "57P03")
            lost_ = true;
    }

    // The number a pool gives next, as in the SQLite store: the lowest of the numbers given back in
    // its range and its next new number (the counter, moved past numbers a pool overlapping it
    // took); none when every number is taken. Index look-ups only, but for a pool made before
    // schema 4 (no counter yet), whose first draw reads its used numbers once.
    struct NextNumber {
        std::optional<qint64> value;
        std::optional<qint64> fresh;  // the counter's candidate
    };
    bool nextNumber(const QString& kind, qint64 first, qint64 last, std::optional<qint64> counter, NextNumber& next,
                    QString& error) {
        next = NextNumber();
        const auto single = [&](const char* sql, const Parameters& parameters, std::optional<qint64>& into) {
            Result r(query(sql, parameters));
            if (!r.ok()) {
                error = serverError();
                noteFailure(r.get());
                return false;
            }
            into = r.rows() == 1 && !r.isNull(0, 0) ? std::optional<qint64>(r.integer(0, 0)) : std::nullopt;
            return true;
        };
        // The lowest number given back in the range (one given back and taken again by a qv310 of
        // schema 3 still running is passed over), and whether the counter's number is taken: one
        // round trip.
        const qint64 candidate = counter ? std::max(*counter, first) : first;
        Result r(query("SELECT (SELECT min(r.value) FROM serial_returns r WHERE r.kind = $1 AND r.value BETWEEN $2"
                       " AND $3 AND NOT EXISTS (SELECT 1 FROM serials s WHERE s.kind = r.kind AND s.value = r.value)),"
                       " EXISTS (SELECT 1 FROM serials WHERE kind = $1 AND value = $4)",
                       Parameters().add(kind).add(first).add(last).add(candidate)));
        if (!r.ok() || r.rows() != 1) {
            error = serverError();
            noteFailure(r.get());
            return false;
        }
        const std::optional<qint64> returned = r.isNull(0, 0) ? std::nullopt : std::optional<qint64>(r.integer(0, 0));
        const bool taken = r.text(0, 1) == QLatin1String("t");
        if (!counter) {
            if (!single(lowestFreeSql(), Parameters().add(kind).add(first).add(last), next.fresh))
                return false;
        } else if (*counter <= last) {
            next.fresh = candidate;
            // Taken by a pool overlapping this one: the first gap above it, walking the index.
            if (taken &&
                !single("SELECT s.value + 1 FROM serials s WHERE s.kind = $1 AND s.value >= $2 AND s.value < $3"
                        " AND NOT EXISTS (SELECT 1 FROM serials t WHERE t.kind = $1 AND t.value = s.value + 1)"
                        " ORDER BY s.value LIMIT 1",
                        Parameters().add(kind).add(candidate).add(last), next.fresh))
                return false;
        }
        next.value = next.fresh;
        if (returned && (!next.value || *returned < *next.value))
            next.value = returned;
        return true;
    }

    static const char* lowestFreeSql() {
        return "SELECT min(v) FROM ("
               " SELECT $2::bigint AS v WHERE NOT EXISTS (SELECT 1 FROM serials WHERE kind = $1 AND value = $2)"
               " UNION ALL"
               " SELECT s.value + 1 FROM serials s WHERE s.kind = $1 AND s.value >= $2 AND s.value < $3"
               "  AND NOT EXISTS (SELECT 1 FROM serials t WHERE t.kind = $1 AND t.value = s.value + 1)) x";
    }

    // Makes the tables on first use, under a lock every station takes, and refuses a database whose
    // tables are another program's or of a newer schema.
    bool prepareSchema(QString& error) {
        if (!exec("BEGIN", error))
            return false;
        const auto fail = [&](const QString& why) {
            QString ignored;
            exec("ROLLBACK", ignored);
            error = why;
            return false;
        };
        if (!exec("SELECT pg_advisory_xact_lock(1364603698)", error))
            return fail(error);
        Result marked(statement("SELECT to_regclass('qv310_schema') IS NOT NULL, to_regclass('records') IS NOT NULL", nullptr));
        if (!marked.ok())
            return fail(serverError());
        const bool hasMark = marked.text(0, 0) == QLatin1String("t");
        const bool hasRecords = marked.text(0, 1) == QLatin1String("t");
        if (!hasMark) {
            if (hasRecords)
                return fail(QStringLiteral("the database has a records table of another program"));
            // Made as schema 3 and brought up to date, so that a new database has exactly the
            // layout of a migrated one.
            if (!exec("CREATE TABLE qv310_schema (application_id BIGINT NOT NULL, version INTEGER NOT NULL)", error) ||
                !exec(kCreateTables, error) ||
                !run("INSERT INTO qv310_schema VALUES ($1, 3)",
                     Parameters().add(qint64(SqliteRecordStore::kApplicationId)), error) ||
                !exec(kMigrateTo4, error))
                return fail(error);
        } else {
            Result version(statement("SELECT application_id, version FROM qv310_schema", nullptr));
            if (!version.ok() || version.rows() != 1)
                return fail(QStringLiteral("its qv310_schema table is not this program's"));
            if (version.integer(0, 0) != SqliteRecordStore::kApplicationId)
                return fail(QStringLiteral("it belongs to another program"));
            if (version.integer(0, 1) > kSchemaVersion)
                return fail(QStringLiteral("its records have schema %1, newer than this qv310 knows (%2); use a newer qv310")
                                .arg(version.integer(0, 1))
                                .arg(kSchemaVersion));
            // Older schemas of this program are brought up to date here, as in the SQLite store;
            // the server store begins at schema 3.
            if (version.integer(0, 1) < 4 && !exec(kMigrateTo4, error))
                return fail(error);
        }
        return exec("COMMIT", error);
    }

    bool finishInTransaction(const Finish& f, QString& error) {
        const QString kind = QLatin1String(kindName(f.kind));
        // A number given back is listed for the next draw of any pool whose range holds it.
        if (f.outcome == SerialOutcome::Returned)
            return run("WITH given AS (DELETE FROM serials WHERE kind = $1 AND value = $2 AND state = 'taken'"
                       " RETURNING kind, value)"
                       " INSERT INTO serial_returns SELECT kind, value FROM given ON CONFLICT DO NOTHING",
                       Parameters().add(kind).add(qint64(f.value)), error);
        return run("UPDATE serials SET state = $3, finished_utc = $4 WHERE kind = $1 AND value = $2 AND state = 'taken'",
                   Parameters()
                       .add(kind)
                       .add(qint64(f.value))
                       .add(QLatin1String(outcomeName(f.outcome)))
                       .add(utcNow()),
                   error);
    }

    // One statement with parameters, or (without) one or more statements; the last answer, or
    // null when the server is away. No statement waits longer than the answer limit: a server
    // that does not answer in time counts as away, as one that closed the connection does, and the
    // connection is not used again (a cancel request would wait on the same silent server).
    PGresult* statement(const char* sql, const Parameters* parameters) {
        PGresult* r = nullptr;
        if (!lost_) {
            int sent = 0;
            if (parameters) {
                const std::vector<const char*> values = parameters->values();
                sent = PQsendQueryParams(conn_, sql, parameters->size(), nullptr, values.data(), nullptr, nullptr, 0);
            } else {
                sent = PQsendQuery(conn_, sql);
            }
            r = sent ? awaitAnswer() : nullptr;
        }
        const ExecStatusType status = PQresultStatus(r);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            noteFailure(r);
        return r;
    }
    PGresult* awaitAnswer() {
        const auto deadline = std::chrono::steady_clock::now() + answerLimit();
        for (;;) {
            const int flushed = PQflush(conn_);
            if (flushed == 0)
                break;
            if (flushed < 0 || !waitForSocket(POLLIN | POLLOUT, deadline) || !PQconsumeInput(conn_))
                return giveUp();
        }
        PGresult* last = nullptr;
        for (;;) {
            while (PQisBusy(conn_)) {
                if (!waitForSocket(POLLIN, deadline) || !PQconsumeInput(conn_)) {
                    PQclear(last);
                    return giveUp();
                }
            }
            PGresult* r = PQgetResult(conn_);
            if (!r)
                return last;
            PQclear(last);
            last = r;
        }
    }
    // False when the deadline passed first (timedOut_) or the socket is gone.
    bool waitForSocket(short events, std::chrono::steady_clock::time_point deadline) {
        const int socket = PQsocket(conn_);
        if (socket < 0)
            return false;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                timedOut_ = true;
                return false;
            }
            const int wait = int(std::min<qint64>(left.count(), 1000));
#ifdef _WIN32
            WSAPOLLFD fd{SOCKET(socket), events, 0};
            const int n = ::WSAPoll(&fd, 1, wait);
            if (n > 0)
                return true;
            if (n < 0)
                return false;
#else
            pollfd fd{socket, events, 0};
            const int n = ::poll(&fd, 1, wait);
            if (n > 0)
                return true;
            if (n < 0 && errno != EINTR)
                return false;
#endif
        }
    }
    PGresult* giveUp() {
        lost_ = true;
        if (away_.isEmpty()) {
            away_ = timedOut_ ? QStringLiteral("the record server did not answer within %1 s")
                                    .arg(double(answerLimit().count()) / 1000.0)
                              : QString::fromUtf8(PQerrorMessage(conn_)).trimmed();
            if (away_.isEmpty())
                away_ = QStringLiteral("the connection to the record server was lost");
        }
        return nullptr;
    }
    PGresult* query(const char* sql, const Parameters& parameters) { return statement(sql, &parameters); }
    bool run(const char* sql, const Parameters& parameters, QString& error) {
        Result r(query(sql, parameters));
        if (!r.ok())
            error = serverError();
        return r.ok();
    }
    bool run(const QByteArray& sql, const Parameters& parameters, QString& error) {
        return run(sql.constData(), parameters, error);
    }
    bool exec(const char* sql, QString& error) {
        Result r(statement(sql, nullptr));
        if (!r.ok())
            error = serverError();
        return r.ok();
    }

    PGconn* conn_;
    bool lost_ = false;
    bool timedOut_ = false;
    QString away_;  // why the server counts as away
    QString url_;
    std::recursive_mutex mutex_;
};

// The server's rows that the spool kept for it, each once; then they leave the spool.
bool uploadSpool(PostgresRecordStore& server, const QString& destination, Spool& spool, int& uploaded,
                 QString& error) {
    uploaded = 0;
    for (const Spool::Pending& pending : spool.rowsFor(destination)) {
        if (!server.insertRow(pending.row, pending.finishes, true, error) || !spool.removeRow(pending.uuid, error))
            return false;
        ++uploaded;
    }
    for (const RecordStore::Finish& f : spool.serialsFor(destination)) {
        if (!server.finishSerial(f.kind, f.value, f.outcome, error) || !spool.removeSerial(destination, f, error))
            return false;
    }
    return true;
}

// Rows go to the server. Once it cannot be reached (no answer in time, a lost connection) they go
// to the local spool until the next round of boards finds it back; a row or a number's outcome
// the server refuses (a read-only standby, a full disk) goes to the spool too, so that no
// programmed board is left without its row. Numbers can only be drawn from the server.
class SpoolingStore : public RecordStore {
  public:
    SpoolingStore(std::unique_ptr<PostgresRecordStore> server, const QString& url, const QString& destination,
                  std::unique_ptr<Spool> spool, const QStringList& notes)
        : server_(std::move(server)), url_(url), destination_(destination), spool_(std::move(spool)), notes_(notes) {}

    bool append(const OperationResult& r, const QVector<Finish>& serials, QString& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (server_ && !server_->lost() && server_->append(r, serials, error))
            return true;
        if (!spool_->addRow(destination_, recordRow(r), serials, error))
            return false;
        ++kept_;
        return true;
    }
    bool takeSerials(const QVector<SerialRequest>& requests, QVector<uint64_t>& values, QString& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!server_ || server_->lost()) {
            error = QStringLiteral("the record server cannot be reached: no number can be drawn");
            return false;
        }
        return server_->takeSerials(requests, values, error);
    }
    bool finishSerial(SerialKind kind, uint64_t value, SerialOutcome outcome, QString& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (server_ && !server_->lost() && server_->finishSerial(kind, value, outcome, error))
            return true;
        return spool_->addSerial(destination_, {kind, value, outcome}, error);
    }
    bool jobYield(const QString& jobSha256, JobYield& yield, QString& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!server_ || server_->lost()) {
            error = QStringLiteral("the record server cannot be reached");
            return false;
        }
        return server_->jobYield(jobSha256, yield, error);
    }
    int rowsKeptLocally() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return kept_;
    }
    // A server that went away is asked again; once it answers, what the spool kept for it goes
    // first.
    QStringList beginRound() override {
        std::lock_guard<std::mutex> lock(mutex_);
        QStringList notes;
        notes.swap(notes_);
        if (server_ && !server_->lost())
            return notes;
        PostgresRecordStore::Reach reach = PostgresRecordStore::Reach::Refused;
        QString why;
        std::unique_ptr<PostgresRecordStore> server = PostgresRecordStore::connect(url_, reach, why);
        if (!server)
            return notes;
        server_ = std::move(server);
        int uploaded = 0;
        QString line = QStringLiteral("reconnected to the record server %1").arg(destination_);
        if (uploadSpool(*server_, destination_, *spool_, uploaded, why)) {
            kept_ = 0;
            if (uploaded > 0)
                line += QStringLiteral("; %1 row(s) kept locally were uploaded").arg(uploaded);
        } else {
            line += QStringLiteral("; the rows kept locally stay in %1 (%2)").arg(spoolPath(), why);
        }
        return notes << line;
    }

  private:
    std::unique_ptr<PostgresRecordStore> server_;
    const QString url_;
    const QString destination_;
    const std::unique_ptr<Spool> spool_;
    QStringList notes_;
    int kept_ = 0;
    mutable std::mutex mutex_;
};

#endif  // QV_WITH_POSTGRES

#ifndef QV_WITH_POSTGRES
QString unsupported(const QString& target) {
    return QStringLiteral("%1: this build of qv310 cannot use a PostgreSQL server (built without libpq)")
        .arg(redactConnection(target));
}
#endif

}  // namespace

std::unique_ptr<RecordStore> openRecordStore(const QString& target, bool needServer, QString& error) {
    if (!isServerUrl(target))
        return SqliteRecordStore::open(target, error);
#ifdef QV_WITH_POSTGRES
    PostgresRecordStore::Reach reach = PostgresRecordStore::Reach::Refused;
    QString why;
    std::unique_ptr<PostgresRecordStore> server = PostgresRecordStore::connect(target, reach, why);
    const QString destination = destinationOf(target);
    if (!server) {
        if (reach == PostgresRecordStore::Reach::Refused || needServer) {
            error = QStringLiteral("%1: %2%3")
                        .arg(destination, why,
                             needServer && reach == PostgresRecordStore::Reach::Unreachable
                                 ? QStringLiteral("; the job's serial numbers can only be drawn from the server")
                                 : QString());
            return nullptr;
        }
    }
    // Every row must have a place before anything is sent: the spool is where they go when the
    // server is away now or goes away during the run.
    auto spool = std::make_unique<Spool>();
    if (!spool->open(why)) {
        error = QStringLiteral("%1: the local spool cannot be opened (%2): no row would have a place if the server "
                               "is away; nothing was sent")
                    .arg(destination, why);
        return nullptr;
    }
    migrateSpoolKeys(*spool);
    // Rows kept while the server was away go first. A server that takes no rows now (read-only, a
    // full disk) leaves them there, and this run's rows join them; the log says so with the first
    // round.
    QStringList notes;
    int uploaded = 0;
    if (server && !uploadSpool(*server, destination, *spool, uploaded, why)) {
        notes << QStringLiteral("the rows kept in %1 for %2 stay there: %3").arg(spoolPath(), destination, why);
        if (server->lost())
            server.reset();
    }
    return std::make_unique<SpoolingStore>(std::move(server), target, destination, std::move(spool), notes);
#else
    (void)needServer;
    error = unsupported(target);
    return nullptr;
#endif
}

bool syncSpool(const QString& url, int& uploaded, int& keptForOthers, QString& error) {
    uploaded = 0;
    keptForOthers = 0;
#ifdef QV_WITH_POSTGRES
    PostgresRecordStore::Reach reach = PostgresRecordStore::Reach::Refused;
    QString why;
    std::unique_ptr<PostgresRecordStore> server = PostgresRecordStore::connect(url, reach, why);
    const QString destination = destinationOf(url);
    if (!server) {
        error = QStringLiteral("%1: %2").arg(destination, why);
        return false;
    }
    if (!QFileInfo::exists(spoolPath()))
        return true;
    Spool spool;
    if (!spool.open(why)) {
        error = QStringLiteral("%1: %2").arg(destination, why);
        return false;
    }
    migrateSpoolKeys(spool);
    const bool ok = uploadSpool(*server, destination, spool, uploaded, why);
    keptForOthers = spool.rowsForOthers(destination);
    if (!ok)
        error = QStringLiteral("%1: %2").arg(destination, why);
    return ok;
#else
    error = unsupported(url);
    return false;
#endif
}

QString spoolDestination(const QString& url) {
#ifdef QV_WITH_POSTGRES
    return destinationOf(url);
#else
    (void)url;
    return QString();
#endif
}

bool exportRecordsFrom(const QString& target, RowExporter& exporter, QString& error) {
    if (!isServerUrl(target))
        return exportRecords(target, exporter, error);
#ifdef QV_WITH_POSTGRES
    PostgresRecordStore::Reach reach = PostgresRecordStore::Reach::Refused;
    QString why;
    std::unique_ptr<PostgresRecordStore> server = PostgresRecordStore::connect(target, reach, why);
    if (!server) {
        error = QStringLiteral("%1: %2").arg(destinationOf(target), why);
        return false;
    }
    if (!server->exportRows(exporter, why)) {
        error = QStringLiteral("%1: %2").arg(destinationOf(target), why);
        return false;
    }
    if (!exporter.finish()) {
        error = QStringLiteral("%1: the export could not be written").arg(destinationOf(target));
        return false;
    }
    return true;
#else
    (void)exporter;
    error = unsupported(target);
    return false;
#endif
}

bool readYieldsFrom(const QString& target, QVector<JobYield>& yields, QString& error) {
    if (!isServerUrl(target))
        return readYields(target, yields, error);
#ifdef QV_WITH_POSTGRES
    PostgresRecordStore::Reach reach = PostgresRecordStore::Reach::Refused;
    QString why;
    std::unique_ptr<PostgresRecordStore> server = PostgresRecordStore::connect(target, reach, why);
    if (!server || !server->readYields(QString(), yields, why)) {
        error = QStringLiteral("%1: %2").arg(destinationOf(target), why);
        return false;
    }
    return true;
#else
    (void)yields;
    error = unsupported(target);
    return false;
#endif
}

bool readSerialPoolsFrom(const QString& target, QVector<SerialPoolState>& pools, QString& error) {
    if (!isServerUrl(target))
        return readSerialPools(target, pools, error);
#ifdef QV_WITH_POSTGRES
    PostgresRecordStore::Reach reach = PostgresRecordStore::Reach::Refused;
    QString why;
    std::unique_ptr<PostgresRecordStore> server = PostgresRecordStore::connect(target, reach, why);
    if (!server || !server->readPools(pools, why)) {
        error = QStringLiteral("%1: %2").arg(destinationOf(target), why);
        return false;
    }
    return true;
#else
    (void)pools;
    error = unsupported(target);
    return false;
#endif
}

}  // namespace qv::engine
