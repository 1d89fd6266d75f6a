// End-to-end timing of the four bulk operations through the real window: "Program 310 McuCode",
// "Program 310 Boot", a full "Update UI" and a difference update, each started by clicking its
// button on an offscreen MainWindow that talks to a virtual programmer. Run once against a
// programmer that answers at once (the tool's own cost) and once against one that models a USB
// 2.0 high-speed wire and a flash program time (the tool against the box it drives), then the
// idle cost of an open programmer.
//
// The virtual programmers run in child processes forked before Qt starts, so getrusage of this
// process is the tool's cost alone (GUI thread, transfer worker, Qt) and the programmer's own CPU
// is read from /proc for the child.
//
// Run: qv310-bench-e2e [--reps N] [--idle-seconds S] [--wire-bytes-per-second B]
//                      [--flash-us-per-4k U] [--only instant|modelled] [--hidden]
#include "qtsupport/DisplayScaling.h"
#include "app/MainWindow.h"
#include "common/ProgrammerProcess.h"
#include "protocol/Frames.h"
#include "protocol/ProgrammerLink.h"
#include "uiflash/UiFormats.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"
#include "vprog/VirtualProgrammer.h"
#include "tests/support/PumpUntil.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QPushButton>
#include <QTextEdit>
#include <QThread>
#include <QTimer>

#include <algorithm>
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
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kMcuCodeBytes = 454656;  // the largest MCU code image the tool accepts
constexpr int32_t kBootCodeBytes = 65536;  // the largest boot code image
constexpr int32_t kUiImageBytes = 2 * 1024 * 1024;
// One SPI flash of 4 MiB: the catalogue lists it so, and the programmer's UI area is what lies
// above the UI base, as the tool computes the room for the UI image.
constexpr uint32_t kSpiFlashId = 0x1C4016;
constexpr uint32_t kSpiChipBytes = 4 * 1024 * 1024;
constexpr uint32_t kUiRoomBytes = kSpiChipBytes - qv::kUiFlashBase;

using qvbench::DeviceTally;
using qvbench::ProgrammerProcess;

// ---------------------------------------------------------------------------------------------
// Measuring
// ---------------------------------------------------------------------------------------------

double processCpuSeconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec) + double(usage.ru_stime.tv_sec) +
           (double(usage.ru_utime.tv_usec) + double(usage.ru_stime.tv_usec)) / 1e6;
}

// Records the longest interval between two runs of a 1 ms timer while it is armed: how long
// the GUI thread went without processing its events.
class EventGapProbe : public QObject {
  public:
    EventGapProbe() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const Clock::time_point now = Clock::now();
            longest_ = std::max(longest_, now - last_);
            last_ = now;
        });
    }
    void start() {
        longest_ = Clock::duration::zero();
        last_ = Clock::now();
        timer_.start();
    }
    double stopMillis() {
        timer_.stop();
        longest_ = std::max(longest_, Clock::now() - last_);
        return std::chrono::duration<double, std::milli>(longest_).count();
    }

  private:
    QTimer timer_;
    Clock::time_point last_;
    Clock::duration longest_{};
};

struct Sample {
    double wallSeconds = 0;
    double toolCpuSeconds = 0;  // this process: GUI thread, worker, Qt
    double guiCpuSeconds = 0;   // the GUI thread alone
    double deviceCpuSeconds = 0;
    double longestGapMs = 0;
    DeviceTally tally;
};

struct Stats {
    double median = 0, low = 0, high = 0;
};

Stats stats(std::vector<double> values) {
    Stats s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    s.low = values.front();
    s.high = values.back();
    const size_t n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return s;
}

// ---------------------------------------------------------------------------------------------
// Driving the window
// ---------------------------------------------------------------------------------------------

