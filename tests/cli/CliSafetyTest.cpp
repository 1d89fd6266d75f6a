// qv310 on a production line: it never writes where it was not told, stops cleanly on Ctrl-C with a
// record of every board, finds its flash catalogue wherever it is started, refuses another
// program's records and endless files before anything is sent, keeps its event contract, obeys
// the command line over a job, and picks programmers by the board id they report.

#include "CliFixture.h"

using namespace clitest;

#include <sqlite3.h>

#include <QFileInfo>

#ifndef _WIN32
#include <csignal>
#endif

namespace {

// How many requests with this letter a programmer received.
int countLetter(const std::vector<Bytes>& requests, char letter) {
    int n = 0;
    for (const Bytes& r : requests)
        n += r.size() > 2 && r[2] == uint8_t(letter);
    return n;
}

// Waits until the file's text holds needle at least count times (true) or timeoutMs passes.
bool waitForText(const std::function<std::string()>& text, const std::string& needle, int count = 1,
                 int timeoutMs = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        const std::string t = text();
        int found = 0;
        for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1))
            ++found;
        if (found >= count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string jobWith(const std::string& steps, const std::string& options = {}) {
    return R"({"steps": [)" + steps + "]" + (options.empty() ? "" : ", " + options) + "}";
}

// ---------------------------------------------------------------------------------------------
// Addresses: "0x" and one to eight hex digits inside the code flash, or nothing is sent.

TEST_F(Cli, onlyAddressesWrittenInFullAreTaken) {
    const Bytes mcu = codeImage(9000, 2);
    writeBytes(path("mcu.bin"), mcu);
    const std::string digest = sha256Of(mcu);
    const auto job = [&](const std::string& name, const std::string& addr) {
        std::ofstream(path(name)) << jobWith(R"({"program-mcu": "mcu.bin", "addr": )" + addr + R"(, "sha256": ")" +
                                             digest + "\"}");
        return path(name);
    };
    struct Case {
        std::vector<std::string> args;
        int code;
    };
    const std::vector<Case> cases = {
        {{"program-mcu", path("mcu.bin"), "--addr", "A000"}, 2},
        {{"program-mcu", path("mcu.bin"), "--addr", "a000"}, 2},
        {{"program-mcu", path("mcu.bin"), "--addr", "0x"}, 2},
        {{"program-mcu", path("mcu.bin"), "--addr", "0xA000 "}, 2},
        {{"program-mcu", path("mcu.bin"), "--addr", "+0xA000"}, 2},
        {{"program-mcu", path("mcu.bin"), "--addr", "0x0000A0000"}, 2},
        {{"program-mcu", path("mcu.bin"), "--addr", "0x80000"}, 2},
        {{"program-mcu", path("mcu.bin"), "--addr", "40960"}, 2},
        // Inside a 4096-byte block: the window rounds it down; here nothing is guessed.
        {{"program-mcu", path("mcu.bin"), "--addr", "0xA001"}, 2},
        {{"program-mcu", path("mcu.bin"), "--addr", "0xA800"}, 2},
        {{"program-mcu", path("mcu.bin"), "--addr", "0x7FFFF"}, 2},
        {{"run", job("inside.json", "\"0xA001\"")}, 4},
        {{"run", job("half.json", "\"0xB800\"")}, 4},
        {{"run", job("hex.json", "\"A000\"")}, 4},
        {{"run", job("number.json", "40960")}, 4},
        {{"run", job("beyond.json", "\"0x100000\"")}, 4},
        {{"run", job("empty.json", "\"\"")}, 4},
    };
    Programmer& p = startProgrammer("addr");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        const Run r = qv310(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE(r.err.find("0x"), std::string::npos) << "the message says how to write it: " << r.err;
    }
    EXPECT_TRUE(requests(p).empty()) << "a refused address sent something";

    // Upper-case prefix and leading zeros are an address written in full.
    const Run good = qv310({"program-mcu", path("mcu.bin"), "--addr", "0X0000B000"});
    EXPECT_EQ(good.code, 0) << good.err;
    stop(p);
    const std::string code = readFile(path("addr.code"));
    ASSERT_EQ(code.size(), 0x80000u);
    EXPECT_EQ(Bytes(code.begin() + 0xB000, code.begin() + 0xB000 + mcu.size()), mcu);
    EXPECT_EQ(Bytes(code.begin(), code.begin() + 16), Bytes(16, 0xFF)) << "the boot area was written";
}

