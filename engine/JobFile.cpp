#include "JobFile.h"

#include "BoundedRead.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>

namespace qv::engine {

namespace {

QString resolve(const QString& folder, const QString& path) {
    return QDir::cleanPath(QDir(folder).absoluteFilePath(path));
}

}  // namespace

ParsedJob parseJob(const QByteArray& text, const QString& jobFolder) {
    ParsedJob result;
    const auto fail = [&result](const QString& why) {
        result.ok = false;
        result.error = why;
        return result;
    };

    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(
            QStringLiteral("not JSON (%1 at byte %2)").arg(parseError.errorString()).arg(parseError.offset));
    if (!document.isObject())
        return fail(QStringLiteral("not a JSON object"));
    const QJsonObject top = document.object();
    Job& job = result.job;

    for (auto it = top.begin(); it != top.end(); ++it) {
        const QString key = it.key();
        const QJsonValue value = it.value();
        if (key == QLatin1String("steps")) {
            continue;
        } else if (key == QLatin1String("speed")) {
            const QString speed = value.toString();
            if (speed == QLatin1String("high"))
                job.speed = 0;
            else if (speed == QLatin1String("medium"))
                job.speed = 1;
            else if (speed == QLatin1String("low"))
                job.speed = 2;
            else
                return fail(QStringLiteral("\"speed\" must be \"high\", \"medium\" or \"low\""));
        } else if (key == QLatin1String("power-off")) {
            if (!value.isBool())
                return fail(QStringLiteral("\"power-off\" must be true or false"));
            job.powerOff = value.toBool();
        } else if (key == QLatin1String("allow-boot-update")) {
            if (!value.isBool())
                return fail(QStringLiteral("\"allow-boot-update\" must be true or false"));
            job.allowBootUpdate = value.toBool();
        } else if (key == QLatin1String("skip-unchanged")) {
            if (!value.isBool())
                return fail(QStringLiteral("\"skip-unchanged\" must be true or false"));
            job.skipUnchanged = value.toBool();
        } else if (key == QLatin1String("flash-ini")) {
            if (!value.isString() || value.toString().isEmpty())
                return fail(QStringLiteral("\"flash-ini\" must name a file"));
            job.flashIni = resolve(jobFolder, value.toString());
        } else {
            return fail(QStringLiteral("unknown key \"%1\"").arg(key));
        }
    }

    const QJsonValue stepsValue = top.value(QStringLiteral("steps"));
    if (!stepsValue.isArray())
        return fail(QStringLiteral("no \"steps\" list"));
    const QJsonArray steps = stepsValue.toArray();
    if (steps.isEmpty())
        return fail(QStringLiteral("\"steps\" is empty"));

    static const QRegularExpression digestPattern(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    for (int i = 0; i < steps.size(); ++i) {
        const QString where = QStringLiteral("step %1").arg(i + 1);
        if (!steps.at(i).isObject())
            return fail(where + QStringLiteral(": not an object"));
        const QJsonObject object = steps.at(i).toObject();
        Step step;
        for (auto it = object.begin(); it != object.end(); ++it) {
            const QString key = it.key();
            if (key == QLatin1String("sha256")) {
                step.sha256 = it.value().toString().toLower();
                if (!digestPattern.match(step.sha256).hasMatch())
                    return fail(where + QStringLiteral(": \"sha256\" must be 64 hexadecimal digits"));
            } else if (key == QLatin1String("serial")) {
                const ParsedSerial serial = parseSerial(it.value());
                if (!serial.ok)
                    return fail(where + QStringLiteral(": ") + serial.error);
                step.serial = serial.field;
            } else if (key == QLatin1String("addr")) {
                step.addr = it.value().toString();
                if (!it.value().isString() || !isStrictCodeAddress(step.addr))
                    return fail(where + QStringLiteral(": \"addr\" must be \"0x\" and 1 to 8 hexadecimal "
                                                       "digits below 0x80000, on a 4096-byte block (0xA000, "
                                                       "0xB000, ...)"));
            } else {
                const Command command = commandOfName(key);
                if (!isOperation(command))
                    return fail(where + QStringLiteral(": \"%1\" is not a step").arg(key));
                if (step.command != Command::None)
                    return fail(where + QStringLiteral(": names more than one step"));
                if (!it.value().isString() || it.value().toString().isEmpty())
                    return fail(where + QStringLiteral(": \"%1\" must name a file").arg(key));
                step.command = command;
                step.file = resolve(jobFolder, it.value().toString());
            }
        }
        if (step.command == Command::None)
            return fail(where + QStringLiteral(": names no step"));
        if (step.sha256.isEmpty())
            return fail(where + QStringLiteral(": \"sha256\" is missing"));
        if (object.contains(QStringLiteral("addr")) && step.command != Command::ProgramMcu)
            return fail(where + QStringLiteral(": \"addr\" belongs to program-mcu"));
        if (step.serial && step.command != Command::ProgramMcu && step.command != Command::ProgramBoot)
            return fail(where + QStringLiteral(": \"serial\" belongs to program-mcu and program-boot"));
        job.steps.push_back(step);
    }
    result.ok = true;
    return result;
}

ParsedJob readJobFile(const QString& path) {
    ParsedJob result;
    const auto fail = [&](const QString& why) {
        result.ok = false;
        result.error = QStringLiteral("%1: %2").arg(path, why);
        return result;
    };
    const QFileInfo info(path);
    if (!info.exists())
        return fail(QStringLiteral("no such file"));
    if (info.isDir())
        return fail(QStringLiteral("is a folder, not a file"));
    QByteArray text;
    QString why;
    const ReadOutcome read = readBounded(path, kLargestJobFile, text, why);
    if (read == ReadOutcome::TooLong)
        return fail(QStringLiteral("too large for a job file"));
    if (read != ReadOutcome::Read)
        return fail(why);
    if (text.isEmpty())
        return fail(QStringLiteral("is empty"));
    result = parseJob(text, info.absolutePath());
    if (!result.ok)
        return fail(result.error);
    result.job.sha256 = QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex());
    return result;
}

}  // namespace qv::engine
