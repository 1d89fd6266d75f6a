#include "RequestFrames.h"
#include "vprog/VirtualProgrammer.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

using namespace vprogtest;
using vprog::DeviceModel;
using vprog::Fault;
using vprog::Options;
using Outcome = DeviceModel::Outcome;

namespace {

constexpr uint32_t kSpi = 0x80000;
constexpr uint32_t kSpiSize = 2 * 1024 * 1024;
constexpr uint32_t kFirmwareSize = 256 * 1024;

Bytes filled(size_t n, uint8_t value) {
    return Bytes(n, value);
}

Bytes pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 7);
    return b;
}

DeviceModel::Response send(DeviceModel& model, const Bytes& request) {
    return model.handle(request.data(), request.size());
}

// ---------------------------------------------------------------------------------------------
// One request against a fresh programmer, one reply judged.

struct ReplyCase {
    const char* name;
    std::function<Bytes()> request;
    uint8_t letter;                    // expected reply letter
    size_t length;                     // expected reply length
    std::optional<uint32_t> crcField;  // bytes 4-7 of a check reply
    std::optional<uint8_t> status;     // byte 8 of a check reply
};

const uint32_t kErasedCrc4K = crc0(filled(4096, 0xFF));

const ReplyCase kReplyCases[] = {
    {"connect", [] { return connectFrame(); }, ';', 36, {}, {}},
    {"connect with a wrong tag",
     [] {
         auto f = commandFrame('K');
         f[3] = 'X';
         f[4] = 'V';
         return sealCommand(f);
     },
     '?',
     13,
     {},
     {}},
    {"firmware chunk", [] { return dataFrame('J', 0x1000, pattern(4096)); }, 'Z', 13, {}, {}},
    {"firmware chunk ending at the area's end",
     [] { return dataFrame('J', kFirmwareSize - 16, pattern(16)); },
     'Z',
     13,
     {},
     {}},
    {"firmware chunk past the area's end",
     [] { return dataFrame('J', kFirmwareSize - 15, pattern(16)); },
     '?',
     13,
     {},
     {}},
    {"firmware check that matches", [] { return checkFrame('L', 0, 4096, kErasedCrc4K); }, 0x5C, 13,
     kErasedCrc4K, 0},
    {"firmware check that differs", [] { return checkFrame('L', 0, 4096, 0x12345678); }, 0x5C, 13,
     kErasedCrc4K, 1},
    {"firmware check past the area's end",
     [] { return checkFrame('L', kFirmwareSize - 1, 2, 0); },
     '?',
     13,
     {},
     {}},
    {"finish firmware update", [] { return finishFrame(1); }, '_', 13, {}, {}},
    {"finish with a wrong tag",
     [] {
         auto f = commandFrame('O');
         f[3] = 'u';
         f[4] = 's';
         return sealCommand(f);
     },
     '?',
     13,
     {},
     {}},
    {"write at code address 0", [] { return dataFrame('F', 0, pattern(4096)); }, 'V', 13, {}, {}},
    {"write ending at the code flash end",
     [] { return dataFrame('F', kSpi - 4096, pattern(4096)); },
     'V',
     13,
     {},
     {}},
    {"write straddling code and SPI flash",
     [] { return dataFrame('F', kSpi - 16, pattern(32)); },
     '?',
     13,
     {},
     {}},
    {"write at the SPI base", [] { return dataFrame('F', kSpi, pattern(4096)); }, 'V', 13, {}, {}},
    {"write ending at the SPI flash end",
     [] { return dataFrame('F', kSpi + kSpiSize - 16, pattern(16)); },
     'V',
     13,
     {},
     {}},
    {"write past the SPI flash end",
     [] { return dataFrame('F', kSpi + kSpiSize - 15, pattern(16)); },
     '?',
     13,
     {},
     {}},
    {"write whose range wraps around 4 GiB",
     [] { return dataFrame('F', 0xFFFFFFF0u, pattern(32)); },
     '?',
     13,
     {},
     {}},
    {"22-byte write sent as 38 bytes", [] { return dataFrame('F', 0x100, pattern(22)); }, 'V', 13, {}, {}},
    {"22-byte write sent without its two extra bytes",
     [] {
         auto f = dataFrame('F', 0x100, pattern(22));
         f.resize(36);
         return f;
     },
     '?',
     13,
     {},
     {}},
    {"21-byte write sent as 35 bytes", [] { return dataFrame('F', 0x100, pattern(21)); }, 'V', 13, {}, {}},
    {"length field longer than the message",
     [] {
         auto f = dataFrame('F', 0, pattern(100));
         f[4] = 0x10;
         f[5] = 0x0E;
         return f;
     },
     '?',
     13,
     {},
     {}},
    {"payload larger than 4096 bytes", [] { return dataFrame('F', 0, pattern(4097)); }, '?', 13, {}, {}},
    {"length field below the frame overhead",
     [] {
         auto f = dataFrame('F', 0, pattern(0));
         f[5] = 10;
         return f;
     },
     '?',
     13,
     {},
     {}},
    {"code check of erased flash", [] { return checkFrame('G', 0xA000, 4096, kErasedCrc4K); }, 'W', 13,
     kErasedCrc4K, 0},
    {"code check that differs", [] { return checkFrame('G', 0xA000, 4096, kErasedCrc4K ^ 1); }, 'W', 13,
     kErasedCrc4K, 1},
    {"empty check at the SPI flash end", [] { return checkFrame('G', kSpi + kSpiSize, 0, 0); }, 'W', 13, 0u,
     0},
    {"check straddling code and SPI flash", [] { return checkFrame('G', kSpi - 1, 2, 0); }, '?', 13, {}, {}},
    {"check past the SPI flash end",
     [] { return checkFrame('G', kSpi + kSpiSize - 1, 2, 0); },
     '?',
     13,
     {},
     {}},
    {"SWD init of a QV310", [] { return targetFrame('0'); }, 'Q', 17, {}, {}},
    {"target run", [] { return targetFrame('1', 0, 0, 'U'); }, 'Q', 13, {}, {}},
    {"target control in an unknown mode", [] { return targetFrame('2'); }, '?', 13, {}, {}},
    {"target control with a wrong tag",
     [] {
         auto f = targetFrame('0');
         f[5] = 'X';
         return sealCommand(f);
     },
     '?',
     13,
     {},
     {}},
    {"request with a flipped CRC bit",
     [] {
         auto f = connectFrame();
         f[35] ^= 0x80;
         return f;
     },
     '?',
     13,
     {},
     {}},
    {"write with a flipped payload bit",
     [] {
         auto f = dataFrame('F', 0, pattern(64));
         f[20] ^= 1;
         return f;
     },
     '?',
     13,
     {},
     {}},
    {"unknown letter", [] { return sealCommand(commandFrame('X')); }, '?', 13, {}, {}},
    {"reply letter sent as a request", [] { return sealCommand(commandFrame('V')); }, '?', 13, {}, {}},
    {"wrong start bytes",
     [] {
         auto f = connectFrame();
         f[0] = 0xAB;
         return sealCommand(f);
     },
     '?',
     13,
     {},
     {}},
    {"command frame one byte short",
     [] {
         auto f = connectFrame();
         f.pop_back();
         return f;
     },
     '?',
     13,
     {},
     {}},
    {"command frame one byte long",
     [] {
         auto f = connectFrame();
         f.push_back(0);
         return f;
     },
     '?',
     13,
     {},
     {}},
    {"two bytes",
     [] {
         return Bytes{0xAA, 0x55};
     },
     '?',
     13,
     {},
     {}},
    {"nothing at all", [] { return Bytes{}; }, '?', 13, {}, {}},
};

