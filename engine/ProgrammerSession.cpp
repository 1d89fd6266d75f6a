#include "ProgrammerSession.h"

#include <algorithm>
#include <optional>
#include <thread>

namespace qv::engine {

namespace {

// How an operation is run and read back: the path field its button reads (none: the file comes
// from its dialog), the button's body, where it leaves its result and, for writes, its block
// counts. The result starts as the operation's kNotRun, which all three kinds share.
struct OperationEntry {
    Command command;
    std::optional<TextField> pathField;
    void (*press)(ProgrammerSession&);
    int& (*lastResult)(ProgrammerSession&);
    BlockCounts* (*blockCounts)(ProgrammerSession&);
};

static_assert(TargetOperations::kNotRun == UiFlashOperations::kNotRun &&
              TargetOperations::kNotRun == FirmwareUpdate::kNotRun);
constexpr int kNotRun = TargetOperations::kNotRun;

int& targetResult(ProgrammerSession& s) { return s.target.lastResult; }
int& uiResult(ProgrammerSession& s) { return s.ui.lastResult; }
int& firmwareResult(ProgrammerSession& s) { return s.firmware.lastResult; }
BlockCounts* targetCounts(ProgrammerSession& s) { return &s.target.blockCounts; }
BlockCounts* uiCounts(ProgrammerSession& s) { return &s.ui.blockCounts; }

const OperationEntry kOperations[] = {
    {Command::ProgramBoot, TextField::BootPath, [](ProgrammerSession& s) { s.target.programBootCode(); },
     targetResult, targetCounts},
    {Command::VerifyBoot, TextField::BootPath, [](ProgrammerSession& s) { s.target.verifyBootCode(); },
     targetResult, nullptr},
    {Command::ProgramMcu, TextField::McuPath, [](ProgrammerSession& s) { s.target.programMcuCode(); },
     targetResult, targetCounts},
    {Command::VerifyMcu, TextField::McuPath, [](ProgrammerSession& s) { s.target.verifyMcuCode(); },
     targetResult, nullptr},
    {Command::WriteUi, TextField::UiPath, [](ProgrammerSession& s) { s.ui.updateUi(); }, uiResult, uiCounts},
    {Command::CheckUi, TextField::UiPath, [](ProgrammerSession& s) { s.ui.checkUi(); }, uiResult, nullptr},
    {Command::UpdateFirmware, std::nullopt, [](ProgrammerSession& s) { s.firmware.updateApplication(); },
     firmwareResult, nullptr},
    {Command::UpdateBoot, std::nullopt, [](ProgrammerSession& s) { s.firmware.updateBootLoader(); },
     firmwareResult, nullptr},
};

}  // namespace

ProgrammerSession::ProgrammerSession(OperationHost& host, Pacing pacing)
    : fileHost_(host), link(worker, device, fileHost_, pacing), target(link), ui(link, target), firmware(link) {
    worker.device = &device;
}

ProgrammerSession::~ProgrammerSession() {
    close();
}

ProgrammerLink::OpenOutcome ProgrammerSession::open(const QString& path) {
    fileHost_.messages.clear();
    if (interrupted())
        return ProgrammerLink::OpenOutcome::NoDevice;
    const ProgrammerLink::OpenOutcome outcome = link.openProgrammer(QStringList{path}, 0);
    // An interrupt that came while the device was opening found nothing to close.
    if (interrupted())
        device.close();
    return outcome;
}

void ProgrammerSession::close() {
    worker.stopAndWait();
    device.close();
}

bool ProgrammerSession::reopenAfterRestart(uint32_t boardId, std::chrono::milliseconds timeout, QString& devicePath) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timeout;
    // The programmer goes away and comes back, as a rule under the same path on the same port.
    // Another path is tried only when it was not there when the programmer restarted (the other
    // programmers of a gang are not asked unless they restarted too), and only the board id
    // decides.
    // It leaves the bus first: a path still listed at once belongs to the old run of its firmware.
    const Clock::time_point goneBy = std::min(deadline, Clock::now() + std::chrono::seconds(2));
    while (Clock::now() < goneBy && !interrupted() && device.findDevices().contains(devicePath))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const QStringList before = device.findDevices();
    while (Clock::now() < deadline && !interrupted()) {
        QStringList candidates;
        for (const QString& path : device.findDevices()) {
            if (path == devicePath)
                candidates.prepend(path);
            else if (!before.contains(path))
                candidates << path;
        }
        for (const QString& path : candidates) {
            if (open(path) == ProgrammerLink::OpenOutcome::Connected && link.boardId == boardId) {
                devicePath = path;
                return true;
            }
            close();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

void ProgrammerSession::interrupt() {
    interrupted_.store(true, std::memory_order_release);
    device.close();
    worker.wake();
}

OperationOutcome ProgrammerSession::run(Command command, const QString& file, const QString& addr) {
    OperationOutcome outcome;
    const OperationEntry* entry = nullptr;
    for (const OperationEntry& e : kOperations) {
        if (e.command == command)
            entry = &e;
    }
    fileHost_.messages.clear();
    if (!entry || interrupted()) {
        outcome.deviceOpen = device.isOpen();
        return outcome;
    }

    if (entry->pathField)
        fileHost_.setText(*entry->pathField, file);
    if (command == Command::ProgramMcu || command == Command::VerifyMcu)
        fileHost_.setText(TextField::McuCodeAddr, addr);
    fileHost_.file = file;
    target.targetStarted.reset();
    int& result = entry->lastResult(*this);
    result = kNotRun;
    if (entry->blockCounts)
        *entry->blockCounts(*this) = BlockCounts();

    entry->press(*this);

    fileHost_.file.clear();
    if (result != kNotRun)
        outcome.result = result;
    if (entry->blockCounts) {
        const BlockCounts counts = *entry->blockCounts(*this);
        if (counts.written + counts.skipped > 0)
            outcome.blocks = counts;
    }
    outcome.targetStarted = target.targetStarted;
    outcome.messages = fileHost_.messages;
    outcome.deviceOpen = device.isOpen();
    outcome.lastRequestAnswered = worker.rxDone.load(std::memory_order_acquire) == 1;
    return outcome;
}

}  // namespace qv::engine
