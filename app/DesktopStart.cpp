#include "app/DesktopStart.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace qv {

namespace {

QString cannotUse(const QString& folder, const QString& what, const QString& reason) {
    return QStringLiteral(
               "QV310 SWD ISP cannot use its working folder\n%1\n\n%2: %3.\n\n"
               "The tool keeps config.ini and Flash.ini in this folder. Make room on the disk or make "
               "the folder writable, then start the tool again.")
        .arg(folder, what, reason);
}

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Writes one block into a scratch file and removes it again. Creating an empty file still works on
// a full disk, so only written bytes show that config.ini can be saved at exit.
bool canWriteIn(const QString& folder, QString& reason) {
    const QByteArray path = QFile::encodeName(QDir(folder).filePath(QStringLiteral(".write-check")));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        reason = errnoText(errno);
        return false;
    }
    const QByteArray block(4096, '\n');
    bool ok = true;
    int error = 0;
    ssize_t done = 0;
    while (ok && done < block.size()) {
        const ssize_t n = ::write(fd, block.constData() + done, block.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            error = n < 0 ? errno : ENOSPC;
        } else {
            done += n;
        }
    }
    if (ok && ::fsync(fd) != 0) {
        ok = false;
        error = errno;
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    ::unlink(path.constData());
    if (!ok)
        reason = errnoText(error);
    return ok;
}

}  // namespace

QString workFolderPath(const QString& xdgDataHome, const QString& home) {
    const QString base =
        QDir::isAbsolutePath(xdgDataHome) ? xdgDataHome : QDir(home).filePath(QStringLiteral(".local/share"));
    return QDir::cleanPath(QDir(base).filePath(QStringLiteral("qv310-isp")));
}

WorkFolder prepareWorkFolder(const QString& folder, const QString& shippedFlashIni) {
    WorkFolder result;

    std::error_code error;
    const std::filesystem::path path(QFile::encodeName(folder).toStdString());
    std::filesystem::create_directories(path, error);
    if (!error && !std::filesystem::is_directory(path, error) && !error)
        error = std::make_error_code(std::errc::not_a_directory);
    if (error) {
        result.problem = cannotUse(folder, QStringLiteral("It cannot be created"),
                                   QString::fromStdString(error.message()));
        return result;
    }

    QString reason;
    if (!canWriteIn(folder, reason)) {
        result.problem = cannotUse(folder, QStringLiteral("No file can be written in it"), reason);
        return result;
    }

    const QString flashIni = QDir(folder).filePath(QStringLiteral("Flash.ini"));
    if (!QFileInfo::exists(flashIni)) {
        QFile shipped(shippedFlashIni);
        if (!shipped.open(QIODevice::ReadOnly)) {
            // The tool runs without a catalogue; chips then show their id with size 0 and no name.
            result.logLine =
                QStringLiteral("No Flash.ini was copied to %1: the default %2 cannot be read (%3).")
                    .arg(folder, shippedFlashIni, shipped.errorString());
        } else {
            const QByteArray content = shipped.readAll();
            // Through a temporary file, so a full disk never leaves a cut catalogue behind.
            QSaveFile copy(flashIni);
            if (shipped.error() != QFileDevice::NoError || !copy.open(QIODevice::WriteOnly) ||
                copy.write(content) != content.size() || !copy.commit()) {
                const QString why =
                    shipped.error() != QFileDevice::NoError ? shipped.errorString() : copy.errorString();
                result.problem = cannotUse(folder, QStringLiteral("Flash.ini cannot be copied into it"), why);
                return result;
            }
        }
    }

    result.usable = true;
    return result;
}

}  // namespace qv
