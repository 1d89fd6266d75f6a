// The UI flash buttons end to end: the real link, worker and device against an in-process virtual
// programmer, with a recording host in place of the window.

#include "protocol/Crc32.h"
#include "protocol/Frames.h"
#include "protocol/Pacing.h"
#include "protocol/ProgrammerLink.h"
#include "protocol/Text.h"
#include "support/RecordingHost.h"
#include "app/TargetOperations.h"
#include "app/UiFlashOperations.h"
#include "uiflash/UiFormats.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"
#include "vprog/VirtualProgrammer.h"

#include "TestImages.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace uitest;
using qv::TextField;

namespace {

// The slow pause shortened to half a millisecond, a sleep rather than a spin: budgets and code
// paths stay those of the tool. No test here runs a slow budget out, and a send budget of half a
// second leaves a loaded machine's worker thread time to be scheduled (a 20 us pause made SWD init
// time out now and then under TSan).
qv::Pacing quickPacing() {
    qv::Pacing pacing = qv::Pacing::standard();
    pacing.slowPause = [] { std::this_thread::sleep_for(std::chrono::microseconds(500)); };
    return pacing;
}

struct Write {
    uint32_t address, length;
    bool operator==(const Write& o) const { return address == o.address && length == o.length; }
};
struct Check {
    uint32_t crc, address, length;
    bool operator==(const Check& o) const {
        return crc == o.crc && address == o.address && length == o.length;
    }
};
std::ostream& operator<<(std::ostream& os, const Write& w) {
    return os << "F(0x" << std::hex << w.address << std::dec << "," << w.length << ")";
}
std::ostream& operator<<(std::ostream& os, const Check& c) {
    return os << "G(0x" << std::hex << c.crc << ",0x" << c.address << std::dec << "," << c.length << ")";
}

QString hex8(uint32_t v) {
    return qv::hexText(v, 8);
}

}  // namespace

// Readable failure output for texts and lists of log lines.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

// One window's worth of UI flash machinery in a working directory of its own whose Flash.ini
// gives the target's SPI flash uiRoom bytes above the UI base.
class UiRig {
  public:
    explicit UiRig(bool open = true, int32_t uiRoom = 0x180000)
        : previous_(QDir::currentPath()),
          link(worker, device, host, quickPacing()),
          target(link, host),
          ui(link, host) {
        QDir::setCurrent(dir_.path());
        const QByteArray ini =
            "[FLASH]\r\n0x1C4016," + QByteArray::number(0x80000 + uiRoom) + ",1,EN25QH16,\r\n";
        QFile f(dir_.filePath(QStringLiteral("Flash.ini")));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(ini);
        f.close();

        worker.device = &device;
        vprog::Options options;
        options.name = "ui";
        vp = std::make_unique<vprog::VirtualProgrammer>(options);
        EXPECT_TRUE(vp->plug());
        if (open) {
            EXPECT_TRUE(device.open(QString::fromStdString(vp->devicePath())));
            // The worker clears noSleep when its loop begins; wait for that so that it cannot
            // undo the operation's own setting.
            worker.noSleep.store(1);
            worker.start();
            while (worker.noSleep.load() != 0)
                QThread::yieldCurrentThread();
        }
    }
    ~UiRig() {
        vp->unplug();
        worker.stopAndWait();
        device.close();
        QDir::setCurrent(previous_);
    }

    QString file(const QString& name, const Bytes& bytes) {
        const QString path = dir_.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
        return path;
    }
    QString missing(const QString& name) { return dir_.filePath(name); }
    void writeFlashIni(const QByteArray& text) {
        QFile f(dir_.filePath(QStringLiteral("Flash.ini")));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }

    Bytes spi(size_t n) {
        Bytes out;
        vp->withModel(
            [&](vprog::DeviceModel& m) { out.assign(m.spiFlash().begin(), m.spiFlash().begin() + n); });
        return out;
    }
    void setSpi(const Bytes& bytes) {
        vp->withModel(
            [&](vprog::DeviceModel& m) { std::copy(bytes.begin(), bytes.end(), m.spiFlash().begin()); });
    }
    std::vector<Bytes> requests() {
        std::vector<Bytes> log;
        vp->withModel([&](vprog::DeviceModel& m) { log = m.requestLog(); });
        return log;
    }
    // The request letters in order, e.g. "AFFGA".
    std::string letters() {
        std::string s;
        for (const Bytes& r : requests())
            s += r.size() > 2 ? char(r[2]) : '?';
        return s;
    }
    std::vector<Write> writes() {
        std::vector<Write> out;
        for (const Bytes& r : requests()) {
            if (r.size() < 10 || r[2] != 'F')
                continue;
            const uint32_t total = uint32_t(r[3]) << 16 | uint32_t(r[4]) << 8 | r[5];
            out.push_back({getBe32(r.data() + 6), total - 14});
        }
        return out;
    }
    std::vector<Check> checks() {
        std::vector<Check> out;
        for (const Bytes& r : requests()) {
            if (r.size() < 18 || r[2] != 'G')
                continue;
            out.push_back({getBe32(r.data() + 14), getBe32(r.data() + 6), getBe32(r.data() + 10)});
        }
        return out;
    }
    // The fault hits the n-th request from now (1 = the next one).
    void faultAt(uint32_t n, vprog::Fault fault) {
        vp->withModel([&](vprog::DeviceModel& m) {
            m.mutableOptions().fault = fault;
            m.mutableOptions().faultAtRequest = m.requestCount() + n;
        });
    }
    // The log with the clock readings taken out of the time-stamp lines.
    QStringList log() const {
        QStringList out = host.log;
        static const QRegularExpression timer(QStringLiteral("^Timer:\\d+:\\d+:\\d+$"));
        for (QString& line : out) {
            if (timer.match(line).hasMatch())
                line = QStringLiteral("Timer:");
        }
        return out;
    }
    // Loads a difference file the way the Update UI slot does, for calling updateUiBlocks.
    bool loadDiff(const Bytes& diff) {
        ui.uiImageData = diff;
        return ui.inspectDiffFile(diff.data(), int32_t(diff.size())).accepted;
    }

