// A machine as the installer finds it: the SAN with a dual-pathed tape drive, the base tape
// driver bound to its paths (no path filter, no tape bus), and a driver package folder
// C:\pkg\drivers on the simulated disk. The test thread acts for the installer's process.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "sim/hw/san.h"
#include "sim/machine.h"
#include "sim/process.h"
#include "sim/win32.h"
#include "sim/win32_setup.h"

namespace installtest {

inline constexpr char kTapeHardwareId[] = "SCSI\\SequentialVORKA___VIRTUAL_TAPE____";
inline constexpr char kPackage[] = "C:\\pkg";

// INF files of the package, written as a Windows packager writes them.
std::string TapeBusInf();
std::string TapeInf(bool withFilter = true);

class InstallMachine : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the tape bus and tape INF files and the three driver images into C:\pkg\drivers.
    void WritePackage();
    // Creates the root tape bus device and installs its driver, as the installer does.
    void InstallTapeBus();
    // Powers the machine off and on again with the same registry and disk.
    void Reboot();

    sim::Machine& Machine() { return *machine_; }
    sim::Process& Process() { return *process_; }
    // The instance paths of the drive's two path devices.
    std::vector<std::u16string> PathDevices();
    bool Loaded(const char16_t* service);

    sim::hw::San san_;

private:
    void Boot(std::string registryJson);
    std::unique_ptr<sim::Machine> machine_;
    sim::Process* process_ = nullptr;
    std::optional<sim::win32::CallerScope> scope_;
};

}  // namespace installtest