class ReplyTable : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyTable, answersWithExactlyTheExpectedReply) {
    const ReplyCase& c = GetParam();
    DeviceModel model{Options{}};
    const Bytes request = c.request();
    const auto response = send(model, request);

    ASSERT_EQ(response.reply.size(), c.length);
    EXPECT_EQ(response.reply[0], 0xAA);
    EXPECT_EQ(response.reply[1], 0x55);
    EXPECT_EQ(response.reply[2], c.letter);
    EXPECT_TRUE(crcHolds(response.reply, c.length == 36 ? 32 : 9));
    if (c.crcField) {
        EXPECT_EQ(get32(response.reply, 4), *c.crcField);
    }
    if (c.status) {
        EXPECT_EQ(response.reply[8], *c.status);
    }
    EXPECT_EQ(model.requestCount(), 1u);
    ASSERT_EQ(model.requestLog().size(), 1u);
    EXPECT_EQ(model.requestLog()[0], request);
}

INSTANTIATE_TEST_SUITE_P(Requests, ReplyTable, ::testing::ValuesIn(kReplyCases), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p) {
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    }
    return name;
});

// The frames written out in the protocol's worked examples are taken as they are.
TEST(DeviceModel, acceptsTheWorkedExampleFrames) {
    DeviceModel model{Options{}};
    const Bytes write = {0xAA, 0x55, 0x46, 0x00, 0x00, 0x11, 0x00, 0x08, 0x00,
                         0x00, 0x61, 0x62, 0x63, 0x25, 0x49, 0xDD, 0x7C};
    const auto written = send(model, write);
    ASSERT_EQ(written.reply.size(), 13u);
    EXPECT_EQ(written.reply[2], 'V');
    EXPECT_EQ(Bytes(model.spiFlash().begin(), model.spiFlash().begin() + 4), (Bytes{'a', 'b', 'c', 0xFF}));

    Bytes check = {0xAA, 0x55, 0x47, 0x00, 0x00, 0x24, 0x00, 0x00, 0xA0,
                   0x00, 0x00, 0x00, 0x10, 0x00, 0x12, 0x34, 0x56, 0x78};
    check.resize(32, 0);
    check.insert(check.end(), {0xCF, 0xC4, 0xA3, 0x4F});
    const auto checked = send(model, check);
    ASSERT_EQ(checked.reply.size(), 13u);
    EXPECT_EQ(checked.reply[2], 'W');
    EXPECT_EQ(get32(checked.reply, 4), kErasedCrc4K);
    EXPECT_EQ(checked.reply[8], 1);
}

