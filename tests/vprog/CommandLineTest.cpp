#include "RequestFrames.h"
#include "vprog/CommandLine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vprogtest;
using vprog::CommandLine;
using vprog::Fault;
namespace fs = std::filesystem;

extern char** environ;

namespace {

// ---------------------------------------------------------------------------------------------
// Parsing.

struct GoodCase {
    std::vector<std::string> args;
    std::function<void(const CommandLine&)> check;
};

TEST(CommandLine, readsEveryOptionIntoTheOptions) {
    const GoodCase cases[] = {
        {{},
         [](const CommandLine& c) {
             EXPECT_EQ(c.options.name, "vprog");
             EXPECT_EQ(c.options.modeLetter, ';');
             EXPECT_EQ(c.options.fault, Fault::None);
             EXPECT_FALSE(c.help);
         }},
        {{"--name", "bench", "--dir", "/tmp/x"},
         [](const CommandLine& c) {
             EXPECT_EQ(c.options.name, "bench");
             EXPECT_EQ(c.options.directory, "/tmp/x");
         }},
        {{"--mode", "update-mcu"}, [](const CommandLine& c) { EXPECT_EQ(c.options.modeLetter, '['); }},
        {{"--mode=update-boot"}, [](const CommandLine& c) { EXPECT_EQ(c.options.modeLetter, '+'); }},
        {{"--app-version", "0x200101", "--boot-version=1193046"},
         [](const CommandLine& c) {
             EXPECT_EQ(c.options.appVersion, 0x200101u);
             EXPECT_EQ(c.options.bootVersion, 1193046u);
         }},
        {{"--board-mcu", "0XDEADBEEF", "--board-id", "010", "--board-flash-id", "0xef4017"},
         [](const CommandLine& c) {
             EXPECT_EQ(c.options.boardMcu, 0xDEADBEEFu);
             EXPECT_EQ(c.options.boardId, 10u);  // decimal, not octal
             EXPECT_EQ(c.options.boardFlashId, 0xEF4017u);
         }},
        {{"--target-type", "0x19713900", "--target-flash-id", "0xC84017", "--spi-size", "0x400000",
          "--target-run-status", "255"},
         [](const CommandLine& c) {
             EXPECT_EQ(c.options.targetType, 0x19713900u);
             EXPECT_EQ(c.options.targetFlashId, 0xC84017u);
             EXPECT_EQ(c.options.spiFlashSize, 0x400000u);
             EXPECT_EQ(c.options.targetRunStatus, 255);
         }},
        {{"--wire-bytes-per-second", "1000000", "--flash-program-us", "2500"},
         [](const CommandLine& c) {
             EXPECT_DOUBLE_EQ(c.options.wireBytesPerSecond, 1e6);
             EXPECT_EQ(c.options.flashProgramMicrosPer4K, 2500u);
         }},
        {{"--wire-mbps", "12"},
         [](const CommandLine& c) { EXPECT_DOUBLE_EQ(c.options.wireBytesPerSecond, 1.5e6); }},
        {{"--fault", "crc-status-mismatch", "--fault-at", "7"},
         [](const CommandLine& c) {
             EXPECT_EQ(c.options.fault, Fault::CrcStatusMismatch);
             EXPECT_EQ(c.options.faultAtRequest, 7u);
         }},
        {{"--trace", "--dump-code", "c.bin", "--dump-spi", "s.bin", "--dump-firmware", "f.bin"},
         [](const CommandLine& c) {
             EXPECT_TRUE(c.options.trace);
             EXPECT_EQ(c.options.dumpCodePath, "c.bin");
             EXPECT_EQ(c.options.dumpSpiPath, "s.bin");
             EXPECT_EQ(c.options.dumpFirmwarePath, "f.bin");
         }},
        {{"--help"}, [](const CommandLine& c) { EXPECT_TRUE(c.help); }},
        {{"--timing", "instant"},
         [](const CommandLine& c) {
             EXPECT_FALSE(c.options.realistic);
             EXPECT_DOUBLE_EQ(c.options.wireBytesPerSecond, 0);
         }},
        {{"--timing", "realistic"},
         [](const CommandLine& c) {
             EXPECT_TRUE(c.options.realistic);
             EXPECT_DOUBLE_EQ(c.options.realisticTiming.usbBytesPerSecond, 53248000);
         }},
        {{"--timing=realistic", "--usb", "full"},
         [](const CommandLine& c) {
             EXPECT_TRUE(c.options.realistic);
             EXPECT_DOUBLE_EQ(c.options.realisticTiming.usbBytesPerSecond, 1216000);
             EXPECT_EQ(c.options.realisticTiming.usbExchangeMicros, 1000u);
         }},
    };
    for (const auto& c : cases) {
        CommandLine parsed;
        std::string error;
        ASSERT_TRUE(vprog::parseCommandLine(c.args, parsed, error)) << error;
        c.check(parsed);
    }
}

TEST(CommandLine, everyFaultKindHasAName) {
    for (Fault f : {Fault::NoReply, Fault::WrongLetter, Fault::WrongLength, Fault::BadCrc,
                    Fault::CrcStatusMismatch, Fault::TargetRunFailure, Fault::Unplug, Fault::Stall}) {
        CommandLine parsed;
        std::string error;
        ASSERT_NE(vprog::faultName(f), nullptr);
        ASSERT_TRUE(
            vprog::parseCommandLine({"--fault", vprog::faultName(f), "--fault-at", "1"}, parsed, error));
        EXPECT_EQ(parsed.options.fault, f);
    }
}

const std::vector<std::vector<std::string>> kBadCommandLines = {
    {"--bogus"},
    {"extra"},
    {"--name"},
    {"--name", ""},
    {"--name", "a/b"},
    {"--name", ".."},
    {"--mode", "fast"},
    {"--app-version", "0x1000000"},
    {"--app-version", "0x"},
    {"--board-id", "12z"},
    {"--board-id", "-1"},
    {"--board-mcu", "0x100000000"},
    {"--board-mcu", "99999999999999999999999"},
    {"--target-run-status", "256"},
    {"--spi-size", "0"},
    {"--spi-size", "0x20000000"},
    {"--wire-mbps", "fast"},
    {"--wire-bytes-per-second", "-5"},
    {"--fault", "meltdown", "--fault-at", "1"},
    {"--fault", "no-reply"},
    {"--fault-at", "3"},
    {"--fault", "no-reply", "--fault-at", "0"},
    {"--trace=yes"},
    {"--timing", "fast"},
    {"--timing", "realistic", "--usb", "super"},
    {"--timing", "realistic", "--wire-mbps", "12"},
    {"--flash-program-us", "400", "--timing", "realistic"},
    {"--usb", "full"},
};

TEST(CommandLine, refusesUnknownOptionsAndBadValues) {
    for (const auto& args : kBadCommandLines) {
        CommandLine parsed;
        std::string error;
        EXPECT_FALSE(vprog::parseCommandLine(args, parsed, error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

// ---------------------------------------------------------------------------------------------
// The program itself.

struct Process {
    pid_t pid = -1;
    int out = -1;  // stdout, read end
    std::string errPath;

    ~Process() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            ::close(out);
    }

    bool start(std::vector<std::string> args, const std::string& errFile) {
        args.insert(args.begin(), QV_VPROG_PROGRAM);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int pipeFds[2];
        if (::pipe(pipeFds) != 0)
            return false;
        errPath = errFile;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        out = pipeFds[0];
        if (rc != 0)
            pid = -1;
        return rc == 0;
    }

    // Reads stdout until a line starting with prefix arrives; returns the rest of that line.
    std::string readLineStarting(const std::string& prefix, int timeoutMs = 10000) {
        std::string text;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            size_t at = text.find(prefix);
            if (at != std::string::npos) {
                const size_t eol = text.find('\n', at);
                if (eol != std::string::npos)
                    return text.substr(at + prefix.size(), eol - at - prefix.size());
            }
            pollfd p{out, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buffer[256];
            const ssize_t n = ::read(out, buffer, sizeof buffer);
            if (n <= 0)
                break;
            text.append(buffer, size_t(n));
        }
        return {};
    }

    int wait() {
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string errors() const {
        std::ifstream in(errPath);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

class Program : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qv310-vprog-cli-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        base_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }
    std::string base_;
};

TEST_F(Program, exitsWithCode2AndAReasonOnABadCommandLine) {
    for (const auto& args : {std::vector<std::string>{"--bogus"}, {"--app-version", "0xZZ"}, {"--mode"}}) {
        Process p;
        ASSERT_TRUE(p.start(args, base_ + "/err.txt"));
        EXPECT_EQ(p.wait(), 2) << args[0];
        EXPECT_NE(p.errors().find(args[0]), std::string::npos) << p.errors();
        EXPECT_FALSE(fs::exists(base_ + "/run"));
    }
}

TEST_F(Program, helpSaysItIsAVirtualProgrammer) {
    Process p;
    ASSERT_TRUE(p.start({"--help"}, base_ + "/err.txt"));
    EXPECT_NE(p.readLineStarting("Starts a ").find("VIRTUAL programmer"), std::string::npos);
    EXPECT_EQ(p.wait(), 0);
}

// Two programs side by side, each served until SIGTERM; the one with dumps saves its memories.
TEST_F(Program, servesUntilTerminatedThenUnplugsAndSaves) {
    const std::string dir = base_ + "/run";
    Process a, b;
    ASSERT_TRUE(
        a.start({"--dir", dir, "--name", "a", "--board-id", "0xA", "--dump-code", base_ + "/code.bin"},
                base_ + "/a.err"));
    ASSERT_TRUE(b.start({"--dir", dir, "--name", "b", "--board-id", "0xB"}, base_ + "/b.err"));
    EXPECT_EQ(a.readLineStarting("Device path: "), "virtual:" + dir + "/a.sock");
    EXPECT_EQ(b.readLineStarting("Device path: "), "virtual:" + dir + "/b.sock");

    for (auto [name, id] : {std::pair<const char*, uint32_t>{"a", 0xA}, {"b", 0xB}}) {
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s/%s.sock", dir.c_str(), name);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << name;
        const Bytes k = connectFrame();
        ASSERT_EQ(::send(fd, k.data(), k.size(), 0), 36);
        Bytes reply(512);
        ASSERT_EQ(::recv(fd, reply.data(), reply.size(), 0), 36);
        EXPECT_EQ(get32(reply, 22), id);
        if (id == 0xA) {
            const Bytes write = dataFrame('F', 0x40, {7, 8, 9});
            ASSERT_EQ(::send(fd, write.data(), write.size(), 0), ssize_t(write.size()));
            ASSERT_EQ(::recv(fd, reply.data(), reply.size(), 0), 13);
            EXPECT_EQ(reply[2], 'V');
        }
        ::close(fd);
    }

    ::kill(a.pid, SIGTERM);
    EXPECT_EQ(a.wait(), 0) << a.errors();
    EXPECT_FALSE(fs::exists(dir + "/a.sock"));
    EXPECT_TRUE(fs::exists(dir + "/b.sock"));
    std::ifstream in(base_ + "/code.bin", std::ios::binary);
    const Bytes code(std::istreambuf_iterator<char>(in), {});
    ASSERT_EQ(code.size(), 0x80000u);
    EXPECT_EQ(Bytes(code.begin() + 0x3F, code.begin() + 0x44), (Bytes{0xFF, 7, 8, 9, 0xFF}));

    // A second program under a live name gives up without touching its dump file.
    std::ofstream(base_ + "/keep.bin") << "keep";
    Process clash;
    ASSERT_TRUE(
        clash.start({"--dir", dir, "--name", "b", "--dump-code", base_ + "/keep.bin"}, base_ + "/c.err"));
    EXPECT_EQ(clash.wait(), 1);
    EXPECT_NE(clash.errors().find("another programmer already serves"), std::string::npos) << clash.errors();
    std::ifstream kept(base_ + "/keep.bin");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
    EXPECT_TRUE(fs::exists(dir + "/b.sock"));

    ::kill(b.pid, SIGINT);
    EXPECT_EQ(b.wait(), 0) << b.errors();
    EXPECT_FALSE(fs::exists(dir + "/b.sock"));
}

}  // namespace