// ---------------------------------------------------------------------------------------------
// Ctrl-C: every board stops at once, gets its row, the run ends with its end event and 130.

// (On Windows: scripts/check-windows-cli-interrupt.sh, which can send Wine's Ctrl-C; a test program
// under Wine has no console to send it through.)
#ifndef _WIN32
TEST_F(Cli, ctrlCStopsEveryBoardAndRecordsItAsInterrupted) {
    const Bytes mcu = codeImage(200000, 31);
    writeBytes(path("mcu.bin"), mcu);
    const std::string db = path("interrupted.db");
    // 50 ms per 4096 bytes: the write lasts seconds.
    Programmer& a = startProgrammer("inta", {"--board-id", "0x1", "--flash-program-us", "50000"});
    Programmer& b = startProgrammer("intb", {"--board-id", "0x2", "--flash-program-us", "50000"});
    Child run;
    ASSERT_TRUE(run.start(QV_CLI_PROGRAM, {"program-mcu", path("mcu.bin"), "-d", "all", "--json", "--record", db},
                          env_, path("int.out"), path("int.err"), base_));
    // Both boards are being written.
    ASSERT_TRUE(waitForText([&] { return run.out(); }, "\"event\":\"progress\"", 4)) << run.out() << run.err();
    // The images are handed to the operations as the bytes checked: nothing is copied to disk.
    EXPECT_TRUE(fs::is_empty(base_ + "/tmp")) << "an image was copied to " << base_ << "/tmp";
    const auto interruptedAt = std::chrono::steady_clock::now();
    run.interrupt();
    EXPECT_EQ(run.wait(20000), 130) << run.err();
    EXPECT_LT(std::chrono::steady_clock::now() - interruptedAt, std::chrono::seconds(5));

    const auto events = checkedEvents(run.out());
    const auto results = eventsOf(events, "result");
    ASSERT_EQ(results.size(), 2u) << run.out();
    for (const QJsonObject& r : results) {
        EXPECT_EQ(r.value(QStringLiteral("exit_code")).toInt(), 130);
        EXPECT_EQ(r.value(QStringLiteral("error")).toString(), QStringLiteral("interrupted"));
        EXPECT_TRUE(r.value(QStringLiteral("target_started")).isNull()) << "the target was started";
    }
    EXPECT_EQ(events.back().value(QStringLiteral("exit_code")).toInt(), 130);
    EXPECT_EQ(events.back().value(QStringLiteral("boards")).toArray().size(), 2);

    const Run exported = qv310({"records", "export", db, "--jsonl"});
    const auto rows = jsonLines(exported.out);
    ASSERT_EQ(rows.size(), 2u) << exported.out;
    for (const QJsonObject& row : rows) {
        EXPECT_EQ(row.value(QStringLiteral("exit_code")).toInt(), 130);
        EXPECT_EQ(row.value(QStringLiteral("error")).toString(), QStringLiteral("interrupted"));
    }
    // Nor after the run.
    EXPECT_TRUE(fs::is_empty(base_ + "/tmp")) << "a copy left in " << base_ << "/tmp";
    // The programmers answer the next command.
    for (Programmer* p : {&a, &b}) {
        const Run info = qv310({"info", "-d", p->devicePath});
        EXPECT_EQ(info.code, 0) << info.err;
    }
    stop(a);
    stop(b);
}
#endif

// ---------------------------------------------------------------------------------------------
// The flash catalogue: given, in the current folder, in the user's data folder, installed beside
// the program; an unknown target chip and an image beyond the UI room are refused unwritten.

