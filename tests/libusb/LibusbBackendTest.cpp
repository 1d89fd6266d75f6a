// The libusb backend of UsbDevice against programmers emulated on a umockdev test bed: device
// search, opening, the connection handshake, programming and verifying the MCU code, unplugging
// during a read, stopping the worker during a read, and hot-plug events reaching the window.
#include "EmulatedUsb.h"

#include "app/MainWindow.h"
#include "protocol/Pacing.h"
#include "protocol/ProgrammerLink.h"
#include "support/RecordingHost.h"
#include "app/TargetOperations.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"
#include "vprog/VirtualProgrammer.h"
#include "support/TestEnvironment.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
void PrintTo(const QStringList& list, std::ostream* os) {
    *os << '"' << list.join("\", \"").toStdString() << '"';
}

namespace {

using Bytes = std::vector<uint8_t>;
using qvtest::EmulatedProgrammer;

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

EmulatedProgrammer::Config programmerOn(const char* ports) {
    EmulatedProgrammer::Config config;
    config.ports = ports;
    config.model.boardId = 0x0000BEEF;
    return config;
}

Bytes makeImage(size_t length) {
    Bytes image(length);
    uint32_t state = 0x12345678;
    for (uint8_t& byte : image) {
        state = state * 1664525u + 1013904223u;
        byte = uint8_t(state >> 24);
    }
    // Runs from 0x0000A101.
    image[4] = 0x01;
    image[5] = 0xA1;
    image[6] = 0x00;
    image[7] = 0x00;
    return image;
}

// A transaction that waits in vain gives up after its budget of checks; with a 20 µs pause
// instead of 1 ms that takes a moment instead of seconds.
void shortPause() {
    std::this_thread::sleep_for(std::chrono::microseconds(20));
}
qv::Pacing quickPacing() {
    qv::Pacing pacing = qv::Pacing::standard();
    pacing.slowPause = &shortPause;
    return pacing;
}

// Every test starts with the emulated bus in place (it must exist before libusb starts) and in an
// empty working directory (the flash catalogue is read from there).
class LibusbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(qvtest::EmulatedUsbBus::available())
            << "run this binary with umockdev's preload library (ctest does; or use umockdev-wrapper)";
        qvtest::EmulatedUsbBus::instance();
        ASSERT_TRUE(cwd.isValid());
        previousDirectory = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(cwd.path()));
    }
    void TearDown() override {
        QDir::setCurrent(previousDirectory);
        // The next test starts with an empty bus as libusb sees it.
        qvtest::pumpUntil([] { return qv::UsbDevice().findDevices().isEmpty(); });
    }

    static bool waitForDevices(const QStringList& expected) {
        return qvtest::pumpUntil([&] { return qv::UsbDevice().findDevices() == expected; });
    }

    QTemporaryDir cwd;
    QString previousDirectory;
};

// ---------------------------------------------------------------------------------------------

