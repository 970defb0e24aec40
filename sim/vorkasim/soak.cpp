// Random scenarios: one or two drives of one to four paths, each with a random mix of
// writes, filemarks and reads in fixed and variable mode, ending with a read-back and a
// verify. Every scenario runs on a fresh machine; a failure is written out as a scenario
// file that reproduces it with the plain command.
//
// Fault schedules are not drawn yet: the workloads here have no faults.
#include "soak.h"

#include <chrono>
#include <fstream>
#include <ostream>
#include <random>

#include "runner.h"
#include "scenario.h"
#include "text.h"

namespace vorkasim {
namespace {

// The drives and paths of a scenario (its steps come once the device names are known).
nlohmann::json RandomSan(std::mt19937_64& random)
{
    nlohmann::json drives = nlohmann::json::array();
    const int driveCount = 1 + static_cast<int>(random() % 2);
    for (int d = 0; d < driveCount; ++d) {
        nlohmann::json paths = nlohmann::json::array();
        const int pathCount = 1 + static_cast<int>(random() % 4);
        for (int p = 0; p < pathCount; ++p) {
            paths.push_back({{"port", static_cast<unsigned>(p)}, {"target", static_cast<unsigned>(d + 1)}});
        }
        char wwnn[17];
        std::snprintf(wwnn, sizeof wwnn, "5abcdef0000%05d", d + 1);
        drives.push_back({{"serial", "VRKSOAK" + std::to_string(d + 1)},
                          {"wwnn", wwnn},
                          {"buffered", random() % 2 == 0},
                          {"paths", paths}});
    }
    return drives;
}

// A backup job on one handle: files of random blocks, fixed or variable, each ended by a
// filemark; then the whole tape read back.
void RandomJob(std::mt19937_64& random, const std::string& handle, const std::string& device,
               nlohmann::json* steps)
{
    steps->push_back({{"op", "open"}, {"device", device}, {"handle", handle}});
    const int files = 1 + static_cast<int>(random() % 4);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> layout;  // (block size, blocks) per file
    for (int f = 0; f < files; ++f) {
        const std::uint32_t blockSize = random() % 2 == 0 ? 0u : (random() % 2 == 0 ? 512u : 4096u);
        steps->push_back({{"op", "setblocksize"}, {"handle", handle}, {"size", blockSize}});
        const std::uint32_t requests = 1 + static_cast<std::uint32_t>(random() % 30);
        const std::uint32_t bytes = blockSize == 0 ? 16 + static_cast<std::uint32_t>(random() % 65520)
                                                   : blockSize * (1 + static_cast<std::uint32_t>(random() % 16));
        steps->push_back({{"op", "write"}, {"handle", handle}, {"requests", requests}, {"bytes", bytes}});
        steps->push_back({{"op", "writefm"}, {"handle", handle}, {"count", 1}});
        layout.push_back({blockSize, blockSize == 0 ? requests : requests * (bytes / blockSize)});
        if (random() % 4 == 0) {
            steps->push_back({{"op", "getpos"}, {"handle", handle}});
        }
    }
    steps->push_back({{"op", "rewind"}, {"handle", handle}});
    for (const auto& [blockSize, blocks] : layout) {
        steps->push_back({{"op", "setblocksize"}, {"handle", handle}, {"size", blockSize}});
        // One request more than the file has: the last one meets the filemark.
        steps->push_back({{"op", "read"},
                          {"handle", handle},
                          {"requests", blocks + 1},
                          {"bytes", blockSize == 0 ? 65536u : blockSize}});
    }
    steps->push_back({{"op", "space"}, {"handle", handle}, {"kind", "eod"}});
    steps->push_back({{"op", "close"}, {"handle", handle}});
}

struct Outcome {
    bool ok = true;
    std::string why;
    std::uint64_t blocks = 0;
};

Outcome RunOne(const nlohmann::json& document, const WorldOptions& options)
{
    Outcome outcome;
    const Scenario scenario = ParseScenario(document);
    World world(scenario, options);
    world.boot();
    Runner runner(world, scenario);
    for (const auto& step : scenario.steps) {
        const StepResult result = runner.run(step);
        const std::string op = step.at("op").get<std::string>();
        if (op == "read" && !result.data.value("stampsOk", true)) {
            outcome.ok = false;
            outcome.why += "a read found blocks that are not the drive's records; ";
        }
        const bool endOfFile = op == "read" && result.status == 0x8000001Bu;
        if (result.status != 0 && !endOfFile) {
            outcome.ok = false;
            outcome.why += "step " + step.dump() + " failed with " + StatusText(result.status) + "; ";
        }
    }
    const nlohmann::json verify = runner.verifyAll();
    outcome.blocks = verify.at("blocks").get<std::uint64_t>();
    if (!verify.at("clean").get<bool>() || verify.at("reportedLoss").get<std::uint64_t>() != 0) {
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
nlohmann::json MakeScenario(std::uint64_t seed, const WorldOptions& options)
{
    std::mt19937_64 random(seed);
    nlohmann::json document;
    document["drives"] = RandomSan(random);
    std::vector<DeviceView> devices;
    {
        const Scenario san = ParseScenario(document);
        World world(san, options);
        world.boot();
        world.queryDevices(&devices);
        world.shutdown();
    }
    nlohmann::json steps = nlohmann::json::array();
    for (std::size_t d = 0; d < document["drives"].size(); ++d) {
        const std::string serial = document["drives"][d]["serial"];
        for (const auto& device : devices) {
            if (device.serial == serial) {
                RandomJob(random, "h" + std::to_string(d), device.name, &steps);
            }
        }
    }
    steps.push_back({{"op", "verify"}});
    document["steps"] = steps;
    return document;
}

}  // namespace

std::uint64_t RunSoak(const SoakOptions& options, std::ostream& out)
{
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t failures = 0;
    std::uint64_t blocks = 0;
    for (std::uint64_t i = 0; i < options.count; ++i) {
        const std::uint64_t seed = options.seed + i;
        nlohmann::json document;
        Outcome outcome;
        try {
            document = MakeScenario(seed, options.world);
            outcome = RunOne(document, options.world);
        } catch (const std::exception& error) {
            outcome.ok = false;
            outcome.why = std::string(error.what()) + "; ";
        }
        blocks += outcome.blocks;
        if (!outcome.ok) {
            ++failures;
            const auto file = options.failureDirectory / ("vorkasim-soak-" + std::to_string(seed) + ".json");
            std::ofstream(file) << document.dump(2) << "\n";
            out << (options.progress ? "\n" : "") << "FAILED seed " << seed << ": " << outcome.why
                << "reproduce with: vorkasim " << file.string() << "\n";
        }
        if (options.progress) {
            constexpr int width = 40;
            const int done = static_cast<int>((i + 1) * width / options.count);
            out << "\r[" << std::string(done, '#') << std::string(width - done, ' ') << "] " << i + 1 << "/"
                << options.count << std::flush;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    out << (options.progress ? "\n" : "") << "soak: " << options.count << " scenarios from seed " << options.seed
        << ", " << blocks << " blocks verified, " << failures << " failed, " << seconds << " s\n";
    return failures;
}

}  // namespace vorkasim
