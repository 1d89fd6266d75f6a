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

// The reason of a failure and, when its row could not be stored either, that too.
QString withNotStored(const QString& reason, const QString& notStored) {
    if (notStored.isEmpty())
        return reason;
    return reason.isEmpty() ? notStored : reason + QStringLiteral("; ") + notStored;
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
    (void)resultsPublished_.load(std::memory_order_acquire);
}

void BoardRun::interrupt() {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    interruptRequested_ = true;
    if (session_)
        session_->interrupt();
}

void BoardRun::run() {
    runBoard();
    host_.reset();
    // Nothing of this object is touched once its results are published: whoever joins the thread
    // may destroy it at once.
    const std::function<void()> onEnded = onEnded_;
    resultsPublished_.store(true, std::memory_order_release);
    if (onEnded)
        onEnded();
}

void BoardRun::runBoard() {
    boardClock_.start();
    currentPath_ = devicePath_;
    runUuid_ = QUuid::createUuid().toString(QUuid::WithoutBraces);
    reached_ = QVector<bool>(plan_.steps.size(), false);
    host_ = std::make_unique<EventHost>(sink_, currentPath_);
    {
        // The console sleeps until the worker raises a flag instead of polling for it, so that many
        // sessions on a few cores do not starve each other; frames, order and budgets are the
        // window's.
        auto session = std::make_unique<ProgrammerSession>(*host_, Pacing::event());
        std::lock_guard<std::mutex> lock(sessionMutex_);
        session_ = std::move(session);
        if (interruptRequested_)
            session_->interrupt();
    }
    // The lookups read the catalogue's text checked when the job was prepared (none found: they
    // find nothing).
    session_->link.flashCatalogueText = plan_.flashCatalogue;
    options_.write.skipUnchanged = plan_.skipUnchanged;
    // A UI room the catalogue does not give is never guessed at.
    options_.write.refuseUnknownTargetFlash = true;
    options_.target.swdSpeed = uint8_t(std::clamp(plan_.speed, 0, 2));
    options_.target.powerOff = plan_.powerOff;

    if (!openAndConnect())
        return;
    if (plan_.info)
        runInfo();
    else
        runSteps();
}

bool BoardRun::openAndConnect() {
    ProgrammerSession& session = *session_;
    host_->beginOperation(QStringLiteral("open"), 0);
    const ProgrammerLink::OpenOutcome opened = session.open(currentPath_);
    refreshBoard(opened == ProgrammerLink::OpenOutcome::Connected);
    if (opened == ProgrammerLink::OpenOutcome::Connected)
        return true;
    const bool sent = opened == ProgrammerLink::OpenOutcome::NotConnected;
    int code = sent ? kExitProgrammerLost : kExitNoProgrammer;
    QString why = sent ? QStringLiteral("the programmer does not answer the connection request")
                       : QStringLiteral("the programmer cannot be opened");
    if (session.interrupted()) {
        code = kExitInterrupted;
        why = QStringLiteral("interrupted");
    }
    sink_.error(currentPath_, QString(), why, code);
    // Something was sent when the device opened: the first step's board gets its row.
    if (sent && !plan_.steps.isEmpty()) {
        OperationResult r = newResult(0);
        r.exitCode = code;
        r.error = why;
        r.log = host_->operationLog();
        r.board = board_;
        why = withNotStored(why, storeRow(r, code, true));
    }
    finishBoard(code, why);
    return false;
}

// The connection's report and the target init.
void BoardRun::runInfo() {
    ProgrammerSession& session = *session_;
    host_->beginOperation(QStringLiteral("info"), 0);
    int code = kExitOk;
    QString what = QStringLiteral("info");
    // The boot loader serves firmware updates only; there is no target to ask.
    if (session.link.connection().mode != UpdateMcuCode) {
        const int init = attachTarget(session.link, options_.target, false).result;
        if (session.interrupted()) {
            code = kExitInterrupted;
            what = QStringLiteral("interrupted");
            sink_.error(currentPath_, QStringLiteral("info"), what, code);
        } else if (init != 0) {
            code = session.device.isOpen() && session.link.lastRequestAnswered() ? kExitBoardFailed
                                                                                : kExitProgrammerLost;
            what = QStringLiteral("target init failed (%1)").arg(init);
            sink_.error(currentPath_, QStringLiteral("info"), what, code);
        }
    }
    refreshBoard(true);
    sink_.info(board_);
    finishBoard(code, what);
}

