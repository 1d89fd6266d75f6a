#include "UiFlashOperations.h"

#include "protocol/Crc32.h"
#include "protocol/OperationHost.h"
#include "protocol/ProgrammerLink.h"
#include "protocol/Text.h"
#include "targetcode/TargetOperations.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <limits>

namespace qv {

namespace {

const QString kReadFail = QStringLiteral("Read fail,please check the path!");
const QString kNoPath = QStringLiteral("Please input flash code file");
const QString kIllegal = QStringLiteral("Illegal document");
const QString kDisconnected = QStringLiteral("The programmer is disconnected!");

// Reads a whole file. False when it cannot be opened, or when it is too long for the signed
// 32-bit length the UI fields carry (far beyond any SPI flash).
bool readWholeFile(const QString& path, std::vector<uint8_t>& out) {
    out.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = file.size();
    if (size < 0 || size > std::numeric_limits<int32_t>::max())
        return false;
    out.resize(size_t(size));
    const qint64 got = size > 0 ? file.read(reinterpret_cast<char*>(out.data()), size) : 0;
    // A file that shrank under us is taken as far as it could be read.
    out.resize(size_t(std::max<qint64>(got, 0)));
    return true;
}

void release(std::vector<uint8_t>& buffer) {
    buffer.clear();
    buffer.shrink_to_fit();
}

QString flashCodeText(uint32_t crc) {
    return QStringLiteral("Flash code, FileCRC = ") + hexText(crc, 8);
}

}  // namespace

QString unknownTargetFlashLine(uint32_t id) {
    return QStringLiteral("Target flash ") + hexText(id, 6) + QStringLiteral(" is not in the flash catalogue.");
}

bool isDiffPath(const QString& path) {
    return path.endsWith(QLatin1String(".diff"), Qt::CaseSensitive);
}

UiFlashOperations::UiFlashOperations(ProgrammerLink& link, TargetOperations& target)
    : link_(link), target_(target) {}

QString UiFlashOperations::inspectUiImage(const uint8_t* data, int32_t length) {
    const size_t n = length > 0 ? size_t(length) : 0;
    const UiImageInfo info = readUiImage(data, n);
    uiImageCrc = info.fileCrc;
    uiImageLength = int32_t(n);
    uiHeaderCrc = info.headerCrc;
    uiHasHeader = info.hasHeader ? 1 : 0;
    QString summary = flashCodeText(uiImageCrc);
    if (uiHasHeader)
        summary += QStringLiteral("  FlashCRC = ") + hexText(uiHeaderCrc, 8);
    return summary + QStringLiteral("  Len = ") + QString::number(uiImageLength);
}

UiFlashOperations::DiffInspection UiFlashOperations::inspectDiffFile(const uint8_t* data, int32_t length) {
    const size_t n = length > 0 ? size_t(length) : 0;
    const DiffCheck check = checkDiffFile(data, n);
    uiImageCrc = crc32zero(data, n);
    uiImageLength = int32_t(n);
    file_diff_info = check.info;
    OperationHost& host = link_.host();
    host.appendLog(QStringLiteral("par_tCRC:") + hexText(check.par_tCRC, 8));
    host.appendLog(QStringLiteral("blk_tCRC:") + hexText(check.blk_tCRC, 8));
    DiffInspection result;
    result.accepted = check.accepted();
    result.summary = flashCodeText(check.blk_tCRC) + QStringLiteral("  Len = ") +
                     QString::number(file_diff_info.dblk_lenght);
    return result;
}

void UiFlashOperations::selectUiFile() {
    OperationHost& host = link_.host();
    const QString path = host.openFileName(QStringLiteral("Select Flash Code"), uiImagePath,
                                           QStringLiteral("file(*.bin *.diff)"));
    const bool diff = isDiffPath(path);
    if (!diff && path.isEmpty())
        return;
    uiImagePath = path;
    host.setText(TextField::UiPath, path);

    // A buffer of its own: an update that is pumping events may be holding uiImageData.
    std::vector<uint8_t> bytes;
    if (!readWholeFile(path, bytes)) {
        host.showErrorMessage(kReadFail);
        return;
    }
    const int32_t length = int32_t(bytes.size());
    if (!diff) {
        host.setText(TextField::UiCrcLabel, inspectUiImage(bytes.data(), length));
        return;
    }

    uint8_t header[kDiffHeaderSize] = {};
    if (!bytes.empty())
        std::memcpy(header, bytes.data(), std::min(bytes.size(), kDiffHeaderSize));
    const FileDiffInfo info = decodeDiffInfo(header);
    host.appendLog(QStringLiteral("file_diff_info.diff_index :") + hexText(info.diff_index, 8));
    host.appendLog(QStringLiteral("file_diff_info.dblk_lenght:") + QString::number(info.dblk_lenght));
    host.appendLog(QStringLiteral("file_diff_info.dblk_crc   :") + hexText(info.dblk_crc, 8));
    host.appendLog(QStringLiteral("file_diff_info.dblk_number:") + hexText(info.dblk_number, 8));
    host.appendLog(QStringLiteral("file_diff_info.nFile_lenght:") + QString::number(info.nFile_lenght));
    host.appendLog(QStringLiteral("file_diff_info.nFile_crc  :") + hexText(info.nFile_crc, 8));
    host.appendLog(QStringLiteral("file_diff_info.nFile_ui_crc:") + hexText(info.nFile_ui_crc, 8));
    host.appendLog(QStringLiteral("file_diff_info.diff_para_crc:") + hexText(info.diff_para_crc, 8));

    const DiffInspection inspection = inspectDiffFile(bytes.data(), length);
    if (inspection.accepted) {
        host.setText(TextField::UiCrcLabel, inspection.summary);
    } else {
        host.showCriticalMessage(kIllegal);
    }
}

void UiFlashOperations::updateUi() {
    OperationGuard guard(link_);
    if (!guard.acquired())
        return;
    lastResult = kNotRun;
    const QString path = link_.host().text(TextField::UiPath);
    if (path.isEmpty()) {
        link_.host().showCriticalMessage(kNoPath);
        return;
    }
    if (isDiffPath(path)) {
        updateFromDiff(path);
    } else {
        updateFromImage(path);
    }
}

void UiFlashOperations::updateFromImage(const QString& path) {
    OperationHost& host = link_.host();
    if (!readWholeFile(path, uiImageData)) {
        host.showCriticalMessage(kReadFail);
        host.appendLog(path);
        return;
    }
    const int32_t length = int32_t(uiImageData.size());
    const QString summary = inspectUiImage(uiImageData.data(), length);
    // A valid header (which needs at least 384 bytes) never reaches the flash.
    if (uiHasHeader) {
        std::fill(uiImageData.begin() + kUiHeaderOffset, uiImageData.begin() + kUiHeaderEnd, uint8_t(0xFF));
    }
    host.setText(TextField::UiCrcLabel, summary);
    host.clearLog();
    host.setButtonsEnabled(false);
    setNoSleep(true);

    const int result = programUiImage(length);
    lastResult = result;

    host.appendLog(QString());
    host.appendLog(result == 0 ? QStringLiteral("Update flash is OK!!!!!!")
                               : QStringLiteral("Update flash is fail....."));
    setNoSleep(false);
    host.setButtonsEnabled(true);
    release(uiImageData);
}

void UiFlashOperations::updateFromDiff(const QString& path) {
    OperationHost& host = link_.host();
    uiImagePath = path;
    host.setText(TextField::UiPath, path);
    if (!readWholeFile(path, uiImageData)) {
        host.showErrorMessage(kReadFail);
        return;
    }
    const int32_t length = int32_t(uiImageData.size());
    const DiffInspection inspection = inspectDiffFile(uiImageData.data(), length);
    if (!inspection.accepted) {
        host.showCriticalMessage(kIllegal);
        release(uiImageData);
        return;
    }
    host.setText(TextField::UiCrcLabel, inspection.summary);
    host.clearLog();
    host.setButtonsEnabled(false);
    setNoSleep(true);

    const int result = updateUiBlocks(length);
    lastResult = result;

    host.appendLog(QString());
    host.appendLog(result == 0 ? QStringLiteral("Diff Update flash is OK!!!!!!")
                               : QStringLiteral("Diff Update flash is fail....."));
    setNoSleep(false);
    host.setButtonsEnabled(true);
    release(uiImageData);
}

int UiFlashOperations::programUiImage(int32_t length) {
    OperationHost& host = link_.host();
    // "Input UI bin" stays usable while this runs and events are pumped: a file chosen meanwhile
    // must not change what the final check expects.
    const uint32_t expectedCrc = expectedUiCrc();
    const int32_t checkLength = uiImageLength;
    if (checkLength < 8) {
        host.showCriticalMessage(QStringLiteral("There aren't any datas to update!"));
        return -1;
    }
    // Never send bytes that are not in the buffer, whatever length the caller passes.
    if (length < 0 || size_t(length) > uiImageData.size())
        return -1;

    host.clearLog();
    host.setProgress(0);
    if (target_.targetControl(0, 0) != 0)
        return 10;
    host.appendLog(QStringLiteral("Init ready..."));
    logTimestamp(host);
    host.appendLog(QStringLiteral("Start to program ..."));
    if (writeOptions.refuseUnknownTargetFlash && !link_.targetFlashKnown) {
        host.appendLog(unknownTargetFlashLine(link_.targetFlashId));
        return -1;
    }
    if (link_.targetFlashSize < length) {
        host.appendLog(QStringLiteral("UI file lengthis over than spi flash."));
        return -1;
    }

    uint8_t piece[kUiPieceSize];
    const uint32_t size = uint32_t(length);
    const uint32_t wholePieces = size / kUiPieceSize;
    const uint32_t rest = size % kUiPieceSize;

    const bool skip = writeOptions.skipUnchanged;
    BlockSkip blocks(link_, skip, blockCounts);
    if (skip && blocks.askWholeRange(uiImageData.data(), kUiFlashBase, size))
        host.appendLog(QStringLiteral("Flash already holds this image, nothing written."));

    for (uint32_t k = 0; k < wholePieces; ++k) {
        std::memcpy(piece, uiImageData.data() + size_t(k) * kUiPieceSize, kUiPieceSize);
        const uint32_t address = kUiFlashBase + k * kUiPieceSize;
        if (!blocks.leaveAsItIs(piece, address, kUiPieceSize)) {
            const int e = link_.writeDataChunk(piece, address, kUiPieceSize);
            if (e != 0) {
                host.appendLog(failedWriteLine(address, e));
                return -3;
            }
        }
        host.setProgress(int(int64_t(k + 1) * 409600 / length));
        host.processEvents();
        if (!link_.device().isOpen()) {
            host.appendLog(kDisconnected);
            host.setButtonsEnabled(false);
            return -4;
        }
    }
    if (rest > 0) {
        const uint32_t offset = wholePieces * kUiPieceSize;
        std::memcpy(piece, uiImageData.data() + offset, rest);
        const uint32_t address = kUiFlashBase + offset;
        if (!blocks.leaveAsItIs(piece, address, rest)) {
            const int e = link_.writeDataChunk(piece, address, rest);
            if (e != 0) {
                host.appendLog(failedWriteLine(address, e));
                return -5;
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
    if (!blocks.finalCheckAnswered(expectedCrc, kUiFlashBase, uint32_t(checkLength)) &&
        link_.checkDataCrc(expectedCrc, kUiFlashBase, uint32_t(checkLength)) != 0) {
        host.appendLog(QStringLiteral("Check crc NG!"));
        return -7;
    }
    host.appendLog(QStringLiteral("Check crc OK!"));
    logTimestamp(host);
    return target_.targetControl(1, 0) == 0 ? 0 : 10;
}

int UiFlashOperations::updateUiBlocks(int32_t length) {
    OperationHost& host = link_.host();
    host.clearLog();
    host.setProgress(0);
    host.appendLog(QStringLiteral("Start to update flash ..."));
    if (file_diff_info.dblk_number == 0) {
        host.appendLog(QStringLiteral("There are not any block to update..."));
        return -1;
    }

    // Every record is checked before the first byte goes out, so that a file that cannot be
    // written whole writes nothing at all.
    const size_t n = length > 0 ? std::min(size_t(length), uiImageData.size()) : 0;
    const DiffLayout layout = walkDiffBlocks(uiImageData.data(), n);
    if (!layout.ok()) {
        host.appendLog(kIllegal);
        return -3;
    }

    logTimestamp(host);
    if (target_.targetControl(0, 0) != 0)
        return 10;
    host.appendLog(QStringLiteral("Init ready..."));

    // The SWD init has just looked up the room of the target's SPI flash above the UI base. A block
    // that would end beyond it would land outside the UI area (or wrap around on the chip), so the
    // file is refused before its first piece, as a whole image of that size is. A chip that
    // Flash.ini does not list leaves the room unknown (0): then the blocks are written as the file
    // says, and the programmer judges each address.
    const uint64_t room = uint64_t(std::max<int32_t>(link_.targetFlashSize, 0));
    if (writeOptions.refuseUnknownTargetFlash && !link_.targetFlashKnown) {
        host.appendLog(unknownTargetFlashLine(link_.targetFlashId));
        return -1;
    }
    for (const DiffBlock& block : layout.blocks) {
        if (room != 0 && uint64_t(block.blk_addr) + block.blk_len > room) {
            host.appendLog(QStringLiteral("UI file lengthis over than spi flash."));
            return -1;
        }
    }

    uint8_t piece[kUiPieceSize];
    for (const DiffBlock& block : layout.blocks) {
        host.appendLog(QStringLiteral("Write block:") + hexText(block.blk_addr, 8) + QLatin1Char(',') +
                       QString::number(block.blk_len) + QLatin1Char(',') + hexText(block.blk_crc, 8));
        const uint8_t* data = uiImageData.data() + block.dataOffset();
        host.appendLog(QStringLiteral("Write block data crc:") + hexText(crc32zero(data, block.blk_len), 8));

        const uint32_t wholePieces = block.blk_len / kUiPieceSize;
        for (uint32_t k = 0; k < wholePieces; ++k) {
            std::memcpy(piece, data + size_t(k) * kUiPieceSize, kUiPieceSize);
            const uint32_t address = block.flashAddress() + k * kUiPieceSize;
            const int e = link_.writeDataChunk(piece, address, kUiPieceSize);
            if (e != 0) {
                host.appendLog(failedWriteLine(address, e));
                return -3;
            }
            host.processEvents();
            if (link_.exitRequested)
                return -3;
        }
        const uint32_t rest = block.blk_len % kUiPieceSize;
        if (rest > 0) {
            const uint32_t offset = block.blk_len - rest;
            std::memcpy(piece, data + offset, rest);
            const uint32_t address = block.flashAddress() + offset;
            const int e = link_.writeDataChunk(piece, address, rest);
            if (e != 0) {
                host.appendLog(failedWriteLine(address, e));
                return -5;
            }
            host.processEvents();
            if (link_.exitRequested)
                return -3;
        }

        if (link_.checkDataCrc(block.blk_crc, block.flashAddress(), block.blk_len) != 0)
            return -3;
        host.setProgress(int(uint64_t(block.nextOffset()) * 100 / n));
        host.appendLog(QString());
    }

    host.setProgress(100);
    host.appendLog(QStringLiteral("End to update flash"));
    logTimestamp(host);
    return 0;
}

void UiFlashOperations::checkUi() {
    OperationGuard guard(link_);
    if (!guard.acquired())
        return;
    lastResult = kNotRun;
    OperationHost& host = link_.host();
    if (!link_.device().isOpen()) {
        host.appendLog(kDisconnected);
        host.setButtonsEnabled(false);
        return;
    }
    const QString path = host.text(TextField::UiPath);
    if (path.isEmpty()) {
        host.showCriticalMessage(kNoPath);
        return;
    }
    if (isDiffPath(path)) {
        // A difference file describes no whole area to compare with: it is read and nothing more.
        if (!readWholeFile(path, uiImageData)) {
            host.showErrorMessage(kReadFail);
            return;
        }
        uiImageCrc = crc32zero(uiImageData.data(), uiImageData.size());
        uiImageLength = int32_t(uiImageData.size());
        uiHasHeader = 0;
        release(uiImageData);
        return;
    }
    if (!readWholeFile(path, uiImageData)) {
        host.showCriticalMessage(kReadFail);
        host.appendLog(path);
        return;
    }
    host.setText(TextField::UiCrcLabel, inspectUiImage(uiImageData.data(), int32_t(uiImageData.size())));
    host.clearLog();
    release(uiImageData);

    host.appendLog(QString());
    host.appendLog(target_.targetControl(0, 0) != 0 ? QStringLiteral("Init fail...")
                                                    : QStringLiteral("Init ready..."));
    lastResult = link_.checkDataCrc(expectedUiCrc(), kUiFlashBase, uint32_t(uiImageLength));
    host.appendLog(lastResult != 0 ? QStringLiteral("Check EFlash NG!") : QStringLiteral("Check EFlash OK!"));
    if (target_.targetControl(1, 0) == 0)
        host.appendLog(QStringLiteral("Target run..."));
}

uint32_t UiFlashOperations::expectedUiCrc() const {
    return uiHasHeader ? uiHeaderCrc : uiImageCrc;
}

void UiFlashOperations::setNoSleep(bool on) {
    link_.worker().noSleep.store(on ? 1 : 0, std::memory_order_release);
}

}  // namespace qv
