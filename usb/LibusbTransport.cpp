// The programmer through libusb-1.0 (Linux and macOS).
//
// Device paths are "usb:<bus>-<port>.<port>...", the chain of hub ports from the root: stable for
// as long as the device stays plugged in, and they tell the user which socket it is in.
// Transfers run as short internal time-outs retried until they complete, fail, or the transport
// is closed (or the caller abandons them); the time-outs are invisible above this file.
#include "DeviceSearch.h"
#include "LibusbContext.h"

#include <libusb.h>

#include <atomic>
#include <string>
#include <vector>

namespace qv {

namespace {

constexpr unsigned kSliceMs = 100;

std::string portPathOf(libusb_device* device) {
    uint8_t ports[16];
    const int depth = libusb_get_port_numbers(device, ports, int(sizeof(ports)));
    std::string path = "usb:" + std::to_string(libusb_get_bus_number(device));
    for (int i = 0; i < depth; ++i) {
        path += (i == 0 ? '-' : '.') + std::to_string(ports[i]);
    }
    return path;
}

bool isProgrammer(libusb_device* device) {
    libusb_device_descriptor descriptor{};
    return libusb_get_device_descriptor(device, &descriptor) == 0 &&
           descriptor.idVendor == kProgrammerVendorId && descriptor.idProduct == kProgrammerProductId;
}

class LibusbTransport : public UsbTransport {
public:
    ~LibusbTransport() override {
        if (handle_) {
            libusb_release_interface(handle_, 0);
            libusb_close(handle_);
        }
    }

    bool open(const std::string& path) override {
        libusb_context* context = LibusbContext::get();
        if (!context) return false;
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(context, &list);
        libusb_device* match = nullptr;
        for (ssize_t i = 0; i < count; ++i) {
            if (isProgrammer(list[i]) && portPathOf(list[i]) == path) {
                match = list[i];
                break;
            }
        }
        bool opened = match && libusb_open(match, &handle_) == 0;
        if (count >= 0) libusb_free_device_list(list, 1);
        if (!opened) {
            handle_ = nullptr;
            return false;
        }
        libusb_set_auto_detach_kernel_driver(handle_, 1);
        if (libusb_claim_interface(handle_, 0) != 0 || !findPipes(match)) {
            libusb_close(handle_);
            handle_ = nullptr;
            return false;
        }
        return true;
    }

    // Releasing the interface and the handle waits for the destructor, when no transfer runs.
    void close() override { closed_.store(true, std::memory_order_release); }

    // A programmer that NAKs every packet keeps a write going slice after slice; between slices
    // the write gives up when the transport was closed or the caller asked it to stop.
    int32_t write(const uint8_t* buffer, uint32_t length, const std::atomic<uint8_t>* abandon) override {
        if (!handle_)
            return -1;
        uint32_t done = 0;
        do {
            if (closed_.load(std::memory_order_acquire))
                return -1;
            int transferred = 0;
            const int rc = libusb_bulk_transfer(handle_, outPipe_, const_cast<uint8_t*>(buffer) + done,
                                                int(length - done), &transferred, kSliceMs);
            done += uint32_t(transferred);
            if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT)
                return -1;
            if (done < length && abandon && abandon->load(std::memory_order_acquire) != 0)
                return kWriteAbandoned;
        } while (done < length);
        return 1;
    }

    int32_t read(uint8_t* buffer, const std::atomic<uint8_t>* abandon) override {
        if (!handle_) return -1;
        for (;;) {
            if (closed_.load(std::memory_order_acquire)) return -1;
            if (abandon && abandon->load(std::memory_order_acquire) != 0) return kReadAbandoned;
            int transferred = 0;
            const int rc =
                libusb_bulk_transfer(handle_, inPipe_, buffer, int(kReadSize), &transferred, kSliceMs);
            if (rc == 0) return transferred;
            if (rc == LIBUSB_ERROR_TIMEOUT) {
                if (transferred > 0) return transferred;
                continue;
            }
            return -1;
        }
    }

private:
    // The bulk endpoints of alternate setting 0 of interface 0. A later bulk endpoint of the same
    // direction replaces an earlier one; an interface without endpoints is accepted as it is.
    bool findPipes(libusb_device* device) {
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_active_config_descriptor(device, &config) != 0) return false;
        bool found = false;
        if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
            const libusb_interface_descriptor& setting = config->interface[0].altsetting[0];
            for (uint8_t i = 0; i < setting.bNumEndpoints; ++i) {
                const libusb_endpoint_descriptor& endpoint = setting.endpoint[i];
                if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
                if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
                    inPipe_ = endpoint.bEndpointAddress;
                } else {
                    outPipe_ = endpoint.bEndpointAddress;
                }
            }
            found = true;
        }
        libusb_free_config_descriptor(config);
        return found;
    }

    libusb_device_handle* handle_ = nullptr;
    uint8_t inPipe_ = 0x81;
    uint8_t outPipe_ = 0x01;
    std::atomic<bool> closed_{false};
};

}  // namespace

std::unique_ptr<UsbTransport> makeUsbTransport() { return std::make_unique<LibusbTransport>(); }

std::vector<std::string> findRealProgrammers() {
    std::vector<std::string> paths;
    libusb_context* context = LibusbContext::get();
    if (!context) return paths;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        if (isProgrammer(list[i])) paths.push_back(portPathOf(list[i]));
    }
    if (count >= 0) libusb_free_device_list(list, 1);
    return paths;
}

std::string usbPortPath(libusb_device* device) { return portPathOf(device); }

}  // namespace qv
