// What the port driver reports for a command that failed on its way (an SRB status) or that the
// drive refused as busy, as an application on one path hears it through the tape class driver: the
// NT status the Windows class drivers give it, the class driver's retries where a repeat is
// harmless, and a tape that holds each block the drive ran exactly once.
#include "tape_fixture.h"

namespace tapetest {
namespace {

using sim::hw::Fault;
using sim::hw::FaultKind;
namespace srb = sim::hw::srb;

using PortStatus = OneDriveTwoPaths;

// Answers of a busy drive the class driver takes before it gives up: the first and its retries.
constexpr std::uint32_t kBusyAnswersToGiveUp = 11;

Fault FailWrite(std::uint8_t srbStatus, std::uint8_t scsiStatus = 0, std::uint32_t count = 1, bool executed = false) {
    return Fault{.kind = FaultKind::FailCommands, .count = count, .srbStatus = srbStatus, .scsiStatus = scsiStatus,
                 .opcode = 0x0A, .executed = executed};
}

TEST_P(PortStatus, AFailedWriteGetsTheClassDriversStatusAndIsNotSentAgain) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    const struct {
        std::uint8_t srbStatus;
        bool executed;
        NTSTATUS expected;
    } cases[] = {
        {srb::kSelectionTimeout, false, STATUS_DEVICE_NOT_CONNECTED}, {srb::kNoDevice, false, STATUS_NO_SUCH_DEVICE},
        {srb::kCommandTimeout, false, STATUS_IO_TIMEOUT},           {srb::kCommandTimeout, true, STATUS_IO_TIMEOUT},
        {srb::kAborted, true, STATUS_IO_DEVICE_ERROR},              {srb::kBusReset, false, STATUS_IO_DEVICE_ERROR},
        {srb::kError, true, STATUS_IO_DEVICE_ERROR},
    };
    std::size_t onTape = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(sim::hw::srbStatusName(c.srbStatus));
        pathA_->injectFault(FailWrite(c.srbStatus, 0, 1, c.executed));
        EXPECT_EQ(app.Write(Pattern(100, 1)).status, c.expected);
        // Sent once: a write the drive ran is on tape once, one it never saw is not there.
        onTape += c.executed ? 1 : 0;
        EXPECT_EQ(drive_->records().size(), onTape);
    }
    ASSERT_EQ(app.Write(Pattern(100, 2)).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->records().size(), onTape + 1);
}

TEST_P(PortStatus, ABusyDriveGetsTheCommandAgainUntilItTakesItOrTheRetriesRunOut) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    for (std::uint8_t status : {sim::hw::kScsiBusy, sim::hw::kScsiTaskSetFull}) {
        SCOPED_TRACE(static_cast<int>(status));
        const std::size_t before = drive_->records().size();
        // A few refusals: the write goes through, once.
        drive_->injectFault(FailWrite(0, status, 3));
        EXPECT_EQ(app.Write(Pattern(200, 3)).status, STATUS_SUCCESS);
        EXPECT_EQ(drive_->records().size(), before + 1);
        // More than the class driver waits for: busy, and the drive wrote nothing.
        drive_->injectFault(FailWrite(0, status, kBusyAnswersToGiveUp));
        EXPECT_EQ(app.Write(Pattern(200, 4)).status, STATUS_DEVICE_BUSY);
        EXPECT_EQ(drive_->records().size(), before + 1);
        EXPECT_EQ(Position(a_), before + 1);
    }
}

// A position query whose answer was lost is asked again; when the drive is then busy to the end,
// the caller hears of the lost answer (the query may have run), not of the busy drive.
TEST_P(PortStatus, AQueryLostOnTheWayIsAskedAgain) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(a_.Win32Name()), STATUS_SUCCESS);
    ASSERT_EQ(app.Write(Pattern(100, 1)).status, STATUS_SUCCESS);
    for (std::uint8_t status : {srb::kCommandTimeout, srb::kAborted, srb::kBusReset, srb::kError}) {
        SCOPED_TRACE(sim::hw::srbStatusName(status));
        pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .srbStatus = status, .opcode = 0x34, .executed = true});
        EXPECT_EQ(Position(a_), 1u);
    }
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .srbStatus = srb::kCommandTimeout, .opcode = 0x34});
    drive_->injectFault(Fault{.kind = FaultKind::FailCommands, .count = kBusyAnswersToGiveUp,
                              .scsiStatus = sim::hw::kScsiBusy, .opcode = 0x34});
    TAPE_GET_POSITION position{};
    position.Type = TAPE_LOGICAL_POSITION;
    EXPECT_EQ(Tape(a_, IOCTL_TAPE_GET_POSITION, &position).status, STATUS_IO_TIMEOUT);
    // A selection time-out is final, even for a query.
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .srbStatus = srb::kSelectionTimeout, .opcode = 0x34});
    EXPECT_EQ(Tape(a_, IOCTL_TAPE_GET_POSITION, &position).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Position(a_), 1u);
}

INSTANTIATE_TEST_SUITE_P(Tape, PortStatus, ::testing::Bool(), PendingName);

}  // namespace
}  // namespace tapetest
