#pragma once

#include "usb/DeviceSearch.h"

#include <QDir>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace qvtest {

// A bare virtual programmer link peer for the failure paths the real virtual programmer does not
// take on its own: it accepts one connection and then behaves as told.
class RawPeer {
public:
    enum class Behaviour {
        Silent,            // reads requests, never answers
        CloseOnRequest,    // closes the connection when the first request arrives
        Echo,              // answers every request with the same bytes
    };

    RawPeer(const std::string& name, Behaviour behaviour) : behaviour_(behaviour) {
        QDir().mkpath(QString::fromStdString(qv::virtualProgrammerDirectory()));
        socketPath_ = qv::virtualProgrammerDirectory() + "/" + name + ".sock";
        ::unlink(socketPath_.c_str());
        listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath_.c_str(), sizeof(address.sun_path) - 1);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(listener_, 1);
        thread_ = std::thread([this] { serve(); });
    }
    ~RawPeer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
        ::unlink(socketPath_.c_str());
    }
    QString devicePath() const { return QStringLiteral("virtual:") + QString::fromStdString(socketPath_); }
    // Closes the connection from this side (the programmer went away).
    void hangUp() { hangUp_ = true; }
    int requestsSeen() const { return requests_; }

private:
    void serve() {
        int connection = -1;
        while (!stop_) {
            if (connection < 0) {
                pollfd p{listener_, POLLIN, 0};
                if (::poll(&p, 1, 20) > 0) connection = ::accept(listener_, nullptr, nullptr);
                continue;
            }
            if (hangUp_) {
                ::close(connection);
                connection = -2;  // served; accept nothing more
                continue;
            }
            if (connection == -2) {
                ::usleep(20000);
                continue;
            }
            pollfd p{connection, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            uint8_t buffer[8192];
            const ssize_t n = ::recv(connection, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                ::close(connection);
                connection = -2;
                continue;
            }
            ++requests_;
            if (behaviour_ == Behaviour::CloseOnRequest) {
                ::close(connection);
                connection = -2;
            } else if (behaviour_ == Behaviour::Echo) {
                ::send(connection, buffer, size_t(n), MSG_NOSIGNAL);
            }
        }
        if (connection >= 0) ::close(connection);
    }

    Behaviour behaviour_;
    std::string socketPath_;
    int listener_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hangUp_{false};
    std::atomic<int> requests_{0};
};

}  // namespace qvtest
