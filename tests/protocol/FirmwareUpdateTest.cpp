// Updating the programmer's application and boot loader, against the real transfer worker and a
// virtual programmer in the same process.
#include "Rig.h"

#include "app/FirmwareUpdate.h"
#include "protocol/Text.h"

namespace {

using prototest::Bytes;
using prototest::Rig;
using vprog::Fault;

constexpr uint32_t kBoardMcu = 0x19710310;

Bytes makeImage(size_t size, uint32_t version = 0x200101, uint32_t mcu = kBoardMcu) {
    Bytes image(size);
    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<uint8_t>(i * 31 + 7);
    if (size >= 0x1008) {
        qv::frame::putBe24(&image[0x1000], version);
        qv::frame::putBe32(&image[0x1004], mcu);
    }
    return image;
}

// A connected programmer (application update: boot loader running; boot update: application
// running with boot updates allowed) and a firmware file to offer in the dialog.
struct UpdateRig {
    prototest::WorkDir work;
    Rig rig;
    qv::FirmwareUpdate update{rig.link, rig.host};
    bool app;

    explicit UpdateRig(bool application, vprog::Options options = {}) : app(application) {
        options.modeLetter = application ? '[' : ';';
        rig.plugVirtual(options);
        rig.host.upbootEnabled = !application;
        rig.openAndConnect();
        rig.host.buttonsEnabledCalls.clear();
    }

    QString writeFile(const Bytes& image) {
        const QString path = work.path() + (app ? "/fw.app" : "/fw.boot");
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(reinterpret_cast<const char*>(image.data()), static_cast<qint64>(image.size()));
        return path;
    }

    void run(const Bytes& image) {
        rig.host.fileAnswers.push_back(writeFile(image));
        runWithoutFile();
    }
    void runWithoutFile() {
        if (app) {
            update.updateApplication();
        } else {
            update.updateBootLoader();
        }
    }

