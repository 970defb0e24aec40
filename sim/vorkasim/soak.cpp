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

#include "runner.h"
#include "scenario.h"
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
    if (op == "read" && !result.data.value("stampsOk", true)) {
        outcome->ok = false;
        outcome->why += "a read of " + step.dump() + " found blocks that are not the drive's records; ";
    }
    if (result.status == 0 || EndOfRead(op, result.status)) {
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
    for (const auto& step : scenario.steps) {
        Judge(step, runner.run(step), drawn, &outcome);
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
    world.shutdown();
    for (const auto& violation : world.violations()) {
        outcome.ok = false;
        outcome.why += "verifier: " + violation + "; ";
    }
    return outcome;
}

// The scenario of one seed, its steps naming the virtual devices the drives get.
DrawnScenario MakeScenario(std::uint64_t seed, const WorldOptions& options)
{
    std::mt19937_64 random(seed);
    nlohmann::json document;
    document["drives"] = DrawSan(random);
    std::vector<DriveDevice> devices;
    {
        const Scenario san = ParseScenario(document);
        World world(san, options);
        world.boot();
        std::vector<DeviceView> views;
        world.queryDevices(&views);
        world.shutdown();
        for (const auto& view : views) {
            devices.push_back({view.serial, view.name});
        }
    }
    return DrawSteps(random, document["drives"], devices);
}

}  // namespace

std::uint64_t RunSoak(const SoakOptions& options, std::ostream& out)
{
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t failures = 0, blocks = 0, reportedLoss = 0, failedRequests = 0, faulty = 0;
    std::map<std::string, std::uint64_t> faults;
    for (std::uint64_t i = 0; i < options.count; ++i) {
        const std::uint64_t seed = options.seed + i;
        DrawnScenario drawn;
        Outcome outcome;
        try {
            drawn = MakeScenario(seed, options.world);
            outcome = RunOne(drawn, options.world);
        } catch (const std::exception& error) {
            outcome.ok = false;
            outcome.why = std::string(error.what()) + "; ";
        }
        blocks += outcome.blocks;
        reportedLoss += outcome.reportedLoss;
        failedRequests += outcome.failedRequests;
        faulty += drawn.faults.empty() ? 0 : 1;
        for (const auto& [kind, count] : drawn.faults) {
            faults[kind] += count;
        }
        if (!outcome.ok) {
            ++failures;
            const auto file = options.failureDirectory / ("vorkasim-soak-" + std::to_string(seed) + ".json");
            std::ofstream(file) << drawn.document.dump(2) << "\n";
            out << (options.progress ? "\n" : "") << "FAILED seed " << seed
                << (drawn.dataMayBeDestroyed ? " (drive faults)" : drawn.requestsMayFail ? " (every path hit)" : " (path faults)")
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
    return failures;
}

}  // namespace vorkasim
