// The virtual programmer link on Windows, against the real qv310-vprog.exe started as a separate
// process: which pipe names are listed, opening, the 'K' handshake, a write and its CRC check,
// giving up a waiting read, close() from another thread, one tool at a time, and a programmer
// that unplugs in the middle of a transfer. Windows only; the Windows logic test runs it under
// Wine.
#include "ConnectionReport.h"
#include "TestCheck.h"

#include "protocol/Crc32.h"
#include "protocol/Frames.h"
#include "usb/DeviceSearch.h"
#include "vlink/VirtualPipe.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace qv {

namespace {

using testcheck::check;
using testcheck::checkEqual;
using Clock = std::chrono::steady_clock;

long long millisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool listed(const std::string& path) {
    const std::vector<std::string> paths = findVirtualProgrammers();
    return std::find(paths.begin(), paths.end(), path) != paths.end();
}

// Polls until the condition holds or the time is up, as the tool's one-second poll would.
bool eventually(const std::function<bool()>& condition, int timeoutMs) {
    const auto start = Clock::now();
    while (!condition()) {
        if (millisSince(start) > timeoutMs)
            return false;
        Sleep(50);
    }
    return true;
}

// qv310-vprog.exe --name NAME as a process of its own; ended when destroyed, without a chance
// to unplug, so the note it leaves behind is removed here.
class VprogProcess {
  public:
    VprogProcess(const std::wstring& program, const std::wstring& name, const std::wstring& arguments)
        : name_(name) {
        std::wstring commandLine = L"\"" + program + L"\" --name " + name + L" " + arguments;
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        quiet_ = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = quiet_;  // its banner would break up the test's report
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        started_ = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &process_) != FALSE;
    }
    ~VprogProcess() {
        if (started_) {
            TerminateProcess(process_.hProcess, 9);
            WaitForSingleObject(process_.hProcess, 5000);
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
            DeleteFileW((virtualPipeNoteDirectory() + L"\\" + name_).c_str());
        }
        if (quiet_ != INVALID_HANDLE_VALUE)
            CloseHandle(quiet_);
    }
    VprogProcess(const VprogProcess&) = delete;
    VprogProcess& operator=(const VprogProcess&) = delete;

    bool started() const { return started_; }

  private:
    std::wstring name_;
    PROCESS_INFORMATION process_{};
    HANDLE quiet_ = INVALID_HANDLE_VALUE;
    bool started_ = false;
};

// One request and its reply; the reply's length, or the transfer's failure.
int32_t exchange(UsbTransport& transport, const uint8_t* tx, uint32_t length, uint8_t* rx) {
    if (transport.write(tx, length, nullptr) != 1)
        return -1;
    return transport.read(rx, nullptr);
}

bool handshake(UsbTransport& transport, const std::string& what) {
    uint8_t tx[frame::kCommandFrameLength];
    uint8_t rx[kReadSize] = {};
    const int32_t received = exchange(transport, tx, frame::buildConnectFrame(tx), rx);
    const diag::ConnectionReport report =
        diag::readConnectionReply(rx, received < 0 ? 0 : uint32_t(received));
    const bool ok = received == 36 && report.status == diag::ReplyStatus::Connected &&
                    report.appVersion == 0x20190528 && report.boardMcu == 0x19710310;
    check(ok, what + ": 'K' answers a normal-work connection reply (" + std::to_string(received) + " bytes)");
    return ok;
}

void nameTests() {
    const struct {
        const wchar_t* entry;
        const wchar_t* name;  // empty: not a virtual programmer
    } cases[] = {
        {L"qv310-isp\\bench", L"bench"},
        {L"QV310-ISP\\Bench", L"Bench"},  // pipe names ignore case
        {L"qv310-isp\\\x4e2d\x6587", L"\x4e2d\x6587"},
        {L"qv310-isp\\", L""},
        {L"qv310-isp\\a\\b", L""},
        {L"qv310-isp\\..", L""},
        {L"qv310-isp-other\\a", L""},
        {L"qv310-ispa", L""},
        {L"other\\qv310-isp\\a", L""},
        {L"mojo.1234.5678.1", L""},
        {L"", L""},
    };
    for (const auto& c : cases) {
        check(virtualPipeNameOf(c.entry) == c.name, "pipe namespace entry \"" + utf8FromWide(c.entry) +
                                                        "\" gives the name \"" + utf8FromWide(c.name) + "\"");
    }
    check(!isVirtualPipeName(std::wstring(201, L'a')), "an overlong pipe name is no virtual programmer");
}

