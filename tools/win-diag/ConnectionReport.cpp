#include "ConnectionReport.h"

#include "protocol/Frames.h"

#include <cstdio>

namespace qv::diag {

namespace {

constexpr uint32_t kVersionTag = 0x20000000;

}  // namespace

ConnectionReport readConnectionReply(const uint8_t* rx, uint32_t length) {
    ConnectionReport report;
    report.length = length;
    const frame::ReplyCheck check = frame::checkConnectionReply(rx, length);
    if (check.verdict == frame::ReplyVerdict::WrongShape) {
        report.status = ReplyStatus::WrongLength;
        return report;
    }
    report.computedCrc = check.computedCrc;
    report.receivedCrc = check.receivedCrc;
    if (check.verdict == frame::ReplyVerdict::BadCrc) {
        report.status = ReplyStatus::BadCrc;
        return report;
    }
    report.modeLetter = rx[2];
    if (!modeText(report.modeLetter)) {
        report.status = ReplyStatus::UnknownMode;
        return report;
    }
    // Bytes 3-5 carry the version of the firmware that is running: the application in normal
    // work, the boot loader in both update modes. Bytes 18-20 carry the other one.
    const uint32_t running = kVersionTag | frame::getBe24(rx + 3);
    const uint32_t other = kVersionTag | frame::getBe24(rx + 18);
    if (report.modeLetter == frame::kModeNormalWork) {
        report.appVersion = running;
        report.bootVersion = other;
    } else {
        report.bootVersion = running;
        report.appVersion = other;
    }
    report.flashId = frame::getBe24(rx + 7);
    report.boardMcu = frame::getBe32(rx + 14);
    report.boardId = frame::getBe32(rx + 22);
    report.status = ReplyStatus::Connected;
    return report;
}

const char* modeText(uint8_t letter) {
    switch (letter) {
        case frame::kModeNormalWork:
            return "Connection for normal work";
        case frame::kModeUpdateMcuCode:
            return "Connection for update mcu code";
        case frame::kModeUpdateBoot:
            return "Connection for update boot";
        default:
            return nullptr;
    }
}

std::string hexNumber(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*lX", digits < 1 ? 1 : (digits > 8 ? 8 : digits),
                  static_cast<unsigned long>(value));
    return text;
}

std::string hexBytes(const uint8_t* data, uint32_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size_t{length} * 3);
    for (uint32_t i = 0; i < length; ++i) {
        if (i > 0)
            text += ' ';
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
    }
    return text;
}

std::string describe(const ConnectionReport& report) {
    std::string text;
    switch (report.status) {
        case ReplyStatus::WrongLength:
            text += "Bad reply: " + std::to_string(report.length) + " bytes, a connection reply has " +
                    std::to_string(frame::kConnectionReplyLength) + "\n";
            return text;
        case ReplyStatus::BadCrc:
            text += "CRC error:" + hexNumber(report.computedCrc, 8) + "," + hexNumber(report.receivedCrc, 8) +
                    "\n";
            return text;
        case ReplyStatus::UnknownMode:
            text += "Illegal connection... (mode letter " + hexNumber(report.modeLetter, 2) + ")\n";
            return text;
        case ReplyStatus::Connected:
            break;
    }
    text += std::string(modeText(report.modeLetter)) + " (mode letter '" + char(report.modeLetter) + "')\n";
    text += "Boot_Version: " + hexNumber(report.bootVersion, 8) + "\n";
    text += "App_Version:  " + hexNumber(report.appVersion, 8) + "\n";
    text += "Board MCU:    " + hexNumber(report.boardMcu, 8) + "\n";
    text += "Board ID:     " + hexNumber(report.boardId, 8) + "\n";
    text += "FlashID:      " + hexNumber(report.flashId, 6) + "\n";
    return text;
}

}  // namespace qv::diag
