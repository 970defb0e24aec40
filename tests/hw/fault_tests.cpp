// Injected failures as a failover test meets them: broken paths, writes that die
// half-way, resets, lost completions. The ground truth must always show exactly
// what reached the tape.
#include <chrono>
#include <thread>

#include "hw_fixture.h"

namespace hwtest {
namespace {

class Faults : public TwoPathDrive {};

TEST_F(Faults, WriteFailingAfterKBlocksLeavesExactlyKBlocks) {
  ASSERT_TRUE(a.setBlockLength(512).good());
  ASSERT_TRUE(a.write(true, 2, pattern(1024, 1)).good());
  pathA->injectFault(Fault{.kind = FaultKind::PartialWrite, .senseKey = 0x0B, .asc = 0x47, .k = 3});

  const auto data = pattern(8 * 512, 2);
  const CommandResult r = a.write(true, 8, data);
  ASSERT_TRUE(hasSense(r, 0x0B, 0x47, 0x00));
  EXPECT_EQ(decodeSense(r.sense).information, 5) << "blocks not written";
  EXPECT_EQ(r.dataOutTransferred, 3 * 512u);
  EXPECT_EQ(r.residual, 5 * 512u);

  const auto recs = drive->records();
  ASSERT_EQ(recs.size(), 5u);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(recs[2 + i].data, std::vector<uint8_t>(data.begin() + i * 512, data.begin() + (i + 1) * 512));
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kUnitAttention, 0x2A, 0x01)) << "the block size is the drive's";
  EXPECT_EQ(b.position(), 5u) << "the other path finds the head after the k blocks";

  ASSERT_TRUE(a.write(true, 1, pattern(512, 3)).good()) << "the fault was used up";
  EXPECT_EQ(drive->records().size(), 6u);
}

TEST_F(Faults, WriteTimingOutAfterKBlocksStillPutsThemOnTape) {
  pathB->injectFault(Fault{.kind = FaultKind::PartialWrite, .status = kStatusIoTimeout, .k = 2});
  ASSERT_TRUE(b.setBlockLength(1024).good());
  const CommandResult r = b.write(true, 4, pattern(4096, 5));
  EXPECT_EQ(r.transportStatus, kStatusIoTimeout);
  EXPECT_TRUE(r.sense.empty());
  EXPECT_EQ(drive->records().size(), 2u);
  EXPECT_TRUE(hasSense(a.testUnitReady(), sense_key::kUnitAttention, 0x2A, 0x01)) << "the block size is the drive's";
  EXPECT_EQ(a.position(), 2u);

  // A lost completion: the whole write is on tape, the initiator hears nothing.
  pathA->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kStatusIoTimeout, .opcode = 0x0A,
                           .executed = true});
  EXPECT_EQ(a.write(false, 100, pattern(100, 6)).transportStatus, kStatusIoTimeout);
  EXPECT_EQ(layout(), (std::vector<long>{1024, 1024, 100}));
  EXPECT_EQ(b.position(), 3u);
}

TEST_F(Faults, FilemarksWrittenBeforeAHardwareError) {
  pathA->injectFault(Fault{.kind = FaultKind::PartialWrite, .senseKey = 0x04, .asc = 0x44, .opcode = 0x10, .k = 1});
  ASSERT_TRUE(a.write(false, 10, pattern(10, 1)).good()) << "the fault waits for WRITE FILEMARKS";
  const CommandResult r = a.writeFilemarks(3);
  ASSERT_TRUE(hasSense(r, 0x04, 0x44, 0x00));
  EXPECT_EQ(decodeSense(r.sense).information, 2);
  EXPECT_EQ(layout(), (std::vector<long>{10, -1}));
}

