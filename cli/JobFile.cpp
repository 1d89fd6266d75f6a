#include "JobFile.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>

namespace qv::cli {

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
            } else if (key == QLatin1String("addr")) {
                step.addr = it.value().toString();
                if (!isHexAddress(step.addr))
                    return fail(where + QStringLiteral(": \"addr\" is not a hexadecimal address"));
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
        job.steps.push_back(step);
    }
    result.ok = true;
    return result;
}

}  // namespace qv::cli
