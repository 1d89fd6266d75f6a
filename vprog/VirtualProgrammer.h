#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The virtual programmer: a stand-in for the USB programmer box that answers every request with
// exactly one reply, as the real box does, over the virtual programmer link (a SOCK_SEQPACKET
// socket "<name>.sock" in the virtual programmer directory; on Windows a message-mode named pipe
// \\.\pipe\qv310-isp\<name>, VirtualProgrammerWin.cpp).
namespace vprog {

enum class Fault {
    None,
    NoReply,            // the request is taken but never answered
    WrongLetter,        // the reply carries a letter other than the expected one
    WrongLength,        // the reply is one byte longer than it should be
    BadCrc,             // one bit of the reply's CRC field is flipped
    CrcStatusMismatch,  // a 'G' or 'L' check answers status 5 (mismatch)
    TargetRunFailure,   // an 'A' target run answers run status 1
    Unplug,             // the programmer vanishes instead of answering
    Stall,              // the request is taken, and from then on no request is read: the link
                        // stays up while the requests pile up, until the tool closes it
};

// The USB link of the realistic timing model.
enum class UsbSpeed { Full, High };

// What a real board costs, from typical data-sheet figures (vprog/README.md gives the sources).
// Times in microseconds, rates in bytes per second. Every figure is a typical one, not a maximum.
struct RealisticTiming {
    // USB 2.0 bulk: the most payload a (micro)frame carries, and the wait for the (micro)frame
    // that carries a request and its reply (one per exchange).
    double usbBytesPerSecond = 53248000;  // high speed: 13 x 512 bytes per 125 us microframe
    uint32_t usbExchangeMicros = 125;
    // SPI NOR flash of the UI area (a typical 16-Mbit part).
    uint32_t spiSectorBytes = 4096;
    uint32_t spiSectorEraseMicros = 45000;
    uint32_t spiPageBytes = 256;
    uint32_t spiPageProgramMicros = 700;
    double spiBytesPerSecond = 50e6 / 8;  // read and write data at a 50 MHz single-line clock
    // The target's internal code flash (a typical Cortex-M4 part with 2 KiB pages), reached over
    // SWD, and the programmer's own firmware flash (same kind, reached directly).
    uint32_t codePageBytes = 2048;
    uint32_t codePageEraseMicros = 22000;
    uint32_t codeDoubleWordProgramMicros = 82;  // one 64-bit unit
    double swdBytesPerSecond = 10e6 / 46 * 4;   // 10 MHz SWCLK, ~46 clocks per 32-bit access
    // The programmer's CRC-32 over what it has read (table-driven, about 5 cycles per byte).
    double crcBytesPerSecond = 20e6;

    static RealisticTiming forUsb(UsbSpeed speed);
};

struct Options {
    std::string name = "vprog";  // socket file name without ".sock"
    std::string directory;       // empty: the standard virtual programmer directory
    uint8_t modeLetter = ';';    // ';' normal work, '[' boot loader (update mcu code), '+' update boot
    uint32_t appVersion = 0x190528;
    uint32_t bootVersion = 0x181201;
    uint32_t boardMcu = 0x19710310;
    uint32_t boardId = 0x00000001;
    uint32_t boardFlashId = 0x1C4016;
    uint32_t targetType = 0x19713100;  // QV310
    uint32_t targetFlashId = 0x1C4016;
    uint32_t spiFlashSize = 2 * 1024 * 1024;
    uint8_t targetRunStatus = 0;
    // Timing model; 0 means instant.
    double wireBytesPerSecond = 0;
    uint32_t flashProgramMicrosPer4K = 0;
    // When set, the realistic model replaces the two figures above: sector and page erases the
    // first time a write touches them, page programming, reads for the CRC checks, the USB link.
    bool realistic = false;
    RealisticTiming realisticTiming;
    // Fault injection: fault happens at the faultAtRequest-th request (1-based) counted from start.
    Fault fault = Fault::None;
    uint32_t faultAtRequest = 0;
    bool trace = false;            // hexadecimal trace of every request and reply on stderr
    std::string dumpCodePath;      // when set, the code flash is saved there at exit
    std::string dumpSpiPath;       // when set, the SPI flash is saved there at exit
    std::string dumpFirmwarePath;  // when set, the firmware area is saved there at exit
};

// The standard directory: $XDG_RUNTIME_DIR/qv310-isp when set and not empty, else
// /tmp/qv310-isp-<uid>. On Windows the pipe folder \\.\pipe\qv310-isp.
std::string defaultDirectory();

// The pure device model: one request in, at most one reply out. No I/O, no threads.
class DeviceModel {
  public:
    static constexpr uint32_t kCodeFlashSize = 0x80000;
    static constexpr uint32_t kFirmwareAreaSize = 256 * 1024;

