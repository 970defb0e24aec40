// The installer library run twice on the simulated machine (real SetupAPI layer, kernel and
// drivers): a second tape-only installation, which skips the removal of earlier devices, must
// find the tape bus device of the first and keep the one bus, whose control device name a second
// bus instance would collide on.
//
// Whether the tapes answer after the second run is the drivers' matter (the bus is restarted
// under registered paths) and is not asserted here.
#include <cstdio>
#include <string>
#include <vector>

#include "Installer.h"
#include "install_machine.h"
#include "shipped_package.h"
#include "sim/pnp.h"
#include "sim/registry.h"
#include "windows.h"

namespace installtest {
namespace {

class InstallerRerun : public InstallMachine {
protected:
    void SetUp() override {
        InstallMachine::SetUp();
        ASSERT_NO_FATAL_FAILURE(StageShippedPackage(Machine(), u"Windows Server 2022 Standard"));
    }

    int Install(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        int rc = InstallDrivers(static_cast<int>(args.size()), argv.data(), 1);
        testing::internal::GetCapturedStdout();
        return rc;
    }

    int TapeBusDevices() {
        int n = 0;
        for (auto& node : Machine().pnp().devices()) n += node.service == u"vorkatbus";
        return n;
    }

    int AnsweringTapes() {
        int answering = 0;
        for (int n = 0; n < 8; ++n) {
            const std::string name = "\\\\.\\Tape" + std::to_string(n);
            HANDLE h = INVALID_HANDLE_VALUE;
            for (int i = 0; i < 1000 && h == INVALID_HANDLE_VALUE; ++i) {
                h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_ACCESS_DENIED) break;
                if (h == INVALID_HANDLE_VALUE) Sleep(1);
            }
            if (h == INVALID_HANDLE_VALUE) continue;
            answering += GetTapeStatus(h) == NO_ERROR;
            CloseHandle(h);
        }
        return answering;
    }
};

TEST_F(InstallerRerun, SecondTapeOnlyInstallationKeepsOneWorkingTapeBus) {
    ASSERT_EQ(Install({"-s", "-t"}), 0);
    ASSERT_EQ(TapeBusDevices(), 1);
    ASSERT_EQ(AnsweringTapes(), 3) << "both paths and the virtual drive";

    ASSERT_EQ(Install({"-s", "-t"}), 0);
    EXPECT_EQ(TapeBusDevices(), 1);
    bool started = false;
    for (auto& node : Machine().pnp().devices())
        if (node.service == u"vorkatbus") started = node.state == sim::DevNodeState::Started;
    EXPECT_TRUE(started);
    EXPECT_TRUE(sim::win32::MessageBoxes().empty());
}

}  // namespace
}  // namespace installtest
