// What backup programs do beside the plain tape API, checked against the drive's ground truth: a
// second handle on a drive without exclusive access, the block size set through pass-through,
// filemarks written with IMMED that a reset drops, a small cartridge that fills up, and a drive
// that starts in fixed-block mode.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sim/hw/path.h>
#include <sim/hw/san.h>
#include <sim/hw/tape_drive.h>

#include "runner.h"
#include "scenario.h"
#include "test_world.h"
#include "world.h"

namespace {

using nlohmann::json;

constexpr const char* kSerial = "VRK0000000000001";

class ApplicationSession : public ::testing::Test {
protected:
    // One drive of `pathCount` paths (ports 0, 1, ...) with the given drive keys; its virtual device is Tape1.
    void boot(const std::string& keys, int pathCount = 2)
    {
        std::string paths = "[";
        for (int p = 0; p < pathCount; ++p) {
            paths += (p != 0 ? ", " : "") + std::string(R"({"port": )") + std::to_string(p) + R"(, "target": 1})";
        }
        paths += "]";
        scenario_ = vorkasim::ParseScenario(json::parse(R"({"drives": [{"serial": ")" + std::string(kSerial) +
                                                        R"(", "wwnn": "5abcdef000000001", )" + keys +
                                                        R"("paths": )" + paths + "}]}"));
        world_ = std::make_unique<vorkasim::World>(scenario_, vorkasim_test::TestWorldOptions());
        world_->boot();
        runner_ = std::make_unique<vorkasim::Runner>(*world_, scenario_);
    }
    vorkasim::StepResult run(const json& step) { return runner_->run(step); }
    std::uint32_t write(const std::string& handle, int requests, int bytes)
    {
        return run({{"op", "write"}, {"handle", handle}, {"requests", requests}, {"bytes", bytes}}).status;
    }
    std::uint32_t path(const std::string& op, int index, const json& extra = json::object())
    {
        json step = {{"op", op}, {"drive", kSerial}, {"path", static_cast<unsigned>(index)}};
        step.update(extra);
        return run(step).status;
    }
    json verify() { return run({{"op", "verify"}}).data.at("verify"); }
    sim::hw::TapeDrive& drive() { return *world_->san().findDrive(kSerial); }
    // The index of the path the drive's last command came through (-1: none yet).
    int pathInUse()
    {
        const auto paths = world_->san().pathsTo(drive());
        const auto log = drive().commandLog();
        for (std::size_t p = 0; p < paths.size(); ++p) {
            if (!log.empty() && log.back().initiator == paths[p]->initiator()) return static_cast<int>(p);
        }
        return -1;
    }

    vorkasim::Scenario scenario_;
    std::unique_ptr<vorkasim::World> world_;
    std::unique_ptr<vorkasim::Runner> runner_;
};

// The application sets 4096-byte blocks through pass-through on one handle, opens a second handle
// and writes through both while first one path and then the other fails: every write lands as
// 4096-byte blocks, the second open neither made the bus forget the block size nor moved the drive
// to a path that does not have it.
TEST_F(ApplicationSession, ASecondHandleJoinsTheSessionAndAFailoverKeepsItsBlockSize)
{
    boot(R"("dpfFlags": 0,)");
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "a"}}).status, 0u);
    const auto select = run({{"op", "passthrough"}, {"handle", "a"}, {"cdb", "151000000c00"},
                             {"dataOut", "000000080000000000001000"}});
    ASSERT_EQ(select.status, 0u);
    ASSERT_EQ(select.data.at("scsiStatus"), 0);
    ASSERT_EQ(write("a", 2, 8192), 0u);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "b"}}).status, 0u);
    EXPECT_EQ(write("a", 2, 8192), 0u);
    EXPECT_EQ(write("b", 2, 8192), 0u);
    // One of the two is the path in use: that one fails the drive over to the other.
    for (int p = 0; p < 2; ++p) {
        ASSERT_EQ(path("fault", p, {{"kind", "down"}}), 0u);
        EXPECT_EQ(write(p == 0 ? "a" : "b", 2, 8192), 0u);
        ASSERT_EQ(path("clear-faults", p), 0u);
    }
    for (const auto& record : drive().logicalRecords()) {
        EXPECT_EQ(record.data.size(), 4096u);
    }
    const json counts = verify();
    EXPECT_EQ(counts.at("blocks"), 20);
    EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
    // The application's own WRITE FILEMARKS counts like the tape API's.
    ASSERT_EQ(run({{"op", "passthrough"}, {"handle", "b"}, {"cdb", "100000000100"}}).data.at("scsiStatus"), 0);
    EXPECT_EQ(verify().at("filemarks"), 1);
    EXPECT_TRUE(verify().at("clean").get<bool>());
}

