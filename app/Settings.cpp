#include "Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <filesystem>
#include <system_error>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qv {

namespace {

// Puts the written bytes on the disk before the rename makes them the file.
bool flushToDisk(QFile& file) {
#ifdef Q_OS_WIN
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(file.handle()));
    return handle != INVALID_HANDLE_VALUE && ::FlushFileBuffers(handle) != 0;
#else
    return ::fsync(file.handle()) == 0;
#endif
}

// Replaces `to` by `from` in one step; false when `to` is untouched.
bool renameOver(const QString& from, const QString& to) {
#ifdef Q_OS_WIN
    // MoveFileExW replaces an existing file only when asked to; write-through returns once the
    // new name is on the disk.
    const std::wstring source = QDir::toNativeSeparators(from).toStdWString();
    const std::wstring target = QDir::toNativeSeparators(to).toStdWString();
    return ::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    std::error_code error;
    std::filesystem::rename(std::filesystem::path(from.toStdWString()), std::filesystem::path(to.toStdWString()),
                            error);
    return !error;
#endif
}

}  // namespace

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
    written = written && flushToDisk(file);
    file.close();
    written = written && file.error() == QFileDevice::NoError;
    // Replaces the old file in one step (rename on POSIX, MoveFileExW with replace on Windows).
    if (!written || !renameOver(temporaryPath, path)) {
        QFile::remove(temporaryPath);
        return false;
    }
    return true;
}

}  // namespace qv
