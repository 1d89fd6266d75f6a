#pragma once

#include <cstdint>
#include <string>

// What a programmer says about itself in its answer to the connection request 'K', decoded for
// the diagnostic program. Pure functions of the received bytes.
namespace qv::diag {

enum class ReplyStatus {
    Connected,    // 36 bytes, CRC right, a known mode letter
    WrongLength,  // not 36 bytes
    BadCrc,       // bytes 32-35 do not match the CRC-32/0 of bytes 0-31
    UnknownMode,  // CRC right, but byte 2 is none of ';' '[' '+'
};

struct ConnectionReport {
    ReplyStatus status = ReplyStatus::WrongLength;
    uint32_t length = 0;
    uint32_t computedCrc = 0;  // set once the length was right
    uint32_t receivedCrc = 0;
    uint8_t modeLetter = 0;
    // The rest is set only for Connected. Versions carry 0x20 in their top byte.
    uint32_t bootVersion = 0;
    uint32_t appVersion = 0;
    uint32_t boardMcu = 0;
    uint32_t boardId = 0;
    uint32_t flashId = 0;  // 24 bits
};

ConnectionReport readConnectionReply(const uint8_t* rx, uint32_t length);

// "Connection for normal work" for ';', and so on; nullptr for any other letter.
const char* modeText(uint8_t letter);

// "0x" and upper-case digits, zero-padded to digits and never cut.
std::string hexNumber(uint32_t value, int digits);
// Bytes as upper-case hex pairs separated by blanks.
std::string hexBytes(const uint8_t* data, uint32_t length);

// The report as lines of text, each ending in '\n'.
std::string describe(const ConnectionReport& report);

}  // namespace qv::diag
