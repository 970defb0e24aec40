// Drive settings and reservations an application sets on \\.\TapeN ("lbp", "amu", "reserve",
// "release", "pr-register", "pr-reserve"): what the drive holds for each initiator, other
// initiators refused with RESERVATION CONFLICT, and everything carried to the other path when
// the first one fails.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sim/hw/path.h>
#include <sim/hw/san.h>
#include <sim/hw/tape_drive.h>

#include "runner.h"
#include "scenario.h"
#include "world.h"
#include "test_world.h"

namespace {

using nlohmann::json;

constexpr char kSerial[] = "VRK0000000000011";
constexpr std::uint32_t kSuccess = 0;

class SettingSteps : public ::testing::Test {
protected:
    void SetUp() override
    {
        scenario_ = vorkasim::ParseScenario(json::parse(R"({"drives": [
            {"serial": "VRK0000000000011", "wwnn": "5abcdef000000011",
             "paths": [{"port": 0, "target": 1}, {"port": 1, "target": 1}]}]})"));
        world_ = std::make_unique<vorkasim::World>(scenario_, vorkasim_test::TestWorldOptions());
        world_->boot();
        runner_ = std::make_unique<vorkasim::Runner>(*world_, scenario_);
        drive_ = world_->san().findDrive(kSerial);
        ASSERT_NE(drive_, nullptr);
        for (auto* path : world_->san().paths()) {
            (path->address().portNumber == 0 ? pathA_ : pathB_) = path;
        }
        ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, kSuccess);
    }
    vorkasim::StepResult run(const json& step) { return runner_->run(step); }
    vorkasim::StepResult on(json step)
    {
        step["handle"] = "h";
        return run(step);
    }
    sim::hw::InitiatorSettings settings(const sim::hw::Path* path) const
    {
        return drive_->initiatorSettings(path->initiator());
    }
    // A command of another host through the second path's initiator, straight to the drive.
    std::uint8_t fromPathB(std::vector<std::uint8_t> cdb, std::vector<std::uint8_t> dataOut = {})
    {
        return pathB_->execute(sim::hw::Command{cdb, dataOut, 0}).scsiStatus;
    }
    void pullPathA() { ASSERT_EQ(run({{"op", "fault"}, {"drive", kSerial}, {"path", 0u}, {"kind", "down"}}).status, kSuccess); }

    vorkasim::Scenario scenario_;
    std::unique_ptr<vorkasim::World> world_;
    std::unique_ptr<vorkasim::Runner> runner_;
    sim::hw::TapeDrive* drive_ = nullptr;
    sim::hw::Path* pathA_ = nullptr;
    sim::hw::Path* pathB_ = nullptr;
};

TEST_F(SettingSteps, ProtectionAndAmuAreTheDrivesAndFollowItToTheOtherPath)
{
    auto lbp = on({{"op", "lbp"}, {"method", 2}, {"length", 4}});
    ASSERT_EQ(lbp.status, kSuccess);
    EXPECT_TRUE(lbp.data.contains("information"));
    EXPECT_EQ(settings(pathA_).lbp.method, 2);
    EXPECT_FALSE(settings(pathA_).lbp.write) << "the stamped blocks carry no protection information";
    ASSERT_EQ(on({{"op", "amu"}, {"value", 3}}).status, kSuccess);
    auto amu = on({{"op", "amu"}});
    ASSERT_EQ(amu.status, kSuccess);
    EXPECT_EQ(amu.data.at("amu"), 3);

    pullPathA();
    ASSERT_EQ(on({{"op", "write"}, {"requests", 4}, {"bytes", 4096}}).status, kSuccess);
    EXPECT_EQ(settings(pathB_).lbp.method, 2) << "protection is on for the new path before the data";
    EXPECT_EQ(settings(pathB_).lbp.length, 4);
    EXPECT_EQ(settings(pathB_).amu, 3);
    EXPECT_TRUE(run({{"op", "verify"}}).data.at("verify").at("clean").get<bool>());
}

TEST_F(SettingSteps, ProtectionSwitchedOffStaysOffOnTheOtherPath)
{
    // A method the drive does not know is refused by the drive itself.
    EXPECT_EQ(on({{"op", "lbp"}, {"method", 1}}).status, 0xC0000010u);
    ASSERT_EQ(on({{"op", "lbp"}}).status, kSuccess);
    EXPECT_EQ(settings(pathA_).lbp.method, 2);
    ASSERT_EQ(on({{"op", "lbp"}, {"on", false}}).status, kSuccess);
    EXPECT_EQ(settings(pathA_).lbp.method, 0);
    pullPathA();
    ASSERT_EQ(on({{"op", "write"}, {"requests", 1}, {"bytes", 1024}}).status, kSuccess);
    EXPECT_EQ(settings(pathB_).lbp.method, 0);
}

