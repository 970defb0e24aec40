// vorkasim: boots a simulated Windows machine on a simulated storage network, with the
// Vorka tape bus and path filters installed, runs a scenario's steps and reports the
// virtual devices, the step results and the system event log.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <sim/objects.h>

#include "exec_step.h"
#include "runner.h"
#include "scenario.h"
#include "soak.h"
#include "text.h"
#include "world.h"

#ifndef VORKA_DRIVER_DIR
#define VORKA_DRIVER_DIR "drivers"
#endif

namespace {

using vorkasim::DeviceView;

void PrintDevices(const std::vector<DeviceView>& devices, const std::string& indent)
{
    std::cout << vorka::FormatDevices(devices, indent);
}

// The changer bus's virtual changers, in the form of the virtual tape devices.
void PrintChangers(const std::vector<DeviceView>& changers, const std::string& indent)
{
    if (changers.empty()) {
        std::cout << indent << "(no virtual changers)\n";
        return;
    }
    PrintDevices(changers, indent);
}

void PrintChangerPaths(const std::vector<vorkasim::ChangerPathView>& paths, const std::string& indent)
{
    for (const auto& path : paths) {
        char line[200];
        std::snprintf(line, sizeof(line), "%s%-10s library %s  %u:%u:%u:%u  adapter %u\n", indent.c_str(),
                      path.name.empty() ? "(none)" : path.name.c_str(), path.serial.c_str(), path.port, path.bus,
                      path.target, path.lun, path.port);
        std::cout << line;
    }
}

void PrintElements(const std::vector<vorkasim::ElementView>& elements, const std::string& indent)
{
    for (const auto& element : elements) {
        std::cout << indent << element.element << "  " << (element.full ? element.volume : std::string("-")) << "\n";
    }
}

// A program's standard output and error, line by line under its step.
void PrintProgramOutput(const nlohmann::json& data)
{
    for (const char* stream : {"stdout", "stderr"}) {
        std::istringstream lines(data.value(stream, std::string()));
        std::string line;
        while (std::getline(lines, line)) {
            std::cout << "  " << (stream[3] == 'o' ? "| " : "! ") << line << "\n";
        }
    }
}

std::string EventCode(std::uint32_t code)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", code);
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    // Everything after "--" is the arguments of the --exec program.
    std::vector<std::string> programArgs;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--") {
            for (int j = i + 1; j < argc; ++j) {
                programArgs.push_back(argv[j]);
            }
            argc = i;
            break;
        }
    }
    CLI::App app{"vorkasim: the Vorka path-failover drivers on a simulated Windows machine and SAN"};
    std::string scenarioFile;
    bool json = false;
    bool trace = false;
    std::string registryFile;
    std::string driverDirectory = VORKA_DRIVER_DIR;
    app.add_option("scenario", scenarioFile, "scenario file (JSON); none: two drives, two paths each")
        ->check(CLI::ExistingFile);
    app.add_flag("--json", json, "print one JSON document instead of the listing");
    app.add_flag("--trace", trace, "echo the drivers' trace lines to standard error");
    app.add_option("--registry", registryFile,
                   "registry file: loaded at boot when it exists, saved at the end (two runs are two boots)");
    app.add_option("--drivers", driverDirectory, "directory of the driver images")->check(CLI::ExistingDirectory);
    std::uint64_t soakCount = 0;
    std::uint64_t soakSeed = 1;
    std::string soakDirectory = ".";
    app.add_option("--soak", soakCount, "run N random scenarios, each verified, instead of a scenario");
    app.add_option("--seed", soakSeed, "first seed of the soak (scenario i uses seed + i)");
    app.add_option("--soak-dir", soakDirectory, "where the soak writes the scenario file of a failure")
        ->check(CLI::ExistingDirectory);
    std::string execModule;
    bool exec32 = false;
    app.add_option("--exec", execModule,
                   "after the steps, run this Windows program module (scripts/build-windows-program.sh) with the "
                   "arguments after --")
        ->check(CLI::ExistingFile);
    app.add_flag("--exec32", exec32, "run the --exec program in a 32-bit process");
    std::size_t failAllocation = 0;
    std::vector<std::string> failTags;
    app.add_option("--fail-allocation", failAllocation,
                   "low resources: the run's N-th pool allocation fails (1: the first); the JSON document "
                   "gives the run's \"poolAllocations\" count")
        ->check(CLI::PositiveNumber);
    app.add_option("--fail-tag", failTags, "low resources: every pool allocation with this four-character tag fails")
        ->check([](const std::string& tag) { return tag.size() == 4 ? std::string() : "a pool tag has four characters"; });
    CLI11_PARSE(app, argc, argv);

    if (soakCount != 0) {
        vorkasim::SoakOptions soak;
        soak.count = soakCount;
        soak.seed = soakSeed;
        soak.world.driverDirectory = driverDirectory;
        soak.world.traceEcho = trace;
        soak.failureDirectory = soakDirectory;
        soak.progress = isatty(STDOUT_FILENO) != 0;
        return vorkasim::RunSoak(soak, std::cout) == 0 ? 0 : 1;
    }

    vorkasim::Scenario scenario;
    try {
        if (scenarioFile.empty()) {
            scenario = vorkasim::DefaultScenario();
        } else {
            std::ifstream in(scenarioFile);
            scenario = vorkasim::ParseScenario(nlohmann::json::parse(in));
        }
    } catch (const std::exception& error) {
        std::cerr << "vorkasim: " << scenarioFile << ": " << error.what() << "\n";
        return 2;
    }

    vorkasim::WorldOptions options;
    options.driverDirectory = driverDirectory;
    if (!registryFile.empty()) {
        options.registryFile = registryFile;
    }
    options.traceEcho = trace;
    options.failNthAllocation = failAllocation;
    for (const auto& tag : failTags) {
        // As a driver writes it, 'ABCD': the first character is the most significant byte.
        std::uint32_t value = 0;
        for (char c : tag) value = value << 8 | static_cast<unsigned char>(c);
        options.failTags.push_back(value);
    }

    vorkasim::World world(scenario, options);
    std::vector<vorkasim::StepResult> results;
    std::vector<DeviceView> finalDevices;
    std::vector<vorkasim::ChangerPathView> finalChangerPaths;
    std::vector<DeviceView> finalChangers;
    std::string controlDevice;
    std::optional<sim::win32::ProgramResult> execResult;
    std::string failure;
    bool scenarioError = false;
    nlohmann::json media = nlohmann::json::array();
    nlohmann::json verify;
    try {
        world.boot();
        if (sim::FindDevice(u"\\Device\\VorkaTBusDvc") != nullptr) {
            auto target = sim::SymbolicLinkTarget(u"\\??\\VorkaTBusDvcLnk");
            controlDevice = "\\Device\\VorkaTBusDvc, link \\??\\VorkaTBusDvcLnk -> " +
                            (target ? vorkasim::Utf8(*target) : std::string("(missing)"));
        }
        vorkasim::Runner runner(world, scenario);
        for (const auto& step : scenario.steps) {
            // With --trace, mark where each step starts so the drivers' lines can be read per step.
            if (trace) std::cerr << "=== Step " << results.size() + 1 << ": " << step.dump() << std::endl;
            results.push_back(runner.run(step));
        }
        if (!execModule.empty()) {
            execResult = vorkasim::RunExec(world, execModule, programArgs, exec32);
        }
        world.queryDevices(&finalDevices);
        finalChangerPaths = world.changerPaths();
        world.queryChangers(&finalChangers);
        media = runner.media();
        verify = runner.verifyAll();
        world.shutdown();
    } catch (const vorkasim::ScenarioError& error) {
        failure = error.what();
        scenarioError = true;
    } catch (const std::exception& error) {
        failure = error.what();
    }
    const auto events = world.events();

    if (json) {
        nlohmann::json document;
        document["devices"] = vorkasim::DevicesToJson(finalDevices);
        document["controlDevice"] = controlDevice;
        nlohmann::json eventsJson = nlohmann::json::array();
        for (const auto& event : events) {
            nlohmann::json strings = nlohmann::json::array();
            for (std::size_t i = 0; i < event.strings.size(); ++i) {
                strings.push_back(event.stringUtf8(i));
            }
            eventsJson.push_back({{"code", vorkasim::StatusText(static_cast<std::uint32_t>(event.errorCode))},
                                  {"source", vorkasim::Utf8(event.source.driverName)},
                                  {"strings", strings},
                                  {"text", event.displayText()}});
        }
        document["events"] = eventsJson;
        nlohmann::json stepsJson = nlohmann::json::array();
        for (const auto& result : results) {
            nlohmann::json entry = result.step;
            entry["status"] = vorkasim::StatusText(result.status);
            if (result.step.at("op") == "list") {
                entry["devices"] = vorkasim::DevicesToJson(result.devices);
                entry["changerPaths"] = vorkasim::ChangerPathsToJson(result.changerPaths);
                entry["changers"] = vorkasim::DevicesToJson(result.changers);
            }
            if (result.step.at("op") == "elements") {
                entry["elements"] = vorkasim::ElementsToJson(result.elements);
            }
            entry.update(result.data);
            if (!result.detail.empty()) {
                entry["detail"] = result.detail;
            }
            if (!result.leftBehind.is_null()) {
                entry["leftBehind"] = result.leftBehind;
            }
            stepsJson.push_back(entry);
        }
        document["steps"] = stepsJson;
        document["violations"] = world.violations();
        document["changerPaths"] = vorkasim::ChangerPathsToJson(finalChangerPaths);
        document["libraries"] = vorkasim::LibrariesToJson(world.libraries());
        document["changers"] = vorkasim::DevicesToJson(finalChangers);
        document["media"] = media;
        document["poolAllocations"] = world.poolAllocations();
        document["poolFailuresInjected"] = world.injectedPoolFailures();
        if (const auto refused = world.lastInjectedPoolFailure()) {
            document["poolFailureRefused"] = {{"tag", sim::PoolTagText(refused->tag)},
                                              {"owner", refused->owner},
                                              {"bytes", refused->size}};
        }
        if (!verify.is_null()) {
            document["verify"] = verify;
        }
        if (execResult) {
            document["exec"] = vorkasim::ProgramResultToJson(*execResult);
            document["exec"]["program"] = execModule;
            document["exec"]["args"] = programArgs;
        }
        if (!failure.empty()) {
            document["error"] = failure;
        }
        std::cout << document.dump(2) << "\n";
    } else {
        std::cout << "Vorka simulator: " << scenario.drives.size() << " drive(s)";
        if (!scenario.libraries.empty()) {
            std::cout << " and " << scenario.libraries.size() << " library(ies)";
        }
        std::cout << " on the SAN\n";
        std::cout << "Control device: " << (controlDevice.empty() ? "(not created)" : controlDevice) << "\n";
        for (std::size_t i = 0; i < results.size(); ++i) {
            const auto& result = results[i];
            std::cout << "\nStep " << i + 1 << ": " << result.step.dump() << " -> "
                      << vorkasim::StatusText(result.status) << "\n";
            if (!result.detail.empty()) {
                std::cout << "  " << result.detail << "\n";
            }
            if (result.step.at("op") == "exec") {
                PrintProgramOutput(result.data);
            } else if (!result.data.empty() && result.step.at("op") != "verify") {
                std::cout << "  " << result.data.dump() << "\n";
            }
            if (result.step.at("op") == "list") {
                PrintDevices(result.devices, "  ");
                PrintChangerPaths(result.changerPaths, "  ");
                if (!result.changers.empty()) {
                    PrintChangers(result.changers, "  ");
                }
            }
            if (result.step.at("op") == "elements") {
                PrintElements(result.elements, "    ");
            }
        }
        if (execResult) {
            std::cout << "\nProgram " << execModule << ": " << vorkasim::ExitText(*execResult) << "\n";
            PrintProgramOutput(vorkasim::ProgramResultToJson(*execResult));
        }
        std::cout << "\nVirtual tape devices at the end:\n";
        PrintDevices(finalDevices, "  ");
        if (!finalChangerPaths.empty()) {
            std::cout << "\nChanger path devices at the end:\n";
            PrintChangerPaths(finalChangerPaths, "  ");
            std::cout << "\nVirtual changers at the end:\n";
            PrintChangers(finalChangers, "  ");
        }
        for (const auto& library : world.libraries()) {
            std::cout << "\nLibrary " << library.serial << " (where every cartridge is):\n";
            PrintElements(library.elements, "  ");
        }
        std::cout << "\nSystem event log:\n";
        for (const auto& event : events) {
            std::cout << "  " << EventCode(static_cast<std::uint32_t>(event.errorCode)) << "  "
                      << vorkasim::Utf8(event.source.driverName) << ": " << event.displayText() << "\n";
        }
        if (!verify.is_null() && (verify.at("blocks").get<std::uint64_t>() + verify.at("filemarks").get<std::uint64_t>() != 0 ||
                                  !verify.at("clean").get<bool>())) {
            std::cout << "\nVerify (the media against what the application was told it wrote): "
                      << vorkasim::VerifyVerdict(verify) << "\n";
        }
        for (const auto& violation : world.violations()) {
            std::cout << "VERIFIER: " << violation << "\n";
        }
        if (!failure.empty()) {
            std::cout << "ERROR: " << failure << "\n";
        }
    }
    if (scenarioError) {
        std::cerr << "vorkasim: " << scenarioFile << ": " << failure << "\n";
        return 2;
    }
    // A medium that does not hold what the application was told it wrote fails the run: at the end,
    // or at any verify step on the way (a later overwrite may hide what that step found).
    bool verified = verify.is_null() || verify.at("clean").get<bool>();
    for (const auto& result : results) {
        if (result.step.at("op") == "verify" && !result.data.at("verify").at("clean").get<bool>()) {
            verified = false;
        }
    }
    // The program run after the steps fails the run when it fails.
    const bool programOk = !execResult || execResult->exitCode == 0;
    return failure.empty() && world.violations().empty() && verified && programOk ? 0 : 1;
}
