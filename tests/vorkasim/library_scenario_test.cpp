// Scenarios with tape libraries: the "libraries" key, the changer steps on an open
// \\.\Changer<n>, faults of a library's control paths, and the ground truth of
// where every cartridge is in the listing and the JSON document.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "runner.h"
#include "scenario.h"
#include "world.h"
#include "test_world.h"
#include "run_scenario_file.h"

#include <sim/hw/library.h>
#include <sim/hw/san.h>

namespace {

using nlohmann::json;

const char* const kLibraryScenario = R"({
  "drives": [{"serial": "DRV0001", "paths": [{"port": 0, "target": 1}]},
             {"serial": "DRV0002", "paths": [{"port": 0, "target": 2}]}],
  "libraries": [{"serial": "LIB0001", "wwnn": "5abcdef000000100", "slots": 4, "ieSlots": 1,
                 "drives": ["DRV0001", "DRV0002"], "volumes": ["VOL001L9", "VOL002L9"],
                 "paths": [{"port": 0, "target": 7}, {"port": 1, "target": 7}]}]
})";

using vorkasim_test::TestWorldOptions;

std::string Where(const std::vector<vorkasim::LibraryView>& libraries, const std::string& volume)
{
    for (const auto& library : libraries) {
        for (const auto& element : library.elements) {
            if (element.full && element.volume == volume) return element.element;
        }
    }
    return "nowhere";
}

TEST(LibraryScenario, ReadsLibrariesAndRejectsWhatCannotBeBuilt)
{
    const auto scenario = vorkasim::ParseScenario(json::parse(kLibraryScenario));
    ASSERT_EQ(scenario.libraries.size(), 1u);
    const auto& library = scenario.libraries[0];
    EXPECT_EQ(library.product, "VIRTUAL LIBRARY") << "the default product";
    EXPECT_EQ(library.slots, 4u);
    EXPECT_EQ(library.drives, (std::vector<std::string>{"DRV0001", "DRV0002"}));
    EXPECT_EQ(library.paths.size(), 2u);
    EXPECT_EQ(library.paths[1].port, 1);

    auto rejects = [](const char* text, const char* mention) {
        try {
            vorkasim::ParseScenario(json::parse(text));
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find(mention), std::string::npos) << error.what();
        }
    };
    rejects(R"({"libraries":[{"serial":"L","drives":["NOPE"]}]})", "NOPE");
    rejects(R"({"libraries":[{"serial":"L","slots":1,"volumes":["A","B"]}]})", "volumes");
    rejects(R"({"drives":[{"serial":"L"}],"libraries":[{"serial":"L"}]})", "already taken");
    rejects(R"({"drives":[{"serial":"D"}],"libraries":[{"serial":"L","drives":["D"]},{"serial":"M","drives":["D"]}]})",
            "already belongs");
    rejects(R"({"libraries":[{"serial":"L","paths":[{"port":256}]}]})", "libraries[0].paths[0]");
    rejects(R"({"libraries":{"serial":"L"}})", "array");
    rejects(R"({"drives":[{"serial":"D","paths":[{"port":0,"target":7}]}],"libraries":[{"serial":"L","paths":[{"port":0,"target":7}]}]})",
            "already has this address");
}