TEST_F(Faults, FailNextCommandsOfOneKind) {
  pathA->injectFault(Fault{.kind = FaultKind::FailCommands, .count = 2, .senseKey = 0x0B, .asc = 0x47,
                           .opcode = 0x34});
  EXPECT_TRUE(a.testUnitReady().good());
  EXPECT_TRUE(hasSense(a.readPosition(0), 0x0B, 0x47, 0x00));
  EXPECT_TRUE(b.readPosition(0).good()) << "only path A is affected";
  EXPECT_TRUE(hasSense(a.readPosition(0), 0x0B, 0x47, 0x00));
  EXPECT_TRUE(a.readPosition(0).good());

  // A drive fault hits whichever path comes next, and the command does not run.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(a.write(false, 4, pattern(4, 1)).good());
  drive->injectFault(Fault{.kind = FaultKind::FailCommands, .senseKey = 0x02, .asc = 0x04});
  EXPECT_TRUE(hasSense(b.rewind(), 0x02, 0x04, 0x00));
  EXPECT_EQ(a.position(), 3u);

  pathA->injectFault(Fault{.kind = FaultKind::FailCommands, .count = Fault::kForever, .status = kStatusIoTimeout});
  for (int i = 0; i < 5; ++i) EXPECT_EQ(a.testUnitReady().transportStatus, kStatusIoTimeout);
  pathA->clearFaults();
  EXPECT_TRUE(a.testUnitReady().good());
}

TEST_F(Faults, PathDownUntilRestored) {
  pathA->setDown(kStatusIoTimeout);
  EXPECT_EQ(a.write(false, 8, pattern(8, 1)).transportStatus, kStatusIoTimeout);
  EXPECT_EQ(pathA->logicalUnitReset(), kStatusIoTimeout);
  EXPECT_TRUE(drive->records().empty());
  EXPECT_TRUE(b.write(false, 8, pattern(8, 1)).good());
  pathA->restore();
  // Every outage is a lost nexus: the first command afterwards hears of it.
  EXPECT_TRUE(hasSense(a.testUnitReady(), 0x06, 0x29, 0x07));
  EXPECT_TRUE(a.testUnitReady().good());
  const PathCounters c = pathA->counters();
  EXPECT_EQ(c.transportFailures, 1u);
  EXPECT_EQ(c.delivered, c.commands - 1);

  pathA->injectFault(Fault{.kind = FaultKind::PathDown});
  EXPECT_EQ(a.testUnitReady().transportStatus, kStatusDeviceNotConnected);
  pathA->clearFaults();
  EXPECT_TRUE(hasSense(a.testUnitReady(), 0x06, 0x29, 0x07));
  EXPECT_TRUE(a.testUnitReady().good());

  san.setAdapterDown(1, kStatusIoTimeout);
  EXPECT_EQ(b.testUnitReady().transportStatus, kStatusIoTimeout);
  EXPECT_TRUE(a.testUnitReady().good());
  san.restoreAdapter(1);
  EXPECT_TRUE(hasSense(b.testUnitReady(), 0x06, 0x29, 0x07));
  EXPECT_TRUE(b.testUnitReady().good());

  drive->injectFault(Fault{.kind = FaultKind::PathDown});
  EXPECT_EQ(a.testUnitReady().transportStatus, kStatusDeviceNotConnected) << "the drive itself is gone";
  EXPECT_EQ(b.testUnitReady().transportStatus, kStatusDeviceNotConnected);
  drive->clearFaults();
  EXPECT_TRUE(hasSense(b.testUnitReady(), 0x06, 0x29, 0x07)) << "every nexus was lost with the drive";
  EXPECT_TRUE(b.testUnitReady().good());
}

// A path that goes down after a reset it has not heard of yet still hears of the reset when it
// comes back: the tape was rewound, which the nexus loss alone would not tell.
TEST_F(Faults, APathLostAfterAResetStillHearsOfTheReset) {
  ASSERT_TRUE(a.write(false, 8, pattern(8, 1)).good());
  drive->reset();
  pathB->setDown(kStatusIoTimeout);
  pathB->restore();
  EXPECT_TRUE(hasSense(b.testUnitReady(), 0x06, 0x29, 0x00));
  EXPECT_TRUE(b.testUnitReady().good());
  // Without a reset, a lost path hears only of the nexus loss.
  pathB->setDown(kStatusIoTimeout);
  pathB->restore();
  EXPECT_TRUE(hasSense(b.testUnitReady(), 0x06, 0x29, 0x07));
}

