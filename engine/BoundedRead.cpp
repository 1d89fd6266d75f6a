#include "BoundedRead.h"

#include <QFile>

namespace qv::engine {

ReadOutcome readBounded(const QString& path, qint64 limit, QByteArray& data, QString& error) {
    data.clear();
    const auto tooLong = [&] {
        data.clear();
        error = QStringLiteral("is longer than %1 bytes").arg(limit);
        return ReadOutcome::TooLong;
    };
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        error = QStringLiteral("cannot be read (%1)").arg(file.errorString());
        return ReadOutcome::Unreadable;
    }
    // A regular file says how long it is; anything else is read up to the limit and one byte more.
    if (!file.isSequential() && file.size() > limit)
        return tooLong();
    data.resize(int(limit + 1));
    qint64 got = 0;
    while (got <= limit) {
        const qint64 n = file.read(data.data() + got, limit + 1 - got);
        if (n < 0) {
            data.clear();
            error = QStringLiteral("cannot be read (%1)").arg(file.errorString());
            return ReadOutcome::Unreadable;
        }
        if (n == 0)
            break;
        got += n;
    }
    if (got > limit)
        return tooLong();
    data.resize(int(got));
    return ReadOutcome::Read;
}

}  // namespace qv::engine