TEST_F(Cli, theFlashCatalogueIsFoundWhereverQv310IsStarted) {
    const std::string catalogue = "[FLASH]\n0x1C4016,512,4096,EN25QH16,\n";
    fs::remove(path("Flash.ini"));
    fs::create_directories(path("empty"));
    fs::create_directories(path("data/qv310-isp"));
    fs::create_directories(path("prefix/bin"));
    fs::create_directories(path("prefix/share/qv310-isp"));
#ifdef _WIN32
    // Installed on Windows: the program and the catalogue side by side, as the zip unpacks them.
    const std::string installed = path("prefix/bin/qv310.exe");
    const std::string installedCatalogue = path("prefix/bin/Flash.ini");
#else
    const std::string installed = path("prefix/bin/qv310");
    const std::string installedCatalogue = path("prefix/share/qv310-isp/Flash.ini");
#endif
    fs::copy_file(QV_CLI_PROGRAM, installed);
    Programmer& p = startProgrammer("catalogue");

    struct Case {
        const char* name;
        std::string place;  // where the catalogue is written
        std::string program;
        std::vector<std::string> extra;
        std::string cwd;
    };
    const std::vector<Case> cases = {
        {"given", path("given.ini"), QV_CLI_PROGRAM, {"--flash-ini", path("given.ini")}, path("empty")},
        {"current folder", path("empty/Flash.ini"), QV_CLI_PROGRAM, {}, path("empty")},
#ifndef _WIN32
        // (Windows takes the user's data folder from the registry, not from the environment.)
        {"user's data folder", path("data/qv310-isp/Flash.ini"), QV_CLI_PROGRAM, {}, path("empty")},
#endif
        {"installed with the program", installedCatalogue, installed, {}, path("empty")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(c.place) << catalogue;
        std::vector<std::string> args = {"info", "--json"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        Child child;
        ASSERT_TRUE(child.start(c.program, args, env_, path("cat.out"), path("cat.err"), c.cwd));
        EXPECT_EQ(child.wait(), 0) << child.err();
        const auto infos = eventsOf(checkedEvents(child.out()), "info");
        ASSERT_EQ(infos.size(), 1u);
        EXPECT_EQ(infos[0].value(QStringLiteral("flash_ini")).toString(),
                  QFileInfo(QString::fromStdString(c.place)).absoluteFilePath());
        EXPECT_TRUE(infos[0].value(QStringLiteral("target_flash")).toObject().value(QStringLiteral("known")).toBool());
        fs::remove(c.place);
    }
    stop(p);

    // A chip the catalogue does not list: nothing is written, whole image or difference file.
    std::ofstream(path("Flash.ini")) << catalogue;
    writeBytes(path("ui.bin"), uitest::pattern(3 * 4096, 5));
    writeBytes(path("ui.diff"), uitest::diffFrom({{0x2000, 5000, 5000}}));
    Programmer& unknown = startProgrammer("unknownchip", {"--target-flash-id", "0x123456"});
    for (const char* file : {"ui.bin", "ui.diff"}) {
        const Run r = qv310({"write-ui", path(file), "--json"});
        EXPECT_EQ(r.code, 4) << r.out;
        const auto errors = eventsOf(checkedEvents(r.out), "error");
        ASSERT_FALSE(errors.empty());
        const QString message = errors[0].value(QStringLiteral("message")).toString();
        EXPECT_TRUE(message.contains(QStringLiteral("0x123456")) && message.contains(QString::fromStdString(path("Flash.ini"))))
            << message.toStdString();
    }
    stop(unknown);
    EXPECT_EQ(countLetter(requests(unknown), 'F'), 0);

    // An image larger than the UI room (2 MiB chip less 0x80000) is a refused file.
    writeBytes(path("big.bin"), uitest::pattern(0x180000 + 1, 6));
    Programmer& small = startProgrammer("roomchip");
    const Run big = qv310({"write-ui", path("big.bin")});
    EXPECT_EQ(big.code, 4) << big.err;
    stop(small);
    EXPECT_EQ(countLetter(requests(small), 'F'), 0);
}

// ---------------------------------------------------------------------------------------------
// Endless files are refused at once; another program's record database before anything is sent.

TEST_F(Cli, endlessFilesAndForeignDatabasesAreRefusedBeforeAnythingIsSent) {
    writeBytes(path("mcu.bin"), codeImage(9000, 2));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path("foreign.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE records (id INTEGER PRIMARY KEY, serial TEXT, passed INTEGER)", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
#ifndef _WIN32
        // (Windows has no endless file to name.)
        {{"program-mcu", "/dev/zero"}, "Mcu code file is over than 444K!"},
        {{"program-boot", "/dev/zero"}, "Boot file is over than 64K!"},
        {{"write-ui", "/dev/zero"}, "/dev/zero: is longer than"},
        {{"run", "/dev/zero"}, "/dev/zero: too large for a job file"},
        {{"program-mcu", path("mcu.bin"), "--flash-ini", "/dev/zero"}, "/dev/zero: is longer than"},
#endif
        {{"program-mcu", path("mcu.bin"), "--record", path("foreign.db")}, "records table is another program's"},
    };
    Programmer& p = startProgrammer("endless");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1]);
        Child child;
        ASSERT_TRUE(child.start(QV_CLI_PROGRAM, c.args, env_, path("endless.out"), path("endless.err"), base_));
        EXPECT_EQ(child.wait(20000), 4);
        EXPECT_NE(child.err().find(c.says), std::string::npos) << child.err();
    }
    stop(p);
    EXPECT_TRUE(requests(p).empty());
}