TEST_F(LibusbTest, SearchListsProgrammersByPortPathBeforeVirtualOnesAndNothingElse) {
    EmulatedProgrammer::Config hubConfig = programmerOn("1");
    hubConfig.vendorId = 0x05e3;
    hubConfig.productId = 0x0608;
    hubConfig.answerIoctls = false;
    EmulatedProgrammer hub(hubConfig);
    EmulatedProgrammer behindHub(programmerOn("1.4"));
    EmulatedProgrammer::Config otherProduct = programmerOn("3");
    otherProduct.productId = 0x7c2f;
    otherProduct.answerIoctls = false;
    EmulatedProgrammer::Config otherVendor = programmerOn("4");
    otherVendor.vendorId = 0x4d52;
    otherVendor.answerIoctls = false;
    EmulatedProgrammer stranger1(otherProduct);
    EmulatedProgrammer stranger2(otherVendor);
    EmulatedProgrammer programmer(programmerOn("5"));
    vprog::Options virtualOptions;
    virtualOptions.name = "beside";
    vprog::VirtualProgrammer virtualOne(virtualOptions);

    // Real programmers come in libusb's order, virtual ones after them.
    QStringList found;
    EXPECT_TRUE(qvtest::pumpUntil([&] {
        found = qv::UsbDevice().findDevices();
        return found.size() == 3;
    })) << found.join(", ").toStdString();
    ASSERT_EQ(found.size(), 3);
    EXPECT_EQ(QSet<QString>(found.begin(), found.begin() + 2),
              (QSet<QString>{QStringLiteral("usb:1-1.4"), QStringLiteral("usb:1-5")}))
        << found.join(", ").toStdString();
    EXPECT_EQ(found.last(), qs(virtualOne.devicePath()));

    qv::UsbDevice device;
    EXPECT_FALSE(device.open(QStringLiteral("usb:1-3"))) << "another product is not a programmer";
    EXPECT_FALSE(device.open(QStringLiteral("usb:1-9"))) << "nothing on that port";
    EXPECT_FALSE(device.open(QStringLiteral("usb:1-4"))) << "port 4 of the hub is not port 4 of the root";
    EXPECT_FALSE(device.isOpen());
}

// Open, worker and handshake through libusb, for the usual endpoint numbers and for others: the
// backend must take the bulk pipes from the interface's descriptors.
TEST_F(LibusbTest, OpenProgrammerFindsTheBulkPipesAndConnects) {
    struct Case {
        uint8_t out, in;
    };
    for (const Case& c : {Case{0x01, 0x81}, Case{0x02, 0x83}}) {
        SCOPED_TRACE(testing::Message() << std::hex << "endpoints 0x" << int(c.out) << "/0x" << int(c.in));
        EmulatedProgrammer::Config config = programmerOn("2");
        config.outEndpoint = c.out;
        config.inEndpoint = c.in;
        EmulatedProgrammer programmer(config);
        ASSERT_TRUE(waitForDevices({qs(programmer.devicePath())}));

        qvtest::RecordingHost host;
        qv::UsbDevice device;
        USB_BURN_CTRL worker;
        qv::ProgrammerLink link(worker, device, host);
        qv::openProgrammer(link, host, qv::UsbDevice().findDevices(), 0);

        ASSERT_FALSE(host.log.isEmpty());
        EXPECT_EQ(host.log.first(), QStringLiteral("Open the programmer ok..."));
        EXPECT_TRUE(host.log.contains(QStringLiteral("The Board MCU&ID: 0x19710310,0x0000BEEF")))
            << host.log.join("\n").toStdString();
        EXPECT_EQ(host.log.last(), QStringLiteral("Connect the programmer successful"));
        EXPECT_EQ(link.connection().appVersion, 0x20190528u);
        EXPECT_EQ(link.connection().mode, qv::NormalWork);
        EXPECT_TRUE(device.isOpen());
        EXPECT_TRUE(worker.isRunning());
        EXPECT_TRUE(host.groupEnabled);

        const EmulatedProgrammer::Counters seen = programmer.counters();
        EXPECT_EQ(seen.claims, 1u);
        EXPECT_EQ(seen.outTransfers, 1u) << "one 'K' request";
        programmer.withModel([](vprog::DeviceModel& model) {
            ASSERT_EQ(model.requestLog().size(), 1u);
            EXPECT_EQ(model.requestLog()[0].at(2), 'K');
        });
        worker.stopAndWait();
        device.close();
        EXPECT_TRUE(qvtest::pumpUntil([&] { return programmer.counters().releases == 1; }))
            << "closing releases the interface";
        EXPECT_TRUE(programmer.counters().unknownIoctls.empty());
    }
}

void writeImageFile(const QString& path, const Bytes& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())),
              qint64(bytes.size()));
}

