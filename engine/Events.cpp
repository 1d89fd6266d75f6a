#include "Events.h"

#include <chrono>
#include <cstdio>

namespace qv::engine {

QString hex8(uint32_t value) {
    return QStringLiteral("0x") + QString::number(value, 16).rightJustified(8, QLatin1Char('0')).toUpper();
}

QString utcText(int64_t msSinceEpoch) {
    constexpr int64_t kMsPerDay = 86400000;
    int64_t days = msSinceEpoch / kMsPerDay;
    int64_t msOfDay = msSinceEpoch % kMsPerDay;
    if (msOfDay < 0) {
        msOfDay += kMsPerDay;
        --days;
    }
    // The civil date of a day number (proleptic Gregorian; days counted from 1970-01-01).
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const int64_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2);
    char text[128];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day),
                  static_cast<long long>(msOfDay / 3600000), static_cast<long long>(msOfDay / 60000 % 60),
                  static_cast<long long>(msOfDay / 1000 % 60), static_cast<long long>(msOfDay % 1000));
    return QString::fromLatin1(text);
}

QString utcNow() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return utcText(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

QString toolVersion() {
    return QStringLiteral(QV_TOOL_VERSION);
}

double JobYield::percent() const {
    if (boards <= 0)
        return 0.0;
    // Rounded on the whole tenths, so that 2 of 3 is 66.7 wherever it is shown.
    return double((passedFirstTime * 2000 / boards + 1) / 2) / 10.0;
}

}  // namespace qv::engine
