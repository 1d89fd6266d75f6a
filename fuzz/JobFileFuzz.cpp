// Job files come from the production line's own folders. The input is read as a job file; an
// accepted job is checked against what the runner relies on (every step one operation with an
// absolute file, a 64-digit lower-case digest, a strict code address), and written back as JSON
// and read again, which must give the same job.

#include "FuzzSupport.h"

#include "engine/JobFile.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

bool sameSteps(const qv::engine::Job& a, const qv::engine::Job& b) {
    if (a.steps.size() != b.steps.size())
        return false;
    for (int i = 0; i < a.steps.size(); ++i) {
        const qv::engine::Step& x = a.steps.at(i);
        const qv::engine::Step& y = b.steps.at(i);
        if (x.command != y.command || x.file != y.file || x.addr != y.addr || x.sha256 != y.sha256)
            return false;
    }
    return a.speed == b.speed && a.powerOff == b.powerOff && a.flashIni == b.flashIni &&
           a.allowBootUpdate == b.allowBootUpdate;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const qvfuzz::ExactCopy input(data, size);
    const QString folder = QStringLiteral("/jobs/line1");
    const qv::engine::ParsedJob parsed = qv::engine::parseJob(QByteArray(input.chars(), int(input.size())), folder);
    QVFUZZ_REQUIRE(parsed.ok == parsed.error.isEmpty());
    if (!parsed.ok)
        return 0;

    static const QRegularExpression digest(QStringLiteral("^[0-9a-f]{64}$"));
    const qv::engine::Job& job = parsed.job;
    QVFUZZ_REQUIRE(!job.steps.isEmpty());
    QJsonArray steps;
    for (const qv::engine::Step& step : job.steps) {
        QVFUZZ_REQUIRE(qv::engine::isOperation(step.command));
        QVFUZZ_REQUIRE(QDir::isAbsolutePath(step.file));
        QVFUZZ_REQUIRE(digest.match(step.sha256).hasMatch());
        QVFUZZ_REQUIRE(qv::engine::isStrictCodeAddress(step.addr));
        QJsonObject object{{qv::engine::commandName(step.command), step.file},
                           {QStringLiteral("sha256"), step.sha256}};
        if (step.command == qv::engine::Command::ProgramMcu)
            object.insert(QStringLiteral("addr"), step.addr);
        steps.append(object);
    }
    QJsonObject top{{QStringLiteral("steps"), steps}};
    if (job.speed) {
        static const char* const kSpeeds[] = {"high", "medium", "low"};
        QVFUZZ_REQUIRE(*job.speed >= 0 && *job.speed <= 2);
        top.insert(QStringLiteral("speed"), QLatin1String(kSpeeds[*job.speed]));
    }
    if (job.powerOff)
        top.insert(QStringLiteral("power-off"), *job.powerOff);
    if (!job.flashIni.isEmpty())
        top.insert(QStringLiteral("flash-ini"), job.flashIni);
    if (job.allowBootUpdate)
        top.insert(QStringLiteral("allow-boot-update"), true);

    const qv::engine::ParsedJob again = qv::engine::parseJob(QJsonDocument(top).toJson(), folder);
    QVFUZZ_REQUIRE(again.ok);
    QVFUZZ_REQUIRE(sameSteps(job, again.job));
    return 0;
}
