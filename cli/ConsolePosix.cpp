#include "Console.h"

#include <cstdio>

#include <unistd.h>

namespace qv::cli {

bool writeText(Stream stream, const QByteArray& utf8) {
    std::FILE* out = stream == Stream::Out ? stdout : stderr;
    const bool written = std::fwrite(utf8.constData(), 1, size_t(utf8.size()), out) == size_t(utf8.size());
    return std::fflush(out) == 0 && written;
}

bool takesColour(Stream stream) {
    return ::isatty(stream == Stream::Out ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

ConsoleSetup::ConsoleSetup() {
    if (::isatty(STDERR_FILENO) == 1)
        style_ = ProgressStyle::Redrawn;
}

ConsoleSetup::~ConsoleSetup() = default;

}  // namespace qv::cli
