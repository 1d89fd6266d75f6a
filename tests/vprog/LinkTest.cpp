#include "RequestFrames.h"
#include "vprog/VirtualProgrammer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace vprogtest;
using vprog::DeviceModel;
using vprog::Fault;
using vprog::Options;
using vprog::VirtualProgrammer;
namespace fs = std::filesystem;

namespace {

// A plain client of the link, as the tool's transport uses it: one send per request, one recv
// per reply.
class Client {
  public:
    explicit Client(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Client() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    // Without waiting: false when the link's queue is full.
    bool sendNow(const Bytes& request) {
        return ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
               ssize_t(request.size());
    }
    bool send(const Bytes& request) {
        return ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size());
    }
    // One message, waiting at most timeoutMs; nullopt on time-out, empty on a closed link.
    std::optional<Bytes> receive(int timeoutMs = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return std::nullopt;
        Bytes buffer(512);
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        buffer.resize(n > 0 ? size_t(n) : 0);
        return buffer;
    }
    std::optional<Bytes> exchange(const Bytes& request) {
        if (!send(request))
            return Bytes{};
        return receive();
    }

  private:
    int fd_ = -1;
};

class Link : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qv310-vprog-link-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        base_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }
    Options options(const std::string& name) {
        Options o;
        o.name = name;
        o.directory = base_ + "/run";
        return o;
    }
    std::string base_;
};

TEST_F(Link, answersEachRequestWithOneReplyMessage) {
    VirtualProgrammer programmer(options("one"));
    ASSERT_TRUE(programmer.plugged());
    EXPECT_EQ(programmer.socketPath(), base_ + "/run/one.sock");
    EXPECT_EQ(programmer.devicePath(), "virtual:" + base_ + "/run/one.sock");
    EXPECT_TRUE(programmer.plug());  // already plugged: harmless

    struct stat st {};
    ASSERT_EQ(::stat((base_ + "/run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    Client client(programmer.socketPath());
    ASSERT_TRUE(client.connected());
    const auto connection = client.exchange(connectFrame());
    ASSERT_TRUE(connection.has_value());
    ASSERT_EQ(connection->size(), 36u);
    EXPECT_EQ((*connection)[2], ';');

    // The biggest request in use travels whole and lands in the model.
    const Bytes payload(4096, 0x5A);
    const auto written = client.exchange(dataFrame('F', 0x80000, payload));
    ASSERT_TRUE(written.has_value());
    ASSERT_EQ(written->size(), 13u);
    EXPECT_EQ((*written)[2], 'V');
    programmer.withModel([&](DeviceModel& m) {
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), m.spiFlash().begin()));
        EXPECT_EQ(m.requestLog().size(), 2u);
    });

    const auto run = client.exchange(targetFrame('0'));
    ASSERT_TRUE(run.has_value());
    EXPECT_EQ(run->size(), 17u);
    EXPECT_FALSE(client.receive(50).has_value());  // exactly one reply per request
}

TEST_F(Link, unplugClosesTheConnectionAndRemovesTheSocketAndPlugBringsItBack) {
    VirtualProgrammer programmer(options("hot"));
    Client client(programmer.socketPath());
    ASSERT_TRUE(client.connected());
    ASSERT_EQ(client.exchange(connectFrame())->size(), 36u);

    programmer.unplug();
    EXPECT_FALSE(programmer.plugged());
    EXPECT_FALSE(fs::exists(programmer.socketPath()));
    const auto afterUnplug = client.receive();
    ASSERT_TRUE(afterUnplug.has_value());
    EXPECT_TRUE(afterUnplug->empty());  // the peer closed
    EXPECT_FALSE(Client(programmer.socketPath()).connected());

    ASSERT_TRUE(programmer.plug());
    EXPECT_TRUE(fs::exists(programmer.socketPath()));
    Client again(programmer.socketPath());
    ASSERT_TRUE(again.connected());
    EXPECT_EQ(again.exchange(connectFrame())->size(), 36u);
}

