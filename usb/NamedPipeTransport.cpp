// The virtual programmer link on Windows: one client connection to a message-mode named pipe
// \\.\pipe\qv310-isp\NAME per open device. A write is one message of exactly n bytes; a read is
// one message of at most 512 bytes. No time-outs: a read waits until a reply arrives or the
// programmer goes away. Transfers are overlapped so that close() on the other thread, or a stop
// request of the worker, can end a wait.
#include "DeviceSearch.h"
#include "vlink/VirtualDirectory.h"
#include "vlink/VirtualPipe.h"

#include <atomic>
#include <set>
#include <string>
#include <vector>

namespace qv {

namespace {

constexpr DWORD kAbandonCheckMs = 50;

// Waits for an overlapped transfer started on handle and returns its result. The transfer is
// cancelled when the close event is set, or when the abandon flag is raised (then *abandoned is
// set); either way it has ended, and ov and the buffer are free again, when this returns.
BOOL finishTransfer(HANDLE handle, OVERLAPPED& ov, HANDLE closeEvent, const std::atomic<uint8_t>* abandon,
                    bool* abandoned, DWORD& transferred) {
    for (;;) {
        const HANDLE events[2] = {ov.hEvent, closeEvent};
        const DWORD woken = WaitForMultipleObjects(2, events, FALSE, abandon ? kAbandonCheckMs : INFINITE);
        if (woken == WAIT_OBJECT_0)
            break;
        if (woken == WAIT_TIMEOUT) {
            if (abandon->load(std::memory_order_acquire) == 0)
                continue;
            *abandoned = true;
        }
        CancelIoEx(handle, &ov);
        break;
    }
    // A transfer that completed before the cancellation took effect keeps its result.
    return GetOverlappedResult(handle, &ov, &transferred, TRUE);
}

class NamedPipeTransport : public UsbTransport {
  public:
    NamedPipeTransport() : closeEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    // Handles are released here, once, when no thread uses the transport any more.
    ~NamedPipeTransport() override {
        if (pipe_ != INVALID_HANDLE_VALUE)
            CloseHandle(pipe_);
        if (closeEvent_)
            CloseHandle(closeEvent_);
    }

    // Only pipes: a "virtual:" path naming a file must never be written to.
    bool open(const std::string& path) override {
        const std::string prefix = kVirtualPathPrefix;
        if (!closeEvent_ || path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0)
            return false;
        const std::wstring pipePath = wideFromUtf8(path.substr(prefix.size()));
        if (!startsWithNoCase(pipePath, kPipeNamespace) || pipePath.size() == wcslen(kPipeNamespace))
            return false;
        // The identification level keeps the programmer's end from acting as this user.
        // The pipe has one instance: right after a tool hung up, the programmer's end may not
        // have let go of that connection yet and the pipe is busy for a moment; it is waited
        // for (briefly: a programmer that another tool holds stays busy).
        constexpr ULONGLONG kBusyWaitMs = 2000;
        const ULONGLONG deadline = GetTickCount64() + kBusyWaitMs;
        HANDLE pipe = INVALID_HANDLE_VALUE;
        for (;;) {
            pipe = CreateFileW(pipePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
            if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY)
                break;
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline)
                break;
            WaitNamedPipeW(pipePath.c_str(), DWORD(deadline - now));
        }
        if (pipe == INVALID_HANDLE_VALUE)
            return false;
        // A byte-stream pipe keeps no message borders, so it is no virtual programmer.
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
            CloseHandle(pipe);
            return false;
        }
        pipe_ = pipe;
        return true;
    }

    // Ends the connection: a transfer waiting on the other thread is cancelled and fails, later
    // ones fail at once. The handle stays valid until the destructor.
    void close() override {
        closed_.store(true, std::memory_order_release);
        if (closeEvent_)
            SetEvent(closeEvent_);
        if (pipe_ != INVALID_HANDLE_VALUE)
            CancelIoEx(pipe_, nullptr);
    }

    int32_t write(const uint8_t* buffer, uint32_t length, const std::atomic<uint8_t>* abandon) override {
        if (closed_.load(std::memory_order_acquire) || pipe_ == INVALID_HANDLE_VALUE)
            return -1;
        Transfer transfer;
        if (!transfer.ov.hEvent)
            return -1;
        // A programmer that vanished fails the write here (the pipe is broken or closing).
        if (!WriteFile(pipe_, buffer, length, nullptr, &transfer.ov) && GetLastError() != ERROR_IO_PENDING)
            return -1;
        // A programmer that stopped reading leaves the write pending; a stop request gives it up.
        DWORD written = 0;
        bool abandoned = false;
        if (finishTransfer(pipe_, transfer.ov, closeEvent_, abandon, &abandoned, written))
            return written == length ? 1 : -1;
        if (abandoned && GetLastError() == ERROR_OPERATION_ABORTED && !closed_.load(std::memory_order_acquire))
            return kWriteAbandoned;
        return -1;
    }

