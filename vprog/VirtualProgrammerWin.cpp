// The virtual programmer's link server on Windows: a message-mode named pipe
// \\.\pipe\qv310-isp\NAME with a single instance, so one tool at a time is served and a second
// one finds the pipe busy, as a box that is already open cannot be opened twice. Unplugging
// closes the pipe, which ends the connection and takes the name out of the pipe namespace.
#include "vprog/VirtualProgrammer.h"

#include "vlink/VirtualDirectory.h"
#include "vlink/VirtualPipe.h"
#include "vprog/LinkServer.h"

#include <windows.h>

#include <fstream>
#include <mutex>
#include <string>

namespace vprog {

namespace {

// Large enough for the biggest request (4110 bytes) with room to spare: a longer message is
// truncated and then refused by the model for its wrong size.
constexpr DWORD kReceiveBuffer = 8192;
constexpr DWORD kPollMillis = 100;

std::string systemError(DWORD code) {
    return "error " + std::to_string(code);
}

}  // namespace

std::string defaultDirectory() {
    return qv::standardVirtualDirectory();
}

// One server thread owns the pipe and every transfer on it; plug() and unplug() only post what
// they want and wait until the thread has done it.
struct VirtualProgrammer::Impl : LinkServer {
    std::string pipePath;
    std::wstring widePipePath;
    std::wstring notePath;  // empty when the pipe is outside the standard folder

    HANDLE wakeEvent = nullptr;  // auto-reset: a command is waiting
    // Server thread only.
    HANDLE pipe = INVALID_HANDLE_VALUE;
    bool connected = false;
    bool stalled = false;  // the connection's requests are no longer read
    enum class Pending { None, Connect, Read } pending = Pending::None;
    OVERLAPPED io{};  // the pending connect or read; its event is manual-reset
    HANDLE writeEvent = nullptr;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kReceiveBuffer);

    explicit Impl(Options o) : LinkServer(std::move(o)) {
        const std::string directory = options.directory.empty() ? defaultDirectory() : options.directory;
        pipePath = directory + "\\" + options.name;
        widePipePath = qv::wideFromUtf8(pipePath);
        const std::wstring wideName = qv::wideFromUtf8(options.name);
        if (qv::isVirtualPipeName(wideName) && widePipePath == qv::virtualPipePath(wideName)) {
            const std::wstring noteDirectory = qv::virtualPipeNoteDirectory();
            if (!noteDirectory.empty())
                notePath = noteDirectory + L"\\" + wideName;
        }
    }

    void wake() override { SetEvent(wakeEvent); }

    // For a tool that cannot list the pipe namespace (Wine): a note beside the pipe.
    void writeNote() {
        if (notePath.empty())
            return;
        CreateDirectoryW(qv::virtualPipeNoteDirectory().c_str(), nullptr);
        const HANDLE note = CreateFileW(notePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (note == INVALID_HANDLE_VALUE) {
            warn(options.name, "cannot leave a note in " + qv::utf8FromWide(qv::virtualPipeNoteDirectory()) +
                                   " (" + systemError(GetLastError()) + ")");
            return;
        }
        CloseHandle(note);
    }

    bool openListener() override {
        if (!qv::startsWithNoCase(widePipePath, qv::kPipeNamespace)) {
            warn(options.name, pipePath + " is not a pipe path (\\\\.\\pipe\\...)");
            return false;
        }
        // The first instance only: a name already served by another programmer stays with it.
        const HANDLE created = CreateNamedPipeW(
            widePipePath.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
            kReceiveBuffer, kReceiveBuffer, 0, nullptr);
        if (created == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY) {
                warn(options.name, "another programmer already serves " + pipePath);
            } else {
                warn(options.name, "cannot create the pipe " + pipePath + " (" + systemError(error) + ")");
            }
            return false;
        }
        pipe = created;
        connected = false;
        pending = Pending::None;
        writeNote();
        return true;
    }

    // Ends a pending connect or read; when this returns, io and the buffer are free.
    void cancelPending() {
        if (pending == Pending::None)
            return;
        CancelIoEx(pipe, &io);
        DWORD ignored = 0;
        GetOverlappedResult(pipe, &io, &ignored, TRUE);
        pending = Pending::None;
    }

    // The tool's connection ends; the pipe waits for the next one.
    void closeConnection() override {
        cancelPending();
        if (connected)
            DisconnectNamedPipe(pipe);
        connected = false;
        stalled = false;
    }

    // Unplugging: the note goes first, then closing the pipe ends the connection and the name at
    // once. A reply already sent stays readable by the tool until it has read it.
    void closeListener() override {
        if (pipe == INVALID_HANDLE_VALUE)
            return;
        if (!notePath.empty())
            DeleteFileW(notePath.c_str());
        cancelPending();
        CloseHandle(pipe);
        pipe = INVALID_HANDLE_VALUE;
        connected = false;
        stalled = false;
    }

    // No read is started on a stalled connection; the tool hanging up is seen by peeking.
    void stallConnection() override { stalled = true; }

    // Server thread: false once the connected tool has closed its end.
    bool toolStillConnected() const {
        if (PeekNamedPipe(pipe, nullptr, 0, nullptr, nullptr, nullptr))
            return true;
        const DWORD error = GetLastError();
        return error != ERROR_BROKEN_PIPE && error != ERROR_PIPE_NOT_CONNECTED;
    }