  private:
    QTemporaryDir dir_;
    QString previous_;

  public:
    std::unique_ptr<vprog::VirtualProgrammer> vp;
    qv::UsbDevice device;
    USB_BURN_CTRL worker;
    qvtest::RecordingHost host;
    qv::ProgrammerLink link;
    qv::TargetOperations target;
    qv::UiFlashOperations ui;
};

const QString kTargetType = QStringLiteral("Target type:0x19713100");
const QString kTargetFlash = QStringLiteral("target_flash_ID:  0x1C4016");

}  // namespace

// ---------------------------------------------------------------------------------------------
// Input UI bin

TEST(SelectUiFile, CancellingTheDialogChangesNothing) {
    UiRig rig(false);
    rig.host.texts[TextField::UiCrcLabel] = QStringLiteral("before");
    rig.ui.selectUiFile();
    ASSERT_EQ(rig.host.dialogs.size(), 1u);
    EXPECT_EQ(rig.host.dialogs[0].caption, QStringLiteral("Select Flash Code"));
    EXPECT_EQ(rig.host.dialogs[0].directory, QStringLiteral("./"));
    EXPECT_EQ(rig.host.dialogs[0].filter, QStringLiteral("file(*.bin *.diff)"));
    EXPECT_EQ(rig.ui.uiImagePath, QStringLiteral("./"));
    EXPECT_EQ(rig.host.texts.count(TextField::UiPath), 0u);
    EXPECT_EQ(rig.host.texts[TextField::UiCrcLabel], QStringLiteral("before"));
    EXPECT_TRUE(rig.host.fullLog.isEmpty());
}

TEST(SelectUiFile, ImagesAreSummarisedAndOnlyALowerCaseDiffEndingNamesADifferenceFile) {
    const Bytes valid = imageWithHeader(1000, 3);
    const uint32_t x = headerFlashCrc(valid);
    Bytes flipped = valid;
    flipped[383] ^= 0x01;
    const Bytes diff = qv::makeDiffFile(pattern(5000, 1), pattern(5000, 2), 7);
    const uint32_t diffCrc = qv::crc32zero(diff.data(), diff.size());

    struct Case {
        const char* name;
        QString fileName;
        Bytes bytes;
        QString label;
        int hasHeader;
    } cases[] = {
        {"valid header", "a.bin", valid,
         "Flash code, FileCRC = " + hex8(qv::crc32zero(valid.data(), valid.size())) +
             "  FlashCRC = " + hex8(x) + "  Len = 1000",
         1},
        {"one bit of the complement flipped", "b.bin", flipped,
         "Flash code, FileCRC = " + hex8(qv::crc32zero(flipped.data(), flipped.size())) + "  Len = 1000", 0},
        {"upper-case .DIFF is an image", "c.DIFF", diff,
         "Flash code, FileCRC = " + hex8(diffCrc) + "  Len = " + QString::number(diff.size()), 0},
        {"mixed-case .Diff is an image", "d.Diff", diff,
         "Flash code, FileCRC = " + hex8(diffCrc) + "  Len = " + QString::number(diff.size()), 0},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        UiRig rig(false);
        const QString path = rig.file(c.fileName, c.bytes);
        rig.host.fileAnswers.push_back(path);
        rig.ui.selectUiFile();
        EXPECT_EQ(rig.host.texts[TextField::UiCrcLabel], c.label);
        EXPECT_EQ(rig.host.texts[TextField::UiPath], path);
        EXPECT_EQ(rig.ui.uiImagePath, path);
        EXPECT_EQ(rig.ui.uiHasHeader, c.hasHeader);
        EXPECT_EQ(rig.ui.uiImageLength, int32_t(c.bytes.size()));
        EXPECT_TRUE(rig.host.fullLog.isEmpty());
        EXPECT_TRUE(rig.ui.uiImageData.empty());
        if (c.bytes.size() == 1000) {
            EXPECT_EQ(rig.ui.uiHeaderCrc, x);
        }
        // The next dialog opens at the file just chosen.
        rig.ui.selectUiFile();
        EXPECT_EQ(rig.host.dialogs.back().directory, path);
    }
}

TEST(SelectUiFile, AnAcceptedDifferenceFileIsDumpedAndSummarisedByItsBlockArea) {
    UiRig rig(false);
    const Bytes diff = qv::makeDiffFile(pattern(9000, 1), pattern(9000, 2), 0xA1);
    const qv::FileDiffInfo h = qv::decodeDiffInfo(diff.data());
    const QString path = rig.file(QStringLiteral("u.diff"), diff);
    rig.host.fileAnswers.push_back(path);
    rig.ui.selectUiFile();
    const QStringList expected = {
        "file_diff_info.diff_index :0x000000A1",
        "file_diff_info.dblk_lenght:" + QString::number(diff.size() - 32),
        "file_diff_info.dblk_crc   :" + hex8(h.dblk_crc),
        "file_diff_info.dblk_number:0x00000001",
        "file_diff_info.nFile_lenght:9000",
        "file_diff_info.nFile_crc  :" + hex8(h.nFile_crc),
        "file_diff_info.nFile_ui_crc:" + hex8(h.nFile_ui_crc),
        "file_diff_info.diff_para_crc:" + hex8(h.diff_para_crc),
        "par_tCRC:" + hex8(h.diff_para_crc),
        "blk_tCRC:" + hex8(h.dblk_crc),
    };
    EXPECT_EQ(rig.host.log, expected);
    EXPECT_EQ(rig.host.texts[TextField::UiCrcLabel],
              "Flash code, FileCRC = " + hex8(h.dblk_crc) + "  Len = " + QString::number(diff.size() - 32));
    EXPECT_EQ(rig.ui.uiImageLength, int32_t(diff.size()));
    EXPECT_EQ(rig.ui.uiImageCrc, qv::crc32zero(diff.data(), diff.size()));
    EXPECT_EQ(rig.ui.file_diff_info.dblk_number, 1u);
    EXPECT_TRUE(rig.host.criticalMessages.isEmpty());
}