    int32_t read(uint8_t* buffer, const std::atomic<uint8_t>* abandon) override {
        if (closed_.load(std::memory_order_acquire) || pipe_ == INVALID_HANDLE_VALUE)
            return -1;
        if (abandon && abandon->load(std::memory_order_acquire) != 0)
            return kReadAbandoned;
        Transfer transfer;
        if (!transfer.ov.hEvent)
            return -1;
        if (!ReadFile(pipe_, buffer, kReadSize, nullptr, &transfer.ov)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
                return -1;  // the programmer went away
        }
        DWORD received = 0;
        bool abandoned = false;
        const BOOL ok = finishTransfer(pipe_, transfer.ov, closeEvent_, abandon, &abandoned, received);
        const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        if (ok)
            return received > 0 ? int32_t(received) : -1;  // an empty message counts as gone
        if (error == ERROR_MORE_DATA) {
            // A message longer than a read: its first 512 bytes are the result, the rest is
            // dropped so that the next read starts at the next message.
            discardRestOfMessage();
            return int32_t(kReadSize);
        }
        if (abandoned && error == ERROR_OPERATION_ABORTED && !closed_.load(std::memory_order_acquire))
            return kReadAbandoned;
        return -1;
    }

  private:
    // One overlapped transfer with its own event.
    struct Transfer {
        Transfer() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
        ~Transfer() {
            if (ov.hEvent)
                CloseHandle(ov.hEvent);
        }
        Transfer(const Transfer&) = delete;
        Transfer& operator=(const Transfer&) = delete;
        OVERLAPPED ov{};
    };

    // The rest of a message is already in the pipe, so these reads do not wait for the programmer.
    void discardRestOfMessage() {
        uint8_t scratch[kReadSize];
        for (;;) {
            Transfer transfer;
            if (!transfer.ov.hEvent)
                return;
            if (!ReadFile(pipe_, scratch, sizeof scratch, nullptr, &transfer.ov)) {
                const DWORD error = GetLastError();
                if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
                    return;
            }
            DWORD received = 0;
            bool abandoned = false;
            if (finishTransfer(pipe_, transfer.ov, closeEvent_, nullptr, &abandoned, received) ||
                GetLastError() != ERROR_MORE_DATA)
                return;
        }
    }

    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE closeEvent_ = nullptr;  // manual-reset, set by close()
    std::atomic<bool> closed_{false};
};

void addNamespaceEntries(std::set<std::wstring>& names) {
    WIN32_FIND_DATAW entry{};
    const std::wstring pattern = std::wstring(kPipeNamespace) + L"*";
    const HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        entry.cFileName[MAX_PATH - 1] = 0;
        const std::wstring name = virtualPipeNameOf(entry.cFileName);
        if (!name.empty())
            names.insert(name);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

// Notes left by virtual programmers; one counts only while its pipe exists, so the note of a
// programmer that ended without unplugging lists nothing.
void addNotedPipes(std::set<std::wstring>& names) {
    const std::wstring directory = virtualPipeNoteDirectory();
    if (directory.empty())
        return;
    WIN32_FIND_DATAW entry{};
    const std::wstring pattern = directory + L"\\*";
    const HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        entry.cFileName[MAX_PATH - 1] = 0;
        const std::wstring name = entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !isVirtualPipeName(name))
            continue;
        if (pipeExists(virtualPipePath(name)))
            names.insert(name);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

}  // namespace

std::unique_ptr<UsbTransport> makeVirtualLinkTransport() {
    return std::make_unique<NamedPipeTransport>();
}

std::string virtualProgrammerDirectory() { return standardVirtualDirectory(); }

std::vector<std::string> findVirtualProgrammers() {
    std::set<std::wstring> names;
    addNamespaceEntries(names);
    addNotedPipes(names);
    std::vector<std::string> paths;
    for (const std::wstring& name : names)
        paths.push_back(kVirtualPathPrefix + utf8FromWide(virtualPipePath(name)));
    return paths;
}

}  // namespace qv
