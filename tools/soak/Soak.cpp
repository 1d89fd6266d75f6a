// Soak drill: program and verify MCU code, write and check a UI image, over and over against one
// virtual programmer, unplugging it at random requests (seeded) and plugging it back in between
// cycles. Reports the cycles run, the unplugs injected and how each was reported, and the memory
// the process holds at the start, after the first cycle and at the end.

#include "app/OperationHost.h"
#include "protocol/Pacing.h"
#include "protocol/ProgrammerLink.h"
#include "app/TargetOperations.h"
#include "app/UiFlashOperations.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"
#include "vprog/VirtualProgrammer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: qv310-soak [--cycles N] [--seed S] [--unplug-percent P] [--quiet]\n"
    "\n"
    "Runs N cycles (default 50) of: program MCU code, verify it, write a UI image, check it,\n"
    "against an in-process virtual programmer. In P percent of the cycles (default 30; seeded by\n"
    "S, default 1) the programmer is unplugged at a random request of the cycle and plugged in\n"
    "again before the next one. Every operation hit by an unplug must report its failure, every\n"
    "operation after it must find the programmer disconnected, and every cycle without one must\n"
    "succeed and leave the images in the programmer's memories.\n"
    "\n"
    "Prints the counts and the memory held: peak RSS (getrusage) and current RSS (/proc) at the\n"
    "start, after the first cycle and at the end. Exits 1 when any report was wrong.\n"
    "\n"
    "Under valgrind (slow; use few cycles):\n"
    "  valgrind --leak-check=full --error-exitcode=3 qv310-soak --cycles 5\n";

std::atomic<bool> gProgrammerGone{false};

// Standard pauses, except that nothing is waited for once the programmer is known to be gone.
void slowPause() {
    if (!gProgrammerGone.load(std::memory_order_relaxed))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
void fastPause() {
    if (!gProgrammerGone.load(std::memory_order_relaxed))
        qv::delayMicroseconds(2);
}

// Keeps the log of the current operation only, so that the drill's own memory stays flat.
class SoakHost : public qv::OperationHost {
  public:
    QStringList log;
    bool groupEnabled = false;
    std::map<qv::TextField, QString> texts;
    std::function<void()> onProcessEvents;
    int messages = 0;

    void appendLog(const QString& line) override { log << line; }
    void clearLog() override { log.clear(); }
    void setProgress(int) override {}
    void showCriticalMessage(const QString& text) override {
        ++messages;
        log << QStringLiteral("[message] ") + text;
    }
    void showErrorMessage(const QString& text) override {
        ++messages;
        log << QStringLiteral("[error] ") + text;
    }
    void setButtonsEnabled(bool enabled) override { groupEnabled = enabled; }
    void setButtonEnabled(qv::Button, bool) override {}
    void processEvents() override {
        if (!gProgrammerGone.load(std::memory_order_relaxed))
            QCoreApplication::processEvents();
        if (onProcessEvents)
            onProcessEvents();
    }
    QString openFileName(const QString&, const QString&, const QString&) override { return QString(); }
    QString text(qv::TextField field) const override {
        const auto it = texts.find(field);
        return it == texts.end() ? QString() : it->second;
    }
    void setText(qv::TextField field, const QString& value) override { texts[field] = value; }
    int swdSpeedIndex() const override { return 0; }
    bool powerOffChecked() const override { return false; }
    void setMcuTypeRow(int) override {}
};

struct Rss {
    long peakKb = 0;
    long currentKb = 0;
};
Rss rss() {
    Rss r;
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0)
        r.peakKb = usage.ru_maxrss;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        long pages = 0, resident = 0;
        if (std::fscanf(f, "%ld %ld", &pages, &resident) == 2)
            r.currentKb = resident * (sysconf(_SC_PAGESIZE) / 1024);
        std::fclose(f);
    }
    return r;
}

// The virtual programmer keeps every request it received (for tests that compare frames); that
// log grows with every cycle and is not the tool's memory.
long requestLogKb(vprog::VirtualProgrammer& programmer) {
    size_t bytes = 0;
    programmer.withModel([&](vprog::DeviceModel& m) {
        for (const auto& request : m.requestLog())
            bytes += request.capacity() + sizeof request;
    });
    return long(bytes / 1024);
}

std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t n) {
    std::vector<uint8_t> b(n);
    for (auto& v : b)
        v = uint8_t(rng());
    return b;
}

bool writeFile(const QString& path, const std::vector<uint8_t>& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           f.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) == qint64(bytes.size());
}

struct Operation {
    const char* name;
    QString ok;    // the line that reports success
    QString fail;  // the line that reports failure
};

}  // namespace

