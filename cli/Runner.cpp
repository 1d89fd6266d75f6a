#include "Runner.h"

#include "CommandLine.h"
#include "Console.h"
#include "ConsoleOutput.h"
#include "Interrupt.h"

#include "engine/Round.h"
#include "engine/Events.h"
#include "engine/ProductionJob.h"
#include "engine/ServerStore.h"
#include "engine/Probe.h"
#include "engine/RecordStore.h"
#include "engine/Redact.h"
#include "engine/Serials.h"

#include "usb/UsbDevice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <thread>
#include <memory>
#include <mutex>

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
    const bool terminal = takesColour(Stream::Out);
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
    writeText(Stream::Out, line.toUtf8() + '\n');
}

// One qv310 command after its command line parsed: every run ends with the end event, whatever
// happens. Ctrl-C stops the boards being programmed; before they start it only ends the run.
class CommandRun {
  public:
    CommandRun(const Options& options, bool json, EventSink& sink)
        : o_(options), json_(json), sink_(sink), interrupts_([this] { interruptRound(); }) {}

    int run() {
        if (const std::optional<int> code = runWithoutJob())
            return *code;
        return runJob();
    }

  private:
    int end(int code) {
        // Boards in the order of their ids (a gang's channel is a box, not a USB port), those
        // without one last.
        std::stable_sort(summaries_.begin(), summaries_.end(), [](const BoardSummary& a, const BoardSummary& b) {
            if (a.boardId.has_value() != b.boardId.has_value())
                return a.boardId.has_value();
            return a.boardId && *a.boardId < *b.boardId;
        });
        sink_.finish(summaries_, code);
        return code;
    }
    int fail(const Failure& f) {
        sink_.error(QString(), QString(), f.message, f.code);
        return end(f.code);
    }
    int interrupted() { return fail({kExitInterrupted, QStringLiteral("interrupted")}); }
    // A record store's failure as it may be shown: a server's password never is.
    int storeFailure(const QString& error) { return fail({kExitFileProblem, redactMessage(error, o_.recordPath)}); }
    // The rows a run could not give to its record server wait in the local spool: said before the
    // end, with the boards' own exit code.
    void sayKeptLocally(const ProductionJob& job) {
        if (job.records() && job.records()->rowsKeptLocally() > 0)
            sink_.keptLocally(job.records()->rowsKeptLocally(), spoolPath());
    }

    std::optional<int> runWithoutJob();
    int runJob();
    JobRequest jobRequest() const;
    int runStation(ProductionJob& job, const QStringList& devices);
    Failure runRound(ProductionJob& job, const QStringList& devices, const QString& tag, QVector<BoardSummary>& boards);
    void interruptRound() {
        std::lock_guard<std::mutex> lock(roundMutex_);
        if (round_)
            round_->interrupt();
    }

    const Options& o_;
    const bool json_;
    EventSink& sink_;
    QVector<BoardSummary> summaries_;
    // The round running now, if any, for the interrupt's thread.
    std::mutex roundMutex_;
    Round* round_ = nullptr;
    InterruptWatch interrupts_;
};

// The subcommands that run no job on boards: the record store's, and the list of programmers.
// None for the others.
std::optional<int> CommandRun::runWithoutJob() {
    QString error;
    switch (o_.command) {
        case Command::RecordsExport: {
            RowExporter exporter([](const QByteArray& line) { return writeText(Stream::Out, line + '\n'); },
                                 o_.exportFormat == QLatin1String("csv"));
            if (!exportRecordsFrom(o_.recordPath, exporter, error))
                return storeFailure(error);
            return end(kExitOk);
        }
        case Command::RecordsSync: {
            int uploaded = 0;
            int others = 0;
            if (!isServerUrl(o_.recordPath))
                return fail({kExitUsage, QStringLiteral("records sync needs a server URL (postgresql://...)")});
            if (!syncSpool(o_.recordPath, uploaded, others, error))
                return storeFailure(error);
            sink_.synced(uploaded, others, spoolPath());
            return end(kExitOk);
        }
        case Command::RecordsYield: {
            QVector<JobYield> yields;
            if (!readYieldsFrom(o_.recordPath, yields, error))
                return storeFailure(error);
            for (const JobYield& y : yields)
                sink_.yield(y);
            return end(kExitOk);
        }
        case Command::Serials: {
            QVector<SerialPoolState> pools;
            if (!readSerialPoolsFrom(o_.recordPath, pools, error))
                return storeFailure(error);
            for (const SerialPoolState& pool : pools)
                sink_.pool(pool);
            return end(kExitOk);
        }
        case Command::List: {
            const QStringList attached = UsbDevice().findDevices();
            for (const ListedProgrammer& p : probeProgrammers(attached, &interrupts_.flag()))
                sink_.listed(p);
            if (interrupts_.interrupted())
                return interrupted();
            return attached.isEmpty() ? fail({kExitNoProgrammer, QStringLiteral("no programmer attached")})
                                      : end(kExitOk);
        }
        default:
            return std::nullopt;
    }
}

