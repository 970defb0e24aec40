// The soak's tape libraries: drawing a library into a scenario with its changer workload and
// control-path faults, and checking a run against the library's ground truth.
//
// A library's steps form one lane that the drawer weaves into the drives' workloads: the
// changer handle is opened first, each library drive gets its cartridge moved in before its
// application opens the tape (sometimes after another cartridge was loaded, looked at, ejected
// and moved out again), then moves between slots and import/export elements, inventories,
// element reads and refused requests go on beside the tape work, with faults of the control
// paths among them. The lane ends with every fault cleared and a last read of the elements.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "world.h"

namespace sim::hw {
class TapeLibrary;
}

namespace vorkasim {

struct DrawnScenario;

// A library for a scenario, drawn from a random sequence of its own so that the tape part of every
// seed stays what it was before libraries were drawn at all: one to three control paths, four to
// seven slots, one or two import/export elements, some of `drives` (entries of "drives", at
// least one) as its drives, and a cartridge more than it has drives.
nlohmann::json DrawLibrary(std::mt19937_64& random, const nlohmann::json& drives);

class ChangerLane {
public:
    // `library` is DrawLibrary's result, `changer` the virtual changer's device ("Changer1"), and
    // `tapeDevices` the virtual tape device of each of the library's drives, by serial.
    ChangerLane(std::mt19937_64& random, const nlohmann::json& library, std::string changer,
                const std::map<std::string, std::string>& tapeDevices);

    // Hooks of the drawer's weaving. A library drive's application opens the tape, then its
    // cartridge is loaded and the application's first request takes the drive's notice of the new
    // medium; now and then one of the lane's groups goes between the drives' groups.
    void beforeOpen(const std::string& serial, nlohmann::json& steps);
    void afterOpen(const std::string& serial, const std::string& handle, nlohmann::json& steps);
    void between(nlohmann::json& steps);
    void finish(nlohmann::json& steps);

    // The library, its expectations and what was drawn, into the scenario.
    void complete(DrawnScenario& drawn) const;

private:
    struct Element {
        std::string name;
        std::string volume;  // empty: the element is empty
    };
    void draw();
    void drawSession(std::size_t driveIndex);
    void drawRequest();
    void drawFault();
    bool drawRobotRow();
    bool disturb(const std::string& op, const std::string& undo, nlohmann::json extra);
    bool arm(nlohmann::json fault);
    std::optional<unsigned> pickPath(bool undisturbed);
    void sendDueRestores(bool all);
    nlohmann::json libraryStep(const std::string& op) const;
    nlohmann::json move(const std::string& from, const std::string& to) const;
    Element* element(const std::string& name);
    std::vector<Element*> pick(bool full, bool driveElements);
    struct LaneGroup;
    static LaneGroup Single(nlohmann::json step);
    std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : random_() % n; }
    bool chance(unsigned num, unsigned den) { return below(den) < num; }
    void emit(nlohmann::json& steps);

    struct LaneGroup {
        std::vector<nlohmann::json> steps;
        std::string loads;             // serial of the drive whose session cartridge this group loads
        std::set<std::size_t> notices;  // indices within the group of steps that may see the new medium
        std::set<std::size_t> refused;  // indices of requests that the library is expected to refuse
        std::map<std::size_t, std::uint32_t> expected;  // indices of requests and the status they must end with
    };
    struct Restore {
        nlohmann::json step;
        int after = 0;
    };

    std::mt19937_64& random_;
    nlohmann::json library_;
    std::string serial_;
    std::string changer_;
    std::vector<std::string> driveSerials_;
    std::map<std::string, std::string> tapeDevices_;
    unsigned paths_ = 1;
    int healthy_ = -1;  // the control path no fault touches; -1: every control path may be hit
    std::vector<Element> elements_;  // the drawer's picture: import/export, drives, slots
    std::set<unsigned> disturbed_;
    std::vector<Restore> restores_;
    std::vector<LaneGroup> groups_;
    std::size_t next_ = 0;
    std::set<std::string> loaded_;
    // Filled while weaving: step indices in the scenario.
    std::set<std::size_t> notices_;
    std::set<std::size_t> refused_;
    std::map<std::size_t, std::uint32_t> expected_;
    std::map<std::string, std::uint64_t> faults_;
};

// One changer request of a run as the check sees it.
struct ChangerMove {
    std::string from, to, volume;
    bool operator==(const ChangerMove&) const = default;
};
struct ChangerRequest {
    std::string op;              // "move", "exchange", "inventory", "elements"
    std::string from, to;        // of a "move"
    bool succeeded = false;      // what the application was told
    std::vector<ChangerMove> happened;  // the moves the library made while the request ran
    std::vector<ElementView> reported;  // what a successful "elements" told the application
    std::vector<ElementView> truth;     // where every cartridge was right after the request
};
struct ChangerRun {
    std::vector<std::string> volumes;       // the library's cartridges at the start
    std::vector<ChangerRequest> requests;   // in the order they ran
    std::vector<ChangerMove> unasked;       // moves the library made while no changer request ran
    std::vector<ElementView> finalTruth;
};

// What is wrong with a run: a cartridge lost or found twice, a move told succeeded that did not
// happen exactly once, a move told failed that happened without the application learning where
// the cartridge went, an element read that differs from the ground truth, a move nobody asked for.
// Empty when the run is sound.
std::vector<std::string> CheckChangerRun(const ChangerRun& run);

// Watches a soak run's library: the changer requests with what the library did while each ran,
// held to what the scenario allows, and the check at the end.
class ChangerWatch {
public:
    ChangerWatch(World& world, const DrawnScenario& drawn);
    // Around every step of the scenario (its index in "steps").
    void before();
    // A problem when a changer request failed where the scenario does not allow it; empty otherwise.
    std::string after(std::size_t index, const nlohmann::json& step, std::uint32_t status,
                      const std::vector<ElementView>& elements);
    // CheckChangerRun on the run so far, with the ground truth of now.
    std::vector<std::string> check();

    std::uint64_t requests = 0;       // changer requests sent
    std::uint64_t moves = 0;          // moves asked for
    std::uint64_t movesDone = 0;      // moves the application was told succeeded
    std::uint64_t failedAllowed = 0;  // requests that failed where the scenario allowed it

private:
    std::vector<ChangerMove> movesSince(std::size_t first) const;
    std::vector<ElementView> truth() const;

    World& world_;
    const DrawnScenario& drawn_;
    const sim::hw::TapeLibrary* library_ = nullptr;
    std::size_t movesBefore_ = 0;
    std::vector<ElementView> truthBefore_;  // where every cartridge was when the step began
    ChangerRun run_;
};

// Element names of the library addresses (transport 0, import/export from 16, drives from 256,
// slots from 4096).
std::string ElementNameOfAddress(std::uint16_t address);

}  // namespace vorkasim
