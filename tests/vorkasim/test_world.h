// What the scenario tests share: the machine they boot and the NT statuses their jobs expect.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "runner.h"
#include "scenario.h"
#include "world.h"

namespace vorkasim_test {

// Driver images from this build. ctest runs every scenario test a second time, as
// "DpcCompletion.<test>", with the SAN adapter completing requests from a DPC at DISPATCH_LEVEL.
inline vorkasim::WorldOptions TestWorldOptions()
{
    vorkasim::WorldOptions options;
    options.driverDirectory = VORKA_DRIVER_DIR;
    const char* mode = std::getenv("VORKA_SAN_COMPLETION");
    options.sanCompletesFromDpc = mode != nullptr && std::string(mode) == "dpc";
    return options;
}

// A booted machine of one scenario document with an application's handle "c" open on Changer1
// (closed, and the machine shut down without a verifier report, at the end).
class ChangerSession {
 protected:
  explicit ChangerSession(const nlohmann::json& document)
      : scenario_(vorkasim::ParseScenario(document)), world_(scenario_, TestWorldOptions())
  {
    world_.boot();
    runner_ = std::make_unique<vorkasim::Runner>(world_, scenario_);
    EXPECT_EQ(run(R"({"op":"open","device":"Changer1","handle":"c"})"), 0u);
  }
  ~ChangerSession()
  {
    run(R"({"op":"close","handle":"c"})");
    world_.shutdown();
    EXPECT_TRUE(world_.violations().empty());
  }
  std::uint32_t run(const std::string& step) { return runner_->run(nlohmann::json::parse(step)).status; }

  vorkasim::Scenario scenario_;
  vorkasim::World world_;
  std::unique_ptr<vorkasim::Runner> runner_;
};

constexpr std::uint32_t kStatusBusReset = 0x8000001D;
constexpr std::uint32_t kStatusDeviceDataError = 0xC000009C;
constexpr std::uint32_t kStatusDeviceNotConnected = 0xC000009D;
constexpr std::uint32_t kStatusIoTimeout = 0xC00000B5;

}  // namespace vorkasim_test