void runEventLoopFor(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

class Bench {
  public:
    Bench(QString work, bool shown) : work_(std::move(work)), shown_(shown) {}

    bool openWindow(const std::string& devicePath) {
        window_ = std::make_unique<MainWindow>();
        // Shown, as on the line: progress bar and log are painted (offscreen) while it works.
        if (shown_)
            window_->show();
        window_->setMessageHook([this](const QString& title, const QString& text) {
            std::fprintf(stderr, "message box %s: %s\n", qPrintable(title), qPrintable(text));
            messages_ = true;
        });
        const QString path = QString::fromStdString(devicePath);
        if (!qvtest::pumpUntil([&] { return window_->listedDevicePaths().contains(path); }, 5000)) {
            std::fprintf(stderr, "the window never listed %s\n", devicePath.c_str());
            return false;
        }
        window_->findChild<QComboBox*>("comboBox_Device")
            ->setCurrentIndex(window_->listedDevicePaths().indexOf(path));
        window_->findChild<QPushButton*>("pushButton_OpenDevice")->click();
        if (!log().contains("Connect the programmer successful")) {
            std::fprintf(stderr, "could not open %s:\n%s\n", devicePath.c_str(), qPrintable(log()));
            return false;
        }
        return true;
    }
    void closeWindow() { window_.reset(); }
    MainWindow& window() { return *window_; }

    QString log() const { return window_->findChild<QTextEdit*>("textEdit")->toPlainText(); }

    // Clicks button with field holding file and measures the click; false unless the log ends
    // with the line that reports success.
    bool run(const char* button, qv::TextField field, const QString& file, const char* okLine,
             ProgrammerProcess& programmer, Sample& sample) {
        window_->setText(field, file);
        programmer.mark();
        messages_ = false;
        const double deviceCpu0 = programmer.cpuSeconds();
        const double cpu0 = processCpuSeconds(RUSAGE_SELF);
        const double gui0 = processCpuSeconds(RUSAGE_THREAD);
        probe_.start();
        const Clock::time_point t0 = Clock::now();
        window_->findChild<QPushButton*>(button)->click();
        const Clock::time_point t1 = Clock::now();
        sample.longestGapMs = probe_.stopMillis();
        sample.wallSeconds = std::chrono::duration<double>(t1 - t0).count();
        sample.toolCpuSeconds = processCpuSeconds(RUSAGE_SELF) - cpu0;
        sample.guiCpuSeconds = processCpuSeconds(RUSAGE_THREAD) - gui0;
        sample.deviceCpuSeconds = programmer.cpuSeconds() - deviceCpu0;
        sample.tally = programmer.mark();
        const QString text = log();
        const bool ok = !messages_ && text.contains(QLatin1String(okLine));
        if (!ok)
            std::fprintf(stderr, "%s did not succeed:\n%s\n", button, qPrintable(text));
        return ok;
    }

  private:
    QString work_;
    bool shown_ = true;
    std::unique_ptr<MainWindow> window_;
    EventGapProbe probe_;
    bool messages_ = false;
};

// ---------------------------------------------------------------------------------------------
// Inputs
// ---------------------------------------------------------------------------------------------

std::vector<uint8_t> randomImage(size_t length, uint32_t seed) {
    std::vector<uint8_t> data(length);
    std::mt19937 rng(seed);
    for (auto& b : data)
        b = static_cast<uint8_t>(rng());
    return data;
}

// A code image whose running address (bytes 4-7, little-endian) is an ordinary one.
std::vector<uint8_t> codeImage(size_t length, uint32_t seed) {
    std::vector<uint8_t> data = randomImage(length, seed);
    const uint8_t running[4] = {0x01, 0x01, 0x00, 0x00};
    std::memcpy(data.data() + 4, running, 4);
    return data;
}

bool writeFile(const QString& path, const std::vector<uint8_t>& data) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(reinterpret_cast<const char*>(data.data()), qint64(data.size())) == qint64(data.size());
}

struct Files {
    QString mcu, boot, ui, diff;
    uint32_t diffBlocks = 0;
    uint64_t diffBlockBytes = 0;
};

bool makeFiles(const QString& dir, Files& files) {
    files.mcu = dir + "/mcu.bin";
    files.boot = dir + "/boot.bin";
    files.ui = dir + "/ui.bin";
    files.diff = dir + "/ui-5pct.diff";
    const std::vector<uint8_t> ui = randomImage(kUiImageBytes, 3);
    // One 4096-byte sector in every 20 changed: 26 of the 512 sectors, about 5 % of the image,
    // scattered over the whole area as small edits of a UI resource set are.
    std::vector<uint8_t> edited = ui;
    std::mt19937 rng(4);
    for (size_t sector = 7; sector * qv::kUiPieceSize < edited.size(); sector += 20) {
        for (size_t i = 0; i < qv::kUiPieceSize; ++i)
            edited[sector * qv::kUiPieceSize + i] = static_cast<uint8_t>(rng());
    }
    qv::DiffMakerSummary summary;
    const std::vector<uint8_t> diff = qv::makeDiffFile(ui, edited, 1, &summary);
    files.diffBlocks = summary.blocks;
    files.diffBlockBytes = summary.blockBytes;
    return writeFile(files.mcu, codeImage(kMcuCodeBytes, 1)) &&
           writeFile(files.boot, codeImage(kBootCodeBytes, 2)) && writeFile(files.ui, ui) &&
           writeFile(files.diff, diff);
}

// ---------------------------------------------------------------------------------------------
// Report
// ---------------------------------------------------------------------------------------------

struct Operation {
    const char* label;
    const char* button;
    qv::TextField field;
    QString Files::*file;
    const char* okLine;
};