TEST_F(Link, destructionUnplugsAndSavesTheMemories) {
    Options o = options("dump");
    o.dumpCodePath = base_ + "/code.bin";
    o.dumpSpiPath = base_ + "/spi.bin";
    o.dumpFirmwarePath = base_ + "/firmware.bin";
    std::string socket;
    {
        VirtualProgrammer programmer(o);
        socket = programmer.socketPath();
        Client client(socket);
        ASSERT_EQ((*client.exchange(dataFrame('F', 0x10, {1, 2, 3})))[2], 'V');
        ASSERT_EQ((*client.exchange(dataFrame('F', 0x80004, {4, 5})))[2], 'V');
        ASSERT_EQ((*client.exchange(dataFrame('J', 0x20, {6})))[2], 'Z');
    }
    EXPECT_FALSE(fs::exists(socket));

    auto read = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    };
    Bytes code(0x80000, 0xFF), spi(2 * 1024 * 1024, 0xFF), firmware(256 * 1024, 0xFF);
    std::copy_n(Bytes{1, 2, 3}.begin(), 3, code.begin() + 0x10);
    std::copy_n(Bytes{4, 5}.begin(), 2, spi.begin() + 4);
    firmware[0x20] = 6;
    EXPECT_TRUE(read(o.dumpCodePath) == code);
    EXPECT_TRUE(read(o.dumpSpiPath) == spi);
    EXPECT_TRUE(read(o.dumpFirmwarePath) == firmware);
}

TEST_F(Link, twoProgrammersSideBySideAnswerEachForItself) {
    Options a = options("left");
    a.boardId = 0xA;
    Options b = options("right");
    b.boardId = 0xB;
    VirtualProgrammer left(a), right(b);
    ASSERT_TRUE(left.plugged());
    ASSERT_TRUE(right.plugged());
    Client toLeft(left.socketPath()), toRight(right.socketPath());
    EXPECT_EQ(get32(*toLeft.exchange(connectFrame()), 22), 0xAu);
    EXPECT_EQ(get32(*toRight.exchange(connectFrame()), 22), 0xBu);

    left.unplug();
    EXPECT_TRUE(fs::exists(right.socketPath()));
    EXPECT_EQ(get32(*toRight.exchange(connectFrame()), 22), 0xBu);
}

