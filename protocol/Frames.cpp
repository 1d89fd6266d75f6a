#include "Frames.h"

#include "Crc32.h"

#include <cstring>

namespace qv::frame {

void putBe32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

void putBe24(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 16);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value);
}

uint32_t getBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

uint32_t getBe24(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) |
           static_cast<uint32_t>(p[2]);
}

uint32_t buildDataFrame(uint8_t* tx, uint8_t letter, uint32_t argument, const uint8_t* payload, uint32_t n) {
    const uint32_t total = n + kDataFrameOverhead;
    tx[0] = kStart0;
    tx[1] = kStart1;
    tx[2] = letter;
    putBe24(tx + 3, total);
    putBe32(tx + 6, argument);
    if (n > 0)
        std::memcpy(tx + 10, payload, n);
    putBe32(tx + 10 + n, crc32zero(tx, 10 + n));
    if (total == kCommandFrameLength) {
        // A 36-byte data frame goes out with two more bytes; they carry nothing and are zero.
        tx[total] = 0;
        tx[total + 1] = 0;
        return total + 2;
    }
    return total;
}

namespace {

// Starts a command frame: clears bytes 0-31 so the frame depends only on its own fields.
void beginCommand(uint8_t* tx, uint8_t letter) {
    std::memset(tx, 0, 32);
    tx[0] = kStart0;
    tx[1] = kStart1;
    tx[2] = letter;
}

uint32_t endCommand(uint8_t* tx) {
    putBe32(tx + 32, crc32zero(tx, 32));
    return kCommandFrameLength;
}

}  // namespace

uint32_t buildCrcCheckFrame(uint8_t* tx, uint8_t letter, uint32_t start, uint32_t length,
                            uint32_t expectedCrc) {
    beginCommand(tx, letter);
    putBe24(tx + 3, kCommandFrameLength);
    putBe32(tx + 6, start);
    putBe32(tx + 10, length);
    putBe32(tx + 14, expectedCrc);
    return endCommand(tx);
}

uint32_t buildConnectFrame(uint8_t* tx) {
    beginCommand(tx, kConnect);
    tx[3] = 'Q';
    tx[4] = 'V';
    return endCommand(tx);
}

uint32_t buildFinishFrame(uint8_t* tx, uint8_t flag) {
    beginCommand(tx, kFinishFirmware);
    tx[3] = 'u';
    tx[4] = 's';
    tx[5] = 'B';
    tx[6] = flag;
    return endCommand(tx);
}

uint32_t buildTargetControlFrame(uint8_t* tx, bool run, uint32_t runAddress, uint8_t speed, bool powerOff) {
    beginCommand(tx, kTargetControl);
    tx[3] = 'S';
    tx[4] = 'W';
    tx[5] = 'D';
    tx[6] = run ? '1' : '0';
    if (run) {
        putBe32(tx + 7, runAddress);
        tx[12] = powerOff ? 'P' : 'U';
    }
    tx[11] = speed;
    return endCommand(tx);
}

namespace {

ReplyCheck checkCrcAt(const uint8_t* rx, uint32_t covered) {
    ReplyCheck check;
    check.computedCrc = crc32zero(rx, covered);
    check.receivedCrc = getBe32(rx + covered);
    check.verdict = check.computedCrc == check.receivedCrc ? ReplyVerdict::Ok : ReplyVerdict::BadCrc;
    return check;
}

}  // namespace

ReplyCheck checkShortReply(const uint8_t* rx, uint32_t length, uint8_t expectedLetter) {
    if (length != kShortReplyLength || rx[2] != expectedLetter)
        return ReplyCheck{};
    return checkCrcAt(rx, 9);
}

ReplyCheck checkConnectionReply(const uint8_t* rx, uint32_t length) {
    if (length != kConnectionReplyLength)
        return ReplyCheck{};
    return checkCrcAt(rx, 32);
}

ReplyCheck checkTargetControlReply(const uint8_t* rx, uint32_t length) {
    if (length < kShortReplyLength || rx[2] != replyLetter(kTargetControl))
        return ReplyCheck{};
    return checkCrcAt(rx, 9);
}

}  // namespace qv::frame
