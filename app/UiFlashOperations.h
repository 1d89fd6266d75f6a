#pragma once

#include "TargetOperations.h"

#include "uiflash/UiOperations.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace qv {

class OperationHost;
class ProgrammerLink;

// The window's buttons of the UI area of the target's SPI flash: choosing a UI image or difference
// file ("Input UI bin"), writing it ("Update UI": a whole image, or the changed blocks of a
// difference file) and checking it ("Check UI"). MainWindow owns one and calls the slot bodies
// from its button slots. The operations themselves are uiflash/UiOperations; this is what the
// window asks, shows and enables around them. Runs on the window's thread.
//
// Result codes of programUiImage: 0 written, checked and target started; -1 fewer than 8 bytes
// or larger than the UI room; -3 a whole piece failed; -4 programmer gone after a whole piece;
// -5 the last partial piece failed; -6 programmer gone after the last piece; -7 CRC check of
// the UI area failed; 10 SWD init or target run failed.
//
// Result codes of updateUiBlocks: 0 every block written and checked; -1 dblk_number is 0, or a
// block would end beyond the UI room, or (refuseUnknownTargetFlash) the room is unknown;
// -3 a whole piece or a block's CRC check failed, Exit was pressed, or the records do not fit
// the file; -5 the last partial piece of a block failed; 10 SWD init failed.
class UiFlashOperations {
  public:
    UiFlashOperations(ProgrammerLink& link, OperationHost& host);

    // "Input UI bin": choose a file, read it and show its summary. Needs no programmer.
    void selectUiFile();
    // "Update UI": writes the file named in the UI path field, whole or block by block.
    void updateUi();
    // "Check UI": compares the CRC of the UI area with the one the chosen image should leave.
    void checkUi();

    // Writes the first length bytes of uiImageData from the UI base, checks them and starts the
    // target. Follows writeOptions and leaves what it did with the pieces in blockCounts.
    int programUiImage(int32_t length);
    // Writes every block of the difference file held in the first length bytes of uiImageData
    // and has the programmer check each one.
    int updateUiBlocks(int32_t length);

    // Sets uiImageCrc, uiImageLength, uiHeaderCrc and uiHasHeader from a UI image file's bytes;
    // returns the summary for the UI CRC label.
    QString inspectUiImage(const uint8_t* data, int32_t length);

    struct DiffInspection {
        bool accepted = false;
        QString summary;
    };
    // Sets uiImageCrc, uiImageLength and file_diff_info from a difference file's bytes, logs the
    // "par_tCRC:" and "blk_tCRC:" lines and judges the file: accepted when it has its 32 header
    // bytes, both CRCs match and every block record lies inside the file and the flash address
    // space, so that a file that cannot be written whole is refused before anything is sent.
    DiffInspection inspectDiffFile(const uint8_t* data, int32_t length);

    QString uiImagePath = QStringLiteral("./");
    int32_t uiImageLength = 0;
    uint32_t uiImageCrc = 0;
    uint32_t uiHeaderCrc = 0;
    int uiHasHeader = 0;
    FileDiffInfo file_diff_info;
    // The file being written or checked; empty between presses.
    std::vector<uint8_t> uiImageData;
    // What the last "Update UI" or "Check UI" press ended with: programUiImage's or
    // updateUiBlocks' result, or the CRC check's result. kNotRun while a press has refused its
    // file or found the programmer gone before reaching the board.
    static constexpr int kNotRun = -1000;
    int lastResult = kNotRun;

    // How the writes go (the window keeps the defaults: every piece is written), and what the last
    // programUiImage did with its 4096-byte pieces.
    WriteOptions writeOptions;
    BlockCounts blockCounts;

  private:
    void updateFromImage(const QString& path);
    void updateFromDiff(const QString& path);
    uint32_t expectedUiCrc() const;
    void afterWrite(const WriteResult& result);

    ProgrammerLink& link_;
    OperationHost& host_;
};

}  // namespace qv