// The drive's answer to a read of the block size right after it was set would come from the other
// path when the path in use fails at that moment, and that path still has the size from before:
// the size the application set is the one the bus keeps, through pass-through or the tape API.
TEST_F(ApplicationSession, ABlockSizeSetJustBeforeItsPathFailsIsTheOneWritesUse)
{
    boot("");
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    for (const std::uint32_t size : {512u, 1024u}) {
        for (int p = 0; p < 2; ++p) {  // MODE SENSE breaks on whichever path is in use
            ASSERT_EQ(path("fault", p, {{"kind", "fail"}, {"opcode", 0x1A}, {"status", 0xC000009Du}}), 0u);
        }
        if (size == 512) {
            const auto select = run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "151000000c00"},
                                     {"dataOut", "000000080000000000000200"}});
            ASSERT_EQ(select.data.at("scsiStatus"), 0);
        } else {
            ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", size}}).status, 0u);
        }
        for (int p = 0; p < 2; ++p) {
            ASSERT_EQ(path("clear-faults", p), 0u);
        }
        for (int p = 0; p < 2; ++p) {
            ASSERT_EQ(path("fault", p, {{"kind", "down"}}), 0u);
            EXPECT_EQ(write("h", 2, 8192), 0u);
            ASSERT_EQ(path("clear-faults", p), 0u);
        }
        for (const auto& record : drive().logicalRecords()) {
            if (record.data.size() != 512) {
                EXPECT_EQ(record.data.size(), size);
            }
        }
    }
    const json counts = verify();
    EXPECT_EQ(counts.at("blocks"), 64 + 32);
    EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
}

// The application sets 4096-byte blocks by MODE SELECT; its path answers NOT READY without running
// it, and on the other path the restore of the application's earlier 512-byte blocks meets the
// drive's notice of a medium change, so the MODE SELECT is never sent again. The application hears
// of the notice, never GOOD: it asks for the size in effect, and its writes land as blocks of that
// size.
TEST_F(ApplicationSession, AModeSelectWhoseRetryNeverRanIsNotReportedDone)
{
    boot("");
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    const int used = pathInUse();
    ASSERT_GE(used, 0);
    ASSERT_EQ(path("fault", used, {{"kind", "fail"}, {"opcode", 0x15}, {"sense", "02/04/00"}}), 0u);
    ASSERT_EQ(path("fault", 1 - used, {{"kind", "fail"}, {"opcode", 0x15}, {"sense", "06/28/00"}}), 0u);
    const auto select = run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "151000000c00"},
                             {"dataOut", "000000080000000000001000"}});
    EXPECT_EQ(select.status, 0x8000001Cu) << select.data.dump();  // STATUS_MEDIA_CHANGED
    for (int p = 0; p < 2; ++p) {
        ASSERT_EQ(path("clear-faults", p), 0u);
    }
    ASSERT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(write("h", 6, 8192), 0u);
    for (const auto& record : drive().logicalRecords()) {
        EXPECT_EQ(record.data.size(), 512u);
    }
    const json counts = verify();
    EXPECT_EQ(counts.at("blocks"), 96);
    EXPECT_EQ(counts.at("shortWrites"), 0);
    EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
}

