// The "install" and "uninstall" steps: the installer library's exports called as its front
// ends call them, in a simulated process whose current directory holds the driver package.
// The step's result carries the export's return value ("result"), the exit code when the
// installer ended the process ("exitCode"), the message boxes it showed ("messageBoxes")
// and what it printed ("log").
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <sim/machine.h>
#include <sim/pnp.h>
#include <sim/process.h>

#include "runner.h"
#include "world.h"

#ifdef VORKASIM_WITH_INSTALLER
#include "Installer.h"
#include "sim/win32.h"
#include "sim/win32_setup.h"
#include "windows.h"
#endif

namespace vorkasim {
namespace {

#ifdef VORKASIM_WITH_INSTALLER

// Where the driver package sits on the simulated disk; the installer runs in this folder.
constexpr char kPackageFolder[] = "C:\\Vorka";

// The package as the build makes it: the INF files, and an image per driver. The simulated
// kernel loads the drivers it builds by service name; the images only have to be there.
void StagePackage()
{
    auto& disk = sim::win32::Disk::Get();
    for (const char* inf : {"armbasef", "reelbasf", "vorkacbus", "vorkatbus"}) {
        const std::string source = std::string(VORKA_INSTALLER_PACKAGE_DIR) + "/" + inf + ".inf";
        std::ifstream file(source, std::ios::binary);
        if (!file) {
            throw std::runtime_error("the driver package's INF file is missing: " + source);
        }
        std::ostringstream text;
        text << file.rdbuf();
        disk.writeFile(std::string(kPackageFolder) + "\\drivers\\" + inf + ".inf", text.str());
    }
    for (const char* image : {"vorkachgr", "vorkatape", "vorkacbus", "vorkatbus", "vorkacflt", "vorkatflt"}) {
        disk.writeFile(std::string(kPackageFolder) + "\\drivers\\" + image + ".sys",
                       std::string("driver image ") + image);
    }
}

// Collects what the process writes to standard output and standard error while it lives.
class OutputCapture {
public:
    OutputCapture()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        file_ = std::tmpfile();
        if (file_ == nullptr) {
            return;
        }
        savedOut_ = dup(1);
        savedErr_ = dup(2);
        dup2(fileno(file_), 1);
        dup2(fileno(file_), 2);
    }
    ~OutputCapture() { finish(); }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    std::string finish()
    {
        if (file_ == nullptr) {
            return text_;
        }
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(savedOut_, 1);
        dup2(savedErr_, 2);
        close(savedOut_);
        close(savedErr_);
        std::rewind(file_);
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file_)) > 0;) {
            text_.append(chunk, n);
        }
        std::fclose(file_);
        file_ = nullptr;
        return text_;
    }

private:
    std::FILE* file_ = nullptr;
    int savedOut_ = -1;
    int savedErr_ = -1;
    std::string text_;
};

#endif

}  // namespace

StepResult Runner::installer(const std::string& op, const nlohmann::json& step)
{
    StepResult result{step};
#ifndef VORKASIM_WITH_INSTALLER
    throw ScenarioError("step \"" + op + "\": this vorkasim is built without the installer library");
#else
    std::vector<std::string> args;
    if (step.contains("args")) {
        if (!step.at("args").is_array()) {
            throw ScenarioError("step \"" + op + "\": \"args\" must be an array of strings");
        }
        for (const auto& arg : step.at("args")) {
            if (!arg.is_string()) {
                throw ScenarioError("step \"" + op + "\": \"args\" must be an array of strings");
            }
            args.push_back(arg.get<std::string>());
        }
    }
    bool exclusive = true;
    if (step.contains("exclusive")) {
        if (!step.at("exclusive").is_boolean()) {
            throw ScenarioError("step \"install\": \"exclusive\" must be true or false");
        }
        exclusive = step.at("exclusive").get<bool>();
    }
    StagePackage();
    sim::win32::ClearUserInterfaceRecords();
    const char* program = op == "uninstall" ? "uninst.exe" : exclusive ? "install_excl.exe" : "install_nonexcl.exe";
    auto& process = world_.machine().processes().create(program);
    int returned = 0;
    bool exited = false;
    unsigned exitCode = 0;
    std::string log;
    {
        sim::win32::CallerScope scope(process);
        SetCurrentDirectoryA(kPackageFolder);
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        OutputCapture capture;
        try {
            returned = op == "install" ? InstallDrivers(static_cast<int>(args.size()), argv.data(), exclusive ? 1 : 0)
                                       : UninstallDrivers(static_cast<int>(args.size()), argv.data());
        } catch (const sim::win32::ProcessExit& exit) {
            exited = true;
            exitCode = exit.exitCode;
        }
        log = capture.finish();
    }
    world_.machine().processes().exit(process);
    world_.machine().pnp().processPendingEnumerations();

    if (!exited) {
        result.data["result"] = returned;
    } else {
        result.data["exitCode"] = exitCode;
    }
    nlohmann::json boxes = nlohmann::json::array();
    for (const auto& box : sim::win32::MessageBoxes()) {
        boxes.push_back({{"title", box.title}, {"text", box.text}});
    }
    result.data["messageBoxes"] = boxes;
    result.data["log"] = log;
    if (!sim::win32::ShutdownRequests().empty()) {
        result.data["restartRequested"] = true;
    }
    result.detail = exited ? std::string(program) + " ended with exit code " + std::to_string(exitCode)
                           : std::string(program) + " returned " + std::to_string(returned);
    return result;
#endif
}

}  // namespace vorkasim
