#include "vprog/VirtualProgrammer.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vprog {

namespace {

using Clock = std::chrono::steady_clock;

// Large enough for the biggest request (4110 bytes) with room to spare: a longer message is
// truncated and then refused by the model for its wrong size.
constexpr size_t kReceiveBuffer = 8192;
constexpr int kPollMillis = 100;
constexpr auto kRestartPause = std::chrono::milliseconds(1000);

void warn(const std::string& name, const std::string& what) {
    std::fprintf(stderr, "qv310-vprog %s: %s\n", name.c_str(), what.c_str());
}

std::string hexLine(const uint8_t* data, size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(length * 3);
    for (size_t i = 0; i < length; ++i) {
        if (i)
            out += ' ';
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

// Creates dir (and missing parents) with mode 0700 and makes sure it is a directory of ours:
// sockets in a directory someone else controls could be swapped under the tool.
bool prepareDirectory(const std::string& dir, std::string& error) {
    for (size_t slash = 1; slash <= dir.size(); ++slash) {
        if (slash != dir.size() && dir[slash] != '/')
            continue;
        const std::string part = dir.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = dir + " is not a directory";
        return false;
    }
    if (st.st_uid != ::getuid()) {
        error = dir + " belongs to another user";
        return false;
    }
    return true;
}

bool makeAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int seqpacketSocket() {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    if (fd >= 0)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

// A socket file left by a programmer that died without unplugging refuses connections; a live
// one accepts them. Only the stale kind may be removed.
bool socketIsLive(const sockaddr_un& address) {
    const int fd = seqpacketSocket();
    if (fd < 0)
        return false;
    const bool live = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return live;
}

// The device path must name the socket absolutely, wherever the tool runs from.
std::string absolute(const std::string& dir) {
    if (!dir.empty() && dir[0] == '/')
        return dir;
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr)
        return dir;
    return std::string(cwd) + "/" + dir;
}

}  // namespace

std::string defaultDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0')
        return std::string(runtime) + "/qv310-isp";
    return "/tmp/qv310-isp-" + std::to_string(::getuid());
}

// One server thread owns every descriptor; plug() and unplug() only post what they want and wait
// until the thread has done it, so no descriptor is ever closed under a poll of another thread.
struct VirtualProgrammer::Impl {
    Options options;
    std::string directory;
    std::string socketPath;

    std::mutex modelMutex;
    DeviceModel model;

    std::mutex stateMutex;
    std::condition_variable stateChanged;
    bool wantPlugged = false;
    bool plugged = false;
    bool quit = false;
    bool restartPending = false;
    Clock::time_point restartAt;
    uint64_t plugRequests = 0;  // plug() calls so far
    uint64_t plugAnswers = 0;   // plug() calls the server has tried

    int wakeRead = -1;
    int wakeWrite = -1;
    int listenFd = -1;      // server thread only
    int connFd = -1;        // server thread only
    bool stalled = false;   // server thread only: the connection's requests are no longer read
    ino_t socketInode = 0;  // of the socket file we made
    std::thread thread;

    explicit Impl(Options o)
        : options(std::move(o)),
          directory(absolute(options.directory.empty() ? defaultDirectory() : options.directory)),
          socketPath(directory + "/" + options.name + ".sock"),
          model(options) {}

    void wake() {
        const char byte = 1;
        // A full pipe already holds a wake-up; nothing is lost when this write fails.
        [[maybe_unused]] ssize_t ignored = ::write(wakeWrite, &byte, 1);
    }
    void drainWake() {
        char buffer[64];
        while (::read(wakeRead, buffer, sizeof buffer) > 0) {
        }
    }

    // Server thread, stateMutex held: something for the thread to do other than serving.
    bool commandPending() const {
        return quit || (wantPlugged && !plugged && !restartPending) || (!wantPlugged && plugged) ||
               plugRequests != plugAnswers;
    }