// The application writes variable records and asks for 4096-byte blocks by MODE SELECT, with a
// device configuration page the drive does not support: the drive refuses the whole list (05/26/00,
// invalid field in the parameter list) after taking it in, and counts it as transferred. The path in
// use then fails: the next path gets the variable blocks the application still has, its writes land
// as records of their own length, and none is lost or split.
TEST_F(ApplicationSession, AModeSelectTheDriveRefusedIsNotRestoredOnTheNextPath)
{
    boot("");
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 0}}).status, 0u);
    const auto select = run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "151000001c00"},
                             {"dataOut", "000000080000000000001000" "100e" + std::string(28, '0')}});
    ASSERT_EQ(select.status, 0u);
    ASSERT_EQ(select.data.at("scsiStatus"), 2) << select.data.dump();
    const std::string sense = select.data.at("sense");
    ASSERT_GE(sense.size(), 28u);
    EXPECT_EQ(sense.substr(5, 1) + "/" + sense.substr(24, 4), "5/2600");
    ASSERT_EQ(write("h", 2, 8192), 0u);
    const int used = pathInUse();
    ASSERT_GE(used, 0);
    ASSERT_EQ(path("fault", used, {{"kind", "down"}}), 0u);
    EXPECT_EQ(write("h", 2, 8192), 0u);
    EXPECT_NE(pathInUse(), used);
    ASSERT_EQ(path("clear-faults", used), 0u);
    const auto records = drive().logicalRecords();
    EXPECT_EQ(records.size(), 4u);
    for (const auto& record : records) {
        EXPECT_EQ(record.data.size(), 8192u);
    }
    const json counts = verify();
    EXPECT_EQ(counts.at("blocks"), 4);
    EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
}

// A reserved drive of three paths: the path in use fails, then the one the reservation moved to,
// then, with the first back, the third. Each failover takes the reservation over under the key it is
// held under, and the backup goes on to the end; the release at the end succeeds.
TEST_F(ApplicationSession, AReservedDriveFailsOverAgainAndAgain)
{
    boot("", 3);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "reserve"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(write("h", 2, 4096), 0u);
    std::vector<int> failed;
    for (int round = 0; round < 3; ++round) {
        const int p = pathInUse();
        ASSERT_GE(p, 0);
        if (round == 2) {
            ASSERT_EQ(path("clear-faults", failed[0]), 0u) << "the first failed path is back";
        }
        ASSERT_EQ(path("fault", p, {{"kind", "down"}}), 0u);
        failed.push_back(p);
        EXPECT_EQ(write("h", 2, 4096), 0u) << "round " << round;
    }
    for (int p = 0; p < 3; ++p) {
        ASSERT_EQ(path("clear-faults", p), 0u);
    }
    EXPECT_EQ(run({{"op", "release"}, {"handle", "h"}}).status, 0u);
    const json counts = verify();
    EXPECT_EQ(counts.at("blocks"), 8);
    EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
}

// The backup holds the drive reserved and its path is removed in good order (the path keeps the
// reservation); a second handle is opened then, over another path. The open does not take the
// reservation's place: the next request through either handle takes the reservation over.
TEST_F(ApplicationSession, ASecondHandleOpenedAfterTheReservationsPathWentLeavesTheReservationToMove)
{
    boot(R"("dpfFlags": 0,)", 3);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "a"}}).status, 0u);
    ASSERT_EQ(run({{"op", "reserve"}, {"handle", "a"}}).status, 0u);
    ASSERT_EQ(write("a", 2, 4096), 0u);
    const int holder = pathInUse();
    ASSERT_GE(holder, 0);
    ASSERT_EQ(path("remove", holder), 0u);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "b"}}).status, 0u);
    EXPECT_EQ(run({{"op", "setblocksize"}, {"handle", "b"}, {"size", 512}}).status, 0u);
    EXPECT_EQ(write("b", 2, 4096), 0u);
    EXPECT_EQ(write("a", 1, 4096), 0u);
    ASSERT_EQ(path("add", holder), 0u);
    EXPECT_EQ(run({{"op", "release"}, {"handle", "a"}}).status, 0u);
    const json counts = verify();
    EXPECT_EQ(counts.at("blocks"), 2 + 16 + 8);
    EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
}

