#include "Operation.h"

#include "Reporter.h"
#include "Text.h"
#include "usb/UsbDevice.h"

#include <algorithm>

namespace qv {

ProgrammerLink::TargetControlReply attachTarget(ProgrammerLink& link, const TargetSettings& settings, bool run,
                                                uint32_t runAddress) {
    ProgrammerLink::TargetControl request;
    request.targetRun = run;
    request.runAddress = runAddress;
    request.swdSpeed = uint8_t(std::min<int>(settings.swdSpeed, 2));
    request.powerOff = settings.powerOff;
    return link.targetControl(request);
}

bool beginImageWrite(ProgrammerLink& link, const TargetSettings& target) {
    Reporter& report = link.report();
    report.clearLog();
    report.setProgress(0);
    if (attachTarget(link, target, false).result != 0)
        return false;
    report.appendLog(QStringLiteral("Init ready..."));
    logTimestamp(report);
    report.appendLog(QStringLiteral("Start to program ..."));
    return true;
}

WriteResult checkRange(ProgrammerLink& link, const TargetSettings& target, const RangeCheck& check) {
    Reporter& report = link.report();
    WriteResult result;
    report.appendLog(attachTarget(link, target, false).result == 0 ? QStringLiteral("Init ready...")
                                                                   : QStringLiteral("Init fail..."));
    result.code = link.checkDataCrc(check.crc, check.address, check.length);
    report.appendLog(result.ok() ? check.okLine : check.ngLine);
    const ProgrammerLink::TargetControlReply run = attachTarget(link, target, true);
    result.targetStarted = run.started;
    if (run.result == 0)
        report.appendLog(QStringLiteral("Target run..."));
    return result;
}

WriteResult programmerLost(ProgrammerLink& link, WriteResult result, int code) {
    link.report().appendLog(QStringLiteral("The programmer is disconnected!"));
    result.code = code;
    result.programmerLost = true;
    return result;
}

std::optional<int> writeImagePieces(ProgrammerLink& link, const BlockWrite& write, WriteResult& result) {
    const BlockWriteOutcome written = writeBlocks(link, write);
    switch (written.status) {
        case BlockWriteOutcome::Status::Done:
        case BlockWriteOutcome::Status::Stopped:
            return std::nullopt;
        case BlockWriteOutcome::Status::WholePieceFailed:
        case BlockWriteOutcome::Status::LastPieceFailed:
            link.report().appendLog(failedWriteLine(written.failedAt, written.result));
            return written.status == BlockWriteOutcome::Status::WholePieceFailed ? -3 : -5;
        case BlockWriteOutcome::Status::DeviceClosed:
            result = programmerLost(link, result, -4);
            return -4;
    }
    return std::nullopt;
}

WriteResult finishImageWrite(ProgrammerLink& link, const BlockSkip& blocks, uint32_t crc, uint32_t address,
                             uint32_t length, const TargetSettings& target, WriteResult result) {
    Reporter& report = link.report();
    if (blocks.enabled())
        report.appendLog(blockCountsLine(result.blocks));
    report.setProgress(100);
    if (!link.device().isOpen())
        return programmerLost(link, result, -6);
    report.appendLog(QStringLiteral("Program end!"));
    logTimestamp(report);

    // Nothing written into a range the programmer has just confirmed: that answer is the check.
    if (!blocks.finalCheckAnswered(crc, address, length) && link.checkDataCrc(crc, address, length) != 0) {
        report.appendLog(QStringLiteral("Check crc NG!"));
        result.code = -7;
        return result;
    }
    report.appendLog(QStringLiteral("Check crc OK!"));
    logTimestamp(report);
    const ProgrammerLink::TargetControlReply run = attachTarget(link, target, true);
    result.targetStarted = run.started;
    result.code = run.result == 0 ? 0 : 10;
    return result;
}

}  // namespace qv
