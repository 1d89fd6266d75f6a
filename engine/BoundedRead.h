#pragma once

#include <QByteArray>
#include <QString>

namespace qv::engine {

// Reads a file of at most limit bytes, and never more than limit + 1 bytes of it, so that devices
// and pipes that never end are refused at once. Sets data when Read, a reason otherwise.
enum class ReadOutcome { Read, TooLong, Unreadable };
ReadOutcome readBounded(const QString& path, qint64 limit, QByteArray& data, QString& error);

}  // namespace qv::engine
