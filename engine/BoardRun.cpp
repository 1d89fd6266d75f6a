#include "BoardRun.h"

#include "EventHost.h"
#include "ProgrammerSession.h"
#include "RecordStore.h"
#include "Serials.h"

#include "protocol/Text.h"
#include "targetcode/CodeImage.h"
#include "uiflash/UiOperations.h"

#include <QElapsedTimer>
#include <QUuid>

#include <algorithm>
#include <thread>

namespace qv::engine {

namespace {

// The window enables each button only in the connection mode that serves it.
QString refusedInMode(Command command, int32_t mode) {
    const bool bootLoader = mode == UpdateMcuCode;
    if (command == Command::UpdateFirmware && !bootLoader)
        return QStringLiteral("update-firmware needs the programmer's boot loader running; its application runs");
    if (command == Command::UpdateBoot && mode != NormalWork)
        return QStringLiteral("update-boot needs the programmer's application running");
    if (!updatesProgrammer(command) && bootLoader)
        return QStringLiteral("the programmer runs its boot loader: only update-firmware works now");
    return QString();
}

// The options of one step: its McuCode address and, for a UI file, whether it is a difference file.
OperationOptions optionsFor(const Step& step, OperationOptions options) {
    options.addr = step.addr;
    options.diff = isDiffPath(step.file);
    return options;
}

void addBlocks(std::optional<BlockCounts>& sum, const std::optional<BlockCounts>& add) {
    if (!add)
        return;
    if (!sum)
        sum = BlockCounts();
    sum->written += add->written;
    sum->skipped += add->skipped;
}

}  // namespace

int classifyOperation(Command command, const OperationOutcome& outcome) {
    if (!outcome.messages.isEmpty())
        return kExitFileProblem;
    if (!outcome.result)
        return outcome.deviceOpen ? kExitFileProblem : kExitProgrammerLost;
    const int result = *outcome.result;
    if (result == 0)
        return kExitOk;
    if (!outcome.deviceOpen || !outcome.lastRequestAnswered)
        return kExitProgrammerLost;
    // A UI write refuses before its first piece what does not fit the target's UI room.
    if (command == Command::WriteUi && result == -1)
        return kExitFileProblem;
    return kExitBoardFailed;
}

BoardRun::BoardRun(const QString& devicePath, const BoardPlan& plan, EventSink& sink, RecordStore* records)
    : devicePath_(devicePath), plan_(plan), sink_(sink), records_(records) {
    summary_.device = devicePath;
}

BoardRun::~BoardRun() {
    wait();
}

void BoardRun::interrupt() {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    interruptRequested_ = true;
    if (session_)
        session_->interrupt();
}

void BoardRun::run() {
    QElapsedTimer boardClock;
    boardClock.start();

    QString devicePath = devicePath_;
    EventHost host(sink_, devicePath);
    // The console sleeps until the worker raises a flag instead of polling for it, so that many
    // sessions on a few cores do not starve each other; frames, order and budgets are the window's.
    ProgrammerSession session(host, Pacing::event());
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        session_ = &session;
        if (interruptRequested_)
            session.interrupt();
    }
    ProgrammerLink& link = session.link;
    // The lookups read the catalogue's text checked when the job was prepared (none found: they find
    // nothing).
    link.flashCatalogueText = plan_.flashCatalogue;
    OperationOptions options;
    options.write.skipUnchanged = plan_.skipUnchanged;
    // A UI room the catalogue does not give is never guessed at.
    options.write.refuseUnknownTargetFlash = true;
    options.target.swdSpeed = uint8_t(std::clamp(plan_.speed, 0, 2));
    options.target.powerOff = plan_.powerOff;

