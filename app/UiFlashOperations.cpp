#include "UiFlashOperations.h"

#include "OperationHost.h"

#include "protocol/Crc32.h"
#include "protocol/ProgrammerLink.h"
#include "protocol/Text.h"
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

UiFlashOperations::UiFlashOperations(ProgrammerLink& link, OperationHost& host) : link_(link), host_(host) {}

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
    OperationHost& host = host_;
    logDiffCrcs(host, check);
    DiffInspection result;
    result.accepted = check.accepted();
    result.summary = flashCodeText(check.blk_tCRC) + QStringLiteral("  Len = ") +
                     QString::number(file_diff_info.dblk_lenght);
    return result;
}

void UiFlashOperations::selectUiFile() {
    OperationHost& host = host_;
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
    const QString path = host_.text(TextField::UiPath);
    if (path.isEmpty()) {
        host_.showCriticalMessage(kNoPath);
        return;
    }
    if (isDiffPath(path)) {
        updateFromDiff(path);
    } else {
        updateFromImage(path);
    }
}

void UiFlashOperations::updateFromImage(const QString& path) {
    OperationHost& host = host_;
    if (!readWholeFile(path, uiImageData)) {
        host.showCriticalMessage(kReadFail);
        host.appendLog(path);
        return;
    }
    const QString summary = inspectUiImage(uiImageData.data(), int32_t(uiImageData.size()));
    const UiImage image = prepareUiImage(std::move(uiImageData));
    release(uiImageData);
    host.setText(TextField::UiCrcLabel, summary);
    host.clearLog();
    host.setButtonsEnabled(false);
    const WriteResult result = updateUiFromImage(link_, image, writeOptions, host.targetSettings());
    blockCounts = result.blocks;
    afterWrite(result);
}

void UiFlashOperations::updateFromDiff(const QString& path) {
    OperationHost& host = host_;
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
    const std::vector<uint8_t> diff = std::move(uiImageData);
    release(uiImageData);
    afterWrite(updateUiFromDiff(link_, diff, writeOptions, host.targetSettings()));
}

void UiFlashOperations::afterWrite(const WriteResult& result) {
    lastResult = result.code;
    if (result.programmerLost)
        host_.setButtonsEnabled(false);
    host_.setButtonsEnabled(true);
}

int UiFlashOperations::programUiImage(int32_t length) {
    // "Input UI bin" stays usable while this runs and events are pumped: a file chosen meanwhile
    // must not change what is written or what the final check expects.
    const std::vector<uint8_t> bytes = uiImageData;
    UiImageWrite write;
    write.data = bytes.data();
    write.size = int64_t(bytes.size());
    write.length = length;
    write.checkCrc = expectedUiCrc();
    write.checkLength = uiImageLength;
    write.options = writeOptions;
    write.target = host_.targetSettings();
    const WriteResult result = writeUiImage(link_, write);
    blockCounts = result.blocks;
    if (result.programmerLost)
        host_.setButtonsEnabled(false);
    return result.code;
}

int UiFlashOperations::updateUiBlocks(int32_t length) {
    const size_t n = length > 0 ? std::min(size_t(length), uiImageData.size()) : 0;
    const std::vector<uint8_t> diff(uiImageData.begin(), uiImageData.begin() + std::ptrdiff_t(n));
    return writeUiBlocks(link_, diff, file_diff_info, writeOptions, host_.targetSettings()).code;
}

void UiFlashOperations::checkUi() {
    OperationGuard guard(link_);
    if (!guard.acquired())
        return;
    lastResult = kNotRun;
    OperationHost& host = host_;
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

    lastResult = checkUiArea(link_, expectedUiCrc(), uiImageLength, host.targetSettings()).code;
}

uint32_t UiFlashOperations::expectedUiCrc() const {
    return uiHasHeader ? uiHeaderCrc : uiImageCrc;
}

}  // namespace qv
