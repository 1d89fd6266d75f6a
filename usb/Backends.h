#pragma once

#include "UsbTransport.h"

#include <memory>
#include <string>
#include <vector>

namespace qv {

// How a backend learns that one of its programmers came or went.
enum class HotplugSource {
    WindowNotifications,  // the window's native device notifications (WinUSB: WM_DEVICECHANGE)
    LibusbCallback,       // libusb's hot-plug callback, on an event thread of its own
    DirectoryWatch,       // a watch on the virtual programmer directory (its sockets)
    NamespacePoll,        // a look at the pipe namespace once a second: pipes cannot be watched
};

// One way of reaching programmers: its name, the start of every device path it lists, its list
// of the programmers present, a transport for one of them, and how it follows hot-plug.
struct Backend {
    const char* name;        // "winusb", "libusb" or "virtual"
    const char* pathPrefix;  // "\\?\" (Windows device interfaces), "usb:" or "virtual:"
    std::vector<std::string> (*list)();                // paths, UTF-8, in the backend's own order
    std::unique_ptr<UsbTransport> (*makeTransport)();  // closed; opened with one of its paths
    HotplugSource hotplug;
};

// This platform's backends in the order their programmers are listed: the USB backend first
// (WinUSB on Windows, libusb on Linux and macOS), then the virtual programmer link.
const std::vector<Backend>& backends();

// The backend whose prefix starts path. A path that no backend claims goes to the platform's USB
// backend, which refuses to open what it does not know.
const Backend& backendFor(const std::string& path);

// Every programmer present: each backend's list, in the table's order.
std::vector<std::string> findProgrammers();

}  // namespace qv