    BoardInfo board;
    const auto refreshBoard = [&](bool connected) {
        board.device = devicePath;
        board.connected = connected;
        const Connection& c = link.connection();
        board.mode = c.mode;
        board.appVersion = c.appVersion;
        board.bootVersion = c.bootVersion;
        board.boardMcu = c.boardMcu;
        board.boardId = c.boardId;
        board.boardFlashId = c.boardFlash.id;
        board.boardFlashSize = c.boardFlash.size;
        board.boardFlashName = c.boardFlash.name;
        board.targetType = c.targetType;
        board.targetFlashId = c.targetFlash.id;
        board.targetFlashKnown = c.targetFlash.known;
        board.targetUiRoom = c.targetFlash.size;
        board.targetFlashName = c.targetFlash.name;
        board.flashCatalogue = plan_.flashCatalogueSource;
    };
    std::optional<BlockCounts> boardBlocks;
    // Steps whose operation reached the board (its image may be on it, in part or whole).
    QVector<bool> reached(plan_.steps.size(), false);
    // What became of the board's numbers, once its run is decided with this exit code: used when it
    // passed, spoiled when an image that holds one reached the board, returned otherwise.
    bool serialsFinished = false;
    const auto serialOutcomes = [&](int code) {
        QVector<RecordStore::Finish> finishes;
        for (const BoardPlan::Serial& serial : plan_.serials) {
            const SerialOutcome outcome = code == kExitOk                    ? SerialOutcome::Used
                                          : reached.value(serial.step, true) ? SerialOutcome::Spoiled
                                                                             : SerialOutcome::Returned;
            finishes.push_back({serial.kind, serial.value, outcome});
        }
        return finishes;
    };
    // What became of the numbers not said by a row yet; the failures to record it, if any.
    const auto finishSerials = [&](int& code) {
        QStringList notRecorded;
        if (!records_ || serialsFinished)
            return notRecorded;
        for (const RecordStore::Finish& finish : serialOutcomes(code)) {
            QString why;
            if (!records_->finishSerial(finish.kind, finish.value, finish.outcome, why)) {
                const QString message =
                    QStringLiteral("serial %1 not recorded: %2").arg(serialText(finish.kind, finish.value), why);
                sink_.error(devicePath, QString(), message, kExitFileProblem);
                notRecorded << message;
                code = std::max(code, int(kExitFileProblem));
            }
        }
        serialsFinished = true;
        return notRecorded;
    };
    const auto finishBoard = [&](int code, QString what) {
        const bool passed = code == kExitOk;
        const QStringList notRecorded = finishSerials(code);
        // A board that fails only because its record could not be kept says so.
        if (!notRecorded.isEmpty())
            what = passed ? notRecorded.join(QStringLiteral("; "))
                          : what + QStringLiteral("; ") + notRecorded.join(QStringLiteral("; "));
        exitCode_ = code;
        summary_.device = devicePath;
        summary_.exitCode = code;
        summary_.what = what;
        summary_.durationMs = boardClock.elapsed();
        summary_.blocks = boardBlocks;
        summary_.serials.clear();
        for (const BoardPlan::Serial& serial : plan_.serials)
            summary_.serials << serialText(serial.kind, serial.value);
        if (board.connected)
            summary_.boardId = board.boardId;
        {
            std::lock_guard<std::mutex> lock(sessionMutex_);
            session_ = nullptr;
        }
        session.close();
        resultsPublished_.store(true, std::memory_order_release);
    };
    // Appends a row; the board's last row (lastRow) carries what became of its numbers. Empty, or
    // why the row could not be stored (the board then fails with exit code 4).
    const auto store = [&](OperationResult& r, int& code, bool lastRow) {
        if (!records_)
            return QString();
        const QVector<RecordStore::Finish> finishes = lastRow ? serialOutcomes(code) : QVector<RecordStore::Finish>();
        QString why;
        if (!records_->append(r, finishes, why)) {
            const QString message = QStringLiteral("record not stored: ") + why;
            sink_.error(devicePath, r.operation, message, kExitFileProblem);
            code = std::max(code, int(kExitFileProblem));
            return message;
        }
        if (lastRow)
            serialsFinished = true;
        return QString();
    };
    // The reason of a failure and, when its row could not be stored either, that too.
    const auto withNotStored = [](const QString& reason, const QString& notStored) {
        if (notStored.isEmpty())
            return reason;
        return reason.isEmpty() ? notStored : reason + QStringLiteral("; ") + notStored;
    };
    const QString runUuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const auto newResult = [&](int stepIndex) {
        OperationResult r;
        r.utc = utcNow();
        r.uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
        r.runUuid = runUuid;
        r.roundUuid = plan_.roundUuid;
        r.device = devicePath;
        r.tag = plan_.tag;
        r.jobSha256 = plan_.jobSha256;
        if (stepIndex >= 0) {
            const CheckedImage& image = plan_.images.at(stepIndex);
            r.operation = commandName(plan_.steps.at(stepIndex).command);
            r.file = image.path;
            r.size = image.size;
            r.crc = image.crc;
            r.sha256 = image.sha256;
            r.sourceSha256 = image.sourceSha256;
            for (const BoardPlan::Serial& serial : plan_.serials) {
                if (serial.step == stepIndex)
                    r.serial = serialText(serial.kind, serial.value);
            }
        }
        return r;
    };

