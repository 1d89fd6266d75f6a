#include "UsbDevice.h"

#include "Backends.h"

namespace qv {

UsbDevice::UsbDevice() = default;

UsbDevice::~UsbDevice() { close(); }

bool UsbDevice::open(const QString& path) {
    std::unique_ptr<UsbTransport> transport = makeTransportFor(path.toStdString());
    if (!transport || !transport->open(path.toStdString())) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    transport_ = std::move(transport);
    devicePath_ = path;
    open_.store(true, std::memory_order_release);
    return true;
}

bool UsbDevice::isOpen() const { return open_.load(std::memory_order_acquire); }

bool UsbDevice::close() {
    std::shared_ptr<UsbTransport> released;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.store(false, std::memory_order_release);
        released.swap(transport_);
    }
    // Only the thread that took the transport out releases it, so each handle is released once.
    // A transfer still running on the other thread holds its own reference and fails promptly.
    if (released) released->close();
    return true;
}

int32_t UsbDevice::write(const uint8_t* buffer, uint32_t length, const std::atomic<uint8_t>* abandon) {
    std::shared_ptr<UsbTransport> transport;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        transport = transport_;
    }
    if (!transport) return -1;
    const int32_t result = transport->write(buffer, length, abandon);
    if (result == kWriteAbandoned)
        return result;
    if (result == 1)
        return 1;
    close();
    return -1;
}

int32_t UsbDevice::read(uint8_t* buffer, const std::atomic<uint8_t>* abandon) {
    std::shared_ptr<UsbTransport> transport;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        transport = transport_;
    }
    if (!transport) return -1;
    const int32_t result = transport->read(buffer, abandon);
    if (result == kReadAbandoned) return result;
    if (result >= 0) return result;
    close();
    return -1;
}

QStringList UsbDevice::findDevices() const {
    QStringList paths;
    for (const std::string& path : findProgrammers()) paths << QString::fromStdString(path);
    return paths;
}

QString UsbDevice::devicePath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return devicePath_;
}

}  // namespace qv
