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
#include "engine/Serials.h"

#include "usb/UsbDevice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <condition_variable>
#include <thread>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include <unistd.h>

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

// Reads the lines of standard input on a thread of its own, so that the station can wait for a
// label and for Ctrl-C at once.
class LineReader {
  public:
    LineReader() {
        std::thread([this] {
            char buffer[4096];
            while (std::fgets(buffer, sizeof buffer, stdin)) {
                std::lock_guard<std::mutex> lock(mutex_);
                pending_ += QString::fromLocal8Bit(buffer);
                wake_.notify_all();
            }
            std::lock_guard<std::mutex> lock(mutex_);
            ended_ = true;
            wake_.notify_all();
        }).detach();
    }
    // The next line without its end; none at the end of input or when stop rises.
    std::optional<QString> next(const std::atomic<bool>& stop) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            const int end = pending_.indexOf(QLatin1Char('\n'));
            if (end >= 0) {
                QString line = pending_.left(end);
                pending_.remove(0, end + 1);
                if (line.endsWith(QLatin1Char('\r')))
                    line.chop(1);
                return line;
            }
            if (ended_) {
                if (pending_.isEmpty())
                    return std::nullopt;
                QString line = pending_;
                pending_.clear();
                return line;
            }
            if (stop.load())
                return std::nullopt;
            wake_.wait_for(lock, std::chrono::milliseconds(100));
        }
    }

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    QString pending_;
    bool ended_ = false;
};

