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
    void boot(bool buffered, int paths, const json& fields = json::object())
    {
        bootDrive(kDrive, "5abcdef000000007", buffered, paths, fields);
    }
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

// A drive that reports each new login as a reset (06/29/00), reached over four paths; the second and
// third came back from a link drop and hold their new login's notice. The application spaces to the
// end of its data with a pass-through, so the bus does not know where the tape stands, and the first
// path is lost before the application's next write, which begins by asking where the tape is. That
// request goes to the second path and meets the notice; the third, asked whether the drive was
// reset, only has its own new login to tell, and the fourth answers plainly: no reset happened. The
// application learns that it stands at the end of its data, writes on, and each block is on the
// tape once.
TEST_F(ResetNoticeJob, ANewLoginIsNotTakenForAResetWhileOneOtherPathAnswersPlainly)
{
    boot(false, 4, {{"loginSense", "29/00"}});
    startJob(3);
    for (unsigned path : {1u, 2u}) {
        run({{"op", "fault"}, {"drive", kDrive}, {"path", path}, {"kind", "down"}});
        run({{"op", "clear-faults"}, {"drive", kDrive}, {"path", path}});
    }
    const auto space = run({{"op", "passthrough"}, {"handle", "h"}, {"cdb", "91030000000000000000000000000000"}});
    ASSERT_EQ(space.status, 0u);
    run({{"op", "fault"}, {"drive", kDrive}, {"path", 0u}, {"kind", "down"}});

    const auto where = run({{"op", "getpos"}, {"handle", "h"}});
    EXPECT_NE(where.status, kStatusBusReset) << "a new login was taken for a reset";
    ASSERT_EQ(where.status, 0u);
    EXPECT_EQ(where.data.at("position"), 3u);
    EXPECT_EQ(run({{"op", "write"}, {"handle", "h"}, {"requests", 2}, {"bytes", 4096}}).status, 0u);
    EXPECT_EQ(dataRecords(), 5u);
    const json result = closeAndVerify();
    EXPECT_TRUE(result.at("clean").get<bool>()) << vorkasim::VerifyVerdict(result);
    EXPECT_EQ(result.at("blocks"), 5);
}

}  // namespace
