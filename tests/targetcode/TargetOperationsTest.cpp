#include "app/TargetOperations.h"

#include "protocol/Crc32.h"
#include "protocol/Frames.h"
#include "protocol/Pacing.h"
#include "protocol/ProgrammerLink.h"
#include "protocol/Text.h"
#include "support/RecordingHost.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"
#include "vprog/VirtualProgrammer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Readable failure messages for log lines.
void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace {

using Bytes = std::vector<uint8_t>;

const QString kOk = QStringLiteral("Program target is OK!!!!!!");
const QString kFail = QStringLiteral("Program target is fail.....");
const QString kDisconnected = QStringLiteral("The programmer is disconnected!");

// Failed waits should end quickly: the slow pause is 20 µs instead of 1 ms.
void shortPause() {
    std::this_thread::sleep_for(std::chrono::microseconds(20));
}
qv::Pacing quickPacing() {
    qv::Pacing pacing = qv::Pacing::standard();
    pacing.slowPause = &shortPause;
    return pacing;
}

// An image with recognisable contents that runs from 0x0000A101 (bytes 4-7).
Bytes makeImage(size_t length, uint8_t seed = 1, uint32_t running = 0x0000A101) {
    Bytes image(length);
    uint32_t state = 0x9E3779B9u * seed;
    for (size_t i = 0; i < length; ++i) {
        state = state * 1664525u + 1013904223u;
        image[i] = uint8_t(state >> 24);
    }
    for (size_t i = 4; i < 8 && i < length; ++i)
        image[i] = uint8_t(running >> (8 * (i - 4)));
    return image;
}

Bytes bootIndexPage() {
    Bytes page(4096, 0xFF);
    page[0] = 0x87;
    page[1] = 0x65;
    page[2] = 0x43;
    page[3] = 0x21;
    return page;
}

struct Write {
    uint32_t address;
    uint32_t length;
    bool operator==(const Write& o) const { return address == o.address && length == o.length; }
};
std::ostream& operator<<(std::ostream& os, const Write& w) {
    return os << std::hex << "{0x" << w.address << ", " << std::dec << w.length << "}";
}

// Tool, worker, device and a virtual programmer in this process, with a recording host.
class TargetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(files.isValid());
        // Flash.ini is read from the current directory: start each test in an empty one.
        ASSERT_TRUE(cwd.isValid());
        previousDirectory = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(cwd.path()));
        ASSERT_NO_FATAL_FAILURE(connect(vprog::Fault::None, 0));
        host.texts[qv::TextField::McuCodeAddr] = QStringLiteral("0xA000");
        host.groupEnabled = true;
    }

    void TearDown() override {
        host.onProcessEvents = nullptr;
        disconnect();
        QDir::setCurrent(previousDirectory);
    }

    // A fresh virtual programmer (new memories), opened and served by a running worker. Its fault
    // happens at the atRequest-th request it receives, once.
    void connect(vprog::Fault fault, uint32_t atRequest) {
        vprog::Options options;
        options.name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        options.fault = fault;
        options.faultAtRequest = atRequest;
        programmer = std::make_unique<vprog::VirtualProgrammer>(options);
        ASSERT_TRUE(programmer->plugged());
        ASSERT_TRUE(device.open(QString::fromStdString(programmer->devicePath())));
        worker.device = &device;
        // The worker clears noSleep when its thread begins; wait for that, so that it cannot
        // wipe out a noSleep the operation under test sets.
        worker.noSleep.store(1);
        worker.start();
        while (worker.noSleep.load() != 0)
            std::this_thread::yield();
    }
    void disconnect() {
        worker.stopAndWait();
        device.close();
        programmer.reset();
    }
    void reconnect(vprog::Fault fault, uint32_t atRequest) {
        disconnect();
        connect(fault, atRequest);
    }

    QString writeFile(const QString& name, const Bytes& bytes) {
        const QString path = files.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
        return path;
    }
    void useMcuImage(const Bytes& image, const QString& address = QStringLiteral("0xA000")) {
        host.texts[qv::TextField::McuPath] = writeFile(QStringLiteral("mcu.bin"), image);
        host.texts[qv::TextField::McuCodeAddr] = address;
    }
    void useBootImage(const Bytes& image) {
        host.texts[qv::TextField::BootPath] = writeFile(QStringLiteral("boot.bin"), image);
    }

    Bytes code(uint32_t address, size_t length) {
        Bytes out;
        programmer->withModel([&](vprog::DeviceModel& m) {
            out.assign(m.codeFlash().begin() + address, m.codeFlash().begin() + address + length);
        });
        return out;
    }
    std::vector<Bytes> requests() {
        std::vector<Bytes> out;
        programmer->withModel([&](vprog::DeviceModel& m) { out = m.requestLog(); });
        return out;
    }
    std::vector<Write> writes() {
        std::vector<Write> out;
        for (const Bytes& r : requests()) {
            if (r.size() >= 14 && r[2] == 'F') {
                out.push_back({qv::frame::getBe32(r.data() + 6), qv::frame::getBe24(r.data() + 3) - 14});
            }
        }
        return out;
    }
    std::string letters() {
        std::string out;
        for (const Bytes& r : requests())
            out += r.size() >= 3 ? char(r[2]) : '?';
        return out;
    }
    void injectAtNextRequest(vprog::Fault fault) {
        programmer->withModel([&](vprog::DeviceModel& m) {
            m.mutableOptions().fault = fault;
            m.mutableOptions().faultAtRequest = m.requestCount() + 1;
        });
    }
    bool logHas(const QString& line) const { return host.log.contains(line); }

    QTemporaryDir files;
    QTemporaryDir cwd;
    QString previousDirectory;
    qvtest::RecordingHost host;
    qv::UsbDevice device;
    USB_BURN_CTRL worker;  // stops before the device it uses goes away
    qv::ProgrammerLink link{worker, device, host, quickPacing()};
    qv::TargetOperations ops{link, host};
    std::unique_ptr<vprog::VirtualProgrammer> programmer;
};

