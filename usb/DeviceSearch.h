#pragma once

#include "UsbDevice.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace qv {

// A programmer on the USB bus: vendor 0x4d51, product 0x7c2e.
constexpr uint16_t kProgrammerVendorId = 0x4d51;
constexpr uint16_t kProgrammerProductId = 0x7c2e;

// Device paths of virtual programmers start with this, followed by the socket's absolute path.
constexpr const char* kVirtualPathPrefix = "virtual:";

// $XDG_RUNTIME_DIR/qv310-isp when XDG_RUNTIME_DIR is set and not empty, else /tmp/qv310-isp-<uid>.
// The tool never creates it; a virtual programmer does.
QString virtualProgrammerDirectory();

// Real programmers in bus order: libusb on Linux and macOS, the device set-up API on Windows.
QStringList findRealProgrammers();
// Every "*.sock" of the virtual programmer directory, by name, as "virtual:" + absolute path.
QStringList findVirtualProgrammers();

std::unique_ptr<UsbTransport> makeUsbTransport();          // the platform's USB backend
std::unique_ptr<UsbTransport> makeVirtualLinkTransport();  // the virtual programmer link

}  // namespace qv
