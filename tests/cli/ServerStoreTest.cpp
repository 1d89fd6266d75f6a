// One record for a whole line: qv310 against a PostgreSQL server of the test's own. Rows arrive
// with every column, stations drawing serials at once never share a number, a server that goes
// away leaves the rows in the local spool until they are uploaded once, and a server that refuses
// the login or has no such database stops the run before anything is sent.

#include "CliFixture.h"

#include "engine/ServerStore.h"
#include "support/PostgresServer.h"

#include <QElapsedTimer>

#include <cstring>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace clitest;

namespace {

class Server : public Cli {
  protected:
    void SetUp() override {
        Cli::SetUp();
        // The server runs as another user when the tests run as root: it must reach its folder.
        ::chmod(base_.c_str(), 0755);
        server_ = std::make_unique<qvtest::PostgresServer>(QString::fromStdString(base_ + "/pg"));
        if (!server_->skipReason().isEmpty())
            GTEST_SKIP() << "PostgreSQL tests skipped: " << server_->skipReason().toStdString();
        QString error;
        ASSERT_TRUE(server_->start(error)) << error.toStdString();
        url_ = server_->url();
    }
    void TearDown() override {
        server_.reset();
        Cli::TearDown();
    }

    QString scalar(const QString& sql) {
        QString out, error;
        EXPECT_TRUE(server_->sql(sql, error, &out, QStringLiteral("line"))) << error.toStdString();
        return out;
    }

    // The same without failing: empty while the tables are not there yet.
    QString quietScalar(const QString& sql) {
        QString out, error;
        return server_->sql(sql, error, &out, QStringLiteral("line")) ? out : QString();
    }