int main(int argc, char** argv) {
    int cycles = 50;
    unsigned seed = 1;
    int unplugPercent = 30;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--cycles" && hasValue) {
            cycles = std::atoi(argv[++i]);
        } else if (a == "--seed" && hasValue) {
            seed = unsigned(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--unplug-percent" && hasValue) {
            unplugPercent = std::atoi(argv[++i]);
        } else if (a == "--quiet") {
            quiet = true;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (cycles < 1 || unplugPercent < 0 || unplugPercent > 100) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    QCoreApplication app(argc, argv);
    QTemporaryDir work;
    QTemporaryDir runtime;  // a virtual programmer directory of its own
    if (!work.isValid() || !runtime.isValid())
        return 2;
    QDir::setCurrent(work.path());
    {
        QFile ini(QStringLiteral("Flash.ini"));
        if (!ini.open(QIODevice::WriteOnly))
            return 2;
        ini.write("[FLASH]\r\n0x1C4016,512,4096,EN25QH16,\r\n");
    }

    std::mt19937 rng(seed);
    SoakHost host;
    qv::UsbDevice device;
    USB_BURN_CTRL worker;
    worker.device = &device;
    qv::Pacing pacing;
    pacing.slowPause = &slowPause;
    pacing.fastPause = &fastPause;
    qv::ProgrammerLink link(worker, device, host, pacing);
    qv::TargetOperations target(link, host);
    qv::UiFlashOperations ui(link, host);

    vprog::Options options;
    options.name = "soak";
    options.directory = runtime.path().toStdString();
    vprog::VirtualProgrammer programmer(options);

    bool removed = false;
    host.onProcessEvents = [&] {
        // What the window does when its programmer is removed.
        if (!removed && !programmer.plugged()) {
            removed = true;
            gProgrammerGone.store(true);
            device.close();
            worker.stopAndWait();
            host.setButtonsEnabled(false);
        }
    };
    const auto connect = [&]() -> bool {
        if (!programmer.plugged() && !programmer.plug())
            return false;
        removed = false;
        gProgrammerGone.store(false);
        host.log.clear();
        qv::openProgrammer(link, host, QStringList{QString::fromStdString(programmer.devicePath())}, 0);
        return host.log.contains(QStringLiteral("Connect the programmer successful"));
    };

    const QString mcuPath = work.filePath(QStringLiteral("mcu.bin"));
    const QString uiPath = work.filePath(QStringLiteral("ui.bin"));
    host.texts[qv::TextField::McuPath] = mcuPath;
    host.texts[qv::TextField::McuCodeAddr] = QStringLiteral("0xA000");
    host.texts[qv::TextField::UiPath] = uiPath;

    const Operation ops[] = {
        {"program MCU code", QStringLiteral("Program target is OK!!!!!!"), QStringLiteral("Program target is fail.....")},
        {"verify MCU code", QStringLiteral("Check EFlash OK!"), QStringLiteral("Check EFlash NG!")},
        {"update UI", QStringLiteral("Update flash is OK!!!!!!"), QStringLiteral("Update flash is fail.....")},
        {"check UI", QStringLiteral("Check EFlash OK!"), QStringLiteral("Check EFlash NG!")},
    };
    const QString kDisconnected = QStringLiteral("The programmer is disconnected!");

    const Rss atStart = rss();
    Rss afterFirst;
    long logAfterFirstKb = 0;
    QElapsedTimer clock;
    clock.start();

    int done = 0, injected = 0, fired = 0, cleanCycles = 0, failuresReported = 0, disconnectsReported = 0;
    int wrong = 0, memoryMismatches = 0, reconnectFailures = 0;
    uint32_t requestsPerCycle = 0;
    uint32_t cleanRequests[4] = {0, 0, 0, 0};  // of each operation, in a cycle without an unplug

    for (int cycle = 1; cycle <= cycles; ++cycle) {
        if (!device.isOpen() && !connect()) {
            ++reconnectFailures;
            std::fprintf(stderr, "cycle %d: the programmer could not be connected again\n", cycle);
            break;
        }
        // New contents every cycle: 4 blocks of MCU code and a partial one, a 64 KiB UI image.
        std::vector<uint8_t> mcu = randomBytes(rng, 4 * 4096 + 123);
        const uint32_t running = 0x0000A101;
        std::memcpy(&mcu[4], &running, 4);
        const std::vector<uint8_t> image = randomBytes(rng, 64 * 1024 - 77);
        if (!writeFile(mcuPath, mcu) || !writeFile(uiPath, image))
            return 2;

        uint32_t start = 0;
        programmer.withModel([&](vprog::DeviceModel& m) { start = m.requestCount(); });
        uint32_t unplugAt = 0;
        if (requestsPerCycle > 0 && int(rng() % 100) < unplugPercent) {
            unplugAt = start + 1 + rng() % requestsPerCycle;
            ++injected;
            programmer.withModel([&](vprog::DeviceModel& m) {
                m.mutableOptions().fault = vprog::Fault::Unplug;
                m.mutableOptions().faultAtRequest = unplugAt;
            });
        }

        bool gone = false;
        uint32_t requestsOf[4] = {0, 0, 0, 0};
        for (const Operation& op : ops) {
            const size_t index = size_t(&op - ops);
            uint32_t before = 0, after = 0;
            programmer.withModel([&](vprog::DeviceModel& m) { before = m.requestCount(); });
            host.log.clear();
            if (op.name == ops[0].name)
                target.programMcuCode();
            else if (op.name == ops[1].name)
                target.verifyMcuCode();
            else if (op.name == ops[2].name)
                ui.updateUi();
            else
                ui.checkUi();
            programmer.withModel([&](vprog::DeviceModel& m) { after = m.requestCount(); });

            requestsOf[index] = after - before;
            const bool hit = unplugAt > before && unplugAt <= after;
            const bool okLine = host.log.contains(op.ok);
            bool right;
            if (gone) {
                // Started after the programmer went away: either it finds the device closed, or
                // it tries and fails.
                right = !okLine && (host.log.contains(kDisconnected) || host.log.contains(op.fail));
                disconnectsReported += right;
            } else if (hit) {
                // The check operations still pass when only their closing target run was lost;
                // the target is then never reported running.
                const bool checkOnly = op.name == ops[1].name || op.name == ops[3].name;
                const bool closingRunLost =
                    unplugAt == after && cleanRequests[index] != 0 && after - before == cleanRequests[index];
                if (checkOnly && closingRunLost)
                    right = okLine && !host.log.contains(QStringLiteral("Target run..."));
                else
                    right = !okLine && (host.log.contains(op.fail) || host.log.contains(kDisconnected));
                failuresReported += right;
                gone = true;
            } else {
                right = okLine;
            }
            if (!right) {
                ++wrong;
                std::fprintf(stderr, "cycle %d, %s (requests %u-%u, unplug at %u): wrong report:\n  %s\n", cycle,
                             op.name, before + 1, after, unplugAt,
                             qPrintable(host.log.join(QStringLiteral("\n  "))));
            }
        }
        if (unplugAt && gone)
            ++fired;

        if (!gone) {
            ++cleanCycles;
            bool same = true;
            programmer.withModel([&](vprog::DeviceModel& m) {
                same = std::equal(mcu.begin(), mcu.end(), m.codeFlash().begin() + 0xA000) &&
                       std::equal(image.begin(), image.end(), m.spiFlash().begin());
                if (requestsPerCycle == 0) {
                    requestsPerCycle = m.requestCount() - start;
                    std::copy(requestsOf, requestsOf + 4, cleanRequests);
                }
            });
            if (!same) {
                ++memoryMismatches;
                std::fprintf(stderr, "cycle %d: the programmer's memories do not hold the images\n", cycle);
            }
        }
        ++done;
        if (cycle == 1) {
            afterFirst = rss();
            logAfterFirstKb = requestLogKb(programmer);
        }
        if (!quiet && (cycle % 10 == 0 || cycle == cycles))
            std::fprintf(stderr, "  %d/%d cycles, %d unplugs\n", cycle, cycles, fired);
    }
    const Rss atEnd = rss();
    const long logAtEndKb = requestLogKb(programmer);
    host.onProcessEvents = nullptr;
    programmer.unplug();
    worker.stopAndWait();
    device.close();

    std::printf("cycles done:                 %d of %d (seed %u, unplug in %d%% of cycles)\n", done, cycles, seed,
                unplugPercent);
    std::printf("requests per clean cycle:    %u\n", requestsPerCycle);
    std::printf("time:                        %.1f s\n", clock.elapsed() / 1000.0);
    std::printf("unplugs injected / happened: %d / %d\n", injected, fired);
    std::printf("failures reported correctly: %d (operation hit), %d (operations after the unplug)\n",
                failuresReported, disconnectsReported);
    std::printf("clean cycles:                %d, memories wrong after %d\n", cleanCycles, memoryMismatches);
    std::printf("wrong reports:               %d\n", wrong);
    std::printf("reconnect failures:          %d\n", reconnectFailures);
    std::printf("peak RSS (KiB):              start %ld, after cycle 1 %ld, end %ld\n", atStart.peakKb,
                afterFirst.peakKb, atEnd.peakKb);
    std::printf("current RSS (KiB):           start %ld, after cycle 1 %ld, end %ld (growth after cycle 1: %ld)\n",
                atStart.currentKb, afterFirst.currentKb, atEnd.currentKb, atEnd.currentKb - afterFirst.currentKb);
    std::printf("virtual programmer's request log (KiB): after cycle 1 %ld, end %ld\n", logAfterFirstKb, logAtEndKb);
    std::printf("growth after cycle 1 less that log (KiB): %ld\n",
                (atEnd.currentKb - afterFirst.currentKb) - (logAtEndKb - logAfterFirstKb));
    return wrong == 0 && memoryMismatches == 0 && reconnectFailures == 0 && done == cycles ? 0 : 1;
}
