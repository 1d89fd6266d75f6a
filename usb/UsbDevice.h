#pragma once

#include "UsbTransport.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace qv {

// One programmer as an open device. There is one for each programmer in use: the window has one,
// and every programmer session of the engine has its own, so several are open and transfer at
// once. They share nothing but the process's libusb context.
//
// Threads: open/isOpen/findDevices run on the thread that drives the operations (the window's GUI
// thread, or the thread that owns a programmer session); write/read on the device's own transfer
// worker; close on any thread (the worker after a failed transfer, the owner when the open
// programmer is unplugged, a thread that stops a run as a pulled cable would). close is safe when
// several threads call it at once: each handle is released once.
class UsbDevice {
public:
    static constexpr int32_t kReadAbandoned = qv::kReadAbandoned;
    static constexpr int32_t kWriteAbandoned = qv::kWriteAbandoned;
    static constexpr uint32_t kReadSize = qv::kReadSize;

    UsbDevice();
    ~UsbDevice();
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    // Opens the device at path (a path from findDevices). Must be called only while closed.
    // Blocks until done; false leaves the device closed.
    bool open(const QString& path);
    // True exactly while the device is open (both handles valid).
    bool isOpen() const;
    // Releases the device; always true. Harmless on a closed device.
    bool close();
    // One bulk OUT transfer. 1 on success; on failure the device is closed and -1 returned.
    // On a closed device returns -1 at once. A programmer that stops taking data holds the write
    // until it takes it again or goes away; when abandon is given and becomes non-zero meanwhile,
    // the write gives up and returns kWriteAbandoned with the device still open. This is how the
    // worker stops at exit.
    int32_t write(const uint8_t* buffer, uint32_t length, const std::atomic<uint8_t>* abandon = nullptr);
    // One bulk IN transfer into buffer (room for at least 512 bytes). Waits, without time-out,
    // until the programmer sends something: returns the byte count (0..512). On failure the
    // device is closed and -1 returned. When abandon is given and becomes non-zero while the
    // read waits, the read gives up and returns kReadAbandoned with the device still open;
    // this is how the worker stops at exit.
    int32_t read(uint8_t* buffer, const std::atomic<uint8_t>* abandon = nullptr);
    // Every attached programmer: real ones first, then virtual ones ("virtual:" + socket path).
    // Uses none of the device's own state.
    QStringList findDevices() const;
    // The path of the device last opened successfully.
    QString devicePath() const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<UsbTransport> transport_;
    std::atomic<bool> open_{false};
    QString devicePath_;
};

}  // namespace qv
