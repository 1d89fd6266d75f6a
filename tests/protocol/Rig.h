#pragma once

#include "engine/ProgrammerSession.h"
#include "protocol/Crc32.h"
#include "protocol/Frames.h"
#include "protocol/Pacing.h"
#include "protocol/ProgrammerLink.h"
#include "support/RecordingHost.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"
#include "vprog/VirtualProgrammer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace prototest {

using Bytes = std::vector<uint8_t>;

// The slow pause shortened to 100 us, for the cases where a budget is meant to run out: thousands
// of checks then take a fraction of a second, while a budget of 1000 checks still leaves a loaded
// machine 100 ms to hand a frame over. The budgets themselves and the code paths are the tool's.
// Everything else runs with the standard pauses, so that a slow machine never exhausts a budget.
inline qv::Pacing quickPacing() {
    qv::Pacing pacing = qv::Pacing::standard();
    pacing.slowPause = [] { std::this_thread::sleep_for(std::chrono::microseconds(100)); };
    return pacing;
}

// The event style with each budgeted check lasting 100 us instead of 1 ms (2 us fast checks stay):
// budgets meant to run out end ten times sooner.
inline qv::Pacing quickEventPacing() {
    qv::Pacing pacing = qv::Pacing::event();
    pacing.slowCheckMicros = 100;
    return pacing;
}

// A working directory of its own, holding the Flash.ini the test wants (or none).
class WorkDir {
  public:
    WorkDir() : previous_(QDir::currentPath()) { QDir::setCurrent(dir_.path()); }
    ~WorkDir() { QDir::setCurrent(previous_); }
    void writeFlashIni(const QByteArray& text) {
        QFile file(dir_.path() + QStringLiteral("/Flash.ini"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
    void removeFlashIni() { QFile::remove(dir_.path() + QStringLiteral("/Flash.ini")); }
    QString path() const { return dir_.path(); }

  private:
    QTemporaryDir dir_;
    QString previous_;
};

inline const QByteArray kTestCatalogue =
    "[FLASH]\r\n0xEF4015,512,4096,W25Q16,\r\n0x1C4016,512,4096,EN25QH16,\r\n";

// One programmer session (device, worker, link) reporting to a recording host. The programmer
// behind it is a virtual programmer (plugVirtual) or anything else that serves a link socket.
struct Rig {
    std::unique_ptr<vprog::VirtualProgrammer> vp;
    qvtest::RecordingHost host;
    qv::engine::ProgrammerSession session;
    qv::UsbDevice& device;
    USB_BURN_CTRL& worker;
    qv::ProgrammerLink& link;

    explicit Rig(qv::Pacing pacing = qv::Pacing::standard())
        : session(host, pacing), device(session.device), worker(session.worker), link(session.link) {}
    ~Rig() { shutDown(); }

    // Unplugs the programmer first so that a worker waiting in a read comes back.
    void shutDown() {
        if (vp)
            vp->unplug();
        worker.stopAndWait();
        device.close();
    }

    void plugVirtual(vprog::Options options) {
        vp = std::make_unique<vprog::VirtualProgrammer>(std::move(options));
        ASSERT_TRUE(vp->plug());
    }
    QString path() const { return QString::fromStdString(vp->devicePath()); }

    // Opens the device and starts the worker without a handshake.
    void openOnly(const QString& devicePath) {
        ASSERT_TRUE(device.open(devicePath));
        worker.start();
    }

    // The whole "Open programmer" slot; the handshake must succeed.
    void openAndConnect() {
        qv::openProgrammer(link, host, QStringList{path()}, 0);
        ASSERT_TRUE(host.log.contains(QStringLiteral("Connect the programmer successful")))
            << host.log.join(QLatin1Char('\n')).toStdString();
    }

    // The next request the virtual programmer receives gets this fault.
    void faultNext(vprog::Fault fault) {
        vp->withModel([fault](vprog::DeviceModel& m) {
            m.mutableOptions().fault = fault;
            m.mutableOptions().faultAtRequest = m.requestCount() + 1;
        });
    }

    std::vector<Bytes> requests() {
        std::vector<Bytes> log;
        vp->withModel([&log](vprog::DeviceModel& m) { log = m.requestLog(); });
        return log;
    }
    uint32_t requestCount() {
        uint32_t n = 0;
        vp->withModel([&n](vprog::DeviceModel& m) { n = m.requestCount(); });
        return n;
    }
};

// A programmer that answers every request with the same scripted bytes, for replies the virtual
// programmer never sends. It serves one connection on a link socket of its own.
class ScriptedPeer {
  public:
    explicit ScriptedPeer(Bytes reply) : reply_(std::move(reply)) {
        const std::string dir = vprog::defaultDirectory();
        ::mkdir(dir.c_str(), 0700);
        socketPath_ = dir + "/scripted.sock";
        ::unlink(socketPath_.c_str());
        listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath_.c_str());
        ok_ = listenFd_ >= 0 &&
              ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::listen(listenFd_, 1) == 0;
        if (ok_)
            thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedPeer() { stop(); }

    void stop() {
        if (listenFd_ >= 0)
            ::shutdown(listenFd_, SHUT_RDWR);
        const int conn = connFd_.exchange(-2);
        if (conn >= 0)
            ::shutdown(conn, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        if (conn >= 0)
            ::close(conn);
        if (listenFd_ >= 0)
            ::close(listenFd_);
        listenFd_ = -1;
        ::unlink(socketPath_.c_str());
    }

    bool ok() const { return ok_; }
    QString devicePath() const { return QStringLiteral("virtual:") + QString::fromStdString(socketPath_); }
    std::vector<Bytes> received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

  private:
    void serve() {
        const int conn = ::accept(listenFd_, nullptr, nullptr);
        if (conn < 0)
            return;
        int expected = -1;
        if (!connFd_.compare_exchange_strong(expected, conn)) {  // stopped meanwhile
            ::close(conn);
            return;
        }
        uint8_t buffer[8192];
        for (;;) {
            const ssize_t n = ::recv(conn, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.emplace_back(buffer, buffer + n);
            }
            if (::send(conn, reply_.data(), reply_.size(), MSG_NOSIGNAL) < 0)
                return;
        }
    }

    Bytes reply_;
    std::string socketPath_;
    int listenFd_ = -1;
    std::atomic<int> connFd_{-1};
    bool ok_ = false;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Bytes> received_;
};

// A connection reply with the given letter and fields, CRC sealed.
inline Bytes connectionReply(uint8_t letter, uint32_t running, uint32_t other, uint32_t flashId, uint32_t mcu,
                             uint32_t id) {
    Bytes r(36, 0);
    r[0] = 0xAA;
    r[1] = 0x55;
    r[2] = letter;
    qv::frame::putBe24(&r[3], running);
    qv::frame::putBe24(&r[7], flashId);
    qv::frame::putBe32(&r[14], mcu);
    qv::frame::putBe24(&r[18], other);
    qv::frame::putBe32(&r[22], id);
    qv::frame::putBe32(&r[32], qv::crc32zeroReference(r.data(), 32));
    return r;
}

}  // namespace prototest