TEST(SelectUiFile, RefusedAndUnreadableFilesAreReported) {
    Bytes blockByte = qv::makeDiffFile(pattern(5000, 1), pattern(5000, 2), 0);
    blockByte[40] ^= 1;
    const Bytes truncated = diffFrom({{0, 100, 100}, {0x1000, 200, 199}});
    const Bytes tooShort(31, 0);

    for (const Bytes* bytes : std::vector<const Bytes*>{&blockByte, &truncated, &tooShort}) {
        UiRig rig(false);
        rig.host.texts[TextField::UiCrcLabel] = QStringLiteral("before");
        rig.host.fileAnswers.push_back(rig.file(QStringLiteral("bad.diff"), *bytes));
        rig.ui.selectUiFile();
        EXPECT_EQ(rig.host.criticalMessages, QStringList{QStringLiteral("Illegal document")});
        EXPECT_EQ(rig.host.texts[TextField::UiCrcLabel], QStringLiteral("before"));
        ASSERT_EQ(rig.host.log.size(), 10);
        EXPECT_TRUE(rig.host.log[8].startsWith(QStringLiteral("par_tCRC:")));
        EXPECT_TRUE(rig.host.log[9].startsWith(QStringLiteral("blk_tCRC:")));
        EXPECT_EQ(rig.ui.uiImageLength, int32_t(bytes->size()));
    }

    for (const char* name : {"gone.bin", "gone.diff"}) {
        UiRig rig(false);
        const QString path = rig.missing(QString::fromLatin1(name));
        rig.host.fileAnswers.push_back(path);
        rig.ui.selectUiFile();
        EXPECT_EQ(rig.host.errorMessages, QStringList{QStringLiteral("Read fail,please check the path!")});
        EXPECT_EQ(rig.ui.uiImagePath, path);
        EXPECT_EQ(rig.host.texts[TextField::UiPath], path);
        EXPECT_TRUE(rig.host.fullLog.isEmpty());
    }
}

// ---------------------------------------------------------------------------------------------
// Update UI with a whole image

TEST(UpdateUiImage, FiveThousandBytesGoAsOneWholeAndOnePartialPiece) {
    UiRig rig;
    const Bytes image = pattern(5000, 9);
    const uint32_t crc = qv::crc32zero(image.data(), image.size());
    rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("ui.bin"), image);
    std::vector<uint8_t> noSleepSeen;
    rig.host.onProcessEvents = [&] { noSleepSeen.push_back(rig.worker.noSleep.load()); };

    rig.ui.updateUi();

    EXPECT_EQ(rig.writes(), (std::vector<Write>{{0x80000, 4096}, {0x81000, 904}}));
    EXPECT_EQ(rig.checks(), (std::vector<Check>{{crc, 0x80000, 5000}}));
    EXPECT_EQ(rig.letters(), "AFFGA");
    EXPECT_EQ(rig.host.progress, (std::vector<int>{0, 81, 100}));
    EXPECT_EQ(rig.spi(5000), image);
    EXPECT_EQ(rig.spi(5001).back(), 0xFF);
    const QStringList expected = {
        kTargetType,     kTargetFlash, "Init ready...",           "Timer:",        "Start to program ...",
        "Program end!",  "Timer:",     "Read crc:" + hex8(crc),   "Check crc OK!", "Timer:",
        "Target run...", "",           "Update flash is OK!!!!!!"};
    EXPECT_EQ(rig.log(), expected);
    EXPECT_EQ(rig.host.texts[TextField::UiCrcLabel], "Flash code, FileCRC = " + hex8(crc) + "  Len = 5000");
    EXPECT_EQ(rig.host.buttonsEnabledCalls, (std::vector<bool>{false, true}));
    ASSERT_FALSE(noSleepSeen.empty());
    EXPECT_TRUE(std::all_of(noSleepSeen.begin(), noSleepSeen.end(), [](uint8_t v) { return v; }));
    EXPECT_EQ(rig.worker.noSleep.load(), 0);
    EXPECT_TRUE(rig.ui.uiImageData.empty());
}