// Another program holds the interface: the open fails as a whole and nothing is sent.
TEST_F(LibusbTest, AProgrammerHeldByAnotherProgramIsNotOpened) {
    EmulatedProgrammer::Config config = programmerOn("2");
    config.interfaceBusy = true;
    EmulatedProgrammer programmer(config);
    ASSERT_TRUE(waitForDevices({qs(programmer.devicePath())}));

    qvtest::RecordingHost host;
    qv::UsbDevice device;
    USB_BURN_CTRL worker;
    qv::ProgrammerLink link(worker, device, host);
    qv::openProgrammer(link, host, {qs(programmer.devicePath())}, 0);

    EXPECT_EQ(host.criticalMessages, QStringList{"Open fail"});
    EXPECT_TRUE(host.log.isEmpty()) << host.log.join("\n").toStdString();
    EXPECT_FALSE(device.isOpen());
    EXPECT_FALSE(worker.isRunning());
    const EmulatedProgrammer::Counters seen = programmer.counters();
    EXPECT_EQ(seen.claims, 0u);
    EXPECT_EQ(seen.outTransfers + seen.inTransfers, 0u);
}

// Program and verify an image of three full blocks and a partial one: every byte must land in the
// code flash. A busy programmer takes only the first packet of each long frame before libusb's
// time-out; the backend must then send exactly the rest, or the frames arrive mangled.
TEST_F(LibusbTest, McuCodeIsProgrammedAndVerifiedThroughLibusb) {
    const Bytes image = makeImage(3 * 4096 + 1000);
    QTemporaryDir files;
    const QString path = files.filePath(QStringLiteral("mcu.bin"));

    for (bool busy : {false, true}) {
        SCOPED_TRACE(busy ? "busy programmer" : "prompt programmer");
        EmulatedProgrammer::Config config = programmerOn("2");
        config.slowWrites = busy;
        EmulatedProgrammer programmer(config);
        ASSERT_TRUE(waitForDevices({qs(programmer.devicePath())}));

        qvtest::RecordingHost host;
        qv::UsbDevice device;
        USB_BURN_CTRL worker;
        qv::ProgrammerLink link(worker, device, host);
        qv::TargetOperations ops(link, host);
        qv::openProgrammer(link, host, {qs(programmer.devicePath())}, 0);
        ASSERT_EQ(host.log.last(), QStringLiteral("Connect the programmer successful"));

        ASSERT_NO_FATAL_FAILURE(writeImageFile(path, image));
        host.texts[qv::TextField::McuPath] = path;
        host.texts[qv::TextField::McuCodeAddr] = QStringLiteral("0xA000");
        host.clearLog();
        ops.programMcuCode();
        EXPECT_EQ(host.log.last(), QStringLiteral("Program target is OK!!!!!!"))
            << host.log.join("\n").toStdString();
        EXPECT_TRUE(host.log.contains(QStringLiteral("Check crc OK!")));
        programmer.withModel([&](vprog::DeviceModel& model) {
            const auto start = model.codeFlash().begin() + 0xA000;
            EXPECT_TRUE(Bytes(start, start + long(image.size())) == image)
                << "the code flash differs from the image";
        });
        // Five frames are longer than a packet: the four blocks (the last one 1000 bytes) and the
        // boot index page.
        const unsigned partialWrites = programmer.counters().partialWrites;
        if (busy) {
            EXPECT_EQ(partialWrites, 5u) << "each long frame should have timed out once";
        } else {
            EXPECT_EQ(partialWrites, 0u);
        }

        struct Case {
            bool changeFile;
            const char* line;
        };
        for (const Case& c : {Case{false, "Check EFlash OK!"}, Case{true, "Check EFlash NG!"}}) {
            SCOPED_TRACE(c.line);
            Bytes file = image;
            if (c.changeFile)
                file[5000] ^= 0x40;
            ASSERT_NO_FATAL_FAILURE(writeImageFile(path, file));
            host.clearLog();
            ops.verifyMcuCode();
            EXPECT_TRUE(host.log.contains(QString::fromLatin1(c.line))) << host.log.join("\n").toStdString();
        }
        EXPECT_TRUE(device.isOpen());
        EXPECT_TRUE(programmer.counters().unknownIoctls.empty());
        worker.stopAndWait();
        device.close();
        programmer.unplug();
        ASSERT_TRUE(waitForDevices({}));
    }
}

