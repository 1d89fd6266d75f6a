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
