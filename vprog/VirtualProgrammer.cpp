#include "vprog/VirtualProgrammer.h"

#include "vlink/VirtualDirectory.h"
#include "vprog/LinkServer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

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

// Large enough for the biggest request (4110 bytes) with room to spare: a longer message is
// truncated and then refused by the model for its wrong size.
constexpr size_t kReceiveBuffer = 8192;
constexpr int kPollMillis = 100;

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
    return qv::standardVirtualDirectory();
}

// One server thread owns every descriptor; plug() and unplug() only post what they want and wait
// until the thread has done it, so no descriptor is ever closed under a poll of another thread.
struct VirtualProgrammer::Impl : LinkServer {
    std::string directory;
    std::string socketPath;

    int wakeRead = -1;
    int wakeWrite = -1;
    int listenFd = -1;      // server thread only
    int connFd = -1;        // server thread only
    bool stalled = false;   // server thread only: the connection's requests are no longer read
    ino_t socketInode = 0;  // of the socket file we made
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kReceiveBuffer);  // server thread only

    explicit Impl(Options o)
        : LinkServer(std::move(o)),
          directory(absolute(options.directory.empty() ? defaultDirectory() : options.directory)),
          socketPath(directory + "/" + options.name + ".sock") {}

    void wake() override {
        const char byte = 1;
        // A full pipe already holds a wake-up; nothing is lost when this write fails.
        [[maybe_unused]] ssize_t ignored = ::write(wakeWrite, &byte, 1);
    }
    void drainWake() {
        char bytes[64];
        while (::read(wakeRead, bytes, sizeof bytes) > 0) {
        }
    }

    void serverThreadStarted() override {
#ifdef __linux__
        // The modelled delays are a few hundred microseconds; with the default timer slack of
        // 50 us every wait for one would run that much long and the box would seem slower than
        // its model.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    }

    bool openListener() override {
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

    void closeConnection() override {
        if (connFd >= 0)
            ::close(connFd);
        connFd = -1;
        stalled = false;
    }

    // Unplugging: the socket file goes first, so whoever sees the connection drop finds the
    // programmer already gone from the directory, as a USB box is gone when its transfer fails.
    void closeListener() override {
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

    void stallConnection() override {
        stalled = true;
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

    // A tool that stops reading must not hold the server (and with it unplug) forever, so a full
    // queue is waited out in steps.
    bool sendReply(std::unique_lock<std::mutex>& lock, const std::vector<uint8_t>& reply) override {
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

    void receiveRequest(std::unique_lock<std::mutex>& lock) {
        lock.unlock();
        const ssize_t received = ::recv(connFd, buffer.data(), buffer.size(), 0);
        lock.lock();
        if (received <= 0) {
            if (received == 0 || (errno != EINTR && errno != EAGAIN))
                closeConnection();
            return;
        }
        handleRequest(lock, buffer.data(), size_t(received));
    }

    void serveLink(std::unique_lock<std::mutex>& lock) override {
        // A stalled connection is watched only for the tool hanging up.
        pollfd fds[3] = {
            {wakeRead, POLLIN, 0}, {listenFd, POLLIN, 0}, {connFd, short(stalled ? 0 : POLLIN), 0}};
        const nfds_t count = connFd >= 0 ? 3 : 2;
        lock.unlock();
        const int ready = ::poll(fds, count, kPollMillis);
        lock.lock();
        if (ready <= 0)
            return;
        if (fds[0].revents)
            drainWake();
        if (commandPending())
            return;
        // The served connection first: a tool that hung up must not keep the next one out.
        if (count == 3 && fds[2].revents) {
            if (fds[2].revents & POLLIN) {
                receiveRequest(lock);
            } else {
                closeConnection();  // the tool hung up
            }
            if (commandPending())
                return;
        }
        if (listenFd >= 0 && (fds[1].revents & POLLIN))
            acceptConnection();
    }

    bool saveFile(const std::string& path, const std::vector<uint8_t>& data) override {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
        out.close();
        return bool(out);
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
        warn(impl_->name(), std::string("pipe: ") + std::strerror(errno));
        impl_->wakeRead = impl_->wakeWrite = -1;
    }
    impl_->start();
    plug();
}

VirtualProgrammer::~VirtualProgrammer() {
    impl_->stop();
    if (impl_->wakeRead >= 0)
        ::close(impl_->wakeRead);
    if (impl_->wakeWrite >= 0)
        ::close(impl_->wakeWrite);
    impl_->saveMemories();
}

bool VirtualProgrammer::plug() {
    return impl_->plug();
}

void VirtualProgrammer::unplug() {
    impl_->unplug();
}

bool VirtualProgrammer::plugged() const {
    return impl_->isPlugged();
}

std::string VirtualProgrammer::devicePath() const {
    return "virtual:" + impl_->socketPath;
}

std::string VirtualProgrammer::socketPath() const {
    return impl_->socketPath;
}

void VirtualProgrammer::withModel(const std::function<void(DeviceModel&)>& fn) {
    impl_->withModel(fn);
}

bool VirtualProgrammer::waitPlugged(int timeoutMs) {
    return impl_->waitPlugged(timeoutMs);
}

}  // namespace vprog
