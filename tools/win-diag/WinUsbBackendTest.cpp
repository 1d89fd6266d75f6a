// The WinUSB backend against scripted stand-ins for WinUSB, the device set-up API and the file
// calls (usb/WinUsbApi.h): opening and its failure paths, the pipe search, transfers, stopping a
// write or a read, and the device list. Windows only; the Windows logic test runs it under Wine.
#include "TestCheck.h"

#include "usb/DeviceSearch.h"
#include "usb/WinUsbApi.h"
#include "usb/WinUsbGuid.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qv {

namespace {

using testcheck::check;
using testcheck::checkEqual;

HANDLE const kFileHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1000));
void* const kWinUsbHandle = reinterpret_cast<void*>(static_cast<uintptr_t>(0x2000));
HDEVINFO const kInfoSet = reinterpret_cast<HDEVINFO>(static_cast<uintptr_t>(0x3000));

struct FakePipe {
    bool queryOk;
    USBD_PIPE_TYPE type;
    UCHAR id;
};

// How a stand-in transfer goes. Every transfer must come with an OVERLAPPED structure.
enum class Mode {
    Done,          // completes at once (readData for a read, every byte for a write)
    Fail,          // fails at once
    Pending,       // pending, then completes 50 ms later from another thread
    WaitForAbort,  // pending until its pipe is aborted (3 s at most), then ends aborted
    DoneAtAbort,   // pending until its pipe is aborted; by then it had completed after all
};

struct FakeDevice {
    std::wstring friendlyName;  // empty: the property is missing
    std::wstring description;   // empty: the property is missing
    bool interfaceOk = true;
    bool detailOk = true;
    std::wstring path;
};

// What the stand-ins do, and what they were asked to do. One test at a time.
struct Fake {
    bool createOk = true;
    bool initializeOk = true;
    bool speedOk = true;
    bool settingsOk = true;
    std::vector<FakePipe> pipes;
    Mode writeMode = Mode::Done;
    Mode readMode = Mode::Done;
    std::vector<uint8_t> readData;

    // Transfers that have not ended, and how each ended: what GetOverlappedResult reports.
    struct Pending {
        LPOVERLAPPED overlapped;
        UCHAR pipe;
        Mode mode;
        ULONG length;
    };
    struct Outcome {
        BOOL ok;
        DWORD error;
        ULONG bytes;
    };
    std::vector<Pending> pending;
    std::vector<std::pair<LPOVERLAPPED, Outcome>> outcomes;
    std::vector<std::thread> completers;
    ~Fake() {
        for (auto& t : completers)
            t.join();
    }

    std::wstring openedPath;
    std::mutex mutex;
    std::vector<std::string> calls;

    bool classDevsOk = true;
    std::vector<FakeDevice> devices;
    bool detailSizeRight = true;
    bool classRight = true;

    void record(const std::string& call) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(call);
    }
    std::vector<std::string> recorded() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    size_t count(const std::string& call) {
        size_t n = 0;
        for (const auto& c : recorded())
            n += c == call;
        return n;
    }
};

Fake* fake = nullptr;

std::string hex2(UCHAR value) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string{digits[value >> 4], digits[value & 0x0F]};
}

HANDLE WINAPI fakeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                             DWORD disposition, DWORD flags, HANDLE) {
    fake->openedPath = path;
    fake->record("CreateFile");
    const bool asExpected = access == (GENERIC_READ | GENERIC_WRITE) &&
                            share == (FILE_SHARE_READ | FILE_SHARE_WRITE) && disposition == OPEN_EXISTING &&
                            flags == (FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
    if (!asExpected)
        fake->record("CreateFile:unexpected arguments");
    return fake->createOk ? kFileHandle : INVALID_HANDLE_VALUE;
}

BOOL WINAPI fakeCloseHandle(HANDLE handle) {
    fake->record(handle == kFileHandle ? "CloseHandle:file" : "CloseHandle:other");
    return TRUE;
}

BOOL WINAPI fakeInitialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
    fake->record(file == kFileHandle ? "Initialize" : "Initialize:wrong file");
    if (!fake->initializeOk)
        return FALSE;
    *handle = kWinUsbHandle;
    return TRUE;
}