TEST_F(Faults, AbsentPathsAreReportedToTheAdapter) {
  std::vector<std::pair<ScsiAddress, bool>> events;
  san.setPresenceListener([&](Path& p, bool present) { events.emplace_back(p.address(), present); });
  pathB->setPresent(false);
  pathB->setPresent(false);
  EXPECT_EQ(b.testUnitReady().transportStatus, kStatusDeviceNotConnected);
  pathB->setPresent(true);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], (std::pair{ScsiAddress{1, 0, 5, 0}, false}));
  EXPECT_EQ(events[1], (std::pair{ScsiAddress{1, 0, 5, 0}, true}));
  EXPECT_TRUE(hasSense(b.testUnitReady(), 0x06, 0x29, 0x07)) << "once, however often it vanished";
  EXPECT_TRUE(b.testUnitReady().good());
  EXPECT_EQ(san.findPath(ScsiAddress{1, 0, 5, 0}), pathB);
  EXPECT_EQ(san.findDrive("HU1234567890ABCDEFGHIJKLMNOPQRST"), drive);
  EXPECT_EQ(san.pathsTo(*drive).size(), 2u);
  EXPECT_THROW(san.connect(1, 0, 5, 0, *drive), std::invalid_argument) << "address in use";
}

TEST_F(Faults, AReadThatBreaksOffDeliversTheBlocksItMoved) {
  ASSERT_TRUE(a.setBlockLength(256).good());
  const auto data = pattern(6 * 256, 4);
  ASSERT_TRUE(a.write(true, 6, data).good());
  ASSERT_TRUE(a.rewind().good());

  pathA->injectFault(Fault{.kind = FaultKind::PartialTransfer, .senseKey = 0x0B, .asc = 0x47, .opcode = 0x08, .k = 2});
  const CommandResult r = a.read(true, false, 5, 5 * 256);
  ASSERT_TRUE(hasSense(r, 0x0B, 0x47, 0x00));
  EXPECT_EQ(decodeSense(r.sense).information, 3) << "blocks not read";
  EXPECT_EQ(r.dataIn, std::vector<uint8_t>(data.begin(), data.begin() + 2 * 256));
  EXPECT_EQ(r.residual, 3 * 256u);
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kUnitAttention, 0x2A, 0x01)) << "the block size is the drive's";
  EXPECT_EQ(b.position(), 2u) << "the head stands after the blocks that moved";

  // A transport failure after k blocks: the initiator learns nothing, the head moved.
  pathA->injectFault(Fault{.kind = FaultKind::PartialTransfer, .status = kStatusIoTimeout, .k = 1});
  EXPECT_EQ(a.read(true, false, 3, 3 * 256).transportStatus, kStatusIoTimeout);
  EXPECT_EQ(b.position(), 3u);

  // Writes break off the same way.
  pathB->injectFault(Fault{.kind = FaultKind::PartialTransfer, .k = 1});
  ASSERT_TRUE(b.setBlockLength(256).good());
  EXPECT_TRUE(hasSense(b.write(true, 2, pattern(512, 9)), 0x0B, 0x00, 0x00));
  EXPECT_EQ(layout(), (std::vector<long>{256, 256, 256, 256}));
}