// Paths that are no virtual programmer's pipe are never opened, and so never written to.
void openRefusalTests(const std::wstring& tag) {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::string file = utf8FromWide(std::wstring(windows) + L"\\win.ini");
    for (const std::string& path :
         {std::string("virtual:"), std::string("virtual:") + file, std::string("virtual:\\\\.\\pipe\\"),
          std::string("virtual:\\\\.\\pipe\\qv310-isp\\none-") + utf8FromWide(tag)}) {
        std::unique_ptr<UsbTransport> transport = makeTransportFor(path);
        check(transport && !transport->open(path), "\"" + path + "\" does not open");
    }
    // A byte-stream pipe of the right name keeps no message borders: not a virtual programmer.
    const std::wstring bytesPath = virtualPipePath(L"bytes-" + tag);
    const HANDLE bytes = CreateNamedPipeW(bytesPath.c_str(), PIPE_ACCESS_DUPLEX,
                                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE, 1, 512, 512, 0, nullptr);
    check(bytes != INVALID_HANDLE_VALUE, "a byte-stream pipe is created for the test");
    if (bytes != INVALID_HANDLE_VALUE) {
        const std::string path = kVirtualPathPrefix + utf8FromWide(bytesPath);
        check(!makeTransportFor(path)->open(path),
              "a byte-stream pipe does not open as a virtual programmer");
        CloseHandle(bytes);
    }
}

