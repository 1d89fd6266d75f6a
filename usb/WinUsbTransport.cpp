// The programmer through WinUSB and the device set-up API (Windows only).
#include "DeviceSearch.h"
#include "vlink/VirtualPipe.h"
#include "WinUsbApi.h"
#include "WinUsbGuid.h"

#include <atomic>
#include <string>
#include <vector>

namespace qv {

namespace {

class WinUsbTransport : public UsbTransport {
  public:
    explicit WinUsbTransport(const WinUsbApi& api) : api_(api) {}
    ~WinUsbTransport() override {
        release();
        if (stopEvent_)
            CloseHandle(stopEvent_);
    }

    bool open(const std::string& path) override {
        stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!stopEvent_)
            return false;
        const std::wstring widePath = wideFromUtf8(path);  // zero-terminated wide copy
        fileHandle_ = api_.createFile(widePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (fileHandle_ == INVALID_HANDLE_VALUE)
            return false;
        WINUSB_INTERFACE_HANDLE handle = INVALID_HANDLE_VALUE;
        if (!api_.initialize(fileHandle_, &handle) || handle == INVALID_HANDLE_VALUE)
            return fail();
        winusbHandle_ = handle;
        ULONG length = 1;
        if (!api_.queryDeviceInformation(winusbHandle_, DEVICE_SPEED, &length, &deviceSpeed_))
            return fail();
        if (!findPipes())
            return fail();
        return true;
    }

    // Sets the stop event, which ends a transfer waiting on another thread; the handles
    // themselves are released by the destructor, when no transfer uses them any more.
    void close() override {
        closed_.store(true, std::memory_order_release);
        if (stopEvent_)
            SetEvent(stopEvent_);
    }

    int32_t write(const uint8_t* buffer, uint32_t length, const std::atomic<uint8_t>* abandon) override {
        const int32_t result = transfer(outPipe_, const_cast<PUCHAR>(buffer), length, abandon);
        if (result == kTransferAbandoned)
            return kWriteAbandoned;
        return result >= 0 ? 1 : -1;
    }

    int32_t read(uint8_t* buffer, const std::atomic<uint8_t>* abandon) override {
        const int32_t result = transfer(inPipe_, buffer, kReadSize, abandon);
        return result == kTransferAbandoned ? kReadAbandoned : result;
    }

  private:
    static constexpr int32_t kTransferAbandoned = -2;
    // How often a waiting transfer looks at its caller's stop flag.
    static constexpr DWORD kAbandonCheckMs = 20;

    // One overlapped transfer on a pipe. No pipe policy sets a time-out, so it waits until the
    // programmer answers or goes away; while it waits, a close (the stop event) or the caller's
    // stop flag aborts the pipe. Returns the byte count, -1 on failure or close, or
    // kTransferAbandoned when the caller's flag ended it. A transfer that completes before the
    // abort takes hold is a completed transfer.
    int32_t transfer(UCHAR pipe, PUCHAR buffer, ULONG length, const std::atomic<uint8_t>* abandon) {
        if (closed_.load(std::memory_order_acquire) || winusbHandle_ == INVALID_HANDLE_VALUE || !stopEvent_)
            return -1;
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!overlapped.hEvent)
            return -1;
        ULONG transferred = 0;
        const bool in = (pipe & 0x80) != 0;
        const BOOL started =
            in ? api_.readPipe(winusbHandle_, pipe, buffer, length, &transferred, &overlapped)
               : api_.writePipe(winusbHandle_, pipe, buffer, length, &transferred, &overlapped);
        bool abandoned = false;
        BOOL done = FALSE;
        if (started || GetLastError() == ERROR_IO_PENDING) {
            if (!started)
                abandoned = waitOrAbort(pipe, overlapped.hEvent, abandon);
            DWORD count = 0;
            done = api_.getOverlappedResult(winusbHandle_, &overlapped, &count, TRUE);
            transferred = count;
        }
        CloseHandle(overlapped.hEvent);
        if (done)
            return int32_t(transferred);
        if (abandoned && !closed_.load(std::memory_order_acquire))
            return kTransferAbandoned;
        return -1;
    }

