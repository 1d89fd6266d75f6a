#pragma once

#include "targetcode/CodeOperations.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

namespace qv {

class OperationHost;
class ProgrammerLink;

// The window's buttons of the target's code: choosing and summarising code images, and the
// program and verify buttons of the boot and MCU code. MainWindow owns one and calls the slot
// bodies from its button slots. The operations themselves are targetcode/CodeOperations; this is
// what the window asks, shows and enables around them. Runs on the window's thread.
class TargetOperations {
  public:
    TargetOperations(ProgrammerLink& link, OperationHost& host);

    // The target control exchange ('A' -> 'Q') with the window's SWD speed and power-off box. run
    // 0: SWD init, which reports the target type (and, for a QV310, its SPI flash id); otherwise
    // target run from runAddress. 0 when the exchange completed (also when the target reported a
    // run failure); -1/-2 budgets exhausted; -3 wrong letter; -4 reply CRC mismatch.
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

    // How the writes go (the window keeps the defaults: every block is written), and what the last
    // write did with its blocks.
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

    ProgrammerLink& link_;
    OperationHost& host_;
};

}  // namespace qv
