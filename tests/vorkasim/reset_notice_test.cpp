// Backup jobs on a drive that is reset while the path holding its reservation goes away. The
// reset rewinds the tape; the other paths each hold the drive's notice of it, and the first
// request on such a path that takes the reservation over meets that notice. Whoever's request
// meets it (the application's, or one the bus sends for its own bookkeeping), the application
// must learn of the reset: a request that runs on the rewound tape as if nothing happened
// writes over the start of the tape while the application believes it appends.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sim/hw/san.h>
#include <sim/hw/tape_drive.h>

#include "one_drive_job.h"
#include "runner.h"
#include "test_world.h"

namespace {

using nlohmann::json;
using vorkasim_test::kStatusBusReset;

class ResetNoticeJob : public vorkasim::testing::OneDriveJob {
protected:
    static constexpr const char* kDrive = "VRK0000000000007";
    void boot(bool buffered, int paths) { bootDrive(kDrive, "5abcdef000000007", buffered, paths); }
    sim::hw::TapeDrive& drive() { return driveNamed(kDrive); }

    // Opens the tape in 4096-byte blocks and writes `blocks` of them on the first path, which
    // then holds the reservation.
    void startJob(int blocks)
    {
        ASSERT_EQ(run({{"op", "open"}, {"device", "Tape1"}, {"handle", "h"}}).status, 0u);
        ASSERT_EQ(run({{"op", "setblocksize"}, {"handle", "h"}, {"size", 4096}}).status, 0u);
        ASSERT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", blocks}, {"bytes", 4096}}).status, 0u);
    }
    std::size_t dataRecords()
    {
        drive().flushBuffer();
        std::size_t count = 0;
        for (const auto& record : drive().records()) {
            count += record.isFilemark() ? 0 : 1;
        }
        return count;
    }
};

// The filemark request fails on the path that went down; the bus reads the position to know where
// the tape stands, and the settings restore before that read meets the reset's notice on every
// other path. The filemarks must not then go to the rewound tape with a success: the application
// hears of the reset, and the blocks it wrote are still there.
TEST_F(ResetNoticeJob, FilemarksAfterAResetAndTheLossOfTheReservingPathAreNotWrittenAtTheStart)
{
    boot(false, 3);
    startJob(3);
    run({{"op", "reset"}, {"drive", kDrive}});
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "down"}});

    const auto marks = run({{"op", "writefm"}, {"handle", "h"}, {"count", 2}});
    EXPECT_EQ(marks.status, kStatusBusReset) << "the application must hear of the reset";
    EXPECT_EQ(dataRecords(), 3u) << "the blocks at the start of the tape were written over";
    const json result = verify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);

    // Told of the reset, the application asks where it is and carries on from there.
    const auto where = run({{"op", "getpos"}, {"handle", "h"}});
    ASSERT_EQ(where.status, 0u);
    EXPECT_EQ(where.data.at("position"), 0u);
    ASSERT_EQ(run({{"op", "space"}, {"handle", "h"}, {"kind", "eod"}}).status, 0u);
    EXPECT_EQ(run({{"op", "writefm"}, {"handle", "h"}, {"count", 2}}).status, 0u);
    run({{"op", "close"}, {"handle", "h"}});
    const json after = verify();
    EXPECT_TRUE(after.at("clean").get<bool>()) << vorkasim::VerifyVerdict(after);
    EXPECT_EQ(after.at("filemarks"), 2u);
}

}  // namespace