// ---------------------------------------------------------------------------------------------
// Memory effects: exactly the bytes given, at exactly the address given, nothing else.

TEST(DeviceModel, writesStoreExactlyThePayloadAndTouchNothingElse) {
    DeviceModel model{Options{}};
    Bytes code(DeviceModel::kCodeFlashSize, 0xFF);
    Bytes spi(kSpiSize, 0xFF);
    Bytes firmware(kFirmwareSize, 0xFF);

    struct Write {
        uint8_t letter;
        uint32_t address;
        Bytes payload;
        Bytes* memory;
        uint32_t offset;
    } writes[] = {
        {'F', 0x1234, pattern(5, 9), &code, 0x1234},
        {'F', 0x7FFFE, {0x00, 0x11}, &code, 0x7FFFE},
        {'F', 0x80010, pattern(22, 3), &spi, 0x10},
        {'F', kSpi + kSpiSize - 3, {1, 2, 3}, &spi, kSpiSize - 3},
        {'F', 0x2000, {}, &code, 0x2000},
        {'J', 0x1000, pattern(4096, 5), &firmware, 0x1000},
        // Writing 0xFF over 0xFF and 0x00 over data: stored as given, no erase, no AND-ing.
        {'F', 0x1235, {0xFF, 0x00}, &code, 0x1235},
    };
    for (const Write& w : writes) {
        const auto response = send(model, dataFrame(w.letter, w.address, w.payload));
        ASSERT_EQ(response.reply.size(), 13u);
        ASSERT_EQ(response.reply[2], w.letter + 0x10) << std::hex << w.address;
        std::copy(w.payload.begin(), w.payload.end(), w.memory->begin() + w.offset);
    }
    // A refused write leaves every memory as it was.
    EXPECT_EQ(send(model, dataFrame('F', kSpi - 2, {9, 9, 9, 9})).reply[2], '?');

    EXPECT_TRUE(model.codeFlash() == code);
    EXPECT_TRUE(model.spiFlash() == spi);
    EXPECT_TRUE(model.firmwareArea() == firmware);

    // The CRC checks see what was written.
    const Bytes written(code.begin() + 0x1234, code.begin() + 0x1239);
    const auto check = send(model, checkFrame('G', 0x1234, 5, crc0(written)));
    EXPECT_EQ(check.reply[8], 0);
    EXPECT_EQ(get32(check.reply, 4), crc0(written));
    const Bytes chunk(firmware.begin() + 0x1000, firmware.begin() + 0x2000);
    EXPECT_EQ(send(model, checkFrame('L', 0x1000, 4096, crc0(chunk))).reply[8], 0);
}

