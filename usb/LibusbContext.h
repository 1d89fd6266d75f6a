#pragma once

#include <string>

struct libusb_context;
struct libusb_device;

namespace qv {

// The process's one libusb context, created on first use; null when libusb cannot start
// (no USB file system, as in some containers): there are then no real programmers.
class LibusbContext {
public:
    static libusb_context* get();
};

// "usb:<bus>-<port>.<port>..." of a device.
std::string usbPortPath(libusb_device* device);

}  // namespace qv
