// Routing rate of one virtual changer: application threads send IOCTL_CHANGER_MOVE_MEDIUM to
// \\.\Changer0, which the changer bus routes in each caller's own thread to the library's primary
// control path. The simulated library takes a fixed time to answer (a robot move takes time), so
// the rate grows with the threads as long as nothing in the routing serialises the requests.
//
//   changer_route_bench --benchmark_out=changer.json --benchmark_out_format=json
#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>

#include "changer_bus_fixture.h"

namespace {

using namespace vorka::cbus_test;

constexpr uint32_t kAnswerMicroseconds = 500;

// The changer bus test fixture, booted once for the whole run.
class Bench : public ChangerBusTest {
public:
    void Boot() {
        SetUp();
        createPaths(0, 2);
        registerPath(0, {"VORKA-BENCH-LIB", 0, 0, 4, 0});
        registerPath(1, {"VORKA-BENCH-LIB", 1, 0, 4, 0});
        setAnswer(0, {.delayMicroseconds = kAnswerMicroseconds});
        setAnswer(1, {.delayMicroseconds = kAnswerMicroseconds});
    }
    void Shutdown() { TearDown(); }
    NTSTATUS Open(HANDLE* handle) { return openChanger(0, handle); }
    NTSTATUS Close(HANDLE handle) { return closeHandle(handle); }
    NTSTATUS Move(HANDLE handle) { return moveMedium(handle); }
    void TestBody() override {}
};

Bench* g_bench = nullptr;

void RouteMoveMedium(benchmark::State& state) {
    HANDLE handle = nullptr;
    if (g_bench->Open(&handle) != kSuccess) {
        state.SkipWithError("cannot open \\\\.\\Changer0");
        return;
    }
    for (auto _ : state) {
        if (g_bench->Move(handle) != kSuccess) {
            state.SkipWithError("move failed");
            break;
        }
    }
    g_bench->Close(handle);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(RouteMoveMedium)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Bench bench;
    bench.Boot();
    g_bench = &bench;
    benchmark::RunSpecifiedBenchmarks();
    g_bench = nullptr;
    bench.Shutdown();
    benchmark::Shutdown();
    return 0;
}