TEST(DeviceModel, spiFlashHasTheConfiguredSize) {
    Options options;
    options.spiFlashSize = 0x100000;
    DeviceModel model{options};
    EXPECT_EQ(model.spiFlash().size(), 0x100000u);
    EXPECT_EQ(send(model, dataFrame('F', kSpi + 0x100000 - 4, {1, 2, 3, 4})).reply[2], 'V');
    EXPECT_EQ(send(model, dataFrame('F', kSpi + 0x100000 - 3, {1, 2, 3, 4})).reply[2], '?');
}

// ---------------------------------------------------------------------------------------------
// The connection reply in each mode.

TEST(DeviceModel, connectionReplyCarriesTheRunningFirmwareFirst) {
    struct {
        uint8_t mode;
        uint32_t running;
        uint32_t other;
    } cases[] = {{';', 0x190528, 0x181201}, {'[', 0x181201, 0x190528}, {'+', 0x181201, 0x190528}};
    for (const auto& c : cases) {
        Options options;
        options.modeLetter = c.mode;
        options.boardMcu = 0xA1B2C3D4;
        options.boardId = 0x01020304;
        options.boardFlashId = 0xEF4017;
        DeviceModel model{options};
        const Bytes r = send(model, connectFrame()).reply;
        ASSERT_EQ(r.size(), 36u);
        EXPECT_EQ(r[2], c.mode);
        EXPECT_EQ(get24(r, 3), c.running) << c.mode;
        EXPECT_EQ(get24(r, 7), 0xEF4017u);
        EXPECT_EQ(get32(r, 14), 0xA1B2C3D4u);
        EXPECT_EQ(get24(r, 18), c.other) << c.mode;
        EXPECT_EQ(get32(r, 22), 0x01020304u);
        for (size_t unset : {6, 10, 11, 12, 13, 21, 26, 27, 28, 29, 30, 31})
            EXPECT_EQ(r[unset], 0) << unset;
        EXPECT_TRUE(crcHolds(r, 32));
    }
}

// ---------------------------------------------------------------------------------------------
// Target control.

TEST(DeviceModel, swdInitReportsTheTargetTypeAndOnlyAQv310ItsFlashId) {
    Options options;
    options.targetFlashId = 0x00C84017;
    DeviceModel qv310{options};
    const Bytes r = send(qv310, targetFrame('0', 0, 2)).reply;
    ASSERT_EQ(r.size(), 17u);
    EXPECT_EQ(get32(r, 3), 0x19713100u);
    EXPECT_EQ(get32(r, 13), 0x00C84017u);
    EXPECT_TRUE(crcHolds(r, 9));
    EXPECT_EQ(qv310.lastSwdSpeed(), 2);
    EXPECT_FALSE(qv310.lastRunAddress().has_value());

    options.targetType = 0x19713900;
    DeviceModel qv390{options};
    const Bytes other = send(qv390, targetFrame('0', 0, 1)).reply;
    ASSERT_EQ(other.size(), 13u);
    EXPECT_EQ(get32(other, 3), 0x19713900u);
    EXPECT_TRUE(crcHolds(other, 9));
    EXPECT_EQ(qv390.lastSwdSpeed(), 1);
}

