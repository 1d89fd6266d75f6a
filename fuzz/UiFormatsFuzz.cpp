// The readers of UI image and difference files, as "Input UI bin" and "Update UI" use them. The
// input is read
//  - as a UI image: the header words, the flash form (only bytes 372-383 may change, and only with
//    a valid header) and the CRC the area should hold afterwards;
//  - as a difference file, once as it is and once sealed (its two CRC fields set to the CRCs of
//    its bytes, so that the acceptance test lets it through and the record walk runs on every
//    input): an accepted file's records must lie inside it, follow each other from byte 32 to its
//    very end and stay inside the 32-bit flash address space, and applying it must put every
//    record's bytes at the record's address and nothing anywhere else.
// tests/uiflash/fuzz/DiffFormatsFuzz.cpp covers the other direction: files made by the difference
// maker from two fuzzed images.

#include "FuzzSupport.h"

#include "protocol/Crc32.h"
#include "uiflash/UiFormats.h"

#include <algorithm>
#include <vector>

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void checkUiImage(const uint8_t* data, size_t size) {
    const qv::UiImageInfo info = qv::readUiImage(data, size);
    QVFUZZ_REQUIRE(info.fileCrc == qv::crc32zero(data, size));
    if (size < qv::kUiHeaderEnd) {
        QVFUZZ_REQUIRE(!info.hasHeader && info.headerCrc == 0);
    } else {
        const uint8_t* h = data + qv::kUiHeaderOffset;
        QVFUZZ_REQUIRE(info.headerCrc == le32(h + 4));
        QVFUZZ_REQUIRE(info.hasHeader == (le32(h) == size && le32(h + 8) == ~le32(h + 4)));
    }
    QVFUZZ_REQUIRE(qv::uiExpectedCrc(info) == (info.hasHeader ? info.headerCrc : info.fileCrc));

    const std::vector<uint8_t> form = qv::uiFlashForm(data, size);
    QVFUZZ_REQUIRE(form.size() == size);
    for (size_t i = 0; i < size; ++i) {
        const bool header = info.hasHeader && i >= qv::kUiHeaderOffset && i < qv::kUiHeaderEnd;
        QVFUZZ_REQUIRE(form[i] == (header ? 0xFF : data[i]));
    }
}

// Applies an accepted file to a small area and compares with writing every record by hand.
void checkApply(const uint8_t* diff, size_t size, const qv::DiffLayout& layout) {
    constexpr size_t kLargestArea = 8u << 20;  // the test area, not a limit of the format
    size_t end = 64;
    for (const qv::DiffBlock& b : layout.blocks)
        end = std::max<size_t>(end, size_t(b.blk_addr) + b.blk_len);
    if (end > kLargestArea)
        return;
    std::vector<uint8_t> area(64, 0x5A);
    std::vector<uint8_t> wanted(std::max<size_t>(end, area.size()), 0xFF);
    std::copy(area.begin(), area.end(), wanted.begin());
    for (const qv::DiffBlock& b : layout.blocks)
        std::copy(diff + b.dataOffset(), diff + b.nextOffset(), wanted.begin() + b.blk_addr);
    QVFUZZ_REQUIRE(qv::applyDiffFile(diff, size, area));
    QVFUZZ_REQUIRE(area == wanted);
}

void checkDiff(const uint8_t* data, size_t size) {
    const qv::DiffLayout walk = qv::walkDiffBlocks(data, size);
    if (size < qv::kDiffHeaderSize)
        QVFUZZ_REQUIRE(walk.fault == qv::DiffLayoutFault::ShortHeader);
    if (walk.ok()) {
        size_t p = qv::kDiffHeaderSize;
        for (const qv::DiffBlock& b : walk.blocks) {
            QVFUZZ_REQUIRE(b.headOffset == p && b.nextOffset() <= size);
            QVFUZZ_REQUIRE(b.blk_len < qv::kDiffMaxBlockLength);
            QVFUZZ_REQUIRE(uint64_t(b.flashAddress()) + b.blk_len <= (uint64_t(1) << 32));
            p = b.nextOffset();
        }
        QVFUZZ_REQUIRE(p == size);
    } else {
        QVFUZZ_REQUIRE(walk.faultOffset >= (size < qv::kDiffHeaderSize ? 0 : qv::kDiffHeaderSize));
        QVFUZZ_REQUIRE(walk.faultOffset <= size);
    }

    const qv::DiffCheck check = qv::checkDiffFile(data, size);
    const bool crcs = size >= qv::kDiffHeaderSize &&
                      check.par_tCRC == qv::crc32zero(data, qv::kDiffParaCrcSpan) &&
                      check.info.diff_para_crc == check.par_tCRC &&
                      check.blk_tCRC == qv::crc32zero(data + qv::kDiffHeaderSize, size - qv::kDiffHeaderSize) &&
                      check.info.dblk_crc == check.blk_tCRC;
    QVFUZZ_REQUIRE(check.crcsMatch == crcs);
    QVFUZZ_REQUIRE(check.accepted() == (crcs && walk.ok()));

    std::vector<uint8_t> untouched(16, 0x33);
    if (check.accepted()) {
        checkApply(data, size, walk);
    } else {
        QVFUZZ_REQUIRE(!qv::applyDiffFile(data, size, untouched));
        QVFUZZ_REQUIRE(untouched == std::vector<uint8_t>(16, 0x33));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const qvfuzz::ExactCopy input(data, size);
    checkUiImage(input.data(), size);
    checkDiff(input.data(), size);

    if (size >= qv::kDiffHeaderSize) {
        std::vector<uint8_t> sealedBytes(input.data(), input.data() + size);
        qv::FileDiffInfo info = qv::decodeDiffInfo(sealedBytes.data());
        info.dblk_crc = qv::crc32zero(sealedBytes.data() + qv::kDiffHeaderSize, size - qv::kDiffHeaderSize);
        qv::encodeDiffInfo(info, sealedBytes.data());
        info.diff_para_crc = qv::crc32zero(sealedBytes.data(), qv::kDiffParaCrcSpan);
        qv::encodeDiffInfo(info, sealedBytes.data());
        const qvfuzz::ExactCopy sealed(sealedBytes.data(), size);
        QVFUZZ_REQUIRE(qv::checkDiffFile(sealed.data(), size).crcsMatch);
        checkDiff(sealed.data(), size);
    }
    return 0;
}
