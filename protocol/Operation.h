#pragma once

#include "BlockWrite.h"
#include "ProgrammerLink.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace qv {

// What every operation on the target shares: how the target is attached and started, and what an
// operation came to.

// How the target is attached and started: the SWD speed (0..2) and whether a target run powers
// the target off first.
struct TargetSettings {
    uint8_t swdSpeed = 0;
    bool powerOff = false;
};

// What a code, UI or firmware operation came to.
struct WriteResult {
    // The operation's result code (each operation lists its own); kNotRun when it refused before
    // anything was sent.
    static constexpr int kNotRun = -1000;
    int code = kNotRun;
    BlockCounts blocks;
    // Whether the target started at the end (none: no target run was answered).
    std::optional<bool> targetStarted;
    // The device closed while the operation ran.
    bool programmerLost = false;
    bool ok() const { return code == 0; }
};

// "SWD init" (run false) or "target run" from runAddress, with the settings given.
ProgrammerLink::TargetControlReply attachTarget(ProgrammerLink& link, const TargetSettings& settings, bool run,
                                                uint32_t runAddress = 0);

// The steps every write of an image into the target's flash shares (boot and MCU code, a whole
// UI image), in their order:
// Clears the log, attaches the target and logs the start lines. False when the SWD init failed
// (the write's result is then 10).
bool beginImageWrite(ProgrammerLink& link, const TargetSettings& target);
// Writes the image's pieces. None when every piece went out (or was left as it is); otherwise the
// write's result code (-3 a whole piece failed, -5 the last piece failed, -4 the programmer was lost
// between pieces), the failure logged.
std::optional<int> writeImagePieces(ProgrammerLink& link, const BlockWrite& write, WriteResult& result);
// After the pieces: the block counts line (when skipping), progress 100, the programmer still
// there (-6 otherwise), "Program end!", the final CRC check of [address, address + length)
// against crc (-7), and the target run (0, or 10 when it failed).
WriteResult finishImageWrite(ProgrammerLink& link, const BlockSkip& blocks, uint32_t crc, uint32_t address,
                             uint32_t length, const TargetSettings& target, WriteResult result);
// Checks a range the target's flash should hold, as the verify and check buttons do: attaches the
// target ("Init ready..." or "Init fail..."), has the programmer check the CRC of [address,
// address + length) against crc and logs okLine or ngLine, then starts the target ("Target
// run..." once more when it answered). The code is the check's result.
struct RangeCheck {
    uint32_t crc = 0;
    uint32_t address = 0;
    uint32_t length = 0;
    QString okLine;
    QString ngLine;
};
WriteResult checkRange(ProgrammerLink& link, const TargetSettings& target, const RangeCheck& check);
// Logs that the programmer is gone and ends the write with code.
WriteResult programmerLost(ProgrammerLink& link, WriteResult result, int code);

}  // namespace qv
