// The simulator command as an operator uses it: scenarios in, virtual devices, step results and the
// event log out; a registry file makes two runs two boots of one server.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "run_scenario_file.h"
#include "runner.h"
#include "scenario.h"
#include "test_world.h"
#include "world.h"

#include <sim/hw/san.h>

namespace {

using nlohmann::json;

using vorkasim_test::RunVorkasim;
using vorkasim_test::TestWorldOptions;

std::filesystem::path TempFile(const std::string& name)
{
    auto dir = std::filesystem::temp_directory_path() / ("vorkasim-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    return dir / name;
}

TEST(Scenario, RejectsMalformedDocumentsWithTheFaultyField)
{
    EXPECT_THROW(vorkasim::ParseScenario(json::array()), std::runtime_error);
    try {
        vorkasim::ParseScenario(json::parse(R"({"drives":[{"serial":"A","paths":[{"port":300}]}]})"));
        FAIL() << "a port number above 255 was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("drives[0].paths[0]"), std::string::npos) << error.what();
    }
    EXPECT_THROW(vorkasim::ParseScenario(json::parse(R"({"drives":[{"serial":""}]})")), std::runtime_error);
    EXPECT_THROW(vorkasim::ParseScenario(json::parse(R"({"drives":[{"serial":"A","wwnn":"12G4"}]})")),
                 std::runtime_error);
    EXPECT_THROW(vorkasim::ParseScenario(json::parse(R"({"steps":[{"drive":"A"}]})")), std::runtime_error);
    EXPECT_THROW(vorkasim::ParseScenario(json::parse(R"({"registry":{"vorkatbus":{"X":-1}}})")),
                 std::runtime_error);
}

TEST(World, DefaultScenarioGivesOneVirtualDevicePerDriveWithBothPaths)
{
    vorkasim::World world(vorkasim::DefaultScenario(), TestWorldOptions());
    world.boot();
    std::vector<vorkasim::DeviceView> devices;
    ASSERT_EQ(world.queryDevices(&devices), 0u);
    ASSERT_EQ(devices.size(), 2u);
    for (const auto& device : devices) {
        EXPECT_TRUE(device.failover);
        ASSERT_EQ(device.paths.size(), 2u);
        EXPECT_NE(device.paths[0].port, device.paths[1].port) << "the two paths go through two adapters";
        EXPECT_EQ(device.paths[0].primary + device.paths[1].primary, 1) << device.name << " has one primary path";
    }
    // The path devices of the base driver hold the lowest Tape numbers first; each virtual device
    // takes the first number no device holds when its drive's first path registers.
    EXPECT_EQ(devices[0].name, "Tape1");
    EXPECT_EQ(devices[1].name, "Tape4");
    world.shutdown();
    EXPECT_TRUE(world.violations().empty());
}

vorkasim::Scenario TwoDrives(const std::string& registry = "{}")
{
    return vorkasim::ParseScenario(json::parse(R"({"registry":)" + registry + R"(,
        "drives": [{"serial": "SER0001", "wwnn": "5abcdef000000001",
                    "paths": [{"port":0,"target":1},{"port":1,"target":1}]},
                   {"serial": "SER0002", "wwnn": "5abcdef000000002",
                    "paths": [{"port":0,"target":2},{"port":1,"target":2}]}]})"));
}

const vorkasim::DeviceView* Find(const std::vector<vorkasim::DeviceView>& devices, const std::string& serial)
{
    for (const auto& device : devices) {
        if (device.serial == serial) {
            return &device;
        }
    }
    return nullptr;
}

// The two dual-pathed drives, booted and driven step by step; at the end the world shuts down with
// no rule of the simulated kernel broken.
class TwoDriveWorld : public ::testing::Test {
protected:
    void SetUp() override { world.boot(); }
    void TearDown() override
    {
        world.shutdown();
        EXPECT_TRUE(world.violations().empty());
    }
    // The virtual device name of the drive with `serial`.
    std::string DeviceOf(const std::string& serial)
    {
        std::vector<vorkasim::DeviceView> devices;
        world.queryDevices(&devices);
        const auto* drive = Find(devices, serial);
        EXPECT_NE(drive, nullptr) << serial;
        return drive != nullptr ? drive->name : std::string();
    }

    const vorkasim::Scenario scenario = TwoDrives();
    vorkasim::World world{scenario, TestWorldOptions()};
    vorkasim::Runner runner{world, scenario};
};

TEST_F(TwoDriveWorld, PrimaryPathFollowsStopsAndSurpriseRemovalsOfPaths)
{
    std::vector<vorkasim::DeviceView> devices;

    EXPECT_EQ(runner.run(json::parse(R"({"op":"stop","drive":"SER0001","path":0})")).status, 0u);
    world.queryDevices(&devices);
    const auto* drive = Find(devices, "SER0001");
    ASSERT_NE(drive, nullptr);
    ASSERT_EQ(drive->paths.size(), 2u);
    EXPECT_FALSE(drive->paths[0].active);
    EXPECT_FALSE(drive->paths[0].primary);
    EXPECT_TRUE(drive->paths[1].primary);

    // The stopped path comes back as a standby path: the primary stays where it is.
    EXPECT_EQ(runner.run(json::parse(R"({"op":"start","drive":"SER0001","path":0})")).status, 0u);
    world.queryDevices(&devices);
    drive = Find(devices, "SER0001");
    ASSERT_NE(drive, nullptr);
    EXPECT_TRUE(drive->paths[0].active);
    EXPECT_TRUE(drive->paths[1].primary);

    // The primary path vanishes from the SAN: its record goes, the other path takes over.
    runner.run(json::parse(R"({"op":"surprise-remove","drive":"SER0001","path":1})"));
    world.queryDevices(&devices);
    drive = Find(devices, "SER0001");
    ASSERT_NE(drive, nullptr);
    ASSERT_EQ(drive->paths.size(), 1u);
    EXPECT_EQ(drive->paths[0].port, 0);
    EXPECT_TRUE(drive->paths[0].primary);

    // It comes back: registered again, still one device for the drive.
    runner.run(json::parse(R"({"op":"add","drive":"SER0001","path":1})"));
    world.queryDevices(&devices);
    drive = Find(devices, "SER0001");
    ASSERT_NE(drive, nullptr);
    EXPECT_EQ(drive->paths.size(), 2u);
    EXPECT_EQ(devices.size(), 2u);
}

TEST_F(TwoDriveWorld, ExclusiveDriveAdmitsOneHandleUntilItIsClosed)
{
    const std::string name = DeviceOf("SER0001");
    ASSERT_FALSE(name.empty());

    EXPECT_EQ(runner.run({{"op", "open"}, {"device", name}, {"handle", "a"}}).status, 0u);
    EXPECT_EQ(runner.run({{"op", "open"}, {"device", name}, {"handle", "b"}}).status, 0xC0000022u);
    EXPECT_EQ(runner.run({{"op", "close"}, {"handle", "a"}}).status, 0u);
    EXPECT_EQ(runner.run({{"op", "open"}, {"device", name}, {"handle", "b"}}).status, 0u);
    EXPECT_EQ(runner.run({{"op", "close"}, {"handle", "b"}}).status, 0u);
    EXPECT_EQ(runner.run({{"op", "close"}, {"handle", "b"}}).status, 0xC0000008u) << "a handle closes once";
}

TEST_F(TwoDriveWorld, ExclusiveDriveIsFreeForTheNextJobAsSoonAsTheLastOneClosedIt)
{
    const std::string name = DeviceOf("SER0001");
    ASSERT_FALSE(name.empty());

    // open -> read -> close, open -> write -> close, each followed at once by the next job's open.
    for (int round = 0; round < 10; ++round) {
        ASSERT_EQ(runner.run({{"op", "open"}, {"device", name}, {"handle", "r"}}).status, 0u) << round;
        ASSERT_EQ(runner.run({{"op", "rewind"}, {"handle", "r"}}).status, 0u);
        runner.run({{"op", "read"}, {"handle", "r"}, {"requests", 1}, {"bytes", 512}});
        ASSERT_EQ(runner.run({{"op", "close"}, {"handle", "r"}}).status, 0u);
        ASSERT_EQ(runner.run({{"op", "open"}, {"device", name}, {"handle", "w"}}).status, 0u) << round;
        ASSERT_EQ(runner.run({{"op", "write"}, {"handle", "w"}, {"requests", 2}, {"bytes", 512}}).status, 0u);
        ASSERT_EQ(runner.run({{"op", "close"}, {"handle", "w"}}).status, 0u);
    }
    EXPECT_EQ(runner.run({{"op", "open"}, {"device", name}, {"handle", "a"}}).status, 0u);
    EXPECT_EQ(runner.run({{"op", "open"}, {"device", name}, {"handle", "b"}}).status, 0xC0000022u);
    EXPECT_EQ(runner.run({{"op", "close"}, {"handle", "a"}}).status, 0u);
}

TEST(World, ExclusiveDriveIsFreeAfterACloseThatFollowsAFailoverOrALostPath)
{
    const auto scenario = vorkasim::ParseScenario(json::parse(R"({"drives": [
        {"serial": "VRKX000000000001", "wwnn": "5abcdef000000071",
         "paths": [{"port": 0, "target": 1}, {"port": 1, "target": 1}, {"port": 2, "target": 1}]},
        {"serial": "VRKX000000000002", "wwnn": "5abcdef000000072", "dpfFlags": 0,
         "paths": [{"port": 0, "target": 2}, {"port": 1, "target": 2}]}]})"));
    vorkasim::World world(scenario, TestWorldOptions());
    world.boot();
    vorkasim::Runner runner(world, scenario);
    std::vector<vorkasim::DeviceView> devices;
    world.queryDevices(&devices);
    const std::string name = Find(devices, "VRKX000000000001")->name;
    const std::string shared = Find(devices, "VRKX000000000002")->name;
    auto run = [&](const std::string& text) { return runner.run(json::parse(text)).status; };
    auto open = [&](const std::string& device, const std::string& handle) {
        return runner.run({{"op", "open"}, {"device", device}, {"handle", handle}}).status;
    };

    // open -> write -> failover -> close.
    ASSERT_EQ(open(name, "a"), 0u);
    ASSERT_EQ(run(R"({"op": "write", "handle": "a", "requests": 2, "bytes": 512})"), 0u);
    ASSERT_EQ(run(R"({"op": "fault", "drive": "VRKX000000000001", "path": 0, "kind": "down"})"), 0u);
    ASSERT_EQ(run(R"({"op": "write", "handle": "a", "requests": 2, "bytes": 512})"), 0u);
    ASSERT_EQ(run(R"({"op": "close", "handle": "a"})"), 0u);
    ASSERT_EQ(open(name, "b"), 0u) << "free after a close on the path taken over";

    // open -> write -> the path in use goes away -> close.
    ASSERT_EQ(run(R"({"op": "write", "handle": "b", "requests": 2, "bytes": 512})"), 0u);
    ASSERT_EQ(run(R"({"op": "surprise-remove", "drive": "VRKX000000000001", "path": 1})"), 0u);
    ASSERT_EQ(run(R"({"op": "close", "handle": "b"})"), 0u);
    ASSERT_EQ(open(name, "c"), 0u) << "free after a close once the path had gone";
    EXPECT_EQ(open(name, "d"), 0xC0000022u) << "still one handle at a time";
    ASSERT_EQ(run(R"({"op": "close", "handle": "c"})"), 0u);

    // A drive that is not exclusive: two handles, both closed, and it opens again.
    ASSERT_EQ(open(shared, "s1"), 0u);
    ASSERT_EQ(open(shared, "s2"), 0u);
    ASSERT_EQ(run(R"({"op": "write", "handle": "s1", "requests": 1, "bytes": 512})"), 0u);
    ASSERT_EQ(run(R"({"op": "close", "handle": "s1"})"), 0u);
    ASSERT_EQ(run(R"({"op": "close", "handle": "s2"})"), 0u);
    EXPECT_EQ(open(shared, "s3"), 0u);
    EXPECT_EQ(run(R"({"op": "close", "handle": "s3"})"), 0u);
    world.shutdown();
    EXPECT_TRUE(world.violations().empty());
}

TEST(World, RegistryFileMakesTwoRunsTwoBootsOfOneServer)
{
    const auto registryFile = TempFile("persistent-registry.json");
    std::filesystem::remove(registryFile);
    const auto scenario = TwoDrives(R"({"vorkatbus":{"PersistentNaming":1}})");
    std::vector<vorkasim::DeviceView> first;
    {
        auto options = TestWorldOptions();
        options.registryFile = registryFile;
        vorkasim::World world(scenario, options);
        world.boot();
        world.queryDevices(&first);
        world.shutdown();
        EXPECT_TRUE(world.violations().empty());
    }
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(Find(first, "SER0001")->name, "Tape5655361");
    EXPECT_EQ(Find(first, "SER0002")->name, "Tape5655362");
    ASSERT_TRUE(std::filesystem::exists(registryFile));

    // The second run registers the drives in the other order: the names stay with the drives.
    auto reversed = scenario;
    std::swap(reversed.drives[0], reversed.drives[1]);
    std::vector<vorkasim::DeviceView> second;
    {
        auto options = TestWorldOptions();
        options.registryFile = registryFile;
        vorkasim::World world(reversed, options);
        world.boot();
        world.queryDevices(&second);
        world.shutdown();
        EXPECT_TRUE(world.violations().empty());
    }
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(Find(second, "SER0001")->name, "Tape5655361");
    EXPECT_EQ(Find(second, "SER0002")->name, "Tape5655362");
}

TEST(Command, JsonDocumentCarriesDevicesEventsAndStepResults)
{
    const auto scenarioFile = TempFile("steps.json");
    std::ofstream(scenarioFile) << R"({"registry": {"vorkatbus": {"FailoverEventsEnabled": 1}},
        "drives": [{"serial": "SER0001", "paths": [{"port":0,"target":1},{"port":1,"target":1}]}],
        "steps": [{"op":"list"}, {"op":"stop","drive":"SER0001","path":0}, {"op":"reboot"}, {"op":"list"}]})";
    auto [output, code] = RunVorkasim(scenarioFile.string() + " --json");
    ASSERT_EQ(code, 0) << output;
    const json document = json::parse(output);
    ASSERT_EQ(document.at("devices").size(), 1u);
    const auto& device = document.at("devices")[0];
    EXPECT_EQ(device.at("serial"), "SER0001");
    EXPECT_EQ(device.at("failover"), true);
    ASSERT_EQ(device.at("paths").size(), 2u);
    for (const char* key : {"port", "bus", "target", "lun", "active", "primary"}) {
        EXPECT_TRUE(device.at("paths")[0].contains(key)) << key;
    }
    const auto& steps = document.at("steps");
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[0].at("op"), "list");
    EXPECT_EQ(steps[0].at("status"), "0x00000000");
    EXPECT_EQ(steps[0].at("devices")[0].at("paths").size(), 2u) << "a list step carries the devices of its moment";
    EXPECT_EQ(steps[1].at("status"), "0x00000000");
    bool started = false;
    bool newPrimary = false;
    for (const auto& event : document.at("events")) {
        started = started || event.at("code") == "0x40000001";
        if (event.at("code") == "0x40000006") {
            newPrimary = true;
            EXPECT_EQ(event.at("strings").size(), 2u);
            EXPECT_NE(event.at("text").get<std::string>().find("is new primary path for device with serial number SER0001"),
                      std::string::npos);
        }
    }
    EXPECT_TRUE(started);
    EXPECT_TRUE(newPrimary) << "events are on in this scenario";
}

