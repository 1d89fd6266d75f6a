#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The flash-chip catalogue Flash.ini: one record "id,factor1,factor2,name," per line, after an
// optional line beginning with "[FLASH]". These are the pure parsers; the file lookup that fills
// the window is ProgrammerLink::lookupFlash.
namespace qv {

// The header line that the catalogue skips.
constexpr char kFlashHeader[] = "[FLASH]";

// The room above the UI base address that a target chip's size is reduced by.
constexpr int32_t kUiBaseAddress = 0x80000;

// A number token: hexadecimal when its second character is 'x' or 'X' (1 to 8 digits after the
// two-character prefix, any other length gives 0), decimal otherwise. A token that is not a
// valid number gives 0: a hexadecimal token with a character other than a digit after its
// prefix, a decimal token with anything but digits, and a decimal token whose value does not fit
// a signed 32-bit number. Tokens of any length are accepted without copying.
int32_t parseNumberToken(const char* token, size_t length);

// One catalogue line (without its line end). Returns 1 when the record's id equals wantedId,
// then sets size (factor1 x factor2; for the target chip reduced by 0x80000 when the product is
// 0x80001 or more) and name (its bytes 0x21-0x7F, empty when no comma ends it). Returns 0 and
// leaves both untouched otherwise. A line with fewer than three commas is no record and never
// matches. A product that does not fit a signed 32-bit number gives size 0, as an unusable
// size. Names are kept whole, whatever their length.
int parseFlashRecord(const char* line, size_t length, uint32_t wantedId, bool targetChip, int32_t& size,
                     std::string& name);

// The whole catalogue text: skips lines beginning with "[FLASH]", hands every other line (without
// its "\n" or "\r\n" end) to parseFlashRecord and stops at the first match. Returns 1 when found.
int findFlashRecord(const char* text, size_t length, uint32_t wantedId, bool targetChip, int32_t& size,
                    std::string& name);

}  // namespace qv
