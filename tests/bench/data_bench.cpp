// What path failover costs a backup: 64 KiB and 256 KiB writes and reads by an application
// through the drive's virtual device \\.\Tape<n> (failover on: position and block-size tracking,
// status record, worker hop) against the same requests on one path's device \\.\Tape<m>
// directly; with a drive of unlimited speed (the time the software adds per request) and with a
// 400 MB/s drive (the throughput left to the application). And one failover: the commands sent
// beyond the retried write and the time it adds.
//
//   data_bench --benchmark_out=data.json --benchmark_out_format=json [--vorka_trace]
//
// The drivers' trace is off (the debug print filter drops it, as on a machine not being
// debugged) unless --vorka_trace is given. Each figure also has "cpuPerRequest_us": the CPU
// time of the whole process per request, which the load of other work on the machine moves far
// less than the wall-clock time.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "sim/hw/fault.h"
#include "sim/process.h"
#include "bench_cpu.h"
#include "tape_rig.h"

namespace {

constexpr std::uint64_t kMegabytes400 = 400'000'000;
constexpr int kRewindEvery = 128;  // writes between rewinds, so the simulated medium stays small
// The streams rewind after 64 MiB, eight times the drive's buffer: most of a pass is the steady
// state of a backup, where the host waits for room in a full buffer, rather than the start of a
// pass, where the buffer takes the first 8 MiB at the host's speed and the time of the rewind
// (with the host's wake-up after it) is the drive's idle time.
constexpr std::uint64_t kBytesPerPass = 64ull << 20;

int BlocksPerPass(ULONG bytes) { return static_cast<int>(kBytesPerPass / bytes); }

// One application process with a handle on a device; the buffer is its own memory.
struct Handle {
    sim::Process* process = nullptr;
    HANDLE handle = nullptr;
    void* buffer = nullptr;

    NTSTATUS control(ULONG code, void* inOut, ULONG length) {
        sim::ProcessScope scope(*process);
        void* user = process->alloc(length);
        std::memcpy(user, inOut, length);
        NTSTATUS status = process->deviceIoControl(handle, code, user, length, user, length);
        process->free(user);
        return status;
    }
    NTSTATUS rewind() {
        TAPE_SET_POSITION position{};
        position.Method = TAPE_REWIND;
        return control(IOCTL_TAPE_SET_POSITION, &position, sizeof position);
    }
    NTSTATUS setBlockSize(ULONG size) {
        TAPE_SET_MEDIA_PARAMETERS media{size};
        return control(IOCTL_TAPE_SET_MEDIA_PARAMS, &media, sizeof media);
    }
};

enum class Target { Path, Virtual };

// The path device is measured on a machine of its own: while the tape bus uses a path, the
// path's device is the bus's (an application's open is refused). There the filter and base
// driver are the same, with no virtual device above them.
struct Setup {
    std::unique_ptr<tapetest::Rig> rig;
    Target target = Target::Path;
    sim::hw::TapeDrive* drive = nullptr;
    sim::hw::Path* paths[2] = {};
    Handle tape;  // \\.\Tape<n> of the virtual device, or the path's own device
};

Setup& World() {
    static Setup setup;
    return setup;
}

bool g_trace = false;  // --vorka_trace: the drivers' trace lines formatted and recorded

bool Open(Handle& h, const std::u16string& name) {
    h.process = &World().rig->Machine().processes().create("backup.exe", false);
    sim::ProcessScope scope(*h.process);
    h.buffer = h.process->alloc(256 * 1024);
    const NTSTATUS status = h.process->createFile(&h.handle, name, GENERIC_READ | GENERIC_WRITE);
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "cannot open %s: 0x%08x\n", std::string(name.begin(), name.end()).c_str(),
                     static_cast<unsigned>(status));
    }
    return status == STATUS_SUCCESS;
}