// The path in use stops while two handles are open, and the second handle closes: its close goes
// through another path, without the settings restore an open or close never waits for. The next
// write still gets the application's block size on that path.
TEST_F(ApplicationSession, AHandleClosingOverANewPathLeavesTheRestoreToTheNextRequest)
{
    boot(R"("dpfFlags": 0,)", 3);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "a"}}).status, 0u);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "b"}}).status, 0u);
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "b"}, {"size", 4096}}).status, 0u);
    ASSERT_EQ(write("a", 1, 8192), 0u);
    const int inUse = pathInUse();
    ASSERT_GE(inUse, 0);
    ASSERT_EQ(path("stop", inUse), 0u);
    ASSERT_EQ(run({{"op", "close"}, {"handle", "b"}}).status, 0u);
    ASSERT_EQ(write("a", 1, 20480), 0u);
    for (const auto& record : drive().logicalRecords()) {
        EXPECT_EQ(record.data.size(), 4096u);
    }
    EXPECT_TRUE(verify().at("clean").get<bool>());
}

// An unlock that a path could not take at the time (it answered not ready) reaches it when the
// application's last handle closes, so that a changer can take the cartridge next.
TEST_F(ApplicationSession, AnUnlockAPathMissedReachesItWhenTheLastHandleCloses)
{
    boot("");
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "lock"}, {"handle", "h"}}).status, 0u);
    const auto paths = world_->san().pathsTo(drive());
    const int first = drive().initiatorSettings(paths[0]->initiator()).preventRemoval ? 0 : 1;
    // Commands time out on that path; its connection, and the lock, remain.
    ASSERT_EQ(path("fault", first, {{"kind", "fail"}, {"count", 4}, {"status", 0xC00000B5u}}), 0u);
    ASSERT_EQ(write("h", 1, 4096), 0u) << "the lock moves along to the other path";
    ASSERT_EQ(path("clear-faults", first), 0u);
    ASSERT_EQ(path("fault", first, {{"kind", "fail"}, {"opcode", 0x1E}, {"sense", "02/04/00"}}), 0u);
    ASSERT_EQ(run({{"op", "unlock"}, {"handle", "h"}}).status, 0u);
    ASSERT_TRUE(drive().initiatorSettings(paths[first]->initiator()).preventRemoval) << "it missed the unlock";
    ASSERT_EQ(run({{"op", "close"}, {"handle", "h"}}).status, 0u);
    for (const auto* each : paths) {
        EXPECT_FALSE(drive().initiatorSettings(each->initiator()).preventRemoval);
    }
}

