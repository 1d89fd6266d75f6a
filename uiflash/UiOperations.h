#pragma once

#include "UiFormats.h"

#include "protocol/BlockWrite.h"
#include "protocol/Operation.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace qv {

class ProgrammerLink;
class Reporter;

// The UI area of the target's SPI flash, written whole or block by block from a difference file
// and checked. Each function takes the bytes it works on and reports through the link's reporter.

// Result codes of writeUiImage: 0 written, checked and target started; -1 fewer than 8 bytes
// (told to the reporter as refused), or larger than the UI room, or (refuseUnknownTargetFlash) the room unknown; -3 a
// whole piece failed; -4 programmer gone after a whole piece; -5 the last partial piece failed; -6
// programmer gone after the last piece; -7 CRC check of the UI area failed; 10 SWD init or target
// run failed.
struct UiImageWrite {
    const uint8_t* data = nullptr;  // the bytes that go to the flash (a valid header blanked)
    int64_t size = 0;
    int32_t length = 0;             // how many of them to write
    uint32_t checkCrc = 0;          // what the final check of the area expects
    int32_t checkLength = 0;
    WriteOptions options;
    TargetSettings target;
};
WriteResult writeUiImage(ProgrammerLink& link, const UiImageWrite& write);

// Result codes of writeUiBlocks: 0 every block written and checked; -1 dblk_number is 0, or a
// block would end beyond the UI room, or (refuseUnknownTargetFlash) the room is unknown; -3 a whole
// piece or a block's CRC check failed, the stop request was set, or the records do not fit the
// file; -5 the last partial piece of a block failed; 10 SWD init failed.
// The header info is the file's, as its check decoded it.
WriteResult writeUiBlocks(ProgrammerLink& link, const std::vector<uint8_t>& diff, const FileDiffInfo& info,
                          const WriteOptions& options, const TargetSettings& target);

// What a UI image file says it leaves in the area: its header's CRC when it has a valid header,
// the file's own CRC otherwise; and the bytes that go to the flash (the header blanked).
struct UiImage {
    std::vector<uint8_t> flashBytes;
    UiImageInfo info;
    uint32_t expectedCrc() const { return info.hasHeader ? info.headerCrc : info.fileCrc; }
};
UiImage prepareUiImage(std::vector<uint8_t> file);

// "Update UI" once the file was read: writes a whole image, or the blocks of a difference file,
// keeping the programmer awake, and logs the verdict line.
WriteResult updateUiFromImage(ProgrammerLink& link, const UiImage& image, const WriteOptions& options,
                              const TargetSettings& target);
WriteResult updateUiFromDiff(ProgrammerLink& link, const std::vector<uint8_t>& diff, const WriteOptions& options,
                             const TargetSettings& target);

// "Check UI": attaches the target, has the programmer check the CRC of the area, logs the verdict
// and starts the target. The code is the check's result.
WriteResult checkUiArea(ProgrammerLink& link, uint32_t expectedCrc, int32_t length, const TargetSettings& target);

// Logs the two CRC lines of a difference file's check ("par_tCRC:", "blk_tCRC:").
void logDiffCrcs(Reporter& report, const DiffCheck& check);

// Why a UI file cannot be written or checked, before anything is sent.
enum class UiRefusal { None, TooShort, IllegalDiff, DiffHasNoArea };
UiRefusal checkUiFile(bool diff, bool forCheck, const uint8_t* data, size_t size);
QString uiRefusalText(UiRefusal refusal);

// The line a UI write with refuseUnknownTargetFlash logs before it refuses a chip the catalogue
// does not list.
QString unknownTargetFlashLine(uint32_t id);

// A path names a difference file when it ends in ".diff", in exactly these letters.
bool isDiffPath(const QString& path);

}  // namespace qv
