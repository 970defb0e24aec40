// Several application threads routing on one virtual changer at once, while its paths fail, come
// back and change primary (run under ThreadSanitizer in the tsan preset).
#include "changer_bus_fixture.h"

#include <atomic>
#include <thread>
#include <vector>

namespace vorka::cbus_test {
namespace {

class ChangerConcurrency : public ChangerBusTest {};

TEST_F(ChangerConcurrency, ThreadsRoutingOnOneChangerAllCompleteWhilePathsFailAndReturn) {
    createPaths(0, 3);
    for (uint32_t i = 0; i < 3; i++) registerPath(i, {"LIB0001", static_cast<uint8_t>(i), 0, 1, 0});
    for (uint32_t i = 0; i < 3; i++) setAnswer(i, {.delayMicroseconds = 200});
    constexpr int kThreads = 4;
    constexpr int kRequests = 40;
    std::vector<HANDLE> handles(kThreads);
    for (auto& h : handles) ASSERT_EQ(openChanger(0, &h), kSuccess);
    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRequests; i++) {
                if (positionTransport(handles[t]) != kSuccess) failures++;
            }
        });
    }
    // Meanwhile the first two control paths fail, stop and return in turn; the third always works,
    // so every request has a path that carries it out.
    std::thread chaos([&] {
        for (int round = 0; !stop; round++) {
            uint32_t path = round % 2;
            setAnswer(path, {.status = kIoDeviceError, .delayMicroseconds = 200});
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            setAnswer(path, {.delayMicroseconds = 200});
            notifyPnp(1 - path, kPnpStopped);
            notifyPnp(1 - path, kPnpStarted);
        }
    });
    for (auto& th : threads) th.join();
    stop = true;
    chaos.join();
    EXPECT_EQ(failures.load(), 0);
    uint32_t total = 0;
    uint32_t maxConcurrent = 0;
    for (uint32_t i = 0; i < 3; i++) {
        total += pathInfo(i).successes;
        maxConcurrent = std::max(maxConcurrent, pathInfo(i).maxConcurrent);
    }
    EXPECT_EQ(total, static_cast<uint32_t>(kThreads * kRequests)) << "each positioning carried out exactly once";
    EXPECT_GT(maxConcurrent, 1u) << "requests on one changer run side by side";
    QueryAnswer answer = query();
    int primaries = 0;
    for (const auto& d : answer.descriptors) primaries += d.primary;
    EXPECT_EQ(primaries, 1);
    for (auto h : handles) closeHandle(h);
}

}  // namespace
}  // namespace vorka::cbus_test
