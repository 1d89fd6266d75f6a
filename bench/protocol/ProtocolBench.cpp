// Bulk write throughput of writeDataChunk against a virtual programmer with no modelled latency
// (so the figures are the host's own cost: frame building, the worker hand-over, the link), and
// the throughput of the CRC beside its plain table form.
//
// Run: qv_protocol_bench [--benchmark_filter=...]
#include "protocol/Crc32.h"
#include "protocol/Reporter.h"
#include "protocol/ProgrammerLink.h"
#include "usb/UsbBurnCtrl.h"
#include "usb/UsbDevice.h"
#include "vprog/VirtualProgrammer.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

// A reporter that only pumps events, as the window does between requests.
class QuietHost : public qv::Reporter {
  public:
    void appendLog(const QString&) override {}
    void clearLog() override {}
    void setProgress(int) override {}
    void processEvents() override { QCoreApplication::processEvents(); }
    void refused(const QString&) override {}
};

std::vector<uint8_t> randomBytes(size_t n) {
    std::vector<uint8_t> data(n);
    std::mt19937 rng(7);
    for (auto& b : data)
        b = static_cast<uint8_t>(rng());
    return data;
}

void BM_Crc32Zero(benchmark::State& state) {
    const auto data = randomBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(qv::crc32zero(data.data(), data.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32Zero)->Arg(4096)->Arg(1 << 20);

void BM_Crc32ZeroReference(benchmark::State& state) {
    const auto data = randomBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(qv::crc32zeroReference(data.data(), data.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32ZeroReference)->Arg(4096)->Arg(1 << 20);

// One programmer, opened and handed to a running worker, shared by the write benches.
struct Line {
    vprog::VirtualProgrammer vp{vprog::Options{}};
    qv::UsbDevice device;
    USB_BURN_CTRL worker;
    QuietHost host;
    qv::ProgrammerLink link{worker, device, host};
    bool ready = false;

    Line() {
        worker.device = &device;
        ready = vp.plug() && device.open(QString::fromStdString(vp.devicePath()));
        if (ready)
            worker.start();
    }
    ~Line() {
        vp.unplug();
        worker.stopAndWait();
        device.close();
    }
};

// range(0): the worker's noSleep (1 as the bulk programming slots set it, 0 idle pacing).
void BM_WriteDataChunk4096(benchmark::State& state) {
    Line line;
    if (!line.ready) {
        state.SkipWithError("virtual programmer not reachable");
        return;
    }
    const auto chunk = randomBytes(4096);
    // The worker clears noSleep when its run starts; one exchange first makes sure it has started,
    // so the value set below is the one the measured chunks run with.
    if (line.link.writeDataChunk(chunk.data(), 0, 4096) != 0) {
        state.SkipWithError("first chunk failed");
        return;
    }
    line.worker.noSleep.store(static_cast<uint8_t>(state.range(0)), std::memory_order_release);
    uint32_t address = 0;
    int failures = 0;
    for (auto _ : state) {
        if (line.link.writeDataChunk(chunk.data(), address, 4096) != 0)
            ++failures;
        address = (address + 4096) % 0x80000;
    }
    if (failures)
        state.SkipWithError("a chunk write failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
    state.counters["chunks"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WriteDataChunk4096)->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    // A private virtual programmer directory, so the bench neither sees nor disturbs others.
    char pattern[] = "/tmp/qv310-bench-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (dir)
        ::setenv("XDG_RUNTIME_DIR", dir, 1);
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (dir) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    return 0;
}
