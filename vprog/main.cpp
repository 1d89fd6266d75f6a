// qv310-vprog: serves one virtual programmer until SIGINT or SIGTERM (on Windows: Ctrl+C,
// Ctrl+Break or the console closing).
#include "vprog/CommandLine.h"
#include "vprog/VirtualProgrammer.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
// The console's control handler runs on a thread of its own: it only tells the main thread to
// stop, then holds the process until the main thread has unplugged and saved its memories (the
// system ends the process as soon as the handler returns from a console close).
HANDLE stopRequested = nullptr;
HANDLE stopDone = nullptr;

BOOL WINAPI onConsoleControl(DWORD) {
    SetEvent(stopRequested);
    WaitForSingleObject(stopDone, 4000);
    return TRUE;
}
#endif

// With --stop-at-eof: standard input is read and dropped on a thread of its own until it ends,
// which then stops the programmer as Ctrl+C would.
void stopAtEndOfInput() {
    std::thread([] {
#ifdef _WIN32
        const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        char buffer[256];
        DWORD n = 0;
        while (ReadFile(in, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        }
        SetEvent(stopRequested);
#else
        char buffer[256];
        while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
        }
        ::kill(::getpid(), SIGTERM);
#endif
    }).detach();
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    vprog::CommandLine commandLine;
    std::string error;
    if (!vprog::parseCommandLine(args, commandLine, error)) {
        std::fprintf(stderr, "qv310-vprog: %s\n(qv310-vprog --help lists the options)\n", error.c_str());
        return 2;
    }
    if (commandLine.help) {
        std::fputs(vprog::usageText().c_str(), stdout);
        return 0;
    }

#ifdef _WIN32
    stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    stopDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!stopRequested || !stopDone || !SetConsoleCtrlHandler(onConsoleControl, TRUE)) {
        std::fprintf(stderr, "qv310-vprog: cannot take Ctrl+C\n");
        return 1;
    }
#else
    // The signals are taken by sigwait below, never by a handler: the server thread must not be
    // interrupted, and the programmer unplugs and saves its memories on the main thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    int signal = 0;
#endif
    {
        vprog::VirtualProgrammer programmer(commandLine.options);
        if (!programmer.plugged()) {
            // Nothing was served: keep whatever files the dump paths name.
            programmer.withModel([](vprog::DeviceModel& m) {
                m.mutableOptions().dumpCodePath.clear();
                m.mutableOptions().dumpSpiPath.clear();
                m.mutableOptions().dumpFirmwarePath.clear();
            });
            std::fprintf(stderr, "qv310-vprog: could not plug in at %s\n", programmer.socketPath().c_str());
            return 1;
        }
        std::printf(
            "VIRTUAL programmer \"%s\" plugged in (not a real programmer box).\n"
            "Device path: %s\n"
            "Stop with Ctrl+C.\n",
            commandLine.options.name.c_str(), programmer.devicePath().c_str());
        std::fflush(stdout);
        if (commandLine.stopAtEof)
            stopAtEndOfInput();
#ifdef _WIN32
        WaitForSingleObject(stopRequested, INFINITE);
#else
        sigwait(&stopSignals, &signal);
#endif
    }
    std::printf("VIRTUAL programmer \"%s\" unplugged.\n", commandLine.options.name.c_str());
    std::fflush(stdout);
#ifdef _WIN32
    SetEvent(stopDone);
#endif
    return 0;
}
