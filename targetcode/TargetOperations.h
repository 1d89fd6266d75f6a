#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

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

// What the last write did with its blocks: the image's 4096-byte blocks (the last one may be
// shorter) and, for an application above the boot area, the boot index page.
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

// The target's code: attaching to and starting the target over SWD, choosing and summarising
// code images, writing an image block by block, and the program and verify buttons of the boot
// and MCU code. MainWindow owns one and calls the slot bodies from its button slots; everything
// runs on the GUI thread and reaches the window only through the link's OperationHost.
class TargetOperations {
  public:
    explicit TargetOperations(ProgrammerLink& link);

    // The target control exchange ('A' -> 'Q'). run 0: SWD init, which reports the target type
    // (and, for a QV310, its SPI flash id); otherwise target run from runAddress with the
    // power-off choice. 0 when the exchange completed (also when the target reported a run
    // failure); -1/-2 budgets exhausted; -3 wrong letter; -4 reply CRC mismatch.
    int targetControl(int run, uint32_t runAddress);

    // Writes length bytes of imageData to the target from start, writes the boot index page for
    // an application placed above the boot area, has the programmer check the CRC of the range
    // and starts the target. 0 success; -1 nothing to write; -3 a full block or the boot index
    // failed; -4 programmer lost during the blocks; -5 the last partial block failed; -6
    // programmer lost after the writes; -7 CRC check failed; 10 SWD init or target run failed.
    // Works on its own copy of imageData, imageLength and imageCrc taken on entry. Follows
    // writeOptions and leaves what it did with the blocks in blockCounts.
    int programTarget(int32_t length, uint32_t start);

    void inputMcuCode();
    void inputBootCode();
    void programMcuCode();
    void programBootCode();
    void verifyMcuCode();
    void verifyBootCode();

    // Where the MCU and boot code dialogs open (the last files chosen; saved in config.ini).
    QString mcuCodePath = QStringLiteral("./");
    QString bootCodePath;
    // Length and CRC-32/0 of the MCU code last read, or of the image a program slot is writing.
    int32_t imageLength = 0;
    uint32_t imageCrc = 0;
    // Length and CRC-32/0 of the boot code last read for input or boot verification.
    int32_t bootCodeLength = 0;
    uint32_t bootCodeCrc = 0;
    // The bytes a program or verify slot is working on; empty between presses.
    QByteArray imageData;
    // What the last program or verify press ended with: programTarget's result, or the CRC
    // check's result for a verify. kNotRun while a press has refused its file or found the
    // programmer gone before reaching the board.
    static constexpr int kNotRun = -1000;
    int lastResult = kNotRun;

    // What the target control exchange last reported: the target type of an SWD init, and whether
    // the target started after a target run ("Target run..." rather than "Target run fail...").
    // None until such a reply arrived; front ends that report them reset them before an operation.
    std::optional<uint32_t> lastTargetType;
    std::optional<bool> targetStarted;

    // How programTarget writes (the console sets these; the window keeps the defaults), and what
    // the last programTarget did with its blocks.
    WriteOptions writeOptions;
    BlockCounts blockCounts;

  private:
    enum class Kind { Mcu, Boot };
    void inputCode(Kind kind);
    void programCode(Kind kind);
    void verifyCode(Kind kind);
    // Reads the file named in the kind's path field into imageData and summarises it. False
    // (after telling the user) when the field is empty or the file cannot be opened.
    bool readImage(Kind kind, const QString& emptyMessage, const QString& openMessage);
    // Sets the kind's summary label (label_MCUCRC or label_BootCRC).
    void showSummary(Kind kind, uint32_t crc, int32_t length);
    bool reportIfDisconnected();
    void setNoSleep(bool on);

    ProgrammerLink& link_;
};

}  // namespace qv
