#include "ProgrammerSession.h"

#include "protocol/Crc32.h"
#include "protocol/FirmwareImage.h"
#include "targetcode/CodeImage.h"
#include "uiflash/UiOperations.h"

#include <algorithm>
#include <optional>
#include <thread>
#include <vector>

namespace qv::engine {

namespace {

const uint8_t* bytesOf(const QByteArray& data) {
    return reinterpret_cast<const uint8_t*>(data.constData());
}

std::vector<uint8_t> vectorOf(const QByteArray& data) {
    return std::vector<uint8_t>(bytesOf(data), bytesOf(data) + data.size());
}

}  // namespace

ProgrammerSession::ProgrammerSession(Reporter& report, Pacing pacing)
    : relay_(report), link(worker, device, relay_, pacing) {
    worker.device = &device;
}

ProgrammerSession::~ProgrammerSession() {
    close();
}

ProgrammerLink::OpenOutcome ProgrammerSession::open(const QString& path) {
    if (interrupted())
        return ProgrammerLink::OpenOutcome::NoDevice;
    const ProgrammerLink::OpenOutcome outcome = link.openProgrammer(path);
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
            if (open(path) == ProgrammerLink::OpenOutcome::Connected && link.connection().boardId == boardId) {
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

std::optional<WriteResult> ProgrammerSession::runOperation(Command command, const QByteArray& image,
                                                           const OperationOptions& options) {
    Reporter& report = relay_;
    const bool programmer = updatesProgrammer(command);
    if (!device.isOpen()) {
        report.appendLog(!programmer                           ? QStringLiteral("The programmer is disconnected!")
                         : command == Command::UpdateFirmware ? QStringLiteral("The programmer boot is disconnected!")
                                                              : QStringLiteral("The programmer app is disconnected!"));
        return std::nullopt;
    }
    report.clearLog();
    const TargetSettings& target = options.target;
    switch (command) {
        case Command::ProgramBoot:
            return programCode(link, image, 0, options.write, target);
        case Command::ProgramMcu:
            return programCode(link, image, parseHexAddress(options.addr) & ~uint32_t(0xFFF), options.write, target);
        case Command::VerifyBoot:
        case Command::VerifyMcu:
            report.appendLog(QString());
            report.appendLog(QString());
            return verifyCode(link, command == Command::VerifyMcu ? CodeKind::Mcu : CodeKind::Boot,
                              crc32zero(bytesOf(image), size_t(image.size())), int32_t(image.size()), target);
        case Command::WriteUi:
            if (options.diff) {
                logDiffCrcs(report, checkDiffFile(bytesOf(image), size_t(image.size())));
                return updateUiFromDiff(link, vectorOf(image), options.write, target);
            }
            return updateUiFromImage(link, prepareUiImage(vectorOf(image)), options.write, target);
        case Command::CheckUi: {
            const UiImage ui = prepareUiImage(vectorOf(image));
            return checkUiArea(link, ui.expectedCrc(), int32_t(image.size()), target);
        }
        case Command::UpdateFirmware:
        case Command::UpdateBoot: {
            const firmware::Check check = firmware::checkImage(
                link, command == Command::UpdateFirmware ? firmware::Kind::Application : firmware::Kind::BootLoader,
                image);
            if (!check.writable)
                return std::nullopt;
            return firmware::update(link, image, check.crc);
        }
        default:
            return std::nullopt;
    }
}

OperationOutcome ProgrammerSession::run(Command command, const QByteArray& image, const OperationOptions& options) {
    OperationOutcome outcome;
    relay_.refusals.clear();
    OperationGuard guard(link);
    if (!guard.acquired() || interrupted()) {
        outcome.deviceOpen = device.isOpen();
        return outcome;
    }
    const std::optional<WriteResult> result = runOperation(command, image, options);
    if (result && result->code != WriteResult::kNotRun)
        outcome.result = result->code;
    if (result && result->blocks.written + result->blocks.skipped > 0)
        outcome.blocks = result->blocks;
    if (result)
        outcome.targetStarted = result->targetStarted;
    outcome.messages = relay_.refusals;
    outcome.deviceOpen = device.isOpen();
    outcome.lastRequestAnswered = link.lastRequestAnswered();
    return outcome;
}

}  // namespace qv::engine
