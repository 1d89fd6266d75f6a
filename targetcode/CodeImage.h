#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

// Code images are raw memory images: byte 0 goes to the start address, and bytes 4-7 (little-
// endian) hold the running address, the reset vector of the image's vector table.
namespace qv {

// Where the target's code flash ends: MCU code must end at or below it.
constexpr uint32_t kCodeFlashEnd = 0x80000;
// Programming limits: 0x6F000 bytes of MCU code ("444K"), 0x10000 bytes of boot code ("64K").
constexpr int32_t kMcuCodeLimit = 0x6F000;
constexpr int32_t kBootCodeLimit = 0x10000;
// MCU code is verified against the range from this address, whatever McuCode Addr holds.
constexpr uint32_t kMcuVerifyAddress = 0xA000;

// The running address (bytes 4-7, little-endian). An image shorter than 8 bytes has none: 0.
uint32_t runningAddress(const uint8_t* image, size_t length);

// True when the image's running address lies where no image of this target may run from:
// 0x08001000-0x080FFFFF, or 0x10002000-0x10FFFFFF. Every other value is accepted. An image
// shorter than 8 bytes has no running address and gives false; nothing past length is read.
bool hasBadRunningAddress(const uint8_t* image, size_t length);

// The hexadecimal number after the first 'x' (or, without one, the first 'X') of a free text:
// hexadecimal digits count, a '/' ends the number, every other character is skipped, only the
// first eight significant digits count (leading zeros are not counted, so "0x0000a000ff" is
// 0xA000FF). 0 when there is no 'x', no digit, or nothing after it.
uint32_t parseHexAddress(const QString& text);

// The summary label text: prefix, the CRC as "0x" and eight digits, " Len: ", the length.
QString imageSummary(const QString& prefix, uint32_t crc, int32_t length);

}  // namespace qv
