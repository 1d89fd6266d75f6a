// The three reply checks judge whatever the programmer (or a broken cable) sends back. The input
// is one reply as read from the IN pipe; its first byte also picks the expected letter of a
// short reply. Every verdict is compared with what the reply bytes say.

#include "FuzzSupport.h"

#include "protocol/Crc32.h"
#include "protocol/Frames.h"

using qv::frame::ReplyVerdict;

namespace {

bool crcMatches(const uint8_t* rx, size_t covered) {
    return qv::crc32zero(rx, covered) == qv::frame::getBe32(rx + covered);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const qvfuzz::ExactCopy reply(data, size);
    const uint8_t* rx = reply.data();
    const uint32_t length = uint32_t(size);

    static const uint8_t kLetters[] = {'Z', 0x5C, '_', 'V', 'W', 'Q', '?'};
    const uint8_t expected = size ? kLetters[rx[0] % sizeof kLetters] : uint8_t('V');

    const qv::frame::ReplyCheck shortCheck = qv::frame::checkShortReply(rx, length, expected);
    const bool shortShape = size == 13 && rx[2] == expected;
    QVFUZZ_REQUIRE((shortCheck.verdict == ReplyVerdict::WrongShape) == !shortShape);
    if (shortShape) {
        QVFUZZ_REQUIRE((shortCheck.verdict == ReplyVerdict::Ok) == crcMatches(rx, 9));
        QVFUZZ_REQUIRE(shortCheck.computedCrc == qv::crc32zero(rx, 9));
        QVFUZZ_REQUIRE(shortCheck.receivedCrc == qv::frame::getBe32(rx + 9));
    }

    const qv::frame::ReplyCheck connection = qv::frame::checkConnectionReply(rx, length);
    QVFUZZ_REQUIRE((connection.verdict == ReplyVerdict::WrongShape) == (size != 36));
    if (size == 36)
        QVFUZZ_REQUIRE((connection.verdict == ReplyVerdict::Ok) == crcMatches(rx, 32));

    // The target control reply's length is not judged, only its letter and first 13 bytes; the
    // flash id that may follow is outside the CRC.
    const qv::frame::ReplyCheck control = qv::frame::checkTargetControlReply(rx, length);
    const bool controlShape = size >= 13 && rx[2] == 'Q';
    QVFUZZ_REQUIRE((control.verdict == ReplyVerdict::WrongShape) == !controlShape);
    if (controlShape)
        QVFUZZ_REQUIRE((control.verdict == ReplyVerdict::Ok) == crcMatches(rx, 9));
    return 0;
}