// What the command line asks the engine to prepare.
JobRequest CommandRun::jobRequest() const {
    JobRequest request;
    if (o_.command == Command::Run || o_.command == Command::Station) {
        request.jobFile = o_.file;
    } else if (isOperation(o_.command)) {
        Step step;
        step.command = o_.command;
        step.file = o_.file;
        if (o_.addr)
            step.addr = *o_.addr;
        request.step = step;
    }
    request.info = o_.command == Command::Info;
    request.speed = o_.speed;
    request.powerOff = o_.powerOff;
    request.skipUnchanged = o_.skipUnchanged;
    request.flashIni = o_.flashIni;
    request.allowBootUpdate = o_.allowBootUpdate;
    request.recordPath = o_.recordPath;
    return request;
}

int CommandRun::runJob() {
    // --- Everything that can be judged without a programmer, before any is opened. ---
    JobFailure refused;
    const std::unique_ptr<ProductionJob> job = ProductionJob::prepare(jobRequest(), refused);
    if (!job)
        return fail({refused.code, refused.message});

    QStringList devices;
    const Failure chosen = chooseDevices(o_.devices, UsbDevice().findDevices(), interrupts_.flag(), devices);
    if (interrupts_.interrupted())
        return interrupted();
    if (chosen.code != kExitOk)
        return fail(chosen);

    // --- One run per programmer, all at once: once, or once per label at a station. ---
    sink_.begin(devices);
    if (o_.command == Command::Station)
        return runStation(*job, devices);
    const Failure f = runRound(*job, devices, o_.tag, summaries_);
    if (f.code != kExitOk) {
        // The numbers of the boards were returned, or none could be taken.
        return f.code == kExitInterrupted ? interrupted() : fail(f);
    }
    sayKeptLocally(*job);
    return end(Round::exitCode(summaries_));
}

// Runs the job on every chosen programmer with this tag; the boards' summaries, or a failure
// that kept every board from starting (nothing was sent then).
Failure CommandRun::runRound(ProductionJob& job, const QStringList& devices, const QString& tag,
                             QVector<BoardSummary>& boards) {
    Round round(job, devices, tag, sink_);
    JobFailure failure;
    if (!round.plan(failure))
        return {failure.code, failure.message};
    {
        std::lock_guard<std::mutex> lock(roundMutex_);
        round_ = &round;
        if (interrupts_.interrupted())
            round.interrupt();
    }
    const bool started = round.start();
    if (started)
        boards += round.wait();
    {
        std::lock_guard<std::mutex> lock(roundMutex_);
        round_ = nullptr;
    }
    if (!started) {
        round.giveBack();
        return {kExitInterrupted, QStringLiteral("interrupted")};
    }
    return {};
}

// A station: one round per label read, until the end of input, "q" or Ctrl-C.
int CommandRun::runStation(ProductionJob& job, const QStringList& devices) {
    LineReader lines;
    int code = kExitOk;
    for (;;) {
        if (!json_) {
            writeText(Stream::Err, "Scan the next label (an empty line runs without one; q ends):\n");
        }
        const std::optional<QString> line = lines.next(interrupts_.flag());
        if (interrupts_.interrupted()) {
            code = std::max(code, int(kExitInterrupted));
            break;
        }
        if (!line || line->trimmed() == QLatin1String("q"))
            break;
        const QString tag = line->trimmed();
        QVector<BoardSummary> boards;
        const Failure f = runRound(job, devices, tag, boards);
        if (f.code != kExitOk) {
            sink_.error(QString(), QString(), f.message, f.code);
            code = std::max(code, f.code);
            break;
        }
        if (!json_) {
            for (const BoardSummary& board : boards)
                printVerdict(board, tag, board.serials);
        }
        code = std::max(code, Round::exitCode(boards));
        summaries_ += boards;
        if (interrupts_.interrupted())
            break;
    }
    sayKeptLocally(job);
    return end(code);
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
            writeText(Stream::Err, "qv310: " + parsed.error.toUtf8() +
                                       "\n(qv310 --help lists the subcommands and options)\n");
        else
            sink->error(QString(), QString(), parsed.error, kExitUsage);
        return kExitUsage;
    }
    const Options& o = parsed.options;
    switch (o.command) {
        case Command::Help:
            writeText(Stream::Out, usageText().toUtf8());
            return kExitOk;
        case Command::Version:
            // The hello event names the version for --json.
            if (!json)
                writeText(Stream::Out, "qv310 " + toolVersion().toUtf8() + '\n');
            return kExitOk;
        default:
            break;
    }
    CommandRun run(o, json, *sink);
    return run.run();
}

}  // namespace qv::cli
