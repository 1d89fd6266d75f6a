#include "TargetOperations.h"

#include "CodeImage.h"

#include "protocol/Crc32.h"
#include "protocol/Frames.h"
#include "protocol/OperationHost.h"
#include "protocol/ProgrammerLink.h"
#include "protocol/Text.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"

#include <QFile>

#include <algorithm>
#include <vector>

namespace qv {

namespace {

constexpr uint32_t kBlockSize = 4096;
constexpr int32_t kMinimumImage = 8;
constexpr uint32_t kBootIndexAddress = 0x7E000;
constexpr uint32_t kBootIndexMarker = 0x21436587;
constexpr uint32_t kBootIndexLowerBound = 0x1000;
constexpr uint32_t kBootIndexUpperBound = 0x7DFFF;
constexpr int64_t kProgressScale = 409600;

constexpr int kTargetSendBudget = 1000;
constexpr int kTargetReplyBudget = 3000;

constexpr uint32_t kQv310 = 0x19713100;

// Target type codes in the order of the MCU-type combo box rows.
constexpr uint32_t kTargetTypeRows[] = {
    0x19710100,  // QV0100
    0x19714807,  // QV48M07
    0x19712700,  // QV270x
    0x19715120,  // QV512
    0x19713900,  // QV390
    kQv310,      // QV310
};

int rowForTargetType(uint32_t code) {
    for (size_t row = 0; row < sizeof kTargetTypeRows / sizeof kTargetTypeRows[0]; ++row) {
        if (kTargetTypeRows[row] == code)
            return int(row);
    }
    return 0;
}

const QString kDisconnected = QStringLiteral("The programmer is disconnected!");
const QString kProgramOk = QStringLiteral("Program target is OK!!!!!!");
const QString kProgramFail = QStringLiteral("Program target is fail.....");
const QString kBadRunningAddress =
    QStringLiteral("There is a problem with the running address of this file!");
const QString kBadRunningAddressLine =
    QStringLiteral("***There is a problem with the running address of this file!***");

const QString kNothingWritten = QStringLiteral("Flash already holds this image, nothing written.");

const uint8_t* bytesOf(const QByteArray& data) {
    return reinterpret_cast<const uint8_t*>(data.constData());
}

}  // namespace

bool holdsAlready(ProgrammerLink& link, const uint8_t* data, uint32_t address, uint32_t length) {
    return link.checkDataCrc(crc32zero(data, length), address, length) == 0;
}

BlockSkip::BlockSkip(ProgrammerLink& link, bool enabled, BlockCounts& counts)
    : link_(link), enabled_(enabled), counts_(counts) {
    counts_ = BlockCounts();
}

bool BlockSkip::askWholeRange(const uint8_t* data, uint32_t address, uint32_t length) {
    if (!enabled_)
        return false;
    wholeCrc_ = crc32zero(data, length);
    wholeAddress_ = address;
    wholeLength_ = length;
    wholeRangeHolds_ = link_.checkDataCrc(wholeCrc_, address, length) == 0;
    return wholeRangeHolds_;
}

bool BlockSkip::leaveAsItIs(const uint8_t* data, uint32_t address, uint32_t length) {
    const bool same = enabled_ && (wholeRangeHolds_ || holdsAlready(link_, data, address, length));
    count(same);
    return same;
}

void BlockSkip::count(bool leftAsItIs) {
    ++(leftAsItIs ? counts_.skipped : counts_.written);
}

bool BlockSkip::finalCheckAnswered(uint32_t crc, uint32_t address, uint32_t length) const {
    return enabled_ && wholeRangeHolds_ && counts_.written == 0 && crc == wholeCrc_ && address == wholeAddress_ &&
           length == wholeLength_;
}

QString blockCountsLine(const BlockCounts& counts) {
    return QStringLiteral("Blocks written: ") + QString::number(counts.written) +
           QStringLiteral(", unchanged and skipped: ") + QString::number(counts.skipped);
}

TargetOperations::TargetOperations(ProgrammerLink& link) : link_(link) {}

int TargetOperations::targetControl(int run, uint32_t runAddress) {
    OperationHost& host = link_.host();
    USB_BURN_CTRL& worker = link_.worker();

    const uint8_t speed = uint8_t(std::clamp(host.swdSpeedIndex(), 0, 2));
    const bool targetRun = run != 0;
    const uint32_t length = frame::buildTargetControlFrame(worker.txBuffer, targetRun, runAddress, speed,
                                                           targetRun && host.powerOffChecked());
    const int sent =
        link_.exchangeFrame(length, kTargetSendBudget, kTargetReplyBudget, ProgrammerLink::Polling::Slow);
    if (sent != 0)
        return sent;

    const uint8_t* rx = worker.rxBuffer;
    const uint32_t received = std::min<uint32_t>(worker.rxLength, USB_BURN_CTRL::kRxBufferSize);
    const frame::ReplyCheck check = frame::checkTargetControlReply(rx, received);
    if (check.verdict == frame::ReplyVerdict::WrongShape)
        return -3;
    if (check.verdict == frame::ReplyVerdict::BadCrc) {
        host.appendLog(QStringLiteral("SWD init CRC:") + hexText(check.computedCrc, 8) + QStringLiteral(",") +
                       hexText(check.receivedCrc, 8));
        return -4;
    }

    if (targetRun) {
        targetStarted = rx[7] == 0;
        host.appendLog(rx[7] == 0 ? QStringLiteral("Target run...") : QStringLiteral("Target run fail..."));
        return 0;
    }

    const uint32_t targetType = frame::getBe32(rx + 3);
    lastTargetType = targetType;
    host.appendLog(QStringLiteral("Target type:") + hexText(targetType, 8));
    host.setMcuTypeRow(rowForTargetType(targetType));
    if (targetType == kQv310) {
        // The flash id follows the CRC-covered part; bytes the programmer did not send count
        // as zero rather than whatever an earlier reply left in the buffer.
        uint8_t id[4] = {0, 0, 0, 0};
        for (uint32_t i = 0; i < 4; ++i) {
            if (13 + i < received)
                id[i] = rx[13 + i];
        }
        link_.targetFlashId = frame::getBe32(id);
        if (link_.lookupFlash(FlashChip::Target, link_.targetFlashId) >= 1) {
            host.appendLog(QStringLiteral("target_flash_ID:  ") + hexText(link_.targetFlashId, 6));
        }
    }
    return 0;
}

int TargetOperations::programTarget(int32_t length, uint32_t start) {
    OperationHost& host = link_.host();

    // The input buttons stay usable while this runs and events are pumped: whatever they store
    // meanwhile must not change the image being written and checked.
    const QByteArray image = imageData;
    const uint32_t crc = imageCrc;
    const int32_t checkLength = imageLength;

    if (length < kMinimumImage || length > image.size()) {
        host.showCriticalMessage(QStringLiteral("There aren't any datas to update!"));
        return -1;
    }
    const uint8_t* bytes = bytesOf(image);
    const uint32_t total = uint32_t(length);

    host.clearLog();
    host.setProgress(0);

    if (targetControl(0, 0) != 0)
        return 10;

    host.appendLog(QStringLiteral("Init ready..."));
    logTimestamp(host);
    host.appendLog(QStringLiteral("Start to program ..."));

    std::vector<uint8_t> block(kBlockSize);
    const uint32_t fullBlocks = total / kBlockSize;
    const uint32_t rest = total % kBlockSize;
    // An application placed above the boot area and ending below the index page gets the page
    // that tells the boot code to start it. The end is computed without wrapping, so an image
    // that would run past 4 GiB never counts as ending low.
    const bool bootIndex = start > kBootIndexLowerBound && uint64_t(start) + total <= kBootIndexUpperBound;
    std::vector<uint8_t> indexPage(kBlockSize, uint8_t(0xFF));
    indexPage[0] = uint8_t(kBootIndexMarker);
    indexPage[1] = uint8_t(kBootIndexMarker >> 8);
    indexPage[2] = uint8_t(kBootIndexMarker >> 16);
    indexPage[3] = uint8_t(kBootIndexMarker >> 24);

    const bool skip = writeOptions.skipUnchanged;
    BlockSkip blocks(link_, skip, blockCounts);
    bool indexUnchanged = false;
    if (skip) {
        const bool imageUnchanged = blocks.askWholeRange(bytes, start, total);
        indexUnchanged = bootIndex && holdsAlready(link_, indexPage.data(), kBootIndexAddress, kBlockSize);
        if (imageUnchanged && (!bootIndex || indexUnchanged))
            host.appendLog(kNothingWritten);
    }

    for (uint32_t i = 0; i < fullBlocks; ++i) {
        const uint32_t address = start + i * kBlockSize;
        std::copy_n(bytes + size_t(i) * kBlockSize, kBlockSize, block.begin());
        if (!blocks.leaveAsItIs(block.data(), address, kBlockSize)) {
            const int r = link_.writeDataChunk(block.data(), address, kBlockSize);
            if (r != 0) {
                host.appendLog(failedWriteLine(address, r));
                return -3;
            }
        }
        host.setProgress(int(int64_t(i + 1) * kProgressScale / length));
        host.processEvents();
        if (!link_.device().isOpen()) {
            host.appendLog(kDisconnected);
            host.setButtonsEnabled(false);
            return -4;
        }
    }

    if (rest > 0) {
        const uint32_t address = start + fullBlocks * kBlockSize;
        std::copy_n(bytes + size_t(fullBlocks) * kBlockSize, rest, block.begin());
        if (!blocks.leaveAsItIs(block.data(), address, rest)) {
            const int r = link_.writeDataChunk(block.data(), address, rest);
            if (r != 0) {
                host.appendLog(failedWriteLine(address, r));
                return -5;
            }
        }
    }

    if (bootIndex) {
        blocks.count(skip && indexUnchanged);
        if (!(skip && indexUnchanged)) {
            host.appendLog(QStringLiteral("Set boot index..."));
            const int r = link_.writeDataChunk(indexPage.data(), kBootIndexAddress, kBlockSize);
            if (r != 0) {
                host.appendLog(failedWriteLine(kBootIndexAddress, r));
                return -3;
            }
        }
    }
    if (skip)
        host.appendLog(blockCountsLine(blockCounts));

    host.setProgress(100);
    if (!link_.device().isOpen()) {
        host.appendLog(kDisconnected);
        host.setButtonsEnabled(false);
        return -6;
    }
    host.appendLog(QStringLiteral("Program end!"));
    logTimestamp(host);

    // Nothing written into a range the programmer has just confirmed: that answer is the check.
    if (!blocks.finalCheckAnswered(crc, start, uint32_t(checkLength)) &&
        link_.checkDataCrc(crc, start, uint32_t(checkLength)) != 0) {
        host.appendLog(QStringLiteral("Check crc NG!"));
        return -7;
    }
    host.appendLog(QStringLiteral("Check crc OK!"));
    logTimestamp(host);

    return targetControl(1, 0) == 0 ? 0 : 10;
}

// "Input MCU Code" (pushButton_InputMCUCode).
void TargetOperations::inputMcuCode() {
    inputCode(Kind::Mcu);
}

// "Input Boot" (pushButton_InputBoot).
void TargetOperations::inputBootCode() {
    inputCode(Kind::Boot);
}

// "Program 310 McuCode" (pushButton_UpdateTarget).
void TargetOperations::programMcuCode() {
    programCode(Kind::Mcu);
}

// "Program 310 Boot" (pushButton_wrBootCode).
void TargetOperations::programBootCode() {
    programCode(Kind::Boot);
}

// "Verify McuCode" (pushButton_VerifyTarget).
void TargetOperations::verifyMcuCode() {
    verifyCode(Kind::Mcu);
}

// "Verify Boot" (pushButton_VerifyBoot).
void TargetOperations::verifyBootCode() {
    verifyCode(Kind::Boot);
}

void TargetOperations::inputCode(Kind kind) {
    OperationHost& host = link_.host();
    const bool mcu = kind == Kind::Mcu;
    QString& lastPath = mcu ? mcuCodePath : bootCodePath;

    // Both kinds share the dialog caption.
    const QString path =
        host.openFileName(QStringLiteral("Select Mcu Code"), lastPath, QStringLiteral("file(*.bin)"));
    if (path.isEmpty())
        return;

    lastPath = path;
    host.clearLog();
    host.setText(mcu ? TextField::McuPath : TextField::BootPath, path);

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        host.showErrorMessage(QStringLiteral("Read fail,please check the path!"));
        return;
    }
    const QByteArray data = file.readAll();
    file.close();

