#include "protocol/Crc32.h"
#include "protocol/FlashCatalogue.h"
#include "protocol/Frames.h"
#include "protocol/Pacing.h"
#include "protocol/Text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

// ---------------------------------------------------------------------------------------------
// CRC-32/0

TEST(Crc32Zero, KnownValues) {
    const Bytes abc = bytesOf("abc");
    EXPECT_EQ(qv::crc32zero(abc.data(), abc.size()), 0xCA6598D0u);
    EXPECT_EQ(qv::crc32zeroReference(abc.data(), abc.size()), 0xCA6598D0u);
    EXPECT_EQ(qv::crc32zero(nullptr, 0), 0u);
    EXPECT_EQ(qv::crc32zeroReference(nullptr, 0), 0u);
    // Not the usual CRC-32 (0x352441C2 for "abc").
    EXPECT_NE(qv::crc32zero(abc.data(), abc.size()), 0x352441C2u);
}

TEST(Crc32Zero, FastFormMatchesTableFormOnRandomBuffersOffsetsAndSplits) {
    std::mt19937 rng(12345);
    Bytes buffer(70000);
    for (auto& b : buffer)
        b = static_cast<uint8_t>(rng());
    const size_t lengths[] = {0,  1,  2,   3,   7,    8,    15,   16,   31,    32,   33,
                              63, 64, 255, 256, 1000, 4095, 4096, 4097, 65536, 69000};
    for (size_t length : lengths) {
        for (size_t offset : {size_t{0}, size_t{1}, size_t{3}, size_t{7}, size_t{13}}) {
            if (offset + length > buffer.size())
                continue;
            const uint8_t* p = buffer.data() + offset;
            const uint32_t want = qv::crc32zeroReference(p, length);
            ASSERT_EQ(qv::crc32zero(p, length), want) << "length " << length << " offset " << offset;
            // Continuing from a previous result equals one pass over the whole range.
            const size_t split = length / 3;
            const uint32_t first = qv::crc32zero(p, split);
            ASSERT_EQ(qv::crc32zero(p + split, length - split, first), want);
            ASSERT_EQ(qv::crc32zeroReference(p + split, length - split, qv::crc32zeroReference(p, split)),
                      want);
        }
    }
}

TEST(Crc32Zero, BuffersOver4GiBAreCoveredWhole) {
    if (sizeof(size_t) <= 4)
        GTEST_SKIP() << "no buffers over 4 GiB here";
    // Untouched anonymous pages read as zeros and cost no memory.
    const size_t length = (size_t{1} << 32) + 16;
#ifdef _WIN32
    void* map = ::VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY);
    if (!map)
        GTEST_SKIP() << "cannot map 4 GiB";
#else
    void* map = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED)
        GTEST_SKIP() << "cannot map 4 GiB";
#endif
    const auto* zeros = static_cast<const uint8_t*>(map);
    const uint32_t seed = 0x12345678;  // zeros from a zero register would stay zero
    const size_t half = length / 2;
    const uint32_t inTwo = qv::crc32zero(zeros + half, length - half, qv::crc32zero(zeros, half, seed));
    const uint32_t whole = qv::crc32zero(zeros, length, seed);
    const uint32_t cut = qv::crc32zero(zeros, 16, seed);  // what a length cut to 32 bits gives
#ifdef _WIN32
    ::VirtualFree(map, 0, MEM_RELEASE);
#else
    ::munmap(map, length);
#endif
    EXPECT_EQ(whole, inTwo);
    EXPECT_NE(whole, cut);
}

// ---------------------------------------------------------------------------------------------
// Frames

TEST(Frames, WorkedDataFrame) {
    uint8_t tx[4160];
    std::memset(tx, 0xEE, sizeof tx);
    const Bytes abc = bytesOf("abc");
    const uint32_t n = qv::frame::buildDataFrame(tx, 'F', 0x00080000, abc.data(), 3);
    const Bytes want = {0xAA, 0x55, 0x46, 0x00, 0x00, 0x11, 0x00, 0x08, 0x00,
                        0x00, 0x61, 0x62, 0x63, 0x25, 0x49, 0xDD, 0x7C};
    ASSERT_EQ(n, 17u);
    EXPECT_EQ(Bytes(tx, tx + n), want);
}

