// The virtual programmer's link server on Windows: a message-mode named pipe
// \\.\pipe\qv310-isp\NAME with a single instance, so one tool at a time is served and a second
// one finds the pipe busy, as a box that is already open cannot be opened twice. Unplugging
// closes the pipe, which ends the connection and takes the name out of the pipe namespace.
#include "vprog/VirtualProgrammer.h"

#include "usb/VirtualPipe.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace vprog {

namespace {

using Clock = std::chrono::steady_clock;

// Large enough for the biggest request (4110 bytes) with room to spare: a longer message is
// truncated and then refused by the model for its wrong size.
constexpr DWORD kReceiveBuffer = 8192;
constexpr DWORD kPollMillis = 100;
constexpr auto kRestartPause = std::chrono::milliseconds(1000);

void warn(const std::string& name, const std::string& what) {
    std::fprintf(stderr, "qv310-vprog %s: %s\n", name.c_str(), what.c_str());
}

std::string hexLine(const uint8_t* data, size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(length * 3);
    for (size_t i = 0; i < length; ++i) {
        if (i)
            out += ' ';
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

std::string systemError(DWORD code) {
    return "error " + std::to_string(code);
}

}  // namespace

std::string defaultDirectory() {
    std::wstring folder = std::wstring(qv::kPipeNamespace) + qv::kVirtualPipeFolder;
    folder.pop_back();
    return qv::utf8FromWide(folder);
}

// One server thread owns the pipe and every transfer on it; plug() and unplug() only post what
// they want and wait until the thread has done it.
struct VirtualProgrammer::Impl {
    Options options;
    std::string pipePath;
    std::wstring widePipePath;
    std::wstring notePath;  // empty when the pipe is outside the standard folder

    std::mutex modelMutex;
    DeviceModel model;

    std::mutex stateMutex;
    std::condition_variable stateChanged;
    bool wantPlugged = false;
    bool plugged = false;
    bool quit = false;
    bool restartPending = false;
    Clock::time_point restartAt;
    uint64_t plugRequests = 0;  // plug() calls so far
    uint64_t plugAnswers = 0;   // plug() calls the server has tried

    HANDLE wakeEvent = nullptr;  // auto-reset: a command is waiting
    // Server thread only.
    HANDLE pipe = INVALID_HANDLE_VALUE;
    bool connected = false;
    enum class Pending { None, Connect, Read } pending = Pending::None;
    OVERLAPPED io{};  // the pending connect or read; its event is manual-reset
    HANDLE writeEvent = nullptr;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kReceiveBuffer);
    std::thread thread;

    explicit Impl(Options o) : options(std::move(o)), model(options) {
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

    void wake() { SetEvent(wakeEvent); }

    // Server thread, stateMutex held: something for the thread to do other than serving.
    bool commandPending() const {
        return quit || (wantPlugged && !plugged && !restartPending) || (!wantPlugged && plugged) ||
               plugRequests != plugAnswers;
    }

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

    bool openListener() {
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
    void closeConnection() {
        cancelPending();
        if (connected)
            DisconnectNamedPipe(pipe);
        connected = false;
    }

    // Unplugging: the note goes first, then closing the pipe ends the connection and the name at
    // once. A reply already sent stays readable by the tool until it has read it.
    void closeListener() {
        if (pipe == INVALID_HANDLE_VALUE)
            return;
        if (!notePath.empty())
            DeleteFileW(notePath.c_str());
        cancelPending();
        CloseHandle(pipe);
        pipe = INVALID_HANDLE_VALUE;
        connected = false;
    }

    void trace(const char* direction, const uint8_t* data, size_t length) {
        if (!options.trace)
            return;
        std::fprintf(stderr, "%s %s %s\n", options.name.c_str(), direction, hexLine(data, length).c_str());
    }

    // Waits up to delay unless a command (unplug, quit) arrives first; true when it ran out.
    bool pause(std::unique_lock<std::mutex>& lock, uint64_t delayMicros) {
        if (delayMicros == 0)
            return true;
        return !stateChanged.wait_for(lock, std::chrono::microseconds(delayMicros),
                                      [this] { return commandPending(); });
    }

    // Server thread, stateMutex held: does what plug()/unplug() asked.
    void applyCommands() {
        bool changed = false;
        if (plugRequests != plugAnswers) {
            restartPending = false;
            if (!plugged) {
                plugged = openListener();
                wantPlugged = plugged;
            }
            plugAnswers = plugRequests;
            changed = true;
        }
        if (!wantPlugged && (plugged || restartPending)) {
            closeListener();
            plugged = false;
            restartPending = false;
            changed = true;
        }
        if (restartPending && Clock::now() >= restartAt) {
            restartPending = false;
            plugged = openListener();
            wantPlugged = plugged;
            changed = true;
        }
        if (changed)
            stateChanged.notify_all();
    }

    // Server thread, stateMutex held: the programmer leaves the bus.
    void vanish(bool comesBack) {
        closeListener();
        plugged = false;
        if (comesBack) {
            restartPending = true;
            restartAt = Clock::now() + kRestartPause;
        } else {
            wantPlugged = false;
        }
        stateChanged.notify_all();
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
            serveRequest(lock, transferred);
        } else if (!ok && error == ERROR_MORE_DATA) {
            discardRestOfMessage();
            serveRequest(lock, transferred);
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

    // Server thread, stateMutex held: sends one reply message. A tool that stops reading must
    // not hold the server (and with it unplug) forever, so the write is waited out in steps.
    bool sendReply(std::unique_lock<std::mutex>& lock, const std::vector<uint8_t>& reply) {
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

    void serveRequest(std::unique_lock<std::mutex>& lock, DWORD length) {
        trace("<-", buffer.data(), length);
        DeviceModel::Response response;
        {
            std::lock_guard<std::mutex> modelLock(modelMutex);
            response = model.handle(buffer.data(), length);
        }
        if (!pause(lock, response.delayMicros))
            return;  // unplugged while the box was busy

        switch (response.outcome) {
            case DeviceModel::Outcome::NoReply:
                return;
            case DeviceModel::Outcome::Unplug:
                vanish(false);
                return;
            case DeviceModel::Outcome::Reply:
            case DeviceModel::Outcome::Restart:
                break;
        }
        trace("->", response.reply.data(), response.reply.size());
        if (!sendReply(lock, response.reply)) {
            closeConnection();
            return;
        }
        if (response.outcome == DeviceModel::Outcome::Restart)
            vanish(true);
    }

    void run() {
        std::unique_lock<std::mutex> lock(stateMutex);
        while (true) {
            applyCommands();
            if (quit)
                break;
            if (!plugged) {
                if (restartPending) {
                    stateChanged.wait_until(lock, restartAt, [this] { return commandPending(); });
                } else {
                    stateChanged.wait(lock, [this] { return commandPending(); });
                }
                continue;
            }
            startIo();
            if (pending == Pending::None) {
                // Nothing could be started (a tool left as it came): a short pause keeps a pipe
                // that keeps failing from spinning this thread.
                lock.unlock();
                WaitForSingleObject(wakeEvent, 10);
                lock.lock();
                continue;
            }
            const HANDLE events[2] = {wakeEvent, io.hEvent};
            lock.unlock();
            const DWORD woken = WaitForMultipleObjects(2, events, FALSE, kPollMillis);
            lock.lock();
            // A command comes first; the transfer stays pending (its event stays set) meanwhile.
            if (woken == WAIT_OBJECT_0 + 1 && !commandPending())
                finishIo(lock);
        }
        closeListener();
        plugged = false;
        stateChanged.notify_all();
    }

    // The paths are read from the model's options, so they may still be set or cleared while
    // the programmer runs.
    void saveMemories() {
        std::lock_guard<std::mutex> modelLock(modelMutex);
        const Options& current = model.options();
        const struct {
            const std::string& path;
            const std::vector<uint8_t>& data;
        } dumps[] = {{current.dumpCodePath, model.codeFlash()},
                     {current.dumpSpiPath, model.spiFlash()},
                     {current.dumpFirmwarePath, model.firmwareArea()}};
        for (const auto& dump : dumps) {
            if (dump.path.empty())
                continue;
            std::ofstream out(qv::wideFromUtf8(dump.path).c_str(), std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(dump.data.data()), std::streamsize(dump.data.size()));
            out.close();
            if (!out)
                warn(options.name, "cannot save " + dump.path);
        }
    }
};

VirtualProgrammer::VirtualProgrammer(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    impl_->io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    impl_->writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!impl_->wakeEvent || !impl_->io.hEvent || !impl_->writeEvent)
        warn(impl_->options.name, "cannot create events (" + systemError(GetLastError()) + ")");
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
    plug();
}

VirtualProgrammer::~VirtualProgrammer() {
    {
        std::lock_guard<std::mutex> lock(impl_->stateMutex);
        impl_->quit = true;
        impl_->stateChanged.notify_all();
    }
    impl_->wake();
    impl_->thread.join();
    for (HANDLE event : {impl_->wakeEvent, impl_->io.hEvent, impl_->writeEvent}) {
        if (event)
            CloseHandle(event);
    }
    impl_->saveMemories();
}

bool VirtualProgrammer::plug() {
    std::unique_lock<std::mutex> lock(impl_->stateMutex);
    if (impl_->plugged)
        return true;
    const uint64_t ticket = ++impl_->plugRequests;
    impl_->stateChanged.notify_all();
    impl_->wake();
    impl_->stateChanged.wait(lock, [&] { return impl_->plugAnswers >= ticket || impl_->quit; });
    return impl_->plugged;
}

void VirtualProgrammer::unplug() {
    std::unique_lock<std::mutex> lock(impl_->stateMutex);
    impl_->wantPlugged = false;
    impl_->stateChanged.notify_all();
    impl_->wake();
    impl_->stateChanged.wait(lock,
                             [&] { return (!impl_->plugged && !impl_->restartPending) || impl_->quit; });
}

bool VirtualProgrammer::plugged() const {
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    return impl_->plugged;
}

std::string VirtualProgrammer::devicePath() const {
    return "virtual:" + impl_->pipePath;
}

std::string VirtualProgrammer::socketPath() const {
    return impl_->pipePath;
}

void VirtualProgrammer::withModel(const std::function<void(DeviceModel&)>& fn) {
    std::lock_guard<std::mutex> lock(impl_->modelMutex);
    fn(impl_->model);
}

bool VirtualProgrammer::waitPlugged(int timeoutMs) {
    std::unique_lock<std::mutex> lock(impl_->stateMutex);
    return impl_->stateChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                        [this] { return impl_->plugged; });
}

}  // namespace vprog
