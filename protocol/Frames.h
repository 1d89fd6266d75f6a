#pragma once

#include <cstdint>

// The programmer's wire format: every request is one frame written to the bulk OUT pipe, every
// reply one frame read from the bulk IN pipe. Everything on the wire is big-endian.
// Builders are pure: they write into a caller's buffer (the worker's txBuffer, 4160 bytes) and
// return the number of bytes to transmit. Checkers are pure judgements of received bytes.
namespace qv::frame {

constexpr uint8_t kStart0 = 0xAA;
constexpr uint8_t kStart1 = 0x55;

constexpr uint8_t kWriteFirmware = 'J';   // -> 'Z'
constexpr uint8_t kCheckFirmware = 'L';   // -> 0x5C
constexpr uint8_t kFinishFirmware = 'O';  // -> '_'
constexpr uint8_t kWriteData = 'F';       // -> 'V'
constexpr uint8_t kCheckData = 'G';       // -> 'W'
constexpr uint8_t kConnect = 'K';         // -> ';' '[' '+'
constexpr uint8_t kTargetControl = 'A';   // -> 'Q'

constexpr uint8_t kModeNormalWork = ';';
constexpr uint8_t kModeUpdateMcuCode = '[';
constexpr uint8_t kModeUpdateBoot = '+';

constexpr uint32_t kCommandFrameLength = 36;
constexpr uint32_t kShortReplyLength = 13;
constexpr uint32_t kConnectionReplyLength = 36;
constexpr uint32_t kDataFrameOverhead = 14;
constexpr uint32_t kMaxPayload = 4096;

constexpr uint8_t replyLetter(uint8_t request) { return static_cast<uint8_t>(request + 0x10); }

void putBe32(uint8_t* p, uint32_t value);
void putBe24(uint8_t* p, uint32_t value);
uint32_t getBe32(const uint8_t* p);
uint32_t getBe24(const uint8_t* p);

// Data frame ('J', 'F'): header, payload (n <= 4096), CRC over header and payload. Returns n + 14,
// or 38 for the 36-byte frame, which is sent with two extra bytes. Those two bytes, like every
// byte the format leaves open, are written as zero so that each frame is reproducible.
uint32_t buildDataFrame(uint8_t* tx, uint8_t letter, uint32_t argument, const uint8_t* payload,
                        uint32_t n);

// Command frames: always 36 bytes; unused bytes of 0-31 are zero, CRC over 0-31 in 32-35.
uint32_t buildCrcCheckFrame(uint8_t* tx, uint8_t letter, uint32_t start, uint32_t length,
                            uint32_t expectedCrc);  // 'L' or 'G'
uint32_t buildConnectFrame(uint8_t* tx);                    // 'K' "QV"
uint32_t buildFinishFrame(uint8_t* tx, uint8_t flag);       // 'O' "usB", byte 6 = flag
// 'A' "SWD": run false = SWD init ('0'), true = target run ('1') with the run address and
// 'P' (powerOff) or 'U'; speed is written as given (the caller clamps it to 0..2).
uint32_t buildTargetControlFrame(uint8_t* tx, bool run, uint32_t runAddress, uint8_t speed,
                                 bool powerOff);

enum class ReplyVerdict {
    Ok,
    WrongShape,  // wrong length or wrong letter: result -3
    BadCrc,      // result -4
};

struct ReplyCheck {
    ReplyVerdict verdict = ReplyVerdict::WrongShape;
    uint32_t computedCrc = 0;  // valid when the CRC was looked at
    uint32_t receivedCrc = 0;
};

// Short reply: length 13, then letter, then CRC of bytes 0-8 against 9-12. Bytes 0-1 unexamined.
ReplyCheck checkShortReply(const uint8_t* rx, uint32_t length, uint8_t expectedLetter);
// Connection reply: length 36, then CRC of bytes 0-31 against 32-35. The mode letter is judged
// by the caller.
ReplyCheck checkConnectionReply(const uint8_t* rx, uint32_t length);
// Target control reply: letter 'Q', then CRC of bytes 0-8 against 9-12; the length is not
// examined, but a reply shorter than 13 bytes is judged WrongShape rather than read past its end.
ReplyCheck checkTargetControlReply(const uint8_t* rx, uint32_t length);

}  // namespace qv::frame