BOOL WINAPI fakeFree(WINUSB_INTERFACE_HANDLE handle) {
    fake->record(handle == kWinUsbHandle ? "Free" : "Free:other");
    return TRUE;
}

BOOL WINAPI fakeQueryDeviceInformation(WINUSB_INTERFACE_HANDLE, ULONG type, PULONG length, PVOID buffer) {
    fake->record("QueryDeviceInformation");
    if (type != DEVICE_SPEED || !length || *length != 1)
        fake->record("QueryDeviceInformation:unexpected");
    if (!fake->speedOk)
        return FALSE;
    *static_cast<UCHAR*>(buffer) = 3;  // high speed
    return TRUE;
}

BOOL WINAPI fakeQueryInterfaceSettings(WINUSB_INTERFACE_HANDLE, UCHAR alternate,
                                       PUSB_INTERFACE_DESCRIPTOR descriptor) {
    fake->record("QueryInterfaceSettings:" + std::to_string(alternate));
    if (!fake->settingsOk)
        return FALSE;
    std::memset(descriptor, 0, sizeof *descriptor);
    descriptor->bNumEndpoints = UCHAR(fake->pipes.size());
    return TRUE;
}

BOOL WINAPI fakeQueryPipe(WINUSB_INTERFACE_HANDLE, UCHAR alternate, UCHAR index,
                          PWINUSB_PIPE_INFORMATION info) {
    fake->record("QueryPipe:" + std::to_string(alternate) + ":" + std::to_string(index));
    if (index >= fake->pipes.size() || !fake->pipes[index].queryOk)
        return FALSE;
    info->PipeType = fake->pipes[index].type;
    info->PipeId = fake->pipes[index].id;
    info->MaximumPacketSize = 512;
    info->Interval = 0;
    return TRUE;
}

// Ends a transfer: its outcome is kept for GetOverlappedResult and its event is set.
void finish(LPOVERLAPPED overlapped, BOOL ok, DWORD error, ULONG bytes) {
    {
        std::lock_guard<std::mutex> lock(fake->mutex);
        fake->outcomes.push_back({overlapped, {ok, error, bytes}});
    }
    SetEvent(overlapped->hEvent);
}

BOOL startTransfer(UCHAR pipe, Mode mode, ULONG length, ULONG doneBytes, PULONG transferred,
                   LPOVERLAPPED overlapped) {
    if (!overlapped) {
        fake->record("no overlapped");
        return FALSE;
    }
    switch (mode) {
        case Mode::Done:
            *transferred = doneBytes;
            finish(overlapped, TRUE, 0, doneBytes);
            return TRUE;
        case Mode::Fail:
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        case Mode::Pending: {
            std::lock_guard<std::mutex> lock(fake->mutex);
            fake->completers.emplace_back([overlapped, doneBytes] {
                Sleep(50);
                finish(overlapped, TRUE, 0, doneBytes);
            });
            break;
        }
        case Mode::WaitForAbort:
        case Mode::DoneAtAbort: {
            std::lock_guard<std::mutex> lock(fake->mutex);
            fake->pending.push_back({overlapped, pipe, mode, doneBytes});
            break;
        }
    }
    (void)length;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL WINAPI fakeWritePipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR, ULONG length, PULONG transferred,
                          LPOVERLAPPED overlapped) {
    fake->record("Write:" + hex2(pipe) + ":" + std::to_string(length));
    return startTransfer(pipe, fake->writeMode, length, length, transferred, overlapped);
}

BOOL WINAPI fakeReadPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG transferred,
                         LPOVERLAPPED overlapped) {
    fake->record("Read:" + hex2(pipe) + ":" + std::to_string(length));
    const ULONG n = ULONG(fake->readData.size());
    if (fake->readMode != Mode::Fail)
        std::memcpy(buffer, fake->readData.data(), n);
    return startTransfer(pipe, fake->readMode, length, n, transferred, overlapped);
}