// The programmer drops off the bus in the middle of the blocks: libusb reports the device gone,
// the read fails, the device is closed and the worker ends; the block in flight fails for want of
// a reply, and so does the operation.
TEST_F(LibusbTest, AProgrammerLostWhileProgrammingFailsTheOperationAndClosesTheDevice) {
    EmulatedProgrammer::Config config = programmerOn("2");
    config.model.fault = vprog::Fault::Unplug;
    config.model.faultAtRequest = 4;  // 'K', 'A', the first 'F', then the second 'F'
    EmulatedProgrammer programmer(config);
    ASSERT_TRUE(waitForDevices({qs(programmer.devicePath())}));

    qvtest::RecordingHost host;
    qv::UsbDevice device;
    USB_BURN_CTRL worker;
    qv::ProgrammerLink link(worker, device, host, quickPacing());
    qv::TargetOperations ops(link, host);
    qv::openProgrammer(link, host, {qs(programmer.devicePath())}, 0);
    ASSERT_EQ(host.log.last(), QStringLiteral("Connect the programmer successful"));

    QTemporaryDir files;
    const QString path = files.filePath(QStringLiteral("mcu.bin"));
    ASSERT_NO_FATAL_FAILURE(writeImageFile(path, makeImage(3 * 4096)));
    host.texts[qv::TextField::McuPath] = path;
    host.texts[qv::TextField::McuCodeAddr] = QStringLiteral("0xA000");
    host.clearLog();
    ops.programMcuCode();

    EXPECT_EQ(host.log.last(), QStringLiteral("Program target is fail....."))
        << host.log.join("\n").toStdString();
    EXPECT_TRUE(host.log.contains(QStringLiteral("NG, Addr : 0xb000-2")))
        << host.log.join("\n").toStdString();
    EXPECT_FALSE(host.log.contains(QStringLiteral("Check crc OK!")));
    EXPECT_FALSE(device.isOpen());
    EXPECT_TRUE(qvtest::pumpUntil([&] { return !worker.isRunning(); }))
        << "the worker goes on after the failed transfer";
    programmer.withModel([](vprog::DeviceModel& model) { EXPECT_TRUE(model.faultFired()); });
}

// Unplugging ends a read that waits for the programmer: -1, and the device is closed.
TEST_F(LibusbTest, UnpluggingDuringAWaitingReadFailsItAndClosesTheDevice) {
    EmulatedProgrammer programmer(programmerOn("2"));
    ASSERT_TRUE(waitForDevices({qs(programmer.devicePath())}));
    qv::UsbDevice device;
    ASSERT_TRUE(device.open(qs(programmer.devicePath())));

    uint8_t buffer[qv::UsbDevice::kReadSize];
    std::future<int32_t> read = std::async(std::launch::async, [&] { return device.read(buffer); });
    // Should the unplug not end the read, closing the device does, so a failure cannot hang here.
    struct CloseAtExit {
        qv::UsbDevice& device;
        ~CloseAtExit() { device.close(); }
    } closeAtExit{device};
    ASSERT_TRUE(qvtest::pumpUntil([&] { return programmer.counters().pendingIn == 1; })) << "the read never started";
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "a read returned without data";

    programmer.unplug();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the read still waits";
    EXPECT_EQ(read.get(), -1);
    EXPECT_FALSE(device.isOpen());
    EXPECT_EQ(device.write(buffer, 1), -1);
    EXPECT_TRUE(waitForDevices({})) << "the unplugged programmer is still listed";
}