// The large line of one board at a station.
void printVerdict(const BoardSummary& board, const QString& tag, const QStringList& serials) {
    const bool pass = board.exitCode == kExitOk;
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    QString line = pass ? QStringLiteral("  PASS  ") : QStringLiteral("  FAIL  ");
    if (terminal)
        line = (pass ? QStringLiteral("\033[1;97;42m") : QStringLiteral("\033[1;97;41m")) + line + QStringLiteral("\033[0m");
    line += QStringLiteral("  board %1").arg(board.boardId ? hex8(*board.boardId) : QStringLiteral("?"));
    if (!serials.isEmpty())
        line += QStringLiteral("  serial %1").arg(serials.join(QLatin1Char('/')));
    if (!tag.isEmpty())
        line += QStringLiteral("  tag %1").arg(tag);
    line += QStringLiteral("  %1").arg(board.device);
    if (!pass)
        line += QStringLiteral("  exit %1: %2").arg(board.exitCode).arg(board.what);
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
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
    if (o.command == Command::Serials) {
        QVector<SerialPoolState> pools;
        QString error;
        if (!readSerialPools(o.recordPath, pools, error))
            return fail({kExitFileProblem, error});
        for (const SerialPoolState& pool : pools)
            sink->pool(pool);
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
    plan.tag = o.tag;
    QString catalogueGiven = o.flashIni;
    bool jobAsksBootUpdate = false;
    if (o.command == Command::Run || o.command == Command::Station) {
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
        plan.jobSha256 = job.sha256;
        if (job.hasSerial() && o.recordPath.isEmpty()) {
            return fail({kExitUsage, QStringLiteral("the job writes a serial into each board: give --record DB, "
                                                    "whose pool hands out the numbers")});
        }
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
    QVector<bool> takesSerial;
    for (const Step& step : plan.steps) {
        const CheckedImage image = checkImage(step);
        if (!image.ok)
            return fail({kExitFileProblem, image.error});
        plan.images.push_back(image);
        takesSerial.push_back(step.serial.has_value());
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
    if (!stageImages(plan.images, staging.path(), error, takesSerial) ||
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

    // --- One run per programmer, all at once: once, or once per label at a station. ---
    sink->begin(devices);
    int round = 0;
    // Runs the plan on every chosen programmer with this tag; the boards' summaries, or a failure
    // that kept every board from starting (nothing was sent then).
    const auto runBoards = [&](const QString& tag, QVector<BoardSummary>& boards) -> Failure {
        ++round;
        QVector<BoardPlan> plans(devices.size(), plan);
        // Every board of the gang its own numbers, taken before any board starts.
        QVector<SerialRequest> requests;
        for (int b = 0; b < devices.size(); ++b) {
            plans[b].tag = tag;
            for (int i = 0; i < plan.steps.size(); ++i) {
                if (plan.steps.at(i).serial)
                    requests.push_back({*plan.steps.at(i).serial, devices.at(b), tag});
            }
        }
        QVector<uint64_t> numbers;
        if (!requests.isEmpty()) {
            QString why;
            if (!records->takeSerials(requests, numbers, why))
                return {kExitFileProblem, QStringLiteral("%1: %2; nothing was sent").arg(o.recordPath, why)};
        }
        int next = 0;
        for (int b = 0; b < devices.size(); ++b) {
            for (int i = 0; i < plan.steps.size(); ++i) {
                if (!plan.steps.at(i).serial)
                    continue;
                const SerialSpec& spec = *plan.steps.at(i).serial;
                const uint64_t value = numbers.at(next++);
                plans[b].serials.push_back({i, spec.kind(), value});
                QString why;
                const QString folder = QStringLiteral("%1/board-%2-%3/%4").arg(staging.path()).arg(round).arg(b).arg(i);
                if (!stagePatchedImage(plans[b].images[i], spec, value, folder, why)) {
                    // Nothing was sent: every number of this round goes back.
                    for (const BoardPlan& p : plans) {
                        for (const BoardPlan::Serial& serial : p.serials) {
                            QString ignored;
                            records->finishSerial(serial.kind, serial.value, SerialOutcome::Returned, ignored);
                        }
                    }
                    return {kExitFileProblem, why};
                }
            }
        }
        {
            std::lock_guard<std::mutex> lock(runsMutex);
            if (interrupts.interrupted())
                return {kExitInterrupted, QStringLiteral("interrupted")};
            runs.clear();
            for (int b = 0; b < devices.size(); ++b)
                runs.push_back(std::make_unique<BoardRun>(devices.at(b), plans.at(b), *sink, records.get()));
            for (auto& run : runs)
                run->start();
        }
        for (auto& run : runs) {
            run->wait();
            boards.push_back(run->summary());
        }
        return {};
    };
    const auto highest = [](const QVector<BoardSummary>& boards) {
        int code = kExitOk;
        for (const BoardSummary& b : boards)
            code = std::max(code, b.exitCode);
        return code;
    };

    if (o.command != Command::Station) {
        const Failure f = runBoards(o.tag, summaries);
        if (f.code != kExitOk) {
            // The numbers of the boards were returned, or none could be taken.
            return f.code == kExitInterrupted ? interrupted() : fail(f);
        }
        return end(highest(summaries));
    }

    // A station: one run per label read, until the end of input, "q" or Ctrl-C.
    LineReader lines;
    int code = kExitOk;
    for (;;) {
        if (!json) {
            std::fprintf(stderr, "Scan the next label (an empty line runs without one; q ends):\n");
            std::fflush(stderr);
        }
        const std::optional<QString> line = lines.next(interrupts.flag());
        if (interrupts.interrupted()) {
            code = std::max(code, int(kExitInterrupted));
            break;
        }
        if (!line || line->trimmed() == QLatin1String("q"))
            break;
        const QString tag = line->trimmed();
        QVector<BoardSummary> boards;
        const Failure f = runBoards(tag, boards);
        if (f.code != kExitOk) {
            sink->error(QString(), QString(), f.message, f.code);
            code = std::max(code, f.code);
            break;
        }
        if (!json) {
            for (const BoardSummary& board : boards) {
                QStringList serials;
                for (const QString& text : board.serials)
                    serials << text;
                printVerdict(board, tag, serials);
            }
        }
        code = std::max(code, highest(boards));
        summaries += boards;
        if (interrupts.interrupted())
            break;
    }
    return end(code);
}

}  // namespace qv::cli
