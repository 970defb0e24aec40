#include "vorka_test_support.h"

#include <cstdio>

#include "sim/drivers.h"
#include "sim/registry.h"

namespace vorka_test {

std::filesystem::path DriverDirectory() { return VORKA_DRIVER_DIR; }

void MachineTest::SetUp() { boot(std::nullopt); }

void MachineTest::TearDown() {
    shutdownMachine();
    std::lock_guard lock(mutex_);
    std::string unexpected;
    for (std::size_t i = accepted_; i < violations_.size(); ++i) unexpected += "  " + violations_[i] + "\n";
    EXPECT_TRUE(unexpected.empty()) << "verifier reports:\n" << unexpected;
}

void MachineTest::boot(std::optional<std::string> registryJson) {
    sim::MachineConfig config;
    config.driverDirectory = DriverDirectory();
    config.registryJson = std::move(registryJson);
    config.violationHandler = [this](const std::string& message) {
        std::fprintf(stderr, "[verifier] %s\n", message.c_str());
        std::lock_guard lock(mutex_);
        violations_.push_back(message);
    };
    configure(config);
    machine_ = std::make_unique<sim::Machine>(std::move(config));
}

void MachineTest::shutdownMachine() { machine_.reset(); }

void MachineTest::reboot() {
    std::string saved = machine_->registry().toJson();
    machine_.reset();
    boot(std::move(saved));
}

std::vector<std::string> MachineTest::takeViolations() {
    std::lock_guard lock(mutex_);
    accepted_ = violations_.size();
    return violations_;
}

std::vector<std::string> MachineTest::violations() const {
    std::lock_guard lock(mutex_);
    return violations_;
}

std::u16string MachineTest::installRootDevice(std::u16string_view hardwareId, std::u16string_view service,
                                              const std::vector<std::u16string>& upperFilters,
                                              const std::vector<std::u16string>& lowerFilters) {
    auto& drivers = machine().drivers();
    drivers.installService(service);
    for (auto& filter : upperFilters) drivers.installService(filter);
    for (auto& filter : lowerFilters) drivers.installService(filter);
    sim::DriverBinding binding;
    binding.hardwareId = std::u16string(hardwareId);
    binding.service = std::u16string(service);
    binding.upperFilters = upperFilters;
    binding.lowerFilters = lowerFilters;
    machine().pnp().addDriverBinding(binding);
    return machine().pnp().createRootDevice(hardwareId);
}

}  // namespace vorka_test