// The only path's connection drops between two requests (the drive forgets the connection's block
// size), and the answer to the next command, which carried the drive's notice of it, is lost. The
// bus restores the application's block size before the next request all the same: every later write
// is whole, in 4096-byte blocks.
TEST_F(ApplicationSession, SettingsAreRestoredAfterALostConnectionWhoseNoticeWasLost)
{
    boot(R"("blockSize": 512,)", 1);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 4096}}).status, 0u);
    ASSERT_EQ(write("h", 2, 8192), 0u);
    // The link bounces between two requests; the drive's notice goes to the next command, whose
    // answer the adapter then loses.
    ASSERT_EQ(path("fault", 0, {{"kind", "down"}}), 0u);
    ASSERT_EQ(path("clear-faults", 0), 0u);
    ASSERT_EQ(path("fault", 0, {{"kind", "fail"}, {"executed", true}, {"status", 0xC000009Du}}), 0u);
    run({{"op", "getpos"}, {"handle", "h"}});
    ASSERT_EQ(run({{"op", "getpos"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(write("h", 4, 16384), 0u);
    for (const auto& record : drive().logicalRecords()) {
        EXPECT_EQ(record.data.size(), 4096u);
    }
    const json counts = verify();
    EXPECT_EQ(counts.at("shortWrites"), 0);
    EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
}

// The medium is locked through the path in use, that path is removed in good order (its connection
// to the drive, and the lock, remain), the backup goes on over the other and unlocks; when the path
// comes back, it gets the unlock too, and no path of the drive prevents the eject.
TEST_F(ApplicationSession, APathRemovedWhileTheMediumWasLockedGetsTheUnlockWhenItComesBack)
{
    boot("");
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "lock"}, {"handle", "h"}}).status, 0u);
    const auto paths = world_->san().pathsTo(drive());
    int locked = -1;
    for (std::size_t p = 0; p < paths.size(); ++p) {
        if (drive().initiatorSettings(paths[p]->initiator()).preventRemoval) locked = static_cast<int>(p);
    }
    ASSERT_GE(locked, 0) << "the lock went through one path";
    ASSERT_EQ(path("remove", locked), 0u);
    ASSERT_EQ(write("h", 2, 4096), 0u);
    ASSERT_EQ(run({{"op", "unlock"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(path("add", locked), 0u);
    ASSERT_EQ(run({{"op", "getpos"}, {"handle", "h"}}).status, 0u);
    for (const auto* each : world_->san().pathsTo(drive())) {
        EXPECT_FALSE(drive().initiatorSettings(each->initiator()).preventRemoval);
    }
    EXPECT_EQ(run({{"op", "eject"}, {"handle", "h"}}).status, 0u);
}

// A buffered drive: blocks written over the middle of the data and two filemarks written with
// IMMED after them are all still in the buffer when the drive is reset. The medium keeps what was
// there; the application is told on its next request, and the verdict holds the tape to the older
// data rather than call it unexpected.
TEST_F(ApplicationSession, ImmediateFilemarksAResetDropsLeaveTheOlderDataInPlace)
{
    boot(R"("buffered": true,)");
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(write("h", 10, 4096), 0u);
    ASSERT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, 0u);
    ASSERT_EQ(run({{"op", "locate"}, {"handle", "h"}, {"block", 5}}).status, 0u);
    ASSERT_EQ(write("h", 3, 4096), 0u);
    ASSERT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 2}, {"immediate", true}}).status, 0u);
    ASSERT_EQ(drive().bufferedRecords().size(), 5u) << "three blocks and two marks wait in the buffer";
    ASSERT_EQ(run({{"op", "reset"}, {"drive", kSerial}}).status, 0u);
    EXPECT_NE(run({{"op", "getpos"}, {"handle", "h"}}).status, 0u) << "the reset's notice";
    const json counts = verify();
    EXPECT_EQ(counts.at("reportedLoss"), 3);
    EXPECT_EQ(counts.at("unexpected"), 0);
    EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
}

// The same on a drive of one path, where the first write fails with its record in the buffer
// (the path broke after it and the position could not be read): the loss begins before the
// overwrite, and the older data is still what the medium holds.
TEST_F(ApplicationSession, AFailedWriteAheadOfAnOverwriteAResetDropsLeavesTheOlderDataInPlace)
{
    boot(R"("buffered": true,)", 1);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(write("h", 10, 4096), 0u);
    ASSERT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, 0u);
    ASSERT_EQ(run({{"op", "locate"}, {"handle", "h"}, {"block", 5}}).status, 0u);
    ASSERT_EQ(path("fault", 0, {{"kind", "partial_write"}, {"k", 1}}), 0u);
    ASSERT_EQ(run({{"op", "fault"}, {"drive", kSerial}, {"kind", "fail"}, {"count", 1}, {"status", 0xC000009Du}})
                  .status,
              0u);
    EXPECT_NE(write("h", 1, 4096), 0u) << "its record reached the buffer, its position could not be read";
    ASSERT_EQ(write("h", 1, 4096), 0u);
    ASSERT_EQ(drive().bufferedRecords().size(), 2u);
    ASSERT_EQ(run({{"op", "reset"}, {"drive", kSerial}}).status, 0u);
    EXPECT_NE(run({{"op", "getpos"}, {"handle", "h"}}).status, 0u) << "the reset's notice";
    const json counts = verify();
    EXPECT_EQ(counts.at("reportedLoss"), 1);
    EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
}

