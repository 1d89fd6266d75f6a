#include "Interrupt.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace qv::cli {

namespace {

// The handler only counts and writes one byte: the watch thread does the rest.
int wakePipe[2] = {-1, -1};
volatile std::sig_atomic_t signalsSeen = 0;

constexpr char kInterrupted = 'i';
constexpr char kQuit = 'q';

extern "C" void onSignal(int) {
    if (signalsSeen++ > 0)
        _exit(130);
    const int saved = errno;
    const char byte = kInterrupted;
    (void)!::write(wakePipe[1], &byte, 1);
    errno = saved;
}

struct sigaction previousInt {};
struct sigaction previousTerm {};
struct sigaction previousHup {};

}  // namespace

InterruptWatch::InterruptWatch(std::function<void()> onInterrupt) : onInterrupt_(std::move(onInterrupt)) {
    signalsSeen = 0;
    if (::pipe(wakePipe) != 0)
        return;
    ::fcntl(wakePipe[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(wakePipe[1], F_SETFD, FD_CLOEXEC);
    thread_ = std::thread([this] { watch(); });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &previousInt);
    ::sigaction(SIGTERM, &action, &previousTerm);
    // A closed terminal or SSH session hangs up: the same as SIGTERM, not the sudden end that
    // SIGHUP's default would be (boards without rows, numbers left taken).
    ::sigaction(SIGHUP, &action, &previousHup);
}

InterruptWatch::~InterruptWatch() {
    if (!thread_.joinable())
        return;
    ::sigaction(SIGINT, &previousInt, nullptr);
    ::sigaction(SIGTERM, &previousTerm, nullptr);
    ::sigaction(SIGHUP, &previousHup, nullptr);
    const char byte = kQuit;
    (void)!::write(wakePipe[1], &byte, 1);
    thread_.join();
    ::close(wakePipe[0]);
    ::close(wakePipe[1]);
    wakePipe[0] = wakePipe[1] = -1;
}

void InterruptWatch::watch() {
    for (;;) {
        char byte = 0;
        const ssize_t n = ::read(wakePipe[0], &byte, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != 1 || byte == kQuit)
            return;
        if (!interrupted_.exchange(true, std::memory_order_acq_rel))
            onInterrupt_();
    }
}

}  // namespace qv::cli