    // --- Open and connect. ---
    host.beginOperation(QStringLiteral("open"), 0);
    const ProgrammerLink::OpenOutcome opened = session.open(devicePath);
    refreshBoard(opened == ProgrammerLink::OpenOutcome::Connected);
    if (opened != ProgrammerLink::OpenOutcome::Connected) {
        const bool sent = opened == ProgrammerLink::OpenOutcome::NotConnected;
        int code = sent ? kExitProgrammerLost : kExitNoProgrammer;
        QString why = sent ? QStringLiteral("the programmer does not answer the connection request")
                           : QStringLiteral("the programmer cannot be opened");
        if (session.interrupted()) {
            code = kExitInterrupted;
            why = QStringLiteral("interrupted");
        }
        sink_.error(devicePath, QString(), why, code);
        // Something was sent when the device opened: the first step's board gets its row.
        if (sent && !plan_.steps.isEmpty()) {
            OperationResult r = newResult(0);
            r.exitCode = code;
            r.error = why;
            r.log = host.operationLog();
            r.board = board;
            why = withNotStored(why, store(r, code, true));
        }
        finishBoard(code, why);
        return;
    }

    // --- info: the connection's report and the target init. ---
    if (plan_.info) {
        host.beginOperation(QStringLiteral("info"), 0);
        int code = kExitOk;
        QString what = QStringLiteral("info");
        // The boot loader serves firmware updates only; there is no target to ask.
        if (link.connection().mode != UpdateMcuCode) {
            const int init = attachTarget(link, options.target, false).result;
            if (session.interrupted()) {
                code = kExitInterrupted;
                what = QStringLiteral("interrupted");
                sink_.error(devicePath, QStringLiteral("info"), what, code);
            } else if (init != 0) {
                code = session.device.isOpen() && session.link.lastRequestAnswered() ? kExitBoardFailed
                                                                                    : kExitProgrammerLost;
                what = QStringLiteral("target init failed (%1)").arg(init);
                sink_.error(devicePath, QStringLiteral("info"), what, code);
            }
        }
        refreshBoard(true);
        sink_.info(board);
        finishBoard(code, what);
        return;
    }