    explicit DeviceModel(const Options& options);

    enum class Outcome { Reply, NoReply, Unplug, Restart, Stall };
    struct Response {
        Outcome outcome = Outcome::Reply;
        std::vector<uint8_t> reply;
        // How long the real box would take for this exchange (wire time of request and reply,
        // flash programming time of a write). The server waits this long before it answers.
        uint64_t delayMicros = 0;
    };
    // Handles one request; counts it for fault injection. Restart: the reply is to be sent, then
    // the programmer restarts (a finished firmware update).
    Response handle(const uint8_t* request, size_t length);

    std::vector<uint8_t>& codeFlash() { return code_; }
    std::vector<uint8_t>& spiFlash() { return spi_; }
    std::vector<uint8_t>& firmwareArea() { return firmware_; }
    const Options& options() const { return options_; }
    Options& mutableOptions() { return options_; }
    uint32_t requestCount() const { return requests_; }
    // Every request received, in order (for tests that compare frames on the wire).
    const std::vector<std::vector<uint8_t>>& requestLog() const { return log_; }

    // What the last target control requests asked for (empty until one arrived): the SWD speed
    // byte of any 'A' request, the run address and the power byte ('P' or 'U') of a target run.
    std::optional<uint8_t> lastSwdSpeed() const { return lastSpeed_; }
    std::optional<uint32_t> lastRunAddress() const { return lastRunAddress_; }
    std::optional<uint8_t> lastPowerByte() const { return lastPower_; }
    uint32_t targetRunCount() const { return targetRuns_; }
    // True once the injected fault has happened (it happens at most once). Setting another
    // fault or another request number through mutableOptions arms a new one.
    bool faultFired() const;

  private:
    // Erase units of one memory under the realistic model: erased (since this model started) or
    // not, and which bytes were programmed since their unit's last erase.
    struct EraseState {
        uint32_t unitBytes = 0;
        std::vector<uint8_t> erased;
        std::vector<bool> programmed;
        EraseState(size_t size, uint32_t unit);
        // Units a write of [offset, offset + n) has to erase first: the ones never erased, and the
        // ones where it would program a byte again. Marks the bytes programmed.
        uint32_t unitsToErase(size_t offset, size_t n);
    };
    uint64_t realisticDelay(const uint8_t* request, size_t length, size_t replyLength, bool carriedOut);
    std::vector<uint8_t> answer(const uint8_t* request, size_t length, bool& restart);
    std::vector<uint8_t> connectionReply() const;
    bool faultAppliesTo(const uint8_t* request, size_t length) const;

    Options options_;
    std::vector<uint8_t> code_;
    std::vector<uint8_t> spi_;
    std::vector<uint8_t> firmware_;
    uint32_t requests_ = 0;
    std::vector<std::vector<uint8_t>> log_;
    std::optional<uint8_t> lastSpeed_;
    std::optional<uint32_t> lastRunAddress_;
    std::optional<uint8_t> lastPower_;
    uint32_t targetRuns_ = 0;
    bool faultFired_ = false;
    Fault firedFault_ = Fault::None;  // the fault and request number that fired
    uint32_t firedAt_ = 0;
    EraseState codeErase_;
    EraseState spiErase_;
    EraseState firmwareErase_;
};

// A virtual programmer served over the link, on a thread of its own.
class VirtualProgrammer {
  public:
    // Starts the server thread and plugs in at once (check plugged(); plug() again is harmless).
    explicit VirtualProgrammer(Options options);
    ~VirtualProgrammer();  // unplugs, then saves the memories named in the options
    VirtualProgrammer(const VirtualProgrammer&) = delete;
    VirtualProgrammer& operator=(const VirtualProgrammer&) = delete;

    // Plugs in: creates the directory (0700) and the listening socket. False on failure, for
    // example when a live programmer of the same name already serves that socket. True at once
    // when already plugged. Do not call plug or unplug from inside withModel.
    bool plug();
    // Unplugs: closes any connection and removes the socket file. Returns once both are done.
    void unplug();
    bool plugged() const;

    // "virtual:" followed by the socket's absolute path.
    std::string devicePath() const;
    std::string socketPath() const;  // on Windows the pipe's path

    // Runs fn with the model under the server's lock (memory checks, option changes, faults).
    // Option changes that shape replies (versions, mode, faults) apply to the next request.
    void withModel(const std::function<void(DeviceModel&)>& fn);

    // Blocks until the programmer is plugged in again after a restart (or the timeout passes).
    bool waitPlugged(int timeoutMs);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vprog