// A machine with one drive of two paths; the tape bus on it only for the virtual device.
bool Boot(Target target) {
    Setup& s = World();
    if (s.rig != nullptr && s.target == target) {
        return s.tape.handle != nullptr;
    }
    if (s.rig != nullptr) {
        sim::ProcessScope scope(*s.tape.process);
        if (s.tape.handle != nullptr) s.tape.process->close(s.tape.handle);
    }
    s.tape = Handle{};
    s.rig.reset();
    s.target = target;
    s.rig = std::make_unique<tapetest::Rig>(tapetest::RigOptions{.realBus = target == Target::Virtual});
    // A streaming drive, as real ones are: writes go to its buffer, reads come from read-ahead.
    s.drive = &s.rig->AddDrive("VORKA-BENCH-02", [](sim::hw::DriveConfig& c) { c.buffered = true; });
    s.rig->San().addAdapter();
    s.rig->San().addAdapter();
    s.paths[0] = &s.rig->San().connect(0, 0, 1, 0, *s.drive, 0);
    s.paths[1] = &s.rig->San().connect(1, 0, 1, 0, *s.drive, 1);
    s.rig->Boot();
    vorkabench::SetDriverTrace(s.rig->Machine().trace(), g_trace);
    auto stack = s.rig->StackOf(*s.paths[0]);
    if (!stack) return false;
    std::u16string name = stack->Win32Name();
    if (target == Target::Virtual) {
        name = u"\\\\.\\Tape";
        for (char c : std::to_string(s.rig->Query(*stack).virtualTapeNumber)) name += static_cast<char16_t>(c);
    }
    if (!Open(s.tape, name)) s.tape.handle = nullptr;
    return s.tape.handle != nullptr;
}

Handle* Prepare(benchmark::State& state, Target target, bool limited) {
    if (!Boot(target)) {
        state.SkipWithError("no device");
        return nullptr;
    }
    Setup& s = World();
    s.drive->setTiming(sim::hw::TimingModel{.bytesPerSecond = limited ? kMegabytes400 : 0});
    Handle& h = s.tape;
    if (h.setBlockSize(0) != STATUS_SUCCESS || h.rewind() != STATUS_SUCCESS) {
        state.SkipWithError("cannot prepare the drive");
        return nullptr;
    }
    return &h;
}

void Finish(benchmark::State& state, std::int64_t bytes, const vorkabench::ProcessCpu& cpu) {
    cpu.Report(state);
    World().drive->setTiming(sim::hw::TimingModel{});
    state.SetBytesProcessed(state.iterations() * bytes);
    state.SetItemsProcessed(state.iterations());
}

void Write(benchmark::State& state, Target target, bool limited) {
    const auto bytes = static_cast<ULONG>(state.range(0));
    Handle* h = Prepare(state, target, limited);
    if (h == nullptr) return;
    sim::ProcessScope scope(*h->process);
    const int rewindEvery = BlocksPerPass(bytes);
    int sinceRewind = 0;
    benchmark::IterationCount written = 0;
    const vorkabench::ProcessCpu cpu;
    for (auto _ : state) {
        // Timed: the rewind waits until the drive's buffer is on the medium, and that time
        // belongs to the writes before it.
        if (++sinceRewind == rewindEvery) {
            h->rewind();
            sinceRewind = 0;
        }
        ULONG_PTR done = 0;
        if (h->process->write(h->handle, h->buffer, bytes, &done) != STATUS_SUCCESS || done != bytes) {
            state.SkipWithError("write failed");
            break;
        }
        // The last write waits until everything is on the medium too: a run that ended with
        // the buffer full would count up to 8 MiB the drive has not written yet, and report
        // more than the drive's speed.
        if (++written == state.max_iterations) h->rewind();
    }
    Finish(state, bytes, cpu);
}

void Read(benchmark::State& state, Target target, bool limited) {
    const auto bytes = static_cast<ULONG>(state.range(0));
    Handle* h = Prepare(state, target, limited);
    if (h == nullptr) return;
    sim::ProcessScope scope(*h->process);
    // A file of one pass's blocks to read, again and again from its start.
    const int rewindEvery = BlocksPerPass(bytes);
    World().drive->setTiming(sim::hw::TimingModel{});
    for (int i = 0; i < rewindEvery; ++i) h->process->write(h->handle, h->buffer, bytes);
    h->rewind();
    World().drive->setTiming(sim::hw::TimingModel{.bytesPerSecond = limited ? kMegabytes400 : 0});
    int sinceRewind = 0;
    const vorkabench::ProcessCpu cpu;  // the untimed rewinds are in it: one a pass
    for (auto _ : state) {
        if (++sinceRewind == rewindEvery) {
            state.PauseTiming();
            h->rewind();
            sinceRewind = 0;
            state.ResumeTiming();
        }
        ULONG_PTR done = 0;
        if (h->process->read(h->handle, h->buffer, bytes, &done) != STATUS_SUCCESS || done != bytes) {
            state.SkipWithError("read failed");
            break;
        }
    }
    Finish(state, bytes, cpu);
}

