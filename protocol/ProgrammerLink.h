#pragma once

#include "Pacing.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

class USB_BURN_CTRL;

namespace qv {

class Reporter;
class UsbDevice;

enum ConnectionMode : int32_t {
    UpdateMcuCode = 0,  // the programmer's boot loader runs
    NormalWork = 1,     // its application runs
    UpdateBoot = 2,
};

enum class FlashChip { Board, Target };

// An SPI flash chip as the catalogue knows it: its id, the room it gives (for the target chip the
// room above the UI base) and its name. Size and name are 0 and empty when the catalogue does not
// list the id.
struct FlashChipInfo {
    uint32_t id = 0;
    int32_t size = 0;
    QString name;
    bool known = false;
};

// What the programmer said about itself at the handshake ('K'), and about its target at the last
// SWD init.
struct Connection {
    int32_t mode = 0;  // a ConnectionMode
    uint32_t bootVersion = 0;
    uint32_t appVersion = 0;
    uint32_t boardMcu = 0;
    uint32_t boardId = 0;
    FlashChipInfo boardFlash;
    // None until an SWD init answered.
    std::optional<uint32_t> targetType;
    FlashChipInfo targetFlash;
};

// The programmer as the operations see it: the transactions with their budgets, pauses and
// result codes, the connection handshake and what it reported, the flash catalogue results, and
// the guard that keeps one operation at a time. Frames are built in and replies read from the
// worker's buffers here and nowhere else. Lives on the thread that owns its session (the window's
// thread, or a board run's); the worker does the I/O.
//
// Result codes of every transaction: 0 (or the CRC status byte 0..255 for the two checks) on a
// valid reply; -1 send budget exhausted; -2 reply budget exhausted; -3 wrong length or letter;
// -4 reply CRC mismatch; -5 unrecognised connection mode (connectProgrammer only).
class ProgrammerLink {
public:
    ProgrammerLink(USB_BURN_CTRL& worker, UsbDevice& device, Reporter& report,
                   Pacing pacing = Pacing::standard());

    USB_BURN_CTRL& worker() { return worker_; }
    UsbDevice& device() { return device_; }
    Reporter& report() { return report_; }
    // Keeps the programmer's host awake while a long write runs.
    void setNoSleep(bool on);
    // Whether the last request was answered (its reply arrived).
    bool lastRequestAnswered() const;
    const Pacing& pacing() const { return pacing_; }
    void setPacing(const Pacing& pacing) {
        pacing_ = pacing;
        applyPacingToWorker();
    }

    // --- Transactions ('J', 'L', 'O', 'F', 'G', 'A'); each builds its frame in txBuffer. ---
    int writeFirmwareChunk(const uint8_t* data, uint32_t offset, uint32_t length);
    int checkFirmwareCrc(uint32_t expectedCrc, uint32_t offset, uint32_t length);
    int finishFirmwareUpdate(uint8_t flag);
    int writeDataChunk(const uint8_t* data, uint32_t address, uint32_t length);
    int checkDataCrc(uint32_t expectedCrc, uint32_t address, uint32_t length);

    // The target control exchange ('A' -> 'Q'). targetRun false: SWD init, which reports the target
    // type (and, for a QV310, its SPI flash id, looked up in the catalogue); true: target run from
    // runAddress with the power-off choice. 0 when the exchange completed (also when the target
    // reported a run failure; started then says whether it started); -1/-2 budgets exhausted; -3
    // wrong letter; -4 reply CRC mismatch.
    struct TargetControl {
        bool targetRun = false;
        uint32_t runAddress = 0;
        uint8_t swdSpeed = 0;  // 0..2
        bool powerOff = false;
    };
    struct TargetControlReply {
        int result = 0;
        std::optional<bool> started;  // target run only
    };
    TargetControlReply targetControl(const TargetControl& request);

    enum class Polling { Slow, Fast };
    // Hands txLength bytes already built in txBuffer to the worker and waits for one reply:
    // 0 when a reply arrived (rxDone 1), -1 when the send budget ran out, -2 when the reply
    // budget ran out. Budgets are numbers of flag checks; GUI events are processed between checks.
    // With Pacing::event() the caller sleeps until the worker raises the flag instead, and each
    // budget is the wall time its checks last at their nominal pause (see Pacing).
    int exchangeFrame(uint32_t txLength, int sendBudget, int replyBudget, Polling polling);

    // --- Open programmer and connection handshake ('K'). ---
    // What "Open programmer" came to; each front end tells it in its own way.
    enum class OpenOutcome {
        NoDevice,      // no path at that index: nothing done
        AlreadyOpen,   // the device is open already: said so, nothing sent
        Busy,          // another operation runs: nothing done
        OpenFailed,    // the device would not open ("Open fail")
        NotConnected,  // opened, but the handshake failed
        Connected,
    };
    // Opens the device at path, starts the worker, connects.
    OpenOutcome openProgrammer(const QString& path);
    // The same for devicePaths[index] (NoDevice when there is none).
    OpenOutcome openProgrammer(const QStringList& devicePaths, int index) {
        return openProgrammer(index >= 0 && index < devicePaths.size() ? devicePaths.at(index) : QString());
    }
    int connectProgrammer();

    // --- Flash catalogue (Flash.ini in the current directory), one lookup per chip. ---
    // Reads the file on every call and keeps the chip's record in the connection value (size 0 and
    // no name when the catalogue does not list it). Returns 1 when found, 0 otherwise.
    int lookupFlash(FlashChip chip, uint32_t id);
    // The catalogue file; empty (the window) means Flash.ini in the current directory.
    QString flashCataloguePath;
    // The catalogue's text, read and checked once by the front end; when set, no file is read (an
    // empty text lists no chip).
    std::optional<QByteArray> flashCatalogueText;

    // --- One operation at a time. ---
    // An operation that talks to the programmer holds an OperationGuard for its whole run; a
    // second one started from inside the first one's event pumping finds the guard taken and
    // does nothing.
    bool operationRunning() const { return operationRunning_; }

    // What the handshake and the last SWD init reported.
    const Connection& connection() const { return connection_; }
    // Tests and the benches set a connection as if a handshake had reported it.
    void setConnection(const Connection& connection) { connection_ = connection; }

private:
    friend class OperationGuard;
    void applyPacingToWorker();
    int exchangeFrameEvent(uint32_t txLength, int sendBudget, int replyBudget, Polling polling);
    int crcCheck(uint8_t letter, int replyBudget, uint32_t expectedCrc, uint32_t start, uint32_t length);
    USB_BURN_CTRL& worker_;
    UsbDevice& device_;
    Reporter& report_;
    Pacing pacing_;
    Connection connection_;
    bool operationRunning_ = false;
};

// Held by every operation that talks to the programmer. When another operation already holds
// it, acquired() is false and the operation must return at once without touching anything.
class OperationGuard {
public:
    explicit OperationGuard(ProgrammerLink& link);
    ~OperationGuard();
    OperationGuard(const OperationGuard&) = delete;
    OperationGuard& operator=(const OperationGuard&) = delete;
    bool acquired() const { return acquired_; }

private:
    ProgrammerLink& link_;
    bool acquired_;
};

}  // namespace qv