// Skipping unchanged pieces, an option of the same write that only the console sets. The area
// first receives `before` with a plain update; then `after` is written with the option. The image
// has a valid header, so the skip must compare what reaches the flash (header bytes as 0xFF).
TEST(UpdateUiImage, SkipUnchangedWritesOnlyThePiecesTheProgrammerDoesNotReportEqual) {
    struct Case {
        const char* name;
        int changedPiece;   // -1: the same image again
        uint32_t badCrcAt;  // request of the second update whose reply CRC is spoilt (0: none)
        std::string letters;
        std::vector<Write> written;
        qv::BlockCounts counts;
    };
    const std::vector<Case> cases = {
        // The whole-range answer stands for the final check (the same question).
        {"all match", -1, 0, "AGA", {}, {0, 3}},
        {"one piece changed", 1, 0, "AGGGFGGA", {{0x81000, 4096}}, {1, 2}},
        {"bad CRC on a piece check", 1, 3, "AGGFGFGGA", {{0x80000, 4096}, {0x81000, 4096}}, {2, 1}},
        {"changed partial piece", 2, 0, "AGGGGFGA", {{0x82000, 1808}}, {1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UiRig rig;
        const Bytes before = imageWithHeader(10000, 4);
        Bytes after = before;
        if (c.changedPiece >= 0) {
            after[size_t(c.changedPiece) * 4096 + 500] ^= 0x33;
            after = withValidHeader(after);
        }
        rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("before.bin"), before);
        rig.ui.updateUi();
        ASSERT_TRUE(rig.host.log.contains(QStringLiteral("Update flash is OK!!!!!!")));
        const size_t firstRequest = rig.requests().size();

        rig.ui.writeOptions.skipUnchanged = true;
        if (c.badCrcAt)
            rig.faultAt(c.badCrcAt, vprog::Fault::BadCrc);
        rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("after.bin"), after);
        rig.ui.updateUi();

        EXPECT_EQ(rig.letters().substr(firstRequest), c.letters);
        std::vector<Write> written;
        const std::vector<Bytes> sent = rig.requests();
        for (size_t i = firstRequest; i < sent.size(); ++i) {
            const Bytes& r = sent[i];
            if (r[2] == 'F')
                written.push_back({getBe32(r.data() + 6), qv::frame::getBe24(r.data() + 3) - 14});
        }
        EXPECT_EQ(written, c.written);
        EXPECT_EQ(rig.ui.blockCounts.written, c.counts.written);
        EXPECT_EQ(rig.ui.blockCounts.skipped, c.counts.skipped);
        Bytes flashed = after;
        std::fill(flashed.begin() + 372, flashed.begin() + 384, uint8_t(0xFF));
        EXPECT_EQ(rig.spi(flashed.size()), flashed);
        EXPECT_TRUE(rig.host.log.contains(QStringLiteral("Update flash is OK!!!!!!")));
        // The last check is the plain update's final check (or the whole-range one that stood for
        // it): flashCrc over the whole length.
        EXPECT_EQ(rig.checks().back(), (Check{headerFlashCrc(after), 0x80000, 10000}));
        if (c.changedPiece < 0 && !c.badCrcAt) {
            const uint32_t crc = qv::crc32zero(flashed.data(), flashed.size());
            const QStringList expected = {kTargetType,
                                          kTargetFlash,
                                          "Init ready...",
                                          "Timer:",
                                          "Start to program ...",
                                          "Read crc:" + hex8(crc),
                                          "Flash already holds this image, nothing written.",
                                          "Blocks written: 0, unchanged and skipped: 3",
                                          "Program end!",
                                          "Timer:",
                                          "Check crc OK!",
                                          "Timer:",
                                          "Target run...",
                                          "",
                                          "Update flash is OK!!!!!!"};
            EXPECT_EQ(rig.log(), expected);
        }
    }
}

TEST(UpdateUiImage, AValidHeaderArrivesAsFFAndBothUpdateAndCheckExpectFlashCrc) {
    struct Case {
        const char* name;
        Bytes image;
        bool header;
        std::vector<Write> writes;
    } cases[] = {
        {"valid header", imageWithHeader(9000, 4), true, {{0x80000, 4096}, {0x81000, 4096}, {0x82000, 808}}},
        {"no header", pattern(9000, 4), false, {{0x80000, 4096}, {0x81000, 4096}, {0x82000, 808}}},
        {"8192 bytes: two whole pieces, no partial one",
         pattern(8192, 5),
         false,
         {{0x80000, 4096}, {0x81000, 4096}}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        UiRig rig;
        const uint32_t fileCrc = qv::crc32zero(c.image.data(), c.image.size());
        const uint32_t expectedCrc = c.header ? headerFlashCrc(c.image) : fileCrc;
        Bytes inFlash = c.image;
        if (c.header)
            std::fill(inFlash.begin() + 372, inFlash.begin() + 384, uint8_t(0xFF));
        rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("ui.bin"), c.image);

        rig.ui.updateUi();
        EXPECT_EQ(rig.writes(), c.writes);
        EXPECT_EQ(rig.spi(c.image.size()), inFlash);
        EXPECT_EQ(rig.checks(), (std::vector<Check>{{expectedCrc, 0x80000, uint32_t(c.image.size())}}));
        EXPECT_EQ(rig.host.log.back(), QStringLiteral("Update flash is OK!!!!!!"))
            << rig.host.log.join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(rig.ui.uiHasHeader, c.header ? 1 : 0);

        rig.ui.checkUi();
        const QStringList expected = {"",
                                      kTargetType,
                                      kTargetFlash,
                                      "Init ready...",
                                      "Read crc:" + hex8(expectedCrc),
                                      "Check EFlash OK!",
                                      "Target run...",
                                      "Target run..."};
        EXPECT_EQ(rig.log(), expected);
        EXPECT_EQ(rig.checks().back(), (Check{expectedCrc, 0x80000, uint32_t(c.image.size())}));
        EXPECT_EQ(rig.letters().substr(rig.letters().size() - 3), "AGA");
    }
}

TEST(UpdateUiImage, SizeLimitsAtBothEnds) {
    struct Case {
        const char* name;
        size_t size;
        int32_t room;
        std::vector<Write> writes;
        QStringList log;  // after the slot's own clear
        QStringList critical;
    } cases[] = {
        {"7 bytes: nothing to update, no traffic",
         7,
         0x180000,
         {},
         {"", "Update flash is fail....."},
         {"There aren't any datas to update!"}},
        {"8 bytes: one partial piece", 8, 0x180000, {{0x80000, 8}}, {}, {}},
        {"exactly the UI room", 5000, 5000, {{0x80000, 4096}, {0x81000, 904}}, {}, {}},
        {"one byte over the UI room",
         5001,
         5000,
         {},
         {kTargetType, kTargetFlash, "Init ready...", "Timer:", "Start to program ...",
          "UI file lengthis over than spi flash.", "", "Update flash is fail....."},
         {}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        UiRig rig(true, c.room);
        const Bytes image = pattern(c.size, 11);
        rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("ui.bin"), image);
        rig.ui.updateUi();
        EXPECT_EQ(rig.writes(), c.writes);
        EXPECT_EQ(rig.host.criticalMessages, c.critical);
        if (!c.log.isEmpty()) {
            EXPECT_EQ(rig.log(), c.log);
        }
        if (c.writes.empty()) {
            EXPECT_EQ(rig.letters(), c.size < 8 ? "" : "A");
        } else {
            EXPECT_EQ(rig.host.log.back(), QStringLiteral("Update flash is OK!!!!!!"))
                << rig.host.log.join(QLatin1Char('|')).toStdString();
            EXPECT_EQ(rig.spi(c.size), image);
        }
        EXPECT_EQ(rig.host.buttonsEnabledCalls, (std::vector<bool>{false, true}));
    }
}

