#include "RecordStore.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>

#include <sqlite3.h>

namespace qv::cli {

namespace {

constexpr int kBusyTimeoutMs = 2000;

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS records ("
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

// Columns in export order.
const char* const kColumns[] = {"id",
                                "utc",
                                "host",
                                "device",
                                "board_id",
                                "board_mcu",
                                "app_version",
                                "boot_version",
                                "target_type",
                                "target_flash_id",
                                "operation",
                                "file",
                                "size",
                                "crc32",
                                "sha256",
                                "address",
                                "result",
                                "exit_code",
                                "duration_ms",
                                "blocks_written",
                                "blocks_skipped",
                                "error",
                                "log"};

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

// Hexadecimal words are shown as the tool shows them; numbers stay numbers.
bool isWordColumn(const char* name) {
    const QByteArray n(name);
    return n == "board_id" || n == "board_mcu" || n == "app_version" || n == "boot_version" ||
           n == "target_type" || n == "target_flash_id" || n == "crc32" || n == "address";
}

QString csvField(const QString& text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
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
    // Taking the write lock once proves the file is writable and not held by another writer.
    if (!exec(db, "PRAGMA journal_mode=WAL", why) || !exec(db, "BEGIN IMMEDIATE", why))
        return fail(why);
    if (!exec(db, kSchema, why)) {
        exec(db, "ROLLBACK", why);
        return fail(why);
    }
    if (!exec(db, "COMMIT", why))
        return fail(why);
    return std::unique_ptr<SqliteRecordStore>(new SqliteRecordStore(db));
}

SqliteRecordStore::~SqliteRecordStore() {
    sqlite3_close(db_);
}

bool SqliteRecordStore::append(const OperationResult& r, QString& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    static const char kInsert[] =
        "INSERT INTO records (utc, host, device, board_id, board_mcu, app_version, boot_version, target_type,"
        " target_flash_id, operation, file, size, crc32, sha256, address, result, exit_code, duration_ms,"
        " blocks_written, blocks_skipped, error, log)"
        " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, kInsert, -1, &statement, nullptr) != SQLITE_OK) {
        error = sqliteError(db_);
        return false;
    }
    int column = 0;
    const auto text = [&](const QString& value) {
        const QByteArray bytes = value.toUtf8();
        sqlite3_bind_text(statement, ++column, bytes.constData(), bytes.size(), SQLITE_TRANSIENT);
    };
    const auto integer = [&](std::optional<int64_t> value) {
        if (value)
            sqlite3_bind_int64(statement, ++column, *value);
        else
            sqlite3_bind_null(statement, ++column);
    };
    const bool connected = r.board.connected;
    const auto boardValue = [connected](uint32_t value) {
        return connected ? std::optional<int64_t>(value) : std::nullopt;
    };
    text(r.utc);
    text(QSysInfo::machineHostName());
    text(r.device);
    integer(boardValue(r.board.boardId));
    integer(boardValue(r.board.boardMcu));
    integer(boardValue(r.board.appVersion));
    integer(boardValue(r.board.bootVersion));
    integer(r.board.targetType ? std::optional<int64_t>(*r.board.targetType) : std::nullopt);
    integer(r.board.targetType ? std::optional<int64_t>(r.board.targetFlashId) : std::nullopt);
    text(r.operation);
    text(r.file);
    integer(r.size);
    integer(r.crc);
    text(r.sha256);
    integer(r.address ? std::optional<int64_t>(*r.address) : std::nullopt);
    integer(r.result ? std::optional<int64_t>(*r.result) : std::nullopt);
    integer(r.exitCode);
    integer(r.durationMs);
    integer(r.blocksWritten ? std::optional<int64_t>(*r.blocksWritten) : std::nullopt);
    integer(r.blocksSkipped ? std::optional<int64_t>(*r.blocksSkipped) : std::nullopt);
    if (r.error.isEmpty())
        sqlite3_bind_null(statement, ++column);
    else
        text(r.error);
    text(r.log.join(QLatin1Char('\n')));

    QString why;
    bool ok = exec(db_, "BEGIN IMMEDIATE", why);
    if (ok) {
        ok = sqlite3_step(statement) == SQLITE_DONE;
        if (!ok)
            why = sqliteError(db_);
        QString ignored;
        ok = ok ? exec(db_, "COMMIT", why) : (exec(db_, "ROLLBACK", ignored), false);
    }
    sqlite3_finalize(statement);
    if (!ok)
        error = why;
    return ok;
}

bool exportRecords(const QString& path, bool csv, std::FILE* out, QString& error) {
    if (!QFileInfo(path).isFile()) {
        error = QStringLiteral("%1: no such database").arg(path);
        return false;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        error = QStringLiteral("%1: %2").arg(path, sqliteError(db));
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    QByteArray select = "SELECT ";
    for (size_t i = 0; i < sizeof kColumns / sizeof kColumns[0]; ++i)
        select += QByteArray(i ? "," : "") + kColumns[i];
    select += " FROM records ORDER BY id";
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, select.constData(), -1, &statement, nullptr) != SQLITE_OK) {
        error = QStringLiteral("%1: %2").arg(path, sqliteError(db));
        sqlite3_close(db);
        return false;
    }
    const int columns = int(sizeof kColumns / sizeof kColumns[0]);
    if (csv) {
        QStringList header;
        for (const char* name : kColumns)
            header << QString::fromLatin1(name);
        std::fprintf(out, "%s\n", header.join(QLatin1Char(',')).toUtf8().constData());
    }
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        QStringList fields;
        QJsonObject object;
        for (int c = 0; c < columns; ++c) {
            const int type = sqlite3_column_type(statement, c);
            const QString name = QString::fromLatin1(kColumns[c]);
            if (type == SQLITE_NULL) {
                fields << QString();
                object.insert(name, QJsonValue());
            } else if (type == SQLITE_INTEGER) {
                const int64_t value = sqlite3_column_int64(statement, c);
                if (isWordColumn(kColumns[c])) {
                    const QString word = hex8(uint32_t(value));
                    fields << word;
                    object.insert(name, word);
                } else {
                    fields << QString::number(value);
                    object.insert(name, qint64(value));
                }
            } else {
                const QString value =
                    QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, c)),
                                      sqlite3_column_bytes(statement, c));
                fields << csvField(value);
                object.insert(name, value);
            }
        }
        const QByteArray line = csv ? fields.join(QLatin1Char(',')).toUtf8()
                                    : QJsonDocument(object).toJson(QJsonDocument::Compact);
        std::fprintf(out, "%s\n", line.constData());
    }
    const bool ok = rc == SQLITE_DONE;
    if (!ok)
        error = QStringLiteral("%1: %2").arg(path, sqliteError(db));
    sqlite3_finalize(statement);
    sqlite3_close(db);
    std::fflush(out);
    return ok;
}

}  // namespace qv::cli
