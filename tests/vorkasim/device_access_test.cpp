// Who may open the virtual drives, the virtual changers and the buses' control devices on a server
// with a tape library: a plain user is refused every one of them, whatever the open asks for; a
// backup operator backs up and restores through the virtual drive and moves cartridges through the
// virtual changer but cannot reach the control devices; an administrator does everything.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sim/hw/san.h>
#include <sim/machine.h>

#include "runner.h"
#include "scenario.h"
#include "test_world.h"
#include "world.h"

#include "sim/win32.h"
#include "windows.h"

namespace {

using nlohmann::json;

const char* const kServer = R"({
  "drives": [{"serial": "SER0001", "wwnn": "5abcdef000000001", "paths": [{"port": 0, "target": 1}, {"port": 1, "target": 1}]}],
  "libraries": [{"serial": "LIB0001", "wwnn": "5abcdef000000100", "slots": 4, "ieSlots": 1, "drives": ["SER0001"],
                 "volumes": ["VOL001L9"], "paths": [{"port": 0, "target": 7}, {"port": 1, "target": 7}]}]
})";

class DeviceAccess : public ::testing::Test {
protected:
    void SetUp() override
    {
        scenario_ = vorkasim::ParseScenario(json::parse(kServer));
        world_ = std::make_unique<vorkasim::World>(scenario_, vorkasim_test::TestWorldOptions());
        world_->boot();
        runner_ = std::make_unique<vorkasim::Runner>(*world_, scenario_);
        std::vector<vorkasim::DeviceView> drives, changers;
        ASSERT_EQ(world_->queryDevices(&drives), 0u);
        ASSERT_EQ(world_->queryChangers(&changers), 0u);
        ASSERT_EQ(drives.size(), 1u);
        ASSERT_EQ(changers.size(), 1u);
        tape_ = drives[0].name;
        changer_ = changers[0].name;
    }
    void TearDown() override
    {
        runner_.reset();
        world_->shutdown();
        EXPECT_TRUE(world_->violations().empty());
    }

    // CreateFile by a program of `account`: the handle is closed again; the last error, or
    // ERROR_SUCCESS when it opened.
    DWORD OpenAs(sim::Account account, const std::string& device, DWORD access)
    {
        auto& process = world_->machine().processes().create("program.exe", false, account);
        DWORD error = ERROR_SUCCESS;
        {
            sim::win32::CallerScope caller(process);
            const std::u16string name = u"\\\\.\\" + std::u16string(device.begin(), device.end());
            HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(name.c_str()), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
            if (handle == INVALID_HANDLE_VALUE) {
                error = GetLastError();
            } else {
                CloseHandle(handle);
            }
        }
        world_->machine().processes().exit(process);
        return error;
    }

    vorkasim::StepResult run(const json& step) { return runner_->run(step); }

    vorkasim::Scenario scenario_;
    std::unique_ptr<vorkasim::World> world_;
    std::unique_ptr<vorkasim::Runner> runner_;
    std::string tape_, changer_;
};

const std::vector<std::string> kControlLinks = {"VorkaTBusDvcLnk", "VorkaCBusDvcLnk"};

TEST_F(DeviceAccess, APlainUserIsRefusedTheDriveTheChangerAndBothControlDevices)
{
    std::vector<std::string> devices = {tape_, changer_};
    devices.insert(devices.end(), kControlLinks.begin(), kControlLinks.end());
    for (const auto& device : devices) {
        EXPECT_EQ(OpenAs(sim::Account::User, device, GENERIC_READ | GENERIC_WRITE), DWORD{ERROR_ACCESS_DENIED}) << device;
        EXPECT_EQ(OpenAs(sim::Account::User, device, GENERIC_READ), DWORD{ERROR_ACCESS_DENIED}) << device;
        EXPECT_EQ(OpenAs(sim::Account::User, device, 0), DWORD{ERROR_ACCESS_DENIED}) << device << ": attributes only";
    }
    // The scenario's own open of an application run by the user: refused, the drive untouched.
    const auto open = run({{"op", "open"}, {"device", tape_}, {"handle", "u"}, {"account", "user"}});
    EXPECT_EQ(open.status, 0xC0000022u) << "STATUS_ACCESS_DENIED";
    EXPECT_EQ(run({{"op", "write"}, {"handle", "u"}, {"requests", 1}, {"bytes", 65536}}).status, 0xC0000008u)
        << "no handle to write through";
    EXPECT_TRUE(world_->san().findDrive("SER0001")->logicalRecords().empty());
}

TEST_F(DeviceAccess, ABackupOperatorBacksUpAndMovesCartridgesButCannotReachTheControlDevices)
{
    ASSERT_EQ(run({{"op", "open"}, {"device", changer_}, {"handle", "robot"}, {"account", "backup operator"}}).status, 0u);
    ASSERT_EQ(run({{"op", "move"}, {"handle", "robot"}, {"from", "slot:0"}, {"to", "drive:0"}}).status, 0u);

    ASSERT_EQ(run({{"op", "open"}, {"device", tape_}, {"handle", "h"}, {"account", "backup operator"}}).status, 0u);
    EXPECT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0x8000001Cu) << "STATUS_MEDIA_CHANGED: the new cartridge";
    EXPECT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 20}, {"bytes", 65536}}).status, 0u);
    EXPECT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, 0u);
    EXPECT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0u);
    const auto read = run({{"op", "read"}, {"handle", "h"}, {"requests", 20}, {"bytes", 65536}});
    EXPECT_EQ(read.status, 0u);
    EXPECT_EQ(read.data.at("blocks"), 20) << "every block came back";
    EXPECT_TRUE(read.data.at("stampsOk").get<bool>());
    EXPECT_EQ(run({{"op", "close"}, {"handle", "h"}}).status, 0u);
    EXPECT_EQ(run({{"op", "close"}, {"handle", "robot"}}).status, 0u);
    const json verify = run({{"op", "verify"}}).data.at("verify");
    EXPECT_EQ(verify.at("clean"), true) << verify.dump();

    for (const auto& link : kControlLinks) {
        EXPECT_EQ(OpenAs(sim::Account::BackupOperator, link, GENERIC_READ | GENERIC_WRITE), DWORD{ERROR_ACCESS_DENIED})
            << link;
        EXPECT_EQ(OpenAs(sim::Account::BackupOperator, link, 0), DWORD{ERROR_ACCESS_DENIED}) << link;
    }
    EXPECT_EQ(OpenAs(sim::Account::BackupOperator, tape_, WRITE_DAC), DWORD{ERROR_ACCESS_DENIED})
        << "nor may a backup operator change who opens the drive";
}

TEST_F(DeviceAccess, AnAdministratorAndTheSystemOpenEverything)
{
    for (const auto& device : {tape_, changer_, kControlLinks[0], kControlLinks[1]}) {
        EXPECT_EQ(OpenAs(sim::Account::Administrator, device, GENERIC_READ | GENERIC_WRITE), DWORD{ERROR_SUCCESS})
            << device;
        EXPECT_EQ(OpenAs(sim::Account::Administrator, device, GENERIC_ALL), DWORD{ERROR_SUCCESS}) << device;
        EXPECT_EQ(OpenAs(sim::Account::LocalSystem, device, GENERIC_READ | GENERIC_WRITE), DWORD{ERROR_SUCCESS})
            << device;
    }
    std::vector<vorkasim::DeviceView> drives;
    EXPECT_EQ(world_->queryDevices(&drives), 0u) << "the administrator's listing through the control device";
    EXPECT_EQ(drives.size(), 1u);
}

}  // namespace