TEST(UpdateUiImage, AFailingPieceOrCheckStopsWithItsResult) {
    struct Case {
        const char* name;
        size_t size;
        uint32_t faultAt;  // request number: 1 SWD init, 2.. the pieces
        vprog::Fault fault;
        int result;
        std::string letters;
        QString line;  // a line the log must hold
    } cases[] = {
        {"second piece, whole", 9000, 3, vprog::Fault::WrongLetter, -3, "AFF", "NG, Addr : 0x81000-3"},
        {"second piece, partial", 5000, 3, vprog::Fault::BadCrc, -5, "AFF", "NG, Addr : 0x81000-4"},
        {"SWD init", 5000, 1, vprog::Fault::WrongLetter, 10, "A", ""},
        {"CRC check mismatch", 5000, 1, vprog::Fault::CrcStatusMismatch, -7, "AFFG", "Check crc NG!"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        UiRig rig;
        rig.ui.uiImageData = pattern(c.size, 2);
        rig.ui.inspectUiImage(rig.ui.uiImageData.data(), int32_t(c.size));
        rig.faultAt(c.faultAt, c.fault);
        EXPECT_EQ(rig.ui.programUiImage(int32_t(c.size)), c.result);
        EXPECT_EQ(rig.letters(), c.letters);
        if (!c.line.isEmpty()) {
            EXPECT_TRUE(rig.host.log.contains(c.line)) << rig.host.log.join('|').toStdString();
        }
    }

    // Through the slot, the failing second piece ends the log with the failure line.
    UiRig rig;
    rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("ui.bin"), pattern(9000, 2));
    rig.faultAt(3, vprog::Fault::WrongLetter);
    rig.ui.updateUi();
    const QStringList tail = rig.host.log.mid(rig.host.log.size() - 3);
    EXPECT_EQ(tail, (QStringList{"NG, Addr : 0x81000-3", "", "Update flash is fail....."}));
    EXPECT_EQ(rig.host.buttonsEnabledCalls, (std::vector<bool>{false, true}));
    EXPECT_EQ(rig.worker.noSleep.load(), 0);
}

TEST(UpdateUiImage, AProgrammerGoneBetweenPiecesIsReported) {
    // The device is closed (as the unplug handler does): after the first whole piece, while the
    // loop pumps events, or once the only, partial piece is written and the progress reaches 100.
    // Both are points the loop passes whatever the timing of the replies, so the test does not
    // depend on whether the reply wait happened to pump events.
    struct Case {
        const char* name;
        size_t size;
        int result;
        std::vector<int> progress;
    } cases[] = {
        {"after a whole piece", 5000, -4, {0, 81}},
        {"after the last piece", 100, -6, {0, 100}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        UiRig rig;
        rig.ui.uiImageData = pattern(c.size, 3);
        rig.ui.inspectUiImage(rig.ui.uiImageData.data(), int32_t(c.size));
        if (c.size > 4096) {
            rig.host.onProcessEvents = [&] {
                if (rig.device.isOpen() && rig.host.progress.size() == 2)
                    rig.device.close();
            };
        } else {
            rig.host.onProgress = [&](int value) {
                if (value == 100)
                    rig.device.close();
            };
        }
        EXPECT_EQ(rig.ui.programUiImage(int32_t(c.size)), c.result);
        EXPECT_EQ(rig.letters(), "AF");
        EXPECT_EQ(rig.host.progress, c.progress);
        EXPECT_EQ(rig.host.log.back(), QStringLiteral("The programmer is disconnected!"));
        EXPECT_EQ(rig.host.buttonsEnabledCalls, (std::vector<bool>{false}));
    }
}

TEST(UpdateUiImage, FileProblemsAreReportedWithoutTraffic) {
    UiRig rig;
    rig.ui.updateUi();
    EXPECT_EQ(rig.host.criticalMessages, QStringList{"Please input flash code file"});

    const QString gone = rig.missing(QStringLiteral("gone.bin"));
    rig.host.texts[TextField::UiPath] = gone;
    rig.ui.updateUi();
    EXPECT_EQ(rig.host.criticalMessages.back(), QStringLiteral("Read fail,please check the path!"));
    EXPECT_EQ(rig.host.log, QStringList{gone});

    rig.host.texts[TextField::UiPath] = rig.missing(QStringLiteral("gone.diff"));
    rig.ui.updateUi();
    EXPECT_EQ(rig.host.errorMessages, QStringList{"Read fail,please check the path!"});
    EXPECT_EQ(rig.letters(), "");
    EXPECT_TRUE(rig.host.buttonsEnabledCalls.empty());
}

TEST(UpdateUiImage, AnOperationStartedFromInsideARunningOneDoesNothing) {
    UiRig rig;
    rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("ui.bin"), pattern(9000, 1));
    int nested = 0;
    rig.host.onProcessEvents = [&] {
        if (nested++ == 0) {
            rig.ui.updateUi();
            rig.ui.checkUi();
        }
    };
    rig.ui.updateUi();
    EXPECT_EQ(rig.letters(), "AFFFGA");
    EXPECT_EQ(rig.host.log.back(), QStringLiteral("Update flash is OK!!!!!!"))
        << rig.host.log.join(QLatin1Char('|')).toStdString();
}

