#pragma once

#include "RecordStore.h"

#include <QString>

#include <memory>

namespace qv::engine {

// The record stores a --record can name: a SQLite database file on this PC, or a PostgreSQL server
// a whole line shares ("postgresql://…" or "postgres://…", a libpq connection URI).
bool isServerUrl(const QString& target);

// Whether this build can talk to a PostgreSQL server (not in the Windows build).
bool serverStoresAvailable();

// Opens the store a --record names. A database file is opened as SqliteRecordStore::open does.
// A server is asked first for the rows this PC kept for it in its local spool, which are
// uploaded before anything else. When the server cannot be reached at all, a job whose steps
// take a serial (needServer) is refused (no number can be drawn offline); any other run gets a
// store that keeps its rows in the local spool until a later round of boards finds the server
// back (RecordStore::beginRound), a later run, or "qv310 records sync" uploads them. The spool
// must open in any case: a run whose rows would have no place if the server went away is
// refused before anything is sent. A server that answers but refuses (a login that is not accepted, no such
// database, another program's tables) is refused. Null with the reason otherwise.
std::unique_ptr<RecordStore> openRecordStore(const QString& target, bool needServer, QString& error);

// The local spool of rows kept for servers that could not be reached:
// $XDG_DATA_HOME/qv310-isp/spool.db (%LOCALAPPDATA%\qv310-isp\spool.db on Windows).
QString spoolPath();

// Uploads the rows the local spool holds for this server, each once however often it runs, and
// removes them from the spool; keptForOthers: the rows it holds for other servers. The spool
// keeps rows by the server's identity (user, host, port and database as libpq completes them),
// so every spelling of one server's URL finds them. False with the reason when the server cannot
// take them.
bool syncSpool(const QString& url, int& uploaded, int& keptForOthers, QString& error);

// The identity a server URL's spooled rows are kept under ("postgresql://USER@HOST:PORT/DB",
// never a password). Empty in a build without libpq.
QString spoolDestination(const QString& url);

// records export and serials on a file or a server.
bool exportRecordsFrom(const QString& target, RowExporter& exporter, QString& error);
bool readSerialPoolsFrom(const QString& target, QVector<SerialPoolState>& pools, QString& error);
// records yield on a file or a server: the first-pass yield of every job, by its SHA-256.
bool readYieldsFrom(const QString& target, QVector<JobYield>& yields, QString& error);

}  // namespace qv::engine
