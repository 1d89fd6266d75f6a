// The virtual programmer link: one AF_UNIX SOCK_SEQPACKET connection per open device.
// A write is one message of exactly n bytes; a read is one message of at most 512 bytes.
// No time-outs: a read waits until a reply arrives or the programmer goes away, a write until the
// programmer takes the request. Both poll only so that they can give up when the worker is told to
// stop.
#include "DeviceSearch.h"

#include "vlink/VirtualDirectory.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace qv {

namespace {

constexpr int kAbandonCheckMs = 50;

class VirtualLinkTransport : public UsbTransport {
public:
    // The descriptor is released here, once, when no thread uses the transport any more.
    ~VirtualLinkTransport() override {
        if (fd_ >= 0) ::close(fd_);
    }

    bool open(const std::string& path) override {
        const size_t prefix = std::strlen(kVirtualPathPrefix);
        if (path.size() <= prefix) return false;
        const std::string socketPath = path.substr(prefix);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (socketPath.size() >= sizeof(address.sun_path)) return false;
        std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            ::close(fd);
            return false;
        }
        fd_ = fd;
        return true;
    }

    // Ends the connection: a read waiting on the other thread wakes and fails, later transfers
    // fail at once. The descriptor itself stays valid until the destructor, so it can never be
    // reused under a transfer that is still running.
    void close() override {
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    }

    // One message, sent whole or not at all. A programmer that stops reading fills the socket's
    // queue, and then the send would wait; it waits in poll() instead, so that a stop request or a
    // close ends it.
    int32_t write(const uint8_t* buffer, uint32_t length, const std::atomic<uint8_t>* abandon) override {
        if (fd_ < 0)
            return -1;
        for (;;) {
            const ssize_t sent = ::send(fd_, buffer, length, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent >= 0)
                return uint32_t(sent) == length ? 1 : -1;
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return -1;
            if (abandon && abandon->load(std::memory_order_acquire) != 0)
                return kWriteAbandoned;
            pollfd waiting{fd_, POLLOUT, 0};
            if (::poll(&waiting, 1, abandon ? kAbandonCheckMs : -1) < 0 && errno != EINTR)
                return -1;
        }
    }

    int32_t read(uint8_t* buffer, const std::atomic<uint8_t>* abandon) override {
        if (fd_ < 0) return -1;
        for (;;) {
            if (abandon && abandon->load(std::memory_order_acquire) != 0) return kReadAbandoned;
            pollfd waiting{fd_, POLLIN, 0};
            const int ready = ::poll(&waiting, 1, abandon ? kAbandonCheckMs : -1);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            if (ready == 0) continue;
            const ssize_t received = ::recv(fd_, buffer, kReadSize, 0);
            if (received < 0 && errno == EINTR) continue;
            // 0 means the programmer went away.
            if (received <= 0) return -1;
            return int32_t(received);
        }
    }

private:
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<UsbTransport> makeVirtualLinkTransport() { return std::make_unique<VirtualLinkTransport>(); }

std::string virtualProgrammerDirectory() { return standardVirtualDirectory(); }

std::vector<std::string> findVirtualProgrammers() {
    std::vector<std::string> paths;
    std::error_code error;
    const std::filesystem::path directory = std::filesystem::absolute(virtualProgrammerDirectory(), error);
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        const std::filesystem::path& entry = it->path();
        if (entry.extension() == ".sock" && !it->is_directory(error)) {
            paths.push_back(kVirtualPathPrefix + entry.string());
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

}  // namespace qv
