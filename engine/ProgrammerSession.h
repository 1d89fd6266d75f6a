#pragma once

#include "Steps.h"

#include "protocol/FirmwareUpdate.h"
#include "protocol/OperationHost.h"
#include "protocol/Pacing.h"
#include "protocol/ProgrammerLink.h"
#include "targetcode/TargetOperations.h"
#include "uiflash/UiFlashOperations.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"

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
    // The boxes it raised (a refused file, a programmer that would not open).
    QStringList messages;
    bool deviceOpen = false;
    // Whether the last request was answered (a reply arrived).
    bool lastRequestAnswered = false;
    // Whether the target started at the end (none: no target run was answered).
    std::optional<bool> targetStarted;
};

// One programmer and everything that talks to it, owned together: the device, the transfer
// worker, the link and the operations, reporting through the host given. The console, the
// station, the gang bench and the tests each hold one per programmer; nothing is shared between
// two, so several run at once on threads of their own. Every call but interrupt() is made on the
// thread that owns the session.
class ProgrammerSession {
  public:
    explicit ProgrammerSession(OperationHost& host, Pacing pacing = Pacing::event());
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

    // Runs one operation on the file given (a copy the caller owns), as its button does: the
    // file is the one the operation's path field names or its dialog chooses, addr the McuCode
    // Addr text (program-mcu, verify-mcu).
    OperationOutcome run(Command command, const QString& file, const QString& addr = QStringLiteral("0xA000"));

    // From any thread: stops whatever runs now as a pulled cable would (the device is closed, the
    // operation ends at its next request; the target is not started) and refuses every later
    // open. The programmer itself is left as it is and answers the next tool that opens it.
    void interrupt();
    bool interrupted() const { return interrupted_.load(std::memory_order_acquire); }

  private:
    // Answers the operations' file dialogs with the file of the run; everything else goes to the
    // host given.
    class FileHost : public OperationHost {
      public:
        explicit FileHost(OperationHost& outer) : outer_(outer) {}
        QString file;

        void appendLog(const QString& line) override { outer_.appendLog(line); }
        void clearLog() override { outer_.clearLog(); }
        void setProgress(int value) override { outer_.setProgress(value); }
        void showCriticalMessage(const QString& text) override {
            messages << text;
            outer_.showCriticalMessage(text);
        }
        void showErrorMessage(const QString& text) override {
            messages << text;
            outer_.showErrorMessage(text);
        }
        void setButtonsEnabled(bool enabled) override { outer_.setButtonsEnabled(enabled); }
        void setButtonEnabled(Button button, bool enabled) override { outer_.setButtonEnabled(button, enabled); }
        void processEvents() override { outer_.processEvents(); }
        QString openFileName(const QString& caption, const QString& directory, const QString& filter) override {
            return file.isEmpty() ? outer_.openFileName(caption, directory, filter) : file;
        }
        QString text(TextField field) const override { return outer_.text(field); }
        void setText(TextField field, const QString& text) override { outer_.setText(field, text); }
        int swdSpeedIndex() const override { return outer_.swdSpeedIndex(); }
        bool powerOffChecked() const override { return outer_.powerOffChecked(); }
        void setMcuTypeRow(int row) override { outer_.setMcuTypeRow(row); }
        // Collects the boxes of one run.
        QStringList messages;

      private:
        OperationHost& outer_;
    };
    FileHost fileHost_;
    std::atomic<bool> interrupted_{false};

  public:
    UsbDevice device;
    USB_BURN_CTRL worker;
    ProgrammerLink link;
    TargetOperations target;
    UiFlashOperations ui;
    FirmwareUpdate firmware;
};

}  // namespace qv::engine