struct Scenario {
    const char* label;
    vprog::Options options;
};

int parseInt(const char* text, int fallback) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end != text && value > 0 ? int(value) : fallback;
}

void printLoad() {
    std::ifstream in("/proc/loadavg");
    std::string line;
    std::getline(in, line);
    std::printf("load average: %s\n", line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int reps = 3;
    int idleSeconds = 3;
    std::string only;  // empty: both programmers
    bool hidden = false;
    double wireBytesPerSecond = 40e6;  // USB 2.0 high speed, bulk, as a real box reaches it
    int flashMicrosPer4K = 400;
    for (int i = 1; i < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--hidden") {
            hidden = true;  // the window is never shown: nothing is painted
            --i;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s needs a value\n", flag.c_str());
            return 2;
        }
        if (flag == "--reps")
            reps = parseInt(argv[i + 1], reps);
        else if (flag == "--idle-seconds")
            idleSeconds = parseInt(argv[i + 1], idleSeconds);
        else if (flag == "--wire-bytes-per-second")
            wireBytesPerSecond = parseInt(argv[i + 1], int(wireBytesPerSecond));
        else if (flag == "--only")
            only = argv[i + 1];
        else if (flag == "--flash-us-per-4k")
            flashMicrosPer4K = parseInt(argv[i + 1], flashMicrosPer4K);
        else {
            std::fprintf(stderr,
                         "usage: %s [--reps N] [--idle-seconds S] [--wire-bytes-per-second B] "
                         "[--flash-us-per-4k U] [--only instant|modelled] [--hidden]\n",
                         argv[0]);
            return 2;
        }
    }

    // A private virtual programmer directory and working directory (Flash.ini, config.ini), so
    // the bench neither sees nor disturbs other programmers and leaves nothing behind.
    char pattern[] = "/tmp/qv310-bench-e2e-XXXXXX";
    const char* scratch = ::mkdtemp(pattern);
    if (!scratch) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = scratch;
    ::setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
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

    Scenario scenarios[2];
    scenarios[0].label = "instant programmer (the tool's own cost)";
    scenarios[1].label = "modelled programmer";
    for (int i = 0; i < 2; ++i) {
        vprog::Options& o = scenarios[i].options;
        o.name = i == 0 ? "bench-instant" : "bench-modelled";
        o.targetFlashId = kSpiFlashId;
        o.boardFlashId = kSpiFlashId;
        o.spiFlashSize = kUiRoomBytes;
    }
    scenarios[1].options.wireBytesPerSecond = wireBytesPerSecond;
    scenarios[1].options.flashProgramMicrosPer4K = uint32_t(flashMicrosPer4K);

    // Forked before Qt starts any thread.
    std::unique_ptr<ProgrammerProcess> programmers[2];
    for (int i = 0; i < 2; ++i) {
        programmers[i] = std::make_unique<ProgrammerProcess>(scenarios[i].options);
        if (!programmers[i]->ready()) {
            std::fprintf(stderr, "virtual programmer %s did not plug in\n",
                         scenarios[i].options.name.c_str());
            return 1;
        }
    }

    qv::enableDisplayScaling();  // the window as the tool shows it
    QApplication app(argc, argv);
    Files files;
    if (!makeFiles(QString::fromStdString(root), files)) {
        std::fprintf(stderr, "cannot write the input files\n");
        return 1;
    }

    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    std::printf("qv310-bench-e2e: %d repetitions, nproc %ld, host %s\n", reps,
                ::sysconf(_SC_NPROCESSORS_ONLN), host);
    {
        std::ifstream cpuinfo("/proc/cpuinfo");
        std::string line;
        while (std::getline(cpuinfo, line)) {
            if (line.rfind("model name", 0) == 0) {
                std::printf("cpu: %s\n", line.substr(line.find(':') + 2).c_str());
                break;
            }
        }
    }
    printLoad();
    std::printf("window: %s\n", hidden ? "never shown (nothing painted)" : "shown on the offscreen platform");
    std::printf("modelled programmer: wire %.0f bytes/s, flash program %d us per 4096 bytes\n",
                wireBytesPerSecond, flashMicrosPer4K);
    std::printf("difference file: %u blocks, %llu bytes of block data (%.1f %% of the image)\n\n",
                files.diffBlocks, static_cast<unsigned long long>(files.diffBlockBytes),
                100.0 * double(files.diffBlockBytes) / kUiImageBytes);

    const Operation operations[] = {
        {"Program 310 McuCode", "pushButton_UpdateTarget", qv::TextField::McuPath, &Files::mcu,
         "Program target is OK!!!!!!"},
        {"Program 310 Boot", "pushButton_wrBootCode", qv::TextField::BootPath, &Files::boot,
         "Program target is OK!!!!!!"},
        {"Update UI (full)", "pushButton_UpdateUI", qv::TextField::UiPath, &Files::ui,
         "Update flash is OK!!!!!!"},
        {"Update UI (5% diff)", "pushButton_UpdateUI", qv::TextField::UiPath, &Files::diff,
         "Diff Update flash is OK!!!!!!"},
    };

    Bench bench(QString::fromStdString(root), !hidden);
    bool allOk = true;
    for (int s = 0; s < 2; ++s) {
        const bool modelled = s == 1;
        if (!only.empty() && only != (modelled ? "modelled" : "instant"))
            continue;
        std::printf("== %s\n", scenarios[s].label);
        if (!bench.openWindow(programmers[s]->path()))
            return 1;
        std::map<int, std::vector<Sample>> samples;
        for (int rep = 0; rep < reps; ++rep) {
            for (int op = 0; op < 4; ++op) {
                Sample sample;
                const Operation& o = operations[op];
                if (!bench.run(o.button, o.field, files.*o.file, o.okLine, *programmers[s], sample))
                    allOk = false;
                samples[op].push_back(sample);
            }
        }
        std::printf("%-20s %-8s %-25s %9s %10s %12s %12s %10s %11s%s\n", "operation", "bytes",
                    "wall ms (median [min-max])", "MB/s", "us/chunk", "tool CPU s/MB", "GUI CPU s/MB",
                    "device s", "gap ms max",
                    modelled ? "  modelled ms  wall/modelled           host us/chunk" : "");
        for (int op = 0; op < 4; ++op) {
            const std::vector<Sample>& list = samples[op];
            std::vector<double> wall, cpuPerMb, guiPerMb, device, gaps, ratio;
            const DeviceTally& tally = list.front().tally;
            for (const Sample& x : list) {
                const double mb = double(x.tally.dataBytes) / 1e6;
                wall.push_back(x.wallSeconds * 1e3);
                cpuPerMb.push_back(x.toolCpuSeconds / mb);
                guiPerMb.push_back(x.guiCpuSeconds / mb);
                device.push_back(x.deviceCpuSeconds);
                gaps.push_back(x.longestGapMs);
                if (x.tally.modelledMicros)
                    ratio.push_back(x.wallSeconds * 1e6 / double(x.tally.modelledMicros));
            }
            const Stats w = stats(wall);
            const double mbPerSecond = double(tally.dataBytes) / 1e6 / (w.median / 1e3);
            const double usPerChunk = w.median * 1e3 / tally.dataChunks;
            char range[64];
            std::snprintf(range, sizeof range, "%.1f [%.1f-%.1f]", w.median, w.low, w.high);
            std::printf("%-20s %-8llu %-25s %9.2f %10.1f %12.3f %12.3f %10.3f %11.1f", operations[op].label,
                        static_cast<unsigned long long>(tally.dataBytes), range, mbPerSecond, usPerChunk,
                        stats(cpuPerMb).median, stats(guiPerMb).median, stats(device).median,
                        stats(gaps).high);
            if (modelled) {
                const Stats r = stats(ratio);
                // What the tool adds to the box's own time, spread over the data chunks.
                const double extraUs = (w.median * 1e3 - double(tally.modelledMicros)) / tally.dataChunks;
                char ratios[64];
                std::snprintf(ratios, sizeof ratios, "%.3f [%.3f-%.3f]", r.median, r.low, r.high);
                std::printf("  %11.1f  %-23s %13.1f", double(tally.modelledMicros) / 1e3, ratios, extraUs);
            }
            std::printf("\n");
        }
        printLoad();

        if (!modelled) {
            // Idle: the window with this programmer open and nothing running, against the same
            // window before any programmer was opened.
            const double cpu0 = processCpuSeconds(RUSAGE_SELF);
            runEventLoopFor(idleSeconds * 1000);
            const double openIdle = (processCpuSeconds(RUSAGE_SELF) - cpu0) / idleSeconds;
            bench.closeWindow();
            MainWindow closedWindow;
            runEventLoopFor(500);
            const double cpu1 = processCpuSeconds(RUSAGE_SELF);
            runEventLoopFor(idleSeconds * 1000);
            const double closedIdle = (processCpuSeconds(RUSAGE_SELF) - cpu1) / idleSeconds;
            std::printf("idle over %d s: programmer open %.1f %% of one core, no programmer open %.1f %%\n",
                        idleSeconds, openIdle * 100, closedIdle * 100);
        } else {
            bench.closeWindow();
        }
        std::printf("\n");
    }

    programmers[0].reset();
    programmers[1].reset();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    if (!allOk) {
        std::printf("SOME OPERATIONS FAILED (see stderr)\n");
        return 1;
    }
    return 0;
}
