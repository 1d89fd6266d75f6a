#include "Settings.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <filesystem>
#include <system_error>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace qv {

StoredSettings readSettings(QIODevice& file) {
    StoredSettings s;
    QTextStream in(&file);
    for (int lineNumber = 1; lineNumber <= 7 && !in.atEnd(); ++lineNumber) {
        const QString line = in.readLine();
        switch (lineNumber) {
            case 1: s.upbootEnabled = line.contains(QLatin1String("UPBOOT:1")); break;
            case 3: s.hasMcuCodeLine = true; s.mcuCodeLine = line; break;
            case 4: s.hasUiImageLine = true; s.uiImageLine = line; break;
            case 5: s.hasBootCodeLine = true; s.bootCodeLine = line; break;
            case 7:
                s.hasPowerOffLine = true;
                s.powerOff = line.contains(QLatin1String("PWROFF:1"));
                break;
            default: break;  // lines 2 and 6 carry nothing the tool reads
        }
    }
    return s;
}

QByteArray settingsFileBytes(const QString& mcuCodePath, const QString& uiImagePath,
                             const QString& bootCodePath, bool powerOff) {
#ifdef Q_OS_WIN
    const QString eol = QStringLiteral("\r\n");
#else
    const QString eol = QStringLiteral("\n");
#endif
    QString text;
    text += QStringLiteral("UPBOOT:0") + eol;
    text += QStringLiteral("NFLASH:0") + eol;
    text += mcuCodePath + eol;
    text += uiImagePath + eol;
    text += bootCodePath + eol;
    text += QStringLiteral("WAITT:") + QString::number(0) + eol;
    text += (powerOff ? QStringLiteral("PWROFF:1") : QStringLiteral("PWROFF:0")) + eol;
    return text.toLocal8Bit();
}

bool writeFileAtomically(const QString& path, const QByteArray& bytes) {
    // QSaveFile is not enough here: its buffered write can report success after a short write on
    // a full disk and then commit the truncated file. Write unbuffered and check every byte.
    const QString temporaryPath =
        path + QStringLiteral(".%1.tmp").arg(QCoreApplication::applicationPid());
    QFile file(temporaryPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) return false;
    bool written = file.write(bytes) == bytes.size();
#ifndef Q_OS_WIN
    written = written && ::fsync(file.handle()) == 0;
#endif
    file.close();
    written = written && file.error() == QFileDevice::NoError;
    std::error_code error;
    if (written) {
        // Replaces the old file in one step (rename on POSIX, MoveFileEx with replace on Windows).
        std::filesystem::rename(std::filesystem::path(temporaryPath.toStdWString()),
                                std::filesystem::path(path.toStdWString()), error);
    }
    if (!written || error) {
        QFile::remove(temporaryPath);
        return false;
    }
    return true;
}

}  // namespace qv