// Exit while the worker waits for a reply: the read is abandoned within a slice or two, the
// worker ends and the device stays open (closing is the window's business).
TEST_F(LibusbTest, StoppingTheWorkerDuringAWaitingReadReturnsPromptly) {
    EmulatedProgrammer programmer(programmerOn("2"));
    ASSERT_TRUE(waitForDevices({qs(programmer.devicePath())}));
    qv::UsbDevice device;
    ASSERT_TRUE(device.open(qs(programmer.devicePath())));
    USB_BURN_CTRL worker;
    worker.device = &device;
    worker.start();
    worker.rxPending.store(1, std::memory_order_release);  // a reply is awaited; none will come
    worker.wake();
    ASSERT_TRUE(qvtest::pumpUntil([&] { return programmer.counters().pendingIn == 1; }));

    std::future<void> stopped = std::async(std::launch::async, [&] { worker.stopAndWait(); });
    const bool prompt = stopped.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    if (!prompt)
        device.close();  // ends the read, so that a failure does not hang the test
    stopped.wait();
    EXPECT_TRUE(prompt) << "the worker was still waiting for the read after 2 s";
    EXPECT_FALSE(worker.isRunning());
    EXPECT_EQ(worker.rxDone.load(), 0) << "no reply and no failure reported";
    EXPECT_TRUE(device.isOpen());
    EXPECT_TRUE(qvtest::pumpUntil([&] { return programmer.counters().pendingIn == 0; }))
        << "the IN transfer was left behind";
}

