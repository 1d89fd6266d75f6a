#pragma once

#include <QThread>

#include <atomic>
#include <cstdint>

namespace qv {
class UsbDevice;
}

// The transfer worker: the only thread besides the GUI thread. It performs the blocking
// transfers of the device so that the GUI thread never blocks on USB. The two threads share
// only the buffers, lengths and six flags below; no lock, signal or queue.
//
// Hand-over: the GUI side completes txBuffer/txLength before raising txPending (release);
// the worker fills rxBuffer and rxLength before raising rxDone (release). Each side tests the
// other's flags with acquire.
class USB_BURN_CTRL : public QThread {
    Q_OBJECT
public:
    static constexpr uint32_t kTxBufferSize = 4160;
    static constexpr uint32_t kRxBufferSize = 1024;

    explicit USB_BURN_CTRL(QObject* parent = nullptr);
    // While the thread runs, raises stopRequested until it has ended.
    ~USB_BURN_CTRL() override;

    // Raises stopRequested repeatedly until the thread has ended.
    void stopAndWait();

    uint8_t txBuffer[kTxBufferSize] = {};
    uint8_t rxBuffer[kRxBufferSize] = {};
    uint32_t txLength = 0;
    uint32_t rxLength = 0;
    std::atomic<uint8_t> txPending{0};
    std::atomic<uint8_t> txDone{0};
    std::atomic<uint8_t> rxPending{0};
    std::atomic<uint8_t> rxDone{0};  // 1: reply in rxBuffer; 2: the read failed
    std::atomic<uint8_t> stopRequested{0};
    std::atomic<uint8_t> noSleep{0};
    qv::UsbDevice* device = nullptr;  // not owned

protected:
    void run() override;

private:
    // Raised (release) as the last thing run() does and read (acquire) after joining, so that the
    // end of the thread is ordered before whatever the joining side does next, also for tools
    // that cannot see inside Qt's thread join.
    std::atomic<bool> runReturned{false};
};
