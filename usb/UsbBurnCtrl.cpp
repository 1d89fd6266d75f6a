#include "UsbBurnCtrl.h"

#include "UsbDevice.h"

namespace {
constexpr auto acquire = std::memory_order_acquire;
constexpr auto release = std::memory_order_release;
}  // namespace

USB_BURN_CTRL::USB_BURN_CTRL(QObject* parent) : QThread(parent) {}

USB_BURN_CTRL::~USB_BURN_CTRL() { stopAndWait(); }

void USB_BURN_CTRL::stopAndWait() {
    while (isRunning()) {
        stopRequested.store(1, release);
        wait(10);
    }
    // Joins the thread even when it had already ended: it may still be finishing inside Qt, and
    // the object must not be destroyed or restarted before that is complete.
    wait();
    (void)runReturned.load(acquire);
}

void USB_BURN_CTRL::run() {
    runReturned.store(false, release);
    stopRequested.store(0, release);
    noSleep.store(0, release);
    for (;;) {
        if (stopRequested.load(acquire) == 1) {
            stopRequested.store(0, release);
            runReturned.store(true, release);
            return;
        }
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
            if (received == -1) {
                rxDone.store(2, release);
                stopRequested.store(1, release);
            } else {
                rxLength = static_cast<uint32_t>(received);
                rxDone.store(1, release);  // publishes rxBuffer and rxLength
                if (noSleep.load(acquire) != 0) continue;
            }
        }
        if (noSleep.load(acquire) == 0) QThread::usleep(50);
    }
}
