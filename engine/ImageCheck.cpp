#include "ImageCheck.h"

#include "protocol/Crc32.h"
#include "protocol/FirmwareImage.h"
#include "targetcode/CodeImage.h"
#include "targetcode/CodeOperations.h"
#include "uiflash/UiOperations.h"

#include <QCryptographicHash>
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
    if (read == ReadOutcome::TooLong && (step.command == Command::ProgramBoot || step.command == Command::ProgramMcu)) {
        const CodeKind kind = step.command == Command::ProgramMcu ? CodeKind::Mcu : CodeKind::Boot;
        return refuse(codeRefusalText(kind, CodeRefusal::TooLong));
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
    QString refusal;
    switch (step.command) {
        case Command::ProgramBoot:
        case Command::ProgramMcu: {
            const CodeKind kind = step.command == Command::ProgramMcu ? CodeKind::Mcu : CodeKind::Boot;
            const uint32_t start = kind == CodeKind::Mcu ? parseHexAddress(step.addr) & ~uint32_t(0xFFF) : 0;
            refusal = codeRefusalText(kind, checkCodeImage(kind, bytes, size, start));
            break;
        }
        case Command::WriteUi:
        case Command::CheckUi:
            refusal = uiRefusalText(checkUiFile(isDiffPath(step.file), step.command == Command::CheckUi, bytes, size));
            break;
        case Command::UpdateFirmware:
        case Command::UpdateBoot:
            if (image.size < firmware::kHeaderEnd)
                refusal = firmware::refusalText(data);
            break;
        default:
            break;
    }
    if (!refusal.isEmpty())
        return refuse(refusal);
    if (step.serial && !fitsImage(*step.serial, image.size)) {
        return refuse(QStringLiteral("the serial's %1 bytes at offset 0x%2 lie beyond the image (%3 bytes)")
                          .arg(step.serial->width())
                          .arg(QString::number(step.serial->offset, 16).toUpper())
                          .arg(image.size));
    }
    image.ok = true;
    return image;
}

void patchImage(CheckedImage& image, const SerialField& field, uint64_t value) {
    image.data = patchedImage(image.data, field, value);
    image.crc = crc32zero(bytesOf(image.data), size_t(image.data.size()));
    image.sha256 =
        QString::fromLatin1(QCryptographicHash::hash(image.data, QCryptographicHash::Sha256).toHex());
}

}  // namespace qv::engine