BOOL WINAPI fakeAbortPipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe) {
    fake->record("Abort:" + hex2(pipe));
    std::vector<Fake::Pending> ended;
    {
        std::lock_guard<std::mutex> lock(fake->mutex);
        for (auto it = fake->pending.begin(); it != fake->pending.end();) {
            if (it->pipe == pipe) {
                ended.push_back(*it);
                it = fake->pending.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& p : ended) {
        if (p.mode == Mode::DoneAtAbort) {
            finish(p.overlapped, TRUE, 0, p.length);
        } else {
            finish(p.overlapped, FALSE, ERROR_OPERATION_ABORTED, 0);
        }
    }
    return TRUE;
}

BOOL WINAPI fakeGetOverlappedResult(WINUSB_INTERFACE_HANDLE, LPOVERLAPPED overlapped, LPDWORD bytes,
                                    BOOL wait) {
    if (!wait)
        fake->record("GetOverlappedResult:no wait");
    if (WaitForSingleObject(overlapped->hEvent, 3000) != WAIT_OBJECT_0) {
        fake->record("never ended");
        SetLastError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(fake->mutex);
    for (auto it = fake->outcomes.begin(); it != fake->outcomes.end(); ++it) {
        if (it->first != overlapped)
            continue;
        const Fake::Outcome outcome = it->second;
        fake->outcomes.erase(it);
        *bytes = outcome.bytes;
        SetLastError(outcome.error);
        return outcome.ok;
    }
    fake->calls.push_back("GetOverlappedResult:unknown transfer");
    return FALSE;
}

HDEVINFO WINAPI fakeGetClassDevs(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags) {
    fake->record("GetClassDevs");
    if (!classGuid || std::memcmp(classGuid, &kProgrammerInterfaceClass, sizeof(GUID)) != 0 || enumerator ||
        parent || flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
        fake->classRight = false;
    }
    return fake->classDevsOk ? kInfoSet : INVALID_HANDLE_VALUE;
}

BOOL WINAPI fakeEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
    if (set != kInfoSet || !data || data->cbSize != sizeof(SP_DEVINFO_DATA))
        return FALSE;
    if (index >= fake->devices.size())
        return FALSE;
    data->DevInst = index;
    return TRUE;
}

BOOL WINAPI fakeGetDeviceRegistryProperty(HDEVINFO, PSP_DEVINFO_DATA data, DWORD property, PDWORD,
                                          PBYTE buffer, DWORD size, PDWORD) {
    const FakeDevice& device = fake->devices.at(data->DevInst);
    const std::wstring& text = property == SPDRP_FRIENDLYNAME ? device.friendlyName
                               : property == SPDRP_DEVICEDESC ? device.description
                                                              : std::wstring();
    const DWORD bytes = DWORD((text.size() + 1) * sizeof(wchar_t));
    if (text.empty() || bytes > size)
        return FALSE;
    std::memcpy(buffer, text.c_str(), bytes);
    return TRUE;
}

BOOL WINAPI fakeEnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID* classGuid, DWORD index,
                                     PSP_DEVICE_INTERFACE_DATA data) {
    if (!classGuid || std::memcmp(classGuid, &kProgrammerInterfaceClass, sizeof(GUID)) != 0)
        fake->classRight = false;
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return FALSE;
    if (index >= fake->devices.size() || !fake->devices[index].interfaceOk)
        return FALSE;
    data->Reserved = index;
    return TRUE;
}

BOOL WINAPI fakeGetDeviceInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data,
                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD,
                                         PSP_DEVINFO_DATA) {
    // The system refuses a detail buffer whose size field is not that of the fixed part.
    if (!detail || detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        fake->detailSizeRight = false;
        return FALSE;
    }
    const FakeDevice& device = fake->devices.at(data->Reserved);
    const DWORD bytes = DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                              (device.path.size() + 1) * sizeof(wchar_t));
    if (!device.detailOk || bytes > size)
        return FALSE;
    std::memcpy(detail->DevicePath, device.path.c_str(), (device.path.size() + 1) * sizeof(wchar_t));
    return TRUE;
}

