#pragma once

#include <QString>

#include <cstdint>
#include <functional>

namespace qv {

class ProgrammerLink;

// Options of the code and UI image writes. The window never sets them: it always writes every
// block, as its buttons do.
struct WriteOptions {
    // Ask the programmer first whether the range already holds the image ('G' with the image's
    // CRC-32/0); when it does, write nothing. Otherwise check each 4096-byte block (and, for MCU
    // code, the boot index page) and write only those the programmer does not report as equal.
    // The final CRC check over the whole range is made as after a full write and decides; when
    // the first whole-range check matched and nothing was written, that answer is the final check.
    bool skipUnchanged = false;
    // UI writes only: refuse, after the SWD init and before the first piece (result -1), a target
    // whose SPI flash the catalogue does not list, whose UI room is therefore unknown. The window
    // writes a whole image only into a known room and a difference file as the file says.
    bool refuseUnknownTargetFlash = false;
};

// What a write did with its blocks: the image's 4096-byte blocks (the last one may be shorter)
// and, for an application above the boot area, the boot index page.
struct BlockCounts {
    uint32_t written = 0;
    uint32_t skipped = 0;
};

// With skipUnchanged: true when the programmer reports (a valid 'G' reply with status 0) that the
// range from address holds exactly these bytes. Any other answer counts as different.
bool holdsAlready(ProgrammerLink& link, const uint8_t* data, uint32_t address, uint32_t length);
// The log line a write with skipUnchanged ends its block phase with.
QString blockCountsLine(const BlockCounts& counts);

// Skip-unchanged for one write, the same for code and UI images: the whole range is asked about
// first, then each block the write would send; what is written and what is left is counted in
// the write's BlockCounts. Disabled, it asks nothing and every block is written.
class BlockSkip {
  public:
    BlockSkip(ProgrammerLink& link, bool enabled, BlockCounts& counts);

    bool enabled() const { return enabled_; }
    // The first question (only when enabled): true when the range already holds these bytes;
    // then every block is left as it is without asking again.
    bool askWholeRange(const uint8_t* data, uint32_t address, uint32_t length);
    // True when the block may be left as it is; counts it either way.
    bool leaveAsItIs(const uint8_t* data, uint32_t address, uint32_t length);
    // Counts a block decided by the caller.
    void count(bool leftAsItIs);
    // True when nothing was written and the first question already had the programmer confirm
    // that the range [address, address + length) holds data whose CRC-32/0 is crc: the final
    // check of that range would ask the very same question again.
    bool finalCheckAnswered(uint32_t crc, uint32_t address, uint32_t length) const;

  private:
    ProgrammerLink& link_;
    const bool enabled_;
    BlockCounts& counts_;
    bool wholeRangeHolds_ = false;
    uint32_t wholeCrc_ = 0;
    uint32_t wholeAddress_ = 0;
    uint32_t wholeLength_ = 0;
};

// The one write loop of every image the programmer takes: boot and MCU code, a whole UI image,
// each block of a difference file, the programmer's own firmware. The bytes go out in pieces of
// 4096 (the last one may be shorter), each piece an exchange of its own; after each whole piece
// the caller's progress is reported, the reporter pumps and the stop conditions are looked at.
struct BlockWrite {
    enum class Transaction { Data, Firmware };  // 'F' into the target's flash, 'J' the programmer's
    Transaction transaction = Transaction::Data;
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    uint32_t address = 0;  // of the first byte (an offset into the firmware for 'J')
    // Asked about each piece before it is sent (none: every piece is sent).
    BlockSkip* skip = nullptr;
    // Called after each whole piece with the bytes done so far (before the pump).
    std::function<void(uint32_t done)> progress;
    // After each whole piece: end when the device has closed.
    bool stopWhenDeviceCloses = true;
    // After each piece: end when the reporter's stop request is set (then the last piece is
    // followed by a pump and that look too).
    bool stopOnRequest = false;
};

struct BlockWriteOutcome {
    enum class Status {
        Done,
        WholePieceFailed,  // a whole piece's exchange failed (result)
        LastPieceFailed,   // the shorter last piece's exchange failed (result)
        DeviceClosed,      // the device closed after a whole piece
        Stopped,           // the stop request was set
    };
    Status status = Status::Done;
    int result = 0;            // the failed exchange's result
    uint32_t failedAt = 0;     // the address (or offset) of the piece that failed
    bool done() const { return status == Status::Done; }
};

BlockWriteOutcome writeBlocks(ProgrammerLink& link, const BlockWrite& write);

}  // namespace qv
