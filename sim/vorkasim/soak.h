// The soak: many random scenarios, each run on a fresh machine and verified.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>

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

}  // namespace vorkasim
