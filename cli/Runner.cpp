#include "Runner.h"

#include "CommandLine.h"
#include "ConsoleOutput.h"
#include "Interrupt.h"

#include "engine/BoardRun.h"
#include "engine/CatalogueSearch.h"
#include "engine/Events.h"
#include "engine/ImageCheck.h"
#include "engine/JobFile.h"
#include "engine/Probe.h"
#include "engine/RecordStore.h"

#include "usb/UsbDevice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

namespace qv::cli {

namespace {

struct Failure {
    int code = kExitOk;
    QString message;
};

// The programmers the command line asks for, among those attached: paths as given, "all", or
// "board:0x..." matched against the board ids the programmers report.
Failure chooseDevices(const QStringList& wanted, const QStringList& attached, const std::atomic<bool>& stop,
                      QStringList& chosen) {
    if (attached.isEmpty())
        return {kExitNoProgrammer, QStringLiteral("no programmer attached")};
    if (wanted.isEmpty()) {
        if (attached.size() > 1) {
            return {kExitUsage,
                    QStringLiteral("several programmers attached; choose with -d PATH, -d board:0xID (or -d all): ") +
                        attached.join(QStringLiteral(", "))};
        }
        chosen = attached;
        return {};
    }
    QVector<ListedProgrammer> probed;
    bool haveProbed = false;
    for (const QString& choice : wanted) {
        QStringList add;
        if (choice == QLatin1String("all")) {
            add = attached;
        } else if (const std::optional<uint32_t> id = boardIdChoice(choice)) {
            if (!haveProbed) {
                probed = probeProgrammers(attached, &stop);
                haveProbed = true;
            }
            for (const ListedProgrammer& p : probed) {
                if (p.boardId == id)
                    add << p.device;
            }
            if (add.isEmpty())
                return {kExitNoProgrammer, QStringLiteral("no attached programmer reports board id %1").arg(hex8(*id))};
            if (add.size() > 1) {
                return {kExitUsage, QStringLiteral("several programmers report board id %1 (%2); choose them by path")
                                        .arg(hex8(*id), add.join(QStringLiteral(", ")))};
            }
        } else {
            add << choice;
        }
        for (const QString& p : add) {
            if (!attached.contains(p))
                return {kExitNoProgrammer, QStringLiteral("programmer %1 is not attached").arg(p)};
            if (!chosen.contains(p))
                chosen << p;
        }
    }
    return {};
}

// Writes a copy of the catalogue next to the staged images, so that the run reads exactly what
// was checked.
bool stageCatalogue(const CatalogueChoice& catalogue, const QString& folder, QString& stagedPath, QString& error) {
    stagedPath = QDir(folder).absoluteFilePath(QStringLiteral("catalogue/Flash.ini"));
    if (catalogue.path.isEmpty())
        return true;  // the staged path names no file: the lookups find nothing
    QDir().mkpath(QFileInfo(stagedPath).absolutePath());
    QFile file(stagedPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(catalogue.text) != catalogue.text.size() || !file.flush()) {
        error = QStringLiteral("%1: cannot be copied for the run (%2)").arg(catalogue.path, file.errorString());
        return false;
    }
    return true;
}

}  // namespace

int runCommandLine(const QStringList& args) {
    const ParsedCommandLine parsed = parseCommandLine(args);
    // Even a command line that does not parse keeps standard output JSON-only when asked for.
    const bool json = parsed.ok ? parsed.options.json : args.contains(QStringLiteral("--json"));
    const std::unique_ptr<EventSink> sink = json ? makeJsonSink() : makeHumanSink(parsed.options.quiet);
    if (json)
        sink->hello();

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
        case Command::Version:
            // The hello event names the version for --json.
            if (!json)
                std::printf("qv310 %s\n", qPrintable(toolVersion()));
            return kExitOk;
        default:
            break;
    }

    // From here on every run ends with the end event, whatever happens.
    QVector<BoardSummary> summaries;
    const auto end = [&](int code) {
        // Boards in the order of their ids (a gang's channel is a box, not a USB port), those
        // without one last.
        std::stable_sort(summaries.begin(), summaries.end(), [](const BoardSummary& a, const BoardSummary& b) {
            if (a.boardId.has_value() != b.boardId.has_value())
                return a.boardId.has_value();
            return a.boardId && *a.boardId < *b.boardId;
        });
        sink->finish(summaries, code);
        return code;
    };
    const auto fail = [&](const Failure& f) {
        sink->error(QString(), QString(), f.message, f.code);
        return end(f.code);
    };

