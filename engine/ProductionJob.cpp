#include "ProductionJob.h"

#include "ImageCheck.h"
#include "JobFile.h"
#include "Redact.h"
#include "ServerStore.h"

#include <QUuid>

namespace qv::engine {

std::unique_ptr<ProductionJob> ProductionJob::prepare(const JobRequest& request, JobFailure& failure) {
    const auto fail = [&failure](int code, const QString& message) -> std::unique_ptr<ProductionJob> {
        failure = {code, message};
        return nullptr;
    };
    std::unique_ptr<ProductionJob> job(new ProductionJob());
    BoardPlan& plan = job->plan_;
    plan.info = request.info;
    plan.speed = request.speed.value_or(0);
    plan.powerOff = request.powerOff.value_or(false);
    plan.allowBootUpdate = request.allowBootUpdate;
    plan.skipUnchanged = request.skipUnchanged.value_or(false);
    QString catalogueGiven = request.flashIni;
    bool jobAsksBootUpdate = false;
    if (!request.jobFile.isEmpty()) {
        const ParsedJob parsed = readJobFile(request.jobFile);
        if (!parsed.ok)
            return fail(kExitFileProblem, parsed.error);
        const Job& j = parsed.job;
        plan.steps = j.steps;
        plan.speed = request.speed.value_or(j.speed.value_or(0));
        plan.powerOff = request.powerOff.value_or(j.powerOff.value_or(false));
        if (catalogueGiven.isEmpty())
            catalogueGiven = j.flashIni;
        jobAsksBootUpdate = j.allowBootUpdate;
        plan.skipUnchanged = request.skipUnchanged.value_or(j.skipUnchanged.value_or(false));
        plan.jobSha256 = j.sha256;
        if (j.hasSerial() && request.recordPath.isEmpty()) {
            return fail(kExitUsage, QStringLiteral("the job writes a serial into each board: give --record DB, "
                                                   "whose pool hands out the numbers"));
        }
    } else if (request.step) {
        plan.steps.push_back(*request.step);
    }
    for (const Step& step : plan.steps) {
        if (step.command == Command::UpdateBoot && !plan.allowBootUpdate) {
            return fail(kExitUsage, jobAsksBootUpdate
                                        ? QStringLiteral("the job replaces the programmer's boot loader; a job "
                                                         "cannot allow that by itself: give --allow-boot-update")
                                        : QStringLiteral("update-boot replaces the programmer's boot loader; "
                                                         "give --allow-boot-update to allow it"));
        }
    }
    // Every digest and every file is checked before the first step starts; the operations are
    // handed the bytes checked here.
    for (const Step& step : plan.steps) {
        const CheckedImage image = checkImage(step);
        if (!image.ok)
            return fail(kExitFileProblem, image.error);
        plan.images.push_back(image);
    }
    const CatalogueChoice catalogue = findFlashCatalogue(catalogueGiven, request.searchCurrentFolder);
    if (!catalogue.ok)
        return fail(kExitFileProblem, catalogue.error);
    plan.flashCatalogueSource = catalogue.path;
    // The lookups read the text checked here (none found: empty, and they find nothing).
    plan.flashCatalogue = catalogue.path.isEmpty() ? QByteArray() : catalogue.text;
    QString error;
    if (!request.recordPath.isEmpty() && !plan.info) {
        job->records_ = openRecordStore(request.recordPath, job->takesSerials(), error);
        if (!job->records_)
            return fail(kExitFileProblem, redactMessage(error, request.recordPath));
        job->recordPath_ = request.recordPath;
    }
    return job;
}

bool ProductionJob::takesSerials() const {
    for (const Step& step : plan_.steps) {
        if (step.serial)
            return true;
    }
    return false;
}

bool ProductionJob::planRound(const QStringList& devices, const QString& tag, QVector<BoardPlan>& plans,
                              JobFailure& failure) {
    // A record server that went away is asked again before the round draws its numbers.
    roundNotes_ = records_ ? records_->beginRound() : QStringList();
    plans = QVector<BoardPlan>(devices.size(), plan_);
    const QString round = QUuid::createUuid().toString(QUuid::WithoutBraces);
    // Every board of the gang its own numbers, taken before any board starts.
    QVector<SerialRequest> requests;
    for (int b = 0; b < devices.size(); ++b) {
        plans[b].tag = tag;
        plans[b].roundUuid = round;
        for (const Step& step : plan_.steps) {
            if (step.serial)
                requests.push_back({*step.serial, devices.at(b), tag});
        }
    }
    QVector<uint64_t> numbers;
    if (!requests.isEmpty()) {
        QString why;
        if (!records_ || !records_->takeSerials(requests, numbers, why)) {
            // The target as a person may see it: a server's password never shows.
            failure = {kExitFileProblem, redactMessage(QStringLiteral("%1: %2; nothing was sent").arg(recordPath_, why),
                                                       recordPath_)};
            return false;
        }
    }
    int next = 0;
    for (int b = 0; b < devices.size(); ++b) {
        for (int i = 0; i < plan_.steps.size(); ++i) {
            if (!plan_.steps.at(i).serial)
                continue;
            const SerialField& field = *plan_.steps.at(i).serial;
            const uint64_t value = numbers.at(next++);
            plans[b].serials.push_back({i, field.kind(), value});
            patchImage(plans[b].images[i], field, value);
        }
    }
    return true;
}

}  // namespace qv::engine
