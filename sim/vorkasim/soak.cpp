// Random scenarios (soak_draw.cpp draws them): one or two drives of one to four paths, each
// with a random mix of requests in fixed and variable mode and a random schedule of faults and
// path events, ending with a read-back and a verify. Every scenario runs on a fresh machine; a
// failure is written out as a scenario file that reproduces it with the plain command.
#include "soak.h"

#include <chrono>
#include <fstream>
#include <map>
#include <ostream>
#include <random>

#include <sim/hw/path.h>
#include <sim/hw/san.h>
#include <sim/hw/tape_drive.h>

#include "runner.h"
#include "scenario.h"
#include "soak_changer.h"
#include "soak_draw.h"
#include "text.h"

namespace vorkasim {
namespace {

struct Outcome {
    bool ok = true;
    std::string why;
    std::uint64_t blocks = 0;
    std::uint64_t reportedLoss = 0;
    std::uint64_t failedRequests = 0;  // requests that failed where the scenario allowed it
    // The library's part: changer requests, moves asked for and told done, failures allowed.
    std::uint64_t changerRequests = 0, moves = 0, movesDone = 0, changerFailures = 0;
};

// The statuses with which a read ends a file or the data: how a reader finds the end.
bool EndOfRead(const std::string& op, std::uint32_t status)
{
    return op == "read" && (status == 0x8000001Bu || status == 0x80000022u);
}

// Holds one step's result to what the scenario allows; fault and path steps are the schedule,
// not the application, and are not judged.
void Judge(const nlohmann::json& step, const StepResult& result, const DrawnScenario& drawn, Outcome* outcome)
{
    const std::string op = step.at("op").get<std::string>();
    if (op == "parallel") {
        const auto& results = result.data.at("results");
        for (std::size_t i = 0; i < results.size(); ++i) {
            StepResult each{step.at("steps")[i]};
            each.status = static_cast<std::uint32_t>(std::stoul(results[i].at("status").get<std::string>(), nullptr, 16));
            each.data = results[i];
            Judge(step.at("steps")[i], each, drawn, outcome);
        }
        return;
    }
    if (!IsDataStep(op) && op != "open" && op != "close") {
        return;
    }
    if ((op == "read" || op == "passthrough") && !result.data.value("stampsOk", true)) {
        outcome->ok = false;
        outcome->why += "a read of " + step.dump() + " found blocks that are not the drive's records; ";
    }
    if (result.status == 0 || EndOfRead(op, result.status)) {
        return;
    }
    // A small cartridge ends writes at its early warning (the data is written) and at its end.
    if ((op == "write" || op == "writefm") && drawn.endOfMediumHandles.count(step.value("handle", "")) != 0 &&
        (result.status == 0x8000001Eu || result.status == 0xC0000177u)) {
        return;
    }
    if (drawn.requestsMayFail) {
        ++outcome->failedRequests;
        return;
    }
    outcome->ok = false;
    outcome->why += "step " + step.dump() + " failed with " + StatusText(result.status) + "; ";
}

Outcome RunOne(const DrawnScenario& drawn, const WorldOptions& options)
{
    Outcome outcome;
    const Scenario scenario = ParseScenario(drawn.document);
    World world(scenario, options);
    world.boot();
    Runner runner(world, scenario);
    ChangerWatch changer(world, drawn);
    for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
        const auto& step = scenario.steps[i];
        changer.before();
        const StepResult result = runner.run(step);
        if (const std::string problem = changer.after(i, step, result.status, result.elements); !problem.empty()) {
            outcome.ok = false;
            outcome.why += problem + "; ";
        }
        if (drawn.mediumNotices.count(i) != 0 && result.status == static_cast<std::uint32_t>(STATUS_MEDIA_CHANGED)) {
            continue;  // the drive's notice of the cartridge just loaded
        }
        Judge(step, result, drawn, &outcome);
    }
    const nlohmann::json verify = runner.verifyAll();
    outcome.blocks = verify.at("blocks").get<std::uint64_t>();
    outcome.reportedLoss = verify.at("reportedLoss").get<std::uint64_t>();
    // Path faults never lose data; losses inside the drive are allowed only when the application
    // was told (and only where such a fault was drawn).
    if (!verify.at("clean").get<bool>() || (outcome.reportedLoss != 0 && !drawn.dataMayBeDestroyed)) {
        outcome.ok = false;
        outcome.why += "verify: " + VerifyVerdict(verify) + "; ";
    }
    // The application unlocked the medium at the end: no path of a drive that kept a healthy path
    // may still prevent its removal (the eject at the end of a backup would fail).
    for (const auto& serial : drawn.heldDrives) {
        const sim::hw::TapeDrive* drive = world.san().findDrive(serial);
        for (const sim::hw::Path* path : drive != nullptr ? world.san().pathsTo(*drive) : std::vector<sim::hw::Path*>{}) {
            if (drive->initiatorSettings(path->initiator()).preventRemoval) {
                outcome.ok = false;
                outcome.why += "drive " + serial + ": a path still prevents medium removal after the unlock; ";
            }
        }
    }
    for (const auto& problem : changer.check()) {
        outcome.ok = false;
        outcome.why += "library: " + problem + "; ";
    }
    outcome.changerRequests = changer.requests;
    outcome.moves = changer.moves;
    outcome.movesDone = changer.movesDone;
    outcome.changerFailures = changer.failedAllowed;
    world.shutdown();
    for (const auto& violation : world.violations()) {
        outcome.ok = false;
        outcome.why += "verifier: " + violation + "; ";
    }
    return outcome;
}

}  // namespace