TEST(Command, DefaultRunListsTheTwoDrivesAndTheStartEvent)
{
    auto [output, code] = RunVorkasim("");
    EXPECT_EQ(code, 0) << output;
    EXPECT_NE(output.find("\\Device\\VorkaTBusDvc, link \\??\\VorkaTBusDvcLnk -> \\Device\\VorkaTBusDvc"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("Vorka Tape Bus Enumerator started successfully."), std::string::npos);
    EXPECT_NE(output.find("VRK0000000000001"), std::string::npos);
    EXPECT_NE(output.find("VRK0000000000002"), std::string::npos);
}

}  // namespace

namespace {

TEST_F(TwoDriveWorld, FaultStepsArmAndClearFaultsOnPathsAndDrives)
{
    auto* path = world.san().findPath(sim::hw::ScsiAddress{1, 0, 1, 0});
    ASSERT_NE(path, nullptr);

    auto armed = runner.run(json::parse(R"({"op":"fault","drive":"SER0001","path":1,"kind":"down"})"));
    EXPECT_EQ(armed.status, 0u);
    EXPECT_TRUE(path->isDown());
    EXPECT_NE(armed.detail.find("port 1 bus 0 target 1 lun 0"), std::string::npos) << armed.detail;
    runner.run(json::parse(R"({"op":"clear-faults","drive":"SER0001","path":1})"));
    EXPECT_FALSE(path->isDown());

    auto sense = runner.run(json::parse(
        R"({"op":"fault","drive":"SER0001","kind":"fail","count":2,"sense":"0B/47/00","opcode":10})"));
    EXPECT_NE(sense.detail.find("count=2"), std::string::npos) << sense.detail;
    EXPECT_NE(sense.detail.find("sense=0B/47/00"), std::string::npos) << sense.detail;

    EXPECT_THROW(runner.run(json::parse(R"({"op":"fault","drive":"SER0001","kind":"fail","sense":"junk"})")),
                 std::runtime_error);
    EXPECT_THROW(runner.run(json::parse(R"({"op":"fault","drive":"SER0001","kind":"melt"})")), std::runtime_error);
    EXPECT_THROW(runner.run(json::parse(R"({"op":"fault","drive":"NOPE","kind":"down"})")), std::runtime_error);
    EXPECT_THROW(runner.run(json::parse(R"({"op":"stop","drive":"SER0001","path":7})")), std::runtime_error);

    auto medium = runner.run(json::parse(R"({"op":"medium","drive":"SER0002"})"));
    EXPECT_EQ(medium.status, 0u);
}

}  // namespace
