#pragma once

#include "Steps.h"

#include "protocol/BlockWrite.h"
#include "protocol/Pacing.h"
#include "protocol/ProgrammerLink.h"
#include "protocol/Reporter.h"
#include "targetcode/CodeOperations.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace qv::engine {

// What one operation on a board came to, read from the operation's own results.
struct OperationOutcome {
    // The operation's result; none when it stopped before the board (a refused file, the
    // programmer gone before the first request, another operation running).
    std::optional<int> result;
    // What a write did with its 4096-byte blocks, for the writes that count them.
    std::optional<BlockCounts> blocks;
    // What it refused before sending anything (a file it cannot write).
    QStringList messages;
    bool deviceOpen = false;
    // Whether the last request was answered (a reply arrived).
    bool lastRequestAnswered = false;
    // Whether the target started at the end (none: no target run was answered).
    std::optional<bool> targetStarted;
};

// How one operation runs: the McuCode address (program-mcu), whether a UI file is a difference
// file, the write options and the target attach settings.
struct OperationOptions {
    QString addr = QStringLiteral("0xA000");
    bool diff = false;
    WriteOptions write;
    TargetSettings target;
};

// One programmer and everything that talks to it, owned together: the device, the transfer
// worker and the link, reporting through the reporter given. The console, the
// station, the gang bench and the tests each hold one per programmer; nothing is shared between
// two, so several run at once on threads of their own. Every call but interrupt() is made on the
// thread that owns the session.
class ProgrammerSession {
  public:
    explicit ProgrammerSession(Reporter& report, Pacing pacing = Pacing::event());
    ~ProgrammerSession();
    ProgrammerSession(const ProgrammerSession&) = delete;
    ProgrammerSession& operator=(const ProgrammerSession&) = delete;

    // "Open programmer" on this path: opens it, starts the worker, runs the handshake.
    ProgrammerLink::OpenOutcome open(const QString& path);
    // Stops the worker and releases the device (the programmer may be used by another tool).
    void close();
    // After the programmer's firmware restarted it (the session closed): waits for the programmer
    // with this board id to come back, at most timeout, and opens it. devicePath is where it was
    // and becomes where it is. False when it did not come back in time, or on an interrupt.
    bool reopenAfterRestart(uint32_t boardId, std::chrono::milliseconds timeout, QString& devicePath);

    // Runs one operation on the image bytes given (read and checked by the caller; they are
    // never read from a file again).
    OperationOutcome run(Command command, const QByteArray& image, const OperationOptions& options);

    // From any thread: stops whatever runs now as a pulled cable would (the device is closed, the
    // operation ends at its next request; the target is not started) and refuses every later
    // open. The programmer itself is left as it is and answers the next tool that opens it.
    void interrupt();
    bool interrupted() const { return interrupted_.load(std::memory_order_acquire); }

  private:
    std::optional<WriteResult> runOperation(Command command, const QByteArray& image,
                                            const OperationOptions& options);

    // Passes everything on to the reporter given and keeps what an operation refused.
    class Relay : public Reporter {
      public:
        explicit Relay(Reporter& outer) : outer_(outer) {}
        QStringList refusals;
        void appendLog(const QString& line) override { outer_.appendLog(line); }
        void clearLog() override { outer_.clearLog(); }
        void setProgress(int value) override { outer_.setProgress(value); }
        void processEvents() override { outer_.processEvents(); }
        void learned(Learned what, const Connection& connection) override { outer_.learned(what, connection); }
        void refused(const QString& text) override {
            refusals << text;
            outer_.refused(text);
        }
        bool stopRequested() const override { return outer_.stopRequested(); }

      private:
        Reporter& outer_;
    };
    Relay relay_;
    std::atomic<bool> interrupted_{false};

  public:
    UsbDevice device;
    USB_BURN_CTRL worker;
    ProgrammerLink link;
};

}  // namespace qv::engine
