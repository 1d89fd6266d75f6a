#include "Session.h"

#include "ConsoleHost.h"
#include "RecordStore.h"

#include "protocol/FirmwareUpdate.h"
#include "protocol/Pacing.h"
#include "protocol/ProgrammerLink.h"
#include "targetcode/CodeImage.h"
#include "targetcode/TargetOperations.h"
#include "uiflash/UiFlashOperations.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <algorithm>

namespace qv::cli {

namespace {

const QString kOpenFail = QStringLiteral("Open fail");
const QString kConnected = QStringLiteral("Connect the programmer successful");

}  // namespace

int classifyOperation(std::optional<int> result, const QStringList& messages, bool deviceOpen,
                      bool lastRequestAnswered) {
    if (!messages.isEmpty())
        return messages.contains(kOpenFail) ? kExitNoProgrammer : kExitFileProblem;
    if (!result)
        return deviceOpen ? kExitFileProblem : kExitProgrammerLost;
    if (*result == 0)
        return kExitOk;
    if (!deviceOpen || !lastRequestAnswered)
        return kExitProgrammerLost;
    return kExitBoardFailed;
}

Session::Session(const QString& devicePath, const SessionPlan& plan, EventSink& sink, RecordStore* records)
    : devicePath_(devicePath), plan_(plan), sink_(sink), records_(records) {
    summary_.device = devicePath;
}

void Session::run() {
    QElapsedTimer sessionClock;
    sessionClock.start();

    UsbDevice device;
    USB_BURN_CTRL worker;
    worker.device = &device;
    ConsoleHost host(sink_, devicePath_);
    host.swdSpeed = plan_.speed;
    host.powerOff = plan_.powerOff;
    // The console sleeps until the worker raises a flag instead of polling for it, so that many
    // sessions on a few cores do not starve each other; frames, order and budgets are the window's.
    ProgrammerLink link(worker, device, host, Pacing::event());
    link.flashCataloguePath = plan_.flashIni;
    link.upbootEnabled = plan_.allowBootUpdate ? 1 : 0;
    TargetOperations target(link);
    UiFlashOperations ui(link, target);
    target.writeOptions.skipUnchanged = plan_.skipUnchanged;
    ui.writeOptions.skipUnchanged = plan_.skipUnchanged;
    FirmwareUpdate firmware(link);

    BoardInfo board;
    board.device = devicePath_;
    const auto refreshBoard = [&] {
        board.mode = link.connectionMode;
        board.appVersion = link.appVersion;
        board.bootVersion = link.bootVersion;
        board.boardMcu = link.boardMcu;
        board.boardId = link.boardId;
        board.boardFlashId = link.boardFlashId;
        board.boardFlashSize = link.boardFlashSize;
        board.boardFlashName = link.boardFlashName;
        board.targetType = host.targetType();
        board.targetFlashId = link.targetFlashId;
        board.targetFlashSize = link.targetFlashSize;
        board.targetFlashName = link.targetFlashName;
    };
    const auto lastRequestAnswered = [&worker] { return worker.rxDone.load(std::memory_order_acquire) == 1; };
    const auto finishSession = [&](int code, const QString& what) {
        exitCode_ = code;
        summary_.exitCode = code;
        summary_.what = what;
        summary_.durationMs = sessionClock.elapsed();
        if (board.connected)
            summary_.boardId = board.boardId;
        worker.stopAndWait();
        device.close();
        resultsPublished_.store(true, std::memory_order_release);
    };

    // --- Open and connect. ---
    host.beginOperation(QStringLiteral("open"), 0, QString());
    link.openProgrammer(QStringList{devicePath_}, 0);
    board.connected = host.operationLog().contains(kConnected);
    refreshBoard();
    if (!board.connected) {
        const bool opened = !host.messages().contains(kOpenFail);
        const int code = opened ? kExitProgrammerLost : kExitNoProgrammer;
        const QString why = opened ? QStringLiteral("the programmer does not answer the connection request")
                                   : QStringLiteral("the programmer cannot be opened");
        sink_.error(devicePath_, QString(), why, code);
        // Something was sent when the device opened: the first step's board gets its row.
        if (opened && records_ && !plan_.steps.isEmpty()) {
            OperationResult r;
            r.utc = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
            r.device = devicePath_;
            r.operation = commandName(plan_.steps.first().command);
            const CheckedImage& image = plan_.images.first();
            r.file = image.path;
            r.size = image.size;
            r.crc = image.crc;
            r.sha256 = image.sha256;
            r.exitCode = code;
            r.error = why;
            r.log = host.operationLog();
            r.board = board;
            QString error;
            if (!records_->append(r, error))
                sink_.error(devicePath_, r.operation, QStringLiteral("record not stored: ") + error,
                            kExitFileProblem);
        }
        finishSession(code, why);
        return;
    }

    // --- info: the connection's report and the target init. ---
    if (plan_.info) {
        host.beginOperation(QStringLiteral("info"), 0, QString());
        int code = kExitOk;
        QString what = QStringLiteral("info");
        // The boot loader serves firmware updates only; there is no target to ask.
        if (link.connectionMode != UpdateMcuCode) {
            const int init = target.targetControl(0, 0);
            if (init != 0) {
                code = device.isOpen() && lastRequestAnswered() ? kExitBoardFailed : kExitProgrammerLost;
                what = QStringLiteral("target init failed (%1)").arg(init);
                sink_.error(devicePath_, QStringLiteral("info"), what, code);
            }
        }
        refreshBoard();
        sink_.info(board);
        finishSession(code, what);
        return;
    }

    // --- The steps, in order; the first failure ends the board's run. ---
    int code = kExitOk;
    QString what;
    QStringList done;
    for (int i = 0; i < plan_.steps.size() && code == kExitOk; ++i) {
        const Step& step = plan_.steps.at(i);
        const CheckedImage& image = plan_.images.at(i);
        const QString name = commandName(step.command);

        OperationResult r;
        r.utc = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        r.device = devicePath_;
        r.operation = name;
        r.file = image.path;
        r.size = image.size;
        r.crc = image.crc;
        r.sha256 = image.sha256;

        host.beginOperation(name, image.size, image.stagedPath);
        sink_.start(devicePath_, name, image.path, image.size, image.crc, image.sha256);
        QElapsedTimer clock;
        clock.start();

        // The window enables each button only in the connection mode that serves it.
        QString refused;
        const bool bootLoader = link.connectionMode == UpdateMcuCode;
        if (step.command == Command::UpdateFirmware && !bootLoader) {
            refused = QStringLiteral(
                "update-firmware needs the programmer's boot loader running; its "
                "application runs");
        } else if (step.command == Command::UpdateBoot && link.connectionMode != NormalWork) {
            refused = QStringLiteral("update-boot needs the programmer's application running");
        } else if (step.command != Command::UpdateFirmware && step.command != Command::UpdateBoot &&
                   bootLoader) {
            refused = QStringLiteral("the programmer runs its boot loader: only update-firmware works now");
        }

        std::optional<int> result;
        // With --skip-unchanged the result says how many blocks were written and how many the board
        // held already; a write refused before it reached the blocks has none to report.
        const auto takeBlockCounts = [&r, this](const BlockCounts& counts) {
            if (!plan_.skipUnchanged || counts.written + counts.skipped == 0)
                return;
            r.blocksWritten = int(counts.written);
            r.blocksSkipped = int(counts.skipped);
        };
        if (refused.isEmpty()) {
            switch (step.command) {
                case Command::ProgramBoot:
                case Command::VerifyBoot:
                    host.setText(TextField::BootPath, image.stagedPath);
                    target.lastResult = TargetOperations::kNotRun;
                    target.blockCounts = BlockCounts();
                    step.command == Command::ProgramBoot ? target.programBootCode() : target.verifyBootCode();
                    if (target.lastResult != TargetOperations::kNotRun)
                        result = target.lastResult;
                    if (step.command == Command::ProgramBoot)
                        takeBlockCounts(target.blockCounts);
                    break;
                case Command::ProgramMcu:
                case Command::VerifyMcu:
                    host.setText(TextField::McuPath, image.stagedPath);
                    host.setText(TextField::McuCodeAddr, step.addr);
                    if (step.command == Command::ProgramMcu)
                        r.address = parseHexAddress(step.addr) & ~uint32_t(0xFFF);
                    target.lastResult = TargetOperations::kNotRun;
                    target.blockCounts = BlockCounts();
                    step.command == Command::ProgramMcu ? target.programMcuCode() : target.verifyMcuCode();
                    if (target.lastResult != TargetOperations::kNotRun)
                        result = target.lastResult;
                    if (step.command == Command::ProgramMcu)
                        takeBlockCounts(target.blockCounts);
                    break;
                case Command::WriteUi:
                case Command::CheckUi:
                    host.setText(TextField::UiPath, image.stagedPath);
                    ui.lastResult = UiFlashOperations::kNotRun;
                    ui.blockCounts = BlockCounts();
                    step.command == Command::WriteUi ? ui.updateUi() : ui.checkUi();
                    if (ui.lastResult != UiFlashOperations::kNotRun)
                        result = ui.lastResult;
                    // A difference file names its own blocks; the counts are those of a whole image.
                    if (step.command == Command::WriteUi && !isDiffPath(image.stagedPath))
                        takeBlockCounts(ui.blockCounts);
                    break;
                case Command::UpdateFirmware:
                case Command::UpdateBoot:
                    firmware.lastResult = FirmwareUpdate::kNotRun;
                    step.command == Command::UpdateFirmware ? firmware.updateApplication()
                                                            : firmware.updateBootLoader();
                    if (firmware.lastResult != FirmwareUpdate::kNotRun)
                        result = firmware.lastResult;
                    break;
                default:
                    break;
            }
        }

        int stepCode = kExitOk;
        QString error;
        if (!refused.isEmpty()) {
            stepCode = kExitBoardFailed;
            error = refused;
        } else {
            stepCode = classifyOperation(result, host.messages(), device.isOpen(), lastRequestAnswered());
            if (!host.messages().isEmpty()) {
                error = host.messages().join(QStringLiteral("; "));
            } else if (stepCode == kExitProgrammerLost) {
                error = device.isOpen() ? QStringLiteral("the programmer stopped answering")
                                        : QStringLiteral("the programmer vanished");
            } else if (stepCode == kExitBoardFailed) {
                error = QStringLiteral("the operation failed on the board (result %1)").arg(*result);
            } else if (stepCode != kExitOk) {
                // Refused by the operation itself without a box: its last line says why.
                QString why;
                for (const QString& line : host.operationLog()) {
                    if (!line.isEmpty())
                        why = line;
                }
                error = QStringLiteral("the file was refused: ") + why;
            }
        }

        refreshBoard();
        r.result = result;
        r.exitCode = stepCode;
        r.durationMs = clock.elapsed();
        r.log = host.operationLog();
        r.error = error;
        r.board = board;
        if (stepCode != kExitOk)
            sink_.error(devicePath_, name, error, stepCode);
        sink_.result(r);
        if (records_) {
            QString why;
            if (!records_->append(r, why)) {
                sink_.error(devicePath_, name, QStringLiteral("record not stored: ") + why, kExitFileProblem);
                stepCode = std::max(stepCode, int(kExitFileProblem));
            }
        }
        code = stepCode;
        if (code == kExitOk) {
            done << name;
        } else {
            what = name + QStringLiteral(": ") + error;
        }
    }
    finishSession(code, code == kExitOk ? done.join(QStringLiteral(", ")) : what);
}

}  // namespace qv::cli
