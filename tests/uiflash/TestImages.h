#pragma once

// Builders of UI images and difference files for the UI flash tests.

#include "protocol/Crc32.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace uitest {

using Bytes = std::vector<uint8_t>;

inline void putLe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

inline void putBe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (24 - 8 * i));
}

inline uint32_t getBe32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// Reproducible bytes that differ from seed to seed.
inline Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& v : b) {
        x = x * 1103515245u + 12345u;
        v = uint8_t(x >> 16);
    }
    return b;
}

// An image whose UI image header is valid: length word, flashCrc over the image with bytes
// 372-383 as 0xFF, and its complement.
inline Bytes withValidHeader(Bytes b) {
    const size_t n = b.size();
    Bytes flash = b;
    std::fill(flash.begin() + 372, flash.begin() + 384, uint8_t(0xFF));
    const uint32_t flashCrc = qv::crc32zero(flash.data(), flash.size());
    putLe32(b, 372, uint32_t(n));
    putLe32(b, 376, flashCrc);
    putLe32(b, 380, ~flashCrc);
    return b;
}

inline Bytes imageWithHeader(size_t n, uint32_t seed) {
    return withValidHeader(pattern(n, seed));
}

inline uint32_t headerFlashCrc(const Bytes& image) {
    return uint32_t(image[376]) | uint32_t(image[377]) << 8 | uint32_t(image[378]) << 16 |
           uint32_t(image[379]) << 24;
}

// One raw block record: blk_addr, the blk_len word, and how many data bytes really follow.
struct Record {
    uint32_t addr;
    uint32_t len;
    size_t dataBytes;
};

// A difference file made of raw records (data from pattern(dataBytes, addr), blk_crc its CRC)
// and trailing filler bytes, with dblk_lenght, dblk_crc and diff_para_crc made right, so that
// only the records themselves can be wrong.
inline Bytes diffFrom(const std::vector<Record>& records, size_t trailingBytes = 0, uint32_t dblkNumber = 1) {
    Bytes f(32, 0);
    for (const Record& r : records) {
        Bytes head(16, 0);
        Bytes data = pattern(r.dataBytes, r.addr);
        putBe32(head, 0, r.addr);
        putBe32(head, 4, r.len);
        putBe32(head, 8, qv::crc32zero(data.data(), data.size()));
        f.insert(f.end(), head.begin(), head.end());
        f.insert(f.end(), data.begin(), data.end());
    }
    f.insert(f.end(), trailingBytes, 0xA5);
    putBe32(f, 4, uint32_t(f.size() - 32));
    putBe32(f, 8, qv::crc32zero(f.data() + 32, f.size() - 32));
    putBe32(f, 12, dblkNumber);
    putBe32(f, 28, qv::crc32zero(f.data(), 28));
    return f;
}

}  // namespace uitest
