#include "RawPeer.h"
#include "protocol/Frames.h"
#include "usb/DeviceSearch.h"
#include "usb/DeviceWatcher.h"
#include "qtsupport/QueuedCalls.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"
#include "vprog/VirtualProgrammer.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using qvtest::RawPeer;
constexpr auto acquire = std::memory_order_acquire;
constexpr auto release = std::memory_order_release;

vprog::Options quietProgrammer(const char* name) {
    vprog::Options options;
    options.name = name;
    return options;
}

// The worker and the device it transfers on, as the window owns them.
struct Link {
    qv::UsbDevice device;
    USB_BURN_CTRL worker;
    Link() { worker.device = &device; }
    ~Link() { worker.stopAndWait(); }
    void sendConnectRequest(bool alsoRead) {
        worker.txLength = qv::frame::buildConnectFrame(worker.txBuffer);
        worker.txDone.store(0, release);
        worker.rxDone.store(0, release);
        if (alsoRead) worker.rxPending.store(1, release);
        worker.txPending.store(1, release);
        worker.wake();
    }
};

TEST(TransferWorker, WriteAndReadRaisedTogetherAreServedInOnePass) {
    vprog::VirtualProgrammer programmer(quietProgrammer("together"));
    Link link;
    ASSERT_TRUE(link.device.open(QString::fromStdString(programmer.devicePath())));
    link.sendConnectRequest(/*alsoRead=*/true);
    link.worker.start();
    ASSERT_TRUE(qvtest::pumpUntil([&] { return link.worker.rxDone.load(acquire) == 1; }));
    EXPECT_EQ(link.worker.txDone.load(acquire), 1);
    EXPECT_EQ(link.worker.rxLength, 36u);
    EXPECT_EQ(link.worker.rxBuffer[2], ';');
    EXPECT_EQ(link.worker.txPending.load(acquire), 0);
    EXPECT_EQ(link.worker.rxPending.load(acquire), 0);
    EXPECT_TRUE(link.worker.isRunning());
}

TEST(TransferWorker, AFailedWriteStillReportsTheWriteAndEndsTheThread) {
    RawPeer peer("write-fails", RawPeer::Behaviour::Silent);
    Link link;
    ASSERT_TRUE(link.device.open(peer.devicePath()));
    peer.hangUp();
    QThread::msleep(100);
    link.worker.start();
    link.sendConnectRequest(false);
    ASSERT_TRUE(qvtest::pumpUntil([&] { return link.worker.isFinished(); }));
    EXPECT_EQ(link.worker.txDone.load(acquire), 1);
    EXPECT_FALSE(link.device.isOpen());
    EXPECT_EQ(link.worker.stopRequested.load(acquire), 0) << "the run clears its stop flag when it ends";
}

TEST(TransferWorker, AFailedReadReportsTwoClosesTheDeviceAndEndsTheThread) {
    RawPeer peer("read-fails", RawPeer::Behaviour::CloseOnRequest);
    Link link;
    ASSERT_TRUE(link.device.open(peer.devicePath()));
    link.worker.start();
    link.sendConnectRequest(true);
    ASSERT_TRUE(qvtest::pumpUntil([&] { return link.worker.isFinished(); }));
    EXPECT_EQ(link.worker.txDone.load(acquire), 1);
    EXPECT_EQ(link.worker.rxDone.load(acquire), 2);
    EXPECT_FALSE(link.device.isOpen());
    // A write after the failure fails at once, without reaching the link.
    const uint8_t byte = 0;
    EXPECT_EQ(link.device.write(&byte, 1), -1);
}

TEST(TransferWorker, ANewStartBeginsWithTheStopFlagCleared) {
    vprog::VirtualProgrammer programmer(quietProgrammer("restart"));
    Link link;
    ASSERT_TRUE(link.device.open(QString::fromStdString(programmer.devicePath())));
    link.worker.stopRequested.store(1, release);  // left over from an earlier run
    link.worker.start();
    link.sendConnectRequest(true);
    ASSERT_TRUE(qvtest::pumpUntil([&] { return link.worker.rxDone.load(acquire) == 1; }))
        << "running " << link.worker.isRunning() << " parks " << link.worker.parkCount() << " txPending "
        << int(link.worker.txPending.load()) << " rxPending " << int(link.worker.rxPending.load()) << " stop "
        << int(link.worker.stopRequested.load());
    EXPECT_TRUE(link.worker.isRunning());
}

