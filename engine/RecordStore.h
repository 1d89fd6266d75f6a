#pragma once

#include "Events.h"
#include "RecordRow.h"
#include "Serials.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdio>
#include <memory>
#include <mutex>

struct sqlite3;
struct sqlite3_stmt;

namespace qv::engine {

// A number asked of a pool for one board, and the number it got.
struct SerialRequest {
    SerialField field;  // its range and kind
    QString device;   // the programmer of the board that gets it
    QString tag;
};

// What became of a board's number.
enum class SerialOutcome {
    Used,      // the board passed and carries it
    Spoiled,   // the board failed after its image was sent: it may carry it, never given again
    Returned,  // nothing of the image was sent: the number is free again
};

// Production records: one row per board operation, appended and exported, and the serial pools
// that never give a number twice. The runs of several programmers share one store; several
// processes may share its database.
class RecordStore {
  public:
    virtual ~RecordStore() = default;
    // Appends one row, whole or not at all. False with a reason when it could not be stored.
    // When it is the board's last row, the board's numbers are finished in the same transaction, so
    // that a row and what it says of its numbers are never apart.
    struct Finish {
        SerialKind kind = SerialKind::Number;
        uint64_t value = 0;
        SerialOutcome outcome = SerialOutcome::Spoiled;
    };
    virtual bool append(const OperationResult& result, const QVector<Finish>& serials, QString& error) = 0;
    bool append(const OperationResult& result, QString& error) { return append(result, {}, error); }
    // Takes one number for each request, all in one transaction: every board gets its own, or
    // none gets one (false with a reason, e.g. a range with too few numbers left). A number taken
    // stays taken until finishSerial says what became of it, also when the process dies.
    virtual bool takeSerials(const QVector<SerialRequest>& requests, QVector<uint64_t>& values, QString& error) = 0;
    virtual bool finishSerial(SerialKind kind, uint64_t value, SerialOutcome outcome, QString& error) = 0;
    // The first-pass yield of a job (by the SHA-256 of its job file), as JobYield says; the same
    // figures as qv310 records yield (yieldQuery).
    virtual bool jobYield(const QString& jobSha256, JobYield& yield, QString& error) = 0;
    // Rows that could not reach their server and were kept in the local spool (never for a file).
    virtual int rowsKeptLocally() const { return 0; }
    // Called before each round of boards: a store whose server went away asks it again and, once
    // it answers, uploads what the spool kept for it. Lines for the log (a reconnection).
    virtual QStringList beginRound() { return {}; }
};

// The SQLite store of one PC: a database file marked as this program's (its application id) with
// a schema version (its user version), WAL journal, one transaction per row, so that a crash or a
// pulled cable never leaves half a row. WAL needs the database on a local disk: never on a
// network share.
class SqliteRecordStore : public RecordStore {
  public:
    // This program's mark in the database header ("QV31"), and the schema version it writes.
    static constexpr int32_t kApplicationId = 0x51563331;
    static constexpr int kSchemaVersion = 4;

    // Opens the database (creating it when missing), brings an older schema of this program up to
    // date in one transaction, and prepares the row insert, so that everything that could refuse
    // a row (a busy or read-only database, another program's database or table, a newer schema)
    // is found before anything is sent to a programmer. Null with a reason otherwise.
    static std::unique_ptr<SqliteRecordStore> open(const QString& path, QString& error);
    ~SqliteRecordStore() override;

    using RecordStore::append;
    bool append(const OperationResult& result, const QVector<Finish>& serials, QString& error) override;
    bool takeSerials(const QVector<SerialRequest>& requests, QVector<uint64_t>& values, QString& error) override;
    bool finishSerial(SerialKind kind, uint64_t value, SerialOutcome outcome, QString& error) override;
    bool jobYield(const QString& jobSha256, JobYield& yield, QString& error) override;

  private:
    // One number's outcome, inside a transaction of the caller's (or as one statement).
    bool finishSerialInTransaction(const Finish& finish, QString& error);
    SqliteRecordStore(sqlite3* db, sqlite3_stmt* insert) : db_(db), insert_(insert) {}
    sqlite3* db_;
    sqlite3_stmt* insert_;
    std::recursive_mutex mutex_;
};

// The first-pass yield as both stores compute it (SQL that SQLite and PostgreSQL both run), so that
// the station, qv310 records yield and the README's query give the same figures. figures: per job,
// its boards and those that passed first time; otherwise per job its boards' failure reasons with
// their counts, the most frequent first. oneJob: only the job given as the query's one parameter
// (parameter: "?1" or "$1"). hasRound: the records have the round_uuid column (schema 4).
QByteArray yieldQuery(bool figures, bool oneJob, bool hasRound, const char* parameter);

// Prints every row of the database, oldest first, as CSV (with a header line) or JSON Lines.
// False with a reason when the database cannot be read or the output cannot be written whole.
bool exportRecords(const QString& path, RowExporter& exporter, QString& error);

// The serial pools of a database, in the order they were first used.
bool readSerialPools(const QString& path, QVector<SerialPoolState>& pools, QString& error);

// The first-pass yield of every job of a database, ordered by the job's SHA-256.
bool readYields(const QString& path, QVector<JobYield>& yields, QString& error);

}  // namespace qv::engine
