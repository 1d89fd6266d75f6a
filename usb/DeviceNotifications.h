#pragma once

#include <QString>

namespace qv {

// A device-interface notification of the programmer's class, as Windows delivers it to the window.
struct DeviceChange {
    enum Kind { None, Arrival, Removal };
    Kind kind = None;
    QString name;  // the interface path, upper-cased
};

// Registers the window for arrivals and removals of the programmer's device interface class.
// The notification handle is not kept. Does nothing outside Windows.
void registerDeviceNotifications(void* nativeWindowHandle);

// Decodes a native message: a WM_DEVICECHANGE arrival or removal of a device interface gives its
// kind and upper-cased name; everything else (and every message outside Windows) gives None.
DeviceChange decodeDeviceChange(void* nativeMessage);

}  // namespace qv
