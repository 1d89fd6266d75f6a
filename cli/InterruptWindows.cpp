#include "Interrupt.h"

#include <windows.h>

namespace qv::cli {

namespace {

// The console runs the control handler on a thread of its own, one per event. The first event
// only wakes the watch thread, which does the rest; a second one ends the process at once.
// The two events live as long as the process: a handler may still be running when a watch ends.
HANDLE wakeEvent = nullptr;      // auto-reset: an interrupt, or the watch ending
HANDLE finishedEvent = nullptr;  // manual-reset: the watch has ended (its run has reported)
volatile LONG eventsSeen = 0;
volatile LONG quitting = 0;

constexpr UINT kExitInterrupted = 130;

BOOL WINAPI onConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            break;
        default:
            return FALSE;
    }
    if (InterlockedIncrement(&eventsSeen) > 1)
        TerminateProcess(GetCurrentProcess(), kExitInterrupted);
    SetEvent(wakeEvent);
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT)
        return TRUE;
    // The console is closing (its window, a log-off, a shut-down): the system ends the process as
    // soon as this handler returns, or a few seconds after the event at the latest. Hold it until
    // the boards have stopped and the run has reported and ended the process itself.
    WaitForSingleObject(finishedEvent, INFINITE);
    Sleep(INFINITE);
    return TRUE;
}

}  // namespace

InterruptWatch::InterruptWatch(std::function<void()> onInterrupt) : onInterrupt_(std::move(onInterrupt)) {
    if (!wakeEvent)
        wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!finishedEvent)
        finishedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!wakeEvent || !finishedEvent)
        return;
    InterlockedExchange(&eventsSeen, 0);
    InterlockedExchange(&quitting, 0);
    ResetEvent(wakeEvent);
    ResetEvent(finishedEvent);
    thread_ = std::thread([this] { watch(); });
    // A program started with Ctrl+C turned off (by a parent that ignores it, or in a new process
    // group) still stops on Ctrl+C.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

InterruptWatch::~InterruptWatch() {
    if (!thread_.joinable())
        return;
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
    InterlockedExchange(&quitting, 1);
    SetEvent(wakeEvent);
    thread_.join();
    SetEvent(finishedEvent);
}

void InterruptWatch::watch() {
    for (;;) {
        if (WaitForSingleObject(wakeEvent, INFINITE) != WAIT_OBJECT_0 || InterlockedCompareExchange(&quitting, 0, 0))
            return;
        if (InterlockedCompareExchange(&eventsSeen, 0, 0) > 0 && !interrupted_.exchange(true, std::memory_order_acq_rel))
            onInterrupt_();
    }
}

}  // namespace qv::cli
