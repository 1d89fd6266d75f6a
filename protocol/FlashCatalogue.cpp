#include "FlashCatalogue.h"

#include "Reporter.h"
#include "ProgrammerLink.h"
#include "Text.h"

#include <QDir>
#include <QFile>

#include <cstring>
#include <limits>

namespace qv {

namespace {

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isNumberByte(char c) {
    return hexDigitValue(c) >= 0 || c == 'x' || c == 'X';
}

bool isNameByte(unsigned char c) {
    return c >= 0x21 && c <= 0x7F;
}

}  // namespace

int32_t parseNumberToken(const char* token, size_t length) {
    if (length >= 2 && (token[1] == 'x' || token[1] == 'X')) {
        if (length < 3 || length > 10)
            return 0;
        uint32_t value = 0;
        for (size_t i = 2; i < length; ++i) {
            const int digit = hexDigitValue(token[i]);
            if (digit < 0)
                return 0;
            value = (value << 4) | static_cast<uint32_t>(digit);
        }
        return static_cast<int32_t>(value);
    }
    if (length == 0)
        return 0;
    int64_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (token[i] < '0' || token[i] > '9')
            return 0;
        value = value * 10 + (token[i] - '0');
        if (value > std::numeric_limits<int32_t>::max())
            return 0;
    }
    return static_cast<int32_t>(value);
}

int parseFlashRecord(const char* line, size_t length, uint32_t wantedId, bool targetChip, int32_t& size,
                     std::string& name) {
    int32_t numbers[3] = {0, 0, 0};
    int field = 0;
    std::string token;
    std::string recordName;
    for (size_t i = 0; i < length; ++i) {
        const char c = line[i];
        if (c == ',') {
            if (field == 3) {
                recordName = token;
                break;
            }
            numbers[field] = parseNumberToken(token.data(), token.size());
            ++field;
            token.clear();
        } else if (field == 3) {
            if (isNameByte(static_cast<unsigned char>(c)))
                token.push_back(c);
        } else if (isNumberByte(c)) {
            token.push_back(c);
        }
    }
    // Three commas make a record; anything shorter supplies no size and matches nothing.
    if (field < 3 || static_cast<uint32_t>(numbers[0]) != wantedId)
        return 0;

    const int64_t product = static_cast<int64_t>(numbers[1]) * numbers[2];
    int32_t chipSize = 0;
    if (product >= std::numeric_limits<int32_t>::min() && product <= std::numeric_limits<int32_t>::max()) {
        chipSize = static_cast<int32_t>(product);
    }
    if (targetChip && chipSize > kUiBaseAddress)
        chipSize -= kUiBaseAddress;
    size = chipSize;
    name = recordName;
    return 1;
}

int findFlashRecord(const char* text, size_t length, uint32_t wantedId, bool targetChip, int32_t& size,
                    std::string& name) {
    constexpr size_t kHeaderLength = sizeof(kFlashHeader) - 1;
    size_t start = 0;
    while (start < length) {
        size_t end = start;
        while (end < length && text[end] != '\n')
            ++end;
        const size_t next = end + 1;
        if (end > start && text[end - 1] == '\r')
            --end;
        const char* line = text + start;
        const size_t lineLength = end - start;
        const bool header =
            lineLength >= kHeaderLength && std::memcmp(line, kFlashHeader, kHeaderLength) == 0;
        if (!header && parseFlashRecord(line, lineLength, wantedId, targetChip, size, name))
            return 1;
        start = next;
    }
    return 0;
}

int ProgrammerLink::lookupFlash(FlashChip chip, uint32_t id) {
    const bool target = chip == FlashChip::Target;
    FlashChipInfo& info = target ? connection_.targetFlash : connection_.boardFlash;
    info = FlashChipInfo();
    info.id = id;

    // Read afresh on every lookup, so an edited catalogue counts at the next connection.
    int found = 0;
    QFile file(flashCataloguePath.isEmpty() ? QDir::currentPath() + QStringLiteral("/Flash.ini")
                                            : flashCataloguePath);
    if (flashCatalogueText || file.open(QIODevice::ReadOnly)) {
        const QByteArray text = flashCatalogueText ? *flashCatalogueText : file.readAll();
        file.close();
        int32_t recordSize = 0;
        std::string recordName;
        if (findFlashRecord(text.constData(), static_cast<size_t>(text.size()), id, target, recordSize,
                            recordName)) {
            info.size = recordSize;
            info.name = QString::fromLatin1(recordName.data(), static_cast<int>(recordName.size()));
            found = 1;
        }
    }

    info.known = found == 1;
    report_.learned(target ? Learned::TargetFlash : Learned::BoardFlash, connection_);
    return found;
}

}  // namespace qv
