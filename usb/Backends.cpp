#include "Backends.h"

#include "DeviceSearch.h"

namespace qv {

const std::vector<Backend>& backends() {
    static const std::vector<Backend> table = {
#ifdef _WIN32
        {"winusb", "\\\\?\\", &findRealProgrammers, &makeUsbTransport, HotplugSource::WindowNotifications},
        {"virtual", kVirtualPathPrefix, &findVirtualProgrammers, &makeVirtualLinkTransport,
         HotplugSource::NamespacePoll},
#else
        {"libusb", "usb:", &findRealProgrammers, &makeUsbTransport, HotplugSource::LibusbCallback},
        {"virtual", kVirtualPathPrefix, &findVirtualProgrammers, &makeVirtualLinkTransport,
         HotplugSource::DirectoryWatch},
#endif
    };
    return table;
}

const Backend& backendFor(const std::string& path) {
    for (const Backend& backend : backends()) {
        if (path.rfind(backend.pathPrefix, 0) == 0)
            return backend;
    }
    return backends().front();
}

std::vector<std::string> findProgrammers() {
    std::vector<std::string> paths;
    for (const Backend& backend : backends()) {
        for (std::string& path : backend.list())
            paths.push_back(std::move(path));
    }
    return paths;
}

std::unique_ptr<UsbTransport> makeTransportFor(const std::string& path) { return backendFor(path).makeTransport(); }

}  // namespace qv
