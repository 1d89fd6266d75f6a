#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

// CRC-32/0: the reflected CRC-32 table (0xEDB88320), register started at 0, no final inversion.
// "abc" gives 0xCA6598D0, no bytes give 0. This protects every frame and is the checksum of every
// image the tool shows or compares. Pass the previous result as crc to continue over more bytes.
uint32_t crc32zero(const uint8_t* data, size_t length, uint32_t crc = 0);

// The plain byte-at-a-time table form; the reference the fast form is tested against.
uint32_t crc32zeroReference(const uint8_t* data, size_t length, uint32_t crc = 0);

}  // namespace qv