// The scenario of one seed, its steps naming the virtual devices the drives (and the library) get.
// The library is drawn from a random sequence of its own, so that the drives' part of a seed is the
// same with or without one.
DrawnScenario DrawSoakScenario(std::uint64_t seed, const WorldOptions& options)
{
    std::mt19937_64 random(seed);
    std::mt19937_64 libraryRandom(seed ^ 0x5ABCDEF00C4A1E5ull);
    nlohmann::json document;
    document["drives"] = DrawSan(random);
    DrawDriveTimes(seed, document["drives"]);
    // Every other seed may get a library; its drives are drawn below, once the drives' part is known.
    const bool library = libraryRandom() % 2 == 0;
    if (library) {
        document["libraries"] = nlohmann::json::array({DrawLibrary(libraryRandom, document["drives"])});
    }
    std::vector<DriveDevice> devices;
    std::string changer;
    {
        const Scenario san = ParseScenario(document);
        World world(san, options);
        world.boot();
        std::vector<DeviceView> views;
        world.queryDevices(&views);
        std::vector<DeviceView> changers;
        world.queryChangers(&changers);
        world.shutdown();
        for (const auto& view : views) {
            devices.push_back({view.serial, view.name});
        }
        for (const auto& view : changers) {
            changer = view.name;
        }
    }
    std::mt19937_64 tapeOnly = random;
    DrawnScenario drawn = DrawSteps(tapeOnly, document["drives"], devices);
    if (!library || changer.empty()) {
        return drawn;
    }
    // A library's drive is one of a single path or one whose requests may fail anyway: after a
    // load every path of a drive holds the drive's notice of the new medium, and the tape bus
    // reports the old notices of the other paths when a request fails over to them (see
    // docs/soak.md), which a drive held to "no request fails" could not take.
    nlohmann::json eligible = nlohmann::json::array();
    for (const auto& drive : document["drives"]) {
        // Its cartridges come from the library, in the drive's usual settings.
        const bool plain = !drive.contains("capacity") && !drive.contains("blockSize") && !drive.contains("dpfFlags");
        if (plain &&
            (drive.at("paths").size() == 1 || drawn.heldDrives.count(drive.at("serial").get<std::string>()) == 0)) {
            eligible.push_back(drive);
        }
    }
    if (eligible.empty()) {
        return drawn;
    }
    const nlohmann::json chosen = DrawLibrary(libraryRandom, eligible);
    std::map<std::string, std::string> tapeDevices;
    for (const auto& device : devices) {
        tapeDevices[device.serial] = device.device;
    }
    ChangerLane lane(libraryRandom, chosen, changer, tapeDevices);
    drawn = DrawSteps(random, document["drives"], devices, &lane);
    lane.complete(drawn);
    return drawn;
}

