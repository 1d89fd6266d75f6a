#include "FirmwareUpdate.h"

#include "Crc32.h"
#include "Frames.h"
#include "OperationHost.h"
#include "ProgrammerLink.h"
#include "Text.h"
#include "usb/UsbDevice.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <limits>

namespace qv {

namespace {

const uint8_t* bytesOf(const QByteArray& data) {
    return reinterpret_cast<const uint8_t*>(data.constData());
}

}  // namespace

FirmwareUpdate::FirmwareUpdate(ProgrammerLink& link) : link_(link) {}

void FirmwareUpdate::updateApplication() {
    update(Kind::Application);
}

void FirmwareUpdate::updateBootLoader() {
    update(Kind::BootLoader);
}

void FirmwareUpdate::update(Kind kind) {
    OperationGuard guard(link_);
    if (!guard.acquired())
        return;
    lastResult = kNotRun;

    OperationHost& host = link_.host();
    const bool app = kind == Kind::Application;

    if (!link_.device().isOpen()) {
        host.appendLog(app ? QStringLiteral("The programmer boot is disconnected!")
                           : QStringLiteral("The programmer app is disconnected!"));
        host.setButtonsEnabled(false);
        return;
    }
    host.clearLog();

    const QString fileName = host.openFileName(
        QStringLiteral("Select firmware files"),
        QDir::currentPath() + (app ? QStringLiteral("/Firmware") : QStringLiteral("/Bootware")),
        app ? QStringLiteral("file(*.app)") : QStringLiteral("file(*.boot)"));
    if (fileName.isEmpty()) {
        host.showCriticalMessage(app ? QStringLiteral("Please input firmware file")
                                     : QStringLiteral("Please input Bootware file"));
        return;
    }

    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        host.showCriticalMessage(QStringLiteral("Read fail,please check the path!"));
        host.appendLog(fileName);
        return;
    }
    if (file.size() > std::numeric_limits<int32_t>::max()) {
        host.appendLog(QStringLiteral("The firmware file is too long!"));
        return;
    }
    imageData = file.readAll();
    file.close();
    firmwareLength = static_cast<int32_t>(imageData.size());
    firmwareCrc = crc32zero(bytesOf(imageData), static_cast<size_t>(imageData.size()));

    host.appendLog((app ? QStringLiteral("APP code, CRC = ") : QStringLiteral("Boot code, CRC = ")) +
                   hexText(firmwareCrc, 8) + QStringLiteral(" Len: ") + QString::number(firmwareLength));

    // Version and MCU type sit at 0x1000-0x1007; a file that ends before them cannot be judged
    // and is refused like a file for another MCU, before anything is sent.
    if (firmwareLength < kHeaderEnd) {
        host.appendLog(QStringLiteral("The firmware file is too short!"));
        imageData.clear();
        return;
    }

    const uint32_t fileVersion = 0x20000000u | frame::getBe24(bytesOf(imageData) + kVersionOffset);
    const uint32_t installed = app ? link_.appVersion : link_.bootVersion;
    if (fileVersion == installed) {
        host.appendLog(QStringLiteral("file_Version:") + hexText(fileVersion, 8));
        host.appendLog((app ? QStringLiteral("App_Version:") : QStringLiteral("Boot_Version:")) +
                       hexText(installed, 8));
        host.appendLog(QStringLiteral("The same version!"));
        if (!app)
            host.setButtonEnabled(Button::UpdateBoot, false);
    }

    const uint32_t fileMcu = frame::getBe32(bytesOf(imageData) + kMcuOffset);
    if (fileMcu != link_.boardMcu) {
        host.appendLog(QStringLiteral("(Board mcu)&(file mcu):") + hexText(link_.boardMcu, 8) +
                       QStringLiteral(" & ") + hexText(fileMcu, 8));
        host.appendLog(QStringLiteral("The mcu type mismatch!"));
        imageData.clear();
        return;
    }

    host.setButtonsEnabled(false);
    const int result = flashFirmwareImage(firmwareLength);
    lastResult = result;
    host.appendLog(QString());
    host.appendLog(result == 0 ? QStringLiteral("Update MCU is OK!!!!!!")
                               : QStringLiteral("Update MCU is fail....."));
    host.setButtonsEnabled(true);
    imageData.clear();
}

int FirmwareUpdate::flashFirmwareImage(int32_t length) {
    OperationHost& host = link_.host();
    if (firmwareLength < 8 || length < 0 || length > imageData.size()) {
        host.showCriticalMessage(QStringLiteral("There aren't any datas to update!"));
        return -1;
    }

    host.clearLog();
    host.setProgress(0);
    logTimestamp(host);
    host.appendLog(QStringLiteral("Program flash.."));

    const uint8_t* image = bytesOf(imageData);
    const uint32_t total = static_cast<uint32_t>(length);
    const auto failedLine = [](uint32_t offset, int r) {
        return QStringLiteral("UPDATE_FLASH NG, Addr : 0x") + lowerHex(offset) + QString::number(r);
    };
    const auto disconnected = [&host](int code) {
        host.appendLog(QStringLiteral("The programmer boot is disconnected!"));
        host.setButtonsEnabled(false);
        return code;
    };

    uint32_t offset = 0;
    for (; offset + kChunkSize <= total; offset += kChunkSize) {
        const int r = link_.writeFirmwareChunk(image + offset, offset, kChunkSize);
        if (r != 0) {
            host.appendLog(failedLine(offset, r));
            return -3;
        }
        host.setProgress(static_cast<int>(uint64_t{offset + kChunkSize} * 100 / total));
        host.processEvents();
        if (!link_.device().isOpen())
            return disconnected(-4);
    }

    const uint32_t remainder = total % kChunkSize;
    if (remainder > 0) {
        const int r = link_.writeFirmwareChunk(image + offset, offset, remainder);
        if (r != 0) {
            host.appendLog(failedLine(offset, r));
            return -4;
        }
    }
    host.setProgress(100);
    if (!link_.device().isOpen())
        return disconnected(-5);

    host.appendLog(QStringLiteral("Write EFlash end!"));
    logTimestamp(host);

    if (link_.checkFirmwareCrc(firmwareCrc, 0, static_cast<uint32_t>(firmwareLength)) != 0) {
        host.appendLog(QStringLiteral("Check EFlash NG!"));
        return -6;
    }
    host.appendLog(QStringLiteral("Check EFlash OK!"));
    logTimestamp(host);

    // The programmer restarts into its application once the update is closed.
    if (link_.connectionMode == UpdateMcuCode) {
        link_.finishFirmwareUpdate(1);
        host.setButtonEnabled(Button::UpdateApp, false);
    } else {
        link_.finishFirmwareUpdate(0);
        link_.upbootEnabled = 0;
        host.setButtonEnabled(Button::UpdateBoot, false);
    }

    QThread::msleep(60);
    host.setButtonEnabled(Button::UpdateApp, false);
    return 0;
}

}  // namespace qv
