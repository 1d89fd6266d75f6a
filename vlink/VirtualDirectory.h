#pragma once

// Where virtual programmers are found: the one name the tool's device search and the virtual
// programmer must agree on, so that a programmer one of them makes is the one the other lists.
// Header-only, plain C++ and the platform's API.

#include <string>

#ifdef _WIN32
#include "vlink/VirtualPipe.h"
#else
#include <unistd.h>

#include <cstdlib>
#endif

namespace qv {

// $XDG_RUNTIME_DIR/qv310-isp when XDG_RUNTIME_DIR is set and not empty, else
// /tmp/qv310-isp-<uid>. On Windows the pipe folder \\.\pipe\qv310-isp (vlink/VirtualPipe.h).
inline std::string standardVirtualDirectory() {
#ifdef _WIN32
    std::wstring folder = std::wstring(kPipeNamespace) + kVirtualPipeFolder;
    folder.pop_back();  // the folder's trailing backslash
    return utf8FromWide(folder);
#else
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0')
        return std::string(runtime) + "/qv310-isp";
    return "/tmp/qv310-isp-" + std::to_string(::getuid());
#endif
}

}  // namespace qv
