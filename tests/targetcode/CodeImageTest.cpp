#include "targetcode/CodeImage.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> imageRunningFrom(uint32_t address) {
    std::vector<uint8_t> image(16, 0);
    image[4] = uint8_t(address);
    image[5] = uint8_t(address >> 8);
    image[6] = uint8_t(address >> 16);
    image[7] = uint8_t(address >> 24);
    return image;
}

TEST(CodeImage, RunningAddressRangesAreJudgedAtTheirEdges) {
    struct Case {
        uint32_t address;
        bool bad;
    };
    const Case cases[] = {
        {0x0000A101, false},
        {0x00000000, false},
        {0xFFFFFFFF, false},
        // 0x08000000-0x08000FFF runs; the rest of 0x080xxxxx does not.
        {0x08000000, false},
        {0x08000101, false},
        {0x08000FFF, false},
        {0x08001000, true},
        {0x0800A101, true},
        {0x080FFFFF, true},
        {0x08100000, false},
        {0x07FFFFFF, false},
        // 0x10000000-0x10001FFF runs; 0x10002000-0x10FFFFFF does not.
        {0x10000000, false},
        {0x10001FFF, false},
        {0x10002000, true},
        {0x10002001, true},
        {0x10FFFFFF, true},
        {0x11000000, false},
        {0x0FFFFFFF, false},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> image = imageRunningFrom(c.address);
        EXPECT_EQ(qv::hasBadRunningAddress(image.data(), image.size()), c.bad) << std::hex << c.address;
        EXPECT_EQ(qv::runningAddress(image.data(), image.size()), c.address);
    }
}

TEST(CodeImage, AnImageShorterThanEightBytesHasNoRunningAddress) {
    // Exactly the bytes of the image are allocated, so ASan catches a read past the end.
    const std::vector<uint8_t> full = imageRunningFrom(0x0800A101);
    EXPECT_TRUE(qv::hasBadRunningAddress(full.data(), 8));
    for (size_t length = 0; length < 8; ++length) {
        std::vector<uint8_t> shortImage(full.begin(), full.begin() + length);
        EXPECT_FALSE(qv::hasBadRunningAddress(shortImage.data(), shortImage.size())) << length;
        EXPECT_EQ(qv::runningAddress(shortImage.data(), shortImage.size()), 0u) << length;
    }
    EXPECT_FALSE(qv::hasBadRunningAddress(nullptr, 0));
}

TEST(CodeImage, ParseHexAddressReadsTheNumberAfterTheFirstX) {
    struct Case {
        const char* text;
        uint32_t value;
    };
    const Case cases[] = {
        {"0xA000", 0xA000},
        {"0x1_0000", 0x10000},        // other characters are skipped
        {"0xA000/4", 0xA000},         // a slash ends the number
        {"0x0000a000ff", 0xA000FF},   // leading zeros do not count among the eight digits
        {"0x123456789", 0x12345678},  // only the first eight digits count
        {"0x000000000123456789", 0x12345678},
        {"0x00000000", 0},
        {"A000", 0},         // no x at all
        {"0XA000", 0xA000},  // the upper-case X is found when there is no x
        {"0x", 0},           // x is the last character
        {"0xg", 0},          // no digit
        {"", 0},
        {"0xA800", 0xA800},
        {"0xffffffff", 0xFFFFFFFF},
        {" 0x 1 0 ", 0x10},
        {"0X12x34", 0x34},  // the lower-case x wins even when it comes later
        {"0x1x2", 0x12},    // a second x is just skipped
        {"0x/12", 0},
        {"0xa b c d e f", 0xABCDEF},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qv::parseHexAddress(QString::fromLatin1(c.text)), c.value) << c.text;
    }
}

TEST(CodeImage, SummaryNamesCrcAndDecimalLength) {
    EXPECT_EQ(qv::imageSummary(QStringLiteral("Mcu code, CRC = "), 0xA, 40960),
              QStringLiteral("Mcu code, CRC = 0x0000000A Len: 40960"));
    EXPECT_EQ(qv::imageSummary(QStringLiteral("Boot code, CRC = "), 0xCA6598D0, 0),
              QStringLiteral("Boot code, CRC = 0xCA6598D0 Len: 0"));
}

}  // namespace