    // --- The steps, in order; the first failure ends the board's run. ---
    int code = kExitOk;
    QString what;
    QStringList done;
    // A board that fails between two steps (stopped, or its programmer did not come back after a
    // firmware update) ends in a row of the step it did not get to, with the board's exit code and
    // what became of its numbers: the last row of every board's run carries its final exit code.
    const auto storeUnstarted = [&](int stepIndex, int& failCode, const QString& reason) {
        OperationResult r = newResult(stepIndex);
        r.exitCode = failCode;
        r.error = reason;
        r.log = host.operationLog();
        r.board = board;
        return store(r, failCode, true);
    };
    for (int i = 0; i < plan_.steps.size() && code == kExitOk; ++i) {
        const Step& step = plan_.steps.at(i);
        const CheckedImage& image = plan_.images.at(i);
        const QString name = commandName(step.command);
        if (session.interrupted()) {
            code = kExitInterrupted;
            what = name + QStringLiteral(": ") + withNotStored(QStringLiteral("interrupted"),
                                                              storeUnstarted(i, code, QStringLiteral("interrupted")));
            break;
        }

        OperationResult r = newResult(i);
        host.beginOperation(name, image.size);
        OperationStart start;
        start.device = devicePath;
        start.operation = name;
        start.file = image.path;
        start.size = image.size;
        start.crc = image.crc;
        start.sha256 = image.sha256;
        start.flashCatalogue = plan_.flashCatalogueSource;
        sink_.start(start);
        QElapsedTimer clock;
        clock.start();
        if (step.command == Command::ProgramMcu)
            r.address = parseHexAddress(step.addr) & ~uint32_t(0xFFF);

        const QString refused = refusedInMode(step.command, link.connection().mode);
        OperationOutcome outcome;
        if (refused.isEmpty())
            outcome = session.run(step.command, image.data, optionsFor(step, options));
        // An operation that got as far as the board (it has a result, or was stopped on its way
        // there) may have left part of its image on it.
        reached[i] = refused.isEmpty() && (outcome.result.has_value() || !outcome.deviceOpen || session.interrupted());

        int stepCode = kExitOk;
        QString error;
        if (!refused.isEmpty()) {
            stepCode = kExitBoardFailed;
            error = refused;
        } else if (session.interrupted()) {
            stepCode = kExitInterrupted;
            error = QStringLiteral("interrupted");
        } else {
            stepCode = classifyOperation(step.command, outcome);
            if (!outcome.messages.isEmpty()) {
                error = outcome.messages.join(QStringLiteral("; "));
            } else if (stepCode == kExitProgrammerLost) {
                error = outcome.deviceOpen ? QStringLiteral("the programmer stopped answering")
                                           : QStringLiteral("the programmer vanished");
            } else if (stepCode == kExitFileProblem && step.command == Command::WriteUi && !link.connection().targetFlash.known) {
                error = QStringLiteral("the target flash %1 is not in the flash catalogue %2; nothing was written")
                            .arg(hexText(link.connection().targetFlash.id, 6),
                                 plan_.flashCatalogueSource.isEmpty() ? QStringLiteral("(none found)")
                                                                      : plan_.flashCatalogueSource);
            } else if (stepCode == kExitFileProblem && step.command == Command::WriteUi) {
                error = QStringLiteral("%1 does not fit the UI room of the target flash %2 (%3 bytes); "
                                       "nothing was written")
                            .arg(image.path, hexText(link.connection().targetFlash.id, 6))
                            .arg(link.connection().targetFlash.size);
            } else if (stepCode == kExitBoardFailed) {
                error = QStringLiteral("the operation failed on the board (result %1)").arg(*outcome.result);
            } else if (stepCode != kExitOk) {
                error = QStringLiteral("the file was refused");
            }
        }

        refreshBoard(true);
        r.result = outcome.result;
        r.exitCode = stepCode;
        r.durationMs = clock.elapsed();
        r.log = host.operationLog();
        r.error = error;
        r.blocks = outcome.blocks;
        r.targetStarted = outcome.targetStarted;
        r.board = board;
        addBlocks(boardBlocks, outcome.blocks);
        if (stepCode != kExitOk)
            sink_.error(devicePath, name, error, stepCode);
        sink_.result(r);
        const QString notStored = store(r, stepCode, stepCode != kExitOk || i + 1 == plan_.steps.size());
        code = stepCode;
        if (code != kExitOk) {
            what = name + QStringLiteral(": ") + withNotStored(error, notStored);
            break;
        }
        done << name;

        // The programmer restarts after its firmware changed: the next step waits for it.
        if (updatesProgrammer(step.command) && i + 1 < plan_.steps.size()) {
            const uint32_t boardId = link.connection().boardId;
            session.close();
            host.beginOperation(QStringLiteral("open"), 0);
            if (!reopenAfterRestart(session, boardId, devicePath)) {
                code = session.interrupted() ? int(kExitInterrupted) : int(kExitProgrammerLost);
                what = session.interrupted()
                           ? QStringLiteral("interrupted")
                           : QStringLiteral("the programmer with board id %1 did not come back within %2 s after %3")
                                 .arg(hex8(boardId))
                                 .arg(plan_.returnTimeout.count() / 1000.0)
                                 .arg(name);
                sink_.error(devicePath, QString(), what, code);
                what = withNotStored(what, storeUnstarted(i + 1, code, what));
            }
        }
    }
    finishBoard(code, code == kExitOk ? done.join(QStringLiteral(", ")) : what);
}

bool BoardRun::reopenAfterRestart(ProgrammerSession& session, uint32_t boardId, QString& devicePath) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + plan_.returnTimeout;
    // The programmer goes away and comes back, as a rule under the same path on the same port.
    // Another path is tried only when it was not there when the programmer restarted (the other
    // programmers of a gang are not asked unless they restarted too), and only the board id
    // decides.
    // It leaves the bus first: a path still listed at once belongs to the old run of its firmware.
    const Clock::time_point goneBy = std::min(deadline, Clock::now() + std::chrono::seconds(2));
    while (Clock::now() < goneBy && !session.interrupted() && session.device.findDevices().contains(devicePath))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const QStringList before = session.device.findDevices();
    while (Clock::now() < deadline && !session.interrupted()) {
        QStringList candidates;
        for (const QString& path : session.device.findDevices()) {
            if (path == devicePath)
                candidates.prepend(path);
            else if (!before.contains(path))
                candidates << path;
        }
        for (const QString& path : candidates) {
            if (session.open(path) == ProgrammerLink::OpenOutcome::Connected && session.link.connection().boardId == boardId) {
                devicePath = path;
                return true;
            }
            session.close();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

}  // namespace qv::engine