TEST(TransferWorker, StoppingWhileAReadWaitsEndsTheThreadAndKeepsTheDeviceOpen) {
    RawPeer peer("silent", RawPeer::Behaviour::Silent);
    Link link;
    ASSERT_TRUE(link.device.open(peer.devicePath()));
    link.worker.start();
    link.sendConnectRequest(true);
    ASSERT_TRUE(
        qvtest::pumpUntil([&] { return link.worker.rxPending.load(acquire) == 0 && peer.requestsSeen() == 1; }));
    QThread::msleep(50);  // the worker now waits in the read
    EXPECT_EQ(link.worker.rxDone.load(acquire), 0);
    QElapsedTimer timer;
    timer.start();
    link.worker.stopAndWait();
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_TRUE(link.worker.isFinished());
    EXPECT_EQ(link.worker.rxDone.load(acquire), 0);
    EXPECT_TRUE(link.device.isOpen());
}

// A programmer that takes one request and then reads no more: the requests pile up in the link
// until a write has to wait for room.
vprog::Options stallingProgrammer(const char* name) {
    vprog::Options options = quietProgrammer(name);
    options.fault = vprog::Fault::Stall;
    options.faultAtRequest = 1;
    return options;
}

// Raises one write after another until one does not complete; true when the worker is stuck.
bool fillUntilAWriteWaits(USB_BURN_CTRL& worker) {
    static const std::vector<uint8_t> payload(4096, 0x5A);
    for (int i = 0; i < 1000; ++i) {
        worker.txLength = qv::frame::buildDataFrame(worker.txBuffer, 'F', 0x80000, payload.data(), 4096);
        worker.txDone.store(0, release);
        worker.txPending.store(1, release);
        QElapsedTimer timer;
        timer.start();
        while (worker.txDone.load(acquire) == 0) {
            if (timer.elapsed() > 300)
                return true;
            QThread::msleep(1);
        }
    }
    return false;
}

TEST(TransferWorker, StoppingWhileAWriteWaitsEndsTheThreadWithoutAReply) {
    vprog::VirtualProgrammer programmer(stallingProgrammer("stalled-worker"));
    Link link;
    ASSERT_TRUE(link.device.open(QString::fromStdString(programmer.devicePath())));
    link.worker.start();
    ASSERT_TRUE(fillUntilAWriteWaits(link.worker)) << "every write went through";
    QElapsedTimer timer;
    timer.start();
    link.worker.stopAndWait();
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_TRUE(link.worker.isFinished());
    EXPECT_EQ(link.worker.txDone.load(acquire), 0) << "the abandoned write is not reported as done";
    EXPECT_EQ(link.worker.rxDone.load(acquire), 0);
    EXPECT_EQ(link.worker.stopRequested.load(acquire), 0);
    EXPECT_TRUE(link.device.isOpen());
}