TEST(UpdateUiImage, AnotherFileChosenDuringTheWriteDoesNotChangeWhatIsChecked) {
    struct Case {
        const char* name;
        Bytes written;
        bool header;
        Bytes chosen;  // picked with "Input UI bin" after the first piece
    } cases[] = {
        {"plain image, then an image with a header", pattern(9000, 1), false, imageWithHeader(5000, 2)},
        {"image with a header, then a longer plain one", imageWithHeader(9000, 3), true, pattern(12000, 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UiRig rig;
        const uint32_t expectedCrc =
            c.header ? headerFlashCrc(c.written) : qv::crc32zero(c.written.data(), c.written.size());
        rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("written.bin"), c.written);
        rig.host.fileAnswers.push_back(rig.file(QStringLiteral("chosen.bin"), c.chosen));
        bool chosen = false;
        rig.host.onProcessEvents = [&] {
            if (!chosen && !rig.writes().empty()) {
                chosen = true;
                rig.ui.selectUiFile();
            }
        };
        rig.ui.updateUi();
        ASSERT_TRUE(chosen);
        EXPECT_EQ(rig.ui.uiImageLength, int32_t(c.chosen.size())) << "the slot did run";
        EXPECT_EQ(rig.checks(), (std::vector<Check>{{expectedCrc, 0x80000, uint32_t(c.written.size())}}));
        EXPECT_TRUE(rig.host.log.contains(QStringLiteral("Check crc OK!")));
        EXPECT_EQ(rig.host.log.back(), QStringLiteral("Update flash is OK!!!!!!"))
            << rig.host.log.join(QLatin1Char('|')).toStdString();
    }
}

// ---------------------------------------------------------------------------------------------
// Update UI with a difference file

TEST(UpdateUiDiff, MakerOutputTurnsTheOldAreaIntoTheNewImage) {
    const Bytes old = pattern(20000, 1);
    auto edited = [&](std::initializer_list<size_t> offsets, size_t size) {
        Bytes b = old;
        b.resize(size, 0x3C);
        for (size_t o : offsets)
            b[o] ^= 0x55;
        return b;
    };
    struct Case {
        const char* name;
        Bytes newImage;
    } cases[] = {
        {"two separate sectors and a longer image", edited({10, 13000}, 26000)},
        {"shorter image", edited({4100}, 12000)},
        {"new image with a valid header", imageWithHeader(20000, 1)},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        UiRig rig;
        rig.setSpi(old);
        qv::DiffMakerSummary summary;
        const Bytes diff = qv::makeDiffFile(old, c.newImage, 1, &summary);
        rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("u.diff"), diff);

        rig.ui.updateUi();
        EXPECT_EQ(rig.host.log.back(), QStringLiteral("Diff Update flash is OK!!!!!!"))
            << rig.host.log.join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(rig.checks().size(), summary.blocks);
        const Bytes wanted = qv::uiFlashForm(c.newImage.data(), c.newImage.size());
        const Bytes area = rig.spi(std::max(old.size(), wanted.size()));
        EXPECT_TRUE(std::equal(wanted.begin(), wanted.end(), area.begin()));
        if (old.size() > wanted.size()) {
            EXPECT_TRUE(std::equal(old.begin() + wanted.size(), old.end(), area.begin() + wanted.size()));
        }
        EXPECT_EQ(rig.host.buttonsEnabledCalls, (std::vector<bool>{false, true}));
        EXPECT_EQ(rig.worker.noSleep.load(), 0);
        EXPECT_TRUE(rig.ui.uiImageData.empty());

        // The updated area now checks against the new image.
        rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("new.bin"), c.newImage);
        rig.ui.checkUi();
        EXPECT_TRUE(rig.host.log.contains(QStringLiteral("Check EFlash OK!")))
            << rig.host.log.join('|').toStdString();
    }
}

TEST(UpdateUiDiff, BlocksArePiecedCheckedAndLoggedInFileOrder) {
    UiRig rig;
    // 4096 at 0x3000, 6000 at 0, then an empty block at 0x5000.
    const Bytes diff = diffFrom({{0x3000, 4096, 4096}, {0, 6000, 6000}, {0x5000, 0, 0}}, 0, 3);
    const Bytes a = pattern(4096, 0x3000);
    const Bytes b = pattern(6000, 0);
    const uint32_t crcA = qv::crc32zero(a.data(), a.size());
    const uint32_t crcB = qv::crc32zero(b.data(), b.size());
    rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("u.diff"), diff);

    rig.ui.updateUi();

    EXPECT_EQ(rig.writes(), (std::vector<Write>{{0x83000, 4096}, {0x80000, 4096}, {0x81000, 1904}}));
    EXPECT_EQ(rig.checks(),
              (std::vector<Check>{{crcA, 0x83000, 4096}, {crcB, 0x80000, 6000}, {0, 0x85000, 0}}));
    EXPECT_EQ(rig.letters(), "AFGFFGG");  // no target run after a difference update
    const int64_t len = int64_t(diff.size());
    const int64_t p1 = 32 + 16 + 4096, p2 = p1 + 16 + 6000;
    EXPECT_EQ(rig.host.progress, (std::vector<int>{0, int(100 * p1 / len), int(100 * p2 / len), 100, 100}));
    const QStringList expected = {"Start to update flash ...",
                                  "Timer:",
                                  kTargetType,
                                  kTargetFlash,
                                  "Init ready...",
                                  "Write block:0x00003000,4096," + hex8(crcA),
                                  "Write block data crc:" + hex8(crcA),
                                  "Read crc:" + hex8(crcA),
                                  "",
                                  "Write block:0x00000000,6000," + hex8(crcB),
                                  "Write block data crc:" + hex8(crcB),
                                  "Read crc:" + hex8(crcB),
                                  "",
                                  "Write block:0x00005000,0,0x00000000",
                                  "Write block data crc:0x00000000",
                                  "Read crc:0x00000000",
                                  "",
                                  "End to update flash",
                                  "Timer:",
                                  "",
                                  "Diff Update flash is OK!!!!!!"};
    EXPECT_EQ(rig.log(), expected);
    Bytes area = rig.spi(0x4000);
    EXPECT_TRUE(std::equal(b.begin(), b.end(), area.begin()));
    EXPECT_TRUE(std::equal(a.begin(), a.end(), area.begin() + 0x3000));
    EXPECT_EQ(rig.host.texts[TextField::UiCrcLabel],
              "Flash code, FileCRC = " + hex8(qv::crc32zero(diff.data() + 32, diff.size() - 32)) +
                  "  Len = " + QString::number(diff.size() - 32));
}