// ---------------------------------------------------------------------------------------------
// The event contract: --version, hello first and end last on every run past the command line,
// blocks in the gang table and the end event.

TEST_F(Cli, everyRunStartsWithHelloAndEndsWithEnd) {
    const Run version = qv310({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "qv310 " QV_TOOL_VERSION "\n");
    const Run versionJson = qv310({"--version", "--json"});
    EXPECT_EQ(versionJson.code, 0);
    const auto hello = jsonLines(versionJson.out);
    ASSERT_EQ(hello.size(), 1u) << versionJson.out;
    checkSchema(hello[0]);
    EXPECT_EQ(hello[0].value(QStringLiteral("version")).toString(), QStringLiteral(QV_TOOL_VERSION));

    // Early failures end with end too.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"list", "--json"}, {"info", "--json"}, {"program-mcu", path("none.bin"), "--json"}}) {
        const Run r = qv310(args);
        EXPECT_NE(r.code, 0);
        const auto events = checkedEvents(r.out);
        EXPECT_EQ(events.back().value(QStringLiteral("exit_code")).toInt(), r.code);
    }

    Bytes ui = uitest::pattern(5 * 4096, 9);
    writeBytes(path("ui.bin"), ui);
    Programmer& a = startProgrammer("gangblocksa", {"--board-id", "0x2"});
    Programmer& b = startProgrammer("gangblocksb", {"--board-id", "0x1"});
    const Run json = qv310({"write-ui", path("ui.bin"), "-d", "all", "--json"});
    EXPECT_EQ(json.code, 0) << json.out;
    const QJsonArray boards = checkedEvents(json.out).back().value(QStringLiteral("boards")).toArray();
    ASSERT_EQ(boards.size(), 2);
    // In the order of the board ids, with the blocks written.
    EXPECT_EQ(boards[0].toObject().value(QStringLiteral("device")).toString().toStdString(), b.devicePath);
    for (const QJsonValue& board : boards) {
        EXPECT_EQ(board.toObject().value(QStringLiteral("blocks_written")).toInt(), 5);
        EXPECT_EQ(board.toObject().value(QStringLiteral("blocks_skipped")).toInt(), 0);
    }
    const Run human = qv310({"write-ui", path("ui.bin"), "-d", "all", "--skip-unchanged"});
    EXPECT_EQ(human.code, 0) << human.err;
    const size_t first = human.err.find(b.devicePath + " ");
    const size_t second = human.err.find(a.devicePath + " ");
    ASSERT_NE(first, std::string::npos) << human.err;
    ASSERT_NE(second, std::string::npos) << human.err;
    EXPECT_LT(first, second) << "the table is in the order of the board ids";
    EXPECT_NE(human.err.find("0/5"), std::string::npos) << human.err;
    stop(a);
    stop(b);
}

// ---------------------------------------------------------------------------------------------
// Job files: the command line wins, a job cannot allow a boot-loader update, and the steps after a
// firmware update wait for the programmer to come back.

