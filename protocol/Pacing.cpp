#include "Pacing.h"

#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace qv {

#ifdef _WIN32

void delayMicroseconds(int64_t us) {
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    // us * frequency overflows 64 bits for very long delays; splitting off whole seconds keeps the
    // product in range and gives the same truncated quotient wherever the plain product fits.
    const int64_t f = frequency.QuadPart;
    const int64_t target = now.QuadPart + (us / 1000000) * f + ((us % 1000000) * f) / 1000000;
    while (now.QuadPart < target)
        QueryPerformanceCounter(&now);
}

namespace {
void sleepOneMillisecond() {
    Sleep(1);
}
}  // namespace

#else

void delayMicroseconds(int64_t us) {
    if (us <= 0)
        return;
    // Keeps the clock arithmetic in range for absurd arguments (about 53 days at most).
    constexpr int64_t kLongest = int64_t{1} << 42;
    if (us > kLongest)
        us = kLongest;
    const auto target = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    while (std::chrono::steady_clock::now() < target) {
    }
}

namespace {
void sleepOneMillisecond() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
}  // namespace

#endif

namespace {
void spinTwoMicroseconds() {
    delayMicroseconds(2);
}
}  // namespace

Pacing Pacing::standard() {
    Pacing pacing;
    pacing.slowPause = &sleepOneMillisecond;
    pacing.fastPause = &spinTwoMicroseconds;
    return pacing;
}

Pacing Pacing::event() {
    Pacing pacing = standard();
    pacing.waiting = Waiting::Event;
    return pacing;
}

}  // namespace qv
