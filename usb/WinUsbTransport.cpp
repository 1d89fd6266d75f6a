// The programmer through WinUSB and the device set-up API (Windows only).
#include "DeviceSearch.h"
#include "VirtualPipe.h"
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
    ~WinUsbTransport() override { release(); }

    bool open(const std::string& path) override {
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

    // WinUsb_AbortPipe ends a transfer that the worker may be blocked in; the handles themselves
    // are released by the destructor, when no transfer uses them any more.
    void close() override {
        closed_.store(true, std::memory_order_release);
        if (winusbHandle_ != INVALID_HANDLE_VALUE) {
            api_.abortPipe(winusbHandle_, inPipe_);
            api_.abortPipe(winusbHandle_, outPipe_);
        }
    }

    bool write(const uint8_t* buffer, uint32_t length) override {
        if (closed_.load(std::memory_order_acquire) || winusbHandle_ == INVALID_HANDLE_VALUE)
            return false;
        ULONG transferred = 0;
        return api_.writePipe(winusbHandle_, outPipe_, const_cast<PUCHAR>(buffer), length, &transferred,
                              nullptr) != FALSE;
    }

    int32_t read(uint8_t* buffer, const std::atomic<uint8_t>* abandon) override {
        if (closed_.load(std::memory_order_acquire) || winusbHandle_ == INVALID_HANDLE_VALUE)
            return -1;
        // The read itself is synchronous and has no time-out. A watcher thread turns a stop request
        // or a close into an abort of the IN pipe. It aborts again every 20 ms until the read has
        // returned: a request raised just before WinUsb_ReadPipe started would otherwise find no
        // transfer to abort and leave the read waiting for a packet that may never come. The
        // watcher waits on an event rather than sleeping, so a finished read never waits for it.
        ReadWatch watch;
        watch.self = this;
        watch.abandon = abandon;
        watch.finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE watcher = nullptr;
        if (watch.finished) {
            watcher = CreateThread(nullptr, 0, &WinUsbTransport::watchRead, &watch, 0, nullptr);
        }
        ULONG transferred = 0;
        const BOOL ok = api_.readPipe(winusbHandle_, inPipe_, buffer, kReadSize, &transferred, nullptr);
        if (watcher) {
            SetEvent(watch.finished);
            WaitForSingleObject(watcher, INFINITE);
            CloseHandle(watcher);
        }
        if (watch.finished)
            CloseHandle(watch.finished);
        if (ok)
            return int32_t(transferred);
        if (watch.abandoned.load(std::memory_order_acquire) && !closed_.load(std::memory_order_acquire)) {
            return kReadAbandoned;
        }
        return -1;
    }

  private:
    struct ReadWatch {
        WinUsbTransport* self = nullptr;
        const std::atomic<uint8_t>* abandon = nullptr;
        HANDLE finished = nullptr;  // manual-reset event, set when the read has returned
        std::atomic<bool> abandoned{false};
    };

    static DWORD WINAPI watchRead(LPVOID parameter) {
        auto* watch = static_cast<ReadWatch*>(parameter);
        WinUsbTransport* self = watch->self;
        while (WaitForSingleObject(watch->finished, 20) == WAIT_TIMEOUT) {
            const bool stop = watch->abandon && watch->abandon->load(std::memory_order_acquire) != 0;
            if (stop)
                watch->abandoned.store(true, std::memory_order_release);
            if (stop || self->closed_.load(std::memory_order_acquire)) {
                self->api_.abortPipe(self->winusbHandle_, self->inPipe_);
            }
        }
        return 0;
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