TEST_F(Cli, theCommandLineWinsOverTheJob) {
    const Bytes mcu = codeImage(3 * 4096, 4);
    writeBytes(path("mcu.bin"), mcu);
    std::ofstream(path("job.json")) << jobWith(R"({"program-mcu": "mcu.bin", "sha256": ")" + sha256Of(mcu) + "\"}",
                                               R"("power-off": true, "skip-unchanged": true)");
    Programmer& p = startProgrammer("override");
    EXPECT_EQ(qv310({"run", path("job.json"), "--no-power-off"}).code, 0);
    // The target run carries the power-off flag of the command line, not the job's.
    const std::vector<Bytes> first = requests(p);
    const Bytes* lastRun = nullptr;
    for (const Bytes& frame : first) {
        if (frame.size() > 2 && frame[2] == 'A')
            lastRun = &frame;
    }
    ASSERT_NE(lastRun, nullptr);
    const Bytes sentRun = *lastRun;

    // The same image again with --no-skip-unchanged: every block is written again.
    const Run again = qv310({"run", path("job.json"), "--no-skip-unchanged", "--no-power-off", "--json"});
    EXPECT_EQ(again.code, 0);
    const auto results = eventsOf(checkedEvents(again.out), "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].value(QStringLiteral("blocks_skipped")).toInt(), 0);
    EXPECT_EQ(results[0].value(QStringLiteral("blocks_written")).toInt(), 4);
    stop(p);

    vprog::Options options;
    options.name = "overrideref";
    options.directory = referenceDirectory();
    vprog::VirtualProgrammer ref(options);
    WindowOperations w(ref.devicePath());
    w.host.powerOff = false;
    w.press([](WindowOperations& ops) { ops.target.targetControl(1, 0); });
    ref.withModel([&](vprog::DeviceModel& m) {
        ASSERT_FALSE(m.requestLog().empty());
        EXPECT_EQ(sentRun, m.requestLog().back());
    });

    // A job alone cannot replace the boot loader.
    writeBytes(path("fw.boot"), firmwareImage(6000));
    std::ofstream(path("boot.json")) << jobWith(R"({"update-boot": "fw.boot", "sha256": ")" +
                                                    sha256Of(firmwareImage(6000)) + "\"}",
                                                R"("allow-boot-update": true)");
    Programmer& q = startProgrammer("bootjob");
    const Run refused = qv310({"run", path("boot.json")});
    EXPECT_EQ(refused.code, 2);
    EXPECT_NE(refused.err.find("--allow-boot-update"), std::string::npos) << refused.err;
    stop(q);
    EXPECT_TRUE(requests(q).empty());
}

TEST_F(Cli, stepsAfterAFirmwareUpdateWaitForTheSameProgrammer) {
    const Bytes app = firmwareImage(6000);
    const Bytes mcu = codeImage(5000, 7);
    writeBytes(path("fw.app"), app);
    writeBytes(path("mcu.bin"), mcu);
    std::ofstream(path("job.json")) << jobWith(R"({"update-firmware": "fw.app", "sha256": ")" + sha256Of(app) +
                                               R"("}, {"program-mcu": "mcu.bin", "sha256": ")" + sha256Of(mcu) + "\"}");
    Programmer& p = startProgrammer("restart", {"--mode", "update-mcu", "--board-id", "0x42"});
    const Run r = qv310({"run", path("job.json"), "--json"});
    EXPECT_EQ(r.code, 0) << r.out;
    const auto results = eventsOf(checkedEvents(r.out), "result");
    ASSERT_EQ(results.size(), 2u) << r.out;
    EXPECT_EQ(results[1].value(QStringLiteral("operation")).toString(), QStringLiteral("program-mcu"));
    EXPECT_EQ(results[1].value(QStringLiteral("board_id")).toString(), QStringLiteral("0x00000042"));
    stop(p);
    const std::string code = readFile(path("restart.code"));
    ASSERT_EQ(code.size(), 0x80000u);
    EXPECT_EQ(Bytes(code.begin() + 0xA000, code.begin() + 0xA000 + mcu.size()), mcu);

    // A programmer that does not come back: exit 5 once the wait is over, no second step.
    Programmer& gone = startProgrammer("gone", {"--mode", "update-mcu"});
    Child run;
    ASSERT_TRUE(run.start(QV_CLI_PROGRAM, {"run", path("job.json"), "--json"}, env_, path("gone.out"),
                          path("gone.err"), base_));
    ASSERT_TRUE(waitForText([&] { return run.out(); }, "\"event\":\"result\""));
    gone.child->kill();
    EXPECT_EQ(run.wait(40000), 5);
    const auto events = checkedEvents(run.out());
    EXPECT_EQ(eventsOf(events, "result").size(), 1u);
    bool said = false;
    for (const QJsonObject& e : eventsOf(events, "error"))
        said = said || e.value(QStringLiteral("message")).toString().contains(QStringLiteral("did not come back"));
    EXPECT_TRUE(said) << run.out();
}