TEST(Frames, WorkedCrcCheckFrameIgnoresEarlierBufferContent) {
    uint8_t tx[4160];
    std::memset(tx, 0xEE, sizeof tx);  // a previous frame's leftovers
    const uint32_t n = qv::frame::buildCrcCheckFrame(tx, 'G', 0xA000, 0x1000, 0x12345678);
    Bytes want = {0xAA, 0x55, 0x47, 0x00, 0x00, 0x24, 0x00, 0x00, 0xA0,
                  0x00, 0x00, 0x00, 0x10, 0x00, 0x12, 0x34, 0x56, 0x78};
    want.insert(want.end(), 14, 0x00);
    want.insert(want.end(), {0xCF, 0xC4, 0xA3, 0x4F});
    ASSERT_EQ(n, 36u);
    EXPECT_EQ(Bytes(tx, tx + n), want);
}

TEST(Frames, DataFrameLengthsAndThe36ByteRule) {
    struct Case {
        uint32_t payload;
        uint32_t transmitted;
        uint8_t lengthField[3];
    };
    const Case cases[] = {
        {0, 14, {0x00, 0x00, 0x0E}},  {21, 35, {0x00, 0x00, 0x23}},     {22, 38, {0x00, 0x00, 0x24}},
        {23, 37, {0x00, 0x00, 0x25}}, {4096, 4110, {0x00, 0x10, 0x0E}},
    };
    Bytes payload(4096);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7 + 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        uint8_t tx[4160];
        std::memset(tx, 0xEE, sizeof tx);
        const uint32_t n = qv::frame::buildDataFrame(tx, 'J', 0x01020304, payload.data(), c.payload);
        EXPECT_EQ(n, c.transmitted);
        EXPECT_EQ(Bytes(tx + 3, tx + 6), Bytes(c.lengthField, c.lengthField + 3));
        EXPECT_EQ(Bytes(tx + 6, tx + 10), (Bytes{1, 2, 3, 4}));
        EXPECT_EQ(Bytes(tx + 10, tx + 10 + c.payload), Bytes(payload.begin(), payload.begin() + c.payload));
        const uint32_t crcAt = 10 + c.payload;
        EXPECT_EQ(qv::frame::getBe32(tx + crcAt), qv::crc32zeroReference(tx, crcAt));
        if (c.payload == 22) {
            EXPECT_EQ(tx[36], 0);
            EXPECT_EQ(tx[37], 0);
        } else {
            EXPECT_EQ(tx[crcAt + 4], 0xEE) << "nothing written past the frame";
        }
    }
}