    // Waits until the server's answer to sql is want (at most 20 s).
    bool serverSays(const QString& sql, const QString& want) {
        for (int i = 0; i < 1000; ++i) {
            if (quietScalar(sql) == want)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // A job of two steps, the second about two seconds long on a programmer that takes 300 ms per
    // 4096 bytes written.
    void writeTwoStepJob() {
        const Bytes first = codeImage(4096, 62);
        const Bytes second = codeImage(6 * 4096, 63);
        writeBytes(path("first.bin"), first);
        writeBytes(path("second.bin"), second);
        std::ofstream(path("job.json")) << R"({"steps": [{"program-mcu": "first.bin", "sha256": ")" << sha256Of(first)
                                        << R"("}, {"program-boot": "second.bin", "sha256": ")" << sha256Of(second)
                                        << "\"}]}";
    }

    std::unique_ptr<qvtest::PostgresServer> server_;
    std::string url_;
};

std::string serialJob(const Bytes& mcu, uint64_t first, uint64_t last, const std::string& file = "mcu.bin") {
    return R"({"steps": [{"program-mcu": ")" + file + R"(", "sha256": ")" + sha256Of(mcu) +
           R"(", "serial": {"offset": "0x100", "format": "u32le", "first": )" + std::to_string(first) +
           R"(, "last": )" + std::to_string(last) + "}}]}";
}

TEST_F(Server, rowsArriveWithEveryColumnAndExportAsFromAFile) {
    const Bytes mcu = codeImage(2 * 4096, 60);
    writeBytes(path("mcu.bin"), mcu);
    std::ofstream(path("job.json")) << serialJob(mcu, 100, 199);
    Programmer& p = startProgrammer("pg", {"--board-id", "0x31"});
    const Run run = qv310({"run", path("job.json"), "--record", url_, "--tag", "LOT-1", "--json"});
    EXPECT_EQ(run.code, 0) << run.out;
    const Run local = qv310({"run", path("job.json"), "--record", path("local.db"), "--tag", "LOT-1"});
    EXPECT_EQ(local.code, 0) << local.err;
    stop(p);

    const Run exported = qv310({"records", "export", url_, "--jsonl"});
    ASSERT_EQ(exported.code, 0) << exported.err;
    const auto rows = jsonLines(exported.out);
    ASSERT_EQ(rows.size(), 1u) << exported.out;
    const QJsonObject row = rows[0];
    // Every column a passing write fills, the same as the file store's row for the same run.
    for (const char* column : {"id", "utc", "host", "device", "board_id", "board_mcu", "app_version", "boot_version",
                               "tool_version", "target_type", "target_flash_id", "tag", "serial", "operation", "file",
                               "size", "crc32", "sha256", "source_sha256", "job_sha256", "address", "result", "exit_code",
                               "duration_ms", "blocks_written", "blocks_skipped", "target_started", "uuid", "run_uuid",
                               "log"})
        EXPECT_FALSE(row.value(QLatin1String(column)).isNull()) << column;
    EXPECT_EQ(row.value(QStringLiteral("board_id")).toString(), QStringLiteral("0x00000031"));
    EXPECT_EQ(row.value(QStringLiteral("serial")).toString(), QStringLiteral("100"));
    EXPECT_EQ(row.value(QStringLiteral("tag")).toString(), QStringLiteral("LOT-1"));
    const auto fileRows = jsonLines(qv310({"records", "export", path("local.db"), "--jsonl"}).out);
    ASSERT_EQ(fileRows.size(), 1u);
    QStringList serverKeys = row.keys();
    QStringList fileKeys = fileRows[0].keys();
    EXPECT_EQ(serverKeys, fileKeys) << "the server's export has the file's columns";
    // CSV from the server has the same header as from a file.
    const Run csv = qv310({"records", "export", url_, "--csv"});
    const Run csvFile = qv310({"records", "export", path("local.db"), "--csv"});
    EXPECT_EQ(csv.out.substr(0, csv.out.find('\n')), csvFile.out.substr(0, csvFile.out.find('\n')));
    EXPECT_EQ(scalar(QStringLiteral("SELECT version FROM qv310_schema")), QStringLiteral("4"));
}

TEST_F(Server, stationsDrawingSerialsAtOnceNeverShareANumber) {
    const Bytes mcu = codeImage(4096, 61);
    writeBytes(path("mcu.bin"), mcu);
    std::ofstream(path("job.json")) << serialJob(mcu, 1, 1000000);
    std::ofstream(path("labels.txt")) << "A\nB\nC\n";
    std::vector<std::unique_ptr<Child>> stations;
    for (int s = 0; s < 3; ++s) {
        const std::string n = std::to_string(s);
        Programmer& x = startProgrammer("s" + n + "x");
        Programmer& y = startProgrammer("s" + n + "y");
        auto child = std::make_unique<Child>();
        ASSERT_TRUE(child->start(QV_CLI_PROGRAM,
                                 {"station", path("job.json"), "-d", x.devicePath, "-d", y.devicePath, "--record", url_, "-q"},
                                 env_, path("st" + n + ".out"), path("st" + n + ".err"), base_, path("labels.txt")));
        stations.push_back(std::move(child));
    }
    for (auto& s : stations)
        EXPECT_EQ(s->wait(), 0) << s->err();
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM records")), QStringLiteral("18"));
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(DISTINCT serial) FROM records")), QStringLiteral("18"));
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM serials WHERE state = 'used'")), QStringLiteral("18"));
}

TEST_F(Server, rowsOfAServerThatWentAwayAreKeptAndUploadedOnce) {
    const Bytes first = codeImage(4096, 62);
    const Bytes second = codeImage(3 * 4096, 63);
    writeBytes(path("first.bin"), first);
    writeBytes(path("second.bin"), second);
    std::ofstream(path("job.json")) << R"({"steps": [{"program-mcu": "first.bin", "sha256": ")" << sha256Of(first)
                                    << R"("}, {"program-boot": "second.bin", "sha256": ")" << sha256Of(second) << "\"}]}";
    // 300 ms per 4096 bytes written: the second step lasts about a second.
    Programmer& a = startProgrammer("outa", {"--flash-program-us", "300000"});
    Programmer& b = startProgrammer("outb", {"--flash-program-us", "300000"});
    Child run;
    ASSERT_TRUE(run.start(QV_CLI_PROGRAM, {"run", path("job.json"), "-d", "all", "--record", url_, "--json"}, env_,
                          path("out.out"), path("out.err"), base_));
    // The first step's rows reach the server (its result events come just before them); then the
    // server goes away under the second step.
    for (int i = 0; i < 400 && quietScalar(QStringLiteral("SELECT count(*) FROM records")) != QLatin1String("2"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(eventsOf(jsonLines(run.out()), "result").size(), 2u) << "the second step had ended already";
    ASSERT_TRUE(server_->stop());
    EXPECT_EQ(run.wait(), 0) << run.err() << "the boards' own exit code";
    const auto events = checkedEvents(run.out());
    const auto spooled = eventsOf(events, "spooled");
    ASSERT_EQ(spooled.size(), 1u) << run.out();
    EXPECT_EQ(spooled[0].value(QStringLiteral("rows")).toInt(), 2);
    stop(a);
    stop(b);

    // A server that cannot be reached at the start: the run goes on, its rows wait too.
    Programmer& c = startProgrammer("outc");
    const Run offline = qv310({"run", path("job.json"), "--record", url_});
    EXPECT_EQ(offline.code, 0) << offline.err;
    EXPECT_NE(offline.err.find("2 row(s) were kept locally"), std::string::npos) << offline.err;
    // A job with a serial needs the server: nothing is sent.
    std::ofstream(path("serial.json")) << serialJob(first, 1, 9, "first.bin");
    const size_t sentBefore = requests(c).size();
    EXPECT_EQ(qv310({"run", path("serial.json"), "--record", url_}).code, 4);
    stop(c);
    EXPECT_EQ(requests(c).size(), sentBefore);

    QString error;
    ASSERT_TRUE(server_->startServer(error)) << error.toStdString();
    const Run sync = qv310({"records", "sync", url_, "--json"});
    EXPECT_EQ(sync.code, 0) << sync.out;
    const auto synced = eventsOf(checkedEvents(sync.out), "synced");
    ASSERT_EQ(synced.size(), 1u);
    EXPECT_EQ(synced[0].value(QStringLiteral("rows")).toInt(), 4);
    const Run again = qv310({"records", "sync", url_, "--json"});
    EXPECT_EQ(eventsOf(checkedEvents(again.out), "synced")[0].value(QStringLiteral("rows")).toInt(), 0);
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM records")), QStringLiteral("6"));
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(DISTINCT uuid) FROM records")), QStringLiteral("6"));
}

// The server counts the yield as a file does: a gang of two under one lot label, one failing, is
// 50 % of 2 boards, the same figure qv310 records yield gives for a file with the same runs.
TEST_F(Server, aGangUnderOneTagCountsEveryBoardInTheYield) {
    const Bytes mcu = codeImage(4096, 66);
    writeBytes(path("mcu.bin"), mcu);
    std::ofstream(path("job.json")) << R"({"steps": [{"program-mcu": "mcu.bin", "sha256": ")" << sha256Of(mcu)
                                    << "\"}]}";
    for (const std::string& target : {url_, path("line.db")}) {
        SCOPED_TRACE(target);
        Programmer& a = startProgrammer("ya", {"--board-id", "0xA"});
        Programmer& b =
            startProgrammer("yb", {"--board-id", "0xB", "--fault", "crc-status-mismatch", "--fault-at", "1"});
        const Run gang = qv310({"run", path("job.json"), "-d", "all", "--tag", "LOT-7", "--record", target});
        EXPECT_EQ(gang.code, 1) << gang.err;
        stop(a);
        stop(b);
        programmers_.clear();
        const Run json = qv310({"records", "yield", target, "--json"});
        ASSERT_EQ(json.code, 0) << json.out;
        const auto yields = eventsOf(checkedEvents(json.out), "yield");
        ASSERT_EQ(yields.size(), 1u) << json.out;
        EXPECT_EQ(yields[0].value(QStringLiteral("boards")).toInt(), 2);
        EXPECT_EQ(yields[0].value(QStringLiteral("first_pass")).toInt(), 1);
        EXPECT_EQ(yields[0].value(QStringLiteral("yield_percent")).toDouble(), 50.0);
        EXPECT_EQ(yields[0].value(QStringLiteral("reasons")).toArray().size(), 1);
    }
}

// A draw that fails (the range has too few numbers left) says so without the password of the
// server's URL, in human output and in the JSON error event, at a run and at a station; so do the
// records commands when the server refuses.
TEST_F(Server, aFailingDrawPrintsNoPassword) {
    const Bytes mcu = codeImage(4096, 67);
    writeBytes(path("mcu.bin"), mcu);
    std::ofstream(path("job.json")) << serialJob(mcu, 5, 5);
    std::ofstream(path("labels.txt")) << "L-1\n";
    Programmer& a = startProgrammer("pwa");
    Programmer& b = startProgrammer("pwb");
    const std::string withKey = url_ + "&sslpassword=key-secret";
    std::vector<Run> runs;
    for (const std::string& target : {url_, withKey}) {
        runs.push_back(qv310({"run", path("job.json"), "-d", "all", "--record", target}));
        runs.push_back(qv310({"run", path("job.json"), "-d", "all", "--record", target, "--json"}));
        Child station;
        ASSERT_TRUE(station.start(QV_CLI_PROGRAM, {"station", path("job.json"), "-d", "all", "--record", target}, env_,
                                  path("pwst.out"), path("pwst.err"), base_, path("labels.txt")));
        runs.push_back({station.wait(), station.out(), station.err()});
    }
    for (const Run& r : runs) {
        EXPECT_EQ(r.code, 4) << r.err << r.out;
        EXPECT_NE((r.err + r.out).find("board(s) need one"), std::string::npos) << r.err << r.out;
        EXPECT_NE((r.err + r.out).find("station:***@"), std::string::npos) << r.err << r.out;
        EXPECT_EQ((r.err + r.out).find("secret"), std::string::npos) << r.err << r.out;
    }
    for (const auto& json : {runs[1], runs[4]}) {
        bool said = false;
        for (const QJsonObject& e : eventsOf(checkedEvents(json.out), "error"))
            said = said || e.value(QStringLiteral("message")).toString().contains(QStringLiteral("need one"));
        EXPECT_TRUE(said) << json.out;
    }
    stop(a);
    stop(b);
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM serials")), QStringLiteral("0"));
    // The records commands against a server that refuses the password.
    const std::string wrong = server_->url(QStringLiteral("station"), QStringLiteral("wrong-secret"));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"records", "export", wrong, "--csv"}, {"records", "yield", wrong, "--json"},
          {"records", "sync", wrong}, {"serials", wrong}}) {
        const Run r = qv310(args);
        EXPECT_EQ(r.code, 4) << args[1] << ": " << r.err << r.out;
        EXPECT_EQ((r.err + r.out).find("secret"), std::string::npos) << args[1] << ": " << r.err << r.out;
    }
}

