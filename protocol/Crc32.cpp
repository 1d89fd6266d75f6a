#include "Crc32.h"

#include <zlib.h>

#include <array>
#include <limits>

namespace qv {

// zlib keeps the inverted register between calls and inverts on entry and exit, so feeding it the
// inverted CRC-32/0 register and inverting its answer continues CRC-32/0 exactly.
uint32_t crc32zero(const uint8_t* data, size_t length, uint32_t crc) {
    uLong reg = static_cast<uLong>(~crc) & 0xFFFFFFFFUL;
    // zlib takes the length as uInt; feed very large buffers in pieces that fit.
    constexpr size_t kMaxPiece = std::numeric_limits<uInt>::max() & ~static_cast<size_t>(0xFFFF);
    while (length > 0) {
        const size_t piece = length < kMaxPiece ? length : kMaxPiece;
        reg = ::crc32(reg, data, static_cast<uInt>(piece));
        data += piece;
        length -= piece;
    }
    return static_cast<uint32_t>(~reg);
}

namespace {

std::array<uint32_t, 256> makeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : (c >> 1);
        table[i] = c;
    }
    return table;
}

}  // namespace

uint32_t crc32zeroReference(const uint8_t* data, size_t length, uint32_t crc) {
    static const std::array<uint32_t, 256> table = makeTable();
    for (size_t i = 0; i < length; ++i)
        crc = (crc >> 8) ^ table[(crc ^ data[i]) & 0xFFu];
    return crc;
}

}  // namespace qv