TEST(DeviceModel, targetRunRecordsAddressSpeedAndPowerAndReportsTheRunStatus) {
    Options options;
    options.targetRunStatus = 3;
    DeviceModel model{options};
    const Bytes r = send(model, targetFrame('1', 0x0000A000, 1, 'P')).reply;
    ASSERT_EQ(r.size(), 13u);
    EXPECT_EQ(r[7], 3);
    EXPECT_TRUE(crcHolds(r, 9));
    EXPECT_EQ(model.lastRunAddress(), 0xA000u);
    EXPECT_EQ(model.lastSwdSpeed(), 1);
    EXPECT_EQ(model.lastPowerByte(), 'P');
    EXPECT_EQ(model.targetRunCount(), 1u);

    model.mutableOptions().targetRunStatus = 0;
    EXPECT_EQ(send(model, targetFrame('1', 0, 0, 'U')).reply[7], 0);
    EXPECT_EQ(model.lastPowerByte(), 'U');
    EXPECT_EQ(model.targetRunCount(), 2u);
}

// ---------------------------------------------------------------------------------------------
// Firmware update and restart.

TEST(DeviceModel, finishingAnUpdateRestartsWithTheVersionOfTheReceivedImage) {
    struct {
        uint8_t startMode;
        uint8_t flag;
        bool application;
    } cases[] = {{'[', 1, true}, {';', 0, false}};
    for (const auto& c : cases) {
        Options options;
        options.modeLetter = c.startMode;
        DeviceModel model{options};
        Bytes header = pattern(4096);
        header[0] = 0x21;  // bytes 0x1000-0x1002 of the image: version 0x210304
        header[1] = 0x03;
        header[2] = 0x04;
        ASSERT_EQ(send(model, dataFrame('J', 0, pattern(4096))).reply[2], 'Z');
        ASSERT_EQ(send(model, dataFrame('J', 0x1000, header)).reply[2], 'Z');

        const auto finished = send(model, finishFrame(c.flag));
        EXPECT_EQ(finished.outcome, Outcome::Restart);
        ASSERT_EQ(finished.reply.size(), 13u);
        EXPECT_EQ(finished.reply[2], '_');

        const Bytes r = send(model, connectFrame()).reply;
        EXPECT_EQ(r[2], ';');
        const uint32_t app = get24(r, 3);
        const uint32_t boot = get24(r, 18);
        EXPECT_EQ(c.application ? app : boot, 0x210304u);
        EXPECT_EQ(c.application ? boot : app, c.application ? 0x181201u : 0x190528u);
    }
}

// ---------------------------------------------------------------------------------------------
// Faults: each fires at its request and never again.

struct FaultCase {
    const char* name;
    Fault fault;
    std::function<Bytes()> request;
    std::function<void(const DeviceModel::Response& faulty, const DeviceModel::Response& normal)> judge;
};