// A line's server made by an older qv310 (schema 3) is brought up to date by the first station
// that connects, keeping its rows; its pools go on from their lowest free number, and the yield
// counts its rows by their tag as before.
TEST_F(Server, aServerOfAnOlderQv310IsBroughtUpToDateAndItsPoolsGoOn) {
    QString error;
    const char* const schema3[] = {
        "CREATE TABLE qv310_schema (application_id BIGINT NOT NULL, version INTEGER NOT NULL)",
        "INSERT INTO qv310_schema VALUES (1364603697, 3)",
        "CREATE TABLE records ("
        " id BIGSERIAL PRIMARY KEY, utc TEXT NOT NULL, host TEXT NOT NULL, device TEXT NOT NULL,"
        " board_id BIGINT, board_mcu BIGINT, app_version BIGINT, boot_version BIGINT, target_type BIGINT,"
        " target_flash_id BIGINT, operation TEXT NOT NULL, file TEXT NOT NULL, size BIGINT NOT NULL,"
        " crc32 BIGINT NOT NULL, sha256 TEXT NOT NULL, address BIGINT, result BIGINT, exit_code BIGINT NOT NULL,"
        " duration_ms BIGINT NOT NULL, blocks_written BIGINT, blocks_skipped BIGINT, error TEXT, log TEXT NOT NULL,"
        " tool_version TEXT, target_started BIGINT, tag TEXT, serial TEXT, source_sha256 TEXT, job_sha256 TEXT,"
        " uuid TEXT UNIQUE, run_uuid TEXT)",
        "CREATE INDEX records_job ON records (job_sha256)",
        "CREATE TABLE serial_pools (id BIGSERIAL PRIMARY KEY, kind TEXT NOT NULL, first BIGINT NOT NULL,"
        " last BIGINT NOT NULL, UNIQUE (kind, first, last))",
        "CREATE TABLE serials (kind TEXT NOT NULL, value BIGINT NOT NULL, pool BIGINT NOT NULL,"
        " state TEXT NOT NULL CHECK (state IN ('taken', 'used', 'spoiled')), taken_utc TEXT NOT NULL,"
        " host TEXT NOT NULL, pid BIGINT NOT NULL, device TEXT, tag TEXT, finished_utc TEXT,"
        " PRIMARY KEY (kind, value))",
        "ALTER TABLE qv310_schema OWNER TO station",
        "ALTER TABLE records OWNER TO station",
        "ALTER TABLE serial_pools OWNER TO station",
        "ALTER TABLE serials OWNER TO station",
        // Numbers 100-109 but 103 used; two runs of one old board under its tag, failed then passed.
        "INSERT INTO serial_pools (kind, first, last) VALUES ('number', 100, 199)",
        "INSERT INTO serials SELECT 'number', v, 1, 'used', 'then', 'pc1', 1 FROM generate_series(100, 109) v"
        " WHERE v <> 103",
        "INSERT INTO records (utc, host, device, operation, file, size, crc32, sha256, exit_code, duration_ms, log,"
        " tag, job_sha256, uuid, run_uuid) VALUES ('then', 'pc1', 'usb:1', 'program-mcu', '/a', 1, 0, 'x', 1, 1, '',"
        " 'SN-1', repeat('a', 64), 'u1', 'r1'), ('then', 'pc1', 'usb:1', 'program-mcu', '/a', 1, 0, 'x', 0, 1, '',"
        " 'SN-1', repeat('a', 64), 'u2', 'r2')",
    };
    for (const char* statement : schema3)
        ASSERT_TRUE(server_->sql(QString::fromLatin1(statement), error, nullptr, QStringLiteral("line")))
            << statement << ": " << error.toStdString();
    const Bytes mcu = codeImage(4096, 68);
    writeBytes(path("mcu.bin"), mcu);
    std::ofstream(path("job.json")) << serialJob(mcu, 100, 199);
    Programmer& p = startProgrammer("old");
    for (int i = 0; i < 2; ++i) {
        const Run r = qv310({"run", path("job.json"), "--record", url_});
        EXPECT_EQ(r.code, 0) << r.err;
    }
    stop(p);
    EXPECT_EQ(scalar(QStringLiteral("SELECT version FROM qv310_schema")), QStringLiteral("4"));
    EXPECT_EQ(scalar(QStringLiteral("SELECT string_agg(serial, ',' ORDER BY id) FROM records WHERE serial IS NOT NULL")),
              QStringLiteral("103,110"));
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM records")), QStringLiteral("4"));
    const Run yield = qv310({"records", "yield", url_, "--json"});
    std::map<std::string, std::pair<int, int>> figures;
    for (const QJsonObject& y : eventsOf(checkedEvents(yield.out), "yield"))
        figures[y.value(QStringLiteral("job")).toString().toStdString()] = {
            y.value(QStringLiteral("boards")).toInt(), y.value(QStringLiteral("first_pass")).toInt()};
    EXPECT_EQ(figures.size(), 2u) << yield.out;
    EXPECT_EQ(figures[std::string(64, 'a')], std::make_pair(1, 0)) << "the old board, retested under its tag";
}

