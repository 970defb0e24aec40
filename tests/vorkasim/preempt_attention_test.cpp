// A reserved drive taken over by a path whose drive holds a unit attention for it: the preempt
// that carries the reservation to the path is the first command there, and hears of the
// attention instead of running. A path that lost its connection and is back has lost nothing of
// the tape; a drive that was reset has rewound, and the application must hear so.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sim/eventlog.h>
#include <sim/hw/san.h>
#include <sim/hw/tape_drive.h>

#include "ledger.h"
#include "one_drive_job.h"
#include "runner.h"

namespace {

using nlohmann::json;

constexpr std::uint32_t kBusReset = 0x8000001Du;
constexpr NTSTATUS kRefusedPreemptEvent = static_cast<NTSTATUS>(0xC0000007u);

class PreemptMeetsAttention : public vorkasim::testing::OneDriveJob {
protected:
    // Two paths, failover events on; the application opens the tape, sets 4096-byte blocks,
    // reserves the drive (through path 0) and writes four blocks.
    void SetUp() override
    {
        json drive = {{"serial", kDrive}, {"wwnn", "5abcdef0000000c1"}, {"buffered", false},
                      {"paths", json::array({json{{"port", 0u}, {"target", 1u}}, json{{"port", 1u}, {"target", 1u}}})}};
        bootScenario(json{{"drives", json::array({drive})},
                          {"registry", {{"vorkatbus", {{"FailoverEventsEnabled", 1u}}}}}});
        ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
        ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 4096}}).status, 0u);
        ASSERT_EQ(run({{"op", "reserve"}, {"handle", "h"}}).status, 0u);
        ASSERT_EQ(write(2, 8192).status, 0u);
    }
    void pathDown(unsigned path) { run({{"op", "fault"}, {"drive", kDrive}, {"path", path}, {"kind", "down"}}); }
    void pathBack(unsigned path) { run({{"op", "clear-faults"}, {"drive", kDrive}, {"path", path}}); }
    std::vector<std::size_t> recordLengths() { return recordLengthsOf(kDrive); }
    bool refusedPreemptLogged() const
    {
        const auto events = world_->events();
        return std::any_of(events.begin(), events.end(),
                           [](const sim::EventLogEntry& e) { return e.errorCode == kRefusedPreemptEvent; });
    }

    static constexpr const char* kDrive = "VRKPRE0000000001";
};

// Path 1 loses its connection and gets it back (the drive holds 06/29/07 for it); then path 0's
// cable is pulled. The next writes move to path 1: the reservation, the block size and the
// position come with them, the application sees no error, and each block is on the tape once.
TEST_F(PreemptMeetsAttention, APathBackFromALostConnectionTakesOverTheReservedDriveWithoutAnError)
{
    pathDown(1);
    pathBack(1);
    pathDown(0);
    const auto moved = write(2, 8192);
    EXPECT_EQ(moved.status, 0u);
    EXPECT_EQ(moved.data.at("blocks"), 4);
    EXPECT_EQ(run({{"op", "getpos"}, {"handle", "h"}}).data.at("position"), 8);
    ASSERT_EQ(write(1, 4096).status, 0u);

    ASSERT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0u);
    const auto read = run({{"op", "read"}, {"handle", "h"}, {"requests", 9}, {"bytes", 4096}});
    EXPECT_EQ(read.data.at("blocks"), 9);
    EXPECT_TRUE(read.data.at("stampsOk").get<bool>());
    EXPECT_FALSE(refusedPreemptLogged());
    EXPECT_EQ(recordLengths(), std::vector<std::size_t>(9, 4096));
    const json verdict = closeAndVerify();
    EXPECT_TRUE(verdict.at("clean").get<bool>()) << vorkasim::VerifyVerdict(verdict);
}

// The same, with a pass-through command as the first request on the new path: the application
// sent no preempt and must not hear of the one the drivers sent for it; the command runs on path 1.
TEST_F(PreemptMeetsAttention, APassThroughCommandIsTheFirstRequestOnThePathThatCameBack)
{
    pathDown(1);
    pathBack(1);
    pathDown(0);
    // WRITE FILEMARKS(6), one mark.
    EXPECT_EQ(run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "100000000100"}}).status, 0u);
    EXPECT_EQ(recordLengths(), (std::vector<std::size_t>{4096, 4096, 4096, 4096, 0}));
    EXPECT_FALSE(refusedPreemptLogged());
}

// Path 0, which holds the reservation, vanishes; path 1 is back from a lost connection and its
// first write puts one block of two on the tape before the transfer breaks. The settings restore
// there hears of the lost connection (and so of a position no longer known): the position is read
// again before the write, and the broken write is finished with its second block, once.
TEST_F(PreemptMeetsAttention, AWriteBrokenOnThePathThatCameBackIsFinishedAfterTheRestore)
{
    pathDown(1);
    pathBack(1);
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 1u}, {"kind", "partial_transfer"}, {"k", 1u}});
    run({{"op", "surprise-remove"}, {"drive", kDrive}, {"path", 0u}});
    const auto moved = write(2, 8192);
    EXPECT_EQ(moved.status, 0u);
    EXPECT_EQ(moved.data.at("blocks"), 4);
    EXPECT_EQ(recordLengths(), std::vector<std::size_t>(8, 4096));
    const json verdict = closeAndVerify();
    EXPECT_TRUE(verdict.at("clean").get<bool>()) << vorkasim::VerifyVerdict(verdict);
    EXPECT_EQ(verdict.at("unconfirmed"), 0);
}

// The drive is reset while path 0 is down: every path holds 06/29/00 and the tape is at its
// start. The write that moves to path 1 meets the reset through the preempt; the application
// hears STATUS_BUS_RESET, nothing of the request reaches the tape, and what it wrote before is
// still there once.
TEST_F(PreemptMeetsAttention, AResetThePreemptMeetsReachesTheApplicationAsAReset)
{
    pathDown(0);
    run({{"op", "reset"}, {"drive", kDrive}});
    const auto failed = write(1, 8192);
    EXPECT_EQ(failed.status, kBusReset);
    EXPECT_EQ(failed.data.at("blocks"), 0);
    EXPECT_EQ(recordLengths(), std::vector<std::size_t>(4, 4096));

    // Told of the reset, the application sets its block size again, finds the end of its data and
    // goes on writing there, over path 1.
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 4096}}).status, 0u);
    ASSERT_EQ(run({{"op", "space"}, {"handle", "h"}, {"kind", "eod"}}).status, 0u);
    ASSERT_EQ(write(1, 8192).status, 0u);
    EXPECT_EQ(recordLengths(), std::vector<std::size_t>(6, 4096));
    const json verdict = closeAndVerify();
    EXPECT_TRUE(verdict.at("clean").get<bool>()) << vorkasim::VerifyVerdict(verdict);
}

}  // namespace
