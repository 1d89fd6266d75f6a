#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The virtual programmer: a stand-in for the USB programmer box that answers every request with
// exactly one reply, as the real box does, over the virtual programmer link (a SOCK_SEQPACKET
// socket "<name>.sock" in the virtual programmer directory).
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
};

struct Options {
    std::string name = "vprog";   // socket file name without ".sock"
    std::string directory;        // empty: the standard virtual programmer directory
    uint8_t modeLetter = ';';     // ';' normal work, '[' boot loader (update mcu code), '+' update boot
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
    bool trace = false;             // hexadecimal trace of every request and reply on stderr
    std::string dumpCodePath;       // when set, the code flash is saved there at exit
    std::string dumpSpiPath;        // when set, the SPI flash is saved there at exit
    std::string dumpFirmwarePath;   // when set, the firmware area is saved there at exit
};

// The standard directory: $XDG_RUNTIME_DIR/qv310-isp when set and not empty, else
// /tmp/qv310-isp-<uid>.
std::string defaultDirectory();

// The pure device model: one request in, at most one reply out. No I/O, no threads.
class DeviceModel {
public:
    static constexpr uint32_t kCodeFlashSize = 0x80000;
    static constexpr uint32_t kFirmwareAreaSize = 256 * 1024;

    explicit DeviceModel(const Options& options);

    enum class Outcome { Reply, NoReply, Unplug, Restart };
    struct Response {
        Outcome outcome = Outcome::Reply;
        std::vector<uint8_t> reply;
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

private:
    Options options_;
    std::vector<uint8_t> code_;
    std::vector<uint8_t> spi_;
    std::vector<uint8_t> firmware_;
    uint32_t requests_ = 0;
    std::vector<std::vector<uint8_t>> log_;
};

// A virtual programmer served over the link, on a thread of its own.
class VirtualProgrammer {
public:
    explicit VirtualProgrammer(Options options);
    ~VirtualProgrammer();  // unplugs
    VirtualProgrammer(const VirtualProgrammer&) = delete;
    VirtualProgrammer& operator=(const VirtualProgrammer&) = delete;

    // Plugs in: creates the directory (0700) and the listening socket. False on failure.
    bool plug();
    // Unplugs: closes any connection and removes the socket file.
    void unplug();
    bool plugged() const;

    // "virtual:" followed by the socket's absolute path.
    std::string devicePath() const;
    std::string socketPath() const;

    // Runs fn with the model under the server's lock (memory checks, option changes, faults).
    void withModel(const std::function<void(DeviceModel&)>& fn);

    // Blocks until the programmer is plugged in again after a restart (or the timeout passes).
    bool waitPlugged(int timeoutMs);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vprog