TEST(UpdateUiDiff, ZeroBlocksMeansNothingToUpdate) {
    UiRig rig;
    rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("u.diff"), diffFrom({{0, 16, 16}}, 0, 0));
    rig.ui.updateUi();
    EXPECT_EQ(rig.host.log, (QStringList{"Start to update flash ...", "There are not any block to update...",
                                         "", "Diff Update flash is fail....."}));
    EXPECT_EQ(rig.letters(), "");
}

TEST(UpdateUiDiff, FailuresStopTheWalkWithTheirResult) {
    struct Case {
        const char* name;
        Bytes diff;
        uint32_t faultAt;
        vprog::Fault fault;
        int result;
        std::string letters;
        QString line;
    } cases[] = {
        {"SWD init", diffFrom({{0x3000, 4096, 4096}}), 1, vprog::Fault::WrongLetter, 10, "A", ""},
        {"whole piece", diffFrom({{0x3000, 4096, 4096}}), 2, vprog::Fault::WrongLetter, -3, "AF",
         "NG, Addr : 0x83000-3"},
        {"partial piece", diffFrom({{0, 6000, 6000}}), 3, vprog::Fault::BadCrc, -5, "AFF",
         "NG, Addr : 0x81000-4"},
        {"block CRC check", diffFrom({{0, 100, 100}, {0x2000, 100, 100}}, 0, 2), 1,
         vprog::Fault::CrcStatusMismatch, -3, "AFG", ""},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        UiRig rig;
        ASSERT_TRUE(rig.loadDiff(c.diff));
        rig.faultAt(c.faultAt, c.fault);
        EXPECT_EQ(rig.ui.updateUiBlocks(int32_t(c.diff.size())), c.result);
        EXPECT_EQ(rig.letters(), c.letters);
        if (!c.line.isEmpty()) {
            EXPECT_TRUE(rig.host.log.contains(c.line)) << rig.host.log.join('|').toStdString();
        }
        EXPECT_FALSE(rig.host.log.contains(QStringLiteral("End to update flash")));
    }
}

TEST(UpdateUiDiff, ExitStopsTheUpdateBeforeTheNextPiece) {
    const Bytes diff = diffFrom({{0, 8192, 8192}, {0x4000, 100, 100}}, 0, 2);
    {
        UiRig rig;
        rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("u.diff"), diff);
        rig.host.onProcessEvents = [&] {
            if (!rig.writes().empty())
                rig.host.exitRequested = true;
        };
        rig.ui.updateUi();
        EXPECT_EQ(rig.writes(), (std::vector<Write>{{0x80000, 4096}}));
        EXPECT_TRUE(rig.checks().empty());
        EXPECT_EQ(rig.host.log.back(), QStringLiteral("Diff Update flash is fail....."));
        EXPECT_EQ(rig.host.buttonsEnabledCalls, (std::vector<bool>{false, true}));
    }

    // Called directly, the walk reports the stop as -3.
    UiRig direct;
    ASSERT_TRUE(direct.loadDiff(diff));
    direct.host.onProcessEvents = [&] {
        if (!direct.writes().empty())
            direct.host.exitRequested = true;
    };
    EXPECT_EQ(direct.ui.updateUiBlocks(int32_t(diff.size())), -3);
    EXPECT_EQ(direct.writes().size(), 1u);
}

TEST(UpdateUiDiff, BlocksMustEndWithinTheUiRoomWhenTheTargetFlashIsKnown) {
    struct Case {
        const char* name;
        bool chipListed;  // false: Flash.ini does not list the target's chip, its size stays 0
        std::vector<Record> records;
        uint32_t dblkNumber;
        std::string letters;  // "A" alone: refused after the SWD init
    } cases[] = {
        {"block ending exactly at the room's end", true, {{0x7000, 4096, 4096}}, 1, "AFG"},
        {"block one byte past it", true, {{0x7001, 4096, 4096}}, 1, "A"},
        {"good block first, a block past the end second", true, {{0, 100, 100}, {0x8000, 16, 16}}, 2, "A"},
        {"unknown size: a block past the listed room is written", false, {{0x7001, 4096, 4096}}, 1, "AFG"},
        {"unknown size: both blocks are written", false, {{0, 100, 100}, {0x8000, 16, 16}}, 2, "AFGFG"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UiRig rig(true, 0x8000);
        if (!c.chipListed)
            rig.writeFlashIni("[FLASH]\r\n0xEF4015,512,4096,W25Q16,\r\n");
        rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("room.diff"), diffFrom(c.records, 0, c.dblkNumber));
        rig.ui.updateUi();
        EXPECT_EQ(rig.letters(), c.letters);
        EXPECT_EQ(rig.link.connection().targetFlash.size, c.chipListed ? 0x8000 : 0);
        if (c.letters != "A") {
            EXPECT_FALSE(rig.host.log.contains(QStringLiteral("UI file lengthis over than spi flash.")));
            EXPECT_TRUE(rig.host.log.contains(QStringLiteral("Diff Update flash is OK!!!!!!")))
                << rig.host.log.join(QLatin1Char('|')).toStdString();
            const Bytes spi = rig.spi(0x9000);
            for (const Record& r : c.records) {
                EXPECT_EQ(Bytes(spi.begin() + r.addr, spi.begin() + r.addr + r.len), pattern(r.dataBytes, r.addr))
                    << "block at " << r.addr;
            }
        } else {
            EXPECT_TRUE(rig.host.log.contains(QStringLiteral("UI file lengthis over than spi flash.")));
            EXPECT_TRUE(rig.host.log.contains(QStringLiteral("Diff Update flash is fail.....")));
        }
    }
}