    // Server thread: starts waiting for a tool, or for the next request of the connected one.
    void startIo() {
        if (pending != Pending::None)
            return;
        ResetEvent(io.hEvent);
        const HANDLE event = io.hEvent;
        io = OVERLAPPED{};
        io.hEvent = event;
        if (!connected) {
            if (ConnectNamedPipe(pipe, &io)) {
                pending = Pending::Connect;  // done; the event is set
                return;
            }
            const DWORD error = GetLastError();
            if (error == ERROR_PIPE_CONNECTED) {
                connected = true;
            } else if (error == ERROR_IO_PENDING) {
                pending = Pending::Connect;
                return;
            } else {
                // A tool that connected and left before it was seen.
                DisconnectNamedPipe(pipe);
                return;
            }
        }
        if (!ReadFile(pipe, buffer.data(), DWORD(buffer.size()), nullptr, &io)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) {
                closeConnection();  // the tool hung up
                return;
            }
        }
        pending = Pending::Read;
    }

    // Server thread, stateMutex held: the pending connect or read has completed.
    void finishIo(std::unique_lock<std::mutex>& lock) {
        DWORD transferred = 0;
        const BOOL ok = GetOverlappedResult(pipe, &io, &transferred, FALSE);
        const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        const Pending was = pending;
        pending = Pending::None;
        if (was == Pending::Connect) {
            if (ok || error == ERROR_PIPE_CONNECTED) {
                connected = true;
            } else {
                DisconnectNamedPipe(pipe);
            }
            return;
        }
        if (ok && transferred > 0) {
            handleRequest(lock, buffer.data(), transferred);
        } else if (!ok && error == ERROR_MORE_DATA) {
            discardRestOfMessage();
            handleRequest(lock, buffer.data(), transferred);
        } else if (!ok) {
            closeConnection();  // the tool hung up
        }
    }

    // A request longer than the buffer: the rest of the message is already in the pipe.
    void discardRestOfMessage() {
        std::vector<uint8_t> scratch(kReceiveBuffer);
        for (;;) {
            ResetEvent(io.hEvent);
            const HANDLE event = io.hEvent;
            io = OVERLAPPED{};
            io.hEvent = event;
            DWORD transferred = 0;
            BOOL ok = ReadFile(pipe, scratch.data(), DWORD(scratch.size()), nullptr, &io);
            if (!ok && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA)
                return;
            ok = GetOverlappedResult(pipe, &io, &transferred, TRUE);
            if (ok || GetLastError() != ERROR_MORE_DATA)
                return;
        }
    }

    // A tool that stops reading must not hold the server (and with it unplug) forever, so the
    // write is waited out in steps.
    bool sendReply(std::unique_lock<std::mutex>& lock, const std::vector<uint8_t>& reply) override {
        OVERLAPPED write{};
        ResetEvent(writeEvent);
        write.hEvent = writeEvent;
        if (!WriteFile(pipe, reply.data(), DWORD(reply.size()), nullptr, &write) &&
            GetLastError() != ERROR_IO_PENDING)
            return false;
        DWORD written = 0;
        for (;;) {
            lock.unlock();
            const DWORD woken = WaitForSingleObject(writeEvent, kPollMillis);
            lock.lock();
            if (woken == WAIT_OBJECT_0)
                break;
            if (commandPending()) {
                CancelIoEx(pipe, &write);
                GetOverlappedResult(pipe, &write, &written, TRUE);
                return false;
            }
        }
        return GetOverlappedResult(pipe, &write, &written, FALSE) && written == reply.size();
    }

    void serveLink(std::unique_lock<std::mutex>& lock) override {
        if (stalled) {
            lock.unlock();
            WaitForSingleObject(wakeEvent, kPollMillis);
            lock.lock();
            if (!commandPending() && !toolStillConnected())
                closeConnection();  // the tool hung up
            return;
        }
        startIo();
        if (pending == Pending::None) {
            // Nothing could be started (a tool left as it came): a short pause keeps a pipe
            // that keeps failing from spinning this thread.
            lock.unlock();
            WaitForSingleObject(wakeEvent, 10);
            lock.lock();
            return;
        }
        const HANDLE events[2] = {wakeEvent, io.hEvent};
        lock.unlock();
        const DWORD woken = WaitForMultipleObjects(2, events, FALSE, kPollMillis);
        lock.lock();
        // A command comes first; the transfer stays pending (its event stays set) meanwhile.
        if (woken == WAIT_OBJECT_0 + 1 && !commandPending())
            finishIo(lock);
    }

    bool saveFile(const std::string& path, const std::vector<uint8_t>& data) override {
        std::ofstream out(qv::wideFromUtf8(path).c_str(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
        out.close();
        return bool(out);
    }
};

VirtualProgrammer::VirtualProgrammer(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    impl_->io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    impl_->writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!impl_->wakeEvent || !impl_->io.hEvent || !impl_->writeEvent)
        warn(impl_->name(), "cannot create events (" + systemError(GetLastError()) + ")");
    impl_->start();
    plug();
}

VirtualProgrammer::~VirtualProgrammer() {
    impl_->stop();
    for (HANDLE event : {impl_->wakeEvent, impl_->io.hEvent, impl_->writeEvent}) {
        if (event)
            CloseHandle(event);
    }
    impl_->saveMemories();
}

bool VirtualProgrammer::plug() {
    return impl_->plug();
}

void VirtualProgrammer::unplug() {
    impl_->unplug();
}

bool VirtualProgrammer::plugged() const {
    return impl_->isPlugged();
}

std::string VirtualProgrammer::devicePath() const {
    return "virtual:" + impl_->pipePath;
}

std::string VirtualProgrammer::socketPath() const {
    return impl_->pipePath;
}

void VirtualProgrammer::withModel(const std::function<void(DeviceModel&)>& fn) {
    impl_->withModel(fn);
}

bool VirtualProgrammer::waitPlugged(int timeoutMs) {
    return impl_->waitPlugged(timeoutMs);
}

}  // namespace vprog