const FaultCase kFaultCases[] = {
    {"no reply", Fault::NoReply, [] { return checkFrame('G', 0, 16, 0); },
     [](const auto& f, const auto&) {
         EXPECT_EQ(f.outcome, Outcome::NoReply);
         EXPECT_TRUE(f.reply.empty());
     }},
    {"unplug", Fault::Unplug, [] { return checkFrame('G', 0, 16, 0); },
     [](const auto& f, const auto&) {
         EXPECT_EQ(f.outcome, Outcome::Unplug);
         EXPECT_TRUE(f.reply.empty());
     }},
    {"stall", Fault::Stall, [] { return checkFrame('G', 0, 16, 0); },
     [](const auto& f, const auto&) {
         EXPECT_EQ(f.outcome, Outcome::Stall);
         EXPECT_TRUE(f.reply.empty());
     }},
    {"wrong letter", Fault::WrongLetter, [] { return checkFrame('G', 0, 16, 0); },
     [](const auto& f, const auto& n) {
         ASSERT_EQ(f.reply.size(), 13u);
         EXPECT_NE(f.reply[2], n.reply[2]);
         EXPECT_TRUE(crcHolds(f.reply, 9));
     }},
    {"wrong letter in a connection reply", Fault::WrongLetter, [] { return connectFrame(); },
     [](const auto& f, const auto&) {
         ASSERT_EQ(f.reply.size(), 36u);
         EXPECT_TRUE(f.reply[2] != ';' && f.reply[2] != '[' && f.reply[2] != '+');
         EXPECT_TRUE(crcHolds(f.reply, 32));
     }},
    {"wrong length", Fault::WrongLength, [] { return checkFrame('G', 0, 16, 0); },
     [](const auto& f, const auto& n) {
         ASSERT_EQ(f.reply.size(), 14u);
         EXPECT_EQ(Bytes(f.reply.begin(), f.reply.begin() + 13), n.reply);
     }},
    {"bad CRC", Fault::BadCrc, [] { return checkFrame('G', 0, 16, 0); },
     [](const auto& f, const auto& n) {
         ASSERT_EQ(f.reply.size(), 13u);
         EXPECT_EQ(Bytes(f.reply.begin(), f.reply.begin() + 9), Bytes(n.reply.begin(), n.reply.begin() + 9));
         EXPECT_EQ(__builtin_popcount(get32(f.reply, 9) ^ get32(n.reply, 9)), 1);
     }},
    {"bad CRC in a connection reply", Fault::BadCrc, [] { return connectFrame(); },
     [](const auto& f, const auto& n) {
         ASSERT_EQ(f.reply.size(), 36u);
         EXPECT_EQ(__builtin_popcount(get32(f.reply, 32) ^ get32(n.reply, 32)), 1);
     }},
    {"bad CRC in a target control reply", Fault::BadCrc, [] { return targetFrame('0'); },
     [](const auto& f, const auto& n) {
         ASSERT_EQ(f.reply.size(), 17u);
         EXPECT_FALSE(crcHolds(f.reply, 9));
         EXPECT_EQ(get32(f.reply, 13), get32(n.reply, 13));
     }},
    {"CRC status mismatch", Fault::CrcStatusMismatch,
     [] { return checkFrame('G', 0, 16, crc0(filled(16, 0xFF))); },
     [](const auto& f, const auto& n) {
         EXPECT_EQ(n.reply[8], 0);
         EXPECT_EQ(f.reply[8], 5);
         EXPECT_EQ(f.reply[2], 'W');
         EXPECT_TRUE(crcHolds(f.reply, 9));
     }},
    {"CRC status mismatch of a firmware check", Fault::CrcStatusMismatch,
     [] { return checkFrame('L', 0, 16, crc0(filled(16, 0xFF))); },
     [](const auto& f, const auto&) {
         EXPECT_EQ(f.reply[8], 5);
         EXPECT_TRUE(crcHolds(f.reply, 9));
     }},
    {"target run failure", Fault::TargetRunFailure, [] { return targetFrame('1', 0, 0, 'U'); },
     [](const auto& f, const auto& n) {
         EXPECT_EQ(n.reply[7], 0);
         EXPECT_EQ(f.reply[7], 1);
         EXPECT_TRUE(crcHolds(f.reply, 9));
     }},
};

class FaultTable : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultTable, firesAtTheNthRequestAndOnlyOnce) {
    const FaultCase& c = GetParam();
    Options options;
    options.fault = c.fault;
    options.faultAtRequest = 3;
    DeviceModel model{options};
    DeviceModel reference{Options{}};
    const Bytes request = c.request();
    const auto normal = send(reference, request);
    ASSERT_EQ(normal.outcome, Outcome::Reply);