    const uint8_t* bytes = bytesOf(data);
    const size_t size = size_t(data.size());
    const uint32_t crc = crc32zero(bytes, size);
    const int32_t length = int32_t(data.size());
    if (mcu) {
        imageCrc = crc;
        imageLength = length;
    } else {
        bootCodeCrc = crc;
        bootCodeLength = length;
    }

    if (hasBadRunningAddress(bytes, size)) {
        host.showCriticalMessage(kBadRunningAddress);
        host.appendLog(kBadRunningAddressLine);
    }
    host.appendLog(QStringLiteral("enter_Addr:") + hexText(runningAddress(bytes, size), 8));
    showSummary(kind, crc, length);
}

void TargetOperations::showSummary(Kind kind, uint32_t crc, int32_t length) {
    const bool mcu = kind == Kind::Mcu;
    link_.host().setText(
        mcu ? TextField::McuCrcLabel : TextField::BootCrcLabel,
        imageSummary(mcu ? QStringLiteral("Mcu code, CRC = ") : QStringLiteral("Boot code, CRC = "), crc,
                     length));
}

bool TargetOperations::reportIfDisconnected() {
    if (link_.device().isOpen())
        return false;
    link_.host().appendLog(kDisconnected);
    link_.host().setButtonsEnabled(false);
    return true;
}