TEST_F(TargetTest, McuCodeIsWrittenCheckedAndStartedWithTheBootIndexPage) {
    const Bytes image = makeImage(8192);
    useMcuImage(image);
    std::vector<uint8_t> noSleepSeen;
    host.onProcessEvents = [&] { noSleepSeen.push_back(worker.noSleep.load()); };

    ops.programMcuCode();

    EXPECT_EQ(code(0xA000, image.size()), image);
    EXPECT_EQ(code(0x7E000, 4096), bootIndexPage());
    EXPECT_EQ(writes(), (std::vector<Write>{{0xA000, 4096}, {0xB000, 4096}, {0x7E000, 4096}}));
    EXPECT_EQ(letters(), "AFFFGA");
    EXPECT_EQ(host.progress, (std::vector<int>{0, 50, 100, 100}));

    const QStringList expected = {QStringLiteral("Target type:0x19713100"),
                                  QStringLiteral("Init ready..."),
                                  QStringLiteral("Start to program ..."),
                                  QStringLiteral("Set boot index..."),
                                  QStringLiteral("Program end!"),
                                  QStringLiteral("Check crc OK!"),
                                  QStringLiteral("Target run..."),
                                  QString(),
                                  kOk};
    QStringList withoutTimers = host.log.filter(QRegExp(QStringLiteral("^(?!Timer:|Read crc:)")));
    EXPECT_EQ(withoutTimers, expected);
    EXPECT_EQ(host.log.filter(QRegExp(QStringLiteral("^Timer:\\d+:\\d+:\\d+$"))).size(), 3);

    EXPECT_EQ(host.buttonsEnabledCalls, (std::vector<bool>{false, true}));
    ASSERT_FALSE(noSleepSeen.empty());
    for (uint8_t seen : noSleepSeen)
        EXPECT_EQ(seen, 1);
    EXPECT_EQ(worker.noSleep.load(), 0);
    EXPECT_TRUE(ops.imageData.isEmpty());
    EXPECT_EQ(ops.imageLength, 8192);
    EXPECT_EQ(ops.imageCrc, qv::crc32zero(image.data(), image.size()));
    EXPECT_EQ(
        host.texts[qv::TextField::McuCrcLabel],
        QStringLiteral("Mcu code, CRC = ") + qv::hexText(ops.imageCrc, 8) + QStringLiteral(" Len: 8192"));

    // The CRC check covers the image only, from its start.
    const Bytes g = requests()[4];
    EXPECT_EQ(qv::frame::getBe32(g.data() + 6), 0xA000u);
    EXPECT_EQ(qv::frame::getBe32(g.data() + 10), 8192u);
    EXPECT_EQ(qv::frame::getBe32(g.data() + 14), ops.imageCrc);
    programmer->withModel([](vprog::DeviceModel& m) {
        EXPECT_EQ(m.targetRunCount(), 1u);
        EXPECT_EQ(m.lastRunAddress().value_or(1), 0u);
    });
}

TEST_F(TargetTest, McuCodeBlocksProgressAndBootIndexFollowLengthAndAddress) {
    struct Case {
        size_t length;
        const char* address;
        uint32_t start;
        std::vector<int> progress;
        bool bootIndex;
    };
    const Case cases[] = {
        {5000, "0xA000", 0xA000, {0, 81, 100}, true},
        {8, "0xA000", 0xA000, {0, 100}, true},
        {8192, "0xA800", 0xA000, {0, 50, 100, 100}, true},  // rounded down to 4096
        {4096, "0x1000", 0x1000, {0, 100, 100}, false},     // at the boot area's edge
        {4096, "0x2000", 0x2000, {0, 100, 100}, true},
        {0x6F000, "0xA000", 0xA000, {}, true},
        {0x6F000, "0x10000", 0x10000, {}, false},              // ends past 0x7DFFF
        {8192, "0x7E000", 0x7E000, {0, 50, 100, 100}, false},  // ends exactly at 0x80000
    };
    uint8_t seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address) + " " + std::to_string(c.length));
        programmer->withModel([](vprog::DeviceModel& m) {
            std::fill(m.codeFlash().begin(), m.codeFlash().end(), uint8_t(0xFF));
        });
        const size_t before = writes().size();
        host = qvtest::RecordingHost();
        const Bytes image = makeImage(c.length, seed++);
        useMcuImage(image, QString::fromLatin1(c.address));

        ops.programMcuCode();

        EXPECT_EQ(host.log.last(), kOk);
        std::vector<Write> expected;
        for (size_t offset = 0; offset < c.length; offset += 4096) {
            expected.push_back(
                {uint32_t(c.start + offset), uint32_t(std::min<size_t>(4096, c.length - offset))});
        }
        if (c.bootIndex)
            expected.push_back({0x7E000, 4096});
        const std::vector<Write> all = writes();
        EXPECT_EQ(std::vector<Write>(all.begin() + long(before), all.end()), expected);
        if (c.start + c.length <= 0x7E000) {
            EXPECT_EQ(code(0x7E000, 4096), c.bootIndex ? bootIndexPage() : Bytes(4096, 0xFF));
        }
        EXPECT_EQ(code(c.start, c.length), image);
        if (!c.progress.empty()) {
            EXPECT_EQ(host.progress, c.progress);
        }
        EXPECT_EQ(host.progress.back(), 100);
        EXPECT_EQ(logHas(QStringLiteral("Set boot index...")), c.bootIndex);
    }
}

