// Every board its own number: patched into the board's copy of the image, taken from a pool in
// the record database that never gives a number twice (gangs, several processes, failed boards,
// killed processes), labels on every row, and the station loop fed by a scanner.

#include "CliFixture.h"

#include "engine/Events.h"
#include "protocol/Crc32.h"

#include <QCryptographicHash>

#include <sqlite3.h>

#include <random>
#include <set>

using namespace clitest;

namespace {

constexpr uint32_t kSerialOffset = 0x100;

std::string serialJob(const std::string& image, const Bytes& bytes, const std::string& serial,
                      const std::string& extra = {}) {
    return R"({"steps": [{"program-mcu": ")" + image + R"(", "sha256": ")" + sha256Of(bytes) + R"(", "serial": )" +
           serial + "}]" + extra + "}";
}

std::string u32Serial(uint64_t first, uint64_t last) {
    return R"({"offset": "0x100", "format": "u32le", "first": )" + std::to_string(first) + R"(, "last": )" +
           std::to_string(last) + "}";
}

// The number a data frame carried at the serial's place, when the frame wrote the first block of
// MCU code (address 0xA000).
[[maybe_unused]] std::optional<uint32_t> serialSent(const Bytes& frame) {
    if (frame.size() < 10 + kSerialOffset + 4 || frame[2] != 'F')
        return std::nullopt;
    const uint32_t address = uint32_t(frame[6]) << 24 | uint32_t(frame[7]) << 16 | uint32_t(frame[8]) << 8 | frame[9];
    if (address != 0xA000)
        return std::nullopt;
    const uint8_t* p = frame.data() + 10 + kSerialOffset;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

class Serials : public Cli {
  protected:
    // The number at the serial's place in a programmer's code flash (it must have been stopped).
    Bytes codeAt(const std::string& name, uint32_t address, size_t n) {
        const std::string code = readFile(path(name + ".code"));
        EXPECT_EQ(code.size(), 0x80000u);
        if (code.size() < address + n)
            return {};
        return Bytes(code.begin() + address, code.begin() + address + n);
    }
    std::map<std::string, QJsonObject> rowsBySerial(const std::string& db) {
        std::map<std::string, QJsonObject> rows;
        for (const QJsonObject& row : jsonLines(qv310({"records", "export", db, "--jsonl"}).out))
            rows[row.value(QStringLiteral("serial")).toString().toStdString()] = row;
        return rows;
    }
    std::map<std::string, int64_t> poolOf(const std::string& db) {
        const Run r = qv310({"serials", db, "--json"});
        const auto pools = eventsOf(checkedEvents(r.out), "pool");
        EXPECT_EQ(pools.size(), 1u) << r.out;
        if (pools.empty())
            return {};
        const QJsonObject p = pools[0];
        return {{"used", p.value(QStringLiteral("used")).toInt()},
                {"spoiled", p.value(QStringLiteral("spoiled")).toInt()},
                {"taken", p.value(QStringLiteral("taken")).toInt()},
                {"next", p.value(QStringLiteral("next")).isNull()
                             ? -1
                             : p.value(QStringLiteral("next")).toString().toLongLong()}};
    }
};

TEST_F(Serials, eachFormatLandsOnTheBoardAsItsBytes) {
    const Bytes mcu = codeImage(3 * 4096, 40);
    writeBytes(path("mcu.bin"), mcu);
    struct Case {
        const char* format;
        std::string first;
        std::string last;
        Bytes bytes;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"u32le", "305419896", "305419999", {0x78, 0x56, 0x34, 0x12}, "305419896"},
        {"u32be", "305419896", "305419999", {0x12, 0x34, 0x56, 0x78}, "305419896"},
        {"u64le", "\"4294967297\"", "\"4294967999\"", {0x01, 0, 0, 0, 0x01, 0, 0, 0}, "4294967297"},
        {"ascii:6", "42", "999999", {'0', '0', '0', '0', '4', '2'}, "42"},
        {"mac", "\"02:00:00:00:00:10\"", "\"02:00:00:00:0F:FF\"", {0x02, 0, 0, 0, 0, 0x10}, "02:00:00:00:00:10"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        const std::string name = "format" + std::to_string(n++);
        const std::string db = path(name + ".db");
        std::ofstream(path(name + ".json")) << serialJob("mcu.bin", mcu,
                                                         R"({"offset": "0x100", "format": ")" + std::string(c.format) +
                                                             R"(", "first": )" + c.first + R"(, "last": )" + c.last +
                                                             "}");
        Programmer& p = startProgrammer(name);
        const Run r = qv310({"run", path(name + ".json"), "--record", db, "--json"});
        EXPECT_EQ(r.code, 0) << r.out;
        const auto results = eventsOf(checkedEvents(r.out), "result");
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].value(QStringLiteral("serial")).toString().toStdString(), c.text);
        stop(p);
        EXPECT_EQ(codeAt(name, 0xA000 + kSerialOffset, c.bytes.size()), c.bytes);
        // Only the serial's bytes differ from the file.
        Bytes expected = mcu;
        std::copy(c.bytes.begin(), c.bytes.end(), expected.begin() + kSerialOffset);
        EXPECT_EQ(codeAt(name, 0xA000, mcu.size()), expected);

        // The row: the number as written, the digest and CRC of the bytes written, and the file's.
        const auto rows = rowsBySerial(db);
        ASSERT_EQ(rows.count(c.text), 1u);
        const QJsonObject row = rows.at(c.text);
        EXPECT_EQ(row.value(QStringLiteral("sha256")).toString().toStdString(), sha256Of(expected));
        EXPECT_EQ(row.value(QStringLiteral("source_sha256")).toString().toStdString(), sha256Of(mcu));
        EXPECT_EQ(row.value(QStringLiteral("crc32")).toString(),
                  qv::engine::hex8(qv::crc32zero(expected.data(), expected.size())));
    }
}