TEST(Frames, CommandFramesFieldByField) {
    uint8_t tx[4160];
    struct Case {
        const char* what;
        uint32_t (*build)(uint8_t*);
        Bytes head;  // bytes 0.. that must match; all further bytes up to 31 are zero
    };
    const Case cases[] = {
        {"connect", [](uint8_t* t) { return qv::frame::buildConnectFrame(t); }, {0xAA, 0x55, 'K', 'Q', 'V'}},
        {"finish 1",
         [](uint8_t* t) { return qv::frame::buildFinishFrame(t, 1); },
         {0xAA, 0x55, 'O', 'u', 's', 'B', 1}},
        {"finish 0",
         [](uint8_t* t) { return qv::frame::buildFinishFrame(t, 0); },
         {0xAA, 0x55, 'O', 'u', 's', 'B', 0}},
        {"firmware check",
         [](uint8_t* t) { return qv::frame::buildCrcCheckFrame(t, 'L', 0, 0x2710, 0xDEADBEEF); },
         {0xAA, 0x55, 'L', 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0x27, 0x10, 0xDE, 0xAD, 0xBE, 0xEF}},
        {"swd init",
         [](uint8_t* t) { return qv::frame::buildTargetControlFrame(t, false, 0x12345678, 2, true); },
         {0xAA, 0x55, 'A', 'S', 'W', 'D', '0', 0, 0, 0, 0, 2, 0}},
        {"target run, power off",
         [](uint8_t* t) { return qv::frame::buildTargetControlFrame(t, true, 0x12345678, 1, true); },
         {0xAA, 0x55, 'A', 'S', 'W', 'D', '1', 0x12, 0x34, 0x56, 0x78, 1, 'P'}},
        {"target run, power kept",
         [](uint8_t* t) { return qv::frame::buildTargetControlFrame(t, true, 0, 0, false); },
         {0xAA, 0x55, 'A', 'S', 'W', 'D', '1', 0, 0, 0, 0, 0, 'U'}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::memset(tx, 0xEE, sizeof tx);
        ASSERT_EQ(c.build(tx), 36u);
        Bytes want = c.head;
        want.resize(32, 0);
        EXPECT_EQ(Bytes(tx, tx + 32), want);
        EXPECT_EQ(qv::frame::getBe32(tx + 32), qv::crc32zeroReference(tx, 32));
        EXPECT_EQ(tx[36], 0xEE);
    }
}

TEST(Frames, BigEndianHelpers) {
    uint8_t b[4] = {};
    qv::frame::putBe32(b, 0x89ABCDEF);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{0x89, 0xAB, 0xCD, 0xEF}));
    EXPECT_EQ(qv::frame::getBe32(b), 0x89ABCDEFu);
    qv::frame::putBe24(b, 0xFF123456);  // only the low 24 bits go out
    EXPECT_EQ(Bytes(b, b + 3), (Bytes{0x12, 0x34, 0x56}));
    EXPECT_EQ(qv::frame::getBe24(b), 0x123456u);
}

// A valid short reply with the given letter and status.
Bytes shortReply(uint8_t letter, uint32_t programmerCrc, uint8_t status) {
    Bytes r(13, 0);
    r[0] = 0xAA;
    r[1] = 0x55;
    r[2] = letter;
    qv::frame::putBe32(r.data() + 4, programmerCrc);
    r[8] = status;
    qv::frame::putBe32(r.data() + 9, qv::crc32zeroReference(r.data(), 9));
    return r;
}

TEST(Frames, ShortReplyChecks) {
    using V = qv::frame::ReplyVerdict;
    const Bytes worked = {0xAA, 0x55, 0x57, 0x00, 0x12, 0x34, 0x56, 0x78, 0x00, 0x60, 0x80, 0x28, 0x01};
    EXPECT_EQ(shortReply('W', 0x12345678, 0), worked);

    Bytes otherStart = worked;  // bytes 0-1 are not examined, but the CRC covers them
    otherStart[0] = 0x00;
    otherStart[1] = 0x11;
    qv::frame::putBe32(otherStart.data() + 9, qv::crc32zeroReference(otherStart.data(), 9));

    Bytes badCrc = worked;  // status 0, CRC off by one bit: refused before the status counts
    badCrc[12] ^= 0x01;

    Bytes longer = worked;
    longer.push_back(0);

    struct Case {
        const char* what;
        Bytes reply;
        uint32_t length;
        uint8_t letter;
        V verdict;
    };
    const Case cases[] = {
        {"worked reply", worked, 13, 'W', V::Ok},
        {"any start bytes", otherStart, 13, 'W', V::Ok},
        {"status 5 is still a valid reply", shortReply('W', 1, 5), 13, 'W', V::Ok},
        {"bad crc", badCrc, 13, 'W', V::BadCrc},
        {"14 bytes with good letter and crc", longer, 14, 'W', V::WrongShape},
        {"12 bytes", worked, 12, 'W', V::WrongShape},
        {"letter of another transaction", shortReply('V', 0, 0), 13, 'W', V::WrongShape},
        {"wrong letter and bad crc", badCrc, 13, 'V', V::WrongShape},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto check = qv::frame::checkShortReply(c.reply.data(), c.length, c.letter);
        EXPECT_EQ(check.verdict, c.verdict);
        if (c.verdict == V::BadCrc) {
            EXPECT_EQ(check.computedCrc, 0x60802801u);
            EXPECT_EQ(check.receivedCrc, 0x60802800u);
        }
    }
}

