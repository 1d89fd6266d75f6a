#pragma once

// The WinUSB backend's view of the system (Windows only): every WinUSB, device set-up and file
// call it makes goes through this table. The real functions by default; a test gives scripted
// stand-ins and drives the backend's own logic (pipe search, failure paths, stopping a read,
// the device list) without a programmer.
// Events and waits (CreateEventW, WaitForMultipleObjects) are the system's own, also in a test.
#include <windows.h>

#include <setupapi.h>
#include <winusb.h>

#include <memory>
#include <string>
#include <vector>

#include "UsbTransport.h"

namespace qv {

struct WinUsbApi {
    decltype(&CreateFileW) createFile = &CreateFileW;
    decltype(&CloseHandle) closeHandle = &CloseHandle;
    decltype(&WinUsb_Initialize) initialize = &WinUsb_Initialize;
    decltype(&WinUsb_Free) free = &WinUsb_Free;
    decltype(&WinUsb_QueryDeviceInformation) queryDeviceInformation = &WinUsb_QueryDeviceInformation;
    decltype(&WinUsb_QueryInterfaceSettings) queryInterfaceSettings = &WinUsb_QueryInterfaceSettings;
    decltype(&WinUsb_QueryPipe) queryPipe = &WinUsb_QueryPipe;
    decltype(&WinUsb_WritePipe) writePipe = &WinUsb_WritePipe;
    decltype(&WinUsb_ReadPipe) readPipe = &WinUsb_ReadPipe;
    decltype(&WinUsb_AbortPipe) abortPipe = &WinUsb_AbortPipe;
    decltype(&WinUsb_GetOverlappedResult) getOverlappedResult = &WinUsb_GetOverlappedResult;

    decltype(&SetupDiGetClassDevsW) getClassDevs = &SetupDiGetClassDevsW;
    decltype(&SetupDiEnumDeviceInfo) enumDeviceInfo = &SetupDiEnumDeviceInfo;
    decltype(&SetupDiGetDeviceRegistryPropertyW) getDeviceRegistryProperty =
        &SetupDiGetDeviceRegistryPropertyW;
    decltype(&SetupDiEnumDeviceInterfaces) enumDeviceInterfaces = &SetupDiEnumDeviceInterfaces;
    decltype(&SetupDiGetDeviceInterfaceDetailW) getDeviceInterfaceDetail = &SetupDiGetDeviceInterfaceDetailW;
    decltype(&SetupDiDestroyDeviceInfoList) destroyDeviceInfoList = &SetupDiDestroyDeviceInfoList;
};

// makeUsbTransport() and findRealProgrammers() with the real table.
std::unique_ptr<UsbTransport> makeWinUsbTransport(const WinUsbApi& api);
std::vector<std::string> findWinUsbProgrammers(const WinUsbApi& api);

}  // namespace qv
