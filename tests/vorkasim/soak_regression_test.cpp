// Scenarios the fault soak found, each a backup job that once went wrong, kept as tests.
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sim/hw/san.h>
#include <sim/hw/tape_drive.h>

#include "one_drive_job.h"
#include "runner.h"
#include "scenario.h"
#include "soak.h"
#include "test_world.h"
#include "world.h"

namespace {

using nlohmann::json;

class SoakFindings : public vorkasim::testing::OneDriveJob {
protected:
    void SetUp() override { bootDrive("VRK0000000000001", "5abcdef000000001", true, 1); }
};

// The only path drops and comes back: the drive forgets the 4096-byte blocks the application set
// for it (its connection was lost). The application hears of the failure, asks where it is and
// writes on: its blocks must still be 4096-byte blocks, not one variable record per request.
TEST_F(SoakFindings, FixedBlocksWrittenAfterThePathCameBackAreStillFixedBlocks)
{
    const std::string drive = "VRK0000000000001";
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 4096}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 16384}}).status, 0u);
    run({{"op", "fault"}, {"drive", drive}, {"path", 0u}, {"kind", "down"}});
    EXPECT_NE(run({{"op", "writefm"}, {"handle", "h"}, {"count", 1}}).status, 0u);
    run({{"op", "clear-faults"}, {"drive", drive}, {"path", 0u}});
    run({{"op", "getpos"}, {"handle", "h"}});  // hears of the lost connection
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 16384}}).status, 0u);

    ASSERT_EQ(run({{"op", "rewind"}, {"handle", "h"}}).status, 0u);
    const auto read = run({{"op", "read"}, {"handle", "h"}, {"requests", 4}, {"bytes", 16384}});
    EXPECT_EQ(read.status, 0u);
    EXPECT_EQ(read.data.at("blocks"), 16);
    EXPECT_TRUE(read.data.at("stampsOk").get<bool>());
    const json verify = run({{"op", "verify"}}).data.at("verify");
    EXPECT_TRUE(verify.at("clean").get<bool>()) << vorkasim::VerifyVerdict(verify);
    EXPECT_EQ(verify.at("lost"), 0);
    EXPECT_EQ(verify.at("blocks"), 16);
    run({{"op", "close"}, {"handle", "h"}});
}

// The application spaces back into what it wrote and writes anew; the drive holds the new block
// in its write buffer, so the old blocks after it are still on the medium until the buffer is
// written. The check against the ground truth reads the tape as it will be: the new block
// replaces them, nothing is unexpected.
TEST_F(SoakFindings, ABufferedWriteInTheMiddleReplacesWhatFollowsBeforeItReachesTheMedium)
{
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 5}, {"bytes", 1000}}).status, 0u);
    ASSERT_EQ(run({{"op", "space"}, {"handle", "h"}, {"kind", "blocks"}, {"count", -3}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 1000}}).status, 0u);
    ASSERT_EQ(world_->san().findDrive("VRK0000000000001")->bufferedRecords().size(), 1u);
    const json verify = run({{"op", "verify"}}).data.at("verify");
    EXPECT_TRUE(verify.at("clean").get<bool>()) << vorkasim::VerifyVerdict(verify);
    EXPECT_EQ(verify.at("blocks"), 3);
    EXPECT_EQ(verify.at("unexpected"), 0);
    run({{"op", "close"}, {"handle", "h"}});
}

// Drives that report a path's new login as a reset (06/29/00 or 06/29/03), whose jobs moved to such a
// path in the middle of a locate (the application's own SPACE before it had left the bus without the
// place), of the application's own filemark flush or SPACE at the beginning of the tape: each was told
// STATUS_BUS_RESET on a drive that kept a healthy path and lost nothing. Seeds of the soak's draw as
// it stands; each must pass the soak's whole check.
TEST(SoakSeeds, NewLoginsThatLookLikeResetsFailNoRequestOfADriveThatKeptAHealthyPath)
{
    for (const std::uint64_t seed : {10602588ull, 10703823ull, 10703906ull, 10707074ull, 10709103ull}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const vorkasim::DrawnScenario drawn = vorkasim::DrawSoakScenario(seed, vorkasim_test::TestWorldOptions());
        std::string why;
        EXPECT_TRUE(vorkasim::RunSoakScenario(drawn, vorkasim_test::TestWorldOptions(), &why)) << why;
    }
}

}  // namespace
