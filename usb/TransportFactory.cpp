#include "DeviceSearch.h"

namespace qv {

std::unique_ptr<UsbTransport> makeTransportFor(const std::string& path) {
    if (path.rfind(kVirtualPathPrefix, 0) == 0) return makeVirtualLinkTransport();
    return makeUsbTransport();
}

}  // namespace qv
