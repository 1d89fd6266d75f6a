#include "Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTextStream>

#include <cerrno>
#include <filesystem>
#include <limits>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
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

namespace {

namespace fs = std::filesystem;

// The file a path names once every symbolic link on the way is followed, so that a save replaces
// the file itself and leaves the links standing. A loop of links ends after a bounded number of
// steps at whatever link it has reached.
fs::path followLinks(fs::path path) {
    std::error_code error;
    for (int step = 0; step < 40 && fs::is_symlink(fs::symlink_status(path, error)); ++step) {
        const fs::path target = fs::read_symlink(path, error);
        if (error)
            break;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return path;
}

QString qtPath(const fs::path& path) {
#ifdef _WIN32
    return QString::fromStdWString(path.wstring());
#else
    return QFile::decodeName(QByteArray::fromStdString(path.string()));
#endif
}

fs::path fsPath(const QString& path) {
#ifdef _WIN32
    return fs::path(path.toStdWString());
#else
    return fs::path(QFile::encodeName(path).toStdString());
#endif
}

bool processIsAlive(qint64 pid) {
#ifdef _WIN32
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
#else
    return pid > 0 && pid <= std::numeric_limits<pid_t>::max() &&
           (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
#endif
}

// "<name>.<pid>.tmp": the temporary file one save of one process writes beside the file.
QString temporaryName(const QString& fileName, qint64 pid) {
    return fileName + QStringLiteral(".%1.tmp").arg(pid);
}

// A save that was cut short (a crash, a kill, a power cut) leaves its temporary file behind.
// Those of processes that are gone are removed; one of a process still running may be its save
// in progress and stays.
void removeLeftoverTemporaries(const fs::path& file) {
    const QString name = qtPath(file.filename());
    const QDir folder(qtPath(file.parent_path().empty() ? fs::path(".") : file.parent_path()));
    const QRegularExpression pattern(QStringLiteral("^") + QRegularExpression::escape(name) +
                                     QStringLiteral("\\.(\\d{1,10})\\.tmp$"));
    const qint64 self = QCoreApplication::applicationPid();
    for (const QString& entry : folder.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        const QRegularExpressionMatch match = pattern.match(entry);
        if (!match.hasMatch())
            continue;
        const qint64 pid = match.captured(1).toLongLong();
        if (pid != self && !processIsAlive(pid))
            QFile::remove(folder.filePath(entry));
    }
}

// Every byte written and, where the system offers it, on the disk. QSaveFile is not enough here:
// its buffered write can report success after a short write on a full disk and then commit the
// truncated file. The file is open unbuffered, so a short write shows at once.
bool reachedDisk(QFile& file) {
#ifndef _WIN32
    return ::fsync(file.handle()) == 0;
#else
    // An unbuffered QFile has nothing of its own to flush; the system's cache is emptied onto the
    // disk before the rename makes these bytes the file.
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(file.handle()));
    return handle != INVALID_HANDLE_VALUE && ::FlushFileBuffers(handle) != 0;
#endif
}

bool replaceFile(const fs::path& from, const fs::path& to) {
#ifdef _WIN32
    // A plain rename refuses to replace an existing file on Windows.
    return MoveFileExW(from.wstring().c_str(), to.wstring().c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    std::error_code error;
    fs::rename(from, to, error);
    return !error;
#endif
}

// The folder does not allow a new file, but the file itself may be writable: it is rewritten from
// its first byte and then cut to the new length. Overwriting rather than truncating first means a
// new text no longer than the old one needs no new room on the disk.
bool rewriteInPlace(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return false;
    const bool written = file.write(bytes) == bytes.size() && file.resize(bytes.size()) && reachedDisk(file);
    file.close();
    return written && file.error() == QFileDevice::NoError;
}

}  // namespace

bool writeFileAtomically(const QString& path, const QByteArray& bytes) {
    const fs::path target = followLinks(fsPath(path));
    const QString targetPath = qtPath(target);
    removeLeftoverTemporaries(target);

    const QString temporaryPath =
        qtPath(target.parent_path() /
               fsPath(temporaryName(qtPath(target.filename()), QCoreApplication::applicationPid())));
    QFile file(temporaryPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        return rewriteInPlace(targetPath, bytes);
    }
    bool written = file.write(bytes) == bytes.size() && reachedDisk(file);
    file.close();
    written = written && file.error() == QFileDevice::NoError;
    // Replaces the old file in one step, so a crash leaves either the old file or the new one.
    if (!written || !replaceFile(fsPath(temporaryPath), target)) {
        QFile::remove(temporaryPath);
        return false;
    }
    return true;
}

}  // namespace qv