bool RunSoakScenario(const DrawnScenario& drawn, const WorldOptions& options, std::string* why)
{
    const Outcome outcome = RunOne(drawn, options);
    *why = outcome.why;
    return outcome.ok;
}

std::uint64_t RunSoak(const SoakOptions& options, std::ostream& out)
{
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t failures = 0, blocks = 0, reportedLoss = 0, failedRequests = 0, faulty = 0;
    std::map<std::string, std::uint64_t> faults;
    std::uint64_t libraries = 0, changerRequests = 0, moves = 0, movesDone = 0, changerFailures = 0;
    for (std::uint64_t i = 0; i < options.count; ++i) {
        const std::uint64_t seed = options.seed + i;
        DrawnScenario drawn;
        Outcome outcome;
        try {
            drawn = DrawSoakScenario(seed, options.world);
            outcome = RunOne(drawn, options.world);
        } catch (const std::exception& error) {
            outcome.ok = false;
            outcome.why = std::string(error.what()) + "; ";
        }
        blocks += outcome.blocks;
        reportedLoss += outcome.reportedLoss;
        failedRequests += outcome.failedRequests;
        faulty += drawn.faults.empty() ? 0 : 1;
        libraries += drawn.library.empty() ? 0 : 1;
        changerRequests += outcome.changerRequests;
        moves += outcome.moves;
        movesDone += outcome.movesDone;
        changerFailures += outcome.changerFailures;
        for (const auto& [kind, count] : drawn.faults) {
            faults[kind] += count;
        }
        if (!outcome.ok) {
            ++failures;
            const auto file = options.failureDirectory / ("vorkasim-soak-" + std::to_string(seed) + ".json");
            std::ofstream(file) << drawn.document.dump(2) << "\n";
            out << (options.progress ? "\n" : "") << "FAILED seed " << seed
                << (drawn.dataMayBeDestroyed ? " (drive faults" : drawn.requestsMayFail ? " (every path hit" : " (path faults")
                << (drawn.library.empty() ? ")" : drawn.changerMayFail ? "; library: every control path hit)"
                                                                       : "; library: control path faults)")
                << ": " << outcome.why
                << "reproduce with: vorkasim " << file.string() << "\n";
        }
        if (options.progress) {
            constexpr int width = 40;
            const int done = static_cast<int>((i + 1) * width / options.count);
            out << "\r[" << std::string(done, '#') << std::string(width - done, ' ') << "] " << i + 1 << "/"
                << options.count << " failed " << failures << std::flush;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    out << (options.progress ? "\n" : "") << "soak: " << options.count << " scenarios from seed " << options.seed
        << " (" << faulty << " with faults), " << blocks << " blocks verified, " << failures << " failed, "
        << seconds << " s\n";
    out << "soak: faults and path events drawn:";
    for (const auto& [kind, count] : faults) {
        out << " " << kind << " " << count << ";";
    }
    out << "\nsoak: requests failed where the schedule allowed it " << failedRequests
        << ", blocks lost in a drive and reported to the application " << reportedLoss << "\n";
    out << "soak: " << libraries << " scenarios with a tape library: " << changerRequests << " changer requests, "
        << moves << " moves asked for (" << movesDone << " told done), " << changerFailures
        << " changer requests failed where every control path was hit\n";
    return failures;
}

}  // namespace vorkasim