BOOL WINAPI fakeDestroyDeviceInfoList(HDEVINFO set) {
    fake->record(set == kInfoSet ? "DestroyDeviceInfoList" : "DestroyDeviceInfoList:other");
    return TRUE;
}

WinUsbApi fakeApi() {
    WinUsbApi api;
    api.createFile = &fakeCreateFile;
    api.closeHandle = &fakeCloseHandle;
    api.initialize = &fakeInitialize;
    api.free = &fakeFree;
    api.queryDeviceInformation = &fakeQueryDeviceInformation;
    api.queryInterfaceSettings = &fakeQueryInterfaceSettings;
    api.queryPipe = &fakeQueryPipe;
    api.writePipe = &fakeWritePipe;
    api.readPipe = &fakeReadPipe;
    api.abortPipe = &fakeAbortPipe;
    api.getOverlappedResult = &fakeGetOverlappedResult;
    api.getClassDevs = &fakeGetClassDevs;
    api.enumDeviceInfo = &fakeEnumDeviceInfo;
    api.getDeviceRegistryProperty = &fakeGetDeviceRegistryProperty;
    api.enumDeviceInterfaces = &fakeEnumDeviceInterfaces;
    api.getDeviceInterfaceDetail = &fakeGetDeviceInterfaceDetail;
    api.destroyDeviceInfoList = &fakeDestroyDeviceInfoList;
    return api;
}

std::string joined(const std::vector<std::string>& calls) {
    std::string text;
    for (const auto& call : calls)
        text += (text.empty() ? "" : " ") + call;
    return text;
}

void checkCalls(const std::vector<std::string>& expected, const std::string& what) {
    const auto calls = fake->recorded();
    check(calls == expected, what + ":\n  calls    " + joined(calls) + "\n  expected " + joined(expected));
}

const std::string kPath = "\\\\?\\usb#vid_4d51&pid_7c2e#5&1a2b3c&0&1#{88bae032-5a81-49f0-bc3d-a4ff138216d6}";

const FakePipe bulkIn81{true, UsbdPipeTypeBulk, 0x81};
const FakePipe bulkOut02{true, UsbdPipeTypeBulk, 0x02};
const FakePipe interruptIn83{true, UsbdPipeTypeInterrupt, 0x83};
const FakePipe bulkIn86{true, UsbdPipeTypeBulk, 0x86};
const FakePipe bulkOut03{true, UsbdPipeTypeBulk, 0x03};
const FakePipe failedQuery{false, UsbdPipeTypeBulk, 0x05};

void openFailures() {
    {
        Fake f;
        fake = &f;
        f.createOk = false;
        {
            auto transport = makeWinUsbTransport(fakeApi());
            check(!transport->open(kPath), "open fails when the path does not open");
            const uint8_t frame[36] = {};
            check(transport->write(frame, 36, nullptr) == -1, "after that, a write fails");
            uint8_t rx[kReadSize];
            check(transport->read(rx, nullptr) == -1, "and a read fails");
        }
        checkCalls({"CreateFile"},
                   "a path that does not open: no WinUSB call, no transfer, nothing to release");
    }
    {
        Fake f;
        fake = &f;
        f.initializeOk = false;
        {
            auto transport = makeWinUsbTransport(fakeApi());
            check(!transport->open(kPath), "open fails when WinUSB does not take the device");
        }
        checkCalls({"CreateFile", "Initialize", "CloseHandle:file"},
                   "WinUSB refusing the device: the file handle is closed once");
    }
    {
        Fake f;
        fake = &f;
        f.speedOk = false;
        {
            auto transport = makeWinUsbTransport(fakeApi());
            check(!transport->open(kPath), "open fails when the device speed cannot be read");
            const uint8_t frame[36] = {};
            check(transport->write(frame, 36, nullptr) == -1,
                  "a write after an open that failed after WinUSB took the device fails");
        }
        checkCalls({"CreateFile", "Initialize", "QueryDeviceInformation", "Free", "CloseHandle:file"},
                   "failing after WinUSB took the device: WinUSB freed, then the file closed, each once, no "
                   "transfer");
    }
    {
        Fake f;
        fake = &f;
        f.settingsOk = false;
        {
            auto transport = makeWinUsbTransport(fakeApi());
            check(!transport->open(kPath), "open fails when the interface settings cannot be read");
        }
        check(f.count("Free") == 1 && f.count("CloseHandle:file") == 1, "both handles released once");
    }
}

