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
    // A refusal the window shows in a box before anything is sent (empty when none).
    QString refusal;
    bool ok() const { return code == 0; }
};

// "SWD init" (run false) or "target run" from runAddress, with the settings given.
ProgrammerLink::TargetControlReply attachTarget(ProgrammerLink& link, const TargetSettings& settings, bool run,
                                                uint32_t runAddress = 0);

}  // namespace qv