    bool openListener() {
        std::string error;
        if (!prepareDirectory(directory, error)) {
            warn(options.name, error);
            return false;
        }
        sockaddr_un address;
        if (!makeAddress(socketPath, address)) {
            warn(options.name, "socket path too long: " + socketPath);
            return false;
        }
        struct stat st {};
        if (::lstat(socketPath.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) {
                warn(options.name, socketPath + " exists and is not a socket");
                return false;
            }
            if (socketIsLive(address)) {
                warn(options.name, "another programmer already serves " + socketPath);
                return false;
            }
            ::unlink(socketPath.c_str());
        }
        const int fd = seqpacketSocket();
        if (fd < 0) {
            warn(options.name, std::string("socket: ") + std::strerror(errno));
            return false;
        }
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 4) != 0) {
            warn(options.name, "cannot listen on " + socketPath + ": " + std::strerror(errno));
            ::close(fd);
            return false;
        }
        listenFd = fd;
        socketInode = ::lstat(socketPath.c_str(), &st) == 0 ? st.st_ino : 0;
        return true;
    }

    void closeConnection() {
        if (connFd >= 0)
            ::close(connFd);
        connFd = -1;
        stalled = false;
    }

    // Unplugging: the socket file goes first, so whoever sees the connection drop finds the
    // programmer already gone from the directory, as a USB box is gone when its transfer fails.
    void closeListener() {
        if (listenFd >= 0) {
            // Only our own file: if it was removed behind our back and the name taken by another
            // programmer since, that one stays.
            struct stat st {};
            if (::lstat(socketPath.c_str(), &st) == 0 && st.st_ino == socketInode)
                ::unlink(socketPath.c_str());
            ::close(listenFd);
        }
        listenFd = -1;
        closeConnection();
    }

    void trace(const char* direction, const uint8_t* data, size_t length) {
        if (!options.trace)
            return;
        std::fprintf(stderr, "%s %s %s\n", options.name.c_str(), direction, hexLine(data, length).c_str());
    }

    // Waits up to delay unless a command (unplug, quit) arrives first; true when it ran out.
    bool pause(std::unique_lock<std::mutex>& lock, uint64_t delayMicros) {
        if (delayMicros == 0)
            return true;
        return !stateChanged.wait_for(lock, std::chrono::microseconds(delayMicros),
                                      [this] { return commandPending(); });
    }

    // Server thread, stateMutex held: does what plug()/unplug() asked.
    void applyCommands() {
        bool changed = false;
        if (plugRequests != plugAnswers) {
            restartPending = false;
            if (!plugged) {
                plugged = openListener();
                wantPlugged = plugged;
            }
            plugAnswers = plugRequests;
            changed = true;
        }
        if (!wantPlugged && (plugged || restartPending)) {
            closeListener();
            plugged = false;
            restartPending = false;
            changed = true;
        }
        if (restartPending && Clock::now() >= restartAt) {
            restartPending = false;
            plugged = openListener();
            wantPlugged = plugged;
            changed = true;
        }
        if (changed)
            stateChanged.notify_all();
    }

    // Server thread, stateMutex held: the programmer leaves the bus.
    void vanish(bool comesBack) {
        closeListener();
        plugged = false;
        if (comesBack) {
            restartPending = true;
            restartAt = Clock::now() + kRestartPause;
        } else {
            wantPlugged = false;
        }
        stateChanged.notify_all();
    }

    // Server thread: true while the served tool still holds its end of the connection.
    bool connectionAlive() const {
        if (connFd < 0)
            return false;
        pollfd p{connFd, POLLIN, 0};
        if (::poll(&p, 1, 0) < 0)
            return true;
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL))
            return false;
        if (p.revents & POLLIN) {
            char byte;
            return ::recv(connFd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != 0;
        }
        return true;
    }

    // Server thread: takes a new connection, or turns it away while another tool is served, as
    // a box that is already open cannot be opened a second time.
    void acceptConnection() {
        const int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0)
            return;
        if (connectionAlive()) {
            ::close(fd);
            return;
        }
        closeConnection();
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        connFd = fd;
    }

    // Server thread, stateMutex held: sends one reply message. A tool that stops reading must
    // not hold the server (and with it unplug) forever, so a full queue is waited out in steps.
    bool sendReply(std::unique_lock<std::mutex>& lock, const std::vector<uint8_t>& reply) {
        while (true) {
            const ssize_t sent = ::send(connFd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent == ssize_t(reply.size()))
                return true;
            if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return false;
            pollfd p{connFd, POLLOUT, 0};
            lock.unlock();
            ::poll(&p, 1, kPollMillis);
            lock.lock();
            if (commandPending())
                return false;
        }
    }

    void serveRequest(std::unique_lock<std::mutex>& lock, std::vector<uint8_t>& buffer) {
        lock.unlock();
        const ssize_t received = ::recv(connFd, buffer.data(), buffer.size(), 0);
        lock.lock();
        if (received <= 0) {
            if (received == 0 || (errno != EINTR && errno != EAGAIN))
                closeConnection();
            return;
        }
        const size_t length = size_t(received);
        trace("<-", buffer.data(), length);

        DeviceModel::Response response;
        {
            std::lock_guard<std::mutex> modelLock(modelMutex);
            response = model.handle(buffer.data(), length);
        }
        if (!pause(lock, response.delayMicros))
            return;  // unplugged while the box was busy

        switch (response.outcome) {
            case DeviceModel::Outcome::NoReply:
                return;
            case DeviceModel::Outcome::Stall:
                stalled = true;
                return;
            case DeviceModel::Outcome::Unplug:
                vanish(false);
                return;
            case DeviceModel::Outcome::Reply:
            case DeviceModel::Outcome::Restart:
                break;
        }
        trace("->", response.reply.data(), response.reply.size());
        if (!sendReply(lock, response.reply)) {
            closeConnection();
            return;
        }
        if (response.outcome == DeviceModel::Outcome::Restart)
            vanish(true);
    }

    void run() {
#ifdef __linux__
        // The modelled delays are a few hundred microseconds; with the default timer slack of
        // 50 us every wait for one would run that much long and the box would seem slower than
        // its model.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
        std::vector<uint8_t> buffer(kReceiveBuffer);
        std::unique_lock<std::mutex> lock(stateMutex);
        while (true) {
            applyCommands();
            if (quit)
                break;
            if (!plugged) {
                if (restartPending) {
                    stateChanged.wait_until(lock, restartAt, [this] { return commandPending(); });
                } else {
                    stateChanged.wait(lock, [this] { return commandPending(); });
                }
                continue;
            }

            // A stalled connection is watched only for the tool hanging up.
            pollfd fds[3] = {
                {wakeRead, POLLIN, 0}, {listenFd, POLLIN, 0}, {connFd, short(stalled ? 0 : POLLIN), 0}};
            const nfds_t count = connFd >= 0 ? 3 : 2;
            lock.unlock();
            const int ready = ::poll(fds, count, kPollMillis);
            lock.lock();
            if (ready <= 0)
                continue;
            if (fds[0].revents)
                drainWake();
            if (commandPending())
                continue;
            // The served connection first: a tool that hung up must not keep the next one out.
            if (count == 3 && fds[2].revents) {
                if (fds[2].revents & POLLIN) {
                    serveRequest(lock, buffer);
                } else {
                    closeConnection();  // the tool hung up
                }
                if (commandPending())
                    continue;
            }
            if (listenFd >= 0 && (fds[1].revents & POLLIN))
                acceptConnection();
        }
        closeListener();
        plugged = false;
        stateChanged.notify_all();
    }

    // The paths are read from the model's options, so they may still be set or cleared while
    // the programmer runs.
    void saveMemories() {
        std::lock_guard<std::mutex> modelLock(modelMutex);
        const Options& current = model.options();
        const struct {
            const std::string& path;
            const std::vector<uint8_t>& data;
        } dumps[] = {{current.dumpCodePath, model.codeFlash()},
                     {current.dumpSpiPath, model.spiFlash()},
                     {current.dumpFirmwarePath, model.firmwareArea()}};
        for (const auto& dump : dumps) {
            if (dump.path.empty())
                continue;
            std::ofstream out(dump.path, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(dump.data.data()), std::streamsize(dump.data.size()));
            out.close();
            if (!out)
                warn(options.name, "cannot save " + dump.path);
        }
    }
};

