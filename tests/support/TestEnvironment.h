#pragma once

#include "PumpUntil.h"

namespace qvtest {
// Points XDG_RUNTIME_DIR at a fresh private directory for this test process, so that virtual
// programmers started by one test binary are invisible to every other one. Removed at exit.
// Does nothing on Windows, where the tests start no virtual programmer.
void useFreshRuntimeDirectory();

// On Windows, the Qt settings a test under Wine needs, which Wine cannot pass in: it hands the
// Windows process the Linux environment without its QT_* variables. Qt's messages go to standard
// error (not the debugger output), and QV_TEST_FONTDIR, when set, becomes QT_QPA_FONTDIR (the
// offscreen platform has no fonts on Windows otherwise). Does nothing elsewhere.
void setQtVariablesForWindows();
}
