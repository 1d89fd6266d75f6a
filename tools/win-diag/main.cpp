// qv310-diag: finds the programmers attached to this computer, opens one and runs the connection
// handshake, then prints what the programmer reports about itself. For checking a programmer and
// its driver without the window.
//
// Exit status: 0 connected; 1 no programmer, open failed, or no or bad reply; 2 bad usage.
#include "ConnectionReport.h"

#include "protocol/Frames.h"
#include "usb/DeviceSearch.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kConnected = 0;
constexpr int kFailed = 1;
constexpr int kBadUsage = 2;

constexpr long kDefaultTimeoutMs = 3000;
constexpr long kLongestTimeoutMs = 600000;

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: qv310-diag [--list] [--device PATH] [--timeout MS]\n"
                 "\n"
                 "Lists the programmers attached to this computer, opens the first one (or PATH),\n"
                 "sends the connection request and prints the programmer's mode, firmware\n"
                 "versions, board MCU, board id and flash id.\n"
                 "\n"
                 "  --list          only list the programmers found\n"
                 "  --device PATH   open PATH (a device interface path as listed) instead of\n"
                 "                  the first programmer found\n"
                 "  --timeout MS    give up when the exchange has not finished after MS\n"
                 "                  milliseconds (1 to %ld, default %ld)\n"
                 "  -h, --help      show this text\n"
                 "\n"
                 "Exit status: 0 connected; 1 no programmer, open failed, or no or bad reply;\n"
                 "2 bad usage.\n",
                 kLongestTimeoutMs, kDefaultTimeoutMs);
}

struct Options {
    bool help = false;
    bool listOnly = false;
    std::string device;
    long timeoutMs = kDefaultTimeoutMs;
};

bool parseTimeout(const char* text, long* value) {
    if (!text || !*text)
        return false;
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (*end != '\0' || parsed < 1 || parsed > kLongestTimeoutMs)
        return false;
    *value = parsed;
    return true;
}

// False, after printing why, when the arguments make no sense.
bool parseArguments(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            options->help = true;
        } else if (argument == "--list") {
            options->listOnly = true;
        } else if (argument == "--device") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                std::fprintf(stderr, "qv310-diag: --device needs a path\n");
                return false;
            }
            options->device = argv[++i];
        } else if (argument == "--timeout") {
            if (i + 1 >= argc || !parseTimeout(argv[i + 1], &options->timeoutMs)) {
                std::fprintf(stderr, "qv310-diag: --timeout needs a number of milliseconds from 1 to %ld\n",
                             kLongestTimeoutMs);
                return false;
            }
            ++i;
        } else {
            std::fprintf(stderr, "qv310-diag: unknown argument '%s'\n", argument.c_str());
            return false;
        }
    }
    return true;
}

// Closes the transport when the exchange takes too long, which makes a waiting write or read
// fail at once; a programmer that never answers cannot hang the program.
class Deadline {
  public:
    Deadline(qv::UsbTransport* transport, long timeoutMs)
        : thread_([this, transport, timeoutMs] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!cancel_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return done_; })) {
                  expired_ = true;
                  lock.unlock();
                  transport->close();
              }
          }) {}

    ~Deadline() { cancel(); }

    // Stops the clock; true when it had run out before.
    bool cancel() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cancel_.notify_all();
        if (thread_.joinable())
            thread_.join();
        std::lock_guard<std::mutex> lock(mutex_);
        return expired_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cancel_;
    bool done_ = false;
    bool expired_ = false;
    std::thread thread_;  // last: starts once the members it uses exist
};

int run(const Options& options) {
    const std::vector<std::string> paths = qv::findRealProgrammers();
    std::printf("Programmers found: %zu\n", paths.size());
    for (size_t i = 0; i < paths.size(); ++i)
        std::printf("  [%zu] %s\n", i, paths[i].c_str());
    if (options.listOnly)
        return paths.empty() ? kFailed : kConnected;

    const std::string path =
        options.device.empty() ? (paths.empty() ? std::string() : paths.front()) : options.device;
    if (path.empty()) {
        std::printf("No programmer found. Is it plugged in, and is the WinUSB driver bound to it?\n");
        return kFailed;
    }

    std::unique_ptr<qv::UsbTransport> transport = qv::makeTransportFor(path);
    if (!transport) {
        std::printf("Open fail: %s (no transport for this kind of path here)\n", path.c_str());
        return kFailed;
    }
    std::printf("Opening %s\n", path.c_str());
    if (!transport->open(path)) {
        std::printf("Open fail\n");
        return kFailed;
    }
    std::printf("Open the programmer ok...\n");

    uint8_t tx[4160] = {};
    const uint32_t txLength = qv::frame::buildConnectFrame(tx);
    uint8_t rx[1024] = {};
    int32_t received = -1;
    bool written = false;
    bool expired = false;
    {
        Deadline deadline(transport.get(), options.timeoutMs);
        written = transport->write(tx, txLength, nullptr) == 1;
        if (written)
            received = transport->read(rx, nullptr);
        expired = deadline.cancel();
    }
    std::printf("Sent (%u bytes): %s\n", static_cast<unsigned>(txLength),
                qv::diag::hexBytes(tx, txLength).c_str());
    if (!written || received < 0) {
        if (expired) {
            std::printf("No reply within %ld ms\n", options.timeoutMs);
        } else {
            std::printf("%s failed: the device is gone or its pipe stalled\n", written ? "Read" : "Write");
        }
        std::printf("Fail to connect the programmer...\n");
        return kFailed;
    }
    const uint32_t length = static_cast<uint32_t>(received);
    std::printf("Reply (%u bytes): %s\n", static_cast<unsigned>(length),
                qv::diag::hexBytes(rx, length).c_str());
    const qv::diag::ConnectionReport report = qv::diag::readConnectionReply(rx, length);
    std::fputs(qv::diag::describe(report).c_str(), stdout);
    if (report.status != qv::diag::ReplyStatus::Connected) {
        std::printf("Fail to connect the programmer...\n");
        return kFailed;
    }
    std::printf("Connect the programmer successful\n");
    return kConnected;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseArguments(argc, argv, &options)) {
        printUsage(stderr);
        return kBadUsage;
    }
    if (options.help) {
        printUsage(stdout);
        return kConnected;
    }
    const int status = run(options);
    std::fflush(stdout);
    return status;
}
