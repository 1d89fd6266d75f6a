#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The two file forms in which new UI content reaches the UI area of the target's SPI flash:
// the UI image (the whole area, optionally with a 12-byte UI image header) and the difference
// file (a 32-byte header and the changed blocks). Functions of bytes only: no I/O, no widgets.
namespace qv {

// Flash address of byte 0 of the UI area.
constexpr uint32_t kUiFlashBase = 0x80000;
// Size of one write to the programmer, and the sector size the difference maker aligns to.
constexpr uint32_t kUiPieceSize = 4096;

// --- UI image ------------------------------------------------------------------------------

// The UI image header: three little-endian words at file offset 372. Bytes 372-383 never reach
// the flash; a full write replaces them by 0xFF.
constexpr size_t kUiHeaderOffset = 372;
constexpr size_t kUiHeaderSize = 12;
constexpr size_t kUiHeaderEnd = kUiHeaderOffset + kUiHeaderSize;  // 384

struct UiImageInfo {
    uint32_t fileCrc = 0;    // CRC-32/0 of every byte of the file
    uint32_t headerCrc = 0;  // the flashCrc word at 376, valid header or not (0 when too short)
    bool hasHeader = false;  // length word equals the file length, flashCrc = ~complement
};

// Reads the header words of an image of length bytes. An image shorter than 384 bytes cannot
// hold the header: it has none and its headerCrc is 0; nothing beyond its end is read.
UiImageInfo readUiImage(const uint8_t* data, size_t length);

// The image as it is written to flash: with a valid header, bytes 372-383 become 0xFF;
// without one, unchanged.
std::vector<uint8_t> uiFlashForm(const uint8_t* data, size_t length);

// The CRC the UI area holds after a full write of this image: flashCrc with a valid header,
// the CRC of the whole file otherwise.
uint32_t uiExpectedCrc(const UiImageInfo& info);

// --- Difference file -----------------------------------------------------------------------

constexpr size_t kDiffHeaderSize = 32;
constexpr size_t kDiffParaCrcSpan = 28;  // diff_para_crc covers header bytes 0-27
constexpr size_t kDiffRecordHeadSize = 16;
constexpr uint32_t kDiffMaxBlockLength = 0x80000000u;  // blk_len must stay below this

// The eight big-endian words of the difference header, in file order.
struct FileDiffInfo {
    uint32_t diff_index = 0;
    uint32_t dblk_lenght = 0;
    uint32_t dblk_crc = 0;
    uint32_t dblk_number = 0;
    uint32_t nFile_lenght = 0;
    uint32_t nFile_crc = 0;
    uint32_t nFile_ui_crc = 0;
    uint32_t diff_para_crc = 0;
};

// Bytes 0-31 as eight big-endian words. The caller guarantees 32 readable bytes.
FileDiffInfo decodeDiffInfo(const uint8_t* data);
// The inverse: the 32 header bytes of info.
void encodeDiffInfo(const FileDiffInfo& info, uint8_t* out);

// One block record: a 16-byte head (blk_addr, blk_len, blk_crc, blk_reserved, big-endian) and
// blk_len data bytes that belong at flash address kUiFlashBase + blk_addr.
struct DiffBlock {
    size_t headOffset = 0;  // file offset of the record head
    uint32_t blk_addr = 0;
    uint32_t blk_len = 0;
    uint32_t blk_crc = 0;
    size_t dataOffset() const { return headOffset + kDiffRecordHeadSize; }
    size_t nextOffset() const { return dataOffset() + blk_len; }
    uint32_t flashAddress() const { return kUiFlashBase + blk_addr; }
};

enum class DiffLayoutFault {
    None,
    ShortHeader,     // the file has fewer than 32 bytes
    TruncatedHead,   // a record head runs past the end of the file
    TruncatedData,   // a record's data runs past the end of the file
    LengthTooLarge,  // blk_len is 0x80000000 or more
    AddressWraps,    // kUiFlashBase + blk_addr (+ blk_len) runs past 2^32
};

struct DiffLayout {
    std::vector<DiffBlock> blocks;  // every record, in file order (complete only when ok())
    DiffLayoutFault fault = DiffLayoutFault::None;
    size_t faultOffset = 0;  // head offset of the broken record
    bool ok() const { return fault == DiffLayoutFault::None; }
};

// Walks every record from offset 32 to the end of the file and checks that each one lies wholly
// inside the file and inside the 32-bit flash address space. One broken record makes the whole
// file broken: a caller writes nothing unless ok(). dblk_number is not consulted.
DiffLayout walkDiffBlocks(const uint8_t* data, size_t length);

struct DiffCheck {
    FileDiffInfo info;       // zero-padded decode when the file is shorter than 32 bytes
    uint32_t par_tCRC = 0;   // CRC-32/0 of header bytes 0-27 (of the bytes present)
    uint32_t blk_tCRC = 0;   // CRC-32/0 of bytes 32 to the end (0 for a file of 32 bytes or less)
    bool crcsMatch = false;  // at least 32 bytes, par_tCRC = diff_para_crc, blk_tCRC = dblk_crc
    DiffLayout layout;       // the record walk (only run when crcsMatch)
    bool accepted() const { return crcsMatch && layout.ok(); }
};

// The acceptance test of a difference file: both CRCs, then every record.
DiffCheck checkDiffFile(const uint8_t* data, size_t length);

// --- Difference maker -----------------------------------------------------------------------

struct DiffMakerSummary {
    uint32_t blocks = 0;
    uint64_t blockBytes = 0;  // data bytes in all blocks
    uint64_t fileBytes = 0;   // length of the difference file
};

// Builds the difference file that turns the UI area holding oldImage into the UI area holding
// newImage. Both images are compared in the form a full write leaves in flash (uiFlashForm), so
// a valid UI image header arrives as 0xFF, as after a full write, and the area then checks
// against newImage's expected CRC.
//
// The new image is cut into 4096-byte sectors from offset 0; a sector is changed when any of its
// bytes differs from the old image or lies beyond the old image's end. Runs of adjacent changed
// sectors become one block whose data comes from the new image (the last block ends at the new
// image's end). When the new image is shorter than the old one, the flash beyond the new image's
// end is not described and keeps whatever it held.
//
// Header: dblk_lenght and dblk_crc describe the block area, dblk_number counts the records,
// nFile_lenght and nFile_crc are the new image's length and CRC-32/0, nFile_ui_crc its expected
// flash CRC (uiExpectedCrc), diff_para_crc the CRC of header bytes 0-27. blk_reserved is 0.
// The new image must be shorter than 0x80000000 - 0x80000 bytes so that every address fits.
std::vector<uint8_t> makeDiffFile(const std::vector<uint8_t>& oldImage, const std::vector<uint8_t>& newImage,
                                  uint32_t diffIndex, DiffMakerSummary* summary = nullptr);

// Applies every block of an accepted difference file to a copy of a UI area (offset 0 = the UI
// base), growing it where a block ends beyond it. Returns false, leaving area untouched, when the
// file is not accepted.
bool applyDiffFile(const uint8_t* diff, size_t length, std::vector<uint8_t>& area);

}  // namespace qv