// Opens with the given pipes, writes 36 bytes and reads once; the pipes used, or "" when open failed.
std::string pipesUsedWith(const std::vector<FakePipe>& pipes) {
    Fake f;
    fake = &f;
    f.pipes = pipes;
    f.readData = {0x01};
    auto transport = makeWinUsbTransport(fakeApi());
    if (!transport->open(kPath))
        return "";
    const uint8_t frame[36] = {};
    uint8_t rx[kReadSize];
    if (transport->write(frame, 36, nullptr) != 1 || transport->read(rx, nullptr) != 1)
        return "transfer failed";
    std::string used;
    for (const auto& call : f.recorded()) {
        if (call.rfind("Write:", 0) == 0 || call.rfind("Read:", 0) == 0)
            used += (used.empty() ? "" : " ") + call;
    }
    return used;
}

void pipeSearch() {
    struct Case {
        const char* what;
        std::vector<FakePipe> pipes;
        std::string used;  // "" when open must fail
    };
    const Case cases[] = {
        {"one bulk pipe each way", {bulkIn81, bulkOut02}, "Write:02:36 Read:81:512"},
        {"interrupt pipes are skipped, a later bulk pipe of one direction replaces an earlier one",
         {bulkIn81, bulkOut02, interruptIn83, bulkIn86},
         "Write:02:36 Read:86:512"},
        {"a failed query for an earlier endpoint is skipped",
         {failedQuery, bulkOut03, bulkIn86},
         "Write:03:36 Read:86:512"},
        {"without a bulk IN endpoint the IN pipe keeps its first value",
         {bulkOut03},
         "Write:03:36 Read:81:512"},
        {"without endpoints the search succeeds and finds nothing", {}, "Write:01:36 Read:81:512"},
        {"a failed query for the last endpoint fails the open", {bulkIn81, bulkOut02, failedQuery}, ""},
    };
    for (const Case& c : cases) {
        const std::string used = pipesUsedWith(c.pipes);
        check(used == c.used,
              std::string("pipe search, ") + c.what + ": got \"" + used + "\", expected \"" + c.used + "\"");
    }
    {
        Fake f;
        fake = &f;
        f.pipes = {bulkIn81, bulkOut02};
        {
            auto transport = makeWinUsbTransport(fakeApi());
            check(transport->open(kPath), "open succeeds");
        }
        checkCalls({"CreateFile", "Initialize", "QueryDeviceInformation", "QueryInterfaceSettings:0",
                    "QueryPipe:0:0", "QueryPipe:0:1", "Free", "CloseHandle:file"},
                   "open queries alternate setting 0; the destructor frees WinUSB, then closes the file");
    }
}