    // Waits for a pending transfer; aborts its pipe on a close or a stop request. True when the
    // caller's stop request was the reason.
    bool waitOrAbort(UCHAR pipe, HANDLE completed, const std::atomic<uint8_t>* abandon) {
        const HANDLE events[2] = {completed, stopEvent_};
        for (;;) {
            const DWORD woke = WaitForMultipleObjects(2, events, FALSE, abandon ? kAbandonCheckMs : INFINITE);
            if (woke == WAIT_OBJECT_0)
                return false;
            const bool stop = abandon && abandon->load(std::memory_order_acquire) != 0;
            if (woke == WAIT_TIMEOUT && !stop && !closed_.load(std::memory_order_acquire))
                continue;
            api_.abortPipe(winusbHandle_, pipe);
            return stop;
        }
    }

    bool fail() {
        release();
        return false;
    }

    // The WinUSB handle is freed before the file handle it was made from is closed.
    void release() {
        if (winusbHandle_ != INVALID_HANDLE_VALUE)
            api_.free(winusbHandle_);
        if (fileHandle_ != INVALID_HANDLE_VALUE)
            api_.closeHandle(fileHandle_);
        fileHandle_ = INVALID_HANDLE_VALUE;
        winusbHandle_ = INVALID_HANDLE_VALUE;
    }

    // Bulk pipes of alternate setting 0. The search succeeds when the query for the last endpoint
    // index succeeded; a failed query for an earlier index is skipped.
    bool findPipes() {
        USB_INTERFACE_DESCRIPTOR descriptor{};
        if (!api_.queryInterfaceSettings(winusbHandle_, 0, &descriptor))
            return false;
        if (descriptor.bNumEndpoints == 0)
            return true;
        BOOL lastQuery = FALSE;
        for (UCHAR i = 0; i < descriptor.bNumEndpoints; ++i) {
            WINUSB_PIPE_INFORMATION info{};
            lastQuery = api_.queryPipe(winusbHandle_, 0, i, &info);
            if (lastQuery && info.PipeType == UsbdPipeTypeBulk) {
                if (info.PipeId & 0x80) {
                    inPipe_ = info.PipeId;
                } else {
                    outPipe_ = info.PipeId;
                }
            }
        }
        return lastQuery != FALSE;
    }

    const WinUsbApi api_;
    HANDLE fileHandle_ = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE winusbHandle_ = INVALID_HANDLE_VALUE;
    UCHAR deviceSpeed_ = 2;
    UCHAR inPipe_ = 0x81;
    UCHAR outPipe_ = 0x01;
    std::atomic<bool> closed_{false};
    // Set by close(): ends every transfer that waits. Manual reset, so it stays set.
    HANDLE stopEvent_ = nullptr;
};

}  // namespace

std::unique_ptr<UsbTransport> makeWinUsbTransport(const WinUsbApi& api) {
    return std::make_unique<WinUsbTransport>(api);
}

std::unique_ptr<UsbTransport> makeUsbTransport() {
    return makeWinUsbTransport(WinUsbApi{});
}

std::vector<std::string> findRealProgrammers() {
    return findWinUsbProgrammers(WinUsbApi{});
}

std::vector<std::string> findWinUsbProgrammers(const WinUsbApi& api) {
    std::vector<std::string> paths;
    HDEVINFO infoSet =
        api.getClassDevs(&kProgrammerInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (infoSet == INVALID_HANDLE_VALUE)
        return paths;
    std::vector<BYTE> detailBuffer(1024, 0);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(detailBuffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA deviceInfo{};
        deviceInfo.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!api.enumDeviceInfo(infoSet, index, &deviceInfo))
            break;
        wchar_t name[260] = {};  // 520 bytes
        if (!api.getDeviceRegistryProperty(infoSet, &deviceInfo, SPDRP_FRIENDLYNAME, nullptr,
                                           reinterpret_cast<PBYTE>(name), sizeof(name), nullptr) &&
            !api.getDeviceRegistryProperty(infoSet, &deviceInfo, SPDRP_DEVICEDESC, nullptr,
                                           reinterpret_cast<PBYTE>(name), sizeof(name), nullptr)) {
            name[0] = 0;
        }
        name[259] = 0;
        if (std::wstring(name) == L"xxx")
            continue;
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (!api.enumDeviceInterfaces(infoSet, nullptr, &kProgrammerInterfaceClass, index, &interfaceData))
            break;
        if (!api.getDeviceInterfaceDetail(infoSet, &interfaceData, detail, 1024, nullptr, nullptr))
            break;
        const std::wstring devicePath(detail->DevicePath);
        if (devicePath.find(kHardwareIdFilter) != std::wstring::npos) {
            paths.push_back(utf8FromWide(devicePath));
        }
    }
    api.destroyDeviceInfoList(infoSet);
    return paths;
}

}  // namespace qv