TEST(UpdateUiDiff, AMalformedFileWritesNothingAtAll) {
    Bytes blockByte = diffFrom({{0, 100, 100}});
    blockByte[60] ^= 1;
    struct Case {
        const char* name;
        Bytes diff;
        bool recordsBroken;  // false: only a CRC is wrong
    } cases[] = {
        {"good record, then a truncated head", diffFrom({{0, 4096, 4096}}, 10), true},
        {"good record, then truncated data", diffFrom({{0, 4096, 4096}, {0x2000, 300, 299}}, 0, 2), true},
        {"blk_len 0x80000000", diffFrom({{0, 100, 100}, {0x2000, 0x80000000u, 0}}, 0, 2), true},
        {"address wraps past 2^32", diffFrom({{0xFFF7F000u, 0x1001, 0x1001}}), true},
        {"shorter than its header", Bytes(20, 0), true},
        {"block area CRC wrong", blockByte, false},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        UiRig rig;
        rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("bad.diff"), c.diff);
        rig.ui.updateUi();
        EXPECT_EQ(rig.host.criticalMessages, QStringList{"Illegal document"});
        ASSERT_EQ(rig.host.log.size(), 2);
        EXPECT_TRUE(rig.host.log[0].startsWith(QStringLiteral("par_tCRC:")));
        EXPECT_TRUE(rig.host.log[1].startsWith(QStringLiteral("blk_tCRC:")));
        EXPECT_EQ(rig.letters(), "");
        EXPECT_TRUE(rig.host.buttonsEnabledCalls.empty());
        EXPECT_TRUE(rig.ui.uiImageData.empty());

        // Handed to the walk directly, a file with a record outside it still sends nothing.
        if (c.recordsBroken) {
            rig.ui.uiImageData = c.diff;
            rig.ui.file_diff_info.dblk_number = 1;
            EXPECT_EQ(rig.ui.updateUiBlocks(int32_t(c.diff.size())), -3);
            EXPECT_EQ(rig.letters(), "");
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Check UI

TEST(CheckUi, ADifferenceFileIsOnlyRead) {
    UiRig rig;
    const Bytes header = imageWithHeader(1000, 1);
    rig.ui.inspectUiImage(header.data(), int32_t(header.size()));
    ASSERT_EQ(rig.ui.uiHasHeader, 1);
    const Bytes diff = diffFrom({{0, 100, 100}});
    rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("u.diff"), diff);
    rig.ui.checkUi();
    EXPECT_EQ(rig.letters(), "");
    EXPECT_EQ(rig.ui.uiHasHeader, 0);
    EXPECT_EQ(rig.ui.uiImageLength, int32_t(diff.size()));
    EXPECT_EQ(rig.ui.uiImageCrc, qv::crc32zero(diff.data(), diff.size()));
    EXPECT_TRUE(rig.host.fullLog.isEmpty());
    EXPECT_TRUE(rig.ui.uiImageData.empty());
}

TEST(CheckUi, OutcomesOfTheCheck) {
    const Bytes image = pattern(3000, 8);
    const uint32_t crc = qv::crc32zero(image.data(), image.size());
    struct Case {
        const char* name;
        bool flashHoldsImage;
        bool initFails;
        QString verdict;
        std::string letters;
    } cases[] = {
        {"match", true, false, "Check EFlash OK!", "AGA"},
        {"mismatch", false, false, "Check EFlash NG!", "AGA"},
        {"SWD init fails, the check still runs", true, true, "Check EFlash OK!", "AGA"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        UiRig rig;
        if (c.flashHoldsImage)
            rig.setSpi(image);
        if (c.initFails)
            rig.faultAt(1, vprog::Fault::WrongLetter);
        rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("ui.bin"), image);
        rig.ui.checkUi();
        QStringList expected{""};
        if (c.initFails) {
            expected << "Init fail...";
        } else {
            expected << kTargetType << kTargetFlash << "Init ready...";
        }
        const uint32_t areaCrc = c.flashHoldsImage ? crc : qv::crc32zero(Bytes(3000, 0xFF).data(), 3000);
        expected << "Read crc:" + hex8(areaCrc) << c.verdict << "Target run..."
                 << "Target run...";
        EXPECT_EQ(rig.log(), expected);
        EXPECT_EQ(rig.letters(), c.letters);
        EXPECT_EQ(rig.checks(), (std::vector<Check>{{crc, 0x80000, 3000}}));
        EXPECT_TRUE(rig.host.buttonsEnabledCalls.empty());
        EXPECT_EQ(rig.host.texts[TextField::UiCrcLabel],
                  "Flash code, FileCRC = " + hex8(crc) + "  Len = 3000");
    }
}

TEST(CheckUi, NoProgrammerNoPathOrNoFile) {
    {
        UiRig rig(false);
        rig.host.texts[TextField::UiPath] = rig.file(QStringLiteral("ui.bin"), pattern(100, 1));
        rig.ui.checkUi();
        EXPECT_EQ(rig.host.log, QStringList{"The programmer is disconnected!"});
        EXPECT_EQ(rig.host.buttonsEnabledCalls, (std::vector<bool>{false}));
        EXPECT_EQ(rig.letters(), "");
    }
    UiRig rig;
    rig.ui.checkUi();
    EXPECT_EQ(rig.host.criticalMessages, QStringList{"Please input flash code file"});
    const QString gone = rig.missing(QStringLiteral("gone.bin"));
    rig.host.texts[TextField::UiPath] = gone;
    rig.ui.checkUi();
    EXPECT_EQ(rig.host.criticalMessages.back(), QStringLiteral("Read fail,please check the path!"));
    EXPECT_EQ(rig.host.log, QStringList{gone});
    rig.host.texts[TextField::UiPath] = rig.missing(QStringLiteral("gone.diff"));
    rig.ui.checkUi();
    EXPECT_EQ(rig.host.errorMessages, QStringList{"Read fail,please check the path!"});
    EXPECT_EQ(rig.letters(), "");
}
