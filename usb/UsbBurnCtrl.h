#pragma once

#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qv {
class UsbDevice;
}

// The transfer worker of one device: a thread that performs the device's blocking transfers, so
// that the thread driving the operations (the window's GUI thread, or the thread that owns a
// programmer session) never blocks on USB. Each open device has its own worker, and several run
// at once, one per programmer session; workers share nothing with each other. A worker and its
// driving thread share the buffers, lengths and six flags below; requests and replies are handed
// over through the flags alone, with no lock, signal or queue. The two locks below serve only the
// idle park and the sleep in waitForRaise().
//
// Hand-over: the driving side completes txBuffer/txLength before raising txPending (release);
// the worker fills rxBuffer and rxLength before raising rxDone (release). Each side tests the
// other's flags with acquire.
//
// Idle parking: while requests come, the worker pauses 50 us between passes (none after a read
// while noSleep is set). After kIdleBeforePark with nothing to do it parks on a wait instead of
// pausing, so that an open but idle programmer costs no processor time. The side that raises
// txPending, rxPending or stopRequested calls wake() after the store; the park also ends by itself
// after parkTimeout, so a raise without wake() is served late, never lost.
//
// Event waits: the worker signals every raise of txDone and rxDone, so that a caller may sleep
// in waitForRaise() instead of polling; the polling callers are not affected.
class USB_BURN_CTRL : public QThread {
    Q_OBJECT
public:
    static constexpr uint32_t kTxBufferSize = 4160;
    static constexpr uint32_t kRxBufferSize = 1024;

    explicit USB_BURN_CTRL(QObject* parent = nullptr);
    // While the thread runs, raises stopRequested until it has ended.
    ~USB_BURN_CTRL() override;

    // Starts the thread (instead of start()): from here on the run counts as going for
    // waitForRaise(), however quickly the caller waits.
    void startWork();
    // Raises stopRequested repeatedly until the thread has ended.
    void stopAndWait();

    // Ends an idle park at once. Call after raising txPending, rxPending or stopRequested; safe
    // from any thread.
    void wake();
    // Sleeps until flag is raised (1 done, 2 failed) or the deadline passes; returns at once when
    // the thread has already ended (a failed write or read stops it: nothing will be raised any
    // more). An end while sleeping is not signalled: it is seen at the next call. Returns the
    // flag: 0 when it was not raised.
    uint8_t waitForRaise(const std::atomic<uint8_t>& flag, std::chrono::steady_clock::time_point deadline);
    // True once run() has returned (until the next startWork()).
    bool runEnded() const { return runReturned.load(std::memory_order_acquire); }

    static constexpr std::chrono::milliseconds kIdleBeforePark{5};
    // Set for a caller that sleeps in waitForRaise (the console engine): the worker then parks as
    // soon as it has nothing to do, instead of pausing or, with noSleep, spinning until the caller
    // has woken up and raised the next request. wake() ends the park at once.
    std::atomic<bool> parkWhenIdle{false};
    // Longest park without a wake (a safety net; every raise in the tool wakes the worker).
    std::chrono::milliseconds parkTimeout{100};
    // Number of parks so far (for tests and benches).
    uint64_t parkCount() const { return parks_.load(std::memory_order_relaxed); }

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
    // Something the worker must act on: a request or a stop.
    bool hasWork() const;
    void park();
    void signalDone();

    std::mutex parkMutex_;
    std::condition_variable parkWake_;
    std::mutex doneMutex_;
    std::condition_variable doneWake_;
    std::atomic<uint64_t> parks_{0};

    // Raised (release) as the last thing run() does and read (acquire) after joining, so that the
    // end of the thread is ordered before whatever the joining side does next, also for tools
    // that cannot see inside Qt's thread join.
    std::atomic<bool> runReturned{false};
};
