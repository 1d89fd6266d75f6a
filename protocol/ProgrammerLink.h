#pragma once

#include "Pacing.h"

#include <QString>
#include <QStringList>

#include <cstdint>

class USB_BURN_CTRL;

namespace qv {

class OperationHost;
class UsbDevice;

enum ConnectionMode : int32_t {
    UpdateMcuCode = 0,  // the programmer's boot loader runs
    NormalWork = 1,     // its application runs
    UpdateBoot = 2,
};

enum class FlashChip { Board, Target };

// The programmer as the operations see it: the transactions with their budgets, pauses and
// result codes, the connection handshake and its fields, the flash catalogue results, and the
// guard that keeps one operation at a time. Lives on the GUI thread; the worker does the I/O.
//
// Result codes of every transaction: 0 (or the CRC status byte 0..255 for the two checks) on a
// valid reply; -1 send budget exhausted; -2 reply budget exhausted; -3 wrong length or letter;
// -4 reply CRC mismatch; -5 unrecognised connection mode (connectProgrammer only).
class ProgrammerLink {
public:
    ProgrammerLink(USB_BURN_CTRL& worker, UsbDevice& device, OperationHost& host,
                   Pacing pacing = Pacing::standard());

    USB_BURN_CTRL& worker() { return worker_; }
    UsbDevice& device() { return device_; }
    OperationHost& host() { return host_; }
    const Pacing& pacing() const { return pacing_; }
    void setPacing(const Pacing& pacing) {
        pacing_ = pacing;
        applyPacingToWorker();
    }

    // --- Transactions ('J', 'L', 'O', 'F', 'G'); each builds its frame in txBuffer. ---
    int writeFirmwareChunk(const uint8_t* data, uint32_t offset, uint32_t length);
    int checkFirmwareCrc(uint32_t expectedCrc, uint32_t offset, uint32_t length);
    int finishFirmwareUpdate(uint8_t flag);
    int writeDataChunk(const uint8_t* data, uint32_t address, uint32_t length);
    int checkDataCrc(uint32_t expectedCrc, uint32_t address, uint32_t length);

    enum class Polling { Slow, Fast };
    // Hands txLength bytes already built in txBuffer to the worker and waits for one reply:
    // 0 when a reply arrived (rxDone 1), -1 when the send budget ran out, -2 when the reply
    // budget ran out. Budgets are numbers of flag checks; GUI events are processed between checks.
    // With Pacing::event() the caller sleeps until the worker raises the flag instead, and each
    // budget is the wall time its checks last at their nominal pause (see Pacing).
    int exchangeFrame(uint32_t txLength, int sendBudget, int replyBudget, Polling polling);

    // --- Open programmer and connection handshake ('K'). ---
    // What "Open programmer" came to; the window shows it through the host only, other front ends
    // read it here.
    enum class OpenOutcome {
        NoDevice,      // no path at that index: nothing done
        AlreadyOpen,   // the device is open already: said so, nothing sent
        Busy,          // another operation runs: nothing done
        OpenFailed,    // the device would not open ("Open fail")
        NotConnected,  // opened, but the handshake failed
        Connected,
    };
    // The body of "Open programmer": opens devicePaths[index], starts the worker, connects.
    OpenOutcome openProgrammer(const QStringList& devicePaths, int index);
    int connectProgrammer();

    // --- Flash catalogue (Flash.ini in the current directory), one lookup per chip. ---
    // Reads the file on every call, fills the chip's size and name fields and its three widgets.
    // Returns 1 when found, 0 otherwise.
    int lookupFlash(FlashChip chip, uint32_t id);
    // The catalogue file; empty (the window) means Flash.ini in the current directory.
    QString flashCataloguePath;

    // --- One operation at a time. ---
    // An operation that talks to the programmer holds an OperationGuard for its whole run; a
    // second one started from inside the first one's event pumping finds the guard taken and
    // does nothing.
    bool operationRunning() const { return operationRunning_; }

    // --- Fields shared by the operations (set by the handshake and the catalogue). ---
    int32_t connectionMode = 0;
    uint32_t upbootEnabled = 0;
    uint32_t exitRequested = 0;
    uint32_t bootVersion = 0;
    uint32_t appVersion = 0;
    uint32_t boardMcu = 0;
    uint32_t boardId = 0;
    uint32_t boardFlashId = 0;
    int32_t boardFlashSize = 0;
    QString boardFlashName;
    uint32_t targetFlashId = 0;
    int32_t targetFlashSize = 0;
    QString targetFlashName;
    // Whether the catalogue listed the target chip at its last lookup (its size and name are
    // those of the record then, 0 and empty otherwise).
    bool targetFlashKnown = false;

private:
    friend class OperationGuard;
    void applyPacingToWorker();
    int exchangeFrameEvent(uint32_t txLength, int sendBudget, int replyBudget, Polling polling);
    int crcCheck(uint8_t letter, int replyBudget, uint32_t expectedCrc, uint32_t start, uint32_t length);
    USB_BURN_CTRL& worker_;
    UsbDevice& device_;
    OperationHost& host_;
    Pacing pacing_;
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
