// What one serial draw costs when its pool has given 1,000,000 numbers (QV_BENCH_USED=N for
// another count), beside a draw from a fresh pool: through the record stores as qv310 and the
// station draw (RecordStore::takeSerials, one transaction under the write lock), in SQLite and,
// when a server can be started here, in PostgreSQL. For comparison, the query every draw ran
// before schema 4 (the lowest free number, found by reading every used number of the range), and
// the one draw that still reads them: the first draw of a pool an older qv310 made.
//
// Run: qv_serial_bench [--benchmark_filter=...] [--benchmark_repetitions=3]
#include "engine/RecordStore.h"
#include "engine/ServerStore.h"
#include "support/PostgresServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

using qv::engine::RecordStore;
using qv::engine::SerialRequest;

// The pool that has given many numbers, and a fresh one of the same kind.
constexpr uint64_t kBigFirst = 1;
constexpr uint64_t kBigLast = 100000000;
constexpr uint64_t kFreshFirst = 200000000;
constexpr uint64_t kFreshLast = 300000000;

uint64_t usedNumbers() {
    const char* given = std::getenv("QV_BENCH_USED");
    return given ? std::strtoull(given, nullptr, 10) : 1000000;
}

SerialRequest numberFrom(uint64_t first, uint64_t last) {
    SerialRequest request;
    request.field.offset = 0x100;
    request.field.format = qv::engine::SerialFormat::U32Le;
    request.field.first = first;
    request.field.last = last;
    request.device = QStringLiteral("bench");
    return request;
}

bool drawFrom(RecordStore& store, uint64_t first, uint64_t last, int boards, QString& error) {
    QVector<uint64_t> values;
    return store.takeSerials(QVector<SerialRequest>(boards, numberFrom(first, last)), values, error);
}

// The lowest free number as every draw found it before schema 4.
const char kFormerQuery[] =
    "SELECT min(v) FROM ("
    " SELECT %2 AS v WHERE NOT EXISTS (SELECT 1 FROM serials WHERE kind = 'number' AND value = %2)"
    " UNION ALL"
    " SELECT s.value + 1 FROM serials s WHERE s.kind = 'number' AND s.value >= %2 AND s.value < %3"
    "  AND NOT EXISTS (SELECT 1 FROM serials t WHERE t.kind = 'number' AND t.value = s.value + 1)) x";

QByteArray formerQuery() {
    return QString::fromLatin1(kFormerQuery).arg(kBigFirst).arg(kBigLast).toUtf8();
}

// The SQL that gives the big pool its used numbers, as its draws would have left them.
QString fillSql(bool postgres) {
    const QString numbers =
        postgres ? QStringLiteral("generate_series(2, %1) AS n(v)").arg(usedNumbers()) : QStringLiteral("n");
    return QStringLiteral(
               "%1 INSERT INTO serials (kind, value, pool, state, taken_utc, host, pid)"
               " SELECT 'number', v, 1, 'used', '2026-12-11T00:00:00.000Z', 'bench', 1 FROM %2;"
               "UPDATE serial_pools SET next_new = %3 WHERE first = %4")
        .arg(postgres ? QString()
                      : QStringLiteral(
                            "WITH RECURSIVE n(v) AS (SELECT 2 UNION ALL SELECT v + 1 FROM n WHERE v < %1)")
                            .arg(usedNumbers()),
             numbers)
        .arg(usedNumbers() + 1)
        .arg(kBigFirst);
}

// ---------------------------------------------------------------------------------------------

struct SqliteBench {
    SqliteBench() {
        path = dir.filePath(QStringLiteral("line.db"));
        store = qv::engine::SqliteRecordStore::open(path, error);
        if (!store || !drawFrom(*store, kBigFirst, kBigLast, 1, error) ||
            !drawFrom(*store, kFreshFirst, kFreshLast, 1, error))
            return;
        sqlite3* db = nullptr;
        sqlite3_open(path.toUtf8().constData(), &db);
        sqlite3_busy_timeout(db, 60000);
        const QByteArray sql = "BEGIN;" + fillSql(false).toUtf8() + ";COMMIT";
        char* message = nullptr;
        if (sqlite3_exec(db, sql.constData(), nullptr, nullptr, &message) != SQLITE_OK)
            error = QString::fromUtf8(message);
        sqlite3_free(message);
        sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        ready = error.isEmpty();
    }
    QTemporaryDir dir;
    QString path;
    std::unique_ptr<qv::engine::SqliteRecordStore> store;
    QString error;
    bool ready = false;
};

SqliteBench& sqliteBench() {
    static SqliteBench bench;
    return bench;
}

