#include "UiFormats.h"

#include "protocol/Crc32.h"

#include <algorithm>
#include <cstring>

namespace qv {

namespace {

uint32_t readLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t readBe32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void writeBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

}  // namespace

UiImageInfo readUiImage(const uint8_t* data, size_t length) {
    UiImageInfo info;
    info.fileCrc = crc32zero(data, length);
    if (length < kUiHeaderEnd)
        return info;
    const uint32_t lengthWord = readLe32(data + kUiHeaderOffset);
    info.headerCrc = readLe32(data + kUiHeaderOffset + 4);
    const uint32_t complement = readLe32(data + kUiHeaderOffset + 8);
    info.hasHeader = uint64_t(lengthWord) == uint64_t(length) && info.headerCrc == ~complement;
    return info;
}

std::vector<uint8_t> uiFlashForm(const uint8_t* data, size_t length) {
    std::vector<uint8_t> out(data, data + length);
    if (readUiImage(data, length).hasHeader) {
        std::fill(out.begin() + kUiHeaderOffset, out.begin() + kUiHeaderEnd, uint8_t(0xFF));
    }
    return out;
}

uint32_t uiExpectedCrc(const UiImageInfo& info) {
    return info.hasHeader ? info.headerCrc : info.fileCrc;
}

FileDiffInfo decodeDiffInfo(const uint8_t* data) {
    FileDiffInfo info;
    info.diff_index = readBe32(data + 0);
    info.dblk_lenght = readBe32(data + 4);
    info.dblk_crc = readBe32(data + 8);
    info.dblk_number = readBe32(data + 12);
    info.nFile_lenght = readBe32(data + 16);
    info.nFile_crc = readBe32(data + 20);
    info.nFile_ui_crc = readBe32(data + 24);
    info.diff_para_crc = readBe32(data + 28);
    return info;
}

void encodeDiffInfo(const FileDiffInfo& info, uint8_t* out) {
    writeBe32(out + 0, info.diff_index);
    writeBe32(out + 4, info.dblk_lenght);
    writeBe32(out + 8, info.dblk_crc);
    writeBe32(out + 12, info.dblk_number);
    writeBe32(out + 16, info.nFile_lenght);
    writeBe32(out + 20, info.nFile_crc);
    writeBe32(out + 24, info.nFile_ui_crc);
    writeBe32(out + 28, info.diff_para_crc);
}

DiffLayout walkDiffBlocks(const uint8_t* data, size_t length) {
    DiffLayout layout;
    if (length < kDiffHeaderSize) {
        layout.fault = DiffLayoutFault::ShortHeader;
        return layout;
    }
    size_t p = kDiffHeaderSize;
    while (p < length) {
        auto fail = [&](DiffLayoutFault fault) {
            layout.fault = fault;
            layout.faultOffset = p;
            return layout;
        };
        // Every comparison is made against the bytes left, so no offset sum can overflow.
        if (length - p < kDiffRecordHeadSize)
            return fail(DiffLayoutFault::TruncatedHead);
        DiffBlock block;
        block.headOffset = p;
        block.blk_addr = readBe32(data + p);
        block.blk_len = readBe32(data + p + 4);
        block.blk_crc = readBe32(data + p + 8);
        if (block.blk_len >= kDiffMaxBlockLength)
            return fail(DiffLayoutFault::LengthTooLarge);
        if (length - p - kDiffRecordHeadSize < block.blk_len) {
            return fail(DiffLayoutFault::TruncatedData);
        }
        const uint64_t start = uint64_t(kUiFlashBase) + block.blk_addr;
        if (start > 0xFFFFFFFFull || start + block.blk_len > (uint64_t(1) << 32)) {
            return fail(DiffLayoutFault::AddressWraps);
        }
        layout.blocks.push_back(block);
        p = block.nextOffset();
    }
    return layout;
}

DiffCheck checkDiffFile(const uint8_t* data, size_t length) {
    DiffCheck check;
    uint8_t header[kDiffHeaderSize] = {};
    if (length > 0)
        std::memcpy(header, data, std::min(length, kDiffHeaderSize));
    check.info = decodeDiffInfo(header);
    check.par_tCRC = crc32zero(data, std::min(length, kDiffParaCrcSpan));
    check.blk_tCRC =
        length > kDiffHeaderSize ? crc32zero(data + kDiffHeaderSize, length - kDiffHeaderSize) : 0;
    check.crcsMatch = length >= kDiffHeaderSize && check.par_tCRC == check.info.diff_para_crc &&
                      check.blk_tCRC == check.info.dblk_crc;
    if (check.crcsMatch) {
        check.layout = walkDiffBlocks(data, length);
    } else {
        check.layout.fault = length < kDiffHeaderSize ? DiffLayoutFault::ShortHeader : DiffLayoutFault::None;
    }
    return check;
}

std::vector<uint8_t> makeDiffFile(const std::vector<uint8_t>& oldImage, const std::vector<uint8_t>& newImage,
                                  uint32_t diffIndex, DiffMakerSummary* summary) {
    const std::vector<uint8_t> oldFlash = uiFlashForm(oldImage.data(), oldImage.size());
    const std::vector<uint8_t> newFlash = uiFlashForm(newImage.data(), newImage.size());
    const size_t n = newFlash.size();

    auto sectorChanged = [&](size_t begin) {
        const size_t end = std::min(n, begin + kUiPieceSize);
        if (end > oldFlash.size())
            return true;
        return !std::equal(newFlash.begin() + begin, newFlash.begin() + end, oldFlash.begin() + begin);
    };

    std::vector<uint8_t> out(kDiffHeaderSize, 0);
    uint32_t records = 0;
    uint64_t blockBytes = 0;
    for (size_t sector = 0; sector < n;) {
        if (!sectorChanged(sector)) {
            sector += kUiPieceSize;
            continue;
        }
        size_t end = sector + kUiPieceSize;
        while (end < n && sectorChanged(end))
            end += kUiPieceSize;
        end = std::min(end, n);
        const uint32_t len = uint32_t(end - sector);
        uint8_t head[kDiffRecordHeadSize] = {};
        writeBe32(head + 0, uint32_t(sector));
        writeBe32(head + 4, len);
        writeBe32(head + 8, crc32zero(newFlash.data() + sector, len));
        out.insert(out.end(), head, head + kDiffRecordHeadSize);
        out.insert(out.end(), newFlash.begin() + sector, newFlash.begin() + end);
        ++records;
        blockBytes += len;
        sector = end;
    }

    FileDiffInfo info;
    info.diff_index = diffIndex;
    info.dblk_lenght = uint32_t(out.size() - kDiffHeaderSize);
    info.dblk_crc = crc32zero(out.data() + kDiffHeaderSize, out.size() - kDiffHeaderSize);
    info.dblk_number = records;
    info.nFile_lenght = uint32_t(newImage.size());
    info.nFile_crc = crc32zero(newImage.data(), newImage.size());
    info.nFile_ui_crc = uiExpectedCrc(readUiImage(newImage.data(), newImage.size()));
    encodeDiffInfo(info, out.data());
    info.diff_para_crc = crc32zero(out.data(), kDiffParaCrcSpan);
    encodeDiffInfo(info, out.data());

    if (summary) {
        summary->blocks = records;
        summary->blockBytes = blockBytes;
        summary->fileBytes = out.size();
    }
    return out;
}

bool applyDiffFile(const uint8_t* diff, size_t length, std::vector<uint8_t>& area) {
    const DiffCheck check = checkDiffFile(diff, length);
    if (!check.accepted())
        return false;
    for (const DiffBlock& block : check.layout.blocks) {
        const size_t end = size_t(block.blk_addr) + block.blk_len;
        if (area.size() < end)
            area.resize(end, 0xFF);
        std::copy(diff + block.dataOffset(), diff + block.nextOffset(), area.begin() + block.blk_addr);
    }
    return true;
}

}  // namespace qv