    // Requests after the handshake.
    std::vector<Bytes> sentAfterHandshake() {
        std::vector<Bytes> all = rig.requests();
        EXPECT_GE(all.size(), 1u);
        EXPECT_EQ(all[0][2], 'K');
        return std::vector<Bytes>(all.begin() + 1, all.end());
    }
};

struct Chunk {
    uint32_t offset;
    uint32_t length;
    size_t wire;
};

std::vector<Chunk> chunksOf(const std::vector<Bytes>& sent) {
    std::vector<Chunk> chunks;
    for (const Bytes& frame : sent) {
        if (frame[2] != 'J')
            continue;
        chunks.push_back({qv::frame::getBe32(&frame[6]), qv::frame::getBe24(&frame[3]) - 14, frame.size()});
    }
    return chunks;
}

QStringList withoutTimes(QStringList lines) {
    for (QString& line : lines) {
        if (line.startsWith("Timer:"))
            line = "Timer:";
    }
    return lines;
}

TEST(FirmwareUpdate, ImagesAreSentInChunksCheckedAndClosed) {
    struct Case {
        bool app;
        size_t size;
        std::vector<Chunk> chunks;
        std::vector<int> progress;
    };
    const Case cases[] = {
        {true, 8192, {{0, 4096, 4110}, {4096, 4096, 4110}}, {0, 50, 100, 100}},
        {true, 10000, {{0, 4096, 4110}, {4096, 4096, 4110}, {8192, 1808, 1822}}, {0, 40, 81, 100}},
        {true, 4118, {{0, 4096, 4110}, {4096, 22, 38}}, {0, 99, 100}},
        {false, 4104, {{0, 4096, 4110}, {4096, 8, 22}}, {0, 99, 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + (c.app ? " app" : " boot"));
        UpdateRig u(c.app);
        const Bytes image = makeImage(c.size);
        u.run(image);

        const qvtest::RecordingHost& host = u.rig.host;
        ASSERT_EQ(host.dialogs.size(), 1u);
        EXPECT_EQ(host.dialogs[0].caption, "Select firmware files");
        EXPECT_EQ(host.dialogs[0].directory, u.work.path() + (c.app ? "/Firmware" : "/Bootware"));
        EXPECT_EQ(host.dialogs[0].filter, c.app ? "file(*.app)" : "file(*.boot)");

        const uint32_t crc = qv::crc32zero(image.data(), image.size());
        const QStringList want = {"Timer:",
                                  "Program flash..",
                                  "Write EFlash end!",
                                  "Timer:",
                                  "Read crc:" + qv::hexText(crc, 8),
                                  "Check EFlash OK!",
                                  "Timer:",
                                  "",
                                  "Update MCU is OK!!!!!!"};
        EXPECT_EQ(withoutTimes(host.log), want);
        const QString crcLine = (c.app ? "APP code, CRC = " : "Boot code, CRC = ") + qv::hexText(crc, 8) +
                                " Len: " + QString::number(c.size);
        EXPECT_TRUE(host.fullLog.contains(crcLine)) << crcLine.toStdString();
        EXPECT_EQ(host.progress, c.progress);

        const std::vector<Bytes> sent = u.sentAfterHandshake();
        const std::vector<Chunk> chunks = chunksOf(sent);
        ASSERT_EQ(chunks.size(), c.chunks.size());
        for (size_t i = 0; i < chunks.size(); ++i) {
            EXPECT_EQ(chunks[i].offset, c.chunks[i].offset) << i;
            EXPECT_EQ(chunks[i].length, c.chunks[i].length) << i;
            EXPECT_EQ(chunks[i].wire, c.chunks[i].wire) << i;
        }
        ASSERT_EQ(sent.size(), chunks.size() + 2);
        const Bytes& check = sent[sent.size() - 2];
        EXPECT_EQ(check[2], 'L');
        EXPECT_EQ(qv::frame::getBe32(&check[6]), 0u);
        EXPECT_EQ(qv::frame::getBe32(&check[10]), c.size);
        EXPECT_EQ(qv::frame::getBe32(&check[14]), crc);
        const Bytes& finish = sent.back();
        EXPECT_EQ(finish[2], 'O');
        EXPECT_EQ(finish[6], c.app ? 1 : 0);

        u.rig.vp->withModel([&image](vprog::DeviceModel& m) {
            EXPECT_EQ(Bytes(m.firmwareArea().begin(), m.firmwareArea().begin() + image.size()), image);
        });
        EXPECT_EQ(host.buttonsEnabledCalls, (std::vector<bool>{false, true}));
        EXPECT_FALSE(u.rig.host.buttons.at(qv::Button::UpdateApp));
        EXPECT_FALSE(u.rig.host.buttons.at(qv::Button::UpdateBoot));
        EXPECT_EQ(u.rig.host.upbootEnabled, false);
        EXPECT_TRUE(u.update.imageData.isEmpty()) << "the image is released when the slot ends";
        EXPECT_FALSE(u.rig.link.operationRunning());
    }
}

TEST(FirmwareUpdate, TheSameVersionIsStillWritten) {
    for (bool app : {true, false}) {
        SCOPED_TRACE(app ? "app" : "boot");
        UpdateRig u(app);
        u.rig.host.buttons[qv::Button::UpdateBoot] = true;
        // The virtual programmer runs application 0x190528 and boot loader 0x181201.
        u.run(makeImage(8192, app ? 0x190528 : 0x181201));
        const QStringList& full = u.rig.host.fullLog;
        const int at = full.indexOf("The same version!");
        ASSERT_GE(at, 2);
        EXPECT_EQ(full[at - 2], app ? "file_Version:0x20190528" : "file_Version:0x20181201");
        EXPECT_EQ(full[at - 1], app ? "App_Version:0x20190528" : "Boot_Version:0x20181201");
        EXPECT_FALSE(u.rig.host.log.contains("The same version!")) << "wiped when writing starts";
        EXPECT_EQ(u.rig.host.log.back(), "Update MCU is OK!!!!!!");
        EXPECT_EQ(chunksOf(u.sentAfterHandshake()).size(), 2u);
        // Only a boot update switches the boot button off.
        EXPECT_EQ(u.rig.host.buttons.at(qv::Button::UpdateBoot), app);
        EXPECT_FALSE(u.rig.host.buttons.at(qv::Button::UpdateApp));
    }
}

TEST(FirmwareUpdate, RefusalsSendNothing) {
    struct Case {
        const char* what;
        bool app;
        int kind;  // 0 image, 1 cancelled dialog, 2 unreadable file, 3 device not open
        Bytes image;
        QStringList log;
        QStringList messages;
    };
    const Case cases[] = {
        {"other mcu",
         true,
         0,
         makeImage(8192, 0x200101, 0x19710311),
         {"(Board mcu)&(file mcu):0x19710310 & 0x19710311", "The mcu type mismatch!"},
         {}},
        {"other mcu, boot",
         false,
         0,
         makeImage(8192, 0x200101, 0x12345678),
         {"(Board mcu)&(file mcu):0x19710310 & 0x12345678", "The mcu type mismatch!"},
         {}},
        {"header cut short", true, 0, makeImage(0x1007), {"The firmware file is too short!"}, {}},
        {"tiny file", false, 0, makeImage(5), {"The firmware file is too short!"}, {}},
        {"empty file", true, 0, Bytes(), {"The firmware file is too short!"}, {}},
        {"cancelled", true, 1, {}, {}, {"Please input firmware file"}},
        {"cancelled, boot", false, 1, {}, {}, {"Please input Bootware file"}},
        {"unreadable", true, 2, {}, {"/no/such/dir/fw.app"}, {"Read fail,please check the path!"}},
        {"not open", true, 3, {}, {"The programmer boot is disconnected!"}, {}},
        {"not open, boot", false, 3, {}, {"The programmer app is disconnected!"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UpdateRig u(c.app);
        qvtest::RecordingHost& host = u.rig.host;
        QStringList log = c.log;
        if (c.kind == 0) {
            const uint32_t crc = qv::crc32zero(c.image.data(), c.image.size());
            log.prepend((c.app ? "APP code, CRC = " : "Boot code, CRC = ") + qv::hexText(crc, 8) +
                        " Len: " + QString::number(c.image.size()));
            u.run(c.image);
        } else if (c.kind == 1) {
            u.runWithoutFile();
        } else if (c.kind == 2) {
            host.fileAnswers.push_back("/no/such/dir/fw.app");
            u.runWithoutFile();
        } else {
            u.rig.device.close();
            host.log.clear();
            u.runWithoutFile();
            EXPECT_TRUE(host.dialogs.empty());
        }
        EXPECT_EQ(host.log, log);
        EXPECT_EQ(host.criticalMessages, c.messages);
        EXPECT_TRUE(u.sentAfterHandshake().empty());
        EXPECT_EQ(host.buttonsEnabledCalls, c.kind == 3 ? std::vector<bool>{false} : std::vector<bool>{});
        EXPECT_TRUE(host.progress.empty());
        EXPECT_FALSE(u.rig.link.operationRunning());
    }
}

TEST(FirmwareUpdate, FailuresEndWithTheirLines) {
    struct Case {
        const char* what;
        size_t size;
        uint32_t faultAtRequest;  // counted from the first request after the handshake
        Fault fault;
        QStringList tail;  // the log lines after "Program flash.."
        char lastLetter;
    };
    const Case cases[] = {
        {"full chunk, wrong letter",
         12288,
         2,
         Fault::WrongLetter,
         {"UPDATE_FLASH NG, Addr : 0x1000-3", "", "Update MCU is fail....."},
         'J'},
        {"first chunk, no reply",
         8192,
         1,
         Fault::NoReply,
         {"UPDATE_FLASH NG, Addr : 0x0-2", "", "Update MCU is fail....."},
         'J'},
        {"programmer gone during a chunk",
         12288,
         2,
         Fault::Unplug,
         {"UPDATE_FLASH NG, Addr : 0x1000-2", "", "Update MCU is fail....."},
         'J'},
        {"partial chunk, bad crc",
         10000,
         3,
         Fault::BadCrc,
         {"UPDATE_FLASH NG, Addr : 0x2000-4", "", "Update MCU is fail....."},
         'J'},
        {"programmer's crc differs",
         8192,
         3,
         Fault::CrcStatusMismatch,
         {"Write EFlash end!", "Timer:", "Read crc:*", "Check EFlash NG!", "", "Update MCU is fail....."},
         'L'},
        {"check reply crc wrong",
         8192,
         3,
         Fault::BadCrc,
         {"Write EFlash end!", "Timer:", "CRC error:*", "Check EFlash NG!", "", "Update MCU is fail....."},
         'L'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UpdateRig u(true);
        u.rig.vp->withModel([&c](vprog::DeviceModel& m) {
            m.mutableOptions().fault = c.fault;
            m.mutableOptions().faultAtRequest = m.requestCount() + c.faultAtRequest;
        });
        if (c.fault == Fault::NoReply || c.fault == Fault::Unplug)
            u.rig.link.setPacing(prototest::quickPacing());
        u.run(makeImage(c.size));
        QStringList log = withoutTimes(u.rig.host.log);
        ASSERT_GE(log.size(), 2);
        EXPECT_EQ(log.mid(0, 2), (QStringList{"Timer:", "Program flash.."}));
        log = log.mid(2);
        ASSERT_EQ(log.size(), c.tail.size()) << log.join(" | ").toStdString();
        for (int i = 0; i < log.size(); ++i) {
            if (c.tail[i].endsWith('*')) {
                EXPECT_TRUE(log[i].startsWith(c.tail[i].chopped(1))) << log[i].toStdString();
            } else {
                EXPECT_EQ(log[i], c.tail[i]);
            }
        }
        const std::vector<Bytes> sent = u.sentAfterHandshake();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back()[2], c.lastLetter) << "nothing sent after the failure";
        EXPECT_EQ(u.rig.host.buttonsEnabledCalls, (std::vector<bool>{false, true}));
        EXPECT_TRUE(u.rig.host.buttons.at(qv::Button::UpdateApp)) << "a failed update can be retried";
    }
}

TEST(FirmwareUpdate, ADeviceClosedBetweenChunksStopsTheWrite) {
    UpdateRig u(true);
    qvtest::RecordingHost& host = u.rig.host;
    // The unplug handler runs inside the event pumping after the first chunk.
    host.onProcessEvents = [&u, &host] {
        if (host.progress.size() == 2 && u.rig.device.isOpen())
            u.rig.device.close();
    };
    u.run(makeImage(12288));
    EXPECT_EQ(withoutTimes(host.log),
              (QStringList{"Timer:", "Program flash..", "The programmer boot is disconnected!", "",
                           "Update MCU is fail....."}));
    EXPECT_EQ(host.buttonsEnabledCalls, (std::vector<bool>{false, false, true}));
    EXPECT_EQ(host.progress, (std::vector<int>{0, 33}));
    EXPECT_EQ(chunksOf(u.sentAfterHandshake()).size(), 1u);
}

TEST(FirmwareUpdate, NoSecondOperationStartsWhileAnUpdateRuns) {
    UpdateRig u(true);
    qvtest::RecordingHost& host = u.rig.host;
    int nested = 0;
    host.onProcessEvents = [&] {
        if (nested++ > 0)
            return;
        host.fileAnswers.push_back("/never/asked.app");
        u.update.updateApplication();
        u.update.updateBootLoader();
        qv::openProgrammer(u.rig.link, u.rig.host, QStringList{u.rig.path()}, 0);
    };
    u.run(makeImage(8192));
    EXPECT_GT(nested, 0);
    EXPECT_EQ(host.dialogs.size(), 1u);
    // The open programmer is only reported; the box sends nothing.
    EXPECT_EQ(host.criticalMessages, QStringList{"The programmer have opened!"});
    EXPECT_EQ(host.log.back(), "Update MCU is OK!!!!!!");
    EXPECT_EQ(chunksOf(u.sentAfterHandshake()).size(), 2u);
}

TEST(FirmwareUpdate, FlashFirmwareImageRefusesWhatIsNotThere) {
    prototest::WorkDir work;
    Rig rig;
    qv::FirmwareUpdate update(rig.link, rig.host);
    update.imageData = QByteArray(7, 'x');
    update.firmwareLength = 7;
    EXPECT_EQ(update.flashFirmwareImage(7), -1);
    update.imageData = QByteArray(100, 'x');
    update.firmwareLength = 100;
    EXPECT_EQ(update.flashFirmwareImage(101), -1);
    EXPECT_EQ(rig.host.criticalMessages,
              (QStringList{"There aren't any datas to update!", "There aren't any datas to update!"}));
    EXPECT_EQ(rig.host.processEventsCalls, 0);
    EXPECT_EQ(rig.worker.txPending.load(), 0);
}

}  // namespace