// Arguments: 1 for the pool that has given the numbers, 0 for a fresh one; the boards of the draw.
void BM_SqliteDraw(benchmark::State& state) {
    SqliteBench& b = sqliteBench();
    if (!b.ready) {
        state.SkipWithError(qPrintable(b.error));
        return;
    }
    const bool big = state.range(0) == 1;
    for (auto _ : state) {
        QString error;
        if (!drawFrom(*b.store, big ? kBigFirst : kFreshFirst, big ? kBigLast : kFreshLast,
                      int(state.range(1)), error)) {
            state.SkipWithError(qPrintable(error));
            break;
        }
    }
    state.counters["used"] = double(big ? usedNumbers() : 1);
}
BENCHMARK(BM_SqliteDraw)
    ->ArgNames({"given", "boards"})
    ->Args({1, 1})
    ->Args({1, 8})
    ->Args({0, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_SqliteFormerQuery(benchmark::State& state) {
    SqliteBench& b = sqliteBench();
    if (!b.ready) {
        state.SkipWithError(qPrintable(b.error));
        return;
    }
    sqlite3* db = nullptr;
    sqlite3_open_v2(b.path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    const QByteArray sql = formerQuery();
    for (auto _ : state) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db, sql.constData(), -1, &s, nullptr);
        if (sqlite3_step(s) != SQLITE_ROW)
            state.SkipWithError(sqlite3_errmsg(db));
        benchmark::DoNotOptimize(sqlite3_column_int64(s, 0));
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
}
BENCHMARK(BM_SqliteFormerQuery)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

// A pool an older qv310 made has no counter: its first draw finds the lowest free number as every
// draw did before, once.
void BM_SqliteFirstDrawOfAnOlderPool(benchmark::State& state) {
    SqliteBench& b = sqliteBench();
    if (!b.ready) {
        state.SkipWithError(qPrintable(b.error));
        return;
    }
    sqlite3* db = nullptr;
    sqlite3_open(b.path.toUtf8().constData(), &db);
    sqlite3_busy_timeout(db, 60000);
    for (auto _ : state) {
        state.PauseTiming();
        sqlite3_exec(db, "UPDATE serial_pools SET next_new = NULL WHERE first = 1", nullptr, nullptr,
                     nullptr);
        state.ResumeTiming();
        QString error;
        if (!drawFrom(*b.store, kBigFirst, kBigLast, 1, error))
            state.SkipWithError(qPrintable(error));
    }
    sqlite3_close(db);
}
BENCHMARK(BM_SqliteFirstDrawOfAnOlderPool)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------------------------

struct PostgresBench {
    PostgresBench() : server(folder() + QStringLiteral("/pg")) {
        if (!server.skipReason().isEmpty()) {
            error = server.skipReason();
            return;
        }
        if (!server.start(error))
            return;
        url = QString::fromStdString(server.url());
        store = qv::engine::openRecordStore(url, true, error);
        if (!store || !drawFrom(*store, kBigFirst, kBigLast, 1, error) ||
            !drawFrom(*store, kFreshFirst, kFreshLast, 1, error))
            return;
        if (!server.sql(fillSql(true), error, nullptr, QStringLiteral("line")) ||
            !server.sql(QStringLiteral("VACUUM ANALYZE"), error, nullptr, QStringLiteral("line")))
            return;
        ready = true;
    }
    // The server runs as another user when this runs as root: its folder must be reachable.
    QString folder() {
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                              QFileDevice::ExeOther);
        return dir.path();
    }
    QTemporaryDir dir;
    qvtest::PostgresServer server;
    QString url;
    std::unique_ptr<RecordStore> store;
    QString error;
    bool ready = false;
};

PostgresBench& postgresBench() {
    static PostgresBench bench;
    return bench;
}

void BM_PostgresDraw(benchmark::State& state) {
    PostgresBench& b = postgresBench();
    if (!b.ready) {
        state.SkipWithError(qPrintable(QStringLiteral("no PostgreSQL server: ") + b.error));
        return;
    }
    const bool big = state.range(0) == 1;
    for (auto _ : state) {
        QString error;
        if (!drawFrom(*b.store, big ? kBigFirst : kFreshFirst, big ? kBigLast : kFreshLast,
                      int(state.range(1)), error)) {
            state.SkipWithError(qPrintable(error));
            break;
        }
    }
    state.counters["used"] = double(big ? usedNumbers() : 1);
}
BENCHMARK(BM_PostgresDraw)
    ->ArgNames({"given", "boards"})
    ->Args({1, 1})
    ->Args({1, 8})
    ->Args({0, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_PostgresFormerQuery(benchmark::State& state) {
    PostgresBench& b = postgresBench();
    if (!b.ready) {
        state.SkipWithError(qPrintable(QStringLiteral("no PostgreSQL server: ") + b.error));
        return;
    }
    PGconn* conn = PQconnectdb(b.url.toUtf8().constData());
    const QByteArray sql = formerQuery();
    for (auto _ : state) {
        PGresult* r = PQexec(conn, sql.constData());
        if (PQresultStatus(r) != PGRES_TUPLES_OK)
            state.SkipWithError(PQerrorMessage(conn));
        PQclear(r);
    }
    PQfinish(conn);
}
BENCHMARK(BM_PostgresFormerQuery)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // The stores' local spool and anything else of the user's stays out of it.
    QTemporaryDir data;
    ::setenv("XDG_DATA_HOME", data.path().toUtf8().constData(), 1);
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
