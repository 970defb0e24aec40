// Holds the first driver thread that traces a given step until the test lets it go, so that a test
// can run a second request at exactly that point: a race between two requests becomes one fixed,
// repeatable interleaving.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "sim/trace.h"

namespace vorka_test {

class TraceGate {
public:
    // Holds the first thread whose trace line contains `step`.
    TraceGate(sim::Machine& machine, std::string step) : machine_(machine), step_(std::move(step)) {
        machine_.trace().setLineObserver([this](const std::string& line) { onLine(line); });
    }
    ~TraceGate() {
        release();
        machine_.trace().setLineObserver({});
    }
    TraceGate(const TraceGate&) = delete;
    TraceGate& operator=(const TraceGate&) = delete;

    // True once a thread is held at the step (waits up to `timeout` for it).
    bool waitUntilHeld(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return held_; });
    }
    // Waits until some thread traced a line containing `milestone` (since the gate was made): the
    // second request of the race has reached its own step.
    bool waitForLine(const std::string& milestone, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            for (const auto& line : seen_)
                if (line.find(milestone) != std::string::npos) return true;
            return false;
        });
    }
    // Lets the held thread (and any later one) go on.
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    void onLine(const std::string& line) {
        std::unique_lock lock(mutex_);
        seen_.push_back(line);
        changed_.notify_all();
        if (line.find(step_) == std::string::npos) return;
        if (held_ || released_) return;
        held_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
    }

    sim::Machine& machine_;
    const std::string step_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> seen_;
    bool held_ = false;
    bool released_ = false;
};

}  // namespace vorka_test
