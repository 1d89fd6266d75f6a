// Code images and the McuCode Addr text come from the user. The input is read as a code image
// (its running address and the check that refuses images built for another part), and as the
// McuCode Addr text, decoded both as UTF-8 and as Latin-1, compared with a reading of the address
// rules done the slow way.

#include "FuzzSupport.h"

#include "targetcode/CodeImage.h"

#include <QString>

#include <string>

namespace {

uint32_t referenceRunningAddress(const uint8_t* image, size_t length) {
    if (length < 8)
        return 0;
    return uint32_t(image[4]) | uint32_t(image[5]) << 8 | uint32_t(image[6]) << 16 | uint32_t(image[7]) << 24;
}

// Collects the digits after the first 'x' (else 'X') up to a '/', drops leading zeros and keeps the
// first eight that are left.
uint32_t referenceHexAddress(const QString& text) {
    int x = text.indexOf(QLatin1Char('x'));
    if (x < 0)
        x = text.indexOf(QLatin1Char('X'));
    if (x < 0)
        return 0;
    std::string digits;
    for (int i = x + 1; i < text.size(); ++i) {
        const ushort c = text.at(i).unicode();
        if (c == '/')
            break;
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))
            digits.push_back(char(c));
    }
    const size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos)
        return 0;
    return uint32_t(std::stoul(digits.substr(first, 8), nullptr, 16));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const qvfuzz::ExactCopy image(data, size);

    const uint32_t running = qv::runningAddress(image.data(), image.size());
    QVFUZZ_REQUIRE(running == referenceRunningAddress(image.data(), image.size()));
    const bool bad = qv::hasBadRunningAddress(image.data(), image.size());
    const bool badReference = image.size() >= 8 && ((running >= 0x08001000u && running <= 0x080FFFFFu) ||
                                                    (running >= 0x10002000u && running <= 0x10FFFFFFu));
    QVFUZZ_REQUIRE(bad == badReference);

    const int n = int(size > 4096 ? 4096 : size);  // an address field is a line, not a file
    for (const QString& text : {QString::fromUtf8(image.chars(), n), QString::fromLatin1(image.chars(), n)}) {
        QVFUZZ_REQUIRE(qv::parseHexAddress(text) == referenceHexAddress(text));
    }
    return 0;
}
