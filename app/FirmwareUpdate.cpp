#include "FirmwareUpdate.h"

#include "OperationHost.h"

#include "protocol/FirmwareImage.h"
#include "protocol/ProgrammerLink.h"
#include "usb/UsbDevice.h"

#include <QDir>
#include <QFile>

#include <limits>

namespace qv {

FirmwareUpdate::FirmwareUpdate(ProgrammerLink& link, OperationHost& host) : link_(link), host_(host) {}

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

    OperationHost& host = host_;
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
    // The image is held only while this slot runs.
    struct Release {
        QByteArray& data;
        ~Release() { data = QByteArray(); }
    } release{imageData};

    const firmware::Check check =
        firmware::checkImage(link_, app ? firmware::Kind::Application : firmware::Kind::BootLoader, imageData);
    firmwareLength = check.length;
    firmwareCrc = check.crc;
    if (check.sameVersion && !app)
        host.setButtonEnabled(Button::UpdateBoot, false);
    if (!check.writable)
        return;

    host.setButtonsEnabled(false);
    const QByteArray image = imageData;
    const WriteResult outcome = firmware::update(link_, image, firmwareCrc);
    lastResult = outcome.code;
    if (outcome.programmerLost)
        host.setButtonsEnabled(false);
    if (outcome.code == 0)
        afterUpdate();
    host.setButtonsEnabled(true);
}

int FirmwareUpdate::flashFirmwareImage(int32_t length) {
    const WriteResult outcome = firmware::write(link_, imageData, length, firmwareCrc, firmwareLength);
    if (outcome.programmerLost)
        host_.setButtonsEnabled(false);
    if (outcome.code == 0)
        afterUpdate();
    return outcome.code;
}

void FirmwareUpdate::afterUpdate() {
    // The programmer restarts once the update is closed: into its application after an
    // application update, and a boot loader update is not offered again.
    if (link_.connection().mode == UpdateMcuCode) {
        host_.setButtonEnabled(Button::UpdateApp, false);
    } else {
        host_.upbootEnabled = false;
        host_.setButtonEnabled(Button::UpdateBoot, false);
    }
    host_.setButtonEnabled(Button::UpdateApp, false);
}

}  // namespace qv
