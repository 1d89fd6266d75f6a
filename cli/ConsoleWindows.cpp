#include "Console.h"

#include <QString>

#include <cerrno>

#include <windows.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace qv::cli {

namespace {

HANDLE handleOf(Stream stream) {
    return GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

// A console, not a pipe, a file or the NUL device (which the C runtime's isatty counts as a
// terminal).
bool isConsole(HANDLE handle, DWORD* mode = nullptr) {
    DWORD ignored = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, mode ? mode : &ignored);
}

bool writeConsole(HANDLE console, const QByteArray& utf8) {
    const QString text = QString::fromUtf8(utf8);
    const auto* wide = reinterpret_cast<const wchar_t*>(text.utf16());
    DWORD left = DWORD(text.size());
    // In pieces the console takes at once, never between the two halves of a surrogate pair.
    constexpr DWORD kPiece = 8192;
    while (left > 0) {
        DWORD piece = left < kPiece ? left : kPiece;
        if (piece < left && QChar::isHighSurrogate(wide[piece - 1]))
            --piece;
        DWORD done = 0;
        if (!WriteConsoleW(console, wide, piece, &done, nullptr) || done == 0) {
            errno = EIO;
            return false;
        }
        wide += done;
        left -= done;
    }
    return true;
}

bool writeFile(HANDLE file, const QByteArray& utf8) {
    const char* data = utf8.constData();
    DWORD left = DWORD(utf8.size());
    while (left > 0) {
        DWORD done = 0;
        if (!WriteFile(file, data, left, &done, nullptr) || done == 0) {
            const DWORD error = GetLastError();
            errno = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? ENOSPC
                    : error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE   ? EPIPE
                                                                               : EIO;
            return false;
        }
        data += done;
        left -= done;
    }
    return true;
}

}  // namespace

bool writeText(Stream stream, const QByteArray& utf8) {
    if (utf8.isEmpty())
        return true;
    const HANDLE handle = handleOf(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return false;
    }
    return isConsole(handle) ? writeConsole(handle, utf8) : writeFile(handle, utf8);
}

bool takesColour(Stream stream) {
    DWORD mode = 0;
    return isConsole(handleOf(stream), &mode) && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

ConsoleSetup::ConsoleSetup() {
    const HANDLE err = handleOf(Stream::Err);
    DWORD mode = 0;
    if (!isConsole(err, &mode))
        return;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) {
        style_ = ProgressStyle::Redrawn;
    } else if (SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        style_ = ProgressStyle::Redrawn;
        restoreMode_ = mode;
        restore_ = true;
    } else {
        // Consoles before Windows 10 draw the escape sequences as text.
        style_ = ProgressStyle::Lines;
    }
}

ConsoleSetup::~ConsoleSetup() {
    if (restore_)
        SetConsoleMode(handleOf(Stream::Err), DWORD(restoreMode_));
}

}  // namespace qv::cli
