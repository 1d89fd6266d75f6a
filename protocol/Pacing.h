#pragma once

#include <cstdint>

namespace qv {

// Busy-waits for us microseconds on a monotonic high-resolution clock (the performance counter
// on Windows) without sleeping or yielding; returns at once for us <= 0.
void delayMicroseconds(int64_t us);

// How a transaction waits for the worker's txDone and rxDone.
//
// Polling (standard(), the window): the two pauses between flag checks. Budgets are counted in
// checks; the pauses only decide how long a check costs. Tests may shorten the slow pause.
//
// Event (event(), the console engine): the caller sleeps until the worker raises the flag, so
// that many programmers on few cores never spin. Each budget becomes a wall time: its number of
// checks times the nominal pause of its polling style (slowCheckMicros, fastCheckMicros):
//
//   transaction                   send budget          reply budget
//   'J' writeFirmwareChunk        1000 slow =  1 s     2000 slow   =  2 s
//   'L' checkFirmwareCrc          1000 slow =  1 s     10000 slow  = 10 s
//   'O' finishFirmwareUpdate      1000 slow =  1 s     10000 slow  = 10 s
//   'F' writeDataChunk            200000 fast = 0.4 s  400000 fast = 0.8 s
//   'G' checkDataCrc              1000 slow =  1 s     25000 slow  = 25 s
//   'K' connectProgrammer         1000 slow =  1 s     1000 slow   =  1 s
//   'A' targetControl             1000 slow =  1 s     3000 slow   =  3 s
//
// Flags, their order, frames and result codes are the same in both styles. While it waits, the
// event style processes the host's events each time it wakes without the flag and at least every
// eventPumpMillis (20 ms), instead of between every two checks: a console host only needs its
// events (signals, timers, output) handled promptly, and each pump is a wake-up. Pumping every
// 5 ms cost the engine about 1 % of a core more while writing against a realistic programmer.
struct Pacing {
    enum class Waiting { Polling, Event };
    Waiting waiting = Waiting::Polling;

    void (*slowPause)() = nullptr;  // default: sleep 1 ms
    void (*fastPause)() = nullptr;  // default: delayMicroseconds(2)

    // Event style: wall time per budgeted check, and the longest stretch without processEvents.
    int64_t slowCheckMicros = 1000;
    int64_t fastCheckMicros = 2;
    int eventPumpMillis = 20;

    // The window's polling: 1 ms sleeps, 2 us busy waits, budgets in checks.
    static Pacing standard();
    // The console engine's event waits with the wall-time budgets above.
    static Pacing event();

    // Wall time in microseconds that a budget of this many checks lasts in the event style.
    int64_t eventBudgetMicros(int checks, bool fast) const {
        return int64_t(checks) * (fast ? fastCheckMicros : slowCheckMicros);
    }
};

}  // namespace qv
