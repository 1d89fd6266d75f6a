#include "Events.h"

#include <QDateTime>

namespace qv::engine {

QString hex8(uint32_t value) {
    return QStringLiteral("0x") + QString::number(value, 16).rightJustified(8, QLatin1Char('0')).toUpper();
}

QString utcNow() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QString toolVersion() {
    return QStringLiteral(QV_TOOL_VERSION);
}

}  // namespace qv::engine
