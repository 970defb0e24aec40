// Drawing the soak's random scenarios: the SAN, each drive's workload and its fault schedule.
//
// A workload is a sequence of requests an application sends on one handle, drawn from a table
// of workload kinds; faults and path Plug and Play events are drawn from a table of fault kinds
// and placed between (or beside) the requests. New workloads (a changer's moves, say) are new
// rows of the workload table.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorkasim {

// What a drawn scenario may legitimately see, so that the soak knows what to hold it to.
struct DrawnScenario {
    nlohmann::json document;
    // Some request may fail: a fault hit every path of a drive, or a drive-wide fault was drawn.
    bool requestsMayFail = false;
    // A fault that destroys data inside a drive was drawn: losses the application was told of
    // are allowed.
    bool dataMayBeDestroyed = false;
    // Faults and path events drawn, by kind.
    std::map<std::string, std::uint64_t> faults;
    // A tape library (soak_changer.h): its serial, empty without one.
    std::string library;
    // Every control path of the library may be hit: changer requests may fail.
    bool changerMayFail = false;
    // Steps (indices in "steps") that are the first request after a cartridge was loaded: the
    // drive's STATUS_MEDIA_CHANGED may end them.
    std::set<std::size_t> mediumNotices;
    // Drives that keep a path no fault touches (every request of theirs must succeed).
    std::set<std::string> heldDrives;
    // Changer requests the library is expected to refuse (a move from an empty element, an
    // exchange with one picker).
    std::set<std::size_t> changerRefusals;
    // Changer requests that must fail with this NT status where the library keeps a control path no
    // fault touches (a move the robot dropped in its picker, one tried while the robot was busy or
    // the door open); elsewhere they must fail, and a dropped move never as an empty source.
    std::map<std::size_t, std::uint32_t> changerExpected;
    // Handles of drives with a small cartridge: a write may end at its early warning or its end.
    std::set<std::string> endOfMediumHandles;
};

class ChangerLane;

// The drives of a scenario and the virtual device each one gets, once the SAN is known.
struct DriveDevice {
    std::string serial;
    std::string device;  // "Tape0"
};

// The SAN part of the scenario of one seed (one or two drives of one to four paths).
nlohmann::json DrawSan(std::mt19937_64& random);
// Load and unload times and buffer drains for some of DrawSan's drives, from a random sequence of
// the seed's own for them (so that the rest of a seed's draw stays as it was).
void DrawDriveTimes(std::uint64_t seed, nlohmann::json& drives);

// The steps of the scenario: a workload per drive with its faults, interleaved, ending with a
// read-back of every drive, all faults cleared and a verify. `san` is DrawSan's result. With a
// `lane`, a library's steps are woven in (they draw from the lane's own random sequence, so the
// drives' part stays the same).
DrawnScenario DrawSteps(std::mt19937_64& random, const nlohmann::json& san, const std::vector<DriveDevice>& devices,
                        ChangerLane* lane = nullptr);

}  // namespace vorkasim
