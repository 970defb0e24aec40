// Programs written only with the Windows SDK's names (tests/win32/sdk), one per group of the
// Win32 layer, each comparing what the layer answers with what Windows documents. They run as
// an administrator's programs would, through vorkasim on a machine with one tape drive, and the
// verifier must stay quiet.
#include <gtest/gtest.h>

#include <cstdlib>

#include "program_run.h"

namespace {

using nlohmann::json;
using programs::Drives;
using programs::Exec;
using programs::RunVorkasim;

// Runs one program and expects every check in it to pass.
void ExpectAllChecksPass(const std::string& program, json args) {
    const json steps = {Exec(program, args)};
    const auto run = RunVorkasim({{"drives", Drives(1, false)}, {"steps", steps}});
    ASSERT_EQ(run.status, 0) << run.report.dump(2);
    for (const auto& step : run.report.at("steps")) {
        EXPECT_EQ(step.at("exitCode"), 0) << step.at("stdout").get<std::string>();
        EXPECT_EQ(step.at("stdout").get<std::string>().find("failed:"), std::string::npos)
            << step.at("stdout").get<std::string>();
    }
    EXPECT_TRUE(run.report.at("violations").empty()) << run.report.at("violations").dump(2);
}

TEST(SdkStrings, LstrWsprintfCodePagesAndWideRuntimeCount16BitCharacters) {
    ExpectAllChecksPass("sdk_strings", json::array());
}

TEST(SdkMemory, EveryKindOfProgramMemoryIsABufferWhileItLivesAndRefusedOnceFreed) {
    ExpectAllChecksPass("sdk_memory", {"\\\\.\\Tape1"});
}

TEST(SdkSystem, ErrorsTextsClocksVersionEnvironmentAndModulesOfAUnicodeProgram) {
    ExpectAllChecksPass("sdk_system", json::array());
}

TEST(SdkThreads, AReaderAndAWriterThreadShareTheDriveAndACriticalSection) {
    ExpectAllChecksPass("sdk_threads", {"\\\\.\\Tape1"});
}

TEST(SdkThreads, StdThreadsOfACppProgramCallTheApiWithAlignedBuffers) {
    ExpectAllChecksPass("sdk_stdthread", {"\\\\.\\Tape1"});
}

TEST(SdkDevices, DosDeviceNamesFileTypeAndABoundedOverlappedWait) {
    ExpectAllChecksPass("sdk_devices", {"Tape1"});
}

// A call the layer does not have fails when the program is built, not when it runs.
TEST(SdkBuild, ACallTheLayerLacksFailsAtBuildTime) {
    const std::string dir = testing::TempDir();
    struct Case {
        std::string name, body;
        bool builds;
    };
    for (const auto& [name, body, builds] : std::vector<Case>{
             {"declared_call", "int main(void) { return lstrlen(TEXT(\"Tape0\")) + (int)wcslen(L\"x\"); }", true},
             {"missing_call", "int main(void) { return (int)GetDiskFreeSpaceExA(0, 0, 0, 0); }", false},
             {"glibc_wide", "int main(void) { return fwprintf(0, L\"x\"); }", false},
         }) {
        const std::string source = dir + "/" + name + ".c";
        FILE* file = std::fopen(source.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fprintf(file, "#include <wchar.h>\n#include <windows.h>\n%s\n", body.c_str());
        std::fclose(file);
        const std::string command = std::string("VORKA_BUILD_DIR=") + VORKA_PROGRAM_DIR + "/.. sh " VORKA_SOURCE_DIR
                                    "/scripts/build-windows-program.sh " + dir + "/" + name + ".so " + source +
                                    " >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()) == 0, builds) << name;
    }
}

}  // namespace