TEST_F(Serials, aGangGetsOneNumberPerBoardAndAnExhaustedRangeSendsNothing) {
    const Bytes mcu = codeImage(2 * 4096, 41);
    writeBytes(path("mcu.bin"), mcu);
    const std::string db = path("gang.db");
    std::ofstream(path("job.json")) << serialJob("mcu.bin", mcu, u32Serial(500, 504));
    Programmer& a = startProgrammer("sa", {"--board-id", "0x1"});
    Programmer& b = startProgrammer("sb", {"--board-id", "0x2"});
    Programmer& c = startProgrammer("sc", {"--board-id", "0x3"});
    const Run r = qv310({"run", path("job.json"), "-d", "all", "--record", db, "--tag", "LOT-7"});
    EXPECT_EQ(r.code, 0) << r.err;
    // Two numbers are left for three boards: none of them is sent anything.
    const size_t sentBefore = requests(a).size() + requests(b).size() + requests(c).size();
    const Run exhausted = qv310({"run", path("job.json"), "-d", "all", "--record", db});
    EXPECT_EQ(exhausted.code, 4) << exhausted.err;
    EXPECT_NE(exhausted.err.find("has 2 number(s) left, 3 board(s) need one"), std::string::npos) << exhausted.err;
    for (Programmer* p : {&a, &b, &c})
        stop(*p);
    EXPECT_EQ(requests(a).size() + requests(b).size() + requests(c).size(), sentBefore);

    const auto rows = rowsBySerial(db);
    ASSERT_EQ(rows.size(), 3u);
    std::set<std::string> boards;
    for (const auto& [serial, row] : rows) {
        EXPECT_EQ(row.value(QStringLiteral("tag")).toString(), QStringLiteral("LOT-7"));
        const std::string device = row.value(QStringLiteral("device")).toString().toStdString();
        boards.insert(device);
        // Each board's memory holds the number of its own row.
        const Programmer* owner = device == a.devicePath ? &a : device == b.devicePath ? &b : &c;
        const uint32_t value = uint32_t(std::stoul(serial));
        EXPECT_EQ(codeAt(owner->name, 0xA000 + kSerialOffset, 4),
                  (Bytes{uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)}));
    }
    EXPECT_EQ(boards.size(), 3u);
    EXPECT_EQ(rows.begin()->first, "500");
    EXPECT_EQ(poolOf(db), (std::map<std::string, int64_t>{{"used", 3}, {"spoiled", 0}, {"taken", 0}, {"next", 503}}));
}

