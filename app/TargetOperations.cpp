#include "TargetOperations.h"

#include "OperationHost.h"

#include "protocol/Crc32.h"
#include "protocol/ProgrammerLink.h"
#include "protocol/Text.h"
#include "targetcode/CodeImage.h"
#include "usb/UsbDevice.h"

#include <QFile>

namespace qv {

namespace {

const QString kDisconnected = QStringLiteral("The programmer is disconnected!");
const QString kProgramFail = QStringLiteral("Program target is fail.....");
const QString kBadRunningAddressLine =
    QStringLiteral("***There is a problem with the running address of this file!***");

const uint8_t* bytesOf(const QByteArray& data) {
    return reinterpret_cast<const uint8_t*>(data.constData());
}

CodeKind codeKind(bool mcu) {
    return mcu ? CodeKind::Mcu : CodeKind::Boot;
}

}  // namespace

TargetOperations::TargetOperations(ProgrammerLink& link, OperationHost& host) : link_(link), host_(host) {}

int TargetOperations::targetControl(int run, uint32_t runAddress) {
    return attachTarget(link_, host_.targetSettings(), run != 0, runAddress).result;
}

int TargetOperations::programTarget(int32_t length, uint32_t start) {
    // The input buttons stay usable while this runs and events are pumped: whatever they store
    // meanwhile must not change the image being written and checked.
    const QByteArray image = imageData;
    CodeWrite write;
    write.data = bytesOf(image);
    write.size = image.size();
    write.length = length;
    write.start = start;
    write.checkCrc = imageCrc;
    write.checkLength = imageLength;
    write.options = writeOptions;
    write.target = host_.targetSettings();
    const WriteResult result = writeCodeImage(link_, write);
    blockCounts = result.blocks;
    if (result.programmerLost)
        host_.setButtonsEnabled(false);
    return result.code;
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
    OperationHost& host = host_;
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
        host.showCriticalMessage(codeRefusalText(CodeKind::Boot, CodeRefusal::BadRunningAddress));
        host.appendLog(kBadRunningAddressLine);
    }
    host.appendLog(QStringLiteral("enter_Addr:") + hexText(runningAddress(bytes, size), 8));
    showSummary(kind, crc, length);
}

void TargetOperations::showSummary(Kind kind, uint32_t crc, int32_t length) {
    const bool mcu = kind == Kind::Mcu;
    host_.setText(
        mcu ? TextField::McuCrcLabel : TextField::BootCrcLabel,
        imageSummary(mcu ? QStringLiteral("Mcu code, CRC = ") : QStringLiteral("Boot code, CRC = "), crc,
                     length));
}

bool TargetOperations::reportIfDisconnected() {
    if (link_.device().isOpen())
        return false;
    host_.appendLog(kDisconnected);
    host_.setButtonsEnabled(false);
    return true;
}

bool TargetOperations::readImage(Kind kind, const QString& emptyMessage, const QString& openMessage) {
    OperationHost& host = host_;
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

    OperationHost& host = host_;
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

    const uint32_t start = mcu ? parseHexAddress(host.text(TextField::McuCodeAddr)) & ~uint32_t(0xFFF) : 0;
    const CodeRefusal refusal =
        checkCodeImage(codeKind(mcu), bytesOf(imageData), size_t(imageData.size()), start);
    if (refusal == CodeRefusal::BadRunningAddress) {
        host.showCriticalMessage(codeRefusalText(CodeKind::Boot, refusal));
        host.appendLog(kBadRunningAddressLine);
        return;
    }

    host.setButtonsEnabled(false);
    if (refusal == CodeRefusal::TooLong || refusal == CodeRefusal::PastCodeFlash) {
        host.appendLog(codeRefusalText(codeKind(mcu), refusal));
        host.appendLog(kProgramFail);
    } else {
        // A file too short to write is refused in a box by the write itself. The image stays the
        // one read here while events are pumped, whatever the input buttons store meanwhile.
        const QByteArray image = imageData;
        const WriteResult result = qv::programCode(link_, image, start, writeOptions, host.targetSettings());
        blockCounts = result.blocks;
        lastResult = result.code;
        if (result.programmerLost)
            host.setButtonsEnabled(false);
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

    OperationHost& host = host_;
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
    lastResult = qv::verifyCode(link_, codeKind(mcu), crc, length, host.targetSettings()).code;
}

}  // namespace qv