void TargetOperations::setNoSleep(bool on) {
    link_.worker().noSleep.store(on ? 1 : 0, std::memory_order_release);
}

bool TargetOperations::readImage(Kind kind, const QString& emptyMessage, const QString& openMessage) {
    OperationHost& host = link_.host();
    const QString path = host.text(kind == Kind::Mcu ? TextField::McuPath : TextField::BootPath);
    if (path.isEmpty()) {
        host.showCriticalMessage(emptyMessage);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        host.showCriticalMessage(openMessage);
        host.appendLog(path);
        return false;
    }
    imageData = file.readAll();
    file.close();
    return true;
}

void TargetOperations::programCode(Kind kind) {
    OperationGuard guard(link_);
    if (!guard.acquired())
        return;
    lastResult = kNotRun;
    if (reportIfDisconnected())
        return;

    OperationHost& host = link_.host();
    const bool mcu = kind == Kind::Mcu;
    if (!readImage(kind, QStringLiteral("Please input a code file"),
                   QStringLiteral("Read fail,please check the path!"))) {
        return;
    }
    // The image is held only while this slot runs.
    struct Release {
        QByteArray& data;
        ~Release() { data = QByteArray(); }
    } release{imageData};

    imageCrc = crc32zero(bytesOf(imageData), size_t(imageData.size()));
    imageLength = int32_t(imageData.size());
    showSummary(kind, imageCrc, imageLength);
    host.clearLog();

    uint32_t start = 0;
    int32_t limit = kBootCodeLimit;
    if (mcu) {
        start = parseHexAddress(host.text(TextField::McuCodeAddr)) & ~uint32_t(0xFFF);
        limit = kMcuCodeLimit;
    } else if (hasBadRunningAddress(bytesOf(imageData), size_t(imageData.size()))) {
        host.showCriticalMessage(kBadRunningAddress);
        host.appendLog(kBadRunningAddressLine);
        return;
    }

    host.setButtonsEnabled(false);
    const int32_t length = imageLength;
    if (length > limit) {
        host.appendLog(mcu ? QStringLiteral("Mcu code file is over than 444K!")
                           : QStringLiteral("Boot file is over than 64K!"));
        host.appendLog(kProgramFail);
    } else if (mcu && uint64_t(start) + uint64_t(length) > kCodeFlashEnd) {
        // McuCode Addr is free text: an image running past the code flash would land in the
        // SPI flash's UI area, or wrap around onto the boot code.
        host.appendLog(QStringLiteral("Mcu code does not fit below 0x80000!"));
        host.appendLog(kProgramFail);
    } else {
        setNoSleep(true);
        const int result = programTarget(length, start);
        lastResult = result;
        host.appendLog(QString());
        host.appendLog(result == 0 ? kProgramOk : kProgramFail);
        setNoSleep(false);
    }
    host.setButtonsEnabled(true);
}

