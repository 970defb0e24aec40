// Scenario keys of the simulated drives: a write buffer, tape motion that takes
// time, and the faults that act on them, as a scenario file sets them up.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "runner.h"
#include "scenario.h"
#include "world.h"
#include "test_world.h"

#include <sim/hw/san.h>

namespace {

using nlohmann::json;

vorkasim::Scenario BufferedDrive()
{
    return vorkasim::ParseScenario(json::parse(R"({
        "drives": [{"serial": "SER0001", "wwnn": "5abcdef00f000001", "buffered": true,
                    "motion": {"perCommandUs": 0, "perObjectUs": 0, "longEraseUs": 0},
                    "paths": [{"port":0,"target":1},{"port":1,"target":1}]}]})"));
}

// TEST UNIT READY through a path until the unit attentions of the boot are told.
void Ready(sim::hw::Path& path)
{
    const std::uint8_t ready[6] = {0x00, 0, 0, 0, 0, 0};
    for (int i = 0; i < 4 && !path.execute(sim::hw::Command{ready, {}, 0}).good(); ++i) {
    }
}

// One raw WRITE(6) of a variable block through a path.
sim::hw::CommandResult WriteBlock(sim::hw::Path& path, std::uint8_t size)
{
    const std::vector<std::uint8_t> data(size, 0x5A);
    const std::uint8_t write[6] = {0x0A, 0, 0, 0, size, 0};
    return path.execute(sim::hw::Command{write, data, 0});
}

TEST(DriveKeys, ABufferAndAMotionModelComeFromTheScenarioAndBadValuesAreRefused)
{
    const auto scenario = BufferedDrive();
    ASSERT_EQ(scenario.drives.size(), 1u);
    EXPECT_TRUE(scenario.drives[0].buffered);

    const auto motion = vorkasim::ParseScenario(json::parse(
        R"({"drives":[{"serial":"A","motion":{"perCommandUs":2000,"perObjectUs":15,"longEraseUs":900000}}]})"));
    EXPECT_FALSE(motion.drives[0].buffered) << "no buffer unless asked for";
    EXPECT_EQ(motion.drives[0].perCommandUs, 2000u);
    EXPECT_EQ(motion.drives[0].perObjectUs, 15u);
    EXPECT_EQ(motion.drives[0].longEraseUs, 900000u);

    for (const char* bad : {R"({"drives":[{"serial":"A","buffered":1}]})",
                            R"({"drives":[{"serial":"A","motion":5}]})",
                            R"({"drives":[{"serial":"A","motion":{"perObjectUs":-1}}]})",
                            R"({"drives":[{"serial":"A","motion":{"perCommandUs":"fast"}}]})"}) {
        EXPECT_THROW(vorkasim::ParseScenario(json::parse(bad)), std::runtime_error) << bad;
    }
}

TEST(DriveKeys, DeferredErrorAndFlushStepsActOnABufferedDrive)
{
    const auto scenario = BufferedDrive();
    vorkasim::World world(scenario, vorkasim_test::TestWorldOptions());
    world.boot();
    vorkasim::Runner runner(world, scenario);
    sim::hw::TapeDrive* drive = world.san().findDrive("SER0001");
    sim::hw::Path* path = world.san().findPath(sim::hw::ScsiAddress{0, 0, 1, 0});
    ASSERT_NE(drive, nullptr);
    ASSERT_NE(path, nullptr);

    Ready(*path);
    ASSERT_TRUE(WriteBlock(*path, 32).good());
    auto medium = runner.run(json::parse(R"({"op":"medium","drive":"SER0001"})"));
    EXPECT_NE(medium.detail.find("1 objects in the write buffer"), std::string::npos) << medium.detail;
    auto flush = runner.run(json::parse(R"({"op":"flush","drive":"SER0001"})"));
    EXPECT_EQ(flush.status, 0u);
    EXPECT_EQ(drive->records().size(), 1u);

    auto armed = runner.run(json::parse(
        R"({"op":"fault","drive":"SER0001","path":0,"kind":"deferred_error","sense":"03/0C/00","k":0})"));
    EXPECT_NE(armed.detail.find("deferred_error"), std::string::npos) << armed.detail;
    ASSERT_TRUE(WriteBlock(*path, 16).good()) << "acknowledged";
    const sim::hw::CommandResult next = WriteBlock(*path, 8);
    const sim::hw::SenseInfo sense = sim::hw::decodeSense(next.sense);
    EXPECT_EQ(sense.responseCode, 0x71);
    EXPECT_EQ(sense.key, 0x03);
    EXPECT_EQ(drive->records().size(), 1u) << "the failed block never reached the tape";
    ASSERT_EQ(drive->bufferLosses().size(), 1u);

    auto partial = runner.run(json::parse(R"({"op":"fault","drive":"SER0001","kind":"partial_transfer","k":1})"));
    EXPECT_EQ(partial.status, 0u);
    world.shutdown();
    EXPECT_TRUE(world.violations().empty());
}

}  // namespace

// "modePages": a drive shares its mode parameters among its logins unless the scenario says
// "perLogin"; a block size set through one path is then that path's alone. Other values are refused.
TEST(DriveKeys, ModePagesAreSharedUnlessTheScenarioKeepsThemPerLogin)
{
    for (const bool perLogin : {false, true}) {
        json document = json::parse(R"({"drives": [{"serial": "SER0002", "wwnn": "5abcdef00f000002",
                                        "paths": [{"port":0,"target":1},{"port":1,"target":1}]}]})");
        if (perLogin) {
            document["drives"][0]["modePages"] = "perLogin";
        }
        const auto scenario = vorkasim::ParseScenario(document);
        vorkasim::World world(scenario, vorkasim_test::TestWorldOptions());
        world.boot();
        sim::hw::Path* first = world.san().findPath(sim::hw::ScsiAddress{0, 0, 1, 0});
        sim::hw::Path* second = world.san().findPath(sim::hw::ScsiAddress{1, 0, 1, 0});
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        Ready(*first);
        Ready(*second);
        const std::vector<std::uint8_t> list = {0, 0, 0x10, 8, 0, 0, 0, 0, 0, 0x00, 0x02, 0x00};
        const std::uint8_t select[6] = {0x15, 0x10, 0, 0, static_cast<std::uint8_t>(list.size()), 0};
        ASSERT_TRUE(first->execute(sim::hw::Command{select, list, 0}).good());
        const auto settings = world.san().findDrive("SER0002")->initiatorSettings(second->initiator());
        EXPECT_EQ(settings.blockLength, perLogin ? 0u : 512u);
        EXPECT_EQ(settings.pendingUnitAttentions, perLogin ? std::vector<std::string>{} : std::vector<std::string>{"2A/01"});
        world.shutdown();
    }
    EXPECT_THROW(vorkasim::ParseScenario(json::parse(R"({"drives":[{"serial":"A","modePages":"perHost"}]})")),
                 std::runtime_error);
    EXPECT_THROW(vorkasim::ParseScenario(json::parse(R"({"drives":[{"serial":"A","modePages":true}]})")),
                 std::runtime_error);
}
