// The kernel debugger log that tests read driver traces from.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/trace.h"

namespace {

TEST(TraceLog, FragmentsJoinIntoOneLineUntilTheLineBreak) {
    sim::TraceLog log;
    log.append("VorkaTpBus: ENT: 0 -> 1: bus.c, 10: ");
    log.append("BusAddDevice: pDriverObject 0x1000\n");
    log.append("first\nsecond\nthird without end");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"VorkaTpBus: ENT: 0 -> 1: bus.c, 10: BusAddDevice: pDriverObject 0x1000",
                                                     "first", "second"}));
    EXPECT_EQ(log.pending(), "third without end");
    log.append("\n\n");
    EXPECT_EQ(log.lines().back(), "");
    EXPECT_EQ(log.count("third without end"), 1u);
}

TEST(TraceLog, KeepsOnlyTheNewestLinesWhenFull) {
    sim::TraceLog log(3);
    for (int i = 0; i < 5; ++i) log.append("line " + std::to_string(i) + "\n");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"line 2", "line 3", "line 4"}));
    EXPECT_EQ(log.droppedLines(), 2u);
    EXPECT_FALSE(log.contains("line 1"));
}

TEST(TraceLog, MarksSelectWhatAScenarioStepTraced) {
    sim::TraceLog log(4);
    log.append("before\n");
    auto mark = log.mark();
    log.append("step a\nstep b\n");
    EXPECT_EQ(log.linesSince(mark), (std::vector<std::string>{"step a", "step b"}));
    for (int i = 0; i < 3; ++i) log.append("more\n");  // "step a" falls out of the ring
    EXPECT_EQ(log.linesSince(mark), (std::vector<std::string>{"step b", "more", "more", "more"}));
    EXPECT_TRUE(log.linesSince(log.mark()).empty());
    log.clear();
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(log.linesContaining("more").size(), 0u);
}

TEST(TraceLog, ConcurrentWritersNeverMixTheirLines) {
    sim::TraceLog log;
    constexpr int kThreads = 4, kLines = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            std::string line = "thread " + std::to_string(t) + " " + std::string(40, static_cast<char>('a' + t)) + "\n";
            for (int i = 0; i < kLines; ++i) log.append(line);
        });
    }
    for (auto& th : threads) th.join();
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    for (auto& l : lines) {
        ASSERT_EQ(l.size(), 49u) << l;
        char c = l.back();
        EXPECT_EQ(l.substr(9), std::string(40, c)) << l;
    }
}

// A test's observer holds a driver thread at a traced step; the test then removes the observer and
// destroys what it refers to. The removal must wait for the thread still inside the observer.
TEST(TraceLog, RemovingTheLineObserverWaitsForAThreadStillInIt) {
    sim::TraceLog log;
    std::atomic<bool> inside{false}, leave{false}, left{false};
    auto state = std::make_unique<int>(7);
    const int* referred = state.get();
    int seen = 0;
    log.setLineObserver([&](const std::string&) {
        inside = true;
        while (!leave) std::this_thread::yield();
        seen = *referred;
        left = true;
    });
    std::thread writer([&] { log.append("a driver's line\n"); });
    while (!inside) std::this_thread::yield();
    bool leftWhenRemoved = false;
    std::thread remover([&] {
        log.setLineObserver({});
        leftWhenRemoved = left;  // the removal is back only once the writer is out
    });
    leave = true;
    remover.join();
    state.reset();  // what the observer referred to goes once the removal is back
    writer.join();
    EXPECT_TRUE(leftWhenRemoved);
    EXPECT_EQ(seen, 7);
}

TEST(TraceLog, AssertionsAreRecordedAndReportedToTheHandler) {
    sim::TraceLog log;
    std::vector<std::string> seen;
    log.setAssertionHandler([&](const sim::AssertionRecord& a) { seen.push_back(a.expression); });
    log.recordAssertion({"!fDup", "bus.c", 412, ""});
    log.recordAssertion({"pPdoData", "pdo.c", 77, "missing drive record"});
    ASSERT_EQ(log.assertions().size(), 2u);
    EXPECT_EQ(log.assertions()[1].line, 77u);
    EXPECT_EQ(log.assertions()[1].message, "missing drive record");
    EXPECT_EQ(seen, (std::vector<std::string>{"!fDup", "pPdoData"}));
    log.clearAssertions();
    EXPECT_TRUE(log.assertions().empty());
}

}  // namespace
