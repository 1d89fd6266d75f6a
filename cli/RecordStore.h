#pragma once

#include "Events.h"

#include <QString>

#include <cstdio>
#include <memory>
#include <mutex>

struct sqlite3;

namespace qv::cli {

// Production records: one row per board operation, appended and exported. Sessions on several
// threads share one store.
class RecordStore {
  public:
    virtual ~RecordStore() = default;
    // Appends one row, whole or not at all. False with a reason when it could not be stored.
    virtual bool append(const OperationResult& result, QString& error) = 0;
};

// The SQLite store: WAL journal, one transaction per row, so that a crash or a pulled cable
// never leaves half a row.
class SqliteRecordStore : public RecordStore {
  public:
    // Opens (creating when missing) and proves the database writable now, so that a busy or
    // read-only database is found before anything is sent to a programmer. Null with a reason
    // otherwise.
    static std::unique_ptr<SqliteRecordStore> open(const QString& path, QString& error);
    ~SqliteRecordStore() override;

    bool append(const OperationResult& result, QString& error) override;

  private:
    explicit SqliteRecordStore(sqlite3* db) : db_(db) {}
    sqlite3* db_;
    std::mutex mutex_;
};

// Prints every row of the database, oldest first, as CSV (with a header line) or JSON Lines.
// False with a reason when the database cannot be read.
bool exportRecords(const QString& path, bool csv, std::FILE* out, QString& error);

}  // namespace qv::cli
