// vorkactl, the administrator's tool, run on simulated servers: its listing is vorkasim's, its
// tape operations reach the drive, and a missing bus, a missing device and a drive held by
// another program each have their own message and exit code.
#include <gtest/gtest.h>

#include "device_listing.h"
#include "program_run.h"

namespace {

using nlohmann::json;
using programs::Drives;
using programs::Exec;
using programs::RunVorkasim;

json Vorkactl(json args) { return Exec("vorkactl", std::move(args)); }

// The devices of a "list" step's report, as the shared listing reads them.
std::vector<vorka::DeviceView> DevicesOf(const json& devices)
{
    std::vector<vorka::DeviceView> out;
    for (const auto& device : devices) {
        vorka::DeviceView view{device.at("name"), device.at("serial"), device.at("failover"), {}};
        for (const auto& path : device.at("paths")) {
            view.paths.push_back(vorka::PathView{path.at("port"), path.at("bus"), path.at("target"), path.at("lun"),
                                                 path.at("active"), path.at("primary")});
        }
        out.push_back(view);
    }
    return out;
}

TEST(VorkactlList, ShowsEveryDriveAndPathAsVorkasimDoesWithPathsStopped)
{
    json scenario = {{"drives", Drives(3)},
                     {"libraries",
                      {{{"serial", "LIB0001"}, {"drives", {"SER0003"}}, {"paths", {{{"port", 0}, {"target", 7}}}}}}},
                     {"steps",
                      {{{"op", "stop"}, {"drive", "SER0001"}, {"path", 0}},
                       {{"op", "stop"}, {"drive", "SER0002"}, {"path", 1}},
                       {{"op", "list"}},
                       Vorkactl({"list"}),
                       Vorkactl({"list", "--json"})}}};
    const auto run = RunVorkasim(scenario);
    ASSERT_EQ(run.status, 0) << run.report.dump(2);
    const auto& steps = run.report.at("steps");
    const auto& listed = steps.at(2).at("devices");
    ASSERT_EQ(listed.size(), 3u);
    const auto& listedChangers = steps.at(2).at("changers");
    ASSERT_EQ(listedChangers.size(), 1u);

    const auto& text = steps.at(3);
    EXPECT_EQ(text.at("exitCode"), 0) << text.dump();
    EXPECT_EQ(text.at("stdout"),
              vorka::FormatDevices(DevicesOf(listed), "") + vorka::FormatDevices(DevicesOf(listedChangers), "", ""));
    // The stopped primary path of the first drive gave its role to the second path.
    EXPECT_NE(text.at("stdout").get<std::string>().find("|- 0:0:1:0  adapter 0  standby\n"), std::string::npos)
        << text.at("stdout").get<std::string>();
    EXPECT_NE(text.at("stdout").get<std::string>().find("`- 1:0:1:0  adapter 1  active   primary\n"), std::string::npos);

    const auto& asJson = steps.at(4);
    ASSERT_EQ(asJson.at("exitCode"), 0) << asJson.dump();
    const auto document = json::parse(asJson.at("stdout").get<std::string>());
    EXPECT_EQ(document.at("devices"), listed);
    EXPECT_EQ(document.at("changers"), listedChangers);
}

TEST(VorkactlTape, StatusRewindLockAndInquiryOfAVirtualDrive)
{
    json scenario = {{"drives", Drives(1, false)},
                     {"steps",
                      {Vorkactl({"status", "\\\\.\\Tape1"}),
                       Vorkactl({"rewind", "Tape1"}),
                       Vorkactl({"status", "Tape1"}),
                       Vorkactl({"lock", "Tape1"}),
                       Vorkactl({"unlock", "Tape1"}),
                       Vorkactl({"inquiry", "Tape1"})}}};
    const auto run = RunVorkasim(scenario);
    ASSERT_EQ(run.status, 0) << run.report.dump(2);
    const auto& steps = run.report.at("steps");
    for (const auto& step : steps) {
        EXPECT_EQ(step.at("exitCode"), 0) << step.dump();
    }
    const std::string before = steps.at(0).at("stdout");
    EXPECT_NE(before.find("drive: block size default 65536"), std::string::npos) << before;
    EXPECT_NE(before.find("medium: ready\n"), std::string::npos) << before;
    EXPECT_NE(before.find("block size: variable"), std::string::npos) << before;
    EXPECT_NE(before.find("position: block 0\n"), std::string::npos) << before;
    EXPECT_EQ(steps.at(1).at("stdout"), "\\\\.\\Tape1: rewind done\n");
    EXPECT_NE(steps.at(2).at("stdout").get<std::string>().find("position: block 0\n"), std::string::npos);
    EXPECT_EQ(steps.at(3).at("stdout"), "\\\\.\\Tape1: lock done\n");
    EXPECT_EQ(steps.at(4).at("stdout"), "\\\\.\\Tape1: unlock done\n");
    const std::string inquiry = steps.at(5).at("stdout");
    EXPECT_NE(inquiry.find("vendor   VORKA\n"), std::string::npos) << inquiry;
    EXPECT_NE(inquiry.find("product  VIRTUAL TAPE\n"), std::string::npos) << inquiry;
    EXPECT_NE(inquiry.find("serial   SER0001\n"), std::string::npos) << inquiry;
}

TEST(VorkactlErrors, MissingDeviceHeldDriveMissingBusAndBadCommandLine)
{
    json scenario = {{"drives", Drives(1)},
                     {"steps",
                      {Vorkactl({"status", "Tape9"}),
                       {{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}},
                       Vorkactl({"rewind", "Tape1"}),
                       {{"op", "close"}, {"handle", "h"}},
                       Vorkactl({"frobnicate"}),
                       {{"op", "bus-remove"}},
                       Vorkactl({"list"})}}};
    const auto run = RunVorkasim(scenario);
    ASSERT_EQ(run.status, 0) << run.report.dump(2);
    const auto& steps = run.report.at("steps");
    EXPECT_EQ(steps.at(0).at("exitCode"), 4);
    EXPECT_NE(steps.at(0).at("stderr").get<std::string>().find("\\\\.\\Tape9 is not there"), std::string::npos);
    EXPECT_EQ(steps.at(2).at("exitCode"), 5);
    EXPECT_NE(steps.at(2).at("stderr").get<std::string>().find("Access is denied."), std::string::npos);
    EXPECT_EQ(steps.at(4).at("exitCode"), 2);
    EXPECT_NE(steps.at(4).at("stderr").get<std::string>().find("usage: vorkactl list"), std::string::npos);
    EXPECT_EQ(steps.at(6).at("exitCode"), 3);
    EXPECT_NE(steps.at(6).at("stderr").get<std::string>().find("the Vorka tape bus is not installed"),
              std::string::npos);
}

TEST(VorkactlExecOption, RunsAfterTheStepsAndItsFailureFailsTheRun)
{
    json scenario = {{"drives", Drives(1)}, {"steps", json::array()}};
    const auto listed = RunVorkasim(scenario, "--exec " + programs::Program("vorkactl") + " -- list");
    ASSERT_EQ(listed.status, 0) << listed.report.dump(2);
    EXPECT_EQ(listed.report.at("exec").at("exitCode"), 0);
    EXPECT_EQ(listed.report.at("exec").at("args"), json({"list"}));
    EXPECT_EQ(listed.report.at("exec").at("stdout"), vorka::FormatDevices(DevicesOf(listed.report.at("devices")), ""));

    const auto missing = RunVorkasim(scenario, "--exec " + programs::Program("vorkactl") + " -- status Tape7");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.report.at("exec").at("exitCode"), 4);
}

}  // namespace
