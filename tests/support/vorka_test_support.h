// Test support for every test binary that runs drivers in the simulated kernel.
//
// MachineTest boots one sim::Machine per test with this build's driver directory.
// Every verifier report is collected; a test fails when a report is left that it
// did not take with takeViolations() (reports of the machine's shutdown, such as
// leaked pool or IRPs, included). Each report is also printed when it happens.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/machine.h"
#include "sim/pnp.h"

namespace vorka_test {

// A pool tag written as the drivers write theirs, a four-character constant such as 'dSUB' (first
// character in the highest byte), which is also how the verifier names a tag in its reports.
constexpr std::uint32_t PoolTag(const char (&text)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(text[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(text[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(text[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(text[3]));
}
static_assert(PoolTag("dSUB") == 0x64535542u, "a pool dump reads this tag as \"BUSd\"");

// The directory where this build writes driver images (<service>.so).
std::filesystem::path DriverDirectory();

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Adjusts the configuration before each boot (also the boots of reboot()).
    virtual void configure(sim::MachineConfig& config) {}

    sim::Machine& machine() { return *machine_; }

    // The verifier reports so far; the call accepts them as expected.
    std::vector<std::string> takeViolations();
    // Reports so far, without accepting them.
    std::vector<std::string> violations() const;

    // A simulated restart: the registry is saved, the machine shut down (devices removed,
    // drivers unloaded) and a new machine booted with the saved registry.
    void reboot();
    // Shuts the machine down now (its reports are checked at the end of the test).
    void shutdownMachine();

    // Installs services for the function driver and filters, binds them to the hardware
    // ID and creates a root-enumerated device with it. Returns its instance path.
    std::u16string installRootDevice(std::u16string_view hardwareId, std::u16string_view service,
                                     const std::vector<std::u16string>& upperFilters = {},
                                     const std::vector<std::u16string>& lowerFilters = {});

private:
    void boot(std::optional<std::string> registryJson);

    mutable std::mutex mutex_;
    std::vector<std::string> violations_;
    std::size_t accepted_ = 0;
    std::unique_ptr<sim::Machine> machine_;
};

}  // namespace vorka_test