TEST_F(Serials, aFailedBoardSpoilsItsNumberAndSkipUnchangedRewritesTheSerialBlock) {
    const Bytes mcu = codeImage(3 * 4096, 42);
    writeBytes(path("mcu.bin"), mcu);
    const std::string db = path("spoil.db");
    std::ofstream(path("job.json")) << serialJob("mcu.bin", mcu, u32Serial(70, 79), R"(, "skip-unchanged": true)");
    std::ofstream(path("whole.json")) << serialJob("mcu.bin", mcu, u32Serial(70, 79));

    // The final CRC check fails: the board may carry 70, which is never given again.
    Programmer& failing = startProgrammer("failing", {"--fault", "crc-status-mismatch", "--fault-at", "1"});
    EXPECT_EQ(qv310({"run", path("whole.json"), "--record", db}).code, 1);
    stop(failing);
    EXPECT_EQ(poolOf(db), (std::map<std::string, int64_t>{{"used", 0}, {"spoiled", 1}, {"taken", 0}, {"next", 71}}));

    // The same board twice with skip-unchanged: the second number goes into the block that holds
    // the first one, although the rest of the image is already there.
    Programmer& board = startProgrammer("again");
    const Run first = qv310({"run", path("job.json"), "--record", db, "--json"});
    const Run second = qv310({"run", path("job.json"), "--record", db, "--json"});
    EXPECT_EQ(first.code, 0) << first.out;
    EXPECT_EQ(second.code, 0) << second.out;
    const auto results = eventsOf(checkedEvents(second.out), "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].value(QStringLiteral("serial")).toString(), QStringLiteral("72"));
    EXPECT_EQ(results[0].value(QStringLiteral("blocks_written")).toInt(), 1) << "the block with the serial";
    stop(board);
    EXPECT_EQ(codeAt("again", 0xA000 + kSerialOffset, 4), (Bytes{72, 0, 0, 0}));
    const auto rows = rowsBySerial(db);
    EXPECT_EQ(rows.count("70"), 1u) << "the spoiled number appears once, on the failed board's row";
}

// Several qv310 processes, each with a gang, drawing from one database at once.
TEST_F(Serials, processesSharingADatabaseNeverGetTheSameNumber) {
    const Bytes mcu = codeImage(4096, 43);
    writeBytes(path("mcu.bin"), mcu);
    const std::string db = path("shared.db");
    std::ofstream(path("job.json")) << serialJob("mcu.bin", mcu, u32Serial(1, 100000));
    std::ofstream(path("labels.txt")) << "L1\nL2\nL3\nL4\n";
    std::vector<std::unique_ptr<Child>> stations;
    for (int s = 0; s < 3; ++s) {
        Programmer& x = startProgrammer("p" + std::to_string(s) + "x");
        Programmer& y = startProgrammer("p" + std::to_string(s) + "y");
        auto child = std::make_unique<Child>();
        ASSERT_TRUE(child->start(QV_CLI_PROGRAM,
                                 {"station", path("job.json"), "-d", x.devicePath, "-d", y.devicePath, "--record", db,
                                  "-q"},
                                 env_, path("st" + std::to_string(s) + ".out"), path("st" + std::to_string(s) + ".err"),
                                 base_, path("labels.txt")));
        stations.push_back(std::move(child));
    }
    for (auto& s : stations)
        EXPECT_EQ(s->wait(), 0) << s->err();
    const auto rows = rowsBySerial(db);
    EXPECT_EQ(rows.size(), 24u) << "3 processes x 4 labels x 2 boards, each its own number";
    EXPECT_EQ(poolOf(db)["used"], 24);
}

// kill -9 anywhere: afterwards no number was sent to two boards, and every number sent is used,
// spoiled or still taken, never free.
// (Not under Wine, where a start takes longer than the stages this loop kills in.)
#ifndef _WIN32
TEST_F(Serials, aProcessKilledAnywhereNeverFreesItsNumber) {
    const Bytes mcu = codeImage(2 * 4096, 44);
    writeBytes(path("mcu.bin"), mcu);
    const std::string db = path("killed.db");
    std::ofstream(path("job.json")) << serialJob("mcu.bin", mcu, u32Serial(1, 1000000));
    // 2 ms per 4096 bytes written: a run lasts long enough to be killed at every stage.
    Programmer& p = startProgrammer("killed", {"--flash-program-us", "2000"});
    std::mt19937 random(2026);
    constexpr int kBoards = 200;
    int killed = 0;
    for (int i = 0; i < kBoards; ++i) {
        Child run;
        ASSERT_TRUE(run.start(QV_CLI_PROGRAM, {"run", path("job.json"), "--record", db, "-q"}, env_,
                              path("kill.out"), path("kill.err"), base_));
        const int delay = int(random() % 60);
        if (delay < 45) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            killed += run.running();
            run.kill();
        }
        run.wait();
    }
    EXPECT_GT(killed, 50) << "the loop should kill runs at many stages";

    // What the board was sent, from the programmer's own trace: one number per run at most.
    std::map<uint32_t, int> sent;
    for (const Bytes& frame : requests(p)) {
        if (const std::optional<uint32_t> n = serialSent(frame))
            ++sent[*n];
    }
    ASSERT_FALSE(sent.empty());
    for (const auto& [number, times] : sent)
        EXPECT_EQ(times, 1) << "number " << number << " was sent to " << times << " boards";

    // Every number sent is held in the pool: used, spoiled or taken.
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    std::map<uint32_t, std::string> states;
    sqlite3_stmt* q = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(handle, "SELECT value, state FROM serials", -1, &q, nullptr), SQLITE_OK);
    while (sqlite3_step(q) == SQLITE_ROW)
        states[uint32_t(sqlite3_column_int64(q, 0))] = reinterpret_cast<const char*>(sqlite3_column_text(q, 1));
    sqlite3_finalize(q);
    sqlite3_close(handle);
    for (const auto& [number, times] : sent)
        EXPECT_TRUE(states.count(number)) << "number " << number << " was sent but is free again";
    // A row and what it says of its number are never apart: a passing board's number is used, a
    // failed one's spoiled or free again.
    for (const auto& [serial, row] : rowsBySerial(db)) {
        const uint32_t number = uint32_t(std::stoul(serial));
        if (row.value(QStringLiteral("exit_code")).toInt() == 0) {
            EXPECT_EQ(states[number], "used") << serial;
        } else {
            EXPECT_NE(states[number], "used") << serial;
        }
    }
}
#endif

