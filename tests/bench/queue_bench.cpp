// What the tape bus's request queue costs: the same tape request (IOCTL_TAPE_GET_POSITION, a READ
// POSITION on the simulated drive) sent to the drive's virtual device, where it is queued, taken by
// the device's worker and forwarded to the path, and sent straight to the path's device. The
// difference per request is what the queue, the worker hop and the forwarding add.
//
//   queue_bench --benchmark_out=queue.json --benchmark_out_format=json [--vorka_trace]
//
// The drivers' trace is off unless --vorka_trace is given; with one sender thread the figure
// "cpuPerRequest_us" is the whole process's CPU time per request.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "bench_cpu.h"
#include "sim/objects.h"
#include "tape_rig.h"

namespace {

struct Setup {
    std::unique_ptr<tapetest::Rig> rig;
    PDEVICE_OBJECT virtualDevice = nullptr;
    PDEVICE_OBJECT pathDevice = nullptr;
};

Setup& World() {
    static Setup setup;
    return setup;
}

bool g_trace = false;  // --vorka_trace: the drivers' trace lines formatted and recorded

void Boot() {
    Setup& s = World();
    s.rig = std::make_unique<tapetest::Rig>(tapetest::RigOptions{.realBus = true});
    sim::hw::TapeDrive& drive = s.rig->AddDrive("VORKA-BENCH-01");
    s.rig->San().addAdapter();
    s.rig->San().addAdapter();
    sim::hw::Path& a = s.rig->San().connect(0, 0, 1, 0, drive, 0);
    s.rig->San().connect(1, 0, 1, 0, drive, 1);
    s.rig->Boot();
    vorkabench::SetDriverTrace(s.rig->Machine().trace(), g_trace);
    auto stack = s.rig->StackOf(a);
    if (!stack) return;
    s.pathDevice = stack->filter;
    const auto state = s.rig->Query(*stack);
    std::string name = "\\Device\\Tape" + std::to_string(state.virtualTapeNumber);
    s.virtualDevice = sim::FindDevice(std::u16string(name.begin(), name.end()));
}

void GetPosition(benchmark::State& state, PDEVICE_OBJECT device) {
    if (device == nullptr) {
        state.SkipWithError("no device");
        return;
    }
    // The process's CPU time per request is reported for one sender thread only: with several,
    // each thread's figure would hold the others' requests too.
    const vorkabench::ProcessCpu cpu;
    for (auto _ : state) {
        TAPE_GET_POSITION position{};
        position.Type = TAPE_LOGICAL_POSITION;
        tapetest::Reply r =
            tapetest::KernelControl(device, IOCTL_TAPE_GET_POSITION, &position, sizeof position, &position, sizeof position);
        if (r.status != STATUS_SUCCESS) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    if (state.threads() == 1) cpu.Report(state);
}

void BM_PathDevice(benchmark::State& state) { GetPosition(state, World().pathDevice); }
void BM_VirtualDevice(benchmark::State& state) { GetPosition(state, World().virtualDevice); }

BENCHMARK(BM_PathDevice)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_VirtualDevice)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    g_trace = vorkabench::TakeTraceFlag(&argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Boot();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    World().rig.reset();
    return 0;
}
