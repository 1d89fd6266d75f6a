#pragma once

#include "UsbTransport.h"

#include <memory>
#include <string>
#include <vector>

namespace qv {

// A programmer on the USB bus: vendor 0x4d51, product 0x7c2e.
constexpr uint16_t kProgrammerVendorId = 0x4d51;
constexpr uint16_t kProgrammerProductId = 0x7c2e;

// Device paths of virtual programmers start with this, followed by the socket's absolute path
// (on Windows: the pipe's path, \\.\pipe\qv310-isp\NAME).
constexpr const char* kVirtualPathPrefix = "virtual:";

// $XDG_RUNTIME_DIR/qv310-isp when XDG_RUNTIME_DIR is set and not empty, else /tmp/qv310-isp-<uid>.
// The tool never creates it; a virtual programmer does. On Windows: the pipe folder
// \\.\pipe\qv310-isp (vlink/VirtualDirectory.h).
std::string virtualProgrammerDirectory();

// Paths are UTF-8.
// Real programmers in bus order: libusb on Linux and macOS, the device set-up API on Windows.
std::vector<std::string> findRealProgrammers();
// Every "*.sock" of the virtual programmer directory, by name, as "virtual:" + absolute path.
// On Windows every pipe \\.\pipe\qv310-isp\NAME, by name, as "virtual:" + pipe path.
std::vector<std::string> findVirtualProgrammers();

std::unique_ptr<UsbTransport> makeUsbTransport();          // the platform's USB backend
std::unique_ptr<UsbTransport> makeVirtualLinkTransport();  // the virtual programmer link

}  // namespace qv
