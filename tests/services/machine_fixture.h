// A simulated machine per test, with the verifier's reports collected so a
// test can expect the ones it provokes and fail on any other.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/eventlog.h"
#include "sim/machine.h"
#include "sim/registry.h"
#include "sim/trace.h"

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::MachineConfig config;
        config.driverDirectory = VORKA_TEST_DRIVER_DIR;
        config.bootDevices = false;
        config.violationHandler = [this](const std::string& message) {
            std::lock_guard lock(mutex_);
            violations_.push_back(message);
        };
        machine_ = std::make_unique<sim::Machine>(std::move(config));
    }
    void TearDown() override {
        machine_.reset();
        std::lock_guard lock(mutex_);
        EXPECT_EQ(violations_.size(), expectedViolations_) << "verifier reports:\n" << Joined();
    }

    sim::Machine& machine() { return *machine_; }
    sim::Registry& registry() { return machine_->registry(); }

    // The verifier reports so far; each call accepts them as expected.
    std::vector<std::string> takeViolations() {
        std::lock_guard lock(mutex_);
        expectedViolations_ = violations_.size();
        return violations_;
    }

private:
    std::string Joined() const {
        std::string all;
        for (auto& v : violations_) all += "  " + v + "\n";
        return all;
    }

    std::mutex mutex_;
    std::vector<std::string> violations_;
    std::size_t expectedViolations_ = 0;
    std::unique_ptr<sim::Machine> machine_;
};
