#pragma once

#include <windows.h>

namespace qv {

// The device interface class under which the programmer's WinUSB interface is registered.
// {88BAE032-5A81-49F0-BC3D-A4FF138216D6}
constexpr GUID kProgrammerInterfaceClass = {
    0x88BAE032, 0x5A81, 0x49F0, {0xBC, 0x3D, 0xA4, 0xFF, 0x13, 0x82, 0x16, 0xD6}};

// A device path belongs to a programmer when it contains this text (compared case-sensitively).
constexpr const wchar_t* kHardwareIdFilter = L"vid_4d51&pid_7c2e";

}  // namespace qv