TEST(LibraryScenario, StepsMoveCartridgesThroughAChangerAndAFailedControlPathMovesNothing)
{
    const auto scenario = vorkasim::ParseScenario(json::parse(kLibraryScenario));
    vorkasim::World world(scenario, TestWorldOptions());
    world.boot();
    const auto changers = world.changerPaths();
    ASSERT_EQ(changers.size(), 2u);
    EXPECT_EQ(changers[0].serial, "LIB0001");
    ASSERT_FALSE(changers[0].name.empty()) << "the first control path has its changer device";

    vorkasim::Runner runner(world, scenario);
    ASSERT_EQ(runner.run({{"op", "open"}, {"device", changers[0].name}, {"handle", "c"}}).status, 0u);
    EXPECT_EQ(runner.run(json::parse(R"({"op":"move","handle":"c","from":"slot:0","to":"drive:1"})")).status, 0u);
    EXPECT_EQ(Where(world.libraries(), "VOL001L9"), "drive:1");
    EXPECT_EQ(world.san().findDrive("DRV0002")->mediumState(), sim::hw::MediumState::Loaded);

    // The control path the handle uses goes down: the move fails and nothing moves.
    EXPECT_EQ(runner.run(json::parse(R"({"op":"fault","drive":"LIB0001","path":0,"kind":"down"})")).status, 0u);
    EXPECT_EQ(runner.run(json::parse(R"({"op":"move","handle":"c","from":"slot:1","to":"drive:0"})")).status,
              0xC000009Du);
    EXPECT_EQ(Where(world.libraries(), "VOL002L9"), "slot:1");
    runner.run(json::parse(R"({"op":"clear-faults","drive":"LIB0001"})"));

    EXPECT_EQ(runner.run(json::parse(R"({"op":"exchange","handle":"c","source":"slot:1","first":"drive:0","second":"slot:2"})"))
                  .status,
              0xC0000010u)
        << "one picker: no exchange";
    EXPECT_EQ(runner.run(json::parse(R"({"op":"inventory","handle":"c"})")).status, 0u);
    const auto elements = runner.run(json::parse(R"({"op":"elements","handle":"c"})"));
    ASSERT_EQ(elements.status, 0u);
    ASSERT_EQ(world.libraries().size(), 1u);
    const auto truth = world.libraries()[0].elements;
    ASSERT_EQ(elements.elements.size(), truth.size()) << "every element";
    for (std::size_t i = 0; i < truth.size(); ++i) {
        EXPECT_EQ(elements.elements[i].element, truth[i].element);
        EXPECT_EQ(elements.elements[i].full, truth[i].full) << truth[i].element;
        EXPECT_EQ(elements.elements[i].volume, truth[i].volume) << truth[i].element;
    }
    EXPECT_THROW(runner.run(json::parse(R"({"op":"move","handle":"c","from":"bin:0","to":"drive:0"})")),
                 std::runtime_error);
    EXPECT_THROW(runner.run(json::parse(R"({"op":"fault","drive":"LIB0001","path":2,"kind":"down"})")),
                 std::runtime_error);
    EXPECT_EQ(runner.run(json::parse(R"({"op":"move","handle":"nope","from":"slot:0","to":"drive:0"})")).status,
              static_cast<std::uint32_t>(0xC0000008));
    // A control path leaves the SAN and comes back: its changer device goes and returns.
    EXPECT_EQ(runner.run(json::parse(R"({"op":"surprise-remove","drive":"LIB0001","path":1})")).status, 0u);
    EXPECT_TRUE(world.changerPaths()[1].name.empty());
    EXPECT_EQ(runner.run(json::parse(R"({"op":"add","drive":"LIB0001","path":1})")).status, 0u);
    EXPECT_FALSE(world.changerPaths()[1].name.empty());
    runner.run(json::parse(R"({"op":"close","handle":"c"})"));
    world.shutdown();
    EXPECT_TRUE(world.violations().empty());
}

TEST(LibraryScenario, TheJsonDocumentCarriesChangerPathsElementsAndTheGroundTruth)
{
    json scenario = json::parse(kLibraryScenario);
    scenario["steps"] = json::parse(R"([{"op":"list"},{"op":"open","device":"Changer0","handle":"c"},
        {"op":"move","handle":"c","from":"slot:1","to":"drive:0"},{"op":"elements","handle":"c"}])");
    const vorkasim_test::Outcome run = vorkasim_test::RunWithScenario("library.json", scenario.dump(), "--json", false);
    EXPECT_EQ(run.exitCode, 0) << run.output;

    const json document = json::parse(run.output);
    ASSERT_TRUE(document.contains("devices")) << "the existing keys stay";
    ASSERT_EQ(document.at("changerPaths").size(), 2u);
    EXPECT_EQ(document.at("changerPaths")[0].at("serial"), "LIB0001");
    EXPECT_EQ(document.at("steps")[0].at("changerPaths").size(), 2u) << "a list step shows them too";
    EXPECT_EQ(document.at("steps")[2].at("status"), "0x00000000");
    const json& reported = document.at("steps")[3].at("elements");
    const json& truth = document.at("libraries")[0].at("elements");
    EXPECT_EQ(document.at("libraries")[0].at("serial"), "LIB0001");
    EXPECT_EQ(reported, truth);
    bool loaded = false;
    for (const auto& element : truth) {
        loaded = loaded || (element.at("element") == "drive:0" && element.at("volume") == "VOL002L9");
    }
    EXPECT_TRUE(loaded) << truth.dump();
}