TEST_F(Faults, ResetBeforeACommandRewindsAndAttentionsEveryone) {
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(a.write(false, 4, pattern(4, 1)).good());
  drive->injectFault(Fault{.kind = FaultKind::Reset, .opcode = 0x08});
  EXPECT_TRUE(a.space(0, -1).good()) << "waits for a READ";
  EXPECT_TRUE(hasSense(b.read(false, false, 4, 4), 0x06, 0x29, 0x00));
  EXPECT_TRUE(hasSense(a.testUnitReady(), 0x06, 0x29, 0x00));
  EXPECT_EQ(b.position(), 0u);
  EXPECT_EQ(drive->records().size(), 3u);
}

TEST_F(Faults, VerifyInProgressSeenThroughRequestSense) {
  drive->injectFault(Fault{.kind = FaultKind::VerifyInProgress, .count = 2});
  for (int i = 0; i < 2; ++i) {
    const CommandResult r = b.requestSense();
    ASSERT_TRUE(r.good());
    const SenseInfo s = decodeSense(r.dataIn);
    EXPECT_EQ(s.key, 0);
    EXPECT_EQ(s.asc, 0x00);
    EXPECT_EQ(s.ascq, 0x1C);
    EXPECT_EQ(r.dataIn[15] & 0x80, 0x80) << "progress indication valid";
  }
  EXPECT_EQ(decodeSense(b.requestSense().dataIn).ascq, 0x00);
}

// What the port reports instead of a ready NT status, and what the drive answers when it is busy:
// the command fails as the fault names it, and the tape holds exactly what the drive ran.
TEST_F(Faults, PortAndDeviceStatusesReplaceTheCommandsOutcome) {
  pathA->injectFault(Fault{.kind = FaultKind::FailCommands, .srbStatus = srb::kSelectionTimeout, .opcode = 0x0A});
  CommandResult r = a.write(false, 8, pattern(8, 1));
  EXPECT_FALSE(r.delivered());
  EXPECT_EQ(r.srbStatus, srb::kSelectionTimeout);
  EXPECT_TRUE(drive->records().empty()) << "a selection time-out never reaches the drive";

  // A write that timed out at the drive after it ran: on tape once, and the host hears only the port.
  pathA->injectFault(
      Fault{.kind = FaultKind::FailCommands, .srbStatus = srb::kCommandTimeout, .opcode = 0x0A, .executed = true});
  r = a.write(false, 8, pattern(8, 2));
  EXPECT_EQ(r.srbStatus, srb::kCommandTimeout);
  EXPECT_EQ(layout(), (std::vector<long>{8}));

  // CHECK CONDITION whose sense was lost: the drive answered, the host learns nothing more.
  pathA->injectFault(Fault{.kind = FaultKind::FailCommands, .srbStatus = srb::kError, .opcode = 0x0A});
  r = a.write(false, 8, pattern(8, 3));
  ASSERT_TRUE(r.delivered());
  EXPECT_EQ(r.scsiStatus, kScsiCheckCondition);
  EXPECT_TRUE(r.sense.empty());
  EXPECT_EQ(layout(), (std::vector<long>{8}));

  // A busy drive refuses every path's commands and runs none of them, even one marked executed.
  drive->injectFault(Fault{.kind = FaultKind::FailCommands, .count = 2, .scsiStatus = kScsiBusy, .executed = true});
  EXPECT_EQ(b.write(false, 8, pattern(8, 4)).scsiStatus, kScsiBusy);
  EXPECT_EQ(a.write(false, 8, pattern(8, 4)).scsiStatus, kScsiBusy);
  EXPECT_EQ(layout(), (std::vector<long>{8}));
  EXPECT_TRUE(a.write(false, 8, pattern(8, 4)).good()) << "the refusals were used up";

  // A full task set on one path's view of the drive leaves the other path's commands alone.
  pathB->injectFault(Fault{.kind = FaultKind::FailCommands, .scsiStatus = kScsiTaskSetFull});
  EXPECT_TRUE(a.testUnitReady().good());
  const CommandResult full = b.write(false, 8, pattern(8, 5));
  EXPECT_EQ(full.scsiStatus, kScsiTaskSetFull);
  EXPECT_EQ(full.residual, 8u);
  EXPECT_EQ(layout(), (std::vector<long>{8, 8}));
  EXPECT_EQ(b.position(), 2u);
}

