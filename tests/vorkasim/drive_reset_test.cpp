// Backup jobs on a drive that itself goes wrong (a reset, a lost connection to its only path) while
// the application's block size is being set or restored. Whatever the drive forgets, the application
// either hears of it or finds its blocks on the tape exactly as it wrote them: never a request that
// succeeds in a block size the application did not choose.
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sim/hw/san.h>
#include <sim/hw/tape_drive.h>

#include "one_drive_job.h"
#include "runner.h"
#include "scenario.h"
#include "world.h"
#include "test_world.h"

namespace {

using nlohmann::json;
using vorkasim_test::kStatusBusReset;
using vorkasim_test::kStatusDeviceDataError;
using vorkasim_test::kStatusDeviceNotConnected;

class DriveFaultJob : public vorkasim::testing::OneDriveJob {
protected:
    static constexpr const char* kDrive = "VRK0000000000001";
    void boot(bool buffered, int paths, const json& fields = json::object())
    {
        bootDrive(kDrive, "5abcdef000000001", buffered, paths, fields);
    }
    sim::hw::TapeDrive& drive() { return driveNamed(kDrive); }

    // Every record on the medium (and in the drive's buffer) is a whole block of `length` bytes.
    void expectOnlyBlocksOf(std::size_t length)
    {
        drive().flushBuffer();
        for (const auto& record : drive().records()) {
            if (!record.isFilemark()) {
                EXPECT_EQ(record.data.size(), length);
            }
        }
    }
};

// The drive resets mid-job (it rewinds and goes back to variable blocks). The application hears of
// it, and the bus's restore of its 512-byte blocks then fails on every path once. The next writes
// must still be 512-byte blocks: the bus keeps the block size the application set, and restores it
// when it can, instead of taking the drive's default for the application's.
TEST_F(DriveFaultJob, AFailedRestoreAfterAResetKeepsTheApplicationsBlockSize)
{
    boot(false, 2);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 512}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 4}, {"bytes", 4096}}).status, 0u);
    run({{"op", "reset"}, {"drive", kDrive}});
    EXPECT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 4096}}).status, kStatusBusReset);
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "fail"}, {"count", 2}, {"status", kStatusDeviceNotConnected}});
    run({{"op", "getpos"}, {"handle", "h"}});
    const auto written = run({{"op", "write"}, {"handle", "h"}, {"requests", 3}, {"bytes", 4096}});
    if (written.status == 0) {
        EXPECT_EQ(written.data.at("blocks"), 24);
    }
    run({{"op", "close"}, {"handle", "h"}});

    expectOnlyBlocksOf(512);
    const json result = verify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
}

// The application asks for variable blocks while the drive's only path is down: the request fails,
// and nobody knows whether the drive took it. The path comes back (the drive forgot every setting of
// that connection: its mode pages are each login's own). The application, which no longer knows its
// block size, asks the drive before it writes again and writes in the size the drive reports; what it
// was told it wrote is what the tape holds, and the bus restores that size, not the 4096 it set before
// the failed change.
TEST_F(DriveFaultJob, AWriteAfterAFailedBlockSizeChangeAndALostConnectionUsesTheSizeTheDriveReports)
{
    boot(true, 1, {{"modePages", "perLogin"}});
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 4096}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 5}, {"bytes", 8192}}).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "down"}});
    EXPECT_NE(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 0}}).status, 0u);
    run({{"op", "clear-faults"}, {"drive", kDrive}, {"path", 0u}});
    run({{"op", "getpos"}, {"handle", "h"}});  // hears of the lost connection

    const auto after = run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 28672}});
    EXPECT_EQ(after.status, 0u);
    EXPECT_EQ(after.data.at("blocks"), 2) << "two variable records, as the drive reported";
    ASSERT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0u);
    run({{"op", "close"}, {"handle", "h"}});

    drive().flushBuffer();
    std::size_t variable = 0;
    for (const auto& record : drive().records()) {
        if (!record.isFilemark() && record.data.size() == 28672) {
            ++variable;
        }
    }
    EXPECT_EQ(variable, 2u);
    const json result = verify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
    EXPECT_EQ(result.at("blocks"), 12);
}

// The application unlocked the medium while a path was away; when the path is back, the bus sends it
// (and every other path) the ALLOW it missed, right after the next write. The drive resets just then
// and rewinds: the ALLOWs take the reset's notice on every path. The application must still hear of
// the reset before a write lands on the rewound tape.
TEST_F(DriveFaultJob, AResetTheBussOwnUnlockTookIsStillToldToTheApplication)
{
    boot(false, 2);
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "lock"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 4}, {"bytes", 4096}}).status, 0u);
    ASSERT_EQ(run({{"op", "surprise-remove"}, {"drive", kDrive}, {"path", 1u}}).status, 0u);
    ASSERT_EQ(run({{"op", "unlock"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "add"}, {"drive", kDrive}, {"path", 1u}}).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "reset"}, {"opcode", 0x1E}});
    std::uint32_t status = 0;
    for (int i = 0; i < 3 && status == 0; ++i) {
        status = run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 4096}}).status;
    }
    EXPECT_EQ(status, kStatusBusReset);
    run({{"op", "close"}, {"handle", "h"}});
    const json result = verify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
}

}  // namespace
