#include "Runner.h"

#include "CommandLine.h"
#include "Events.h"
#include "ImageCheck.h"
#include "JobFile.h"
#include "RecordStore.h"
#include "Session.h"

#include "usb/UsbDevice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace qv::cli {

namespace {

// A job file larger than this is no job file.
constexpr qint64 kLargestJob = 1024 * 1024;

struct Failure {
    int code = kExitOk;
    QString message;
};

// Reads a job file and turns it into steps; every file it names is read and judged later.
Failure readJob(const QString& path, Job& job) {
    const QFileInfo info(path);
    if (!info.exists())
        return {kExitFileProblem, QStringLiteral("%1: no such file").arg(path)};
    if (info.isDir())
        return {kExitFileProblem, QStringLiteral("%1: is a folder, not a file").arg(path)};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {kExitFileProblem, QStringLiteral("%1: cannot be read (%2)").arg(path, file.errorString())};
    if (file.size() > kLargestJob)
        return {kExitFileProblem, QStringLiteral("%1: too large for a job file").arg(path)};
    const QByteArray text = file.readAll();
    if (text.isEmpty())
        return {kExitFileProblem, QStringLiteral("%1: is empty").arg(path)};
    const ParsedJob parsed = parseJob(text, info.absolutePath());
    if (!parsed.ok)
        return {kExitFileProblem, QStringLiteral("%1: %2").arg(path, parsed.error)};
    job = parsed.job;
    return {};
}

// The programmers the command line asks for, among those attached.
Failure chooseDevices(const QStringList& wanted, const QStringList& attached, QStringList& chosen) {
    if (attached.isEmpty())
        return {kExitNoProgrammer, QStringLiteral("no programmer attached")};
    if (wanted.isEmpty()) {
        if (attached.size() > 1) {
            return {kExitUsage,
                    QStringLiteral("several programmers attached; choose with -d PATH (or -d all): ") +
                        attached.join(QStringLiteral(", "))};
        }
        chosen = attached;
        return {};
    }
    for (const QString& path : wanted) {
        const QStringList add = path == QLatin1String("all") ? attached : QStringList{path};
        for (const QString& p : add) {
            if (!attached.contains(p))
                return {kExitNoProgrammer, QStringLiteral("programmer %1 is not attached").arg(p)};
            if (!chosen.contains(p))
                chosen << p;
        }
    }
    return {};
}

}  // namespace

int runCommandLine(const QStringList& args) {
    const ParsedCommandLine parsed = parseCommandLine(args);
    // Even a command line that does not parse keeps standard output JSON-only when asked for.
    const bool json = parsed.ok ? parsed.options.json : args.contains(QStringLiteral("--json"));
    const std::unique_ptr<EventSink> sink = json ? makeJsonSink() : makeHumanSink(parsed.options.quiet);
    const auto fail = [&sink](const Failure& f) {
        sink->error(QString(), QString(), f.message, f.code);
        return f.code;
    };

    if (!parsed.ok) {
        if (!json)
            std::fprintf(stderr, "qv310: %s\n(qv310 --help lists the subcommands and options)\n",
                         qPrintable(parsed.error));
        else
            sink->error(QString(), QString(), parsed.error, kExitUsage);
        return kExitUsage;
    }
    const Options& o = parsed.options;

    switch (o.command) {
        case Command::Help:
            std::fputs(qPrintable(usageText()), stdout);
            return kExitOk;
        case Command::RecordsExport: {
            QString error;
            if (!exportRecords(o.recordPath, o.exportFormat == QLatin1String("csv"), stdout, error))
                return fail({kExitFileProblem, error});
            return kExitOk;
        }
        case Command::List: {
            const QStringList attached = UsbDevice().findDevices();
            for (const QString& path : attached)
                sink->listed(path);
            return attached.isEmpty() ? fail({kExitNoProgrammer, QStringLiteral("no programmer attached")})
                                      : kExitOk;
        }
        default:
            break;
    }

    // --- Everything that can be judged without a programmer, before any is opened. ---
    SessionPlan plan;
    plan.info = o.command == Command::Info;
    plan.speed = o.speed.value_or(0);
    plan.powerOff = o.powerOff.value_or(false);
    plan.flashIni = o.flashIni;
    plan.allowBootUpdate = o.allowBootUpdate;
    plan.skipUnchanged = o.skipUnchanged.value_or(false);
    if (o.command == Command::Run) {
        Job job;
        const Failure f = readJob(o.file, job);
        if (f.code != kExitOk)
            return fail(f);
        plan.steps = job.steps;
        plan.speed = o.speed.value_or(job.speed.value_or(0));
        plan.powerOff = o.powerOff.value_or(job.powerOff.value_or(false));
        if (o.flashIni.isEmpty())
            plan.flashIni = job.flashIni;
        plan.allowBootUpdate = o.allowBootUpdate || job.allowBootUpdate;
        plan.skipUnchanged = o.skipUnchanged.value_or(job.skipUnchanged.value_or(false));
    } else if (isOperation(o.command)) {
        Step step;
        step.command = o.command;
        step.file = o.file;
        if (o.addr)
            step.addr = *o.addr;
        plan.steps.push_back(step);
    }
    for (const Step& step : plan.steps) {
        if (step.command == Command::UpdateBoot && !plan.allowBootUpdate) {
            return fail({kExitUsage, QStringLiteral("update-boot replaces the programmer's boot loader; "
                                                    "give --allow-boot-update to allow it")});
        }
    }
    // Every digest and every file is checked before the first step starts.
    for (const Step& step : plan.steps) {
        const CheckedImage image = checkImage(step);
        if (!image.ok)
            return fail({kExitFileProblem, image.error});
        plan.images.push_back(image);
    }
    if (!plan.flashIni.isEmpty()) {
        const QFileInfo info(plan.flashIni);
        if (!info.isFile() || !info.isReadable())
            return fail(
                {kExitFileProblem, QStringLiteral("%1: no readable flash catalogue").arg(plan.flashIni)});
        plan.flashIni = info.absoluteFilePath();
    }
    // The operations read private copies of the checked bytes.
    QTemporaryDir staging(QDir::tempPath() + QStringLiteral("/qv310-XXXXXX"));
    if (!plan.images.isEmpty()) {
        QString error;
        if (!staging.isValid())
            return fail({kExitFileProblem,
                         QStringLiteral("no private folder for the images: ") + staging.errorString()});
        if (!stageImages(plan.images, staging.path(), error))
            return fail({kExitFileProblem, error});
    }
    std::unique_ptr<RecordStore> records;
    if (!o.recordPath.isEmpty() && !plan.info) {
        QString error;
        records = SqliteRecordStore::open(o.recordPath, error);
        if (!records)
            return fail({kExitFileProblem, error});
    }

    QStringList devices;
    const Failure chosen = chooseDevices(o.devices, UsbDevice().findDevices(), devices);
    if (chosen.code != kExitOk)
        return fail(chosen);

    // --- One session per programmer, all at once. ---
    sink->begin(devices);
    std::vector<std::unique_ptr<Session>> sessions;
    for (const QString& device : devices)
        sessions.push_back(std::make_unique<Session>(device, plan, *sink, records.get()));
    for (auto& session : sessions)
        session->start();
    int code = kExitOk;
    QVector<BoardSummary> summaries;
    for (auto& session : sessions) {
        session->wait();
        code = std::max(code, session->exitCode());
        summaries.push_back(session->summary());
    }
    sink->finish(summaries, code);
    return code;
}

}  // namespace qv::cli
