#pragma once

// Requests and reply checks written out byte by byte for the virtual programmer tests. They use
// their own bitwise CRC on purpose: a fault in the shared frame code must not hide here.
#include <cstdint>
#include <string>
#include <vector>

namespace vprogtest {

using Bytes = std::vector<uint8_t>;

inline uint32_t crc0(const uint8_t* data, size_t length) {
    uint32_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}
inline uint32_t crc0(const Bytes& b) {
    return crc0(b.data(), b.size());
}

inline void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (24 - 8 * i));
}
inline uint32_t get32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
inline uint32_t get24(const Bytes& b, size_t at) {
    return uint32_t(b[at]) << 16 | uint32_t(b[at + 1]) << 8 | b[at + 2];
}

// 'J' or 'F'. A 36-byte frame goes out as 38 bytes; the two extra bytes are junk on purpose.
inline Bytes dataFrame(uint8_t letter, uint32_t argument, const Bytes& payload) {
    const uint32_t total = uint32_t(payload.size()) + 14;
    Bytes f(10, 0);
    f[0] = 0xAA;
    f[1] = 0x55;
    f[2] = letter;
    f[3] = uint8_t(total >> 16);
    f[4] = uint8_t(total >> 8);
    f[5] = uint8_t(total);
    put32(f, 6, argument);
    f.insert(f.end(), payload.begin(), payload.end());
    f.resize(total);
    put32(f, total - 4, crc0(f.data(), total - 4));
    if (total == 36)
        f.insert(f.end(), {0xEE, 0xEE});
    return f;
}

inline Bytes sealCommand(Bytes f) {
    put32(f, 32, crc0(f.data(), 32));
    return f;
}

inline Bytes commandFrame(uint8_t letter) {
    Bytes f(36, 0);
    f[0] = 0xAA;
    f[1] = 0x55;
    f[2] = letter;
    return f;
}

inline Bytes checkFrame(uint8_t letter, uint32_t start, uint32_t length, uint32_t expected) {
    Bytes f = commandFrame(letter);
    f[5] = 0x24;
    put32(f, 6, start);
    put32(f, 10, length);
    put32(f, 14, expected);
    return sealCommand(f);
}

inline Bytes connectFrame() {
    Bytes f = commandFrame('K');
    f[3] = 'Q';
    f[4] = 'V';
    return sealCommand(f);
}

inline Bytes finishFrame(uint8_t flag) {
    Bytes f = commandFrame('O');
    f[3] = 'u';
    f[4] = 's';
    f[5] = 'B';
    f[6] = flag;
    return sealCommand(f);
}

inline Bytes targetFrame(uint8_t mode, uint32_t runAddress = 0, uint8_t speed = 0, uint8_t power = 0) {
    Bytes f = commandFrame('A');
    f[3] = 'S';
    f[4] = 'W';
    f[5] = 'D';
    f[6] = mode;
    put32(f, 7, runAddress);
    f[11] = speed;
    f[12] = power;
    return sealCommand(f);
}

// True when bytes [0, covered) are followed by their CRC, big-endian.
inline bool crcHolds(const Bytes& r, size_t covered) {
    return r.size() >= covered + 4 && get32(r, covered) == crc0(r.data(), covered);
}

}  // namespace vprogtest