void listingTests(const std::string& path, const std::wstring& tag) {
    // A foreign pipe beside ours, and the note of a programmer that ended without unplugging.
    const std::wstring foreignPath = std::wstring(kPipeNamespace) + L"qv310-isp-foreign-" + tag;
    const HANDLE foreign =
        CreateNamedPipeW(foreignPath.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                         1, 512, 512, 0, nullptr);
    check(foreign != INVALID_HANDLE_VALUE, "a foreign pipe is created for the test");
    const std::wstring staleName = L"stale-" + tag;
    CreateDirectoryW(virtualPipeNoteDirectory().c_str(), nullptr);
    const std::wstring stalePath = virtualPipeNoteDirectory() + L"\\" + staleName;
    const HANDLE note = CreateFileW(stalePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    check(note != INVALID_HANDLE_VALUE, "a stale note is left for the test");
    if (note != INVALID_HANDLE_VALUE)
        CloseHandle(note);

    const std::vector<std::string> paths = findVirtualProgrammers();
    check(std::find(paths.begin(), paths.end(), path) != paths.end(),
          "the running qv310-vprog is listed as " + path);
    bool onlyOurs = true;
    for (const std::string& listedPath : paths) {
        if (listedPath.rfind("virtual:\\\\.\\pipe\\qv310-isp\\", 0) != 0 ||
            listedPath.find(utf8FromWide(staleName)) != std::string::npos) {
            onlyOurs = false;
            check(false, "not a running virtual programmer, yet listed: " + listedPath);
        }
    }
    check(onlyOurs,
          "only running virtual programmers are listed (" + std::to_string(paths.size()) + " listed)");
    check(std::is_sorted(paths.begin(), paths.end()), "virtual programmers are listed by name");

    DeleteFileW(stalePath.c_str());
    if (foreign != INVALID_HANDLE_VALUE)
        CloseHandle(foreign);
}

void transferTests(const std::string& path) {
    std::unique_ptr<UsbTransport> transport = makeTransportFor(path);
    if (!transport || !transport->open(path)) {
        check(false, "the virtual programmer opens");
        return;
    }
    check(true, "the virtual programmer opens");
    {
        std::unique_ptr<UsbTransport> second = makeTransportFor(path);
        check(!second->open(path), "a second tool cannot open a virtual programmer that is in use");
    }
    if (!handshake(*transport, "first connection"))
        return;

    // A write, then CRC checks over what was written: the right CRC matches, a wrong one not.
    std::vector<uint8_t> payload(300);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = uint8_t(i * 7 + 3);
    uint8_t tx[4160];
    uint8_t rx[kReadSize];
    int32_t received = exchange(
        *transport, tx, frame::buildDataFrame(tx, frame::kWriteData, 0x1000, payload.data(), 300), rx);
    check(received == 13 && frame::checkShortReply(rx, 13, frame::replyLetter(frame::kWriteData)).verdict ==
                                frame::ReplyVerdict::Ok,
          "a data write of 300 bytes is answered 'V'");
    const uint32_t crc = crc32zero(payload.data(), payload.size());
    for (const uint32_t expected : {crc, crc ^ 1u}) {
        received = exchange(*transport, tx,
                            frame::buildCrcCheckFrame(tx, frame::kCheckData, 0x1000, 300, expected), rx);
        const bool match = expected == crc;
        check(
            received == 13 &&
                frame::checkShortReply(rx, 13, frame::replyLetter(frame::kCheckData)).verdict ==
                    frame::ReplyVerdict::Ok &&
                frame::getBe32(rx + 4) == crc && (rx[8] == 0) == match,
            std::string("the CRC check of the written bytes ") + (match ? "matches" : "reports a mismatch"));
    }

    // A read with nothing to come gives up once asked to, and the link stays usable.
    std::atomic<uint8_t> abandon{0};
    int32_t result = 0;
    auto start = Clock::now();
    std::atomic<bool> returned{false};
    std::thread reader([&] {
        result = transport->read(rx, &abandon);
        returned.store(true);
    });
    Sleep(300);
    abandon.store(1);
    // A read that ignores the request is ended by close(), so the test itself never hangs.
    if (!eventually([&] { return returned.load(); }, 3000))
        transport->close();
    reader.join();
    checkEqual(uint32_t(result), uint32_t(kReadAbandoned), "a waiting read gives up when abandoned");
    check(millisSince(start) < 2000, "it gives up promptly (" + std::to_string(millisSince(start)) + " ms)");
    abandon.store(0);
    handshake(*transport, "after an abandoned read");

    // close() on another thread ends a waiting read at once; later transfers fail.
    start = Clock::now();
    reader = std::thread([&] { result = transport->read(rx, nullptr); });
    Sleep(300);
    transport->close();
    reader.join();
    check(result == -1, "close() makes a waiting read fail (" + std::to_string(result) + ")");
    check(millisSince(start) < 2000, "it fails promptly (" + std::to_string(millisSince(start)) + " ms)");
    check(transport->write(tx, frame::buildConnectFrame(tx), nullptr) != 1, "a write after close() fails");
    transport.reset();

    // The programmer takes the next tool once the first has gone.
    bool reopened = false;
    eventually(
        [&] {
            transport = makeTransportFor(path);
            reopened = transport->open(path);
            return reopened;
        },
        3000);
    check(reopened, "the virtual programmer opens again after the first tool closed");
    if (reopened)
        handshake(*transport, "second connection");
}

// The programmer unplugs when the second request arrives: that request's read fails, a later
// write fails, and the programmer leaves the list.
void unplugTests(const std::string& path) {
    std::unique_ptr<UsbTransport> transport = makeTransportFor(path);
    if (!transport || !transport->open(path)) {
        check(false, "the virtual programmer that will unplug opens");
        return;
    }
    if (!handshake(*transport, "before the unplug"))
        return;
    uint8_t tx[4160];
    uint8_t rx[kReadSize];
    const uint8_t payload[64] = {1, 2, 3};
    const uint32_t length = frame::buildDataFrame(tx, frame::kWriteData, 0x2000, payload, sizeof payload);
    const bool written = transport->write(tx, length, nullptr) == 1;
    const int32_t received = written ? transport->read(rx, nullptr) : -1;
    check(received == -1, "the transfer during which the programmer unplugs fails");
    check(transport->write(tx, length, nullptr) != 1, "a write to the vanished pipe fails");
    check(eventually([&] { return !listed(path); }, 3000), "the unplugged programmer leaves the list");
    std::unique_ptr<UsbTransport> again = makeTransportFor(path);
    check(!again->open(path), "the unplugged programmer no longer opens");
}

// The programmer is busy programming flash for a while; the tool meanwhile sends request after
// request until the pipe is full and a write has to wait. The programmer then unplugs at a
// later request: the waiting write fails instead of hanging.
void unplugDuringWriteTests(const std::string& path) {
    std::unique_ptr<UsbTransport> transport = makeTransportFor(path);
    if (!transport || !transport->open(path)) {
        check(false, "the slow virtual programmer opens");
        return;
    }
    if (!handshake(*transport, "slow programmer"))
        return;
    std::vector<uint8_t> payload(frame::kMaxPayload, 0x5A);
    uint8_t tx[4160];
    const uint32_t length =
        frame::buildDataFrame(tx, frame::kWriteData, 0, payload.data(), frame::kMaxPayload);
    int failedAt = -1;
    long long longestWriteMs = 0;
    const auto start = Clock::now();
    for (int i = 0; i < 12 && failedAt < 0; ++i) {
        const auto writeStart = Clock::now();
        if (transport->write(tx, length, nullptr) != 1)
            failedAt = i;
        longestWriteMs = std::max(longestWriteMs, millisSince(writeStart));
    }
    check(failedAt >= 0, "a write fails once the programmer has unplugged (failed at write " +
                             std::to_string(failedAt) + ")");
    check(longestWriteMs >= 300,
          "a write waited for room in the pipe (longest " + std::to_string(longestWriteMs) + " ms)");
    check(millisSince(start) < 8000,
          "the waiting write ended with the unplug (" + std::to_string(millisSince(start)) + " ms in all)");
}

// A finished firmware update: the programmer answers, drops the connection, leaves the list and
// comes back about a second later running the new application version.
void restartTests(const std::string& path) {
    std::unique_ptr<UsbTransport> transport = makeTransportFor(path);
    if (!transport || !transport->open(path) || !handshake(*transport, "before the firmware update")) {
        check(false, "the virtual programmer to be updated opens");
        return;
    }
    uint8_t tx[4160];
    uint8_t rx[kReadSize];
    uint8_t chunk[16] = {};
    frame::putBe24(chunk, 0x210315);  // the image's version, at offset 0x1000
    int32_t received = exchange(
        *transport, tx, frame::buildDataFrame(tx, frame::kWriteFirmware, 0x1000, chunk, sizeof chunk), rx);
    check(
        received == 13 && frame::checkShortReply(rx, 13, frame::replyLetter(frame::kWriteFirmware)).verdict ==
                              frame::ReplyVerdict::Ok,
        "a firmware chunk is answered 'Z'");
    received = exchange(*transport, tx, frame::buildFinishFrame(tx, 1), rx);
    check(received == 13 &&
              frame::checkShortReply(rx, 13, frame::replyLetter(frame::kFinishFirmware)).verdict ==
                  frame::ReplyVerdict::Ok,
          "finishing the update is answered '_' before the programmer restarts");
    check(transport->read(rx, nullptr) == -1, "the connection ends with the restart");
    transport.reset();
    check(eventually([&] { return !listed(path); }, 3000), "the restarting programmer leaves the list");
    check(eventually([&] { return listed(path); }, 5000), "it comes back");
    transport = makeTransportFor(path);
    if (!transport->open(path)) {
        check(false, "the restarted programmer opens");
        return;
    }
    uint8_t connect[frame::kCommandFrameLength];
    received = exchange(*transport, connect, frame::buildConnectFrame(connect), rx);
    const diag::ConnectionReport report =
        diag::readConnectionReply(rx, received < 0 ? 0 : uint32_t(received));
    check(report.status == diag::ReplyStatus::Connected && report.appVersion == 0x20210315,
          "after the restart it runs the new application version (" + diag::hexNumber(report.appVersion, 8) +
              ")");
}

std::wstring besideThisProgram(const std::wstring& relative) {
    wchar_t self[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring directory(self, length);
    directory.erase(directory.find_last_of(L"\\/") + 1);
    return directory + relative;
}

}  // namespace

void virtualPipeTests(const std::wstring& vprogRelativePath) {
    nameTests();
    const std::wstring tag = std::to_wstring(GetCurrentProcessId());
    openRefusalTests(tag);

    const std::wstring program = besideThisProgram(vprogRelativePath);
    const bool found = GetFileAttributesW(program.c_str()) != INVALID_FILE_ATTRIBUTES;
    check(found, "qv310-vprog.exe is found at " + utf8FromWide(program));
    if (!found)
        return;

    {
        const std::wstring name = L"logic-" + tag;
        const std::string path = kVirtualPathPrefix + utf8FromWide(virtualPipePath(name));
        VprogProcess vprog(program, name, L"");
        check(vprog.started(), "qv310-vprog.exe starts");
        check(eventually([&] { return listed(path); }, 10000), "qv310-vprog.exe shows up as " + path);
        listingTests(path, tag);
        transferTests(path);
    }
    {
        const std::wstring name = L"unplug-" + tag;
        const std::string path = kVirtualPathPrefix + utf8FromWide(virtualPipePath(name));
        VprogProcess vprog(program, name, L"--fault unplug --fault-at 2");
        check(vprog.started() && eventually([&] { return listed(path); }, 10000),
              "qv310-vprog.exe --fault unplug shows up as " + path);
        unplugTests(path);
    }
    {
        const std::wstring name = L"update-" + tag;
        const std::string path = kVirtualPathPrefix + utf8FromWide(virtualPipePath(name));
        VprogProcess vprog(program, name, L"");
        check(vprog.started() && eventually([&] { return listed(path); }, 10000),
              "qv310-vprog.exe for the firmware update shows up as " + path);
        restartTests(path);
    }
    {
        // Every 4 KiB write takes the programmer a second; it unplugs at the fifth request.
        const std::wstring name = L"slow-" + tag;
        const std::string path = kVirtualPathPrefix + utf8FromWide(virtualPipePath(name));
        VprogProcess vprog(program, name, L"--flash-program-us 1000000 --fault unplug --fault-at 5");
        check(vprog.started() && eventually([&] { return listed(path); }, 10000),
              "qv310-vprog.exe --flash-program-us shows up as " + path);
        unplugDuringWriteTests(path);
    }
}

}  // namespace qv