void transfers() {
    Fake f;
    fake = &f;
    f.pipes = {bulkIn81, bulkOut02};
    auto transport = makeWinUsbTransport(fakeApi());
    check(transport->open(kPath), "open for transfers");
    check(transport->write(nullptr, 0, nullptr) == 1, "a write of no bytes goes to WinUSB");
    check(f.count("Write:02:0") == 1, "and WinUSB is asked for exactly 0 bytes");
    f.readData = {0xAA, 0x55, 0x56, 0x00};
    uint8_t rx[kReadSize] = {};
    check(transport->read(rx, nullptr) == 4 && rx[2] == 0x56, "a read returns what arrived");
    f.readMode = Mode::Pending;
    rx[2] = 0;
    check(transport->read(rx, nullptr) == 4 && rx[2] == 0x56,
          "a read that completes later returns what arrived");
    f.writeMode = Mode::Pending;
    const uint8_t frame[36] = {};
    check(transport->write(frame, 36, nullptr) == 1, "a write that completes later succeeds");
    f.readMode = Mode::Fail;
    check(transport->read(rx, nullptr) == -1, "a failed read returns -1");
    f.writeMode = Mode::Fail;
    check(transport->write(frame, 36, nullptr) == -1, "a failed write returns -1");
    check(f.count("no overlapped") == 0, "every transfer is overlapped, so that it can be given up");
    check(f.count("GetOverlappedResult:no wait") == 0 && f.count("never ended") == 0,
          "every transfer is waited for until it has ended");
}

// A programmer that stops taking requests or stops answering: the transfer waits on its pipe. A
// stop request of the caller or a close from another thread ends it within a second; one that
// completes meanwhile still counts as done.
void stoppingTransfers() {
    enum class Stop { FlagBefore, FlagLater, CloseLater };
    struct Case {
        const char* what;
        bool write;
        Mode mode;
        Stop stop;
        int32_t result;
        const char* aborted;  // the pipe aborted
    };
    const Case cases[] = {
        {"a write the programmer never takes, stop raised before it", true, Mode::WaitForAbort,
         Stop::FlagBefore, kWriteAbandoned, "Abort:02"},
        {"a write the programmer never takes, stop raised while it waits", true, Mode::WaitForAbort,
         Stop::FlagLater, kWriteAbandoned, "Abort:02"},
        {"a write the programmer never takes, closed while it waits", true, Mode::WaitForAbort,
         Stop::CloseLater, -1, "Abort:02"},
        {"a write that completed as the stop came", true, Mode::DoneAtAbort, Stop::FlagLater, 1, "Abort:02"},
        {"a read never answered, stop raised before it", false, Mode::WaitForAbort, Stop::FlagBefore,
         kReadAbandoned, "Abort:81"},
        {"a read never answered, stop raised while it waits", false, Mode::WaitForAbort, Stop::FlagLater,
         kReadAbandoned, "Abort:81"},
        {"a read never answered, closed while it waits", false, Mode::WaitForAbort, Stop::CloseLater, -1,
         "Abort:81"},
        {"a read answered as the stop came", false, Mode::DoneAtAbort, Stop::FlagLater, 3, "Abort:81"},
    };
    for (const Case& c : cases) {
        Fake f;
        fake = &f;
        f.pipes = {bulkIn81, bulkOut02};
        f.readData = {1, 2, 3};
        (c.write ? f.writeMode : f.readMode) = c.mode;
        auto transport = makeWinUsbTransport(fakeApi());
        check(transport->open(kPath), std::string(c.what) + ": open");
        std::atomic<uint8_t> abandon{uint8_t(c.stop == Stop::FlagBefore ? 1 : 0)};
        std::atomic<int32_t> result{100};
        std::atomic<bool> ended{false};
        const auto start = std::chrono::steady_clock::now();
        std::thread worker([&] {
            const uint8_t frame[36] = {};
            uint8_t rx[kReadSize];
            result = c.write ? transport->write(frame, 36, &abandon) : transport->read(rx, &abandon);
            ended = true;
        });
        Sleep(100);
        const bool waited = !ended.load();
        if (c.stop == Stop::FlagLater)
            abandon = 1;
        if (c.stop == Stop::CloseLater)
            transport->close();
        worker.join();
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        if (c.stop != Stop::FlagBefore)
            check(waited, std::string(c.what) + ": the transfer waited until it was stopped");
        check(result.load() == c.result, std::string(c.what) + ": result " + std::to_string(result.load()) +
                                             ", expected " + std::to_string(c.result));
        check(ms < 1000,
              std::string(c.what) + ": ended within a second (took " + std::to_string(ms) + " ms)");
        check(f.count(c.aborted) >= 1 && f.count("never ended") == 0,
              std::string(c.what) + ": its pipe was aborted and the transfer ended");
        if (c.stop == Stop::CloseLater) {
            const size_t writes = f.count("Write:02:36");
            const uint8_t frame[36] = {};
            check(transport->write(frame, 36, nullptr) == -1 && f.count("Write:02:36") == writes,
                  std::string(c.what) + ": after close a write fails without reaching WinUSB");
        }
    }
}