VirtualProgrammer::VirtualProgrammer(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
    int fds[2];
    if (::pipe(fds) == 0) {
        for (int fd : fds) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        impl_->wakeRead = fds[0];
        impl_->wakeWrite = fds[1];
    } else {
        warn(impl_->options.name, std::string("pipe: ") + std::strerror(errno));
        impl_->wakeRead = impl_->wakeWrite = -1;
    }
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
    plug();
}

VirtualProgrammer::~VirtualProgrammer() {
    {
        std::lock_guard<std::mutex> lock(impl_->stateMutex);
        impl_->quit = true;
        impl_->stateChanged.notify_all();
    }
    impl_->wake();
    impl_->thread.join();
    if (impl_->wakeRead >= 0)
        ::close(impl_->wakeRead);
    if (impl_->wakeWrite >= 0)
        ::close(impl_->wakeWrite);
    impl_->saveMemories();
}

bool VirtualProgrammer::plug() {
    std::unique_lock<std::mutex> lock(impl_->stateMutex);
    if (impl_->plugged)
        return true;
    const uint64_t ticket = ++impl_->plugRequests;
    impl_->stateChanged.notify_all();
    impl_->wake();
    impl_->stateChanged.wait(lock, [&] { return impl_->plugAnswers >= ticket || impl_->quit; });
    return impl_->plugged;
}

void VirtualProgrammer::unplug() {
    std::unique_lock<std::mutex> lock(impl_->stateMutex);
    impl_->wantPlugged = false;
    impl_->stateChanged.notify_all();
    impl_->wake();
    impl_->stateChanged.wait(lock,
                             [&] { return (!impl_->plugged && !impl_->restartPending) || impl_->quit; });
}

bool VirtualProgrammer::plugged() const {
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    return impl_->plugged;
}

std::string VirtualProgrammer::devicePath() const {
    return "virtual:" + impl_->socketPath;
}

std::string VirtualProgrammer::socketPath() const {
    return impl_->socketPath;
}

void VirtualProgrammer::withModel(const std::function<void(DeviceModel&)>& fn) {
    std::lock_guard<std::mutex> lock(impl_->modelMutex);
    fn(impl_->model);
}

bool VirtualProgrammer::waitPlugged(int timeoutMs) {
    std::unique_lock<std::mutex> lock(impl_->stateMutex);
    return impl_->stateChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                        [this] { return impl_->plugged; });
}

}  // namespace vprog