TEST_F(SettingSteps, AReservedUnitRefusesOtherInitiatorsAndMovesWithTheDrive)
{
    ASSERT_EQ(on({{"op", "reserve"}}).status, kSuccess);
    ASSERT_TRUE(drive_->reservations().persistentHolder.has_value());
    EXPECT_EQ(*drive_->reservations().persistentHolder, pathA_->initiator());
    // Another host's initiator (the second path's, not used by the bus yet) is refused.
    EXPECT_EQ(fromPathB({0x0A, 0x00, 0x00, 0x00, 0x10, 0x00}, std::vector<std::uint8_t>(16)), 0x18);
    EXPECT_TRUE(drive_->records().empty());

    pullPathA();
    ASSERT_EQ(on({{"op", "write"}, {"requests", 2}, {"bytes", 2048}}).status, kSuccess);
    ASSERT_TRUE(drive_->reservations().persistentHolder.has_value());
    EXPECT_EQ(*drive_->reservations().persistentHolder, pathB_->initiator()) << "preempted by the new path";
    EXPECT_EQ(drive_->records().size(), 2u);
    ASSERT_EQ(on({{"op", "release"}}).status, kSuccess);
    EXPECT_FALSE(drive_->reservations().persistentHolder.has_value());
}

TEST_F(SettingSteps, ReserveUnitSixAnswersConflictToTheSecondInitiator)
{
    auto reserved = on({{"op", "reserve"}, {"unit6", true}});
    ASSERT_EQ(reserved.status, kSuccess);
    EXPECT_EQ(reserved.data.at("scsiStatus"), 0);
    ASSERT_TRUE(drive_->reservations().reserve6Holder.has_value());
    EXPECT_EQ(*drive_->reservations().reserve6Holder, pathA_->initiator());
    EXPECT_EQ(fromPathB({0x16, 0, 0, 0, 0, 0}), 0x18) << "RESERVE(6) of another initiator";
    auto released = on({{"op", "release"}, {"unit6", true}});
    ASSERT_EQ(released.status, kSuccess);
    EXPECT_FALSE(drive_->reservations().reserve6Holder.has_value());
    EXPECT_EQ(fromPathB({0x16, 0, 0, 0, 0, 0}), 0) << "free again";
}

TEST_F(SettingSteps, AnApplicationsKeyHoldsThePersistentReservationAcrossAFailover)
{
    ASSERT_EQ(on({{"op", "pr-register"}, {"key", "abcd001122334455"}}).status, kSuccess);
    ASSERT_EQ(on({{"op", "pr-reserve"}}).status, kSuccess);
    auto held = drive_->reservations();
    ASSERT_TRUE(held.persistentHolder.has_value());
    EXPECT_EQ(*held.persistentHolder, pathA_->initiator());
    EXPECT_EQ(held.persistentType, 3);

    pullPathA();
    ASSERT_EQ(on({{"op", "write"}, {"requests", 1}, {"bytes", 4096}}).status, kSuccess);
    held = drive_->reservations();
    ASSERT_TRUE(held.persistentHolder.has_value());
    EXPECT_EQ(*held.persistentHolder, pathB_->initiator());
    bool underAppKey = false;
    for (const auto& [initiator, key] : held.registrations) {
        underAppKey |= initiator == pathB_->initiator() && key == 0xabcd001122334455ull;
    }
    EXPECT_TRUE(underAppKey) << "the new path holds it under the application's key";
}

TEST_F(SettingSteps, MistakesInSettingStepsAreScenarioErrors)
{
    EXPECT_THROW(on({{"op", "pr-register"}}), vorkasim::ScenarioError);
    EXPECT_THROW(on({{"op", "pr-register"}, {"key", "not hex"}}), vorkasim::ScenarioError);
    EXPECT_THROW(on({{"op", "pr-register"}, {"key", "12345678901234567"}}), vorkasim::ScenarioError);
    EXPECT_THROW(on({{"op", "lbp"}, {"on", 1}}), vorkasim::ScenarioError);
    EXPECT_THROW(on({{"op", "amu"}, {"value", 300}}), vorkasim::ScenarioError);
    EXPECT_EQ(run({{"op", "reserve"}, {"handle", "nope"}}).status, 0xC0000008u);
}

}  // namespace