TEST_F(Server, aServerThatRefusesStopsTheRunBeforeAnythingIsSent) {
    const Bytes mcu = codeImage(4096, 64);
    writeBytes(path("mcu.bin"), mcu);
    Programmer& p = startProgrammer("refused");
    struct Case {
        const char* name;
        std::string url;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"wrong password", server_->url(QStringLiteral("station"), QStringLiteral("wrong")), "password authentication failed"},
        {"no such database", server_->url(QStringLiteral("station"), QStringLiteral("secret"), QStringLiteral("nowhere")),
         "does not exist"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Run r = qv310({"program-mcu", path("mcu.bin"), "--record", c.url});
        EXPECT_EQ(r.code, 4) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("secret"), std::string::npos) << "the password is never shown";
    }
    stop(p);
    EXPECT_TRUE(requests(p).empty());
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(base_ + "/data/qv310-isp/spool.db")))
        << "a refusal is no outage: nothing is kept locally";
}

// A server that stops answering (its processes frozen, its connections open) never holds the line:
// no statement waits longer than the answer limit (shortened here from 10 s), the board keeps its
// own exit code and the row the server did not take waits in the spool; Ctrl-C while the server
// is silent still ends the run, with its row.
TEST_F(Server, aServerThatStopsAnsweringNeverHoldsTheLine) {
    env_.insert(QStringLiteral("QV310_RECORD_SERVER_TIMEOUT_MS"), QStringLiteral("1500"));
    writeTwoStepJob();
    struct Case {
        const char* name;
        bool interrupt;
        int code;
    };
    int onServer = 0;
    for (const Case& c : {Case{"left to end", false, 0}, Case{"Ctrl-C while the server is silent", true, 130}}) {
        SCOPED_TRACE(c.name);
        Programmer& p = startProgrammer(std::string("frozen") + (c.interrupt ? "i" : "e"), {"--flash-program-us", "300000"});
        Child run;
        ASSERT_TRUE(run.start(QV_CLI_PROGRAM, {"run", path("job.json"), "-d", p.devicePath, "--record", url_, "--json"},
                              env_, path(std::string("frozen-") + c.name + ".out"), path("frozen.err"), base_));
        // The first step's row reaches the server (after the rows an earlier case left in the
        // spool); the server freezes under the second step.
        ASSERT_TRUE(serverSays(QStringLiteral("SELECT count(*) FROM records"), QString::number(onServer + 1)));
        ASSERT_EQ(eventsOf(jsonLines(run.out()), "result").size(), 1u) << "the second step had ended already";
        ASSERT_TRUE(server_->freeze());
        QElapsedTimer clock;
        clock.start();
        if (c.interrupt)
            run.interrupt();
        const int code = run.wait(30000);
        const qint64 took = clock.elapsed();
        ASSERT_TRUE(server_->thaw());
        EXPECT_EQ(code, c.code) << run.err();
        // The rest of the second step (at most two seconds) and one answer limit, with room for a
        // loaded machine; a run that waited on the server would have been killed at 30 s.
        EXPECT_LT(took, 10000);
        const auto spooled = eventsOf(checkedEvents(run.out()), "spooled");
        ASSERT_EQ(spooled.size(), 1u) << run.out();
        EXPECT_EQ(spooled[0].value(QStringLiteral("rows")).toInt(), 1);
        stop(p);
        onServer += 2;
    }
    const Run sync = qv310({"records", "sync", url_, "--json"});
    ASSERT_EQ(sync.code, 0) << sync.out;
    EXPECT_EQ(eventsOf(checkedEvents(sync.out), "synced")[0].value(QStringLiteral("rows")).toInt(), 1);
    EXPECT_EQ(scalar(QStringLiteral("SELECT string_agg(exit_code::text, ',' ORDER BY exit_code) FROM records")),
              QStringLiteral("0,0,0,130"));
}

