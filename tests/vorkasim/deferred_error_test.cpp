// A backup job on a buffered drive of two paths whose write fails inside the drive after it was
// acknowledged. The drive reports the loss on the next command, whatever that command is; the
// other path reaches the same tape, so sending that command again there would only hide the loss.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sim/hw/san.h>
#include <sim/hw/tape_drive.h>

#include "one_drive_job.h"
#include "runner.h"

namespace {

using nlohmann::json;

const std::string kDrive = "VRK000000000000A";

class DeferredErrorJob : public vorkasim::testing::OneDriveJob {
protected:
    void boot() { bootDrive(kDrive, "5abcdef00000000a", true, 2); }
};

TEST_F(DeferredErrorJob, TheRequestAfterAWriteTheDriveLostFailsInsteadOfMovingToTheOtherPath)
{
    boot();
    ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "lock"}, {"handle", "h"}}).status, 0u);
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 8192}}).status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"kind", "deferred_error"}, {"k", 0}});
    ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 1}, {"bytes", 8192}}).status, 0u)
        << "the drive acknowledges the write into its buffer";
    run({{"op", "clear-faults"}, {"drive", kDrive}});

    EXPECT_NE(run({{"op", "unlock"}, {"handle", "h"}}).status, 0u) << "the loss must reach the application";
    run({{"op", "close"}, {"handle", "h"}});
    const json result = verify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
    EXPECT_EQ(result.at("lost"), 0u);
    EXPECT_GE(result.at("reportedLoss"), 1u);
}

}  // namespace