// A board that fails between two steps (its programmer does not come back after update-firmware,
// or Ctrl-C while it is awaited) ends in a row with its exit code: the step it did not get to,
// with why. The first-pass yield counts it as failed. (Its only row used to say exit 0.)
TEST_F(Cli, aBoardThatFailsBetweenStepsEndsInARowWithItsExitCode) {
    const Bytes app = firmwareImage(6000);
    const Bytes mcu = codeImage(5000, 17);
    writeBytes(path("fw.app"), app);
    writeBytes(path("mcu.bin"), mcu);
    std::ofstream(path("job.json")) << jobWith(R"({"update-firmware": "fw.app", "sha256": ")" + sha256Of(app) +
                                               R"("}, {"program-mcu": "mcu.bin", "sha256": ")" + sha256Of(mcu) + "\"}");
    struct Case {
        const char* name;
        bool interrupt;  // Ctrl-C while the programmer is awaited, else the wait runs out
        int code;
        const char* error;
    };
    std::vector<Case> cases = {{"the programmer does not come back", false, 5, "did not come back"}};
#ifndef _WIN32
    // (On Windows a test program under Wine has no console to send Ctrl-C through.)
    cases.push_back({"Ctrl-C while the programmer is awaited", true, 130, "interrupted"});
#endif
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string db = path("between" + std::to_string(++n) + ".db");
        Programmer& p = startProgrammer("between" + std::to_string(n), {"--mode", "update-mcu"});
        Child run;
        ASSERT_TRUE(run.start(QV_CLI_PROGRAM, {"run", path("job.json"), "--json", "--record", db}, env_,
                              path("between" + std::to_string(n) + ".out"), path("between" + std::to_string(n) + ".err"),
                              base_));
        ASSERT_TRUE(waitForText([&] { return run.out(); }, "\"event\":\"result\""));
        p.child->kill();
        if (c.interrupt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            run.interrupt();
        }
        EXPECT_EQ(run.wait(40000), c.code) << run.out();
        checkedEvents(run.out());

        const Run exported = qv310({"records", "export", db, "--jsonl"});
        const auto rows = jsonLines(exported.out);
        ASSERT_EQ(rows.size(), 2u) << exported.out;
        EXPECT_EQ(rows[0].value(QStringLiteral("operation")).toString(), QStringLiteral("update-firmware"));
        EXPECT_EQ(rows[0].value(QStringLiteral("exit_code")).toInt(), 0);
        // The run's last row: the step it did not get to, with the board's exit code.
        EXPECT_EQ(rows[1].value(QStringLiteral("operation")).toString(), QStringLiteral("program-mcu"));
        EXPECT_EQ(rows[1].value(QStringLiteral("exit_code")).toInt(), c.code);
        EXPECT_TRUE(rows[1].value(QStringLiteral("result")).isNull());
        EXPECT_TRUE(rows[1].value(QStringLiteral("error")).toString().contains(QLatin1String(c.error)))
            << exported.out;
        EXPECT_EQ(rows[1].value(QStringLiteral("run_uuid")), rows[0].value(QStringLiteral("run_uuid")));

        const Run yield = qv310({"records", "yield", db, "--json"});
        const auto yields = eventsOf(checkedEvents(yield.out), "yield");
        ASSERT_EQ(yields.size(), 1u) << yield.out;
        EXPECT_EQ(yields[0].value(QStringLiteral("boards")).toInt(), 1);
        EXPECT_EQ(yields[0].value(QStringLiteral("first_pass")).toInt(), 0) << "the board counted as passed";
        programmers_.clear();
    }
}