void deviceList() {
    const std::wstring programmerA =
        L"\\\\?\\usb#vid_4d51&pid_7c2e#6&aa&0&1#{88bae032-5a81-49f0-bc3d-a4ff138216d6}";
    const std::wstring programmerB =
        L"\\\\?\\usb#vid_4d51&pid_7c2e#caf\u00e9#{88bae032-5a81-49f0-bc3d-a4ff138216d6}";
    const std::wstring upperCase =
        L"\\\\?\\USB#VID_4D51&PID_7C2E#7&bb&0&2#{88bae032-5a81-49f0-bc3d-a4ff138216d6}";
    const std::wstring otherDevice =
        L"\\\\?\\usb#vid_1234&pid_5678#8&cc&0&3#{88bae032-5a81-49f0-bc3d-a4ff138216d6}";
    {
        Fake f;
        fake = &f;
        f.devices = {
            {L"QV Programmer", L"", true, true, programmerA},
            {L"", L"xxx", true, true, programmerA + L"-hidden"},  // no friendly name, description "xxx"
            {L"", L"", true, true, otherDevice},
            {L"xxx", L"QV Programmer", true, true, programmerA + L"-hidden2"},
            {L"", L"", true, true, upperCase},  // the filter compares case-sensitively
            {L"QV Programmer", L"", true, true, programmerB},
        };
        const std::vector<std::string> paths = findWinUsbProgrammers(fakeApi());
        const std::vector<std::string> expected = {
            "\\\\?\\usb#vid_4d51&pid_7c2e#6&aa&0&1#{88bae032-5a81-49f0-bc3d-a4ff138216d6}",
            "\\\\?\\usb#vid_4d51&pid_7c2e#caf\xC3\xA9#{88bae032-5a81-49f0-bc3d-a4ff138216d6}",
        };
        std::string got;
        for (const auto& p : paths)
            got += "\n    " + p;
        check(paths == expected, "the list holds the programmers' paths in order, as UTF-8; got" + got);
        check(f.classRight, "the search asks for present interfaces of the programmer's class");
        check(f.detailSizeRight, "the detail buffer's size field is that of its fixed part");
        check(f.count("DestroyDeviceInfoList") == 1, "the device information set is destroyed once");

        // The UTF-8 path opens the same interface.
        f.pipes = {bulkIn81, bulkOut02};
        auto transport = makeWinUsbTransport(fakeApi());
        check(transport->open(expected[1]) && f.openedPath == programmerB,
              "a listed non-ASCII path reaches CreateFileW unchanged");
    }
    {
        Fake f;
        fake = &f;
        f.devices = {
            {L"QV Programmer", L"", true, true, programmerA},
            {L"QV Programmer", L"", false, true, programmerA + L"-1"},
            {L"QV Programmer", L"", true, true, programmerB},
        };
        check(findWinUsbProgrammers(fakeApi()).size() == 1,
              "the first failed interface enumeration ends the search; later devices are not listed");
    }
    {
        Fake f;
        fake = &f;
        f.classDevsOk = false;
        check(findWinUsbProgrammers(fakeApi()).empty(), "no device information set: an empty list");
        check(f.count("DestroyDeviceInfoList") == 0, "and nothing to destroy");
    }
}

}  // namespace

void winUsbBackendTests() {
    openFailures();
    pipeSearch();
    transfers();
    stoppingTransfers();
    deviceList();
    fake = nullptr;
}

}  // namespace qv