TEST(Frames, ConnectionAndTargetControlReplyChecks) {
    using V = qv::frame::ReplyVerdict;
    uint8_t conn[64] = {0xAA, 0x55, 'Z'};  // the letter is judged by the caller, not here
    qv::frame::putBe32(conn + 32, qv::crc32zeroReference(conn, 32));
    EXPECT_EQ(qv::frame::checkConnectionReply(conn, 36).verdict, V::Ok);
    EXPECT_EQ(qv::frame::checkConnectionReply(conn, 13).verdict, V::WrongShape);
    EXPECT_EQ(qv::frame::checkConnectionReply(conn, 37).verdict, V::WrongShape);
    conn[20] ^= 0x40;
    EXPECT_EQ(qv::frame::checkConnectionReply(conn, 36).verdict, V::BadCrc);

    Bytes q = shortReply('Q', 0x19713100, 0);
    q.insert(q.end(), {0x00, 0x1C, 0x40, 0x16});  // extension bytes outside the CRC
    EXPECT_EQ(qv::frame::checkTargetControlReply(q.data(), 17).verdict, V::Ok);
    EXPECT_EQ(qv::frame::checkTargetControlReply(q.data(), 13).verdict, V::Ok);
    EXPECT_EQ(qv::frame::checkTargetControlReply(q.data(), 12).verdict, V::WrongShape);
    q[15] ^= 0xFF;  // not covered
    EXPECT_EQ(qv::frame::checkTargetControlReply(q.data(), 17).verdict, V::Ok);
    q[5] ^= 0x01;
    EXPECT_EQ(qv::frame::checkTargetControlReply(q.data(), 17).verdict, V::BadCrc);
    const Bytes v = shortReply('V', 0, 0);
    EXPECT_EQ(qv::frame::checkTargetControlReply(v.data(), 13).verdict, V::WrongShape);
}

// ---------------------------------------------------------------------------------------------
// Text helpers

TEST(Text, HexTextPadsButNeverCuts) {
    struct Case {
        uint32_t value;
        int width;
        const char* text;
    };
    const Case cases[] = {
        {10, 8, "0x0000000A"},     {0x20190528, 6, "0x20190528"}, {0, 0, "0x0"},
        {0x1C4016, 6, "0x1C4016"}, {0xABC, 6, "0x000ABC"},        {0xFFFFFFFF, 8, "0xFFFFFFFF"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(qv::hexText(c.value, c.width), QString(c.text));
}

TEST(Text, TimestampAndLowerHex) {
    EXPECT_EQ(qv::timestampText(QTime(14, 3, 9)), QStringLiteral("Timer:14:3:9"));
    EXPECT_EQ(qv::timestampText(QTime(9, 5, 7)), QStringLiteral("Timer:9:5:7"));
    EXPECT_EQ(qv::lowerHex(0x3000), QStringLiteral("3000"));
    EXPECT_EQ(qv::lowerHex(0xABCDEF), QStringLiteral("abcdef"));
    EXPECT_EQ(qv::lowerHex(0), QStringLiteral("0"));
}

// ---------------------------------------------------------------------------------------------
// Pacing

TEST(Pacing, DelayMicrosecondsWaitsAtLeastTheTimeAndNotForNonPositive) {
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    qv::delayMicroseconds(0);
    qv::delayMicroseconds(-5);
    qv::delayMicroseconds(INT64_MIN);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));
    start = Clock::now();
    qv::delayMicroseconds(2000);
    EXPECT_GE(Clock::now() - start, std::chrono::microseconds(2000));
    const qv::Pacing standard = qv::Pacing::standard();
    ASSERT_NE(standard.slowPause, nullptr);
    ASSERT_NE(standard.fastPause, nullptr);
    start = Clock::now();
    standard.slowPause();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1));
}