#ifndef _WIN32
// A closed terminal or SSH session (SIGHUP) stops qv310 as SIGTERM does: every board gets its row
// marked interrupted, nothing is left in the temporary folder, the exit code is 130.
TEST_F(Cli, aHangUpStopsTheRunAsSigtermDoes) {
    const Bytes mcu = codeImage(200000, 32);
    writeBytes(path("mcu.bin"), mcu);
    const std::string db = path("hangup.db");
    // 50 ms per 4096 bytes: the write lasts seconds.
    Programmer& p = startProgrammer("hangup", {"--flash-program-us", "50000"});
    Child run;
    ASSERT_TRUE(run.start(QV_CLI_PROGRAM, {"program-mcu", path("mcu.bin"), "--json", "--record", db}, env_,
                          path("hup.out"), path("hup.err"), base_));
    ASSERT_TRUE(waitForText([&] { return run.out(); }, "\"event\":\"progress\"", 2)) << run.out() << run.err();
    ASSERT_EQ(::kill(pid_t(run.pid()), SIGHUP), 0);
    EXPECT_EQ(run.wait(20000), 130) << run.err();
    const auto events = checkedEvents(run.out());
    EXPECT_EQ(events.back().value(QStringLiteral("exit_code")).toInt(), 130);
    const auto rows = jsonLines(qv310({"records", "export", db, "--jsonl"}).out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].value(QStringLiteral("exit_code")).toInt(), 130);
    EXPECT_EQ(rows[0].value(QStringLiteral("error")).toString(), QStringLiteral("interrupted"));
    EXPECT_TRUE(fs::is_empty(base_ + "/tmp")) << "a copy left in " << base_ << "/tmp";
    stop(p);
}
#endif

// ---------------------------------------------------------------------------------------------
// Which programmer: the board id its handshake reports, never two of them.

TEST_F(Cli, programmersAreChosenByTheBoardIdTheyReport) {
    const Bytes mcu = codeImage(5000, 8);
    writeBytes(path("mcu.bin"), mcu);
    Programmer& b = startProgrammer("idb", {"--board-id", "0xB"});
    Programmer& a = startProgrammer("ida", {"--board-id", "0xA"});

    const Run list = qv310({"list", "--json"});
    EXPECT_EQ(list.code, 0);
    std::vector<std::string> listed;
    for (const QJsonObject& e : eventsOf(checkedEvents(list.out), "device"))
        listed.push_back(e.value(QStringLiteral("board_id")).toString().toStdString() + " " +
                         e.value(QStringLiteral("device")).toString().toStdString());
    EXPECT_EQ(listed, (std::vector<std::string>{"0x0000000A " + a.devicePath, "0x0000000B " + b.devicePath}));

    const Run chosen = qv310({"program-mcu", path("mcu.bin"), "-d", "board:0xa"});
    EXPECT_EQ(chosen.code, 0) << chosen.err;
    const Run missing = qv310({"program-mcu", path("mcu.bin"), "-d", "board:0x99"});
    EXPECT_EQ(missing.code, 3) << missing.err;
    stop(a);
    stop(b);
    EXPECT_GT(countLetter(requests(a), 'F'), 0);
    EXPECT_EQ(countLetter(requests(b), 'F'), 0);

    // Two programmers that report the same id are never chosen by it.
    Programmer& c = startProgrammer("twina", {"--board-id", "0x7"});
    Programmer& d = startProgrammer("twinb", {"--board-id", "0x7"});
    const Run twins = qv310({"program-mcu", path("mcu.bin"), "-d", "board:0x7"});
    EXPECT_EQ(twins.code, 2);
    EXPECT_NE(twins.err.find(c.devicePath), std::string::npos) << twins.err;
    EXPECT_NE(twins.err.find(d.devicePath), std::string::npos) << twins.err;
    stop(c);
    stop(d);
    for (Programmer* p : {&c, &d}) {
        const auto sent = requests(*p);
        EXPECT_EQ(sent.size(), size_t(countLetter(sent, 'K'))) << "only the handshake that asks for the id";
    }
}

}  // namespace
