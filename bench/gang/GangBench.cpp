// The console engine against realistic virtual programmers: what skipping unchanged blocks saves,
// how close the engine comes to the time the board itself needs, and what the engine costs in
// processor time while it writes and while it waits. With --qv310 PATH it also drives the console
// program as child processes, one programmer alone against eight at once.
//
// The engine is the library's own session: UsbDevice + USB_BURN_CTRL + ProgrammerLink with event
// waiting (Pacing::event()) + a console host without widgets, running the existing operations.
// The virtual programmers run in child processes forked before Qt starts, so getrusage of this
// process is the engine's own cost.
//
// Run: qv310-bench-gang [--usb full|high] [--idle-seconds S] [--pump-ms M] [--qv310 PATH] [--gang N]
#include "common/ProgrammerProcess.h"
#include "engine/ProgrammerSession.h"
#include "protocol/Crc32.h"
#include "protocol/Frames.h"
#include "protocol/Pacing.h"
#include "protocol/ProgrammerLink.h"
#include "protocol/Reporter.h"
#include "uiflash/UiOperations.h"
#include "uiflash/UiFormats.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"
#include "vprog/VirtualProgrammer.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kMcuCodeBytes = 454656;  // the largest MCU code image the tool accepts
constexpr int32_t kBootCodeBytes = 65536;  // the largest boot code image
constexpr int32_t kUiImageBytes = 2 * 1024 * 1024;
// One SPI flash of 4 MiB, as the catalogue lists it; the UI room is what lies above the UI base.
constexpr uint32_t kSpiFlashId = 0x1C4016;
constexpr uint32_t kSpiChipBytes = 4 * 1024 * 1024;
constexpr uint32_t kUiRoomBytes = kSpiChipBytes - qv::kUiFlashBase;

using qvbench::DeviceTally;
using qvbench::ProgrammerProcess;

// ---------------------------------------------------------------------------------------------
// The engine: one session with a console host

// A reporter that keeps the log lines; events are those of the core application.
class ConsoleHost : public qv::Reporter {
  public:
    QStringList log;
    QStringList messages;

    void appendLog(const QString& line) override { log << line; }
    void clearLog() override { log.clear(); }
    void setProgress(int) override {}
    void processEvents() override { QCoreApplication::processEvents(); }
    void refused(const QString& text) override { messages << text; }
};

// The engine's own session, as the console front end holds one per programmer.
struct Session {
    ConsoleHost host;
    qv::engine::ProgrammerSession programmer{host, qv::Pacing::event()};
    qv::ProgrammerLink& link = programmer.link;
    USB_BURN_CTRL& worker = programmer.worker;
    // What the last operation did with its blocks.
    qv::BlockCounts counts;

    // Runs one operation on bytes held in memory, as a board run does.
    void run(qv::engine::Command command, const QByteArray& image, const std::string& file, bool skip = false) {
        qv::engine::OperationOptions options;
        options.diff = qv::isDiffPath(QString::fromStdString(file));
        options.write.skipUnchanged = skip;
        options.write.refuseUnknownTargetFlash = true;
        const qv::engine::OperationOutcome outcome = programmer.run(command, image, options);
        counts = outcome.blocks.value_or(qv::BlockCounts());
    }

    bool open(const std::string& path) {
        return programmer.open(QString::fromStdString(path)) == qv::ProgrammerLink::OpenOutcome::Connected;
    }
};

double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec) + double(usage.ru_stime.tv_sec) +
           (double(usage.ru_utime.tv_usec) + double(usage.ru_stime.tv_usec)) / 1e6;
}

struct Measured {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    double modelledSeconds = 0;
    bool ok = false;
    qv::BlockCounts counts;
};

template <typename Operation>
Measured measure(Session& session, ProgrammerProcess& programmer, const char* okLine, Operation run) {
    programmer.mark();
    Measured m;
    const double cpu0 = processCpuSeconds();
    const Clock::time_point t0 = Clock::now();
    run();
    m.wallSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    m.cpuSeconds = processCpuSeconds() - cpu0;
    m.modelledSeconds = double(programmer.mark().modelledMicros) / 1e6;
    m.ok = session.host.log.contains(QLatin1String(okLine)) && session.host.messages.isEmpty();
    if (!m.ok)
        std::fprintf(stderr, "operation did not succeed:\n%s\n", qPrintable(session.host.log.join('\n')));
    session.host.messages.clear();
    return m;
}

// ---------------------------------------------------------------------------------------------
// Inputs