// A mark of the application's own WRITE FILEMARKS in the early-warning zone (the drive answers CHECK
// CONDITION, so the mark may be there or not), then a block written over it that a reset drops from
// the buffer: the mark still on the medium is the one the application sent, not a duplicate.
TEST_F(ApplicationSession, AnUncertainMarkUnderADroppedOverwriteIsNoDuplicate)
{
    boot(R"("buffered": true, "capacity": 65536, "earlyWarning": 16384,)", 1);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(write("h", 11, 4096), 0u);
    ASSERT_EQ(write("h", 1, 4096), 0x8000001Eu) << "STATUS_END_OF_MEDIA";
    ASSERT_EQ(run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "100000000100"}}).data.at("scsiStatus"), 2);
    ASSERT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 0}}).status, 0u) << "the mark is on the medium";
    ASSERT_EQ(run({{"op", "locate"}, {"handle", "h"}, {"block", 10}}).status, 0u);
    ASSERT_EQ(write("h", 1, 4096), 0u);
    ASSERT_EQ(run({{"op", "reset"}, {"drive", kSerial}}).status, 0u);
    EXPECT_NE(run({{"op", "getpos"}, {"handle", "h"}}).status, 0u) << "the reset's notice";
    const json counts = verify();
    EXPECT_EQ(counts.at("duplicated"), 0);
    EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
}

// A cartridge of 64 KiB whose last 16 KiB warn of its end, in a drive that starts with 1024-byte
// blocks. Writes into the warning zone are told STATUS_END_OF_MEDIA with their data on tape, a
// write past the end is told STATUS_EOM_OVERFLOW, a failover in the zone loses nothing.
TEST_F(ApplicationSession, ASmallCartridgeWarnsOfItsEndAndNothingWrittenIsLost)
{
    boot(R"("capacity": 65536, "earlyWarning": 16384, "blockSize": 1024,)");
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    // The application learns the drive's block size: 4096 bytes are four blocks.
    ASSERT_EQ(write("h", 11, 4096), 0u);
    ASSERT_EQ(drive().logicalRecords().size(), 44u);
    const auto warned = run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 4096}});
    EXPECT_EQ(warned.status, 0x8000001Eu) << "STATUS_END_OF_MEDIA";
    EXPECT_EQ(warned.data.at("information"), 4096);
    ASSERT_EQ(path("fault", 0, {{"kind", "down"}}), 0u);
    ASSERT_EQ(path("fault", 1, {{"kind", "partial_write"}, {"k", 1}}), 0u);
    EXPECT_EQ(write("h", 1, 4096), 0x8000001Eu) << "finished on the other path, still in the zone";
    ASSERT_EQ(path("clear-faults", 0), 0u);
    ASSERT_EQ(path("clear-faults", 1), 0u);
    const auto overflow = run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 16384}});
    EXPECT_EQ(overflow.status, 0xC0000177u) << "STATUS_EOM_OVERFLOW";
    ASSERT_EQ(drive().logicalRecords().size(), 64u) << "the blocks that fit, to the last byte";
    const json counts = verify();
    EXPECT_TRUE(counts.at("clean").get<bool>()) << counts.dump();
    EXPECT_EQ(counts.at("lost"), 0);
    EXPECT_EQ(counts.at("duplicated"), 0);
}

TEST_F(ApplicationSession, CartridgeKeysOutOfRangeAreScenarioErrors)
{
    EXPECT_THROW(boot(R"("capacity": 4096, "earlyWarning": 4096,)"), std::runtime_error);
    EXPECT_THROW(boot(R"("earlyWarning": 4096,)"), std::runtime_error);
    EXPECT_THROW(boot(R"("blockSize": -1,)"), std::runtime_error);
    EXPECT_THROW(boot(R"("blockSize": 16777216,)"), std::runtime_error);
}

}  // namespace
