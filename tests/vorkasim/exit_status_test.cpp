// What vorkasim's exit status tells a script that runs a scenario: 0 when the media hold what the
// application was told it wrote, 1 as soon as any verify found otherwise, even when later steps
// overwrite what it found; requests the scenario makes fail on purpose do not fail the run.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "run_scenario_file.h"

namespace {

using nlohmann::json;
using vorkasim_test::Outcome;
using vorkasim_test::RunWithScenario;

// Another program writes one block straight to the drive's path device (Tape0), where the
// application's virtual device (Tape1) does not see it; the verify then finds a block nobody was
// told of. Afterwards the application rewinds and overwrites the whole tape through Tape1.
const char* const kWrittenBehindItsBack = R"({
  "drives": [{"serial": "VRKEXIT1", "vendor": "VORKA", "product": "VIRTUAL TAPE", "paths": [{"port": 0, "target": 1}]}],
  "steps": [{"op": "open", "device": "Tape0", "handle": "other"},
            {"op": "setblocksize", "handle": "other", "size": 0},
            {"op": "write", "handle": "other", "requests": 1, "bytes": 4096},
            {"op": "close", "handle": "other"},
            {"op": "open", "device": "Tape1", "handle": "app"},
            {"op": "verify"},
            {"op": "rewind", "handle": "app"},
            {"op": "setblocksize", "handle": "app", "size": 0},
            {"op": "write", "handle": "app", "requests": 1, "bytes": 4096},
            {"op": "close", "handle": "app"}]})";

TEST(ExitStatus, AVerifyThatFoundABlockNobodyWasToldOfFailsTheRunThoughTheEndIsClean)
{
    const Outcome run = RunWithScenario("behind.json", kWrittenBehindItsBack);
    EXPECT_EQ(run.exitCode, 1) << run.output;

    const Outcome report = RunWithScenario("behind.json", kWrittenBehindItsBack, "--json");
    EXPECT_EQ(report.exitCode, 1);
    const json document = json::parse(report.output, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << report.output;
    const json& verifyStep = document.at("steps").at(5);
    ASSERT_EQ(verifyStep.at("op"), "verify");
    EXPECT_EQ(verifyStep.at("verify").at("unexpected"), 1);
    EXPECT_FALSE(verifyStep.at("verify").at("clean").get<bool>());
    EXPECT_EQ(verifyStep.at("status"), "0xc0000001") << "the check itself reports its failure";
    EXPECT_TRUE(document.at("verify").at("clean").get<bool>()) << "the overwrite left a clean tape";
}

TEST(ExitStatus, ACleanVerifyAndRequestsThatFailOnPurposeLeaveTheRunSuccessful)
{
    // A write through a path whose every command fails is the scenario's point, not a failure of
    // the run; nothing the application was told it wrote is missing.
    const Outcome run = RunWithScenario("clean.json", R"({
      "drives": [{"serial": "VRKEXIT2", "paths": [{"port": 0, "target": 2}]}],
      "steps": [{"op": "open", "device": "Tape1", "handle": "app"},
                {"op": "setblocksize", "handle": "app", "size": 0},
                {"op": "write", "handle": "app", "requests": 2, "bytes": 4096},
                {"op": "fault", "drive": "VRKEXIT2", "kind": "down"},
                {"op": "write", "handle": "app", "requests": 1, "bytes": 4096},
                {"op": "clear-faults", "drive": "VRKEXIT2"},
                {"op": "verify"},
                {"op": "close", "handle": "app"}]})", "--json");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const json document = json::parse(run.output, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << run.output;
    EXPECT_NE(document.at("steps").at(4).at("status"), "0x00000000") << "the write failed as it should";
    EXPECT_EQ(document.at("steps").at(6).at("status"), "0x00000000");
    EXPECT_TRUE(document.at("steps").at(6).at("verify").at("clean").get<bool>());
}

}  // namespace