    // Ctrl-C stops the boards being programmed; before they start it only ends the run.
    std::mutex runsMutex;
    std::vector<std::unique_ptr<BoardRun>> runs;
    InterruptWatch interrupts([&] {
        std::lock_guard<std::mutex> lock(runsMutex);
        for (auto& run : runs)
            run->interrupt();
    });
    const auto interrupted = [&] { return fail({kExitInterrupted, QStringLiteral("interrupted")}); };

    if (o.command == Command::RecordsExport) {
        QString error;
        if (!exportRecords(o.recordPath, o.exportFormat == QLatin1String("csv"), stdout, error))
            return fail({kExitFileProblem, error});
        return end(kExitOk);
    }
    if (o.command == Command::List) {
        const QStringList attached = UsbDevice().findDevices();
        for (const ListedProgrammer& p : probeProgrammers(attached, &interrupts.flag()))
            sink->listed(p);
        if (interrupts.interrupted())
            return interrupted();
        return attached.isEmpty() ? fail({kExitNoProgrammer, QStringLiteral("no programmer attached")}) : end(kExitOk);
    }

    // --- Everything that can be judged without a programmer, before any is opened. ---
    BoardPlan plan;
    plan.info = o.command == Command::Info;
    plan.speed = o.speed.value_or(0);
    plan.powerOff = o.powerOff.value_or(false);
    plan.allowBootUpdate = o.allowBootUpdate;
    plan.skipUnchanged = o.skipUnchanged.value_or(false);
    QString catalogueGiven = o.flashIni;
    bool jobAsksBootUpdate = false;
    if (o.command == Command::Run) {
        const ParsedJob parsedJob = readJobFile(o.file);
        if (!parsedJob.ok)
            return fail({kExitFileProblem, parsedJob.error});
        const Job& job = parsedJob.job;
        plan.steps = job.steps;
        plan.speed = o.speed.value_or(job.speed.value_or(0));
        plan.powerOff = o.powerOff.value_or(job.powerOff.value_or(false));
        if (catalogueGiven.isEmpty())
            catalogueGiven = job.flashIni;
        jobAsksBootUpdate = job.allowBootUpdate;
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
            return fail({kExitUsage, jobAsksBootUpdate
                                         ? QStringLiteral("the job replaces the programmer's boot loader; a job "
                                                          "cannot allow that by itself: give --allow-boot-update")
                                         : QStringLiteral("update-boot replaces the programmer's boot loader; "
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
    const CatalogueChoice catalogue = findFlashCatalogue(catalogueGiven);
    if (!catalogue.ok)
        return fail({kExitFileProblem, catalogue.error});
    plan.flashCatalogueSource = catalogue.path;
    // The operations read private copies of the checked bytes.
    QTemporaryDir staging(QDir::tempPath() + QStringLiteral("/qv310-XXXXXX"));
    if (!staging.isValid())
        return fail({kExitFileProblem, QStringLiteral("no private folder for the images: ") + staging.errorString()});
    QString error;
    if (!stageImages(plan.images, staging.path(), error) ||
        !stageCatalogue(catalogue, staging.path(), plan.flashCatalogue, error))
        return fail({kExitFileProblem, error});
    std::unique_ptr<RecordStore> records;
    if (!o.recordPath.isEmpty() && !plan.info) {
        records = SqliteRecordStore::open(o.recordPath, error);
        if (!records)
            return fail({kExitFileProblem, error});
    }

    QStringList devices;
    const Failure chosen = chooseDevices(o.devices, UsbDevice().findDevices(), interrupts.flag(), devices);
    if (interrupts.interrupted())
        return interrupted();
    if (chosen.code != kExitOk)
        return fail(chosen);

    // --- One run per programmer, all at once. ---
    sink->begin(devices);
    {
        std::lock_guard<std::mutex> lock(runsMutex);
        if (interrupts.interrupted())
            return interrupted();
        for (const QString& device : devices)
            runs.push_back(std::make_unique<BoardRun>(device, plan, *sink, records.get()));
        for (auto& run : runs)
            run->start();
    }
    int code = kExitOk;
    for (auto& run : runs) {
        run->wait();
        code = std::max(code, run->exitCode());
        summaries.push_back(run->summary());
    }
    return end(code);
}

}  // namespace qv::cli