TEST(VirtualLink, AWriteToAStalledProgrammerGivesUpOnAStopRequestAndOnClose) {
    for (const bool byClose : {false, true}) {
        SCOPED_TRACE(byClose ? "closed" : "stop requested");
        vprog::VirtualProgrammer programmer(stallingProgrammer("stalled-write"));
        qv::UsbDevice device;
        ASSERT_TRUE(device.open(QString::fromStdString(programmer.devicePath())));
        std::atomic<uint8_t> stop{0};
        std::atomic<int> completed{0};
        const std::vector<uint8_t> frame(4110, 0x5A);
        std::future<int32_t> writes = std::async(std::launch::async, [&] {
            for (;;) {
                const int32_t result = device.write(frame.data(), uint32_t(frame.size()), &stop);
                if (result != 1)
                    return result;
                ++completed;
            }
        });
        // Wait until the writes have stopped going through.
        int seen = -1;
        while (completed.load() != seen) {
            seen = completed.load();
            QThread::msleep(300);
        }
        ASSERT_EQ(writes.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
        EXPECT_GT(completed.load(), 1) << "writes the programmer's queue had room for completed";
        QElapsedTimer timer;
        timer.start();
        if (byClose) {
            device.close();
        } else {
            stop.store(1);
        }
        const bool prompt = writes.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
        if (!prompt) {
            stop.store(1);
            device.close();
        }
        EXPECT_TRUE(prompt);
        EXPECT_EQ(writes.get(), byClose ? -1 : qv::UsbDevice::kWriteAbandoned);
        EXPECT_LT(timer.elapsed(), 1000);
        EXPECT_EQ(device.isOpen(), !byClose);
    }
}

// An open programmer with nothing to do must not cost processor time: the worker parks, and the
// next raise (with its wake) ends the park at once. The park's own time-out is set out of reach, so
// only the wake can end it.
TEST(TransferWorker, AnIdleWorkerParksAndEachRaisedFlagWakesIt) {
    vprog::VirtualProgrammer programmer(quietProgrammer("parking"));
    Link link;
    link.worker.parkTimeout = std::chrono::hours(1);
    ASSERT_TRUE(link.device.open(QString::fromStdString(programmer.devicePath())));
    link.worker.start();
    ASSERT_TRUE(qvtest::pumpUntil([&] { return link.worker.parkCount() >= 1; }));

    // A write alone, then (parked again) the read it asked for. Each count is taken while the
    // worker is parked, so the next park is the one after the work.
    const uint64_t parks = link.worker.parkCount();
    link.sendConnectRequest(/*alsoRead=*/false);
    ASSERT_TRUE(qvtest::pumpUntil([&] { return link.worker.txDone.load(acquire) == 1; }));
    ASSERT_TRUE(qvtest::pumpUntil([&] { return link.worker.parkCount() > parks; }));
    EXPECT_EQ(link.worker.rxDone.load(acquire), 0);
    const uint64_t parksBeforeRead = link.worker.parkCount();
    link.worker.rxPending.store(1, release);
    link.worker.wake();
    ASSERT_TRUE(qvtest::pumpUntil([&] { return link.worker.rxDone.load(acquire) == 1; }));
    EXPECT_EQ(link.worker.rxBuffer[2], ';');

    // The worker that sent its reply parks again; a stop request ends the park and the thread.
    ASSERT_TRUE(qvtest::pumpUntil([&] { return link.worker.parkCount() > parksBeforeRead; }));
    QElapsedTimer timer;
    timer.start();
    link.worker.stopAndWait();
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_TRUE(link.worker.isFinished());
}

// A raise that forgets its wake is served when the park times out, late but never lost.
TEST(TransferWorker, ARaiseWithoutAWakeIsServedWhenTheParkTimesOut) {
    vprog::VirtualProgrammer programmer(quietProgrammer("no-wake"));
    Link link;
    link.worker.parkTimeout = std::chrono::milliseconds(30);
    ASSERT_TRUE(link.device.open(QString::fromStdString(programmer.devicePath())));
    link.worker.start();
    ASSERT_TRUE(qvtest::pumpUntil([&] { return link.worker.parkCount() >= 1; }));
    link.worker.txLength = qv::frame::buildConnectFrame(link.worker.txBuffer);
    link.worker.rxPending.store(1, release);
    link.worker.txPending.store(1, release);
    ASSERT_TRUE(qvtest::pumpUntil([&] { return link.worker.rxDone.load(acquire) == 1; }));
}

// While a caller sleeps in waitForRaise, the worker's raise of rxDone ends the sleep; a flag that
// never rises ends it at the deadline.
TEST(TransferWorker, WaitForRaiseEndsWithTheWorkersRaiseOrAtTheDeadline) {
    vprog::VirtualProgrammer programmer(quietProgrammer("event-wait"));
    Link link;
    ASSERT_TRUE(link.device.open(QString::fromStdString(programmer.devicePath())));
    link.worker.startWork();
    link.sendConnectRequest(/*alsoRead=*/true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    EXPECT_EQ(link.worker.waitForRaise(link.worker.rxDone, deadline), 1);
    EXPECT_LT(std::chrono::steady_clock::now(), deadline);
    EXPECT_EQ(link.worker.rxLength, 36u);

    // Nothing is pending: no flag rises while the worker runs.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(link.worker.waitForRaise(link.worker.txPending, t0 + std::chrono::milliseconds(30)), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(30));
}

TEST(VirtualLink, APeerGoneDuringAReadFailsTheReadAndClosesTheDevice) {
    RawPeer peer("gone", RawPeer::Behaviour::Silent);
    qv::UsbDevice device;
    ASSERT_TRUE(device.open(peer.devicePath()));
    std::thread hangUp([&] {
        QThread::msleep(100);
        peer.hangUp();
    });
    uint8_t buffer[512];
    EXPECT_EQ(device.read(buffer), -1);
    hangUp.join();
    EXPECT_FALSE(device.isOpen());
    const uint8_t byte = 0;
    EXPECT_EQ(device.write(&byte, 1), -1);
}

TEST(VirtualLink, EachWriteIsOneMessageAndEachReadOneReply) {
    RawPeer peer("echo", RawPeer::Behaviour::Echo);
    qv::UsbDevice device;
    ASSERT_TRUE(device.open(peer.devicePath()));
    const uint8_t message[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(device.write(message, 5), 1);
    uint8_t buffer[512];
    EXPECT_EQ(device.read(buffer), 5);
    EXPECT_EQ(0, std::memcmp(buffer, message, 5));
    std::vector<uint8_t> large(600, 0x5A);  // a reply longer than one read gets cut to 512 bytes
    ASSERT_EQ(device.write(large.data(), uint32_t(large.size())), 1);
    EXPECT_EQ(device.read(buffer), 512);
}

TEST(VirtualLink, OpeningAMissingOrMalformedPathFails) {
    qv::UsbDevice device;
    EXPECT_FALSE(device.open(QStringLiteral("virtual:") + QString::fromStdString(qv::virtualProgrammerDirectory()) + "/nobody.sock"));
    EXPECT_FALSE(device.open(QStringLiteral("virtual:")));
    EXPECT_FALSE(device.open(QStringLiteral("virtual:/") + QString(200, QLatin1Char('x'))));
    EXPECT_FALSE(device.isOpen());
}

// The worker's failed transfer and the removal handler may close the device at the same moment.
TEST(UsbDeviceClose, ClosingFromTwoThreadsAtOnceIsSafe) {
    RawPeer peer("double-close", RawPeer::Behaviour::Echo);
    for (int round = 0; round < 200; ++round) {
        qv::UsbDevice device;
        ASSERT_TRUE(device.open(peer.devicePath()));
        std::thread other([&] { device.close(); });
        device.close();
        other.join();
        EXPECT_FALSE(device.isOpen());
    }
}

TEST(DeviceSearch, VirtualProgrammersFollowInNameOrderAndOtherFilesAreIgnored) {
    vprog::VirtualProgrammer b(quietProgrammer("b-second"));
    vprog::VirtualProgrammer a(quietProgrammer("a-first"));
    QFile stray(QString::fromStdString(qv::virtualProgrammerDirectory()) + "/notes.txt");
    ASSERT_TRUE(stray.open(QIODevice::WriteOnly));
    stray.close();
    qv::UsbDevice device;
    const QStringList paths = device.findDevices();
    QStringList virtuals;
    for (const std::string& p : qv::findVirtualProgrammers()) virtuals << QString::fromStdString(p);
    ASSERT_EQ(virtuals.size(), 2);
    EXPECT_EQ(virtuals[0], QString::fromStdString(a.devicePath()));
    EXPECT_EQ(virtuals[1], QString::fromStdString(b.devicePath()));
    // Real programmers, if any, come first.
    ASSERT_GE(paths.size(), 2);
    EXPECT_EQ(paths.mid(paths.size() - 2), virtuals);
    stray.remove();
}

TEST(DeviceWatcher, ReportsVirtualProgrammersComingAndGoingEvenWhenTheirDirectoryIsNew) {
    QDir(QString::fromStdString(qv::virtualProgrammerDirectory())).removeRecursively();
    qv::DeviceWatcher watcher;
    QStringList arrived, removed;
    QObject::connect(&watcher, &qv::DeviceWatcher::deviceArrived, [&](const QString& p) { arrived << p; });
    QObject::connect(&watcher, &qv::DeviceWatcher::deviceRemoved, [&](const QString& p) { removed << p; });
    QString path;
    {
        vprog::VirtualProgrammer programmer(quietProgrammer("watched"));
        path = QString::fromStdString(programmer.devicePath());
        ASSERT_TRUE(qvtest::pumpUntil([&] { return !arrived.isEmpty(); }, 2000));
        EXPECT_EQ(arrived, QStringList{path});
        EXPECT_TRUE(removed.isEmpty());
    }
    ASSERT_TRUE(qvtest::pumpUntil([&] { return !removed.isEmpty(); }, 2000));
    EXPECT_EQ(removed, QStringList{path});
}

// Four threads post bursts while the owner drains: every call runs once, on the owner's thread,
// and each thread's calls in the order it posted them (a lost wake-up leaves calls behind).
TEST(QueuedCalls, CallsFromManyThreadsRunOnTheOwnersThreadInEachThreadsOrder) {
    qv::QueuedCalls calls;
    constexpr int kThreads = 4;
    constexpr int kCallsEach = 2000;
    std::vector<std::vector<int>> seen(kThreads);  // touched on this thread only
    bool wrongThread = false;
    QThread* const owner = QThread::currentThread();
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kCallsEach; ++i) {
                calls.post([&, t, i] {
                    wrongThread = wrongThread || QThread::currentThread() != owner;
                    seen[t].push_back(i);
                });
                if (i % 97 == 0) std::this_thread::yield();
            }
        });
    }
    const auto allSeen = [&] {
        for (const std::vector<int>& s : seen)
            if (s.size() < static_cast<size_t>(kCallsEach)) return false;
        return true;
    };
    const bool arrived = qvtest::pumpUntil(allSeen, 10000);
    for (std::thread& p : posters) p.join();
    ASSERT_TRUE(arrived);
    EXPECT_FALSE(wrongThread);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<size_t>(kCallsEach)) << "thread " << t;
        for (int i = 0; i < kCallsEach; ++i) ASSERT_EQ(seen[t][i], i) << "thread " << t;
    }
}

}  // namespace
