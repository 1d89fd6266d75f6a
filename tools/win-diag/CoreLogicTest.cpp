// The pure logic under the diagnostic program and the tool, built for the platform at hand (the
// Windows build runs it under Wine): CRC-32/0, frame builders and reply checks, the decoding of
// the connection reply, the pauses, and the USB backend's behaviour on a path that does not open;
// on Windows also the WinUSB backend against stand-ins and the virtual programmer's named pipe
// against a running qv310-vprog.exe. Plain main(); the last line is "N passed, N failed" and the exit status is 1 when any failed.
#include "ConnectionReport.h"
#include "TestCheck.h"

#include "protocol/Crc32.h"
#include "protocol/Frames.h"
#include "protocol/Pacing.h"
#include "usb/DeviceSearch.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace qv {
#ifdef _WIN32
void winUsbBackendTests();                                     // WinUsbBackendTest.cpp
void virtualPipeTests(const std::wstring& vprogRelativePath);  // VirtualPipeTest.cpp
#endif
}  // namespace qv

namespace {

using qv::testcheck::check;
using qv::testcheck::checkBytes;
using qv::testcheck::checkEqual;

std::string hex(uint32_t value) {
    return qv::diag::hexNumber(value, 8);
}

const uint8_t* bytes(const char* text) {
    return reinterpret_cast<const uint8_t*>(text);
}

// Deterministic filler, so a failure can be reproduced.
std::vector<uint8_t> pseudoRandom(size_t length, uint32_t seed) {
    std::vector<uint8_t> data(length);
    uint32_t state = seed;
    for (auto& b : data) {
        state = state * 1664525u + 1013904223u;
        b = uint8_t(state >> 24);
    }
    return data;
}

void crcTests() {
    checkEqual(qv::crc32zero(bytes("abc"), 3), 0xCA6598D0, "CRC-32/0 of \"abc\"");
    checkEqual(qv::crc32zeroReference(bytes("abc"), 3), 0xCA6598D0, "table CRC-32/0 of \"abc\"");
    checkEqual(qv::crc32zero(nullptr, 0), 0, "CRC-32/0 of nothing");
    // The usual CRC-32 of "123456789" is 0xCBF43926; CRC-32/0 must not be that.
    check(qv::crc32zero(bytes("123456789"), 9) != 0xCBF43926, "CRC-32/0 differs from the usual CRC-32");

    const std::vector<uint8_t> data = pseudoRandom(70000, 0x5EED);
    bool allSame = true;
    for (size_t length : {size_t{1}, size_t{2}, size_t{7}, size_t{8}, size_t{31}, size_t{36}, size_t{255},
                          size_t{4096}, size_t{4110}, size_t{65537}, data.size()}) {
        const uint32_t fast = qv::crc32zero(data.data(), length);
        const uint32_t reference = qv::crc32zeroReference(data.data(), length);
        if (fast != reference) {
            allSame = false;
            std::printf("  length %zu: fast %s, table %s\n", length, hex(fast).c_str(),
                        hex(reference).c_str());
        }
    }
    check(allSame, "fast CRC-32/0 equals the table form at every length");

    // Continuing over a split buffer gives the CRC of the whole.
    const uint32_t whole = qv::crc32zero(data.data(), data.size());
    for (size_t split : {size_t{0}, size_t{1}, size_t{4095}, size_t{40000}}) {
        const uint32_t first = qv::crc32zero(data.data(), split);
        checkEqual(qv::crc32zero(data.data() + split, data.size() - split, first), whole,
                   "fast CRC continued after " + std::to_string(split) + " bytes");
        const uint32_t firstRef = qv::crc32zeroReference(data.data(), split);
        checkEqual(qv::crc32zeroReference(data.data() + split, data.size() - split, firstRef), whole,
                   "table CRC continued after " + std::to_string(split) + " bytes");
    }
}

void frameTests() {
    using namespace qv::frame;
    {
        uint8_t tx[4160];
        std::memset(tx, 0xEE, sizeof tx);
        const uint32_t n = buildDataFrame(tx, kWriteData, 0x00080000, bytes("abc"), 3);
        checkEqual(n, 17, "data frame 'F' \"abc\" length");
        checkBytes(tx,
                   {0xAA, 0x55, 0x46, 0x00, 0x00, 0x11, 0x00, 0x08, 0x00, 0x00, 0x61, 0x62, 0x63, 0x25, 0x49,
                    0xDD, 0x7C},
                   "data frame 'F' 0x00080000 \"abc\"");
    }
    {
        // Transmitted length and the length field for payloads around the 36-byte frame.
        struct Case {
            uint32_t payload;
            uint32_t transmitted;
            std::vector<uint8_t> lengthField;
        };
        const Case cases[] = {
            {0, 14, {0x00, 0x00, 0x0E}},  {21, 35, {0x00, 0x00, 0x23}},     {22, 38, {0x00, 0x00, 0x24}},
            {23, 37, {0x00, 0x00, 0x25}}, {4096, 4110, {0x00, 0x10, 0x0E}},
        };
        const std::vector<uint8_t> payload = pseudoRandom(4096, 7);
        for (const Case& c : cases) {
            uint8_t tx[4160];
            std::memset(tx, 0xEE, sizeof tx);
            const std::string name = "data frame with " + std::to_string(c.payload) + " payload bytes";
            checkEqual(buildDataFrame(tx, kWriteFirmware, 0x1000, payload.data(), c.payload), c.transmitted,
                       name + ": bytes to send");
            checkBytes(tx + 3, c.lengthField, name + ": length field");
            const uint32_t total = c.payload + kDataFrameOverhead;
            checkEqual(getBe32(tx + total - 4), qv::crc32zero(tx, total - 4),
                       name + ": CRC over header and payload");
            if (c.transmitted == 38)
                checkBytes(tx + 36, {0x00, 0x00}, name + ": the two extra bytes");
        }
    }
    {
        uint8_t tx[4160] = {};
        checkEqual(buildCrcCheckFrame(tx, kCheckData, 0xA000, 0x1000, 0x12345678), 36,
                   "command frame 'G' length");
        std::vector<uint8_t> expected = {0xAA, 0x55, 0x47, 0x00, 0x00, 0x24, 0x00, 0x00, 0xA0,
                                         0x00, 0x00, 0x00, 0x10, 0x00, 0x12, 0x34, 0x56, 0x78};
        expected.insert(expected.end(), 14, 0x00);
        expected.insert(expected.end(), {0xCF, 0xC4, 0xA3, 0x4F});
        checkBytes(tx, expected, "command frame 'G' 0xA000 0x1000 0x12345678");
    }
    {
        uint8_t tx[4160];
        std::memset(tx, 0xEE, sizeof tx);
        checkEqual(buildConnectFrame(tx), 36, "connection frame length");
        checkBytes(tx, {0xAA, 0x55, 'K', 'Q', 'V'}, "connection frame header");
        checkEqual(getBe32(tx + 32), qv::crc32zero(tx, 32), "connection frame CRC");
    }
    {
        const uint8_t reply[13] = {0xAA, 0x55, 0x57, 0x00, 0x12, 0x34, 0x56,
                                   0x78, 0x00, 0x60, 0x80, 0x28, 0x01};
        check(checkShortReply(reply, 13, 'W').verdict == ReplyVerdict::Ok, "worked short reply 'W' is valid");
        check(checkShortReply(reply, 12, 'W').verdict == ReplyVerdict::WrongShape,
              "a 12-byte short reply is refused");
        check(checkShortReply(reply, 13, 'V').verdict == ReplyVerdict::WrongShape,
              "a short reply with another letter is refused");
        uint8_t badCrc[13];
        std::memcpy(badCrc, reply, 13);
        badCrc[12] ^= 0x01;
        check(checkShortReply(badCrc, 13, 'W').verdict == ReplyVerdict::BadCrc,
              "a short reply with status 0 but a wrong CRC is refused");
    }
}

// A connection reply with the given letter, versions 19 05 28 (running) and 18 12 01 (other),
// flash id EF 40 16, board MCU 0x00310C01 and board id 0xB0A12233; CRC made right.
std::vector<uint8_t> connectionReply(uint8_t letter) {
    std::vector<uint8_t> rx(36, 0x00);
    rx[0] = 0xAA;
    rx[1] = 0x55;
    rx[2] = letter;
    qv::frame::putBe24(&rx[3], 0x190528);
    qv::frame::putBe24(&rx[7], 0xEF4016);
    qv::frame::putBe32(&rx[14], 0x00310C01);
    qv::frame::putBe24(&rx[18], 0x181201);
    qv::frame::putBe32(&rx[22], 0xB0A12233);
    qv::frame::putBe32(&rx[32], qv::crc32zero(rx.data(), 32));
    return rx;
}

void connectionReplyTests() {
    using qv::diag::ReplyStatus;
    {
        const auto rx = connectionReply(';');
        const auto report = qv::diag::readConnectionReply(rx.data(), 36);
        check(report.status == ReplyStatus::Connected, "';' reply connects");
        checkEqual(report.appVersion, 0x20190528, "';': application version from bytes 3-5");
        checkEqual(report.bootVersion, 0x20181201, "';': boot version from bytes 18-20");
        checkEqual(report.flashId, 0xEF4016, "flash id");
        checkEqual(report.boardMcu, 0x00310C01, "board MCU");
        checkEqual(report.boardId, 0xB0A12233, "board id");
        const std::string text = qv::diag::describe(report);
        check(text.find("Connection for normal work") != std::string::npos &&
                  text.find("Boot_Version: 0x20181201") != std::string::npos &&
                  text.find("App_Version:  0x20190528") != std::string::npos &&
                  text.find("FlashID:      0xEF4016") != std::string::npos,
              "the report names the mode, versions and flash id:\n" + text);
    }
    for (uint8_t letter : {uint8_t('['), uint8_t('+')}) {
        const auto rx = connectionReply(letter);
        const auto report = qv::diag::readConnectionReply(rx.data(), 36);
        const std::string name = std::string("'") + char(letter) + "' reply";
        check(report.status == ReplyStatus::Connected, name + " connects");
        checkEqual(report.bootVersion, 0x20190528, name + ": boot version from bytes 3-5");
        checkEqual(report.appVersion, 0x20181201, name + ": application version from bytes 18-20");
    }
    {
        const auto rx = connectionReply('Z');
        check(qv::diag::readConnectionReply(rx.data(), 36).status == ReplyStatus::UnknownMode,
              "a reply with a right CRC and letter 'Z' is an illegal connection");
    }
    {
        auto rx = connectionReply(';');
        rx[20] ^= 0x40;
        const auto report = qv::diag::readConnectionReply(rx.data(), 36);
        check(report.status == ReplyStatus::BadCrc, "a changed byte inside the reply fails its CRC");
        checkEqual(report.receivedCrc, qv::frame::getBe32(&rx[32]), "the CRC error names the received CRC");
        checkEqual(report.computedCrc, qv::crc32zero(rx.data(), 32), "the CRC error names the computed CRC");
    }
    {
        const auto rx = connectionReply(';');
        check(qv::diag::readConnectionReply(rx.data(), 13).status == ReplyStatus::WrongLength,
              "a 13-byte reply to 'K' has the wrong length");
        check(qv::diag::readConnectionReply(rx.data(), 0).status == ReplyStatus::WrongLength,
              "an empty reply to 'K' has the wrong length");
    }
    check(qv::diag::hexNumber(0x20190528, 6) == "0x20190528", "hex numbers are padded but never cut");
    check(qv::diag::hexNumber(0x4016, 6) == "0x004016", "hex numbers are zero-padded");
}

void pacingTests() {
    for (int64_t us : {int64_t{500}, int64_t{3000}}) {
        const auto start = std::chrono::steady_clock::now();
        qv::delayMicroseconds(us);
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
                .count();
        check(elapsed >= us,
              "delayMicroseconds(" + std::to_string(us) + ") waited only " + std::to_string(elapsed) + " us");
    }
    const qv::Pacing pacing = qv::Pacing::standard();
    check(pacing.slowPause != nullptr && pacing.fastPause != nullptr, "the standard pacing has both pauses");
    if (pacing.slowPause) {
        const auto start = std::chrono::steady_clock::now();
        pacing.slowPause();
        check(std::chrono::steady_clock::now() - start >= std::chrono::microseconds(500),
              "the slow pause sleeps for about a millisecond");
    }
}

// No programmer exists under this path: open fails, and the transport then refuses transfers
// at once instead of handing an invalid handle to the driver.
void transportTests() {
    const std::string path =
        R"(\\?\usb#vid_4d51&pid_7c2e#no-such-programmer#{88bae032-5a81-49f0-bc3d-a4ff138216d6})";
    std::unique_ptr<qv::UsbTransport> transport = qv::makeTransportFor(path);
    check(transport != nullptr, "a device interface path gets the USB backend");
    if (!transport)
        return;
    check(!transport->open(path), "opening a path where no programmer is fails");
    const uint8_t frame[36] = {};
    check(transport->write(frame, sizeof frame, nullptr) == -1, "a write after a failed open fails");
    uint8_t rx[qv::kReadSize];
    check(transport->read(rx, nullptr) == -1, "a read after a failed open fails");
}

}  // namespace

int main() {
    crcTests();
    frameTests();
    connectionReplyTests();
    pacingTests();
    transportTests();
#ifdef _WIN32
    qv::winUsbBackendTests();
    qv::virtualPipeTests(QV_VPROG_FROM_TEST);
#endif
    return qv::testcheck::finish();
}
