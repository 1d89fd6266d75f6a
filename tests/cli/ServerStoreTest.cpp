// One record for a whole line: qv310 against a PostgreSQL server of the test's own. Rows arrive
// with every column, stations drawing serials at once never share a number, a server that goes
// away leaves the rows in the local spool until they are uploaded once, and a server that refuses
// the login or has no such database stops the run before anything is sent.

#include "CliFixture.h"

#include "support/PostgresServer.h"

#include <set>

#include <sys/stat.h>

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
    EXPECT_EQ(scalar(QStringLiteral("SELECT version FROM qv310_schema")), QStringLiteral("3"));
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

}  // namespace
