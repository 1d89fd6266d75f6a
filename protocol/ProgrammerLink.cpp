#include "ProgrammerLink.h"

#include "FlashCatalogue.h"
#include "Frames.h"
#include "Reporter.h"
#include "Text.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"

#include <algorithm>
#include <chrono>

namespace qv {

namespace {

// Budgets of the transactions, in flag checks.
constexpr int kSlowSendBudget = 1000;
constexpr int kFirmwareChunkReplyBudget = 2000;
constexpr int kFirmwareCheckReplyBudget = 10000;
constexpr int kFinishReplyBudget = 10000;
constexpr int kDataChunkSendBudget = 200000;
constexpr int kDataChunkReplyBudget = 400000;
constexpr int kDataCheckReplyBudget = 25000;
constexpr int kConnectReplyBudget = 1000;
constexpr int kTargetSendBudget = 1000;
constexpr int kTargetReplyBudget = 3000;

constexpr uint32_t kQv310 = 0x19713100;

QString crcPair(const frame::ReplyCheck& check) {
    return hexText(check.computedCrc, 8) + QLatin1Char(',') + hexText(check.receivedCrc, 8);
}

}  // namespace

ProgrammerLink::ProgrammerLink(USB_BURN_CTRL& worker, UsbDevice& device, Reporter& report, Pacing pacing)
    : worker_(worker), device_(device), report_(report), pacing_(pacing) {
    if (!pacing_.slowPause || !pacing_.fastPause) {
        const Pacing standard = Pacing::standard();
        if (!pacing_.slowPause)
            pacing_.slowPause = standard.slowPause;
        if (!pacing_.fastPause)
            pacing_.fastPause = standard.fastPause;
    }
    if (!worker_.device)
        worker_.device = &device_;
    applyPacingToWorker();
}

// A caller that sleeps on the flags gains nothing from a worker that spins or pauses while it has
// nothing to do: the worker parks at once and each raise wakes it.
void ProgrammerLink::applyPacingToWorker() {
    worker_.parkWhenIdle.store(pacing_.waiting == Pacing::Waiting::Event, std::memory_order_relaxed);
}

int ProgrammerLink::exchangeFrame(uint32_t txLength, int sendBudget, int replyBudget, Polling polling) {
    if (pacing_.waiting == Pacing::Waiting::Event)
        return exchangeFrameEvent(txLength, sendBudget, replyBudget, polling);

    void (*pause)() = polling == Polling::Fast ? pacing_.fastPause : pacing_.slowPause;

    worker_.txDone.store(0, std::memory_order_release);
    worker_.rxDone.store(0, std::memory_order_release);
    worker_.txLength = txLength;
    // Raising txPending publishes txBuffer and txLength to the worker.
    worker_.txPending.store(1, std::memory_order_release);
    worker_.wake();
    pause();

    for (int left = sendBudget;;) {
        if (worker_.txDone.load(std::memory_order_acquire) == 1)
            break;
        report_.processEvents();
        pause();
        if (--left <= 0)
            return -1;
    }

    worker_.txDone.store(0, std::memory_order_release);
    worker_.rxPending.store(1, std::memory_order_release);
    worker_.wake();
    pause();

    // Only 1 means a reply is in rxBuffer. A failed read (2) is waited out to the budget's end.
    for (int left = replyBudget;;) {
        if (worker_.rxDone.load(std::memory_order_acquire) == 1)
            break;
        report_.processEvents();
        pause();
        if (--left <= 0)
            return -2;
    }
    return 0;
}

// The same hand-over as above, sleeping until the worker raises the flag. A budget is the wall time
// its checks last at their nominal pause; events are processed whenever the wait ends without the
// flag, at least every eventPumpMillis.
int ProgrammerLink::exchangeFrameEvent(uint32_t txLength, int sendBudget, int replyBudget, Polling polling) {
    using Clock = std::chrono::steady_clock;
    const bool fast = polling == Polling::Fast;
    const auto pumpEvery = std::chrono::milliseconds(std::max(1, pacing_.eventPumpMillis));

    // True when the flag rose to 1 before the budget ran out. A failed transfer ends the wait:
    // the flag at 2 at once, a worker ended by a failed write at the next look (within
    // eventPumpMillis); nothing more will come.
    auto await = [&](const std::atomic<uint8_t>& flag, int budget) {
        const Clock::time_point deadline =
            Clock::now() + std::chrono::microseconds(pacing_.eventBudgetMicros(budget, fast));
        for (;;) {
            const Clock::time_point now = Clock::now();
            const Clock::time_point until = std::min(deadline, now + pumpEvery);
            const uint8_t raised = worker_.waitForRaise(flag, until);
            if (raised == 1)
                return true;
            if (raised != 0 || worker_.runEnded() || until >= deadline)
                return false;
            report_.processEvents();
        }
    };

    worker_.txDone.store(0, std::memory_order_release);
    worker_.rxDone.store(0, std::memory_order_release);
    worker_.txLength = txLength;
    worker_.txPending.store(1, std::memory_order_release);
    worker_.wake();
    if (!await(worker_.txDone, sendBudget))
        return -1;

    worker_.txDone.store(0, std::memory_order_release);
    worker_.rxPending.store(1, std::memory_order_release);
    worker_.wake();
    // Only 1 means a reply; a failed read (2) ends the wait at once (polling waits it out).
    if (!await(worker_.rxDone, replyBudget))
        return -2;
    return 0;
}

namespace {

// What a short reply's check turns into, with the line logged on a CRC mismatch (none if empty).
int judgeShortReply(USB_BURN_CTRL& worker, Reporter& host, uint8_t request, const QString& crcLabel) {
    const frame::ReplyCheck check =
        frame::checkShortReply(worker.rxBuffer, worker.rxLength, frame::replyLetter(request));
    if (check.verdict == frame::ReplyVerdict::WrongShape)
        return -3;
    if (check.verdict == frame::ReplyVerdict::BadCrc) {
        if (!crcLabel.isEmpty())
            host.appendLog(crcLabel + crcPair(check));
        return -4;
    }
    return 0;
}

}  // namespace

int ProgrammerLink::writeFirmwareChunk(const uint8_t* data, uint32_t offset, uint32_t length) {
    if (length > frame::kMaxPayload)
        return -1;  // would not fit txBuffer; nothing is sent
    const uint32_t n = frame::buildDataFrame(worker_.txBuffer, frame::kWriteFirmware, offset, data, length);
    const int r = exchangeFrame(n, kSlowSendBudget, kFirmwareChunkReplyBudget, Polling::Slow);
    if (r != 0)
        return r;
    return judgeShortReply(worker_, report_, frame::kWriteFirmware, QString());
}

int ProgrammerLink::checkFirmwareCrc(uint32_t expectedCrc, uint32_t offset, uint32_t length) {
    return crcCheck(frame::kCheckFirmware, kFirmwareCheckReplyBudget, expectedCrc, offset, length);
}

int ProgrammerLink::finishFirmwareUpdate(uint8_t flag) {
    const uint32_t n = frame::buildFinishFrame(worker_.txBuffer, flag);
    const int r = exchangeFrame(n, kSlowSendBudget, kFinishReplyBudget, Polling::Slow);
    if (r != 0)
        return r;
    return judgeShortReply(worker_, report_, frame::kFinishFirmware, QStringLiteral("REQ CRC:"));
}

int ProgrammerLink::writeDataChunk(const uint8_t* data, uint32_t address, uint32_t length) {
    if (length > frame::kMaxPayload)
        return -1;  // would not fit txBuffer; nothing is sent
    const uint32_t n = frame::buildDataFrame(worker_.txBuffer, frame::kWriteData, address, data, length);
    const int r = exchangeFrame(n, kDataChunkSendBudget, kDataChunkReplyBudget, Polling::Fast);
    if (r != 0)
        return r;
    return judgeShortReply(worker_, report_, frame::kWriteData, QString());
}

int ProgrammerLink::checkDataCrc(uint32_t expectedCrc, uint32_t address, uint32_t length) {
    return crcCheck(frame::kCheckData, kDataCheckReplyBudget, expectedCrc, address, length);
}

// 'L' and 'G' differ only in their letter and reply budget: the programmer computes the CRC of a
// range and answers with it and a status byte (0 = equal), which is the result.
int ProgrammerLink::crcCheck(uint8_t letter, int replyBudget, uint32_t expectedCrc, uint32_t start,
                             uint32_t length) {
    const uint32_t n = frame::buildCrcCheckFrame(worker_.txBuffer, letter, start, length, expectedCrc);
    const int r = exchangeFrame(n, kSlowSendBudget, replyBudget, Polling::Slow);
    if (r != 0)
        return r;
    const int judged = judgeShortReply(worker_, report_, letter, QStringLiteral("CRC error:"));
    if (judged != 0)
        return judged;
    report_.appendLog(QStringLiteral("Read crc:") + hexText(frame::getBe32(worker_.rxBuffer + 4), 8));
    return worker_.rxBuffer[8];
}

ProgrammerLink::TargetControlReply ProgrammerLink::targetControl(const TargetControl& request) {
    TargetControlReply reply;
    const uint32_t length = frame::buildTargetControlFrame(worker_.txBuffer, request.targetRun, request.runAddress,
                                                           request.swdSpeed, request.targetRun && request.powerOff);
    reply.result = exchangeFrame(length, kTargetSendBudget, kTargetReplyBudget, Polling::Slow);
    if (reply.result != 0)
        return reply;

    const uint8_t* rx = worker_.rxBuffer;
    const uint32_t received = std::min<uint32_t>(worker_.rxLength, USB_BURN_CTRL::kRxBufferSize);
    const frame::ReplyCheck check = frame::checkTargetControlReply(rx, received);
    if (check.verdict == frame::ReplyVerdict::WrongShape) {
        reply.result = -3;
        return reply;
    }
    if (check.verdict == frame::ReplyVerdict::BadCrc) {
        report_.appendLog(QStringLiteral("SWD init CRC:") + hexText(check.computedCrc, 8) + QStringLiteral(",") +
                          hexText(check.receivedCrc, 8));
        reply.result = -4;
        return reply;
    }

    if (request.targetRun) {
        reply.started = rx[7] == 0;
        report_.appendLog(rx[7] == 0 ? QStringLiteral("Target run...") : QStringLiteral("Target run fail..."));
        return reply;
    }

    const uint32_t targetType = frame::getBe32(rx + 3);
    connection_.targetType = targetType;
    report_.appendLog(QStringLiteral("Target type:") + hexText(targetType, 8));
    report_.learned(Learned::TargetType, connection_);
    if (targetType == kQv310) {
        // The flash id follows the CRC-covered part; bytes the programmer did not send count
        // as zero rather than whatever an earlier reply left in the buffer.
        uint8_t id[4] = {0, 0, 0, 0};
        for (uint32_t i = 0; i < 4; ++i) {
            if (13 + i < received)
                id[i] = rx[13 + i];
        }
        const uint32_t flashId = frame::getBe32(id);
        if (lookupFlash(FlashChip::Target, flashId) >= 1)
            report_.appendLog(QStringLiteral("target_flash_ID:  ") + hexText(flashId, 6));
    }
    return reply;
}

ProgrammerLink::OpenOutcome ProgrammerLink::openProgrammer(const QString& path) {
    if (path.isEmpty())
        return OpenOutcome::NoDevice;
    // Nothing is sent to a programmer that is open already, so this may be said while another
    // operation runs.
    if (device_.isOpen())
        return OpenOutcome::AlreadyOpen;
    // Opening and the handshake talk to the programmer: never in the middle of another operation.
    OperationGuard guard(*this);
    if (!guard.acquired())
        return OpenOutcome::Busy;
    if (!device_.open(path))
        return OpenOutcome::OpenFailed;
    report_.appendLog(QStringLiteral("Open the programmer ok..."));
    // A worker stopped in the middle of a transaction (the programmer was unplugged) can leave a
    // request it never took. Served by the new run, that stale read would wait for a reply nobody
    // asked for and the link would never take another request. The worker is not running here, so
    // this side may reset every hand-over flag.
    worker_.txPending.store(0, std::memory_order_release);
    worker_.rxPending.store(0, std::memory_order_release);
    worker_.txDone.store(0, std::memory_order_release);
    worker_.rxDone.store(0, std::memory_order_release);
    worker_.startWork();

    if (connectProgrammer() != 0) {
        report_.appendLog(QStringLiteral("Fail to connect the programmer..."));
        return OpenOutcome::NotConnected;
    }
    report_.appendLog(QStringLiteral("Connect the programmer successful"));
    return OpenOutcome::Connected;
}

int ProgrammerLink::connectProgrammer() {
    const uint32_t n = frame::buildConnectFrame(worker_.txBuffer);
    const int r = exchangeFrame(n, kSlowSendBudget, kConnectReplyBudget, Polling::Slow);
    if (r != 0)
        return r;

    const uint8_t* rx = worker_.rxBuffer;
    const frame::ReplyCheck check = frame::checkConnectionReply(rx, worker_.rxLength);
    if (check.verdict == frame::ReplyVerdict::WrongShape)
        return -3;
    if (check.verdict == frame::ReplyVerdict::BadCrc) {
        report_.appendLog(QStringLiteral("CRC error:") + crcPair(check));
        return -4;
    }

    int32_t& connectionMode = connection_.mode;
    switch (rx[2]) {
        case frame::kModeUpdateMcuCode:
            connectionMode = UpdateMcuCode;
            report_.appendLog(QStringLiteral("Connection for update mcu code"));
            break;
        case frame::kModeNormalWork:
            connectionMode = NormalWork;
            report_.appendLog(QStringLiteral("Connection for normal work"));
            break;
        case frame::kModeUpdateBoot:
            connectionMode = UpdateBoot;
            report_.appendLog(QStringLiteral("Connection for update boot"));
            break;
        default:
            report_.appendLog(QStringLiteral("Illegal connection..."));
            return -5;
    }

    // Bytes 3-5 carry the version of the firmware that runs, bytes 18-20 the other one.
    const uint32_t running = 0x20000000u | frame::getBe24(rx + 3);
    const uint32_t other = 0x20000000u | frame::getBe24(rx + 18);
    Connection& c = connection_;
    if (connectionMode == NormalWork) {
        c.appVersion = running;
        c.bootVersion = other;
    } else {
        c.bootVersion = running;
        c.appVersion = other;
    }

    c.boardMcu = frame::getBe32(rx + 14);
    c.boardId = frame::getBe32(rx + 22);
    report_.learned(Learned::Connection, c);
    report_.appendLog(QStringLiteral("The Board MCU&ID: ") + hexText(c.boardMcu, 8) + QLatin1Char(',') +
                      hexText(c.boardId, 8));
    report_.appendLog(QStringLiteral("Boot_Version: ") + hexText(c.bootVersion, 6));
    report_.appendLog(QStringLiteral("App_Version:  ") + hexText(c.appVersion, 6));

    const uint32_t flashId = frame::getBe24(rx + 7);
    if (lookupFlash(FlashChip::Board, flashId) == 1) {
        report_.appendLog(QStringLiteral("FlashID:  ") + hexText(flashId, 6));
    }
    return 0;
}

void ProgrammerLink::setNoSleep(bool on) {
    worker_.noSleep.store(on ? 1 : 0, std::memory_order_release);
}

bool ProgrammerLink::lastRequestAnswered() const {
    return worker_.rxDone.load(std::memory_order_acquire) == 1;
}

OperationGuard::OperationGuard(ProgrammerLink& link) : link_(link), acquired_(!link.operationRunning_) {
    if (acquired_)
        link_.operationRunning_ = true;
}

OperationGuard::~OperationGuard() {
    if (acquired_)
        link_.operationRunning_ = false;
}

}  // namespace qv
