#include "UsbBurnCtrl.h"

#include "UsbDevice.h"

namespace {
constexpr auto acquire = std::memory_order_acquire;
constexpr auto release = std::memory_order_release;
using Clock = std::chrono::steady_clock;
}  // namespace

USB_BURN_CTRL::USB_BURN_CTRL(QObject* parent) : QThread(parent) {}

USB_BURN_CTRL::~USB_BURN_CTRL() { stopAndWait(); }

void USB_BURN_CTRL::startWork() {
    runReturned.store(false, release);
    start();
}

void USB_BURN_CTRL::stopAndWait() {
    while (isRunning()) {
        stopRequested.store(1, release);
        wake();
        wait(10);
    }
    // Joins the thread even when it had already ended: it may still be finishing inside Qt, and
    // the object must not be destroyed or restarted before that is complete.
    wait();
    (void)runReturned.load(acquire);
}

// Taking the park lock after the raise orders it with the worker's look at the flags: either the
// worker looks after this and sees the flag, or it is already waiting and gets the notification.
void USB_BURN_CTRL::wake() {
    { std::lock_guard<std::mutex> lock(parkMutex_); }
    parkWake_.notify_one();
}

bool USB_BURN_CTRL::hasWork() const {
    return txPending.load(acquire) == 1 || rxPending.load(acquire) == 1 || stopRequested.load(acquire) == 1;
}

void USB_BURN_CTRL::park() {
    std::unique_lock<std::mutex> lock(parkMutex_);
    parks_.fetch_add(1, std::memory_order_relaxed);
    parkWake_.wait_for(lock, parkTimeout, [this] { return hasWork(); });
}

void USB_BURN_CTRL::signalDone() {
    { std::lock_guard<std::mutex> lock(doneMutex_); }
    doneWake_.notify_all();
}

uint8_t USB_BURN_CTRL::waitForRaise(const std::atomic<uint8_t>& flag, Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(doneMutex_);
    doneWake_.wait_until(lock, deadline, [&] { return flag.load(acquire) != 0 || runReturned.load(acquire); });
    return flag.load(acquire);
}

void USB_BURN_CTRL::run() {
    runReturned.store(false, release);
    stopRequested.store(0, release);
    noSleep.store(0, release);
    Clock::time_point lastWork = Clock::now();
    for (;;) {
        if (stopRequested.load(acquire) == 1) {
            stopRequested.store(0, release);
            // Nothing is signalled after this store: it stays the last thing the thread does. A
            // caller waiting for a raise notices the end at its next look (waitForRaise's deadline).
            runReturned.store(true, release);
            return;
        }
        bool worked = false;
        bool readNow = false;
        if (txPending.load(acquire) == 1) {
            txPending.store(0, release);
            const int32_t written = device->write(txBuffer, txLength, &stopRequested);
            if (written == qv::UsbDevice::kWriteAbandoned) {
                // Told to stop while the programmer took no data: end without a reply. txDone
                // stays 0 and a read asked for with it is not served; the next "Open programmer"
                // clears what is left before it starts the worker again.
                continue;
            }
            if (written == -1)
                stopRequested.store(1, release);
            txDone.store(1, release);
            signalDone();
            worked = true;
            readNow = rxPending.load(acquire) == 1;
        } else {
            readNow = rxPending.load(acquire) == 1;
        }
        if (readNow) {
            rxPending.store(0, release);
            const int32_t received = device->read(rxBuffer, &stopRequested);
            if (received == qv::UsbDevice::kReadAbandoned) {
                // Told to stop while the programmer was silent: end without a reply.
                continue;
            }
            worked = true;
            lastWork = Clock::now();
            if (received == -1) {
                rxDone.store(2, release);
                stopRequested.store(1, release);
                signalDone();
            } else {
                rxLength = static_cast<uint32_t>(received);
                rxDone.store(1, release);  // publishes rxBuffer and rxLength
                signalDone();
                if (noSleep.load(acquire) != 0 && !parkWhenIdle.load(std::memory_order_relaxed)) continue;
            }
        }
        if (worked) {
            lastWork = Clock::now();
            if (parkWhenIdle.load(std::memory_order_relaxed)) continue;
        } else if (parkWhenIdle.load(std::memory_order_relaxed) || Clock::now() - lastWork >= kIdleBeforePark) {
            // Nothing asked for a while: wait for the next raise instead of passing every 50 us.
            park();
            continue;
        }
        if (noSleep.load(acquire) == 0) QThread::usleep(50);
    }
}
