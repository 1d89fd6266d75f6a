#include "CodeImage.h"

#include "protocol/Text.h"

namespace qv {

uint32_t runningAddress(const uint8_t* image, size_t length) {
    if (image == nullptr || length < 8)
        return 0;
    return uint32_t(image[4]) | uint32_t(image[5]) << 8 | uint32_t(image[6]) << 16 | uint32_t(image[7]) << 24;
}

bool hasBadRunningAddress(const uint8_t* image, size_t length) {
    if (image == nullptr || length < 8)
        return false;
    const uint32_t address = runningAddress(image, length);
    if ((address & 0xFFF00000u) == 0x08000000u)
        return (address & 0xFFFFF000u) != 0x08000000u;
    if ((address & 0xFF000000u) == 0x10000000u)
        return (address & 0xFFFFF000u) > 0x10001000u;
    return false;
}

uint32_t parseHexAddress(const QString& text) {
    int x = text.indexOf(QLatin1Char('x'));
    if (x < 0)
        x = text.indexOf(QLatin1Char('X'));
    if (x < 0 || x + 1 >= text.size())
        return 0;

    uint32_t value = 0;
    int digits = 0;
    for (int i = x + 1; i < text.size() && digits < 8; ++i) {
        const ushort c = text.at(i).unicode();
        if (c == '/')
            break;
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            continue;
        }
        value = value << 4 | digit;
        // Leading zeros carry no value and do not use up one of the eight digits.
        if (value != 0)
            ++digits;
    }
    return value;
}

QString imageSummary(const QString& prefix, uint32_t crc, int32_t length) {
    return prefix + hexText(crc, 8) + QStringLiteral(" Len: ") + QString::number(length);
}

}  // namespace qv
