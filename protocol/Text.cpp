#include "Text.h"

#include "Reporter.h"

namespace qv {

QString hexText(uint32_t value, int width) {
    QString digits = QString::number(value, 16).toUpper();
    if (digits.size() < width) {
        digits.prepend(QString(width - digits.size(), QLatin1Char('0')));
    }
    return QStringLiteral("0x") + digits;
}

QString timestampText(const QTime& time) {
    return QStringLiteral("Timer:%1:%2:%3").arg(time.hour()).arg(time.minute()).arg(time.second());
}

void logTimestamp(Reporter& report) { report.appendLog(timestampText(QTime::currentTime())); }

QString lowerHex(uint32_t value) { return QString::number(value, 16); }

QString failedWriteLine(uint32_t address, int result) {
    return QStringLiteral("NG, Addr : 0x") + lowerHex(address) + QString::number(result);
}

}  // namespace qv