// A station whose server went away (a restart) finds it again with the next board: the board's
// number is drawn from the server, its row goes there, the row kept while the server was away is
// uploaded, and the log says so.
TEST_F(Server, aStationFindsItsServerAgainAfterARestart) {
    const Bytes mcu = codeImage(6 * 4096, 65);  // about two seconds to program
    writeBytes(path("mcu.bin"), mcu);
    std::ofstream(path("job.json")) << serialJob(mcu, 500, 599);
    Programmer& p = startProgrammer("restart", {"--flash-program-us", "300000"});
    ASSERT_EQ(::mkfifo(path("labels").c_str(), 0600), 0);
    const int labels = ::open(path("labels").c_str(), O_RDWR);  // never blocks, keeps the pipe open
    ASSERT_GE(labels, 0);
    const auto scan = [&](const char* line) { ASSERT_EQ(::write(labels, line, std::strlen(line)), ssize_t(std::strlen(line))); };
    Child station;
    ASSERT_TRUE(station.start(QV_CLI_PROGRAM, {"station", path("job.json"), "-d", p.devicePath, "--record", url_, "--json"},
                              env_, path("station.out"), path("station.err"), base_, path("labels")));
    const auto results = [&] { return eventsOf(jsonLines(station.out()), "result").size(); };
    const auto waitForResults = [&](size_t n) {
        for (int i = 0; i < 1500 && results() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return results() == n;
    };
    scan("BOARD-A\n");
    // The number is drawn; the server goes away while the board is programmed.
    ASSERT_TRUE(serverSays(QStringLiteral("SELECT count(*) FROM serials"), QStringLiteral("1")));
    ASSERT_TRUE(server_->stop());
    ASSERT_TRUE(waitForResults(1)) << station.err();
    QString error;
    ASSERT_TRUE(server_->startServer(error)) << error.toStdString();
    scan("BOARD-B\n");
    ASSERT_TRUE(waitForResults(2)) << station.out();
    scan("q\n");
    EXPECT_EQ(station.wait(30000), 0) << station.err();
    ::close(labels);
    stop(p);
    const auto events = checkedEvents(station.out());
    for (const QJsonObject& r : eventsOf(events, "result"))
        EXPECT_EQ(r.value(QStringLiteral("exit_code")).toInt(), 0);
    EXPECT_TRUE(logLines(events).filter(QStringLiteral("reconnected to the record server")).size() == 1)
        << station.out();
    EXPECT_EQ(scalar(QStringLiteral("SELECT string_agg(tag || '=' || serial, ',' ORDER BY tag) FROM records")),
              QStringLiteral("BOARD-A=500,BOARD-B=501"));
    EXPECT_EQ(scalar(QStringLiteral("SELECT string_agg(value || ':' || state, ',' ORDER BY value) FROM serials")),
              QStringLiteral("500:used,501:used"));
}

// Spooled rows belong to a server, not to the way its URL was written: every spelling of one
// server gives the same key, other servers other keys, and no key holds a password.
TEST(ServerIdentity, everySpellingOfOneServerIsOneDestination) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString d = dir.path();
    const QString link = d + QStringLiteral("-link");
    ASSERT_TRUE(QFile::link(d, link));
    const QString encoded = QString::fromLatin1(QUrl::toPercentEncoding(d));
    const QByteArray pgport = qgetenv("PGPORT");
    struct Case {
        QString a;
        QString b;
        bool same;
        const char* envPort;  // PGPORT while both are read, or null
    };
    const QString base = QStringLiteral("postgresql://station:secret@/line?host=") + d;
    const std::vector<Case> cases = {
        {base, base + QStringLiteral("&port=5432"), true, nullptr},
        {base + QStringLiteral("&port=5432"), QStringLiteral("postgresql://station@/line?port=5432&host=") + d, true, nullptr},
        {base, base + QStringLiteral("/"), true, nullptr},
        {base, base + QStringLiteral("/./"), true, nullptr},
        {base, QStringLiteral("postgresql://station@/line?host=") + link, true, nullptr},
        {base, QStringLiteral("postgres://station@/line?host=") + d, true, nullptr},
        {base, QStringLiteral("postgresql://station@") + encoded + QStringLiteral("/line"), true, nullptr},
        {base, QStringLiteral("postgresql:///line?user=station&password=hidden&host=") + d, true, nullptr},
        {base, base + QStringLiteral("&port=6000"), true, "6000"},
        {QStringLiteral("postgresql://station@DB.example/line"), QStringLiteral("postgresql://station@db.example:5432/line"),
         true, nullptr},
        {base, base + QStringLiteral("&port=5433"), false, nullptr},
        {base, base + QStringLiteral("&port=5432"), false, "6000"},
        {base, QStringLiteral("postgresql://station@/other?host=") + d, false, nullptr},
        {base, QStringLiteral("postgresql://admin@/line?host=") + d, false, nullptr},
        {QStringLiteral("postgresql://station@a.example/line"), QStringLiteral("postgresql://station@b.example/line"), false,
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.a + QStringLiteral("  |  ") + c.b).toStdString());
        if (c.envPort)
            qputenv("PGPORT", c.envPort);
        else
            qunsetenv("PGPORT");
        const QString a = qv::engine::spoolDestination(c.a);
        const QString b = qv::engine::spoolDestination(c.b);
        EXPECT_EQ(a == b, c.same) << a.toStdString() << "  |  " << b.toStdString();
        EXPECT_FALSE(a.contains(QLatin1String("secret")) || b.contains(QLatin1String("hidden")));
    }
    if (pgport.isNull())
        qunsetenv("PGPORT");
    else
        qputenv("PGPORT", pgport);
    QFile::remove(link);
}