    for (int i = 1; i <= 5; ++i) {
        const auto response = send(model, request);
        if (i == 3) {
            c.judge(response, normal);
            EXPECT_TRUE(model.faultFired());
        } else {
            EXPECT_EQ(response.outcome, Outcome::Reply) << "request " << i;
            EXPECT_EQ(response.reply, normal.reply) << "request " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTable, ::testing::ValuesIn(kFaultCases), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
});

// A status or run fault set at a request it cannot show on waits for the next one it can.
TEST(DeviceModel, statusFaultsWaitForACheckAndRunFaultsForATargetRun) {
    Options options;
    options.fault = Fault::CrcStatusMismatch;
    options.faultAtRequest = 1;
    DeviceModel model{options};
    const Bytes check = checkFrame('G', 0, 16, crc0(filled(16, 0xFF)));
    EXPECT_EQ(send(model, dataFrame('F', 0x100, pattern(8))).reply[2], 'V');
    EXPECT_EQ(send(model, targetFrame('0')).reply[2], 'Q');
    EXPECT_FALSE(model.faultFired());
    EXPECT_EQ(send(model, check).reply[8], 5);
    EXPECT_EQ(send(model, check).reply[8], 0);

    options.fault = Fault::TargetRunFailure;
    DeviceModel runs{options};
    EXPECT_EQ(send(runs, targetFrame('0')).reply.size(), 17u);
    EXPECT_EQ(send(runs, targetFrame('1', 0, 0, 'U')).reply[7], 1);
    EXPECT_EQ(send(runs, targetFrame('1', 0, 0, 'U')).reply[7], 0);
}

// A test that injects faults one after another while the programmer runs gets each of them.
TEST(DeviceModel, aNewFaultCanBeArmedAfterOneFired) {
    DeviceModel model{Options{}};
    const Bytes request = connectFrame();
    model.mutableOptions().fault = Fault::WrongLength;
    model.mutableOptions().faultAtRequest = 2;
    EXPECT_EQ(send(model, request).reply.size(), 36u);
    EXPECT_EQ(send(model, request).reply.size(), 37u);
    EXPECT_TRUE(model.faultFired());

    model.mutableOptions().fault = Fault::NoReply;
    model.mutableOptions().faultAtRequest = model.requestCount() + 1;
    EXPECT_FALSE(model.faultFired());
    EXPECT_EQ(send(model, request).outcome, Outcome::NoReply);
    EXPECT_EQ(send(model, request).reply.size(), 36u);

    // Arming a request already passed never fires.
    model.mutableOptions().fault = Fault::BadCrc;
    model.mutableOptions().faultAtRequest = 1;
    EXPECT_TRUE(crcHolds(send(model, request).reply, 32));
}

TEST(DeviceModel, anUnansweredWriteIsNotCarriedOut) {
    Options options;
    options.fault = Fault::NoReply;
    options.faultAtRequest = 1;
    DeviceModel model{options};
    EXPECT_EQ(send(model, dataFrame('F', 0x100, pattern(8))).outcome, Outcome::NoReply);
    EXPECT_EQ(model.codeFlash()[0x100], 0xFF);
    EXPECT_EQ(model.requestLog().size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Timing model: the delay the server applies, computed from sizes.

TEST(DeviceModel, delayCoversWireTimeOfBothFramesAndFlashProgrammingOfWrites) {
    Options options;
    options.wireBytesPerSecond = 1000;
    options.flashProgramMicrosPer4K = 8000;
    DeviceModel model{options};
    // 36-byte request + 13-byte reply at 1000 bytes/s.
    EXPECT_EQ(send(model, checkFrame('G', 0, 16, 0)).delayMicros, 49000u);
    // 4110 + 13 bytes on the wire, then a whole 4 KiB programmed.
    EXPECT_EQ(send(model, dataFrame('F', 0, pattern(4096))).delayMicros, 4123000u + 8000u);
    // 1024 bytes program in a quarter of the time; 38 + 13 on the wire for a 22-byte payload.
    EXPECT_EQ(send(model, dataFrame('F', 0, pattern(1024))).delayMicros, 1051000u + 2000u);
    EXPECT_EQ(send(model, dataFrame('F', 0, pattern(22))).delayMicros, 51000u + 8000u * 22 / 4096);

    DeviceModel instant{Options{}};
    EXPECT_EQ(send(instant, dataFrame('F', 0, pattern(4096))).delayMicros, 0u);
}

// The realistic model with round figures, so that each term of a delay can be told apart: every
// byte on the wire, read or moved over SWD costs 1 us, a CRC costs 1 us per 4 bytes.
vprog::Options roundRealistic() {
    Options options;
    options.realistic = true;
    vprog::RealisticTiming& t = options.realisticTiming;
    t.usbBytesPerSecond = 1e6;
    t.usbExchangeMicros = 100;
    t.spiSectorBytes = 4096;
    t.spiSectorEraseMicros = 50000;
    t.spiPageBytes = 256;
    t.spiPageProgramMicros = 700;
    t.spiBytesPerSecond = 1e6;
    t.codePageBytes = 2048;
    t.codePageEraseMicros = 20000;
    t.codeDoubleWordProgramMicros = 10;
    t.swdBytesPerSecond = 1e6;
    t.crcBytesPerSecond = 4e6;
    return options;
}

TEST(DeviceModel, realisticTimingErasesASectorTheFirstTimeAWriteTouchesItAndAgainToRewrite) {
    DeviceModel model{roundRealistic()};
    const uint64_t wire4K = 100 + 4110 + 13;
    const uint64_t sectorWrite = 4096 + 16 * 700;  // data over SPI, 16 pages
    struct Step {
        const char* what;
        Bytes request;
        uint64_t delay;
    };
    const Step steps[] = {
        {"first write of a sector: erase, then program", dataFrame('F', 0x80000, pattern(4096)),
         wire4K + 50000 + sectorWrite},
        {"the same sector again: erase again", dataFrame('F', 0x80000, pattern(4096)),
         wire4K + 50000 + sectorWrite},
        {"half a fresh sector", dataFrame('F', 0x81000, pattern(2048)),
         100 + 2062 + 13 + 50000 + 2048 + 8 * 700},
        {"its other half, still erased: no erase", dataFrame('F', 0x81800, pattern(2048)),
         100 + 2062 + 13 + 2048 + 8 * 700},
        {"22 bytes across a sector border: two erases, two pages", dataFrame('F', 0x82FF0, pattern(22)),
         100 + 38 + 13 + 2 * 50000 + 22 + 2 * 700},
        {"code flash: two 2 KiB pages erased, 512 double words over SWD",
         dataFrame('F', 0xA000, pattern(4096)), wire4K + 4096 + 2 * 20000 + 512 * 10},
        {"CRC check of 4 KiB of SPI flash: read and CRC", checkFrame('G', 0x80000, 4096, 0),
         100 + 36 + 13 + 4096 + 1024},
        {"CRC check of code flash over SWD", checkFrame('G', 0xA000, 8192, 0), 100 + 36 + 13 + 8192 + 2048},
        {"firmware CRC: the programmer's own flash, CRC only", checkFrame('L', 0, 4096, 0),
         100 + 36 + 13 + 1024},
        {"a refused request costs only its exchange", checkFrame('G', 0x7FFF0, 0x20, 0), 100 + 36 + 13},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        EXPECT_EQ(send(model, step.request).delayMicros, step.delay);
    }
    // The model's memory is still that of a plain write: a rewrite keeps the rest of its sector.
    EXPECT_EQ(Bytes(model.spiFlash().begin() + 0x1000, model.spiFlash().begin() + 0x2000), [] {
        Bytes b = pattern(2048);
        const Bytes second = pattern(2048);
        b.insert(b.end(), second.begin(), second.end());
        return b;
    }());
}

TEST(DeviceModel, usbPresetsDifferInThroughputAndExchangeTime) {
    Options full;
    full.realistic = true;
    full.realisticTiming = vprog::RealisticTiming::forUsb(vprog::UsbSpeed::Full);
    Options high = full;
    high.realisticTiming = vprog::RealisticTiming::forUsb(vprog::UsbSpeed::High);
    DeviceModel fullModel{full};
    DeviceModel highModel{high};
    // A connection exchange does no memory work: its time is the link's alone.
    EXPECT_EQ(send(fullModel, connectFrame()).delayMicros, 1000u + uint64_t((36 + 36) * 1e6 / 1216000));
    EXPECT_EQ(send(highModel, connectFrame()).delayMicros, 125u + uint64_t((36 + 36) * 1e6 / 53248000));
}

}  // namespace
