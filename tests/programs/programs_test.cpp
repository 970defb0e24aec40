// Programs written for Windows, built with scripts/build-windows-program.sh and run on the
// simulated machine: which of their buffers reach a driver, how they end, a 32-bit program's
// pass-through, and a backup utility written only with the SDK's names.
#include <gtest/gtest.h>

#include "program_run.h"

namespace {

using nlohmann::json;
using programs::Drives;
using programs::Exec;
using programs::RunVorkasim;

const json& StepResult(const programs::Run& run, std::size_t index) { return run.report.at("steps").at(index); }

TEST(ProgramMemory, StackGlobalsAndHeapOfTheProgramAreUserBuffers)
{
    const auto run = RunVorkasim({{"drives", Drives(1, false)},
                                  {"steps",
                                   {Exec("buffers", {"\\\\.\\Tape1", "stack"}), Exec("buffers", {"\\\\.\\Tape1", "global"}),
                                    Exec("buffers", {"\\\\.\\Tape1", "heap"})}}});
    ASSERT_EQ(run.status, 0) << run.report.dump(2);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(StepResult(run, i).at("exitCode"), 0) << StepResult(run, i).dump();
        EXPECT_EQ(StepResult(run, i).at("stdout"), "ok VORKA   \n");
    }
}

TEST(ProgramMemory, FreedNullAndUnmappedBuffersFailWithNoAccessAndTheVerifierStaysQuiet)
{
    const auto run = RunVorkasim({{"drives", Drives(1, false)},
                                  {"steps",
                                   {Exec("buffers", {"\\\\.\\Tape1", "freed"}), Exec("buffers", {"\\\\.\\Tape1", "null"}),
                                    Exec("buffers", {"\\\\.\\Tape1", "wild"}),
                                    // The drive still answers the same program afterwards.
                                    Exec("buffers", {"\\\\.\\Tape1", "heap"})}}});
    ASSERT_EQ(run.status, 0) << run.report.dump(2);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(StepResult(run, i).at("exitCode"), 10) << StepResult(run, i).dump();
        EXPECT_EQ(StepResult(run, i).at("stdout"), "error 998\n");  // ERROR_NOACCESS
    }
    EXPECT_EQ(StepResult(run, 3).at("stdout"), "ok VORKA   \n");
    EXPECT_TRUE(run.report.at("violations").empty());
}

TEST(ProgramEnd, CrashExitAndAbortEndTheProgramWithItsCodeAndItsHandlesClose)
{
    // Each program ends one way or another and the next one still finds the drive answering.
    const auto run = RunVorkasim({{"drives", Drives(1, false)},
                                  {"steps",
                                   {Exec("buffers", {"\\\\.\\Tape1", "crash"}), Exec("buffers", {"\\\\.\\Tape1", "exit"}),
                                    Exec("buffers", {"\\\\.\\Tape1", "abort"}),
                                    Exec("buffers", {"\\\\.\\Tape1", "stack"})}}});
    ASSERT_EQ(run.status, 0) << run.report.dump(2);
    EXPECT_EQ(StepResult(run, 0).at("exitCode"), 0xC0000005u);
    EXPECT_EQ(StepResult(run, 0).at("status"), "0xc0000005");
    EXPECT_EQ(StepResult(run, 0).at("stdout"), "about to crash\n") << "what it wrote before the crash is kept";
    EXPECT_EQ(StepResult(run, 1).at("exitCode"), 42);
    EXPECT_EQ(StepResult(run, 1).at("stdout"), "leaving early\n");
    EXPECT_EQ(StepResult(run, 2).at("exitCode"), 3);
    EXPECT_EQ(StepResult(run, 3).at("exitCode"), 0);
    EXPECT_EQ(StepResult(run, 3).at("stdout"), "ok VORKA   \n");
    EXPECT_TRUE(run.report.at("violations").empty());
}

TEST(Program32, PassThroughOfA32BitProcessWithBuffersOnItsStackAndHeap)
{
    const auto run =
        RunVorkasim({{"drives", Drives(1, false)},
                     {"steps",
                      {Exec("inquiry32", {"\\\\.\\Tape1", "buffered"}, true),
                       Exec("inquiry32", {"\\\\.\\Tape1", "direct"}, true),
                       Exec("inquiry32", {"\\\\.\\Tape1", "direct-heap"}, true),
                       // A 64-bit process's stack lies above 4 GB: no 32-bit address reaches it.
                       Exec("inquiry32", {"\\\\.\\Tape1", "direct"}, false)}}});
    ASSERT_EQ(run.status, 0) << run.report.dump(2);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(StepResult(run, i).at("exitCode"), 0) << StepResult(run, i).dump();
        EXPECT_EQ(StepResult(run, i).at("stdout"), "vendor VORKA   \n");
    }
    EXPECT_EQ(StepResult(run, 3).at("stdout"), "buffer above 4 GB\n");
}

TEST(OutsiderProgram, BackupUtilityWrittenWithOnlyTheSdkRunsUnmodified)
{
    const auto run = RunVorkasim({{"drives", Drives(2)}, {"steps", {Exec("tapeinfo", {"\\\\.\\Tape4"})}}});
    ASSERT_EQ(run.status, 0) << run.report.dump(2);
    const auto& step = StepResult(run, 0);
    EXPECT_EQ(step.at("exitCode"), 0) << step.dump();
    EXPECT_EQ(step.at("stdout"), "address 0:0:2:0\ndefault block size 65536\nposition after writing 4\n"
                                 "read back 65536 bytes, same\n");
    // What it wrote is on the second drive's tape: three blocks and a filemark.
    const auto& media = run.report.at("media");
    ASSERT_EQ(media.size(), 2u);
    const auto& records = media.at(1).at("records");
    ASSERT_EQ(records.size(), 4u) << media.dump();
    EXPECT_EQ(records.at(0).at("len"), 65536);
    EXPECT_EQ(records.at(3).at("type"), "filemark");
    // What the program was told it wrote is not in the simulator's ledger: the verify says so
    // instead of counting the program's filemark as a duplicate.
    const auto& verified = run.report.at("verify").at("drives");
    EXPECT_EQ(verified.at(1).at("writtenByProgram"), true);
    EXPECT_TRUE(run.report.at("verify").at("clean").get<bool>());
}

TEST(ExecStep, AModuleThatIsNotThereIsAMistakeInTheScenario)
{
    const auto run = RunVorkasim({{"drives", Drives(1)}, {"steps", {Exec("no-such-program", json::array())}}});
    EXPECT_EQ(run.status, 2);
    const auto bad = RunVorkasim(
        {{"drives", Drives(1)}, {"steps", {{{"op", "exec"}, {"program", programs::Program("buffers")}, {"args", "x"}}}}});
    EXPECT_EQ(bad.status, 2);
}

}  // namespace
