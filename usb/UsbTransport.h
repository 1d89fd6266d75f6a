#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// The device seam's lowest layer, free of Qt so that it also builds where only a C++ compiler and
// the platform's USB interface are at hand (the Windows diagnostic program).
namespace qv {

// A read that gave up because the caller asked it to stop, with the device still open.
constexpr int32_t kReadAbandoned = -2;
// A write that gave up because the caller asked it to stop, with the device still open. The
// programmer may have taken part of the frame; the worker gives up only when it is being stopped.
constexpr int32_t kWriteAbandoned = -2;
// The most a single read delivers.
constexpr uint32_t kReadSize = 512;

// One way of reaching a programmer: WinUSB, libusb or the virtual programmer link.
// A transport is created closed; UsbDevice picks one by the device path.
class UsbTransport {
public:
    virtual ~UsbTransport() = default;
    // Blocks until the device is open or the attempt failed. True only when both pipes are usable.
    // path is UTF-8.
    virtual bool open(const std::string& path) = 0;
    // Ends the connection: a transfer waiting on another thread fails promptly, later ones at once.
    // Called at most once. Handles are released by the destructor, when no transfer uses them.
    virtual void close() = 0;
    // One transfer of exactly length bytes. Returns 1 when it succeeded, -1 on failure, or
    // kWriteAbandoned when *abandon became non-zero while the programmer was not taking the data.
    // A write that completes counts as done even when the request to stop came meanwhile.
    virtual int32_t write(const uint8_t* buffer, uint32_t length, const std::atomic<uint8_t>* abandon) = 0;
    // One transfer of at most kReadSize bytes into buffer. Returns the byte count, -1 on failure,
    // or kReadAbandoned when *abandon became non-zero while nothing had arrived yet.
    virtual int32_t read(uint8_t* buffer, const std::atomic<uint8_t>* abandon) = 0;
};

// Creates the transport for a device path: "virtual:" paths get the virtual programmer link,
// everything else the platform's USB backend.
std::unique_ptr<UsbTransport> makeTransportFor(const std::string& path);

}  // namespace qv
