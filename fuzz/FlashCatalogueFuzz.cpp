// Flash.ini is a text file anyone can edit. The input is read three ways: as one number token
// (compared with a straightforward reading of the token rules), as one catalogue line, and as a
// whole catalogue searched for the id of the first record it holds.

#include "FuzzSupport.h"

#include "protocol/FlashCatalogue.h"

#include <limits>
#include <string>

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The token rules read the slow way, with 64-bit arithmetic.
int32_t referenceToken(const char* t, size_t n) {
    if (n >= 2 && (t[1] == 'x' || t[1] == 'X')) {
        if (n < 3 || n > 10)
            return 0;
        uint64_t v = 0;
        for (size_t i = 2; i < n; ++i) {
            if (hexValue(t[i]) < 0)
                return 0;
            v = v * 16 + uint64_t(hexValue(t[i]));
        }
        return int32_t(uint32_t(v));
    }
    if (n == 0)
        return 0;
    for (size_t i = 0; i < n; ++i) {
        if (t[i] < '0' || t[i] > '9')
            return 0;
    }
    size_t first = 0;  // leading zeros do not count towards the width
    while (first + 1 < n && t[first] == '0')
        ++first;
    if (n - first > 10)
        return 0;
    uint64_t v = 0;
    for (size_t i = first; i < n; ++i)
        v = v * 10 + uint64_t(t[i] - '0');
    return v > uint64_t(std::numeric_limits<int32_t>::max()) ? 0 : int32_t(v);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const qvfuzz::ExactCopy input(data, size);
    const char* text = input.chars();

    QVFUZZ_REQUIRE(qv::parseNumberToken(text, size) == referenceToken(text, size));

    // One line, for the programmer's chip and for the target's: the same record, the target's
    // size less the room below the UI area when it is larger than that room.
    int32_t sizes[2] = {-12345, -12345};
    std::string names[2] = {"untouched", "untouched"};
    int found[2] = {0, 0};
    for (int target = 0; target < 2; ++target) {
        found[target] = qv::parseFlashRecord(text, size, 0x1C4016, target == 1, sizes[target], names[target]);
        QVFUZZ_REQUIRE(found[target] == 0 || found[target] == 1);
        if (found[target] == 0)
            QVFUZZ_REQUIRE(sizes[target] == -12345 && names[target] == "untouched");
        for (const char c : names[target])
            QVFUZZ_REQUIRE(found[target] == 0 || (c >= 0x21 && c <= 0x7F));
    }
    QVFUZZ_REQUIRE(found[0] == found[1] && names[0] == names[1]);
    if (found[0])
        QVFUZZ_REQUIRE(sizes[1] == (sizes[0] > 0x80000 ? sizes[0] - 0x80000 : sizes[0]));

    // The whole text as a catalogue: whatever the first line is, looking its own id up must not
    // read outside the text, and a found record reports a name of printable bytes.
    size_t firstEnd = 0;
    while (firstEnd < size && text[firstEnd] != '\n' && text[firstEnd] != ',')
        ++firstEnd;
    const uint32_t wanted = uint32_t(qv::parseNumberToken(text, firstEnd));
    int32_t chipSize = 0;
    std::string chipName;
    const int inText = qv::findFlashRecord(text, size, wanted, true, chipSize, chipName);
    QVFUZZ_REQUIRE(inText == 0 || inText == 1);
    for (const char c : chipName)
        QVFUZZ_REQUIRE(c >= 0x21 && c <= 0x7F);
    return 0;
}
