#include "TestEnvironment.h"

#ifdef _WIN32

#include <QByteArray>
#include <QtGlobal>

namespace qvtest {

void useFreshRuntimeDirectory() {}

void setQtVariablesForWindows() {
    qputenv("QT_FORCE_STDERR_LOGGING", "1");
    if (!qEnvironmentVariableIsSet("QT_QPA_FONTDIR") && qEnvironmentVariableIsSet("QV_TEST_FONTDIR")) {
        qputenv("QT_QPA_FONTDIR", qgetenv("QV_TEST_FONTDIR"));
    }
}

}  // namespace qvtest

#else

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

void setQtVariablesForWindows() {}

}  // namespace qvtest

#endif
