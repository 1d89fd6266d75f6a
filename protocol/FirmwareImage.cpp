#include "FirmwareImage.h"

#include "Crc32.h"
#include "Frames.h"
#include "ProgrammerLink.h"
#include "Reporter.h"
#include "Text.h"
#include "BlockWrite.h"
#include "usb/UsbDevice.h"

#include <QThread>

namespace qv::firmware {

namespace {

const uint8_t* bytesOf(const QByteArray& data) {
    return reinterpret_cast<const uint8_t*>(data.constData());
}

}  // namespace

Check checkImage(ProgrammerLink& link, Kind kind, const QByteArray& image) {
    Reporter& report = link.report();
    const Connection& connection = link.connection();
    const bool app = kind == Kind::Application;
    Check check;
    check.length = int32_t(image.size());
    check.crc = crc32zero(bytesOf(image), size_t(image.size()));
    report.appendLog((app ? QStringLiteral("APP code, CRC = ") : QStringLiteral("Boot code, CRC = ")) +
                     hexText(check.crc, 8) + QStringLiteral(" Len: ") + QString::number(check.length));

    // Version and MCU type sit at 0x1000-0x1007; a file that ends before them cannot be judged
    // and is refused like a file for another MCU, before anything is sent.
    if (check.length < kHeaderEnd) {
        report.appendLog(QStringLiteral("The firmware file is too short!"));
        return check;
    }
    const uint32_t fileVersion = 0x20000000u | frame::getBe24(bytesOf(image) + kVersionOffset);
    const uint32_t installed = app ? connection.appVersion : connection.bootVersion;
    if (fileVersion == installed) {
        check.sameVersion = true;
        report.appendLog(QStringLiteral("file_Version:") + hexText(fileVersion, 8));
        report.appendLog((app ? QStringLiteral("App_Version:") : QStringLiteral("Boot_Version:")) +
                         hexText(installed, 8));
        report.appendLog(QStringLiteral("The same version!"));
    }
    const uint32_t fileMcu = frame::getBe32(bytesOf(image) + kMcuOffset);
    if (fileMcu != connection.boardMcu) {
        report.appendLog(QStringLiteral("(Board mcu)&(file mcu):") + hexText(connection.boardMcu, 8) +
                         QStringLiteral(" & ") + hexText(fileMcu, 8));
        report.appendLog(QStringLiteral("The mcu type mismatch!"));
        return check;
    }
    check.writable = true;
    return check;
}

QString refusalText(const QByteArray& image) {
    return image.size() < kHeaderEnd ? QStringLiteral("The firmware file is too short!")
                                     : QStringLiteral("The mcu type mismatch!");
}

WriteResult write(ProgrammerLink& link, const QByteArray& image, int32_t length, uint32_t crc, int32_t checkLength) {
    Reporter& report = link.report();
    WriteResult outcome;
    if (checkLength < 8 || length < 0 || length > image.size()) {
        outcome.code = -1;
        report.refused(QStringLiteral("There aren't any datas to update!"));
        return outcome;
    }
    report.clearLog();
    report.setProgress(0);
    logTimestamp(report);
    report.appendLog(QStringLiteral("Program flash.."));

    const uint32_t total = uint32_t(length);
    const auto disconnected = [&](int code) {
        report.appendLog(QStringLiteral("The programmer boot is disconnected!"));
        outcome.code = code;
        outcome.programmerLost = true;
        return outcome;
    };
    BlockWrite chunks;
    chunks.transaction = BlockWrite::Transaction::Firmware;
    chunks.data = bytesOf(image);
    chunks.length = total;
    chunks.progress = [&report, total](uint32_t done) { report.setProgress(int(uint64_t{done} * 100 / total)); };
    const BlockWriteOutcome written = writeBlocks(link, chunks);
    switch (written.status) {
        case BlockWriteOutcome::Status::Done:
        case BlockWriteOutcome::Status::Stopped:
            break;
        case BlockWriteOutcome::Status::WholePieceFailed:
        case BlockWriteOutcome::Status::LastPieceFailed:
            report.appendLog(QStringLiteral("UPDATE_FLASH NG, Addr : 0x") + lowerHex(written.failedAt) +
                             QString::number(written.result));
            outcome.code = written.status == BlockWriteOutcome::Status::WholePieceFailed ? -3 : -4;
            return outcome;
        case BlockWriteOutcome::Status::DeviceClosed:
            return disconnected(-4);
    }
    report.setProgress(100);
    if (!link.device().isOpen())
        return disconnected(-5);

    report.appendLog(QStringLiteral("Write EFlash end!"));
    logTimestamp(report);
    if (link.checkFirmwareCrc(crc, 0, uint32_t(checkLength)) != 0) {
        report.appendLog(QStringLiteral("Check EFlash NG!"));
        outcome.code = -6;
        return outcome;
    }
    report.appendLog(QStringLiteral("Check EFlash OK!"));
    logTimestamp(report);

    // The programmer restarts into its application once the update is closed.
    link.finishFirmwareUpdate(link.connection().mode == UpdateMcuCode ? 1 : 0);
    QThread::msleep(60);
    outcome.code = 0;
    return outcome;
}

WriteResult update(ProgrammerLink& link, const QByteArray& image, uint32_t crc) {
    const WriteResult outcome = write(link, image, int32_t(image.size()), crc, int32_t(image.size()));
    link.report().appendLog(QString());
    link.report().appendLog(outcome.code == 0 ? QStringLiteral("Update MCU is OK!!!!!!")
                                              : QStringLiteral("Update MCU is fail....."));
    return outcome;
}

}  // namespace qv::firmware