std::vector<uint8_t> randomBytes(size_t length, uint32_t seed) {
    std::vector<uint8_t> data(length);
    std::mt19937 rng(seed);
    for (auto& b : data)
        b = static_cast<uint8_t>(rng());
    return data;
}

std::vector<uint8_t> codeImage(size_t length, uint32_t seed) {
    std::vector<uint8_t> data = randomBytes(length, seed);
    const uint8_t running[4] = {0x01, 0x01, 0x00, 0x00};
    std::memcpy(data.data() + 4, running, 4);
    return data;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    return bool(out);
}

// ---------------------------------------------------------------------------------------------
// The console program as child processes

// Runs argv to its end; the wall time in seconds, or a negative value when it did not exit with 0.
double runChild(const std::vector<std::string>& args, const std::string& outputPath) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const Clock::time_point t0 = Clock::now();
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -seconds;
}

void printLoad() {
    std::ifstream in("/proc/loadavg");
    std::string line;
    std::getline(in, line);
    std::printf("load average: %s\n", line.c_str());
}

const char* verdict(bool met) {
    return met ? "met" : "NOT met";
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    vprog::UsbSpeed usb = vprog::UsbSpeed::High;
    int idleSeconds = 3;
    int gang = 8;
    int pumpMillis = qv::Pacing::event().eventPumpMillis;
    std::string qv310;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (flag == "--usb" && value &&
            (std::strcmp(value, "full") == 0 || std::strcmp(value, "high") == 0)) {
            usb = std::strcmp(value, "full") == 0 ? vprog::UsbSpeed::Full : vprog::UsbSpeed::High;
        } else if (flag == "--idle-seconds" && value && std::atoi(value) > 0) {
            idleSeconds = std::atoi(value);
        } else if (flag == "--pump-ms" && value && std::atoi(value) > 0) {
            pumpMillis = std::atoi(value);
        } else if (flag == "--gang" && value && std::atoi(value) > 0) {
            gang = std::atoi(value);
        } else if (flag == "--qv310" && value) {
            qv310 = std::filesystem::absolute(value).string();
        } else {
            std::fprintf(
                stderr,
                "usage: %s [--usb full|high] [--idle-seconds S] [--pump-ms M] [--qv310 PATH] [--gang N]\n",
                argv[0]);
            return 2;
        }
        ++i;
    }

    char pattern[] = "/tmp/qv310-bench-gang-XXXXXX";
    const char* scratch = ::mkdtemp(pattern);
    if (!scratch) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = scratch;
    ::setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
    {
        std::ofstream flash(root + "/Flash.ini");
        char line[64];
        std::snprintf(line, sizeof line, "[FLASH]\n0x%06X,1024,4096,BENCH32M,\n", kSpiFlashId);
        flash << line;
    }
    if (::chdir(root.c_str()) != 0) {
        std::perror("chdir");
        return 1;
    }

    auto realistic = [&](const std::string& name) {
        vprog::Options o;
        o.name = name;
        o.targetFlashId = kSpiFlashId;
        o.boardFlashId = kSpiFlashId;
        o.spiFlashSize = kUiRoomBytes;
        o.realistic = true;
        o.realisticTiming = vprog::RealisticTiming::forUsb(usb);
        return o;
    };

    // Forked before Qt starts any thread: the engine's programmer, and the gang's when asked for.
    auto engineProgrammer = std::make_unique<ProgrammerProcess>(realistic("engine"));
    std::vector<std::unique_ptr<ProgrammerProcess>> gangProgrammers;
    if (!qv310.empty()) {
        for (int i = 0; i < gang; ++i)
            gangProgrammers.push_back(
                std::make_unique<ProgrammerProcess>(realistic("gang" + std::to_string(i))));
    }
    if (!engineProgrammer->ready()) {
        std::fprintf(stderr, "the virtual programmer did not plug in\n");
        return 1;
    }

    QCoreApplication app(argc, argv);

    // Inputs: code images, a 2 MiB UI image, and the same image with one 4096-byte block in every
    // 20 changed (26 of 512 blocks, 5.1 %).
    const std::vector<uint8_t> ui = randomBytes(kUiImageBytes, 3);
    std::vector<uint8_t> edited = ui;
    std::mt19937 rng(4);
    uint32_t changedBlocks = 0;
    for (size_t block = 7; block * qv::kUiPieceSize < edited.size(); block += 20, ++changedBlocks) {
        for (size_t i = 0; i < qv::kUiPieceSize; ++i)
            edited[block * qv::kUiPieceSize + i] = static_cast<uint8_t>(rng());
    }
    const std::string mcuPath = root + "/mcu.bin", bootPath = root + "/boot.bin", uiPath = root + "/ui.bin",
                      editedPath = root + "/ui-5pct.bin";
    if (!writeFile(mcuPath, codeImage(kMcuCodeBytes, 1)) ||
        !writeFile(bootPath, codeImage(kBootCodeBytes, 2)) || !writeFile(uiPath, ui) ||
        !writeFile(editedPath, edited)) {
        std::fprintf(stderr, "cannot write the input files\n");
        return 1;
    }

    char hostName[256] = {};
    ::gethostname(hostName, sizeof hostName - 1);
    std::printf("qv310-bench-gang: nproc %ld, host %s, USB %s speed, realistic virtual programmers\n",
                ::sysconf(_SC_NPROCESSORS_ONLN), hostName, usb == vprog::UsbSpeed::Full ? "full" : "high");
    printLoad();
    std::printf(
        "inputs: MCU code %d bytes, boot code %d bytes, UI image %d bytes, %u of %d blocks changed\n\n",
        kMcuCodeBytes, kBootCodeBytes, kUiImageBytes, changedBlocks, kUiImageBytes / 4096);

    bool allOk = true;
    Session session;
    qv::Pacing pacing = qv::Pacing::event();
    pacing.eventPumpMillis = pumpMillis;
    session.link.setPacing(pacing);
    std::printf("event waits: events processed at least every %d ms\n", pumpMillis);
    if (!session.open(engineProgrammer->path())) {
        std::fprintf(stderr, "could not open the programmer:\n%s\n", qPrintable(session.host.log.join('\n')));
        return 1;
    }
    const char* programOk = "Program target is OK!!!!!!";
    const char* uiOk = "Update flash is OK!!!!!!";

    // Read once, as a job's images are, and handed to the operations as bytes.
    const auto bytesOf = [](const std::string& path) {
        QFile file(QString::fromStdString(path));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QByteArray mcuBytes = bytesOf(mcuPath), bootBytes = bytesOf(bootPath);
    const QByteArray uiBytes = bytesOf(uiPath), editedBytes = bytesOf(editedPath);
    using qv::engine::Command;
    auto programMcu = [&] { session.run(Command::ProgramMcu, mcuBytes, mcuPath); };
    auto programBoot = [&] { session.run(Command::ProgramBoot, bootBytes, bootPath); };
    auto writeUi = [&](const std::string& path, const QByteArray& bytes, bool skip) {
        return [&, path, skip] { session.run(Command::WriteUi, bytes, path, skip); };
    };

    struct Row {
        const char* label;
        Measured m;
    };
    std::vector<Row> rows;
    // Boot code first: its 64 KiB from 0 reach into the MCU code's place at 0xA000.
    rows.push_back({"Program 310 Boot", measure(session, *engineProgrammer, programOk, programBoot)});
    rows.push_back({"Program 310 McuCode", measure(session, *engineProgrammer, programOk, programMcu)});
    rows.push_back({"Verify McuCode", measure(session, *engineProgrammer, "Check EFlash OK!",
                                              [&] { session.run(Command::VerifyMcu, mcuBytes, mcuPath); })});
    rows.push_back(
        {"Update UI (full)", measure(session, *engineProgrammer, uiOk, writeUi(uiPath, uiBytes, false))});
    rows.back().m.counts = session.counts;
    rows.push_back({"Update UI, skip, unchanged",
                    measure(session, *engineProgrammer, uiOk, writeUi(uiPath, uiBytes, true))});
    rows.back().m.counts = session.counts;
    rows.push_back({"Update UI, skip, 5% changed",
                    measure(session, *engineProgrammer, uiOk, writeUi(editedPath, editedBytes, true))});
    rows.back().m.counts = session.counts;

    std::printf("%-30s %10s %12s %10s %9s %17s\n", "operation (engine, event waits)", "wall s", "modelled s",
                "wall/model", "CPU %", "written/skipped");
    for (const Row& r : rows) {
        allOk = allOk && r.m.ok;
        char counts[32] = "";
        if (r.m.counts.written + r.m.counts.skipped)
            std::snprintf(counts, sizeof counts, "%u/%u", r.m.counts.written, r.m.counts.skipped);
        std::printf("%-30s %10.3f %12.3f %10.3f %9.2f %17s%s\n", r.label, r.m.wallSeconds,
                    r.m.modelledSeconds, r.m.wallSeconds / r.m.modelledSeconds,
                    100 * r.m.cpuSeconds / r.m.wallSeconds, counts, r.m.ok ? "" : "  FAILED");
    }

    // Idle: the session open, nothing running; the worker parks.
    const uint64_t parks0 = session.worker.parkCount();
    const double idleCpu0 = processCpuSeconds();
    const Clock::time_point idle0 = Clock::now();
    while (Clock::now() - idle0 < std::chrono::seconds(idleSeconds)) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const double idleCpu = (processCpuSeconds() - idleCpu0) / idleSeconds;
    std::printf("\nidle over %d s with the programmer open (engine): %.2f %% of one core, %llu parks\n",
                idleSeconds, 100 * idleCpu,
                static_cast<unsigned long long>(session.worker.parkCount() - parks0));
    printLoad();

    const Measured& full = rows[3].m;
    const double unchangedRatio = rows[4].m.wallSeconds / full.wallSeconds;
    const double changedRatio = rows[5].m.wallSeconds / full.wallSeconds;
    double worstModelRatio = 0;
    for (const Row& r : rows)
        worstModelRatio = std::max(worstModelRatio, r.m.wallSeconds / r.m.modelledSeconds);
    double writeCpu = 0;  // the plain writes: boot, MCU code, full UI
    for (size_t i : {size_t(0), size_t(1), size_t(3)})
        writeCpu = std::max(writeCpu, rows[i].m.cpuSeconds / rows[i].m.wallSeconds);

    std::printf("\nfigure                                              value      goal     \n");
    std::printf("skip-unchanged, unchanged 2 MiB UI / full write     1/%-7.1f  <= 1/50   %s\n",
                1 / unchangedRatio, verdict(unchangedRatio <= 1.0 / 50));
    std::printf("skip-unchanged, 5%% changed / full write             1/%-7.1f  <= 1/10   %s\n",
                1 / changedRatio, verdict(changedRatio <= 1.0 / 10));
    std::printf("engine wall / modelled, worst operation             %-9.3f  <= 1.02   %s\n", worstModelRatio,
                verdict(worstModelRatio <= 1.02));
    std::printf("engine CPU while one programmer writes (worst)      %-7.2f %%  <= 2 %%    %s\n",
                100 * writeCpu, verdict(writeCpu <= 0.02));
    std::printf("idle CPU, programmer open (engine)                  %-7.2f %%  <= 1 %%    %s\n",
                100 * idleCpu, verdict(idleCpu <= 0.01));
    std::printf("idle CPU, programmer open (window)                  see qv310-bench-e2e\n");

    // Gang: the console program with N programmers against one alone.
    if (qv310.empty()) {
        std::printf(
            "8 programmers in parallel / one alone                skipped: give --qv310 PATH to the "
            "console program (its gang mode runs the programmers)\n");
    } else {
        bool gangReady = true;
        for (const auto& p : gangProgrammers)
            gangReady = gangReady && p->ready();
        if (!gangReady) {
            std::printf("gang: a virtual programmer did not plug in\n");
            allOk = false;
        } else {
            std::vector<std::string> alone = {qv310,   "write-ui", uiPath, "-d", gangProgrammers[0]->path(),
                                              "--json"};
            std::vector<std::string> together = {qv310, "write-ui", uiPath};
            for (const auto& p : gangProgrammers) {
                together.push_back("-d");
                together.push_back(p->path());
            }
            together.push_back("--json");
            const double one = runChild(alone, root + "/alone.jsonl");
            const double all = runChild(together, root + "/gang.jsonl");
            if (one <= 0 || all <= 0) {
                std::printf(
                    "gang: the console program failed (alone %.1f s, gang %.1f s); its output is in %s\n",
                    one, all, root.c_str());
                allOk = false;
            } else {
                std::printf(
                    "%d programmers in parallel / one alone (write-ui)    %-9.3f  <= 1.15   %s  (%.1f s / "
                    "%.1f s)\n",
                    gang, all / one, verdict(all / one <= 1.15), all, one);
            }
        }
    }

    gangProgrammers.clear();
    engineProgrammer.reset();
    std::error_code ignored;
    if (allOk)
        std::filesystem::remove_all(root, ignored);
    if (!allOk) {
        std::printf("SOME OPERATIONS FAILED (see stderr)\n");
        return 1;
    }
    return 0;
}