// ---------------------------------------------------------------------------------------------
// Flash catalogue

int32_t number(const std::string& token) {
    return qv::parseNumberToken(token.data(), token.size());
}

TEST(FlashCatalogue, NumberTokens) {
    struct Case {
        std::string token;
        int32_t value;
    };
    const Case cases[] = {
        {"0x1C4016", 0x1C4016},
        {"0X1c4016", 0x1C4016},
        {"1843222", 1843222},
        {"512", 512},
        {"0512", 512},
        {"0", 0},
        {"0x0", 0},
        {"0xF", 15},
        {"0xFFFFFFFF", -1},  // eight digits, as a signed 32-bit value
        {"0x80000000", INT32_MIN},
        {"0x1C4016FF00", 0},  // more than eight digits
        {"0x", 0},            // no digits
        {"0x1x", 0},          // not a hexadecimal digit after the prefix
        {"1A", 0},            // hexadecimal letter without the prefix
        {"", 0},
        {"2147483647", 2147483647},
        {"2147483648", 0},  // does not fit
        {"99999999999999999999999", 0},
        {std::string(5000, '0') + "42", 42},
        {"0x" + std::string(5000, 'F'), 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(number(c.token), c.value) << c.token.substr(0, 40);
}

struct Found {
    int result;
    int32_t size;
    std::string name;
};

Found parse(const std::string& line, uint32_t id, bool target) {
    Found f{0, -777, "untouched"};
    f.result = qv::parseFlashRecord(line.data(), line.size(), id, target, f.size, f.name);
    return f;
}

Found find(const std::string& text, uint32_t id, bool target) {
    Found f{0, -777, "untouched"};
    f.result = qv::findFlashRecord(text.data(), text.size(), id, target, f.size, f.name);
    return f;
}

TEST(FlashCatalogue, CatalogueLines) {
    struct Case {
        std::string line;
        uint32_t id;
        int found;
        int32_t boardSize;
        int32_t targetSize;
        std::string name;
    };
    const Case cases[] = {
        {"0x1C4016,512,4096,CHIP 16M,", 0x1C4016, 1, 2097152, 1572864, "CHIP16M"},
        {"1843222,0x200,0x1000,CHIP,", 0x1C2016, 1, 2097152, 1572864, "CHIP"},
        {"0x1C4016FF00,1,1,CHIP,", 0x1C4016, 0, 0, 0, ""},
        {"0x1C4016,512,4096,CHIP", 0x1C4016, 1, 2097152, 1572864, ""},
        {"[FLASH] 0x1C4016,1,1,CHIP,", 0x1C4016, 0, 0, 0, ""},
        {"0x1C4016,2k,1A,CHIP,", 0x1C4016, 1, 0, 0, "CHIP"},
        {"0x1C4013,128,4096,CHIP 4M,", 0x1C4013, 1, 524288, 524288, "CHIP4M"},
        {"0x1C4014,0x100,0x1000,CHIP 8M,", 0x1C4014, 1, 1048576, 0x80000, "CHIP8M"},
        {"0x1C4013,0x80001,1,CHIP,", 0x1C4013, 1, 0x80001, 1, "CHIP"},
        {"0x1C4016,512,4096,CHIP,trailing,junk", 0x1C4016, 1, 2097152, 1572864, "CHIP"},
        {" 0x1C4016 , 512 , 4096 , My\tChip\x01\xE9! ,", 0x1C4016, 1, 2097152, 1572864, "MyChip!"},
        {"0x1C4016,512,4096,CHIP,\r", 0x1C4016, 1, 2097152, 1572864, "CHIP"},
        {"0x1C4016,512,4096,", 0x1C4016, 1, 2097152, 1572864, ""},
        {"0x1C4017,512,4096,CHIP,", 0x1C4016, 0, 0, 0, ""},
        // Fewer than three commas is no record, whatever the id.
        {"", 0, 0, 0, 0, ""},
        {"0x1C4016", 0x1C4016, 0, 0, 0, ""},
        {"0x1C4016,512,4096", 0x1C4016, 0, 0, 0, ""},
        {",,", 0, 0, 0, 0, ""},
        // Products that do not fit 32 bits give an unusable size 0, never a wrapped one.
        {"0x1C4016,0x10000,0x10000,HUGE,", 0x1C4016, 1, 0, 0, "HUGE"},
        {"0x1C4016,2147483647,2147483647,HUGE,", 0x1C4016, 1, 0, 0, "HUGE"},
        {"0x1C4016,0xFFFFFFFF,0x80000000,HUGE,", 0x1C4016, 1, 0, 0, "HUGE"},
        {"0x1C4016,65536,32767,BIG,", 0x1C4016, 1, 2147418112, 2147418112 - 0x80000, "BIG"},
    };
    for (const Case& c : cases) {
        for (bool target : {false, true}) {
            SCOPED_TRACE(c.line + (target ? " (target)" : " (board)"));
            const Found f = parse(c.line, c.id, target);
            EXPECT_EQ(f.result, c.found);
            if (c.found) {
                EXPECT_EQ(f.size, target ? c.targetSize : c.boardSize);
                EXPECT_EQ(f.name, c.name);
            } else {
                EXPECT_EQ(f.size, -777) << "size untouched without a match";
                EXPECT_EQ(f.name, "untouched");
            }
        }
    }
}

TEST(FlashCatalogue, VeryLongTokensAreSafe) {
    const std::string longName(100000, 'N');
    Found f = parse("0x1C4016,512,4096," + longName + ",", 0x1C4016, false);
    EXPECT_EQ(f.result, 1);
    EXPECT_EQ(f.name, longName);
    f = parse(std::string(100000, '7') + ",1,1,X,", 7, false);
    EXPECT_EQ(f.result, 0);  // out of range decimal counts as 0, not 7
    f = parse(std::string(100000, '7') + ",1,1,X,", 0, false);
    EXPECT_EQ(f.result, 1);
    f = parse("0x1C4016," + std::string(100000, '9') + ",4096,X,", 0x1C4016, false);
    EXPECT_EQ(f.result, 1);
    EXPECT_EQ(f.size, 0);
}

TEST(FlashCatalogue, WholeCatalogueSkipsHeaderAndFirstMatchWins) {
    const std::string text =
        "[FLASH]\r\n"
        "[FLASH]0x1C4016,9,9,HEADER,\n"
        "\n"
        "0xEF4015,512,4096,W25Q16,\r\n"
        "0x1C4016,512,4096,FIRST,\r\n"
        "0x1C4016,1024,4096,SECOND,\n"
        "0xC84017,2048,4096,LAST,";  // no line end after the last line
    Found f = find(text, 0x1C4016, false);
    EXPECT_EQ(f.result, 1);
    EXPECT_EQ(f.size, 2097152);
    EXPECT_EQ(f.name, "FIRST");
    f = find(text, 0xC84017, true);
    EXPECT_EQ(f.result, 1);
    EXPECT_EQ(f.size, 8388608 - 0x80000);
    EXPECT_EQ(f.name, "LAST");
    f = find(text, 0x999999, false);
    EXPECT_EQ(f.result, 0);
    EXPECT_EQ(f.size, -777);
    // An empty catalogue and a header alone match nothing, not even id 0.
    EXPECT_EQ(find("", 0, false).result, 0);
    EXPECT_EQ(find("[FLASH]\n\n\r\n", 0, false).result, 0);
}

}  // namespace
