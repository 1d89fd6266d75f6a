#pragma once

namespace qvtest {
// Points XDG_RUNTIME_DIR at a fresh private directory for this test process, so that virtual
// programmers started by one test binary are invisible to every other one. Removed at exit.
void useFreshRuntimeDirectory();
}
