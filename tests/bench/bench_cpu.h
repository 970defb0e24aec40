// What the benchmarks report beside wall-clock time: the CPU time the whole process (sender,
// device workers, simulated drive) spends per request, which moves far less than wall-clock
// time when other work shares the machine's cores; and a switch for the drivers' trace.
#pragma once

#include <benchmark/benchmark.h>
#include <time.h>

#include <cstring>

#include "sim/trace.h"

namespace vorkabench {

inline double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Started before the timed loop; Report() puts the process's CPU time per iteration, in µs, in
// the counter "cpuPerRequest_us" (all threads, not only the benchmark's own).
class ProcessCpu {
public:
    ProcessCpu() : start_(ProcessCpuSeconds()) {}
    void Report(benchmark::State& state) const {
        if (state.iterations() == 0) return;
        state.counters["cpuPerRequest_us"] =
            benchmark::Counter((ProcessCpuSeconds() - start_) * 1e6 / static_cast<double>(state.iterations()));
    }

private:
    double start_;
};

// The drivers trace every routine through DbgPrint. A machine that is not being debugged drops
// those lines (the debug print filter is off for DbgPrint's component and level), and so do the
// benchmarks, unless started with --vorka_trace: then every line is formatted and recorded.
inline bool TakeTraceFlag(int* argc, char** argv) {
    bool trace = false;
    int out = 1;
    for (int i = 1; i < *argc; ++i) {
        if (std::strcmp(argv[i], "--vorka_trace") == 0)
            trace = true;
        else
            argv[out++] = argv[i];
    }
    *argc = out;
    return trace;
}

constexpr std::uint32_t kDbgPrintComponent = 101;  // DPFLTR_DEFAULT_ID
constexpr std::uint32_t kDbgPrintLevel = 3;        // DPFLTR_INFO_LEVEL

inline void SetDriverTrace(sim::TraceLog& log, bool on) { log.setFilter(kDbgPrintComponent, kDbgPrintLevel, on); }

}  // namespace vorkabench