// A link that fails while the drive works on the path's command leaves that command open at the
// drive: the other paths meet BUSY, and nothing of theirs runs, until a logical unit reset aborts it.
TEST_F(Faults, ACommandLeftOpenByAFailedLinkKeepsTheDriveBusy) {
  ASSERT_TRUE(b.write(false, 8, pattern(8, 1)).good());
  pathA->injectFault(Fault{.kind = FaultKind::PathDown, .runningMs = 600'000});
  EXPECT_EQ(b.write(false, 8, pattern(8, 2)).scsiStatus, kScsiBusy);
  EXPECT_EQ(b.testUnitReady().scsiStatus, kScsiBusy);
  EXPECT_EQ(layout(), (std::vector<long>{8}));

  ASSERT_EQ(pathB->logicalUnitReset(), 0u);
  EXPECT_TRUE(hasSense(b.testUnitReady(), 0x06, 0x29, 0x00)) << "the reset that aborted it";
  EXPECT_TRUE(b.write(false, 8, pattern(8, 2)).good());

  // Without a time of its own, a failed link leaves nothing open.
  pathB->injectFault(Fault{.kind = FaultKind::PathDown});
  pathA->clearFaults();
  a.drainAttentions();
  EXPECT_TRUE(a.testUnitReady().good());
}

TEST(FaultRecords, PortAndDeviceStatusesHaveScenarioNames) {
  for (const char* name : {"selection-timeout", "no-device", "command-timeout", "aborted", "bus-reset", "error-no-sense"}) {
    const auto srbStatus = srbStatusFromString(name);
    ASSERT_TRUE(srbStatus) << name;
    EXPECT_EQ(srbStatusName(*srbStatus), name);
  }
  EXPECT_EQ(scsiStatusFromString("busy"), kScsiBusy);
  EXPECT_EQ(scsiStatusFromString("task-set-full"), kScsiTaskSetFull);
  EXPECT_FALSE(srbStatusFromString("busy"));
}

TEST(FaultRecords, KindsHaveStableNames) {
  for (FaultKind k : {FaultKind::FailCommands, FaultKind::PathDown, FaultKind::PartialWrite, FaultKind::Reset,
                      FaultKind::RefusePreempt, FaultKind::VerifyInProgress})
    EXPECT_EQ(faultKindFromString(toString(k)), k);
  EXPECT_EQ(faultKindFromString("partial_write"), FaultKind::PartialWrite);
  EXPECT_FALSE(faultKindFromString("Reset"));
}

TEST_F(Faults, TransferTimeIsSpentOutsideTheDrive) {
  using namespace std::chrono;
  // Each command takes 400 ms of the drive's time; one after the other the two would take 800 ms.
  // What the machine adds besides (a thread start, two commands) is far below the 200 ms allowed,
  // even on a machine a hundred times slower or fully busy.
  constexpr auto kCommand = milliseconds(400);
  drive->setTiming(TimingModel{0, kCommand});
  const auto start = steady_clock::now();
  std::thread other([&] { EXPECT_TRUE(b.testUnitReady().good()); });
  EXPECT_TRUE(a.testUnitReady().good());
  other.join();
  const auto both = steady_clock::now() - start;
  EXPECT_GE(both, kCommand);
  EXPECT_LT(both, kCommand + kCommand / 2) << "two paths wait in parallel, not one after the other";

  drive->setTiming(TimingModel{1'000'000, microseconds(0)});  // 1 MB/s
  const auto t0 = steady_clock::now();
  ASSERT_TRUE(a.write(false, 20000, pattern(20000, 1)).good());
  EXPECT_GE(steady_clock::now() - t0, milliseconds(20));
  drive->setTiming({});
}

}  // namespace
}  // namespace hwtest