void BM_WritePath(benchmark::State& state) { Write(state, Target::Path, false); }
void BM_WriteVirtual(benchmark::State& state) { Write(state, Target::Virtual, false); }
void BM_ReadPath(benchmark::State& state) { Read(state, Target::Path, false); }
void BM_ReadVirtual(benchmark::State& state) { Read(state, Target::Virtual, false); }
void BM_WritePath400(benchmark::State& state) { Write(state, Target::Path, true); }
void BM_WriteVirtual400(benchmark::State& state) { Write(state, Target::Virtual, true); }
void BM_ReadPath400(benchmark::State& state) { Read(state, Target::Path, true); }
void BM_ReadVirtual400(benchmark::State& state) { Read(state, Target::Virtual, true); }

// One write whose path is down: sent there, failed, the drive's settings restored on the other
// path, the write sent again. The path that served the last write goes down before each one.
void BM_WriteWithFailover(benchmark::State& state) {
    const auto bytes = static_cast<ULONG>(state.range(0));
    Handle* h = Prepare(state, Target::Virtual, false);
    if (h == nullptr) return;
    Setup& s = World();
    sim::ProcessScope scope(*h->process);
    auto commands = [&] { return s.paths[0]->counters().commands + s.paths[1]->counters().commands; };
    int serving = 0;
    std::uint64_t extra = 0;
    int sinceRewind = 0;
    const vorkabench::ProcessCpu cpu;
    for (auto _ : state) {
        state.PauseTiming();
        if (++sinceRewind == kRewindEvery) {
            h->rewind();
            sinceRewind = 0;
        }
        const std::uint64_t served0 = s.paths[0]->counters().delivered;
        // The other path is back; its first command takes the drive's report of the lost
        // nexus (06/29/07), as a monitoring tool's TEST UNIT READY would.
        s.paths[1 - serving]->restore();
        const std::uint8_t testUnitReady[6] = {};
        s.paths[1 - serving]->execute(sim::hw::Command{testUnitReady, {}, 0});
        s.paths[serving]->setDown();
        const std::uint64_t before = commands();
        state.ResumeTiming();
        ULONG_PTR done = 0;
        const NTSTATUS status = h->process->write(h->handle, h->buffer, bytes, &done);
        state.PauseTiming();
        if (status != STATUS_SUCCESS || done != bytes) {
            std::fprintf(stderr, "failover write: status 0x%08x, %lu bytes\n", static_cast<unsigned>(status),
                         static_cast<unsigned long>(done));
            state.SkipWithError("write failed");
            break;
        }
        extra += commands() - before - 1;  // all but the write that succeeded
        serving = s.paths[0]->counters().delivered != served0 ? 0 : 1;
        state.ResumeTiming();
    }
    s.paths[0]->restore();
    s.paths[1]->restore();
    state.counters["commandsBeyondRetry"] =
        benchmark::Counter(static_cast<double>(extra), benchmark::Counter::kAvgIterations);
    Finish(state, bytes, cpu);
}

#define VORKA_SIZES Arg(64 * 1024)->Arg(256 * 1024)->UseRealTime()
// The path device's figures first, then the virtual device's: one machine each.
BENCHMARK(BM_WritePath)->VORKA_SIZES;
BENCHMARK(BM_ReadPath)->VORKA_SIZES;
BENCHMARK(BM_WritePath400)->VORKA_SIZES;
BENCHMARK(BM_ReadPath400)->VORKA_SIZES;
BENCHMARK(BM_WriteVirtual)->VORKA_SIZES;
BENCHMARK(BM_ReadVirtual)->VORKA_SIZES;
BENCHMARK(BM_WriteVirtual400)->VORKA_SIZES;
BENCHMARK(BM_ReadVirtual400)->VORKA_SIZES;
BENCHMARK(BM_WriteWithFailover)->Arg(64 * 1024)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    g_trace = vorkabench::TakeTraceFlag(&argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Setup& s = World();
    if (s.tape.handle != nullptr) {
        sim::ProcessScope scope(*s.tape.process);
        s.tape.process->close(s.tape.handle);
    }
    s.rig.reset();
    return 0;
}