void TargetOperations::verifyCode(Kind kind) {
    OperationGuard guard(link_);
    if (!guard.acquired())
        return;
    lastResult = kNotRun;
    if (reportIfDisconnected())
        return;

    OperationHost& host = link_.host();
    const bool mcu = kind == Kind::Mcu;
    if (!readImage(kind, QStringLiteral("Please input flash code file"),
                   QStringLiteral("Read file fail,please check the path!"))) {
        return;
    }
    const uint32_t crc = crc32zero(bytesOf(imageData), size_t(imageData.size()));
    const int32_t length = int32_t(imageData.size());
    imageData = QByteArray();
    if (mcu) {
        imageCrc = crc;
        imageLength = length;
    } else {
        bootCodeCrc = crc;
        bootCodeLength = length;
    }
    showSummary(kind, crc, length);

    if (reportIfDisconnected())
        return;
    host.appendLog(QString());
    host.appendLog(QString());

    // The check uses the CRC and length read above, even if an input slot runs meanwhile.
    host.appendLog(targetControl(0, 0) == 0 ? QStringLiteral("Init ready...")
                                            : QStringLiteral("Init fail..."));
    const int check = link_.checkDataCrc(crc, mcu ? kMcuVerifyAddress : 0, uint32_t(length));
    lastResult = check;
    if (mcu) {
        host.appendLog(check == 0 ? QStringLiteral("Check EFlash OK!") : QStringLiteral("Check EFlash NG!"));
    } else {
        host.appendLog(check == 0 ? QStringLiteral("Check 310 Boot OK!")
                                  : QStringLiteral("Check 310 Boot NG!"));
    }
    if (targetControl(1, 0) == 0)
        host.appendLog(QStringLiteral("Target run..."));
}

}  // namespace qv