TEST_F(Serials, aStationRunsTheJobOncePerScannedLabel) {
    const Bytes mcu = codeImage(4096, 45);
    writeBytes(path("mcu.bin"), mcu);
    const std::string db = path("station.db");
    std::ofstream(path("job.json")) << serialJob("mcu.bin", mcu, u32Serial(10, 99));
    std::ofstream(path("scanned.txt")) << "SN-A1\nSN-B2\n";
    Programmer& p = startProgrammer("bench", {"--board-id", "0x5"});
    Child station;
    ASSERT_TRUE(station.start(QV_CLI_PROGRAM, {"station", path("job.json"), "--record", db, "-q"}, env_,
                              path("station.out"), path("station.err"), base_, path("scanned.txt")));
    EXPECT_EQ(station.wait(), 0) << station.err();
    const std::string out = station.out();
    for (const char* expected : {"PASS    board 0x00000005  serial 10  tag SN-A1", "PASS    board 0x00000005  serial 11  tag SN-B2"})
        EXPECT_NE(out.find(expected), std::string::npos) << out;
    const auto rows = rowsBySerial(db);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows.at("10").value(QStringLiteral("tag")).toString(), QStringLiteral("SN-A1"));
    EXPECT_EQ(rows.at("11").value(QStringLiteral("tag")).toString(), QStringLiteral("SN-B2"));

    // With --json the station's events follow the schema and end once; "q" ends it early.
    std::ofstream(path("quit.txt")) << "SN-C3\nq\nSN-D4\n";
    Child json;
    ASSERT_TRUE(json.start(QV_CLI_PROGRAM, {"station", path("job.json"), "--record", db, "--json"}, env_,
                           path("json.out"), path("json.err"), base_, path("quit.txt")));
    EXPECT_EQ(json.wait(), 0) << json.err();
    const auto results = eventsOf(checkedEvents(json.out()), "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].value(QStringLiteral("tag")).toString(), QStringLiteral("SN-C3"));
    stop(p);

    // A job with a serial and no database to draw from sends nothing.
    Programmer& q = startProgrammer("nodb");
    EXPECT_EQ(qv310({"run", path("job.json")}).code, 2);
    stop(q);
    EXPECT_TRUE(requests(q).empty());
}

}  // namespace
