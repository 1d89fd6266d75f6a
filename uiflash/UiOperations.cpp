#include "UiOperations.h"

#include "protocol/Crc32.h"
#include "protocol/ProgrammerLink.h"
#include "protocol/Reporter.h"
#include "protocol/Text.h"
#include "usb/UsbDevice.h"

#include <algorithm>

namespace qv {

namespace {

const QString kIllegal = QStringLiteral("Illegal document");
const QString kTooLarge = QStringLiteral("UI file lengthis over than spi flash.");

WriteResult withCode(WriteResult result, int code) {
    result.code = code;
    return result;
}

}  // namespace

QString unknownTargetFlashLine(uint32_t id) {
    return QStringLiteral("Target flash ") + hexText(id, 6) + QStringLiteral(" is not in the flash catalogue.");
}

bool isDiffPath(const QString& path) {
    return path.endsWith(QLatin1String(".diff"), Qt::CaseSensitive);
}

void logDiffCrcs(Reporter& report, const DiffCheck& check) {
    report.appendLog(QStringLiteral("par_tCRC:") + hexText(check.par_tCRC, 8));
    report.appendLog(QStringLiteral("blk_tCRC:") + hexText(check.blk_tCRC, 8));
}

UiRefusal checkUiFile(bool diff, bool forCheck, const uint8_t* data, size_t size) {
    if (diff && forCheck)
        return UiRefusal::DiffHasNoArea;
    if (diff)
        return checkDiffFile(data, size).accepted() ? UiRefusal::None : UiRefusal::IllegalDiff;
    return !forCheck && size < 8 ? UiRefusal::TooShort : UiRefusal::None;
}

QString uiRefusalText(UiRefusal refusal) {
    switch (refusal) {
        case UiRefusal::None:
            break;
        case UiRefusal::TooShort:
            return QStringLiteral("There aren't any datas to update!");
        case UiRefusal::IllegalDiff:
            return kIllegal;
        case UiRefusal::DiffHasNoArea:
            return QStringLiteral("a difference file has no whole UI area to check against");
    }
    return QString();
}

UiImage prepareUiImage(std::vector<uint8_t> file) {
    UiImage image;
    image.info = readUiImage(file.data(), file.size());
    // A valid header (which needs at least 384 bytes) never reaches the flash.
    if (image.info.hasHeader)
        std::fill(file.begin() + kUiHeaderOffset, file.begin() + kUiHeaderEnd, uint8_t(0xFF));
    image.flashBytes = std::move(file);
    return image;
}

WriteResult writeUiImage(ProgrammerLink& link, const UiImageWrite& write) {
    Reporter& report = link.report();
    WriteResult result;
    if (write.checkLength < 8) {
        report.refused(QStringLiteral("There aren't any datas to update!"));
        return withCode(result, -1);
    }
    // Never send bytes that are not in the buffer, whatever length the caller passes.
    if (write.length < 0 || write.length > write.size)
        return withCode(result, -1);

    if (!beginImageWrite(link, write.target))
        return withCode(result, 10);
    const FlashChipInfo& chip = link.connection().targetFlash;
    if (write.options.refuseUnknownTargetFlash && !chip.known) {
        report.appendLog(unknownTargetFlashLine(chip.id));
        return withCode(result, -1);
    }
    if (chip.size < write.length) {
        report.appendLog(kTooLarge);
        return withCode(result, -1);
    }

    const uint32_t size = uint32_t(write.length);
    const bool skip = write.options.skipUnchanged;
    BlockSkip blocks(link, skip, result.blocks);
    if (skip && blocks.askWholeRange(write.data, kUiFlashBase, size))
        report.appendLog(QStringLiteral("Flash already holds this image, nothing written."));

    BlockWrite pieces;
    pieces.data = write.data;
    pieces.length = size;
    pieces.address = kUiFlashBase;
    pieces.skip = &blocks;
    pieces.progress = [&report, &write](uint32_t done) {
        report.setProgress(int(int64_t(done / kUiPieceSize) * 409600 / write.length));
    };
    if (const std::optional<int> failed = writeImagePieces(link, pieces, result))
        return withCode(result, *failed);
    return finishImageWrite(link, blocks, write.checkCrc, kUiFlashBase, uint32_t(write.checkLength), write.target,
                            result);
}

WriteResult writeUiBlocks(ProgrammerLink& link, const std::vector<uint8_t>& diff, const FileDiffInfo& info,
                          const WriteOptions& options, const TargetSettings& target) {
    Reporter& report = link.report();
    WriteResult result;
    report.clearLog();
    report.setProgress(0);
    report.appendLog(QStringLiteral("Start to update flash ..."));
    if (info.dblk_number == 0) {
        report.appendLog(QStringLiteral("There are not any block to update..."));
        return withCode(result, -1);
    }

    // Every record is checked before the first byte goes out, so that a file that cannot be
    // written whole writes nothing at all.
    const size_t n = diff.size();
    const DiffLayout layout = walkDiffBlocks(diff.data(), n);
    if (!layout.ok()) {
        report.appendLog(kIllegal);
        return withCode(result, -3);
    }

    logTimestamp(report);
    if (attachTarget(link, target, false).result != 0)
        return withCode(result, 10);
    report.appendLog(QStringLiteral("Init ready..."));

    // The SWD init has just looked up the room of the target's SPI flash above the UI base. A block
    // that would end beyond it would land outside the UI area (or wrap around on the chip), so the
    // file is refused before its first piece, as a whole image of that size is. A chip that
    // Flash.ini does not list leaves the room unknown (0): then the blocks are written as the file
    // says, and the programmer judges each address.
    const FlashChipInfo& chip = link.connection().targetFlash;
    const uint64_t room = uint64_t(std::max<int32_t>(chip.size, 0));
    if (options.refuseUnknownTargetFlash && !chip.known) {
        report.appendLog(unknownTargetFlashLine(chip.id));
        return withCode(result, -1);
    }
    for (const DiffBlock& block : layout.blocks) {
        if (room != 0 && uint64_t(block.blk_addr) + block.blk_len > room) {
            report.appendLog(kTooLarge);
            return withCode(result, -1);
        }
    }

    for (const DiffBlock& block : layout.blocks) {
        report.appendLog(QStringLiteral("Write block:") + hexText(block.blk_addr, 8) + QLatin1Char(',') +
                         QString::number(block.blk_len) + QLatin1Char(',') + hexText(block.blk_crc, 8));
        const uint8_t* data = diff.data() + block.dataOffset();
        report.appendLog(QStringLiteral("Write block data crc:") + hexText(crc32zero(data, block.blk_len), 8));

        BlockWrite pieces;
        pieces.data = data;
        pieces.length = block.blk_len;
        pieces.address = block.flashAddress();
        pieces.stopWhenDeviceCloses = false;
        pieces.stopOnRequest = true;
        const BlockWriteOutcome written = writeBlocks(link, pieces);
        switch (written.status) {
            case BlockWriteOutcome::Status::Done:
            case BlockWriteOutcome::Status::DeviceClosed:
                break;
            case BlockWriteOutcome::Status::Stopped:
                return withCode(result, -3);
            case BlockWriteOutcome::Status::WholePieceFailed:
                report.appendLog(failedWriteLine(written.failedAt, written.result));
                return withCode(result, -3);
            case BlockWriteOutcome::Status::LastPieceFailed:
                report.appendLog(failedWriteLine(written.failedAt, written.result));
                return withCode(result, -5);
        }
        if (link.checkDataCrc(block.blk_crc, block.flashAddress(), block.blk_len) != 0)
            return withCode(result, -3);
        report.setProgress(int(uint64_t(block.nextOffset()) * 100 / n));
        report.appendLog(QString());
    }

    report.setProgress(100);
    report.appendLog(QStringLiteral("End to update flash"));
    logTimestamp(report);
    return withCode(result, 0);
}

WriteResult updateUiFromImage(ProgrammerLink& link, const UiImage& image, const WriteOptions& options,
                              const TargetSettings& target) {
    UiImageWrite write;
    write.data = image.flashBytes.data();
    write.size = int64_t(image.flashBytes.size());
    write.length = int32_t(image.flashBytes.size());
    write.checkCrc = image.expectedCrc();
    write.checkLength = write.length;
    write.options = options;
    write.target = target;
    link.setNoSleep(true);
    const WriteResult result = writeUiImage(link, write);
    link.report().appendLog(QString());
    link.report().appendLog(result.ok() ? QStringLiteral("Update flash is OK!!!!!!")
                                        : QStringLiteral("Update flash is fail....."));
    link.setNoSleep(false);
    return result;
}

WriteResult updateUiFromDiff(ProgrammerLink& link, const std::vector<uint8_t>& diff, const WriteOptions& options,
                             const TargetSettings& target) {
    link.setNoSleep(true);
    const WriteResult result = writeUiBlocks(link, diff, checkDiffFile(diff.data(), diff.size()).info, options, target);
    link.report().appendLog(QString());
    link.report().appendLog(result.ok() ? QStringLiteral("Diff Update flash is OK!!!!!!")
                                        : QStringLiteral("Diff Update flash is fail....."));
    link.setNoSleep(false);
    return result;
}

WriteResult checkUiArea(ProgrammerLink& link, uint32_t expectedCrc, int32_t length, const TargetSettings& target) {
    link.report().appendLog(QString());
    RangeCheck check;
    check.crc = expectedCrc;
    check.address = kUiFlashBase;
    check.length = uint32_t(length);
    check.okLine = QStringLiteral("Check EFlash OK!");
    check.ngLine = QStringLiteral("Check EFlash NG!");
    return checkRange(link, target, check);
}

}  // namespace qv
