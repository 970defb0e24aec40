// What the scenario tests share: the machine they boot and the NT statuses their jobs expect.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

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

constexpr std::uint32_t kStatusBusReset = 0x8000001D;
constexpr std::uint32_t kStatusDeviceDataError = 0xC000009C;
constexpr std::uint32_t kStatusDeviceNotConnected = 0xC000009D;
constexpr std::uint32_t kStatusIoTimeout = 0xC00000B5;

}  // namespace vorkasim_test