// A programmer that NAKs every OUT packet holds a write for as long as it likes. The write gives
// up when the caller asks it to stop (the device stays open) and when the device is closed (-1).
TEST_F(LibusbTest, AWriteTheProgrammerNeverTakesGivesUpOnAStopRequestAndOnClose) {
    EmulatedProgrammer::Config config = programmerOn("2");
    config.nakWrites = true;
    EmulatedProgrammer programmer(config);
    ASSERT_TRUE(waitForDevices({qs(programmer.devicePath())}));
    for (const bool byClose : {false, true}) {
        SCOPED_TRACE(byClose ? "closed" : "stop requested");
        qv::UsbDevice device;
        ASSERT_TRUE(device.open(qs(programmer.devicePath())));
        std::atomic<uint8_t> stop{0};
        const uint8_t frame[36] = {0xAA, 0x55, 'K'};
        std::future<int32_t> write =
            std::async(std::launch::async, [&] { return device.write(frame, sizeof frame, &stop); });
        EXPECT_EQ(write.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
            << "a write the programmer never took returned";
        QElapsedTimer timer;
        timer.start();
        if (byClose)
            device.close();
        else
            stop.store(1);
        const bool prompt = write.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
        if (!prompt) {
            device.close();  // so that a failure cannot hang the test
            stop.store(1);
        }
        EXPECT_TRUE(prompt) << "the write still waited after 1 s";
        EXPECT_EQ(write.get(), byClose ? -1 : qv::UsbDevice::kWriteAbandoned);
        EXPECT_LT(timer.elapsed(), 1000);
        EXPECT_EQ(device.isOpen(), !byClose);
    }
    programmer.withModel([](vprog::DeviceModel& model) { EXPECT_EQ(model.requestCount(), 0u); });
}

// Exit while the worker is stuck in a write the programmer does not take: the window is gone
// within a second of Exit's own pause and config.ini is written.
TEST_F(LibusbTest, ExitDoesNotHangWhenTheProgrammerTakesNoData) {
    EmulatedProgrammer::Config config = programmerOn("2");
    config.nakWrites = true;
    EmulatedProgrammer programmer(config);
    ASSERT_TRUE(waitForDevices({qs(programmer.devicePath())}));
    auto window = std::make_unique<MainWindow>();
    QStringList messages;
    window->setMessageHook([&](const QString&, const QString& text) { messages << text; });
    auto* box = window->findChild<QComboBox*>("comboBox_Device");
    auto* log = window->findChild<QTextEdit*>("textEdit");
    ASSERT_TRUE(qvtest::pumpUntil([&] { return box->count() == 1 && !window->searchTimer().isActive(); }));
    window->findChild<QPushButton*>("pushButton_OpenDevice")->click();
    ASSERT_TRUE(log->toPlainText().contains("Fail to connect the programmer..."))
        << log->toPlainText().toStdString();
    ASSERT_TRUE(window->transferWorker().isRunning()) << "the worker still waits in the write";
    ASSERT_EQ(window->transferWorker().txDone.load(), 0);

    window->findChild<QPushButton*>("pushButton_Exit")->click();
    QElapsedTimer timer;
    timer.start();
    window.reset();
    EXPECT_LT(timer.elapsed(), 1000) << "the window took that long to go after Exit";
    QFile saved(QDir(cwd.path()).filePath("config.ini"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), QByteArray("UPBOOT:0\nNFLASH:0\n./\n./\n\nWAITT:0\nPWROFF:0\n"));
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
}

// ---------------------------------------------------------------------------------------------
// The window: libusb's hot-plug callbacks reach its handlers on the GUI thread.

TEST_F(LibusbTest, PluggingAndUnpluggingReachTheWindow) {
    MainWindow window;
    QStringList messages;
    window.setMessageHook([&](const QString&, const QString& text) { messages << text; });
    auto* box = window.findChild<QComboBox*>("comboBox_Device");
    auto* log = window.findChild<QTextEdit*>("textEdit");
    auto rows = [&] {
        QStringList r;
        for (int i = 0; i < box->count(); ++i)
            r << box->itemText(i);
        return r;
    };
    ASSERT_TRUE(qvtest::pumpUntil([&] { return !window.searchTimer().isActive(); })) << "first search";
    ASSERT_EQ(box->count(), 0);

    // Another device first: its arrival is no business of the window.
    EmulatedProgrammer::Config otherConfig = programmerOn("3");
    otherConfig.productId = 0x7c2f;
    otherConfig.answerIoctls = false;
    EmulatedProgrammer other(otherConfig);
    auto programmer = std::make_unique<EmulatedProgrammer>(programmerOn("2"));
    ASSERT_TRUE(qvtest::pumpUntil([&] { return log->toPlainText().contains("device insert:"); }))
        << "no arrival from libusb hot-plug";
    EXPECT_TRUE(log->toPlainText().contains("device insert:USB:1-2")) << log->toPlainText().toStdString();
    EXPECT_FALSE(log->toPlainText().contains("USB:1-3")) << "another product reached the window";
    ASSERT_TRUE(qvtest::pumpUntil([&] { return rows() == QStringList{"usb:1-2"}; }))
        << rows().join(", ").toStdString();

    box->setCurrentIndex(0);
    window.findChild<QPushButton*>("pushButton_OpenDevice")->click();
    ASSERT_TRUE(log->toPlainText().contains("Connect the programmer successful"))
        << log->toPlainText().toStdString();
    ASSERT_TRUE(window.usbDevice().isOpen());
    ASSERT_TRUE(window.transferWorker().isRunning());

    programmer->unplug();
    ASSERT_TRUE(qvtest::pumpUntil([&] { return log->toPlainText().contains("device remove:"); }))
        << "no removal from libusb hot-plug";
    EXPECT_TRUE(log->toPlainText().contains("device remove:USB:1-2"));
    EXPECT_TRUE(
        qvtest::pumpUntil([&] { return !window.usbDevice().isOpen() && !window.transferWorker().isRunning(); }));
    EXPECT_TRUE(qvtest::pumpUntil([&] { return box->count() == 0; })) << rows().join(", ").toStdString();
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
}

}  // namespace
