#include "LibusbContext.h"

#include <libusb.h>

namespace qv {

libusb_context* LibusbContext::get() {
    // Initialised once, thread-safely; kept for the life of the process.
    static libusb_context* const context = [] {
        libusb_context* made = nullptr;
        return libusb_init(&made) == 0 ? made : nullptr;
    }();
    return context;
}

}  // namespace qv
