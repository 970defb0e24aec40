// The soak: many random scenarios, each run on a fresh machine and verified.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>

#include "soak_draw.h"
#include "world.h"

namespace vorkasim {

struct SoakOptions {
    std::uint64_t count = 100;
    std::uint64_t seed = 1;
    WorldOptions world;
    std::filesystem::path failureDirectory = ".";  // where a failing scenario's file goes
    bool progress = false;                         // a progress bar (on a terminal)
};

// Runs `count` random scenarios, the i-th from seed + i, and prints a summary to `out`.
// Returns the number of scenarios that failed (each printed with its seed and the file that
// reproduces it).
std::uint64_t RunSoak(const SoakOptions& options, std::ostream& out);

// The scenario the soak draws for one seed (a fair share of seeds get a tape library too).
DrawnScenario DrawSoakScenario(std::uint64_t seed, const WorldOptions& options);
// Runs one drawn scenario on a fresh machine and holds it to what it allows; false with the
// reasons in `why` when it failed.
bool RunSoakScenario(const DrawnScenario& drawn, const WorldOptions& options, std::string* why);

}  // namespace vorkasim
