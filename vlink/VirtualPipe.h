#pragma once

// The virtual programmer link on Windows (Windows only): a named pipe in message mode,
// \\.\pipe\qv310-isp\NAME, one message per write and per read. Shared by the tool's transport
// (usb/) and the virtual programmer (vprog/), so both agree on the names; header-only so that
// neither needs the other.
//
// A virtual programmer is found in the pipe namespace. Where that namespace cannot be listed
// (Wine), a virtual programmer also leaves an empty note file named NAME in
// %LOCALAPPDATA%\qv310-isp\; the tool lists a note only while its pipe exists.
#include <windows.h>

#include <string>

namespace qv {

// The pipe namespace, and the folder of virtual programmers inside it.
constexpr const wchar_t* kPipeNamespace = L"\\\\.\\pipe\\";
constexpr const wchar_t* kVirtualPipeFolder = L"qv310-isp\\";

inline std::wstring wideFromUtf8(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring wide(size_t(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &wide[0], size);
    return wide;
}

inline std::string utf8FromWide(const std::wstring& wide) {
    if (wide.empty())
        return std::string();
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string text(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), &text[0], size, nullptr, nullptr);
    return text;
}

// Pipe names compare without regard to case, as Windows opens them.
inline bool startsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() &&
           CompareStringOrdinal(text.c_str(), int(prefix.size()), prefix.c_str(), int(prefix.size()), TRUE) ==
               CSTR_EQUAL;
}

// A virtual programmer's own name: one path component, no more than fits a pipe name.
inline bool isVirtualPipeName(const std::wstring& name) {
    return !name.empty() && name.size() <= 200 && name != L"." && name != L".." &&
           name.find_first_of(L"\\/") == std::wstring::npos && name.find(L'\0') == std::wstring::npos;
}

// The NAME of a pipe namespace entry ("qv310-isp\NAME", as the namespace lists it) when it is a
// virtual programmer, else empty: every other pipe of the system stays out of the device list.
inline std::wstring virtualPipeNameOf(const std::wstring& entry) {
    const std::wstring folder = kVirtualPipeFolder;
    if (!startsWithNoCase(entry, folder))
        return std::wstring();
    const std::wstring name = entry.substr(folder.size());
    return isVirtualPipeName(name) ? name : std::wstring();
}

// \\.\pipe\qv310-isp\NAME
inline std::wstring virtualPipePath(const std::wstring& name) {
    return std::wstring(kPipeNamespace) + kVirtualPipeFolder + name;
}

// %LOCALAPPDATA%\qv310-isp (the temporary folder when LOCALAPPDATA is not set).
inline std::wstring virtualPipeNoteDirectory() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH);
    std::wstring base;
    if (length > 0 && length < MAX_PATH) {
        base.assign(buffer, length);
    } else {
        const DWORD tempLength = GetTempPathW(MAX_PATH, buffer);
        if (tempLength == 0 || tempLength >= MAX_PATH)
            return std::wstring();
        base.assign(buffer, tempLength);
    }
    if (!base.empty() && base.back() != L'\\')
        base += L'\\';
    return base + L"qv310-isp";
}

// True while a pipe of that path exists, whether a client is connected to it or not. Connects
// to nothing, so a virtual programmer serving a tool is not disturbed.
inline bool pipeExists(const std::wstring& path) {
    if (WaitNamedPipeW(path.c_str(), 1))
        return true;
    return GetLastError() == ERROR_SEM_TIMEOUT;
}

}  // namespace qv