// A job loads a cartridge, reads where it is, ejects it and closes its tape; the library takes the
// cartridge back to a slot. The next job opens the tape while the drive still holds the notice of
// the cartridge taken out: the open succeeds (the notice belongs to the requests that move tape),
// and the job's first request after its cartridge is loaded hears of the new medium.
TEST(LibraryScenario, ATapeOpensRightAfterItsCartridgeWasTakenOut)
{
    const auto scenario = vorkasim::ParseScenario(json::parse(R"({
      "drives": [{"serial": "DRV0001", "wwnn": "5abcdef000000101", "buffered": true,
                  "paths": [{"port": 0, "target": 1}, {"port": 1, "target": 1}, {"port": 2, "target": 1},
                            {"port": 3, "target": 1}]}],
      "libraries": [{"serial": "LIB0001", "wwnn": "5abcdef000000100", "slots": 6, "ieSlots": 1,
                     "drives": ["DRV0001"], "volumes": ["VOL001L9", "VOL002L9", "VOL003L9", "VOL004L9"],
                     "paths": [{"port": 0, "target": 7}, {"port": 1, "target": 7}, {"port": 2, "target": 7}]}]})"));
    vorkasim::World world(scenario, TestWorldOptions());
    world.boot();
    vorkasim::Runner runner(world, scenario);
    auto run = [&](const std::string& step) { return runner.run(json::parse(step)).status; };
    ASSERT_EQ(run(R"({"op":"open","device":"Changer1","handle":"c"})"), 0u);
    ASSERT_EQ(run(R"({"op":"elements","handle":"c"})"), 0u);
    std::string slot = "slot:3";
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        const std::string other = slot == "slot:3" ? "slot:5" : "slot:3";
        ASSERT_EQ(run(R"({"op":"open","device":"Tape1","handle":"t"})"), 0u) << "an open after the cartridge went";
        ASSERT_EQ(run(R"({"op":"move","handle":"c","from":")" + slot + R"(","to":"drive:0"})"), 0u);
        run(R"({"op":"rewind","handle":"t"})");  // may hear of the new medium
        EXPECT_EQ(run(R"({"op":"eject","handle":"t"})"), 0u);
        EXPECT_EQ(run(R"({"op":"close","handle":"t"})"), 0u);
        ASSERT_EQ(run(R"({"op":"move","handle":"c","from":"drive:0","to":")" + other + R"("})"), 0u);
        slot = other;
    }
    run(R"({"op":"close","handle":"c"})");
    EXPECT_EQ(Where(world.libraries(), "VOL004L9"), "slot:3");
    world.shutdown();
    EXPECT_TRUE(world.violations().empty());
}

// Moves whose answers a control path loses. The library ran the first: the virtual changer asks the
// library on the other path where the cartridge is and reports the move done, instead of sending it
// again and reporting the source empty. The second never reached the library: it is sent again. The
// third fails with a hardware error after the robot carried the cartridge: done too. The ground
// truth has each cartridge where the application was told, once.
TEST(LibraryScenario, AMoveWhoseAnswerIsLostIsReportedAsTheLibraryShowsIt)
{
    json document = json::parse(kLibraryScenario);
    document["libraries"][0]["volumes"].push_back("VOL003L9");
    const auto scenario = vorkasim::ParseScenario(document);
    vorkasim::World world(scenario, TestWorldOptions());
    world.boot();
    vorkasim::Runner runner(world, scenario);
    auto run = [&](const std::string& step) { return runner.run(json::parse(step)).status; };
    ASSERT_EQ(run(R"({"op":"open","device":"Changer1","handle":"c"})"), 0u);

    ASSERT_EQ(run(R"({"op":"fault","drive":"LIB0001","path":0,"kind":"fail","opcode":165,"status":3221225653,"executed":true})"), 0u);
    EXPECT_EQ(run(R"({"op":"move","handle":"c","from":"slot:0","to":"drive:0"})"), 0u);
    EXPECT_EQ(Where(world.libraries(), "VOL001L9"), "drive:0");

    // The primary is the second control path now; it loses the next move before the library sees it.
    ASSERT_EQ(run(R"({"op":"fault","drive":"LIB0001","path":1,"kind":"fail","opcode":165,"status":3221225653})"), 0u);
    EXPECT_EQ(run(R"({"op":"move","handle":"c","from":"slot:1","to":"drive:1"})"), 0u);
    EXPECT_EQ(Where(world.libraries(), "VOL002L9"), "drive:1");

    ASSERT_EQ(run(R"({"op":"fault","drive":"LIB0001","kind":"fail","opcode":165,"sense":"04/15/01","executed":true})"), 0u);
    EXPECT_EQ(run(R"({"op":"move","handle":"c","from":"slot:2","to":"slot:3"})"), 0u);
    EXPECT_EQ(Where(world.libraries(), "VOL003L9"), "slot:3");

    // A move the library must refuse (its source is empty) fails on a path with a hardware error: it
    // is not taken for done because the source is empty and the destination full afterwards.
    run(R"({"op":"clear-faults","drive":"LIB0001"})");
    ASSERT_EQ(run(R"({"op":"fault","drive":"LIB0001","kind":"fail","opcode":165,"sense":"04/44/00"})"), 0u);
    EXPECT_NE(run(R"({"op":"move","handle":"c","from":"slot:0","to":"slot:3"})"), 0u);
    EXPECT_EQ(Where(world.libraries(), "VOL003L9"), "slot:3");

    run(R"({"op":"clear-faults","drive":"LIB0001"})");
    ASSERT_EQ(run(R"({"op":"elements","handle":"c"})"), 0u);
    int copies = 0;
    const auto libraries = world.libraries();
    for (const auto& element : libraries[0].elements) copies += element.full ? 1 : 0;
    EXPECT_EQ(copies, 3) << "three cartridges, each in one place";
    run(R"({"op":"close","handle":"c"})");
    world.shutdown();
    EXPECT_TRUE(world.violations().empty());
}

}  // namespace