// The steps, in order; the first failure ends the board's run.
void BoardRun::runSteps() {
    int code = kExitOk;
    QString what;
    QStringList done;
    for (int i = 0; i < plan_.steps.size() && code == kExitOk; ++i) {
        const QString name = commandName(plan_.steps.at(i).command);
        if (session_->interrupted()) {
            code = kExitInterrupted;
            what = name + QStringLiteral(": ") + withNotStored(QStringLiteral("interrupted"),
                                                              storeUnstarted(i, code, QStringLiteral("interrupted")));
            break;
        }
        code = runStep(i, what);
        if (code != kExitOk)
            break;
        done << name;
        code = betweenSteps(i, what);
    }
    finishBoard(code, code == kExitOk ? done.join(QStringLiteral(", ")) : what);
}

OperationOutcome BoardRun::runOperation(int i) {
    const Step& step = plan_.steps.at(i);
    OperationOptions options = options_;
    options.addr = step.addr;
    options.diff = isDiffPath(step.file);
    return session_->run(step.command, plan_.images.at(i).data, options);
}

int BoardRun::runStep(int i, QString& what) {
    const Step& step = plan_.steps.at(i);
    const CheckedImage& image = plan_.images.at(i);
    const QString name = commandName(step.command);
    ProgrammerSession& session = *session_;

    OperationResult r = newResult(i);
    host_->beginOperation(name, image.size);
    OperationStart start;
    start.device = currentPath_;
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

    const QString refused = refusedInMode(step.command, session.link.connection().mode);
    OperationOutcome outcome;
    if (refused.isEmpty())
        outcome = runOperation(i);
    // An operation that got as far as the board (it has a result, or was stopped on its way
    // there) may have left part of its image on it.
    reached_[i] = refused.isEmpty() && (outcome.result.has_value() || !outcome.deviceOpen || session.interrupted());
    QString error;
    int code = judgeStep(i, outcome, refused, error);

    refreshBoard(true);
    r.result = outcome.result;
    r.exitCode = code;
    r.durationMs = clock.elapsed();
    r.log = host_->operationLog();
    r.error = error;
    r.blocks = outcome.blocks;
    r.targetStarted = outcome.targetStarted;
    r.board = board_;
    addBlocks(boardBlocks_, outcome.blocks);
    if (code != kExitOk)
        sink_.error(currentPath_, name, error, code);
    sink_.result(r);
    const QString notStored = storeRow(r, code, code != kExitOk || i + 1 == plan_.steps.size());
    if (code != kExitOk)
        what = name + QStringLiteral(": ") + withNotStored(error, notStored);
    return code;
}

int BoardRun::judgeStep(int i, const OperationOutcome& outcome, const QString& refused, QString& error) const {
    const Step& step = plan_.steps.at(i);
    const ProgrammerLink& link = session_->link;
    if (!refused.isEmpty()) {
        error = refused;
        return kExitBoardFailed;
    }
    if (session_->interrupted()) {
        error = QStringLiteral("interrupted");
        return kExitInterrupted;
    }
    const int code = classifyOperation(step.command, outcome);
    if (!outcome.messages.isEmpty()) {
        error = outcome.messages.join(QStringLiteral("; "));
    } else if (code == kExitProgrammerLost) {
        error = outcome.deviceOpen ? QStringLiteral("the programmer stopped answering")
                                   : QStringLiteral("the programmer vanished");
    } else if (code == kExitFileProblem && step.command == Command::WriteUi && !link.connection().targetFlash.known) {
        error = QStringLiteral("the target flash %1 is not in the flash catalogue %2; nothing was written")
                    .arg(hexText(link.connection().targetFlash.id, 6),
                         plan_.flashCatalogueSource.isEmpty() ? QStringLiteral("(none found)")
                                                              : plan_.flashCatalogueSource);
    } else if (code == kExitFileProblem && step.command == Command::WriteUi) {
        error = QStringLiteral("%1 does not fit the UI room of the target flash %2 (%3 bytes); "
                               "nothing was written")
                    .arg(plan_.images.at(i).path, hexText(link.connection().targetFlash.id, 6))
                    .arg(link.connection().targetFlash.size);
    } else if (code == kExitBoardFailed) {
        error = QStringLiteral("the operation failed on the board (result %1)").arg(*outcome.result);
    } else if (code != kExitOk) {
        error = QStringLiteral("the file was refused");
    }
    return code;
}

// The programmer restarts after its firmware changed: the next step waits for it.
int BoardRun::betweenSteps(int done, QString& what) {
    const Command command = plan_.steps.at(done).command;
    if (!updatesProgrammer(command) || done + 1 >= plan_.steps.size())
        return kExitOk;
    ProgrammerSession& session = *session_;
    const uint32_t boardId = session.link.connection().boardId;
    session.close();
    host_->beginOperation(QStringLiteral("open"), 0);
    if (session.reopenAfterRestart(boardId, plan_.returnTimeout, currentPath_))
        return kExitOk;
    int code = session.interrupted() ? int(kExitInterrupted) : int(kExitProgrammerLost);
    what = session.interrupted()
               ? QStringLiteral("interrupted")
               : QStringLiteral("the programmer with board id %1 did not come back within %2 s after %3")
                     .arg(hex8(boardId))
                     .arg(plan_.returnTimeout.count() / 1000.0)
                     .arg(commandName(command));
    sink_.error(currentPath_, QString(), what, code);
    what = withNotStored(what, storeUnstarted(done + 1, code, what));
    return code;
}