TEST_F(TargetTest, SizeLimitsRefuseOneBytePastTheLimitBeforeAnythingIsSent) {
    struct Case {
        bool boot;
        size_t length;
        const char* refusal;  // nullptr: written
    };
    const Case cases[] = {
        {false, 0x6F000, nullptr},
        {false, 0x6F001, "Mcu code file is over than 444K!"},
        {true, 0x10000, nullptr},
        {true, 0x10001, "Boot file is over than 64K!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.length));
        host = qvtest::RecordingHost();
        const size_t before = requests().size();
        const Bytes image = makeImage(c.length, uint8_t(c.length));
        if (c.boot) {
            useBootImage(image);
            ops.programBootCode();
        } else {
            useMcuImage(image);
            ops.programMcuCode();
        }
        EXPECT_EQ(host.buttonsEnabledCalls, (std::vector<bool>{false, true}));
        if (c.refusal) {
            EXPECT_EQ(host.log, (QStringList{QString::fromLatin1(c.refusal), kFail}));
            EXPECT_EQ(requests().size(), before);
        } else {
            EXPECT_EQ(host.log.last(), kOk);
            EXPECT_EQ(code(c.boot ? 0 : 0xA000, c.length), image);
        }
    }
}

TEST_F(TargetTest, BootCodeIsWrittenFromZeroWithoutBootIndexAndOnlyItsLabelChanges) {
    host.texts[qv::TextField::McuCrcLabel] = QStringLiteral("untouched");
    const Bytes image = makeImage(5000, 7, 0x08000101);
    useBootImage(image);

    ops.programBootCode();

    EXPECT_EQ(host.log.last(), kOk);
    EXPECT_EQ(code(0, image.size()), image);
    EXPECT_EQ(writes(), (std::vector<Write>{{0, 4096}, {4096, 904}}));
    EXPECT_EQ(code(0x7E000, 4096), Bytes(4096, 0xFF));
    EXPECT_EQ(host.texts[qv::TextField::BootCrcLabel],
              QStringLiteral("Boot code, CRC = ") +
                  qv::hexText(qv::crc32zero(image.data(), image.size()), 8) + QStringLiteral(" Len: 5000"));
    EXPECT_EQ(host.texts[qv::TextField::McuCrcLabel], QStringLiteral("untouched"));
    EXPECT_EQ(ops.imageLength, 5000);  // the program loop reads the shared image fields
    EXPECT_EQ(ops.bootCodeLength, 0);
}

TEST_F(TargetTest, ImagesShorterThanEightBytesAreRefused) {
    useMcuImage(makeImage(7));
    ops.programMcuCode();
    EXPECT_EQ(host.criticalMessages, QStringList{QStringLiteral("There aren't any datas to update!")});
    EXPECT_EQ(host.log, (QStringList{QString(), kFail}));
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(host.buttonsEnabledCalls, (std::vector<bool>{false, true}));
}

TEST_F(TargetTest, ABootImageWithABadRunningAddressWritesNothing) {
    host.groupEnabled = true;
    useBootImage(makeImage(4096, 3, 0x0800A101));
    ops.programBootCode();
    EXPECT_EQ(host.criticalMessages,
              QStringList{QStringLiteral("There is a problem with the running address of this file!")});
    EXPECT_EQ(host.log,
              QStringList{QStringLiteral("***There is a problem with the running address of this file!***")});
    EXPECT_TRUE(requests().empty());
    EXPECT_TRUE(host.buttonsEnabledCalls.empty());
    EXPECT_TRUE(ops.imageData.isEmpty());
}

TEST_F(TargetTest, McuCodeThatWouldRunPastTheCodeFlashIsRefused) {
    struct Case {
        const char* address;
        size_t length;
    };
    const Case cases[] = {
        {"0x7F000", 8192},     // would run into the SPI flash's UI area
        {"0x7A000", 0x6F000},  // within the size limit, far past the end
        {"0xFFFFF000", 8192},  // would wrap around onto the boot code
        {"0x80000", 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        host = qvtest::RecordingHost();
        useMcuImage(makeImage(c.length), QString::fromLatin1(c.address));
        ops.programMcuCode();
        EXPECT_EQ(host.log, (QStringList{QStringLiteral("Mcu code does not fit below 0x80000!"), kFail}));
        EXPECT_EQ(host.buttonsEnabledCalls, (std::vector<bool>{false, true}));
        EXPECT_TRUE(requests().empty());
        EXPECT_EQ(worker.noSleep.load(), 0);
    }
}

TEST_F(TargetTest, ACrcMismatchLogsCheckCrcNgAndDoesNotStartTheTarget) {
    programmer->withModel([](vprog::DeviceModel& m) {
        m.mutableOptions().fault = vprog::Fault::CrcStatusMismatch;
        m.mutableOptions().faultAtRequest = 1;
    });
    useMcuImage(makeImage(5000));
    ops.programMcuCode();

    EXPECT_TRUE(logHas(QStringLiteral("Check crc NG!")));
    EXPECT_FALSE(logHas(QStringLiteral("Check crc OK!")));
    EXPECT_EQ(host.log.last(), kFail);
    EXPECT_EQ(letters(), "AFFFG");
    programmer->withModel([](vprog::DeviceModel& m) { EXPECT_EQ(m.targetRunCount(), 0u); });
}

TEST_F(TargetTest, AnUnpluggedProgrammerStopsTheLoopAndTheButtonsComeBack) {
    // The window's removal handling: close the device and stop the worker. Here it happens at
    // the event pumping right after the second block.
    useMcuImage(makeImage(5 * 4096));
    host.onProcessEvents = [&] {
        if (host.progress.size() == 3 && device.isOpen()) {
            device.close();
            worker.stopAndWait();
        }
    };
    ops.programMcuCode();

    EXPECT_EQ(writes(), (std::vector<Write>{{0xA000, 4096}, {0xB000, 4096}}));
    EXPECT_EQ(host.log.mid(host.log.size() - 3), (QStringList{kDisconnected, QString(), kFail}));
    EXPECT_EQ(host.buttonsEnabledCalls, (std::vector<bool>{false, false, true}));
    EXPECT_EQ(worker.noSleep.load(), 0);

    // A later press finds no programmer, disables the buttons and reads nothing.
    host = qvtest::RecordingHost();
    ops.programBootCode();
    ops.verifyMcuCode();
    EXPECT_EQ(host.log, (QStringList{kDisconnected, kDisconnected}));
    EXPECT_EQ(host.buttonsEnabledCalls, (std::vector<bool>{false, false}));
    EXPECT_TRUE(host.criticalMessages.isEmpty());
}

TEST_F(TargetTest, AFailedBlockNamesItsAddressAndResult) {
    useMcuImage(makeImage(3 * 4096));
    // The second block gets a reply with the wrong letter.
    programmer->withModel([](vprog::DeviceModel& m) {
        m.mutableOptions().fault = vprog::Fault::WrongLetter;
        m.mutableOptions().faultAtRequest = 3;
    });
    ops.programMcuCode();
    EXPECT_EQ(host.log.mid(host.log.size() - 3),
              (QStringList{QStringLiteral("NG, Addr : 0xb000-3"), QString(), kFail}));
    EXPECT_EQ(letters(), "AFF");
    EXPECT_EQ(host.buttonsEnabledCalls, (std::vector<bool>{false, true}));
}

TEST_F(TargetTest, AnInputDuringProgrammingDoesNotChangeWhatIsWrittenAndChecked) {
    const Bytes image = makeImage(3 * 4096 + 100, 11);
    const Bytes other = makeImage(2 * 4096, 12);
    useMcuImage(image);
    const QString otherPath = writeFile(QStringLiteral("other.bin"), other);
    host.fileAnswers.push_back(otherPath);
    bool inputDone = false;
    host.onProcessEvents = [&] {
        if (!inputDone && host.progress.size() == 2) {
            inputDone = true;
            ops.inputMcuCode();
        }
    };

    ops.programMcuCode();

    ASSERT_TRUE(inputDone);
    EXPECT_EQ(code(0xA000, image.size()), image);
    EXPECT_EQ(writes().size(), 5u);  // four image blocks and the boot index page
    EXPECT_TRUE(logHas(QStringLiteral("Check crc OK!")));
    EXPECT_EQ(host.log.last(), kOk);
    const Bytes g = requests()[6];
    ASSERT_EQ(g[2], 'G');
    EXPECT_EQ(qv::frame::getBe32(g.data() + 10), uint32_t(image.size()));
    EXPECT_EQ(qv::frame::getBe32(g.data() + 14), qv::crc32zero(image.data(), image.size()));
    // The input itself took effect.
    EXPECT_EQ(ops.imageLength, int32_t(other.size()));
    EXPECT_EQ(ops.imageCrc, qv::crc32zero(other.data(), other.size()));
    EXPECT_EQ(ops.mcuCodePath, otherPath);
}

TEST_F(TargetTest, AnOperationStartedDuringAnotherDoesNothing) {
    useMcuImage(makeImage(3 * 4096));
    useBootImage(makeImage(4096, 5));
    int nested = 0;
    host.onProcessEvents = [&] {
        if (nested++ != 0)
            return;
        const int lines = host.fullLog.size();
        const size_t calls = host.buttonsEnabledCalls.size();
        ops.programBootCode();
        ops.verifyBootCode();
        ops.programMcuCode();
        ops.verifyMcuCode();
        EXPECT_EQ(host.fullLog.size(), lines);
        EXPECT_EQ(host.buttonsEnabledCalls.size(), calls);
        EXPECT_TRUE(host.criticalMessages.isEmpty());
    };
    ops.programMcuCode();
    EXPECT_GT(nested, 0);
    EXPECT_EQ(host.log.last(), kOk);
    // Nothing but the outer operation's own requests reached the programmer.
    EXPECT_EQ(letters(), "AFFFFGA");
    EXPECT_EQ(ops.bootCodeLength, 0);
}

TEST_F(TargetTest, VerifyComparesTheFlashWithTheFileFromItsFixedAddress) {
    const Bytes mcu = makeImage(6000, 21);
    const Bytes boot = makeImage(3000, 22);
    useMcuImage(mcu);
    useBootImage(boot);
    ops.programMcuCode();
    ops.programBootCode();
    ASSERT_EQ(host.log.last(), kOk);

    struct Case {
        bool boot;
        bool changeFile;
        const char* line;
    };
    const Case cases[] = {
        {false, false, "Check EFlash OK!"},
        {true, false, "Check 310 Boot OK!"},
        {false, true, "Check EFlash NG!"},
        {true, true, "Check 310 Boot NG!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        host = qvtest::RecordingHost();
        host.log << QStringLiteral("earlier");
        Bytes file = c.boot ? boot : mcu;
        if (c.changeFile)
            file[100] ^= 1;
        if (c.boot) {
            useBootImage(file);
        } else {
            useMcuImage(file, QStringLiteral("0x10000"));  // verification ignores the field
        }
        const size_t before = requests().size();

        if (c.boot) {
            ops.verifyBootCode();
        } else {
            ops.verifyMcuCode();
        }

        const QStringList tail = host.log.filter(QRegExp(QStringLiteral("^(?!Read crc:)")));
        EXPECT_EQ(tail, (QStringList{QStringLiteral("earlier"), QString(), QString(),
                                     QStringLiteral("Target type:0x19713100"),
                                     QStringLiteral("Init ready..."), QString::fromLatin1(c.line),
                                     QStringLiteral("Target run..."), QStringLiteral("Target run...")}));
        EXPECT_TRUE(host.buttonsEnabledCalls.empty());
        const std::vector<Bytes> sent = requests();
        ASSERT_EQ(sent.size(), before + 3);
        const Bytes& g = sent[before + 1];
        EXPECT_EQ(qv::frame::getBe32(g.data() + 6), c.boot ? 0u : 0xA000u);
        EXPECT_EQ(qv::frame::getBe32(g.data() + 10), uint32_t(file.size()));
        const uint32_t crc = qv::crc32zero(file.data(), file.size());
        EXPECT_EQ(qv::frame::getBe32(g.data() + 14), crc);
        EXPECT_EQ(c.boot ? ops.bootCodeCrc : ops.imageCrc, crc);
        EXPECT_EQ(host.texts[c.boot ? qv::TextField::BootCrcLabel : qv::TextField::McuCrcLabel],
                  QString::fromLatin1(c.boot ? "Boot code, CRC = " : "Mcu code, CRC = ") +
                      qv::hexText(crc, 8) + QStringLiteral(" Len: ") + QString::number(file.size()));
        EXPECT_TRUE(ops.imageData.isEmpty());
    }
}

TEST_F(TargetTest, VerifyChecksEvenWhenSwdInitFails) {
    const Bytes mcu = makeImage(4096, 31);
    useMcuImage(mcu);
    ops.programMcuCode();
    host.log.clear();
    injectAtNextRequest(vprog::Fault::WrongLetter);

    ops.verifyMcuCode();

    EXPECT_TRUE(logHas(QStringLiteral("Init fail...")));
    EXPECT_TRUE(logHas(QStringLiteral("Check EFlash OK!")));
    EXPECT_EQ(host.log.count(QStringLiteral("Target run...")), 2);
}

TEST_F(TargetTest, VerifyWithoutAPathOrAnUnreadableFileSendsNothing) {
    struct Case {
        bool boot;
        bool verify;
        QString path;
        QString message;
        bool pathLogged;
    };
    const QString missing = files.filePath(QStringLiteral("missing.bin"));
    const Case cases[] = {
        {false, true, QString(), QStringLiteral("Please input flash code file"), false},
        {true, true, missing, QStringLiteral("Read file fail,please check the path!"), true},
        {false, false, missing, QStringLiteral("Read fail,please check the path!"), true},
        {true, false, QString(), QStringLiteral("Please input a code file"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message.toStdString());
        host = qvtest::RecordingHost();
        host.texts[c.boot ? qv::TextField::BootPath : qv::TextField::McuPath] = c.path;
        if (c.verify) {
            c.boot ? ops.verifyBootCode() : ops.verifyMcuCode();
        } else {
            c.boot ? ops.programBootCode() : ops.programMcuCode();
        }
        EXPECT_EQ(host.criticalMessages, QStringList{c.message});
        EXPECT_EQ(host.log, c.pathLogged ? QStringList{c.path} : QStringList{});
        EXPECT_TRUE(host.buttonsEnabledCalls.empty());
    }
    EXPECT_TRUE(requests().empty());
}

// --- The target control exchange ---

TEST_F(TargetTest, TargetControlSendsTheSpeedRowClampedAndThePowerChoiceOnlyOnRun) {
    const std::pair<int, uint8_t> speeds[] = {{-1, 0}, {0, 0}, {1, 1}, {2, 2}, {3, 2}, {99, 2}};
    for (const auto& [row, sent] : speeds) {
        host.swdSpeed = row;
        EXPECT_EQ(ops.targetControl(0, 0), 0);
        uint8_t speedSent = 0xEE;
        programmer->withModel([&](vprog::DeviceModel& m) { speedSent = m.lastSwdSpeed().value_or(0xEE); });
        EXPECT_EQ(speedSent, sent) << row;
    }

    host.swdSpeed = 1;
    Bytes initFrames[2];
    for (bool power : {false, true}) {
        host.powerOff = power;
        ASSERT_EQ(ops.targetControl(0, 0), 0);
        initFrames[power] = requests().back();
        ASSERT_EQ(ops.targetControl(1, 0x12345678), 0);
        const Bytes run = requests().back();
        EXPECT_EQ(run[6], '1');
        EXPECT_EQ(run[12], power ? 'P' : 'U');
        EXPECT_EQ(run.size(), 36u);
        programmer->withModel([&](vprog::DeviceModel& m) {
            EXPECT_EQ(m.lastRunAddress().value_or(0), 0x12345678u);
            EXPECT_EQ(m.lastPowerByte().value_or(0), power ? 'P' : 'U');
        });
        EXPECT_EQ(host.log.last(), QStringLiteral("Target run..."));
    }
    EXPECT_EQ(initFrames[0][6], '0');
    EXPECT_EQ(initFrames[0], initFrames[1]);  // SWD init never depends on the box
}

TEST_F(TargetTest, TargetControlSelectsTheMcuTypeRow) {
    const std::pair<uint32_t, int> types[] = {
        {0x19710100, 0}, {0x19714807, 1}, {0x19712700, 2}, {0x19715120, 3},
        {0x19713900, 4}, {0x19713100, 5}, {0x12345678, 0},
    };
    for (const auto& [type, row] : types) {
        programmer->withModel([t = type](vprog::DeviceModel& m) { m.mutableOptions().targetType = t; });
        host = qvtest::RecordingHost();
        host.mcuTypeRow = -7;
        EXPECT_EQ(ops.targetControl(0, 0), 0);
        EXPECT_EQ(host.mcuTypeRow, row) << std::hex << type;
        // Only a QV310 reports a flash id; with no Flash.ini here it is not found, so no line.
        EXPECT_EQ(host.log, QStringList{QStringLiteral("Target type:") + qv::hexText(type, 8)});
    }
}

TEST_F(TargetTest, AQv310FlashIdIsLookedUpInTheCatalogue) {
    {
        QFile ini(cwd.filePath(QStringLiteral("Flash.ini")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Text));
        ini.write("[FLASH]\n0x1C4016,512,4096,CHIP 16M,\n0xEF4018,0x100,0x10000,BIG,\n");
    }
    struct Case {
        uint32_t id;
        const char* line;  // nullptr: not in the catalogue
        int32_t size;
        const char* name;
    };
    const Case cases[] = {
        {0x1C4016, "target_flash_ID:  0x1C4016", 0x180000, "CHIP16M"},
        {0xEF4018, "target_flash_ID:  0xEF4018", 0x1000000 - 0x80000, "BIG"},
        {0x0000AB, nullptr, 0, ""},
    };
    for (const Case& c : cases) {
        programmer->withModel([id = c.id](vprog::DeviceModel& m) { m.mutableOptions().targetFlashId = id; });
        host = qvtest::RecordingHost();
        EXPECT_EQ(ops.targetControl(0, 0), 0);
        QStringList expected{QStringLiteral("Target type:0x19713100")};
        if (c.line)
            expected << QString::fromLatin1(c.line);
        EXPECT_EQ(host.log, expected);
        EXPECT_EQ(link.connection().targetFlash.id, c.id);
        EXPECT_EQ(link.connection().targetFlash.size, c.size);
        EXPECT_EQ(link.connection().targetFlash.name, QString::fromLatin1(c.name));
        EXPECT_EQ(host.texts[qv::TextField::TargetFlashId], qv::hexText(c.id, 6));
    }
}

TEST_F(TargetTest, TargetControlFailuresGiveTheirCodes) {
    struct Case {
        vprog::Fault fault;
        int run;
        int result;
        const char* linePrefix;  // nullptr: no line at all
    };
    const Case cases[] = {
        {vprog::Fault::WrongLetter, 0, -3, nullptr},
        {vprog::Fault::BadCrc, 0, -4, "SWD init CRC:0x"},
        {vprog::Fault::BadCrc, 1, -4, "SWD init CRC:0x"},
        {vprog::Fault::TargetRunFailure, 1, 0, "Target run fail..."},
        {vprog::Fault::NoReply, 1, -2, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.fault));
        host = qvtest::RecordingHost();
        ASSERT_NO_FATAL_FAILURE(reconnect(c.fault, 1));
        EXPECT_EQ(ops.targetControl(c.run, 0), c.result);
        if (c.linePrefix) {
            ASSERT_EQ(host.log.size(), 1);
            EXPECT_TRUE(host.log[0].startsWith(QString::fromLatin1(c.linePrefix)))
                << host.log[0].toStdString();
        } else {
            EXPECT_TRUE(host.log.isEmpty());
        }
    }
}

TEST_F(TargetTest, ProgramTargetNamesTheStageThatFailed) {
    struct Case {
        const char* what;
        size_t length;
        vprog::Fault fault;
        uint32_t atRequest;  // requests: A, F per block, F boot index, G, A
        int result;
        const char* line;  // a line the failure leaves, if any
        const char* sent;  // request letters the programmer received
    };
    const Case cases[] = {
        {"written", 5000, vprog::Fault::None, 0, 0, "Check crc OK!", "AFFFGA"},
        {"too short", 7, vprog::Fault::None, 0, -1, nullptr, ""},
        {"SWD init", 5000, vprog::Fault::BadCrc, 1, 10, nullptr, "A"},
        {"full block", 5000, vprog::Fault::BadCrc, 2, -3, "NG, Addr : 0xa000-4", "AF"},
        {"partial block", 5000, vprog::Fault::WrongLength, 3, -5, "NG, Addr : 0xb000-3", "AFF"},
        {"boot index", 5000, vprog::Fault::WrongLetter, 4, -3, "NG, Addr : 0x7e000-3", "AFFF"},
        {"CRC check", 5000, vprog::Fault::CrcStatusMismatch, 1, -7, "Check crc NG!", "AFFFG"},
        {"CRC reply", 5000, vprog::Fault::BadCrc, 5, -7, "Check crc NG!", "AFFFG"},
        {"target run", 5000, vprog::Fault::BadCrc, 6, 10, "Check crc OK!", "AFFFGA"},
        // The programmer's own report of a failed run is only logged.
        {"run refused", 5000, vprog::Fault::TargetRunFailure, 1, 0, "Target run fail...", "AFFFGA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(reconnect(c.fault, c.atRequest));
        host = qvtest::RecordingHost();
        const Bytes image = makeImage(c.length);
        ops.imageData = QByteArray(reinterpret_cast<const char*>(image.data()), int(image.size()));
        ops.imageLength = int32_t(image.size());
        ops.imageCrc = qv::crc32zero(image.data(), image.size());

        EXPECT_EQ(ops.programTarget(ops.imageLength, 0xA000), c.result);

        EXPECT_EQ(letters(), c.sent);
        if (c.line) {
            EXPECT_TRUE(logHas(QString::fromLatin1(c.line))) << host.log.join('|').toStdString();
        }
        if (c.result == -1) {
            EXPECT_EQ(host.criticalMessages,
                      QStringList{QStringLiteral("There aren't any datas to update!")});
        }
    }

    // A length beyond the bytes held is refused the same way, never read past the image.
    ASSERT_NO_FATAL_FAILURE(reconnect(vprog::Fault::None, 0));
    ops.imageData = QByteArray(100, '\x01');
    ops.imageLength = 100;
    EXPECT_EQ(ops.programTarget(4096, 0xA000), -1);
    EXPECT_EQ(letters(), "");
}

// --- Image input ---

TEST_F(TargetTest, InputSummarisesTheChosenImageAndWarnsAboutItsRunningAddress) {
    struct Case {
        bool boot;
        uint32_t running;
        bool warns;
    };
    const Case cases[] = {
        {false, 0x0000A101, false},
        {false, 0x0800A101, true},
        {true, 0x08000101, false},
        {true, 0x10002001, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.running));
        host = qvtest::RecordingHost();
        const Bytes image = makeImage(40960, 9, c.running);
        const QString path = writeFile(QStringLiteral("in.bin"), image);
        host.fileAnswers.push_back(path);
        if (c.boot) {
            ops.bootCodePath = QStringLiteral("/boot/dir");
            ops.inputBootCode();
        } else {
            ops.mcuCodePath = QStringLiteral("/mcu/dir");
            ops.inputMcuCode();
        }
        ASSERT_EQ(host.dialogs.size(), 1u);
        EXPECT_EQ(host.dialogs[0].caption, QStringLiteral("Select Mcu Code"));
        EXPECT_EQ(host.dialogs[0].directory,
                  c.boot ? QStringLiteral("/boot/dir") : QStringLiteral("/mcu/dir"));
        EXPECT_EQ(host.dialogs[0].filter, QStringLiteral("file(*.bin)"));
        EXPECT_EQ(c.boot ? ops.bootCodePath : ops.mcuCodePath, path);
        EXPECT_EQ(host.texts[c.boot ? qv::TextField::BootPath : qv::TextField::McuPath], path);
        const uint32_t crc = qv::crc32zero(image.data(), image.size());
        EXPECT_EQ(c.boot ? ops.bootCodeCrc : ops.imageCrc, crc);
        EXPECT_EQ(c.boot ? ops.bootCodeLength : ops.imageLength, 40960);
        EXPECT_EQ(host.texts[c.boot ? qv::TextField::BootCrcLabel : qv::TextField::McuCrcLabel],
                  QString::fromLatin1(c.boot ? "Boot code, CRC = " : "Mcu code, CRC = ") +
                      qv::hexText(crc, 8) + QStringLiteral(" Len: 40960"));
        QStringList expected;
        if (c.warns) {
            EXPECT_EQ(
                host.criticalMessages,
                QStringList{QStringLiteral("There is a problem with the running address of this file!")});
            expected << QStringLiteral("***There is a problem with the running address of this file!***");
        } else {
            EXPECT_TRUE(host.criticalMessages.isEmpty());
        }
        expected << QStringLiteral("enter_Addr:") + qv::hexText(c.running, 8);
        EXPECT_EQ(host.log, expected);
        EXPECT_EQ(host.fullLog.first(), QStringLiteral("<clear>"));
    }
    EXPECT_TRUE(requests().empty());
}

TEST_F(TargetTest, ACancelledOrFailedInputKeepsTheFirstImage) {
    const Bytes image = makeImage(1000);
    const QString path = writeFile(QStringLiteral("first.bin"), image);
    host.fileAnswers.push_back(path);
    ops.inputMcuCode();
    const QString label = host.texts[qv::TextField::McuCrcLabel];
    const QStringList log = host.log;

    ops.inputMcuCode();  // cancelled: no answer queued
    EXPECT_EQ(ops.mcuCodePath, path);
    EXPECT_EQ(host.texts[qv::TextField::McuPath], path);
    EXPECT_EQ(host.texts[qv::TextField::McuCrcLabel], label);
    EXPECT_EQ(host.log, log);
    EXPECT_EQ(ops.imageLength, 1000);

    const QString missing = files.filePath(QStringLiteral("gone.bin"));
    host.fileAnswers.push_back(missing);
    ops.inputMcuCode();
    EXPECT_EQ(host.errorMessages, QStringList{QStringLiteral("Read fail,please check the path!")});
    EXPECT_EQ(host.texts[qv::TextField::McuPath], missing);
    EXPECT_TRUE(host.log.isEmpty());
    EXPECT_EQ(host.texts[qv::TextField::McuCrcLabel], label);
    EXPECT_EQ(ops.imageLength, 1000);
    EXPECT_EQ(ops.imageCrc, qv::crc32zero(image.data(), image.size()));
}

TEST_F(TargetTest, InputOfAnImageShorterThanEightBytesReadsOnlyItsBytes) {
    for (size_t length : {size_t(0), size_t(3), size_t(7)}) {
        host = qvtest::RecordingHost();
        host.fileAnswers.push_back(writeFile(QStringLiteral("tiny.bin"), Bytes(length, 0x08)));
        ops.inputBootCode();
        EXPECT_EQ(ops.bootCodeLength, int32_t(length));
        EXPECT_TRUE(host.criticalMessages.isEmpty());
        EXPECT_EQ(host.log, QStringList{QStringLiteral("enter_Addr:0x00000000")});
    }
}

// ---------------------------------------------------------------------------------------------
// Skipping unchanged blocks: an option of the same write (the console sets it, never the window).
// The board first receives `before` with a plain write; then `after` is programmed again.

TEST_F(TargetTest, SkipUnchangedWritesOnlyTheBlocksTheProgrammerDoesNotReportEqual) {
    const QString nothingWritten = QStringLiteral("Flash already holds this image, nothing written.");
    struct Case {
        const char* name;
        bool boot;  // boot code at 0 (no index page) instead of MCU code at 0xA000
        bool skip;
        int changedBlock;    // -1: the same image again
        vprog::Fault fault;  // hits the faultAt-th request of the second write (1 = SWD init)
        uint32_t faultAt;
        std::string letters;  // requests of the second write
        std::vector<Write> written;
        qv::BlockCounts counts;
        bool nothingWrittenLine;
    };
    const std::vector<Case> cases = {
        // The whole range and the index page match: those checks, and the whole range's answer
        // stands for the final check (the same question), then the run.
        {"all match", false, true, -1, vprog::Fault::None, 0, "AGGA", {}, {0, 4}, true},
        {"boot code, all match", true, true, -1, vprog::Fault::None, 0, "AGA", {}, {0, 3}, true},
        // Whole range differs: each block is checked, only the changed one is written.
        {"one block changed",
         false,
         true,
         1,
         vprog::Fault::None,
         0,
         "AGGGGFGGA",
         {{0xB000, 4096}},
         {1, 3},
         false},
        // A whole-range reply that fails its CRC is not trusted: every block is checked on its own.
        {"bad CRC on the whole-range check",
         false,
         true,
         -1,
         vprog::Fault::BadCrc,
         2,
         "AGGGGGGA",
         {},
         {0, 4},
         false},
        // A block check whose reply fails its CRC writes that block, although it was equal.
        {"bad CRC on a block check",
         false,
         true,
         1,
         vprog::Fault::BadCrc,
         4,
         "AGGGFGFGGA",
         {{0xA000, 4096}, {0xB000, 4096}},
         {2, 2},
         false},
        // The image is in place but the index page is reported different: only the page is written.
        {"index page differs",
         false,
         true,
         -1,
         vprog::Fault::CrcStatusMismatch,
         3,
         "AGGFGA",
         {{0x7E000, 4096}},
         {1, 3},
         false},
        // Without the option everything is written as always, whatever the board holds.
        {"option off",
         false,
         false,
         -1,
         vprog::Fault::None,
         0,
         "AFFFFGA",
         {{0xA000, 4096}, {0xB000, 4096}, {0xC000, 2048}, {0x7E000, 4096}},
         {4, 0},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(reconnect(vprog::Fault::None, 0));
        const Bytes before = makeImage(10240, 3, c.boot ? 0x00000101 : 0x0000A101);
        Bytes after = before;
        if (c.changedBlock >= 0)
            after[size_t(c.changedBlock) * 4096 + 100] ^= 0x5A;
        const uint32_t start = c.boot ? 0 : 0xA000;

        ops.writeOptions.skipUnchanged = false;
        c.boot ? useBootImage(before) : useMcuImage(before);
        c.boot ? ops.programBootCode() : ops.programMcuCode();
        ASSERT_TRUE(logHas(kOk));
        const size_t firstRequest = requests().size();
        const size_t firstWrite = writes().size();

        ops.writeOptions.skipUnchanged = c.skip;
        if (c.fault != vprog::Fault::None) {
            programmer->withModel([&](vprog::DeviceModel& m) {
                m.mutableOptions().fault = c.fault;
                m.mutableOptions().faultAtRequest = m.requestCount() + c.faultAt;
            });
        }
        c.boot ? useBootImage(after) : useMcuImage(after);
        c.boot ? ops.programBootCode() : ops.programMcuCode();

        EXPECT_TRUE(logHas(kOk)) << host.log.join('\n').toStdString();
        EXPECT_EQ(letters().substr(firstRequest), c.letters);
        const std::vector<Write> all = writes();
        EXPECT_EQ(std::vector<Write>(all.begin() + long(firstWrite), all.end()), c.written);
        EXPECT_EQ(ops.blockCounts.written, c.counts.written);
        EXPECT_EQ(ops.blockCounts.skipped, c.counts.skipped);
        EXPECT_EQ(logHas(nothingWritten), c.nothingWrittenLine);
        EXPECT_EQ(logHas(qv::blockCountsLine(ops.blockCounts)), c.skip);
        EXPECT_EQ(code(start, after.size()), after);
        if (!c.boot) {
            EXPECT_EQ(code(0x7E000, 4096), bootIndexPage());
        }
        // The last check of the image's range is the plain write's final check (or the first,
        // whole-range one that stood for it): the image's CRC over its whole range.
        const std::vector<Bytes> sent = requests();
        const Bytes* last = nullptr;
        for (size_t i = firstRequest; i < sent.size(); ++i) {
            if (sent[i][2] == 'G' && qv::frame::getBe32(sent[i].data() + 6) == start)
                last = &sent[i];
        }
        ASSERT_NE(last, nullptr);
        EXPECT_EQ(qv::frame::getBe32(last->data() + 10), after.size());
        EXPECT_EQ(qv::frame::getBe32(last->data() + 14), qv::crc32zero(after.data(), after.size()));
    }
    ops.writeOptions = qv::WriteOptions();
}

// After a block was written the final check is made and decides: a board whose final check fails
// is reported as failed, whatever the block checks said.
TEST_F(TargetTest, SkipUnchangedStillFailsOnAFailedFinalCheck) {
    const Bytes image = makeImage(8192, 5);
    useMcuImage(image);
    ops.programMcuCode();
    ASSERT_TRUE(logHas(kOk));
    ops.writeOptions.skipUnchanged = true;
    Bytes changed = image;
    changed[4096 + 100] ^= 0x5A;
    useMcuImage(changed);
    // SWD init, whole range, index page, block 0, block 1, its write: then the final check
    // answers "different".
    const size_t firstRequest = requests().size();
    programmer->withModel([&](vprog::DeviceModel& m) {
        m.mutableOptions().fault = vprog::Fault::CrcStatusMismatch;
        m.mutableOptions().faultAtRequest = m.requestCount() + 7;
    });
    ops.programMcuCode();
    EXPECT_EQ(letters().substr(firstRequest), "AGGGGFG");
    EXPECT_TRUE(logHas(QStringLiteral("Check crc NG!")));
    EXPECT_TRUE(logHas(kFail));
    ops.writeOptions = qv::WriteOptions();
}

}  // namespace
