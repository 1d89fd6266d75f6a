#pragma once

#include <cstdint>

namespace qv {

// Busy-waits for us microseconds on a monotonic high-resolution clock (the performance counter
// on Windows) without sleeping or yielding; returns at once for us <= 0.
void delayMicroseconds(int64_t us);

// The two pauses between flag checks of a transaction. Budgets are counted in checks; the pauses
// only decide how long a check costs. Tests may shorten the slow pause through this seam.
struct Pacing {
    void (*slowPause)() = nullptr;  // default: sleep 1 ms
    void (*fastPause)() = nullptr;  // default: delayMicroseconds(2)

    static Pacing standard();
};

}  // namespace qv