void BoardRun::refreshBoard(bool connected) {
    const Connection& c = session_->link.connection();
    board_.device = currentPath_;
    board_.connected = connected;
    board_.mode = c.mode;
    board_.appVersion = c.appVersion;
    board_.bootVersion = c.bootVersion;
    board_.boardMcu = c.boardMcu;
    board_.boardId = c.boardId;
    board_.boardFlashId = c.boardFlash.id;
    board_.boardFlashSize = c.boardFlash.size;
    board_.boardFlashName = c.boardFlash.name;
    board_.targetType = c.targetType;
    board_.targetFlashId = c.targetFlash.id;
    board_.targetFlashKnown = c.targetFlash.known;
    board_.targetUiRoom = c.targetFlash.size;
    board_.targetFlashName = c.targetFlash.name;
    board_.flashCatalogue = plan_.flashCatalogueSource;
}

OperationResult BoardRun::newResult(int stepIndex) const {
    OperationResult r;
    r.utc = utcNow();
    r.uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    r.runUuid = runUuid_;
    r.roundUuid = plan_.roundUuid;
    r.device = currentPath_;
    r.tag = plan_.tag;
    r.jobSha256 = plan_.jobSha256;
    if (stepIndex < 0)
        return r;
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
    return r;
}

QVector<RecordStore::Finish> BoardRun::serialOutcomes(int code) const {
    QVector<RecordStore::Finish> finishes;
    for (const BoardPlan::Serial& serial : plan_.serials) {
        const SerialOutcome outcome = code == kExitOk                     ? SerialOutcome::Used
                                      : reached_.value(serial.step, true) ? SerialOutcome::Spoiled
                                                                          : SerialOutcome::Returned;
        finishes.push_back({serial.kind, serial.value, outcome});
    }
    return finishes;
}

QStringList BoardRun::finishSerials(int& code) {
    QStringList notRecorded;
    if (!records_ || serialsFinished_)
        return notRecorded;
    for (const RecordStore::Finish& finish : serialOutcomes(code)) {
        QString why;
        if (!records_->finishSerial(finish.kind, finish.value, finish.outcome, why)) {
            const QString message =
                QStringLiteral("serial %1 not recorded: %2").arg(serialText(finish.kind, finish.value), why);
            sink_.error(currentPath_, QString(), message, kExitFileProblem);
            notRecorded << message;
            code = std::max(code, int(kExitFileProblem));
        }
    }
    serialsFinished_ = true;
    return notRecorded;
}

QString BoardRun::storeRow(OperationResult& r, int& code, bool lastRow) {
    if (!records_)
        return QString();
    const QVector<RecordStore::Finish> finishes = lastRow ? serialOutcomes(code) : QVector<RecordStore::Finish>();
    QString why;
    if (!records_->append(r, finishes, why)) {
        const QString message = QStringLiteral("record not stored: ") + why;
        sink_.error(currentPath_, r.operation, message, kExitFileProblem);
        code = std::max(code, int(kExitFileProblem));
        return message;
    }
    if (lastRow)
        serialsFinished_ = true;
    return QString();
}

QString BoardRun::storeUnstarted(int stepIndex, int& code, const QString& reason) {
    OperationResult r = newResult(stepIndex);
    r.exitCode = code;
    r.error = reason;
    r.log = host_->operationLog();
    r.board = board_;
    return storeRow(r, code, true);
}

void BoardRun::finishBoard(int code, QString what) {
    const bool passed = code == kExitOk;
    const QStringList notRecorded = finishSerials(code);
    // A board that fails only because its record could not be kept says so.
    if (!notRecorded.isEmpty())
        what = passed ? notRecorded.join(QStringLiteral("; "))
                      : what + QStringLiteral("; ") + notRecorded.join(QStringLiteral("; "));
    exitCode_ = code;
    summary_.device = currentPath_;
    summary_.exitCode = code;
    summary_.what = what;
    summary_.durationMs = boardClock_.elapsed();
    summary_.blocks = boardBlocks_;
    summary_.serials.clear();
    for (const BoardPlan::Serial& serial : plan_.serials)
        summary_.serials << serialText(serial.kind, serial.value);
    if (board_.connected)
        summary_.boardId = board_.boardId;
    std::unique_ptr<ProgrammerSession> session;
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        session = std::move(session_);
    }
    session->close();
}

}  // namespace qv::engine
