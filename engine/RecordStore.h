#pragma once

#include "Events.h"

#include <QString>

#include <cstdio>
#include <memory>
#include <mutex>

struct sqlite3;
struct sqlite3_stmt;

namespace qv::engine {

// Production records: one row per board operation, appended and exported. The runs of several
// programmers share one store.
class RecordStore {
  public:
    virtual ~RecordStore() = default;
    // Appends one row, whole or not at all. False with a reason when it could not be stored.
    virtual bool append(const OperationResult& result, QString& error) = 0;
};

// The SQLite store of one PC: a database file marked as this program's (its application id) with
// a schema version (its user version), WAL journal, one transaction per row, so that a crash or a
// pulled cable never leaves half a row. WAL needs the database on a local disk: never on a
// network share.
class SqliteRecordStore : public RecordStore {
  public:
    // This program's mark in the database header ("QV31"), and the schema version it writes.
    static constexpr int32_t kApplicationId = 0x51563331;
    static constexpr int kSchemaVersion = 2;

    // Opens the database (creating it when missing), brings an older schema of this program up to
    // date in one transaction, and prepares the row insert, so that everything that could refuse
    // a row (a busy or read-only database, another program's database or table, a newer schema)
    // is found before anything is sent to a programmer. Null with a reason otherwise.
    static std::unique_ptr<SqliteRecordStore> open(const QString& path, QString& error);
    ~SqliteRecordStore() override;

    bool append(const OperationResult& result, QString& error) override;

  private:
    SqliteRecordStore(sqlite3* db, sqlite3_stmt* insert) : db_(db), insert_(insert) {}
    sqlite3* db_;
    sqlite3_stmt* insert_;
    std::mutex mutex_;
};

// Prints every row of the database, oldest first, as CSV (with a header line) or JSON Lines.
// False with a reason when the database cannot be read or the output cannot be written whole.
bool exportRecords(const QString& path, bool csv, std::FILE* out, QString& error);

}  // namespace qv::engine
