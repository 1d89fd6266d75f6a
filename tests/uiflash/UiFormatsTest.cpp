// The UI image header, the difference file's acceptance and record walk, and the difference maker.

#include "protocol/Crc32.h"
#include "uiflash/UiFormats.h"

#include "TestImages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace qv;

using namespace uitest;

TEST(UiImageHeader, ValidityFollowsLengthWordAndComplement) {
    const Bytes valid = imageWithHeader(1000, 1);
    const uint32_t x = uint32_t(valid[376]) | uint32_t(valid[377]) << 8 | uint32_t(valid[378]) << 16 |
                       uint32_t(valid[379]) << 24;

    Bytes flippedComplement = valid;
    flippedComplement[381] ^= 0x10;
    Bytes shortLength = valid;
    putLe32(shortLength, 372, 999);
    Bytes tooShort = imageWithHeader(1000, 1);
    tooShort.resize(383);

    struct Case {
        const char* name;
        const Bytes* image;
        bool hasHeader;
        uint32_t headerCrc;
    } cases[] = {
        {"valid header", &valid, true, x},
        {"one bit of the complement flipped", &flippedComplement, false, x},
        {"length word one less than the file", &shortLength, false, x},
        {"image of 383 bytes cannot hold the header", &tooShort, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const UiImageInfo info = readUiImage(c.image->data(), c.image->size());
        EXPECT_EQ(info.hasHeader, c.hasHeader);
        EXPECT_EQ(info.headerCrc, c.headerCrc);
        EXPECT_EQ(info.fileCrc, crc32zero(c.image->data(), c.image->size()));
        const uint32_t expected = uiExpectedCrc(info);
        EXPECT_EQ(expected, c.hasHeader ? x : info.fileCrc);
        // The flash form carries 0xFF over a valid header only, and a full write of it leaves
        // exactly the expected CRC in the UI area.
        const Bytes flash = uiFlashForm(c.image->data(), c.image->size());
        ASSERT_EQ(flash.size(), c.image->size());
        if (c.hasHeader) {
            EXPECT_TRUE(
                std::all_of(flash.begin() + 372, flash.begin() + 384, [](uint8_t v) { return v == 0xFF; }));
        } else {
            EXPECT_EQ(flash, *c.image);
        }
        EXPECT_EQ(crc32zero(flash.data(), flash.size()), expected);
    }
}

TEST(UiImageHeader, ImagesTooShortForTheHeaderAreNeverReadPastTheirEnd) {
    // Exact-size heap copies let ASan catch any read beyond the end.
    for (size_t n : {size_t(0), size_t(1), size_t(375), size_t(380), size_t(383)}) {
        SCOPED_TRACE(n);
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[std::max<size_t>(n, 1)]);
        std::memset(bytes.get(), 0, n);
        const UiImageInfo info = readUiImage(bytes.get(), n);
        EXPECT_FALSE(info.hasHeader);
        EXPECT_EQ(uiFlashForm(bytes.get(), n).size(), n);
    }
}

TEST(DiffHeader, DecodesEightBigEndianWordsInOrder) {
    Bytes h(32);
    for (size_t i = 0; i < 32; ++i)
        h[i] = uint8_t(i + 1);
    const FileDiffInfo info = decodeDiffInfo(h.data());
    EXPECT_EQ(info.diff_index, 0x01020304u);
    EXPECT_EQ(info.dblk_lenght, 0x05060708u);
    EXPECT_EQ(info.dblk_crc, 0x090A0B0Cu);
    EXPECT_EQ(info.dblk_number, 0x0D0E0F10u);
    EXPECT_EQ(info.nFile_lenght, 0x11121314u);
    EXPECT_EQ(info.nFile_crc, 0x15161718u);
    EXPECT_EQ(info.nFile_ui_crc, 0x191A1B1Cu);
    EXPECT_EQ(info.diff_para_crc, 0x1D1E1F20u);
    Bytes back(32);
    encodeDiffInfo(info, back.data());
    EXPECT_EQ(back, h);
}

