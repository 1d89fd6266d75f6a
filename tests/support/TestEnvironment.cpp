#include "TestEnvironment.h"

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace qvtest {

namespace {
std::string runtimeDirectory;
void removeRuntimeDirectory() {
    std::error_code ignored;
    if (!runtimeDirectory.empty()) std::filesystem::remove_all(runtimeDirectory, ignored);
}
}  // namespace

void useFreshRuntimeDirectory() {
    char pattern[] = "/tmp/qv310-test-XXXXXX";
    if (char* made = ::mkdtemp(pattern)) {
        runtimeDirectory = made;
        ::setenv("XDG_RUNTIME_DIR", made, 1);
        std::atexit(removeRuntimeDirectory);
    }
}

}  // namespace qvtest