TEST_F(Link, aLiveNameIsNotTakenOverButAStaleSocketIsReplaced) {
    VirtualProgrammer first(options("same"));
    ASSERT_TRUE(first.plugged());
    VirtualProgrammer second(options("same"));
    EXPECT_FALSE(second.plugged());
    EXPECT_FALSE(second.plug());
    Client client(first.socketPath());
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(client.exchange(connectFrame())->size(), 36u);

    // A socket file whose owner died without unplugging.
    const std::string stale = base_ + "/run/stale.sock";
    {
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", stale.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    VirtualProgrammer revived(options("stale"));
    ASSERT_TRUE(revived.plugged());
    EXPECT_EQ(Client(stale).exchange(connectFrame())->size(), 36u);

    // A programmer whose file was taken from it does not remove the newcomer's on unplug.
    fs::remove(first.socketPath());
    VirtualProgrammer newcomer(options("same"));
    ASSERT_TRUE(newcomer.plugged());
    first.unplug();
    EXPECT_TRUE(fs::exists(newcomer.socketPath()));
    EXPECT_EQ(Client(newcomer.socketPath()).exchange(connectFrame())->size(), 36u);

    // A file that is not a socket is left alone.
    const std::string plain = base_ + "/run/plain.sock";
    std::ofstream(plain) << "keep";
    VirtualProgrammer refused(options("plain"));
    EXPECT_FALSE(refused.plugged());
    std::ifstream in(plain);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");
}

TEST_F(Link, aSecondConnectionIsTurnedAwayWhileOneIsServed) {
    VirtualProgrammer programmer(options("busy"));
    Client first(programmer.socketPath());
    ASSERT_EQ(first.exchange(connectFrame())->size(), 36u);
    Client second(programmer.socketPath());
    if (second.connected()) {
        second.send(connectFrame());
        const auto reply = second.receive();
        ASSERT_TRUE(reply.has_value());
        EXPECT_TRUE(reply->empty());
    }
    EXPECT_EQ(first.exchange(connectFrame())->size(), 36u);
}

TEST_F(Link, finishingAFirmwareUpdateRestartsAboutASecondLaterWithTheNewVersion) {
    Options o = options("restart");
    o.modeLetter = '[';
    VirtualProgrammer programmer(o);
    Client client(programmer.socketPath());
    Bytes image(0x1008, 0x00);
    image[0x1000] = 0x20;
    image[0x1001] = 0x11;
    image[0x1002] = 0x22;
    ASSERT_EQ((*client.exchange(dataFrame('J', 0, Bytes(image.begin(), image.begin() + 4096))))[2], 'Z');
    ASSERT_EQ((*client.exchange(dataFrame('J', 4096, Bytes(image.begin() + 4096, image.end()))))[2], 'Z');
    ASSERT_EQ((*client.exchange(checkFrame('L', 0, uint32_t(image.size()), crc0(image))))[8], 0);

    const auto start = std::chrono::steady_clock::now();
    const auto finished = client.exchange(finishFrame(1));
    ASSERT_TRUE(finished.has_value());
    ASSERT_EQ(finished->size(), 13u);
    EXPECT_EQ((*finished)[2], '_');
    const auto dropped = client.receive();
    ASSERT_TRUE(dropped.has_value());
    EXPECT_TRUE(dropped->empty());
    EXPECT_FALSE(programmer.plugged());
    EXPECT_FALSE(fs::exists(programmer.socketPath()));

    ASSERT_TRUE(programmer.waitPlugged(5000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    Client after(programmer.socketPath());
    const auto r = after.exchange(connectFrame());
    ASSERT_EQ(r->size(), 36u);
    EXPECT_EQ((*r)[2], ';');
    EXPECT_EQ(get24(*r, 3), 0x201122u);
}

TEST_F(Link, anUnplugFaultLeavesForGood) {
    Options o = options("gone");
    o.fault = Fault::Unplug;
    o.faultAtRequest = 2;
    VirtualProgrammer programmer(o);
    Client client(programmer.socketPath());
    ASSERT_EQ(client.exchange(connectFrame())->size(), 36u);
    const auto none = client.exchange(connectFrame());
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
    EXPECT_FALSE(fs::exists(programmer.socketPath()));
    EXPECT_FALSE(programmer.waitPlugged(1500));
}

TEST_F(Link, aNoReplyFaultSwallowsOneRequestAndTheNextIsAnswered) {
    Options o = options("quiet");
    o.fault = Fault::NoReply;
    o.faultAtRequest = 1;
    VirtualProgrammer programmer(o);
    Client client(programmer.socketPath());
    ASSERT_TRUE(client.send(connectFrame()));
    ASSERT_TRUE(client.send(targetFrame('0')));
    const auto reply = client.receive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->size(), 17u);  // the answer to the second request; the first got none
    EXPECT_FALSE(client.receive(100).has_value());
}

TEST_F(Link, aStallTakesOneRequestThenReadsNoMoreUntilTheToolHangsUp) {
    Options o = options("stalling");
    o.fault = Fault::Stall;
    o.faultAtRequest = 2;
    VirtualProgrammer programmer(o);
    {
        Client client(programmer.socketPath());
        ASSERT_EQ(client.exchange(connectFrame())->size(), 36u);
        ASSERT_TRUE(client.send(dataFrame('F', 0x80000, Bytes(4096, 0x5A))));
        EXPECT_FALSE(client.receive(200).has_value()) << "the stalled request gets no reply";
        // The link stays up, but the requests pile up until the queue is full.
        int queued = 0;
        while (queued < 1000 && client.sendNow(dataFrame('F', 0x80000, Bytes(4096, 0x5A))))
            ++queued;
        EXPECT_LT(queued, 1000) << "a sender must end up waiting";
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        uint32_t taken = 0;
        programmer.withModel([&](DeviceModel& m) { taken = m.requestCount(); });
        EXPECT_EQ(taken, 2u);
        EXPECT_TRUE(programmer.plugged());
    }
    // Once the tool has hung up, the next connection is served again.
    Client again(programmer.socketPath());
    const auto reply = again.exchange(connectFrame());
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->size(), 36u);
}

TEST_F(Link, unplugIsPromptEvenWhileASlowWireIsBusy) {
    Options o = options("slow");
    o.wireBytesPerSecond = 5;  // a connection exchange would take about ten seconds
    VirtualProgrammer programmer(o);
    Client client(programmer.socketPath());
    ASSERT_TRUE(client.send(connectFrame()));
    // Wait until the server has taken the request and is modelling its wire time.
    uint32_t taken = 0;
    for (int i = 0; i < 400 && taken == 0; ++i) {
        programmer.withModel([&](DeviceModel& m) { taken = m.requestCount(); });
        if (taken == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(taken, 1u);
    const auto start = std::chrono::steady_clock::now();
    programmer.unplug();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    const auto reply = client.receive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(reply->empty());
}

TEST_F(Link, unplugIsPromptWhenTheToolStopsReadingReplies) {
    VirtualProgrammer programmer(options("stuck"));
    Client client(programmer.socketPath());
    ASSERT_TRUE(client.connected());
    // Requests without reading a reply, until the replies fill the queue and the server, unable
    // to answer, stops taking requests.
    int refusedInARow = 0;
    for (int i = 0; i < 200000 && refusedInARow < 20; ++i) {
        if (client.sendNow(connectFrame())) {
            refusedInARow = 0;
        } else {
            ++refusedInARow;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ASSERT_GE(refusedInARow, 20);
    const auto start = std::chrono::steady_clock::now();
    programmer.unplug();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_FALSE(fs::exists(programmer.socketPath()));
}

TEST_F(Link, theReplyWaitsForTheModelledWireTime) {
    Options o = options("modelled");
    o.wireBytesPerSecond = 400;  // 36 + 36 bytes: 180 ms
    VirtualProgrammer programmer(o);
    Client client(programmer.socketPath());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(client.exchange(connectFrame())->size(), 36u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(170));
}

TEST_F(Link, traceShowsEveryRequestAndReplyInHex) {
    Options o = options("traced");
    o.trace = true;
    ::testing::internal::CaptureStderr();
    {
        VirtualProgrammer programmer(o);
        Client client(programmer.socketPath());
        ASSERT_TRUE(client.exchange(connectFrame()).has_value());
    }
    const std::string trace = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(trace.find("traced <- AA 55 4B 51 56 00"), std::string::npos) << trace;
    EXPECT_NE(trace.find("traced -> AA 55 3B 19 05 28 00 1C 40 16"), std::string::npos) << trace;
}

TEST(VirtualProgrammerDirectory, followsTheRuntimeDirectoryOrFallsBackToTmp) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string keep = saved ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(vprog::defaultDirectory(), "/run/user/4242/qv310-isp");
    ::setenv("XDG_RUNTIME_DIR", "", 1);
    EXPECT_EQ(vprog::defaultDirectory(), "/tmp/qv310-isp-" + std::to_string(::getuid()));
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(vprog::defaultDirectory(), "/tmp/qv310-isp-" + std::to_string(::getuid()));
    if (saved)
        ::setenv("XDG_RUNTIME_DIR", keep.c_str(), 1);

    // With no directory given the programmer lives in the standard one (here the test's own).
    Options o;
    o.name = "standard";
    VirtualProgrammer programmer(o);
    ASSERT_TRUE(programmer.plugged());
    EXPECT_EQ(programmer.socketPath(), vprog::defaultDirectory() + "/standard.sock");
    EXPECT_TRUE(fs::exists(programmer.socketPath()));
}

}  // namespace