TEST(DiffAcceptance, BothCrcsAndTheWholeHeaderAreRequired) {
    const Bytes good = diffFrom({{0x1000, 100, 100}, {0x3000, 5000, 5000}});
    Bytes headerOnly(32, 0);
    putBe32(headerOnly, 28, crc32zero(headerOnly.data(), 28));
    Bytes headerOnlyWithBlockCrc = headerOnly;
    putBe32(headerOnlyWithBlockCrc, 8, 1);
    putBe32(headerOnlyWithBlockCrc, 28, crc32zero(headerOnlyWithBlockCrc.data(), 28));
    Bytes blockByte = good;
    blockByte[32 + 16 + 50] ^= 1;
    Bytes headerByte = good;
    headerByte[0] ^= 0x80;
    Bytes paraCrcByte = good;
    paraCrcByte[31] ^= 1;
    const Bytes zeros31(31, 0);  // its CRCs would "match": all zero
    const Bytes empty;

    struct Case {
        const char* name;
        const Bytes* file;
        bool accepted;
    } cases[] = {
        {"well-formed, two records", &good, true},
        {"exactly 32 bytes, dblk_crc 0", &headerOnly, true},
        {"exactly 32 bytes, dblk_crc not 0", &headerOnlyWithBlockCrc, false},
        {"one block byte changed", &blockByte, false},
        {"header byte 0 changed", &headerByte, false},
        {"diff_para_crc changed", &paraCrcByte, false},
        {"31 bytes of zeros", &zeros31, false},
        {"empty file", &empty, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes exact(c.file->begin(), c.file->end());
        const DiffCheck check = checkDiffFile(exact.data(), exact.size());
        EXPECT_EQ(check.accepted(), c.accepted);
        EXPECT_EQ(check.par_tCRC, crc32zero(exact.data(), std::min<size_t>(exact.size(), 28)));
        EXPECT_EQ(check.blk_tCRC, exact.size() > 32 ? crc32zero(exact.data() + 32, exact.size() - 32) : 0u);
    }
}

TEST(DiffRecords, EveryRecordMustLieInsideTheFileAndTheAddressSpace) {
    struct Case {
        const char* name;
        Bytes file;
        DiffLayoutFault fault;
        size_t blocks;  // records found when the walk succeeds
    } cases[] = {
        {"two good records", diffFrom({{0, 4096, 4096}, {0x5000, 10, 10}}), DiffLayoutFault::None, 2},
        {"blk_len 0: the next record starts 16 bytes later", diffFrom({{0x2000, 0, 0}, {0x3000, 8, 8}}),
         DiffLayoutFault::None, 2},
        {"no records at all", diffFrom({}), DiffLayoutFault::None, 0},
        {"truncated head after a good record", diffFrom({{0, 64, 64}}, 15), DiffLayoutFault::TruncatedHead,
         0},
        {"data one byte short", diffFrom({{0, 4097, 4096}}), DiffLayoutFault::TruncatedData, 0},
        {"data short in the second record", diffFrom({{0, 8, 8}, {0x100, 100, 10}}),
         DiffLayoutFault::TruncatedData, 0},
        {"blk_len 0x80000000", diffFrom({{0, 0x80000000u, 0}}), DiffLayoutFault::LengthTooLarge, 0},
        {"blk_len 0xFFFFFFFF", diffFrom({{0, 0xFFFFFFFFu, 0}}), DiffLayoutFault::LengthTooLarge, 0},
        {"address itself wraps", diffFrom({{0xFFF80000u, 0, 0}}), DiffLayoutFault::AddressWraps, 0},
        {"block ends past 2^32", diffFrom({{0xFFF7F000u, 0x1001, 0x1001}}), DiffLayoutFault::AddressWraps, 0},
        {"block ends exactly at 2^32", diffFrom({{0xFFF7F000u, 0x1000, 0x1000}}), DiffLayoutFault::None, 1},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The header CRCs are right, so only the walk can refuse the file.
        const DiffCheck check = checkDiffFile(c.file.data(), c.file.size());
        ASSERT_TRUE(check.crcsMatch);
        EXPECT_EQ(check.layout.fault, c.fault);
        EXPECT_EQ(check.accepted(), c.fault == DiffLayoutFault::None);
        if (c.fault == DiffLayoutFault::None) {
            ASSERT_EQ(check.layout.blocks.size(), c.blocks);
            size_t p = 32;
            for (const DiffBlock& b : check.layout.blocks) {
                EXPECT_EQ(b.headOffset, p);
                p = b.nextOffset();
            }
            EXPECT_EQ(p, c.file.size());
        }
    }
}

TEST(DiffMaker, AppliedToTheOldImageItGivesTheNewOne) {
    const Bytes base = pattern(20000, 7);
    auto changed = [&](std::initializer_list<size_t> offsets, size_t size = 20000) {
        Bytes b = base;
        b.resize(size, 0x5A);
        for (size_t o : offsets)
            b[o] ^= 0xFF;
        return b;
    };
    struct Case {
        const char* name;
        Bytes oldImage, newImage;
        uint32_t blocks;
        uint64_t blockBytes;
    } cases[] = {
        {"identical images", base, base, 0, 0},
        {"one byte in sector 1", base, changed({5000}), 1, 4096},
        {"adjacent sectors merge", base, changed({4095, 4096}), 1, 8192},
        {"separate sectors stay apart", base, changed({10, 12300}), 2, 8192},
        {"change in the short last sector", base, changed({19999}), 1, 20000 - 16384},
        {"longer new image: the extra counts as changed", base, changed({}, 30000), 1, 30000 - 16384},
        {"shorter new image: the old tail is not described", base, changed({100}, 9000), 1, 4096},
        {"empty old image", Bytes(), base, 1, 20000},
        {"new image with a valid header", base, imageWithHeader(20000, 7), 1, 4096},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        DiffMakerSummary summary;
        const Bytes diff = makeDiffFile(c.oldImage, c.newImage, 0x1234, &summary);
        EXPECT_EQ(summary.blocks, c.blocks);
        EXPECT_EQ(summary.blockBytes, c.blockBytes);
        EXPECT_EQ(summary.fileBytes, diff.size());

        const DiffCheck check = checkDiffFile(diff.data(), diff.size());
        ASSERT_TRUE(check.accepted());
        const FileDiffInfo& h = check.info;
        EXPECT_EQ(h.diff_index, 0x1234u);
        EXPECT_EQ(h.dblk_lenght, diff.size() - 32);
        EXPECT_EQ(h.dblk_number, c.blocks);
        EXPECT_EQ(h.nFile_lenght, c.newImage.size());
        EXPECT_EQ(h.nFile_crc, crc32zero(c.newImage.data(), c.newImage.size()));
        const UiImageInfo newInfo = readUiImage(c.newImage.data(), c.newImage.size());
        EXPECT_EQ(h.nFile_ui_crc, uiExpectedCrc(newInfo));
        for (const DiffBlock& b : check.layout.blocks) {
            EXPECT_EQ(b.blk_addr % 4096, 0u);
            EXPECT_EQ(b.blk_crc, crc32zero(diff.data() + b.dataOffset(), b.blk_len));
        }

        // The UI area after a full write of the old image, then the difference update.
        Bytes area = uiFlashForm(c.oldImage.data(), c.oldImage.size());
        const Bytes before = area;
        ASSERT_TRUE(applyDiffFile(diff.data(), diff.size(), area));
        const Bytes wanted = uiFlashForm(c.newImage.data(), c.newImage.size());
        ASSERT_GE(area.size(), wanted.size());
        EXPECT_TRUE(std::equal(wanted.begin(), wanted.end(), area.begin()));
        EXPECT_EQ(crc32zero(area.data(), wanted.size()), uiExpectedCrc(newInfo));
        if (before.size() > wanted.size()) {
            EXPECT_TRUE(
                std::equal(before.begin() + wanted.size(), before.end(), area.begin() + wanted.size()));
        }
    }
}

TEST(DiffMaker, ApplyingARefusedFileChangesNothing) {
    Bytes diff = makeDiffFile(pattern(5000, 1), pattern(5000, 2), 0);
    diff.back() ^= 1;
    Bytes area = pattern(5000, 1);
    const Bytes before = area;
    EXPECT_FALSE(applyDiffFile(diff.data(), diff.size(), area));
    EXPECT_EQ(area, before);
}
