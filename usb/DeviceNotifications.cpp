#include "DeviceNotifications.h"

#ifdef _WIN32
#include "WinUsbGuid.h"

#include <windows.h>
#include <dbt.h>
#endif

namespace qv {

#ifdef _WIN32

void registerDeviceNotifications(void* nativeWindowHandle) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = 32;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = kProgrammerInterfaceClass;
    filter.dbcc_name[0] = 0;
    RegisterDeviceNotificationW(static_cast<HWND>(nativeWindowHandle), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

DeviceChange decodeDeviceChange(void* nativeMessage) {
    DeviceChange change;
    const MSG* message = static_cast<const MSG*>(nativeMessage);
    if (!message || message->message != WM_DEVICECHANGE) return change;
    const WPARAM event = message->wParam;
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return change;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(message->lParam);
    if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return change;
    const auto* deviceInterface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
    change.name = QString::fromWCharArray(deviceInterface->dbcc_name).toUpper();
    change.kind = event == DBT_DEVICEARRIVAL ? DeviceChange::Arrival : DeviceChange::Removal;
    return change;
}

#else

void registerDeviceNotifications(void*) {}

DeviceChange decodeDeviceChange(void*) { return DeviceChange{}; }

#endif

}  // namespace qv
