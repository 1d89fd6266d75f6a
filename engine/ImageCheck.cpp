#include "ImageCheck.h"

#include "protocol/Crc32.h"
#include "protocol/FirmwareUpdate.h"
#include "targetcode/CodeImage.h"
#include "uiflash/UiFlashOperations.h"
#include "uiflash/UiFormats.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace qv::engine {

namespace {

const uint8_t* bytesOf(const QByteArray& data) {
    return reinterpret_cast<const uint8_t*>(data.constData());
}

// The longest file each operation can take. Far beyond any flash for the UI area and the
// programmer's firmware; the code images are the operations' own limits.
qint64 largestFile(Command command) {
    switch (command) {
        case Command::ProgramBoot:
            return kBootCodeLimit;
        case Command::ProgramMcu:
            return kMcuCodeLimit;
        case Command::VerifyBoot:
        case Command::VerifyMcu:
            return kCodeFlashEnd;
        default:
            return 64 * 1024 * 1024;
    }
}

}  // namespace

CheckedImage checkImage(const Step& step) {
    CheckedImage image;
    const QFileInfo info(step.file);
    image.path = info.absoluteFilePath();
    const auto refuse = [&image, &step](const QString& why) {
        image.ok = false;
        image.error = QStringLiteral("%1: %2").arg(step.file, why);
        return image;
    };

    if (!info.exists())
        return refuse(QStringLiteral("no such file"));
    if (info.isDir())
        return refuse(QStringLiteral("is a folder, not a file"));
    QByteArray data;
    QString why;
    const ReadOutcome read = readBounded(image.path, largestFile(step.command), data, why);
    if (read == ReadOutcome::TooLong) {
        // The operations' own words for the two code images that are too long.
        if (step.command == Command::ProgramBoot)
            return refuse(QStringLiteral("Boot file is over than 64K!"));
        if (step.command == Command::ProgramMcu)
            return refuse(QStringLiteral("Mcu code file is over than 444K!"));
    }
    if (read != ReadOutcome::Read)
        return refuse(why);
    if (data.isEmpty())
        return refuse(QStringLiteral("is empty"));

    image.data = data;
    image.size = data.size();
    image.crc = crc32zero(bytesOf(data), size_t(data.size()));
    image.sha256 = QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
    image.sourceSha256 = image.sha256;
    if (!step.sha256.isEmpty() && step.sha256.compare(image.sha256, Qt::CaseInsensitive) != 0) {
        return refuse(
            QStringLiteral("SHA-256 is %1, the job expects %2; refused").arg(image.sha256, step.sha256));
    }

    const uint8_t* bytes = bytesOf(data);
    const size_t size = size_t(data.size());
    switch (step.command) {
        case Command::ProgramBoot:
        case Command::VerifyBoot:
            if (step.command == Command::ProgramBoot && hasBadRunningAddress(bytes, size))
                return refuse(QStringLiteral("There is a problem with the running address of this file!"));
            break;
        case Command::ProgramMcu: {
            const uint32_t start = parseHexAddress(step.addr) & ~uint32_t(0xFFF);
            if (uint64_t(start) + uint64_t(image.size) > kCodeFlashEnd)
                return refuse(QStringLiteral("Mcu code does not fit below 0x80000 from %1").arg(step.addr));
            break;
        }
        case Command::WriteUi:
            if (isDiffPath(step.file)) {
                if (!checkDiffFile(bytes, size).accepted())
                    return refuse(QStringLiteral("Illegal document"));
            } else if (image.size < 8) {
                return refuse(QStringLiteral("There aren't any datas to update!"));
            }
            break;
        case Command::CheckUi:
            if (isDiffPath(step.file))
                return refuse(QStringLiteral("a difference file has no whole UI area to check against"));
            break;
        case Command::UpdateFirmware:
        case Command::UpdateBoot:
            if (image.size < FirmwareUpdate::kHeaderEnd)
                return refuse(QStringLiteral("The firmware file is too short!"));
            break;
        default:
            break;
    }
    if (step.serial && !fitsImage(*step.serial, image.size)) {
        return refuse(QStringLiteral("the serial's %1 bytes at offset 0x%2 lie beyond the image (%3 bytes)")
                          .arg(step.serial->width())
                          .arg(QString::number(step.serial->offset, 16).toUpper())
                          .arg(image.size));
    }
    if ((step.command == Command::ProgramMcu || step.command == Command::ProgramBoot) && image.size < 8) {
        return refuse(QStringLiteral("There aren't any datas to update!"));
    }
    image.ok = true;
    return image;
}

namespace {

bool writeStaged(const QString& path, const QByteArray& data, const QString& source, QString& error) {
    QFile file(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !file.open(QIODevice::WriteOnly) ||
        file.write(data) != data.size() || !file.flush()) {
        error = QStringLiteral("%1: cannot be copied for the run (%2)").arg(source, file.errorString());
        return false;
    }
    return true;
}

}  // namespace

bool stageImages(QVector<CheckedImage>& images, const QString& folder, QString& error,
                 const QVector<bool>& keepBytes) {
    for (int i = 0; i < images.size(); ++i) {
        CheckedImage& image = images[i];
        image.stagedPath =
            QStringLiteral("%1/%2/%3").arg(folder).arg(i).arg(QFileInfo(image.path).fileName());
        if (!writeStaged(image.stagedPath, image.data, image.path, error))
            return false;
        if (i >= keepBytes.size() || !keepBytes.at(i))
            image.data.clear();
    }
    return true;
}

bool stagePatchedImage(CheckedImage& image, const SerialField& field, uint64_t value, const QString& folder,
                       QString& error) {
    const QByteArray patched = patchedImage(image.data, field, value);
    image.stagedPath = QStringLiteral("%1/%2").arg(folder, QFileInfo(image.path).fileName());
    image.crc = crc32zero(bytesOf(patched), size_t(patched.size()));
    image.sha256 = QString::fromLatin1(QCryptographicHash::hash(patched, QCryptographicHash::Sha256).toHex());
    image.data.clear();
    return writeStaged(image.stagedPath, patched, image.path, error);
}

}  // namespace qv::engine
