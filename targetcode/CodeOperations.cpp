#include "CodeOperations.h"

#include "CodeImage.h"

#include "protocol/Crc32.h"
#include "protocol/Reporter.h"
#include "protocol/Text.h"
#include "usb/UsbDevice.h"

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

const QString kNothingWritten = QStringLiteral("Flash already holds this image, nothing written.");

std::vector<uint8_t> bootIndexPage() {
    std::vector<uint8_t> page(kBlockSize, uint8_t(0xFF));
    page[0] = uint8_t(kBootIndexMarker);
    page[1] = uint8_t(kBootIndexMarker >> 8);
    page[2] = uint8_t(kBootIndexMarker >> 16);
    page[3] = uint8_t(kBootIndexMarker >> 24);
    return page;
}

}  // namespace

CodeRefusal checkCodeImage(CodeKind kind, const uint8_t* data, size_t size, uint32_t start) {
    if (kind == CodeKind::Boot && hasBadRunningAddress(data, size))
        return CodeRefusal::BadRunningAddress;
    if (int64_t(size) > (kind == CodeKind::Mcu ? kMcuCodeLimit : kBootCodeLimit))
        return CodeRefusal::TooLong;
    // McuCode Addr is free text: an image running past the code flash would land in the SPI
    // flash's UI area, or wrap around onto the boot code.
    if (kind == CodeKind::Mcu && uint64_t(start) + uint64_t(size) > kCodeFlashEnd)
        return CodeRefusal::PastCodeFlash;
    if (size < size_t(kMinimumImage))
        return CodeRefusal::TooShort;
    return CodeRefusal::None;
}

QString codeRefusalText(CodeKind kind, CodeRefusal refusal) {
    switch (refusal) {
        case CodeRefusal::None:
            break;
        case CodeRefusal::TooShort:
            return QStringLiteral("There aren't any datas to update!");
        case CodeRefusal::BadRunningAddress:
            return QStringLiteral("There is a problem with the running address of this file!");
        case CodeRefusal::TooLong:
            return kind == CodeKind::Mcu ? QStringLiteral("Mcu code file is over than 444K!")
                                         : QStringLiteral("Boot file is over than 64K!");
        case CodeRefusal::PastCodeFlash:
            return QStringLiteral("Mcu code does not fit below 0x80000!");
    }
    return QString();
}

WriteResult writeCodeImage(ProgrammerLink& link, const CodeWrite& write) {
    Reporter& report = link.report();
    WriteResult result;
    if (write.length < kMinimumImage || write.length > write.size) {
        report.refused(QStringLiteral("There aren't any datas to update!"));
        result.code = -1;
        return result;
    }
    const uint8_t* bytes = write.data;
    const uint32_t total = uint32_t(write.length);
    const uint32_t start = write.start;

    if (!beginImageWrite(link, write.target)) {
        result.code = 10;
        return result;
    }

    // An application placed above the boot area and ending below the index page gets the page
    // that tells the boot code to start it. The end is computed without wrapping, so an image
    // that would run past 4 GiB never counts as ending low.
    const bool bootIndex = start > kBootIndexLowerBound && uint64_t(start) + total <= kBootIndexUpperBound;
    const std::vector<uint8_t> indexPage = bootIndexPage();

    const bool skip = write.options.skipUnchanged;
    BlockSkip blocks(link, skip, result.blocks);
    bool indexUnchanged = false;
    if (skip) {
        const bool imageUnchanged = blocks.askWholeRange(bytes, start, total);
        indexUnchanged = bootIndex && holdsAlready(link, indexPage.data(), kBootIndexAddress, kBlockSize);
        if (imageUnchanged && (!bootIndex || indexUnchanged))
            report.appendLog(kNothingWritten);
    }

    BlockWrite pieces;
    pieces.data = bytes;
    pieces.length = total;
    pieces.address = start;
    pieces.skip = &blocks;
    pieces.progress = [&report, &write](uint32_t done) {
        report.setProgress(int(int64_t(done) * kProgressScale / kBlockSize / write.length));
    };
    if (const std::optional<int> failed = writeImagePieces(link, pieces, result)) {
        result.code = *failed;
        return result;
    }

    if (bootIndex) {
        blocks.count(skip && indexUnchanged);
        if (!(skip && indexUnchanged)) {
            report.appendLog(QStringLiteral("Set boot index..."));
            const int r = link.writeDataChunk(indexPage.data(), kBootIndexAddress, kBlockSize);
            if (r != 0) {
                report.appendLog(failedWriteLine(kBootIndexAddress, r));
                result.code = -3;
                return result;
            }
        }
    }
    return finishImageWrite(link, blocks, write.checkCrc, start, uint32_t(write.checkLength), write.target, result);
}

WriteResult programCode(ProgrammerLink& link, const QByteArray& image, uint32_t start, const WriteOptions& options,
                        const TargetSettings& target) {
    CodeWrite write;
    write.data = reinterpret_cast<const uint8_t*>(image.constData());
    write.size = image.size();
    write.length = int32_t(image.size());
    write.start = start;
    write.checkCrc = crc32zero(write.data, size_t(image.size()));
    write.checkLength = write.length;
    write.options = options;
    write.target = target;

    link.setNoSleep(true);
    WriteResult result = writeCodeImage(link, write);
    Reporter& report = link.report();
    report.appendLog(QString());
    report.appendLog(result.ok() ? QStringLiteral("Program target is OK!!!!!!")
                                 : QStringLiteral("Program target is fail....."));
    link.setNoSleep(false);
    return result;
}

WriteResult verifyCode(ProgrammerLink& link, CodeKind kind, uint32_t crc, int32_t length,
                       const TargetSettings& target) {
    const bool mcu = kind == CodeKind::Mcu;
    RangeCheck check;
    check.crc = crc;
    check.address = mcu ? kMcuVerifyAddress : 0;
    check.length = uint32_t(length);
    check.okLine = mcu ? QStringLiteral("Check EFlash OK!") : QStringLiteral("Check 310 Boot OK!");
    check.ngLine = mcu ? QStringLiteral("Check EFlash NG!") : QStringLiteral("Check 310 Boot NG!");
    return checkRange(link, target, check);
}

}  // namespace qv
