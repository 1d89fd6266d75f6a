#pragma once

#include <QString>
#include <QTime>

#include <cstdint>

namespace qv {


// "0x", zeros up to width digits, then the upper-case hexadecimal digits. Never cuts digits.
QString hexText(uint32_t value, int width);

// "Timer:" and the hour, minute and second in decimal without leading zeros ("Timer:9:5:7").
QString timestampText(const QTime& time);

// Lower-case hexadecimal without leading zeros, as used in the "NG, Addr : 0x" lines.
QString lowerHex(uint32_t value);

// The line for a failed data write: "NG, Addr : 0x" + lowerHex(address) + result in decimal
// ("NG, Addr : 0xb000-2").
QString failedWriteLine(uint32_t address, int result);

}  // namespace qv
