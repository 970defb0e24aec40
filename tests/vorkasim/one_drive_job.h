// A backup job on one simulated drive: the world booted with the drive's paths, the scenario's
// steps run one at a time, and at the end a shutdown that must leave no verifier report.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sim/hw/san.h>
#include <sim/hw/tape_drive.h>

#include "runner.h"
#include "scenario.h"
#include "test_world.h"
#include "world.h"

namespace vorkasim::testing {

class OneDriveJob : public ::testing::Test {
protected:
    // Boots a machine with one drive reached over `paths` paths (ports 0, 1, ..., target 1), with the
    // drive keys of `fields` on top.
    void bootDrive(const std::string& serial, const std::string& wwnn, bool buffered, int paths,
                   const nlohmann::json& fields = nlohmann::json::object())
    {
        nlohmann::json drive = {{"serial", serial}, {"wwnn", wwnn}, {"buffered", buffered},
                                {"paths", nlohmann::json::array()}};
        drive.update(fields);
        for (unsigned p = 0; p < static_cast<unsigned>(paths); ++p) {
            drive["paths"].push_back({{"port", p}, {"target", 1u}});
        }
        bootScenario(nlohmann::json{{"drives", nlohmann::json::array({drive})}});
    }
    void bootScenario(const nlohmann::json& scenario)
    {
        scenario_ = ParseScenario(scenario);
        world_ = std::make_unique<World>(scenario_, vorkasim_test::TestWorldOptions());
        world_->boot();
        runner_ = std::make_unique<Runner>(*world_, scenario_);
    }
    void TearDown() override
    {
        if (world_) {
            world_->shutdown();
            EXPECT_TRUE(world_->violations().empty());
        }
    }
    StepResult run(const nlohmann::json& step) { return runner_->run(step); }
    nlohmann::json verify() { return run({{"op", "verify"}}).data.at("verify"); }
    // The application closes its handle, then the media are held to what it was told.
    nlohmann::json closeAndVerify(const std::string& handle = "h")
    {
        run({{"op", "close"}, {"handle", handle}});
        return verify();
    }
    sim::hw::TapeDrive& driveNamed(const std::string& serial) { return *world_->san().findDrive(serial); }
    // Another host writes a filemark where the drive stands, behind the application's back.
    void markFromAnotherHost(const std::string& serial)
    {
        sim::hw::TapeDrive& drive = driveNamed(serial);
        const auto other = drive.attachInitiator("another host");
        const std::uint8_t mark[6] = {0x10, 0, 0, 0, 1, 0};
        for (int attempt = 0; attempt < 3; ++attempt) {  // past the new nexus's unit attention
            if (drive.execute(other, sim::hw::Command{mark, {}, 0}).good()) {
                return;
            }
        }
        ADD_FAILURE() << "the other host's filemark was refused";
    }
    // `requests` writes of `bytes` each on the handle "h".
    StepResult write(int requests, int bytes)
    {
        return run({{"op", "write"}, {"handle", "h"}, {"requests", requests}, {"bytes", bytes}});
    }
    // The lengths of the records on a drive's medium, in order (0 for a filemark), its buffer included.
    std::vector<std::size_t> recordLengthsOf(const std::string& serial)
    {
        std::vector<std::size_t> lengths;
        for (const auto& record : driveNamed(serial).logicalRecords()) {
            lengths.push_back(record.isFilemark() ? 0 : record.data.size());
        }
        return lengths;
    }

    Scenario scenario_;
    std::unique_ptr<World> world_;
    std::unique_ptr<Runner> runner_;
};

}  // namespace vorkasim::testing
