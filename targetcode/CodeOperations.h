#pragma once

#include "protocol/Operation.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

namespace qv {

class ProgrammerLink;

enum class CodeKind { Mcu, Boot };

// Why a code image cannot be written, before anything is sent. The texts are the operations' own.
enum class CodeRefusal { None, TooShort, BadRunningAddress, TooLong, PastCodeFlash };
CodeRefusal checkCodeImage(CodeKind kind, const uint8_t* data, size_t size, uint32_t start);
QString codeRefusalText(CodeKind kind, CodeRefusal refusal);

// Writes length bytes of data (size bytes available) to the target from start, writes the boot
// index page for an application placed above the boot area, has the programmer check the CRC of
// the range [start, start + checkLength) against checkCrc and starts the target. Codes: 0 success;
// -1 nothing to write (told to the reporter as refused); -3 a full block or the boot index failed; -4 programmer lost
// during the blocks; -5 the last partial block failed; -6 programmer lost after the writes; -7
// CRC check failed; 10 SWD init or target run failed.
struct CodeWrite {
    const uint8_t* data = nullptr;
    int64_t size = 0;
    int32_t length = 0;
    uint32_t start = 0;
    uint32_t checkCrc = 0;
    int32_t checkLength = 0;
    WriteOptions options;
    TargetSettings target;
};
WriteResult writeCodeImage(ProgrammerLink& link, const CodeWrite& write);

// "Program 310 McuCode" / "Program 310 Boot" once the image has passed checkCodeImage: keeps the
// programmer awake, writes the whole image from start and logs the verdict line.
WriteResult programCode(ProgrammerLink& link, const QByteArray& image, uint32_t start, const WriteOptions& options,
                        const TargetSettings& target);

// "Verify McuCode" / "Verify Boot": attaches the target, has the programmer check the CRC of the
// code range against crc over length bytes, logs the verdict and starts the target. The code is
// the check's result (0 equal, the status byte, or a link failure).
WriteResult verifyCode(ProgrammerLink& link, CodeKind kind, uint32_t crc, int32_t length,
                       const TargetSettings& target);

}  // namespace qv