// Rows kept under one spelling are sent by "records sync" under another; rows kept under the key
// an earlier qv310 wrote are found too, and the sync says how many rows stay for other servers.
TEST_F(Server, syncFindsTheRowsOfItsServerWhateverTheSpelling) {
    const Bytes mcu = codeImage(4096, 66);
    writeBytes(path("mcu.bin"), mcu);
    Programmer& p = startProgrammer("spelling");
    // The server's port comes from the environment in every spelling below that has none.
    env_.insert(QStringLiteral("PGPORT"), QString::number(server_->port()));
    const QString dir = server_->folder();
    const std::string noPort = (QStringLiteral("postgresql://station:secret@/line?host=") + dir).toStdString();
    const std::string oldStyle = (QStringLiteral("postgresql://station:secret@/line?host=") + dir + QStringLiteral("/")).toStdString();
    const std::string otherDatabase = (QStringLiteral("postgresql://station:secret@/other?host=") + dir).toStdString();
    ASSERT_TRUE(server_->stop());
    for (const std::string& url : {noPort, oldStyle, otherDatabase}) {
        const Run r = qv310({"program-mcu", path("mcu.bin"), "--record", url});
        ASSERT_EQ(r.code, 0) << r.err;
        ASSERT_NE(r.err.find("1 row(s) were kept locally"), std::string::npos) << r.err;
    }
    stop(p);
    // One row as an earlier qv310 kept it: under the URI's parts as given (no port); one under a
    // key that cannot be read, which stays as it is.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path("data/qv310-isp/spool.db").c_str(), &db), SQLITE_OK);
    const QByteArray earlier = (QStringLiteral("postgresql://station@") + dir + QStringLiteral(":/line")).toUtf8();
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "UPDATE spooled_rows SET destination = ?1 WHERE rowid = (SELECT min(rowid) FROM spooled_rows "
                                 "WHERE destination NOT LIKE '%/other')",
                                 -1, &st, nullptr),
              SQLITE_OK);
    sqlite3_bind_text(st, 1, earlier.constData(), earlier.size(), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
    sqlite3_finalize(st);
    ASSERT_EQ(sqlite3_exec(db,
                           "INSERT INTO spooled_rows SELECT 'unreadable-' || uuid, 'postgresql://station:***@[', row, serials"
                           " FROM spooled_rows WHERE destination LIKE '%/other'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    QString error;
    ASSERT_TRUE(server_->startServer(error)) << error.toStdString();
    const Run sync = qv310({"records", "sync", url_, "--json"});
    ASSERT_EQ(sync.code, 0) << sync.out << sync.err;
    const auto synced = eventsOf(checkedEvents(sync.out), "synced");
    ASSERT_EQ(synced.size(), 1u);
    EXPECT_EQ(synced[0].value(QStringLiteral("rows")).toInt(), 2);
    EXPECT_EQ(synced[0].value(QStringLiteral("other_servers_rows")).toInt(), 2);
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM records")), QStringLiteral("2"));
    const Run human = qv310({"records", "sync", url_});
    EXPECT_NE(human.out.find("0 row(s) uploaded"), std::string::npos) << human.out;
    EXPECT_NE(human.out.find("2 row(s) stay there for other servers"), std::string::npos) << human.out;
}

// Nothing is programmed without a place for its row: when the spool cannot be opened the run is
// refused before the first frame, whether the server answers now or not (it may go away during
// the run).
TEST_F(Server, aRunWhoseRowsCouldHaveNoPlaceIsRefusedBeforeAnythingIsSent) {
    const Bytes mcu = codeImage(4096, 67);
    writeBytes(path("mcu.bin"), mcu);
    Programmer& p = startProgrammer("noplace");
    std::ofstream(path("a-file")) << "not a folder";
    env_.insert(QStringLiteral("XDG_DATA_HOME"), QString::fromStdString(path("a-file")));
    for (const bool away : {false, true}) {
        SCOPED_TRACE(away ? "server away" : "server up");
        if (away) {
            ASSERT_TRUE(server_->stop());
        }
        const Run r = qv310({"program-mcu", path("mcu.bin"), "--record", url_});
        EXPECT_EQ(r.code, 4) << r.err;
        EXPECT_NE(r.err.find("spool"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("secret"), std::string::npos);
    }
    stop(p);
    EXPECT_TRUE(requests(p).empty());
}

// A server that answers but will not store a row during a run (a read-only standby here) does not
// lose it: the row waits in the spool, the board keeps its exit code, and it is uploaded once the
// server takes rows again.
TEST_F(Server, rowsTheServerRefusesDuringARunWaitInTheSpool) {
    const Bytes mcu = codeImage(4096, 68);
    writeBytes(path("mcu.bin"), mcu);
    Programmer& p = startProgrammer("readonly");
    ASSERT_EQ(qv310({"program-mcu", path("mcu.bin"), "--record", url_}).code, 0);  // the tables are made
    QString error;
    ASSERT_TRUE(server_->sql(QStringLiteral("ALTER DATABASE line SET default_transaction_read_only = on"), error))
        << error.toStdString();
    const Run r = qv310({"program-mcu", path("mcu.bin"), "--record", url_, "--json"});
    EXPECT_EQ(r.code, 0) << r.out;
    const auto spooled = eventsOf(checkedEvents(r.out), "spooled");
    ASSERT_EQ(spooled.size(), 1u) << r.out;
    EXPECT_EQ(spooled[0].value(QStringLiteral("rows")).toInt(), 1);
    stop(p);
    ASSERT_TRUE(server_->sql(QStringLiteral("ALTER DATABASE line RESET default_transaction_read_only"), error))
        << error.toStdString();
    const Run sync = qv310({"records", "sync", url_, "--json"});
    ASSERT_EQ(sync.code, 0) << sync.out;
    EXPECT_EQ(eventsOf(checkedEvents(sync.out), "synced")[0].value(QStringLiteral("rows")).toInt(), 1);
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM records")), QStringLiteral("2"));
}

}  // namespace
