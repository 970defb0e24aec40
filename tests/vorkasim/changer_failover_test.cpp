// The built-in scenario's tape library: its primary control path fails a MOVE MEDIUM, the changer
// bus completes the move over the other control path, and the ground truth shows the cartridge
// moved once. The JSON document reports the virtual changers at the end and in every listing.
#include <cstdio>
#include <string>
#include <sys/wait.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "run_scenario_file.h"

namespace {

using nlohmann::json;

json RunDefaultScenarioAsJson(int* exitCode)
{
    const vorkasim_test::Outcome run = vorkasim_test::RunVorkasim("--json");
    *exitCode = run.exitCode;
    return json::parse(run.output, nullptr, false);
}

TEST(ChangerFailoverScenario, AMoveFailedOnTheControlPathCompletesOnTheOtherAndMovesTheCartridgeOnce)
{
    int code = -1;
    const json document = RunDefaultScenarioAsJson(&code);
    ASSERT_FALSE(document.is_discarded());
    EXPECT_EQ(code, 0) << "the backup verifies clean and nothing is left behind";
    for (const char* key : {"devices", "events", "steps", "changerPaths", "libraries", "media", "violations",
                            "controlDevice", "changers"}) {
        EXPECT_TRUE(document.contains(key)) << key;
    }

    // The move succeeded.
    const json* move = nullptr;
    const json* lastList = nullptr;
    for (const auto& step : document.at("steps")) {
        if (step.at("op") == "move") move = &step;
        if (step.at("op") == "list") {
            EXPECT_TRUE(step.contains("changers")) << "every listing shows the virtual changers";
            lastList = &step;
        }
    }
    ASSERT_NE(move, nullptr);
    EXPECT_EQ(move->at("status"), "0x00000000");

    // One virtual changer for the library's two control paths; after the failover the second
    // control path is primary.
    ASSERT_NE(lastList, nullptr);
    for (const json* changers : {&lastList->at("changers"), &document.at("changers")}) {
        ASSERT_EQ(changers->size(), 1u);
        const json& changer = changers->at(0);
        EXPECT_EQ(changer.at("name"), "Changer1");
        EXPECT_EQ(changer.at("serial"), "VRKLIB0000000001");
        ASSERT_EQ(changer.at("paths").size(), 2u);
        EXPECT_EQ(changer.at("paths")[0].at("primary"), false);
        EXPECT_EQ(changer.at("paths")[1].at("primary"), true);
        EXPECT_EQ(changer.at("paths")[1].at("port"), 1);
    }

    // The ground truth: the cartridge is in the drive, once, and its slot is empty.
    ASSERT_EQ(document.at("libraries").size(), 1u);
    int copies = 0;
    for (const auto& element : document.at("libraries")[0].at("elements")) {
        if (element.at("full") == true && element.at("volume") == "VOL001L9") {
            copies++;
            EXPECT_EQ(element.at("element"), "drive:0");
        }
        if (element.at("element") == "slot:0") EXPECT_EQ(element.at("full"), false);
        if (element.at("element") == "slot:1") EXPECT_EQ(element.at("volume"), "VOL002L9");
    }
    EXPECT_EQ(copies, 1);

    // The changer bus logged the failover with the sense the control path reported.
    int failovers = 0;
    for (const auto& event : document.at("events")) {
        if (event.at("source") == "\\Driver\\vorkacbus" && event.at("code") == "0x80000004") {
            failovers++;
            ASSERT_EQ(event.at("strings").size(), 2u);
            EXPECT_EQ(event.at("strings")[0], "(SCSI CHECK 4/15/1)");
            EXPECT_EQ(event.at("strings")[1], "0x304024");
        }
    }
    EXPECT_EQ(failovers, 1);
}

}  // namespace
