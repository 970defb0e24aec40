// Backup applications writing and reading through \\.\Tape<n> while a path fails: the real tape
// bus, the real path filter, the base driver vorkatape and a simulated drive reached over two
// paths, with faults injected on a path. After every fault the medium (the drive's ground truth)
// holds each block the application was told it wrote, once and in order.
#include "failover_fixture.h"

#include <future>
#include <thread>

namespace {

using namespace failover_test;

// ---- Writes that fail part way ----

TEST_P(Failover, AWriteThatReachedPartOfTheTapeIsFinishedWithExactlyTheRest) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto leadIn = LeadIn(100);
    // 60 of the 128 blocks reach the tape, then the drive reports an aborted command.
    pathA_->injectFault(Fault{.kind = FaultKind::PartialWrite, .senseKey = 0x0B, .opcode = kWrite6, .k = 60});
    const auto data = Pattern(65536, 9);
    Reply r = app_->Write(data);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 65536u) << "the application is told the whole write";
    ExpectMedium(leadIn, data);
    EXPECT_EQ(GroundPosition(), 228u);
}

TEST_P(Failover, AWriteCutOffWithItsPathIsFinishedOnTheOtherPath) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto leadIn = LeadIn(100);
    // 60 blocks reach the tape, then the cable is pulled.
    pathA_->injectFault(Fault{.kind = FaultKind::PartialWrite, .status = kDeviceNotConnected, .opcode = kWrite6, .k = 60});
    pathA_->injectFault(Fault{.kind = FaultKind::PathDown, .count = Fault::kForever});
    const auto data = Pattern(65536, 9);
    Reply r = app_->Write(data);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 65536u);
    ExpectMedium(leadIn, data);
    EXPECT_EQ(drive_->initiatorSettings(pathB_->initiator()).blockLength, 512u)
        << "the block size is set on the new path before the rest is written";
    EXPECT_EQ(rig_->Machine().pool().liveCountWithTag(sim::PoolTag("fODP")), 0u) << "no tried-paths list left";

    // Later writes go to the new primary path and keep landing in order.
    const auto more = Pattern(4096, 3);
    ASSERT_EQ(app_->Write(more).status, STATUS_SUCCESS);
    auto all = data;
    all.insert(all.end(), more.begin(), more.end());
    ExpectMedium(leadIn, all);
}

TEST_P(Failover, AWriteWhoseCompletionWasLostIsNotWrittenAgain) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto leadIn = LeadIn(100);
    // The drive wrote all 128 blocks (block 228), the completion is lost on the way back.
    pathA_->injectFault(
        Fault{.kind = FaultKind::FailCommands, .senseKey = 0x0B, .opcode = kWrite6, .executed = true});
    const auto data = Pattern(65536, 5);
    Reply r = app_->Write(data);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 65536u);
    ExpectMedium(leadIn, data);
    EXPECT_EQ(Commands(*pathA_, kWrite6) + Commands(*pathB_, kWrite6), 2) << "lead-in and the one write";
}

// The first write after a rewind asks the drive for its block size, and that question meets the
// drive's notice that the path lost its connection, which leaves the position unknown. The write
// then reaches the tape with its completion lost: it can only be finished on the other path if the
// bus knows where it started, so the position is read again before the write goes out.
TEST_P(Failover, AWriteWhoseBlockSizeReadMetALostConnectionIsStillFinishedOnTheOtherPath) {
    ASSERT_EQ(Rewind(), STATUS_SUCCESS);
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .senseKey = 0x06, .asc = 0x29, .ascq = 0x07,
                              .opcode = 0x1A});
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = 0xC00000B5, .opcode = kWrite6,
                              .executed = true});
    const auto data = Pattern(3000, 9);
    Reply r = app_->Write(data);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 3000u);
    const auto records = drive_->records();
    ASSERT_EQ(records.size(), 1u) << "the one variable block, once";
    EXPECT_EQ(records[0].data, data);
}

TEST_P(Failover, VariableBlocksAreWrittenOnceWhetherOrNotTheFailedWriteReachedTheTape) {
    ASSERT_EQ(SetBlockSize(0), STATUS_SUCCESS);
    const auto first = Pattern(3000, 1);
    ASSERT_EQ(app_->Write(first).status, STATUS_SUCCESS);
    // Not on tape: the transport lost it before the drive.
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kDeviceNotConnected, .opcode = kWrite6});
    const auto second = Pattern(5000, 2);
    Reply r = app_->Write(second);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, second.size());
    // On tape, completion lost.
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kDeviceNotConnected, .opcode = kWrite6,
                              .executed = true});
    const auto third = Pattern(700, 3);
    r = app_->Write(third);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, third.size());

    const auto records = drive_->records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].data, first);
    EXPECT_EQ(records[1].data, second);
    EXPECT_EQ(records[2].data, third);
}

// ---- Reads ----

TEST_P(Failover, AReadThatFailsMidStreamResumesAtTheRightBlock) {
    ASSERT_EQ(SetBlockSize(0), STATUS_SUCCESS);
    std::vector<std::vector<std::uint8_t>> blocks;
    for (int i = 0; i < 8; ++i) {
        blocks.push_back(Pattern(1000 + i, static_cast<std::uint8_t>(i + 1)));
        ASSERT_EQ(app_->Write(blocks.back()).status, STATUS_SUCCESS);
    }
    ASSERT_EQ(Rewind(), STATUS_SUCCESS);
    std::vector<std::uint8_t> data;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(app_->Read(&data, 4096).status, STATUS_SUCCESS);
    // The drive reads block 3 and moves past it, but the answer never arrives; then the path goes.
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kDeviceNotConnected, .opcode = kRead6,
                              .executed = true});
    pathA_->injectFault(Fault{.kind = FaultKind::PathDown, .count = Fault::kForever});
    for (int i = 3; i < 8; ++i) {
        Reply r = app_->Read(&data, 4096);
        ASSERT_EQ(r.status, STATUS_SUCCESS) << "block " << i;
        EXPECT_EQ(data, blocks[i]) << "block " << i;
    }
}

// ---- Settings on the new path ----

TEST_P(Failover, TheLockAndBlockSizeAreOnTheNewPathBeforeTheRetry) {
    ASSERT_EQ(SetBlockSize(1024), STATUS_SUCCESS);
    ASSERT_EQ(Prepare(TAPE_LOCK), STATUS_SUCCESS);
    ASSERT_TRUE(drive_->initiatorSettings(pathA_->initiator()).preventRemoval);
    ASSERT_FALSE(drive_->initiatorSettings(pathB_->initiator()).preventRemoval);
    pathA_->setDown();
    const auto data = Pattern(8192, 4);
    Reply r = app_->Write(data);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    const auto b = drive_->initiatorSettings(pathB_->initiator());
    EXPECT_TRUE(b.preventRemoval);
    EXPECT_EQ(b.blockLength, 1024u);
    const auto records = drive_->records();
    ASSERT_EQ(records.size(), 8u) << "8 blocks of the restored size, not one variable block";
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(records[i].data, Block(data, i, 1024));
}

TEST_P(Failover, ProtectionAndAmuAreSetOnTheNewPathBeforeTheRetry) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    // Logical block protection as an application sets it: Capable, Method, Length, Write, Read, RDBP.
    std::uint8_t lbp[32] = {1, 2, 4, 0, 0, 0};
    ASSERT_EQ(app_->Control(0x1FE0C4, lbp, sizeof(lbp), lbp, sizeof(lbp)).status, STATUS_SUCCESS);
    std::uint8_t amu[8] = {3};
    ASSERT_EQ(app_->Control(0x1FE0E4, amu, sizeof(amu), amu, sizeof(amu)).status, STATUS_SUCCESS);
    ASSERT_EQ(drive_->initiatorSettings(pathA_->initiator()).lbp.method, 2);
    pathA_->setDown();
    ASSERT_EQ(app_->Write(Pattern(1024, 2)).status, STATUS_SUCCESS);
    const auto b = drive_->initiatorSettings(pathB_->initiator());
    EXPECT_EQ(b.lbp.method, 2);
    EXPECT_EQ(b.lbp.length, 4);
    EXPECT_EQ(b.amu, 3);
    EXPECT_EQ(b.blockLength, 512u);
}

// ---- Near the end of the tape ----

class SmallCartridge : public ::testing::TestWithParam<bool> {};

TEST_P(SmallCartridge, TheRestOfAWriteThatRunsIntoEarlyWarningIsCountedInFull) {
    // A small cartridge of 400 blocks of 512 bytes whose early-warning zone starts at block 120.
    Rig rig(RigOptions{.forcePending = GetParam(), .realBus = true});
    auto& drive = rig.AddDrive("VORKA-F-0002", [](sim::hw::DriveConfig& config) {
        config.medium = sim::hw::MediumConfig{.capacityBytes = 400 * 512, .earlyWarningBytes = 280 * 512};
    });
    rig.San().addAdapter();
    rig.San().addAdapter();
    auto& a = rig.San().connect(0, 0, 5, 0, drive, 0);
    rig.San().connect(1, 0, 5, 0, drive, 1);
    rig.Boot();
    auto stack = rig.StackOf(a);
    ASSERT_TRUE(stack.has_value());
    std::u16string name = u"\\\\.\\Tape";
    for (char c : std::to_string(rig.Query(*stack).virtualTapeNumber)) name += static_cast<char16_t>(c);
    App app(rig.Machine());
    ASSERT_EQ(app.Open(name), STATUS_SUCCESS);
    TAPE_SET_MEDIA_PARAMETERS media{512};
    ASSERT_EQ(app.Control(IOCTL_TAPE_SET_MEDIA_PARAMS, &media).status, STATUS_SUCCESS);
    ASSERT_EQ(app.Write(Pattern(50 * 512, 1)).status, STATUS_SUCCESS);

    // 60 blocks reach the tape (up to block 110); the rest crosses block 120.
    a.injectFault(Fault{.kind = FaultKind::PartialWrite, .senseKey = 0x0B, .opcode = kWrite6, .k = 60});
    Reply r = app.Write(Pattern(65536, 2));
    EXPECT_EQ(r.information, 65536u) << "status 0x" << std::hex << r.status;
    EXPECT_EQ(drive.records().size(), 50u + 128u);
}

// ---- When not to fail over ----

TEST_P(Failover, AccessDeniedNeverFailsOver) {
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = static_cast<std::uint32_t>(STATUS_ACCESS_DENIED), .opcode = kWrite6});
    Reply r = app_->Write(Pattern(512, 1));
    EXPECT_EQ(r.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Commands(*pathB_, kWrite6), 0);
    EXPECT_TRUE(drive_->records().empty());
}

TEST_P(Failover, AFailingPathIsRetriedTwiceAndNoMore) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    // Every write through A is aborted without touching the tape; A itself still answers.
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .count = Fault::kForever, .senseKey = 0x0B,
                              .asc = 0x47, .opcode = kWrite6});
    Reply r = app_->Write(Pattern(4096, 1));
    EXPECT_NE(r.status, STATUS_SUCCESS);
    EXPECT_EQ(Commands(*pathA_, kWrite6), 3) << "the attempt and two retries on the same path";
    EXPECT_TRUE(drive_->records().empty());
}

TEST_P(Failover, ARequestThatIsNotAReadOrWriteMovesToTheOtherPathOnAnAbortedCommand) {
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .senseKey = 0x0B, .asc = 0x47, .opcode = 0x34});
    TAPE_GET_POSITION position{};
    position.Type = TAPE_LOGICAL_POSITION;
    EXPECT_EQ(app_->Control(IOCTL_TAPE_GET_POSITION, &position).status, STATUS_SUCCESS);
    EXPECT_EQ(Commands(*pathB_, 0x34), 1);
    // B is the primary now: the next request goes there first.
    ASSERT_EQ(app_->Control(IOCTL_TAPE_GET_POSITION, &position).status, STATUS_SUCCESS);
    EXPECT_EQ(Commands(*pathB_, 0x34), 2);
}

// ---- Unit attentions ----

TEST_P(Failover, AnOperatorUnloadRequestAfterARewindFailsTheRequest) {
    ASSERT_EQ(Rewind(), STATUS_SUCCESS);
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .senseKey = 0x06, .asc = 0x5A, .ascq = 0x01});
    TAPE_GET_POSITION position{};
    position.Type = TAPE_LOGICAL_POSITION;
    EXPECT_EQ(app_->Control(IOCTL_TAPE_GET_POSITION, &position).status, STATUS_IO_DEVICE_ERROR);
}

TEST_P(Failover, AResetMakesThePositionUnknownSoAFailedWriteIsRelocatedFromTheDrive) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto leadIn = LeadIn(10);
    // A reset reaches the drive (position kept by the medium, but the model must not trust itself).
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .senseKey = 0x06, .asc = 0x29, .opcode = kWrite6});
    Reply r = app_->Write(Pattern(1024, 2));
    // The write itself was refused by the unit attention; whatever the outcome, nothing is doubled.
    const auto records = drive_->records();
    const size_t expected = NT_SUCCESS(r.status) ? 12u : 10u;
    EXPECT_EQ(records.size(), expected);
    // The next write first reads the position from the drive and lands right after.
    const auto data = Pattern(2048, 6);
    ASSERT_EQ(app_->Write(data).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->records().size(), expected + 4);
    EXPECT_EQ(drive_->records().back().data, Block(data, 3, 512));
}

// A drive reset rewinds the tape and reaches every path. Whichever request meets it first, the
// application's own or one the bus sends for it, the application hears of it and nothing it wrote
// is overwritten at the beginning of the tape.
TEST_P(Failover, AResetMetByTheApplicationsWriteFailsItAndOverwritesNothing) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto leadIn = LeadIn(10);
    drive_->reset();
    Reply r = app_->Write(Pattern(1024, 2));
    EXPECT_EQ(r.status, STATUS_BUS_RESET);
    EXPECT_EQ(drive_->records().size(), 10u) << "the lead-in is still there";
    EXPECT_EQ(GroundPosition(), 0u);
    // The application locates back to where it was and carries on.
    TAPE_SET_POSITION position{};
    position.Method = TAPE_LOGICAL_BLOCK;
    position.Offset.QuadPart = 10;
    ASSERT_EQ(app_->Control(IOCTL_TAPE_SET_POSITION, &position).status, STATUS_SUCCESS);
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto data = Pattern(1024, 3);
    ASSERT_EQ(app_->Write(data).status, STATUS_SUCCESS);
    ExpectMedium(leadIn, data);
}

TEST_P(Failover, AResetMetByTheBussOwnPositionReadStillFailsTheApplicationsWrite) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto leadIn = LeadIn(10);
    TAPE_WRITE_MARKS marks{TAPE_FILEMARKS, 1, FALSE};
    ASSERT_EQ(app_->Control(IOCTL_TAPE_WRITE_MARKS, &marks).status, STATUS_SUCCESS);
    TAPE_SET_POSITION back{};
    back.Method = TAPE_LOGICAL_BLOCK;
    back.Offset.QuadPart = 10;
    ASSERT_EQ(app_->Control(IOCTL_TAPE_SET_POSITION, &back).status, STATUS_SUCCESS);
    // A read that meets the filemark leaves the bus not knowing the position, so the next write
    // first reads it, and that read is the first to meet the reset.
    std::vector<std::uint8_t> block;
    ASSERT_EQ(app_->Read(&block, 512).status, STATUS_FILEMARK_DETECTED);
    drive_->reset();
    Reply r = app_->Write(Pattern(1024, 2));
    EXPECT_EQ(r.status, STATUS_BUS_RESET);
    EXPECT_EQ(drive_->records().size(), 11u) << "nothing written at the beginning of the tape";
    // Told once: the next request runs, and finds the tape rewound.
    TAPE_GET_POSITION where{};
    where.Type = TAPE_LOGICAL_POSITION;
    ASSERT_EQ(app_->Control(IOCTL_TAPE_GET_POSITION, &where).status, STATUS_SUCCESS);
    EXPECT_EQ(where.Offset.QuadPart, 0);
}

TEST_P(Failover, ALostConnectionReportedOnEveryTryEndsAfterTwoRetriesOnThatPath) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    pathB_->setDown(kDeviceNotConnected);
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .count = Fault::kForever, .senseKey = 0x06,
                              .asc = 0x29, .ascq = 0x07, .opcode = kWrite6});
    EXPECT_NE(app_->Write(Pattern(1024, 1)).status, STATUS_SUCCESS);
    EXPECT_EQ(Commands(*pathA_, kWrite6), 3) << "the attempt and two retries on the same path";
    EXPECT_TRUE(drive_->records().empty());
}


// ---- Filemarks ----

TEST_P(Failover, FilemarksCutOffPartWayAreFinishedWithTheMissingOnes) {
    const auto first = Pattern(900, 1);
    ASSERT_EQ(app_->Write(first).status, STATUS_SUCCESS);
    pathA_->injectFault(Fault{.kind = FaultKind::PartialWrite, .status = kDeviceNotConnected, .opcode = 0x10, .k = 1});
    pathA_->injectFault(Fault{.kind = FaultKind::PathDown, .count = Fault::kForever});
    TAPE_WRITE_MARKS marks{TAPE_FILEMARKS, 3, FALSE};
    EXPECT_EQ(app_->Control(IOCTL_TAPE_WRITE_MARKS, &marks).status, STATUS_SUCCESS);
    const auto records = drive_->records();
    ASSERT_EQ(records.size(), 4u) << "the block and exactly three filemarks";
    for (size_t i = 1; i < 4; ++i) EXPECT_TRUE(records[i].isFilemark());
}

TEST_P(Failover, FilemarksAllOnTapeWithTheCompletionLostAreNotWrittenAgain) {
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .senseKey = 0x0B, .opcode = 0x10, .executed = true});
    TAPE_WRITE_MARKS marks{TAPE_FILEMARKS, 2, FALSE};
    EXPECT_EQ(app_->Control(IOCTL_TAPE_WRITE_MARKS, &marks).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->records().size(), 2u);
}

// ---- Pass-through ----

TEST_P(Failover, OldSenseLeftInAReusedPassThroughBufferDoesNotRunTheCommandAgain) {
    PassThrough pt = MakePassThrough({0x10, 0, 0, 0, 1, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, 0);
    // What an earlier failed command left there: aborted command.
    pt.sense[0] = 0x70;
    pt.sense[2] = 0x0B;
    pt.sense[7] = 10;
    pt.sense[12] = 0x47;
    Reply r = app_->Control(IOCTL_SCSI_PASS_THROUGH, &pt, sizeof(pt), &pt, sizeof(pt));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->records().size(), 1u) << "one filemark, written once";
}

TEST_P(Failover, APassThroughWritePartlyOnTapeIsNotSentAgain) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    // WRITE(6), fixed, 8 blocks; 3 reach the tape before the path fails.
    PassThrough pt = MakePassThrough({0x0A, 0x01, 0, 0, 8, 0}, SCSI_IOCTL_DATA_OUT, 4096);
    const auto data = Pattern(4096, 8);
    std::memcpy(pt.data, data.data(), data.size());
    pathA_->injectFault(Fault{.kind = FaultKind::PartialWrite, .status = kDeviceNotConnected, .opcode = kWrite6, .k = 3});
    Reply r = app_->Control(IOCTL_SCSI_PASS_THROUGH, &pt, sizeof(pt), &pt, sizeof(pt));
    EXPECT_FALSE(NT_SUCCESS(r.status)) << "the application must learn that the write did not finish";
    const auto records = drive_->records();
    ASSERT_EQ(records.size(), 3u) << "no block written twice";
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(records[i].data, Block(data, i, 512));
}

TEST_P(Failover, FixedBlockPassThroughReadsMoveTheTrackedPosition) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto leadIn = LeadIn(10);
    ASSERT_EQ(Rewind(), STATUS_SUCCESS);
    // READ(6), fixed, 4 blocks through pass-through: the drive stands at block 4.
    PassThrough pt = MakePassThrough({0x08, 0x01, 0, 0, 4, 0}, SCSI_IOCTL_DATA_IN, 2048);
    ASSERT_EQ(app_->Control(IOCTL_SCSI_PASS_THROUGH, &pt, sizeof(pt), &pt, sizeof(pt)).status, STATUS_SUCCESS);
    // A read whose answer is lost, then the path goes: it resumes at block 4.
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kDeviceNotConnected, .opcode = kRead6,
                              .executed = true});
    pathA_->injectFault(Fault{.kind = FaultKind::PathDown, .count = Fault::kForever});
    std::vector<std::uint8_t> data;
    ASSERT_EQ(app_->Read(&data, 512).status, STATUS_SUCCESS);
    EXPECT_EQ(data, Block(leadIn, 4, 512));
}

TEST_P(Failover, PassThroughFilemarksAllOnTapeAreNotWrittenAgain) {
    PassThrough pt = MakePassThrough({0x10, 0, 0, 0, 2, 0}, SCSI_IOCTL_DATA_UNSPECIFIED, 0);
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kDeviceNotConnected, .opcode = 0x10,
                              .executed = true});
    pathA_->injectFault(Fault{.kind = FaultKind::PathDown, .count = Fault::kForever});
    EXPECT_EQ(app_->Control(IOCTL_SCSI_PASS_THROUGH, &pt, sizeof(pt), &pt, sizeof(pt)).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->records().size(), 2u);
}

// ---- Reservations ----

TEST_P(Failover, AReservationMovesToTheNewPathWithItsKey) {
    ASSERT_EQ(app_->Control(IOCTL_STORAGE_RESERVE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(*drive_->reservations().persistentHolder, pathA_->initiator());
    pathA_->setDown();
    const auto data = Pattern(2000, 4);
    EXPECT_EQ(app_->Write(data).status, STATUS_SUCCESS);
    ASSERT_TRUE(drive_->reservations().persistentHolder.has_value());
    EXPECT_EQ(*drive_->reservations().persistentHolder, pathB_->initiator());
    ASSERT_EQ(drive_->records().size(), 1u);
    EXPECT_EQ(drive_->records()[0].data, data);
    // Every initiator on the SAN can read the keys a drive holds: none of them is the address of a
    // device object of this host, however the base driver would have chosen its own.
    const auto held = drive_->reservations();
    ASSERT_FALSE(held.registrations.empty());
    for (auto* path : {pathA_, pathB_}) {
        auto stack = rig_->StackOf(*path);
        ASSERT_TRUE(stack.has_value());
        for (auto object : {reinterpret_cast<std::uintptr_t>(stack->filter), reinterpret_cast<std::uintptr_t>(stack->base)}) {
            std::uint64_t wire = 0;
            for (int i = 0; i < 8; ++i) wire = (wire << 8) | ((object >> (8 * i)) & 0xFF);
            for (const auto& [initiator, key] : held.registrations) {
                EXPECT_NE(key, wire) << "initiator " << initiator << " registered under an address";
            }
        }
    }
    const auto failovers = rig_->Machine().eventLog().entriesWithCode(static_cast<NTSTATUS>(0x80000004));
    ASSERT_FALSE(failovers.empty()) << "the failover is in the event log";
    EXPECT_EQ(failovers[0].stringUtf8(0).rfind("(NTSTATUS 0x", 0), 0u) << failovers[0].stringUtf8(0);
}

TEST_P(Failover, ARefusedPreemptIsLoggedAndNothingIsWritten) {
    ASSERT_EQ(app_->Control(IOCTL_STORAGE_RESERVE, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    pathB_->injectFault(Fault{.kind = FaultKind::RefusePreempt, .count = Fault::kForever});
    pathA_->setDown();
    EXPECT_FALSE(NT_SUCCESS(app_->Write(Pattern(2000, 4)).status));
    EXPECT_TRUE(drive_->records().empty());
    EXPECT_FALSE(rig_->Machine().eventLog().entriesWithCode(static_cast<NTSTATUS>(0xC0000007)).empty());
}

TEST_P(Failover, AKeyTheApplicationRegisteredIsKeptAcrossFailoversUntilTheLastClose) {
    const std::uint8_t appKey[8] = {0xAB, 0xCD, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    auto command = [&](std::uint8_t action, std::uint8_t type, bool keyIsReservationKey) {
        std::vector<std::uint8_t> in(10 + 24, 0);
        const ULONG size = static_cast<ULONG>(in.size());
        std::memcpy(in.data() + 4, &size, 4);
        in[8] = action;
        in[9] = type;
        std::memcpy(in.data() + (keyIsReservationKey ? 10 : 18), appKey, 8);
        return in;
    };
    auto registerKey = command(0x00, 0, false);
    ASSERT_EQ(app_->Control(IOCTL_STORAGE_PERSISTENT_RESERVE_OUT, registerKey.data(), 34, nullptr, 0).status,
              STATUS_SUCCESS);
    auto reserve = command(0x01, 0x03, true);
    ASSERT_EQ(app_->Control(IOCTL_STORAGE_PERSISTENT_RESERVE_OUT, reserve.data(), 34, nullptr, 0).status,
              STATUS_SUCCESS);
    pathA_->setDown();
    TAPE_GET_POSITION position{};
    position.Type = TAPE_LOGICAL_POSITION;
    ASSERT_EQ(app_->Control(IOCTL_TAPE_GET_POSITION, &position).status, STATUS_SUCCESS);
    std::uint64_t wireKey = 0;
    for (std::uint8_t b : appKey) wireKey = (wireKey << 8) | b;
    const auto held = drive_->reservations();
    ASSERT_TRUE(held.persistentHolder.has_value());
    EXPECT_EQ(*held.persistentHolder, pathB_->initiator());
    bool registered = false;
    for (const auto& [initiator, key] : held.registrations)
        registered |= initiator == pathB_->initiator() && key == wireKey;
    EXPECT_TRUE(registered) << "the new path holds the reservation under the application's key";

    // The last close gives the path its own key back.
    auto b = rig_->StackOf(*pathB_);
    ASSERT_TRUE(b.has_value());
    ASSERT_EQ(app_->Close(), STATUS_SUCCESS);
    std::uint64_t appValue;
    std::memcpy(&appValue, appKey, 8);
    // The close reaches the drive once the handle's last request is finished.
    std::uint64_t after = appValue;
    for (int i = 0; i < 2000 && after == appValue; ++i) {
        std::memcpy(&after, rig_->Query(*b).reservationKey, 8);
        if (after == appValue) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_NE(after, 0u) << "the key follows the path again";
    EXPECT_NE(after, rig_->Query(*b).filterDevice) << "a path's own key is no address";
}

// ---- What the position model cannot follow ----

TEST_P(Failover, AReadOfALongBlockLeavesNoStalePositionForALaterFailover) {
    ASSERT_EQ(SetBlockSize(0), STATUS_SUCCESS);
    std::vector<std::vector<std::uint8_t>> blocks;
    for (int i = 0; i < 4; ++i) {
        blocks.push_back(Pattern(2000, static_cast<std::uint8_t>(i + 1)));
        ASSERT_EQ(app_->Write(blocks.back()).status, STATUS_SUCCESS);
    }
    ASSERT_EQ(Rewind(), STATUS_SUCCESS);
    std::vector<std::uint8_t> data;
    // Too small a buffer: the drive moves past block 0 and reports a long block.
    EXPECT_EQ(app_->Read(&data, 1000).status, STATUS_BUFFER_OVERFLOW);
    // The next read's answer is lost after the drive read block 1, then the path goes.
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kDeviceNotConnected, .opcode = kRead6,
                              .executed = true});
    pathA_->injectFault(Fault{.kind = FaultKind::PathDown, .count = Fault::kForever});
    Reply r = app_->Read(&data, 4096);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(data, blocks[1]) << "resumed at block 1, not at the stale block 0";
}

TEST_P(Failover, ASpaceWhoseAnswerWasLostIsNotSpacedTwice) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    LeadIn(20);
    ASSERT_EQ(Rewind(), STATUS_SUCCESS);
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kDeviceNotConnected, .opcode = 0x11,
                              .executed = true});
    pathA_->injectFault(Fault{.kind = FaultKind::PathDown, .count = Fault::kForever});
    TAPE_SET_POSITION space{};
    space.Method = TAPE_SPACE_RELATIVE_BLOCKS;
    space.Offset.QuadPart = 5;
    EXPECT_EQ(app_->Control(IOCTL_TAPE_SET_POSITION, &space).status, STATUS_SUCCESS);
    EXPECT_EQ(GroundPosition(), 5u);
}

// The drive stops at the start of the tape and says so; that answer is the tape's, not the path's.
// The tape stays at the start, where the application is told it is, and a filemark written next
// goes there: before, the bus moved the tape back to block 3 and retried, and the mark landed
// after the blocks the application meant to write over.
TEST_P(Failover, SpacingBackPastTheStartLeavesTheTapeAtTheStart) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    LeadIn(3);
    TAPE_SET_POSITION space{};
    space.Method = TAPE_SPACE_RELATIVE_BLOCKS;
    space.Offset.QuadPart = -6;
    EXPECT_EQ(app_->Control(IOCTL_TAPE_SET_POSITION, &space).status, STATUS_BEGINNING_OF_MEDIA);
    EXPECT_EQ(GroundPosition(), 0u);
    EXPECT_EQ(Commands(*pathA_, 0x11) + Commands(*pathB_, 0x11), 1) << "spaced once, on one path";
    TAPE_WRITE_MARKS marks{TAPE_FILEMARKS, 1, FALSE};
    ASSERT_EQ(app_->Control(IOCTL_TAPE_WRITE_MARKS, &marks).status, STATUS_SUCCESS);
    ASSERT_EQ(drive_->records().size(), 1u) << "the filemark replaced the three blocks at the start";
    EXPECT_TRUE(drive_->records()[0].isFilemark());
}

// A path failure on the way back to the start: the space moves to the other path, and there the
// drive's answer that it reached the start ends the request.
TEST_P(Failover, ASpaceToTheStartCutOffWithItsPathStopsAtTheStartOnTheOtherPath) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    LeadIn(3);
    pathA_->injectFault(Fault{.kind = FaultKind::PathDown, .count = Fault::kForever});
    TAPE_SET_POSITION space{};
    space.Method = TAPE_SPACE_RELATIVE_BLOCKS;
    space.Offset.QuadPart = -6;
    EXPECT_EQ(app_->Control(IOCTL_TAPE_SET_POSITION, &space).status, STATUS_BEGINNING_OF_MEDIA);
    EXPECT_EQ(GroundPosition(), 0u);
    TAPE_GET_POSITION where{};
    where.Type = TAPE_LOGICAL_POSITION;
    ASSERT_EQ(app_->Control(IOCTL_TAPE_GET_POSITION, &where).status, STATUS_SUCCESS);
    EXPECT_EQ(where.Offset.QuadPart, 0);
}

// ---- Verify ----

TEST_P(Failover, AVerifyStillRunningInTheDriveIsNotStartedAgainOnAnotherPath) {
    ASSERT_EQ(app_->Write(Pattern(800, 1)).status, STATUS_SUCCESS);
    ASSERT_EQ(Rewind(), STATUS_SUCCESS);
    // The immediate verify's answer is aborted, but the drive goes on verifying.
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .senseKey = 0x0B, .opcode = 0x13});
    pathA_->injectFault(Fault{.kind = FaultKind::VerifyInProgress});
    std::uint8_t verify[8] = {0x20 | 0x04, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_FALSE(NT_SUCCESS(app_->Control(0x1F60A8, verify, sizeof(verify), verify, sizeof(verify)).status));
    EXPECT_EQ(Commands(*pathB_, 0x13), 0);
    EXPECT_EQ(Commands(*pathA_, 0x13), 1);
}

// ---- Commands the model cannot follow, and commands it must follow backwards ----

std::vector<std::uint8_t> Cdb16(std::uint8_t op, std::uint8_t flags, std::uint64_t object, std::uint32_t count) {
    std::vector<std::uint8_t> cdb(16, 0);
    cdb[0] = op;
    cdb[1] = flags;
    for (int i = 0; i < 8; ++i) cdb[4 + i] = static_cast<std::uint8_t>(object >> (56 - 8 * i));
    cdb[12] = static_cast<std::uint8_t>(count >> 16);
    cdb[13] = static_cast<std::uint8_t>(count >> 8);
    cdb[14] = static_cast<std::uint8_t>(count);
    return cdb;
}

class SixteenByte : public Failover {
protected:
    // Lead-in of 20 blocks, rewound (the model knows block 0); then `cdb` through pass-through,
    // which leaves the tape at `at`; then a write cut off after 3 of its 8 blocks.
    void RunThenFailWrite(std::vector<std::uint8_t> cdb, std::uint8_t direction, std::vector<std::uint8_t> out,
                          size_t at, size_t keptBefore) {
        ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
        const auto leadIn = LeadIn(20);
        ASSERT_EQ(Rewind(), STATUS_SUCCESS);
        PassThrough pt = MakePassThrough(cdb, direction, static_cast<ULONG>(out.size()));
        if (direction == SCSI_IOCTL_DATA_IN) pt.spt.DataTransferLength = 4096;
        if (!out.empty()) std::memcpy(pt.data, out.data(), out.size());
        Reply moved = app_->Control(IOCTL_SCSI_PASS_THROUGH, &pt, sizeof(pt), &pt, sizeof(pt));
        ASSERT_EQ(moved.status, STATUS_SUCCESS);
        ASSERT_EQ(pt.spt.ScsiStatus, 0);
        ASSERT_EQ(GroundPosition(), at);

        pathA_->injectFault(Fault{.kind = FaultKind::PartialWrite, .senseKey = 0x0B, .opcode = kWrite6, .k = 3});
        const auto data = Pattern(8 * 512, 11);
        Reply r = app_->Write(data);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, data.size());
        const auto records = drive_->records();
        ASSERT_EQ(records.size(), at + 8) << "the write starts where the tape stood, each block once";
        for (size_t i = 0; i < keptBefore; ++i) EXPECT_EQ(records[i].data, Block(leadIn, i, 512)) << "block " << i;
        for (size_t i = 0; i < 8; ++i) EXPECT_EQ(records[at + i].data, Block(data, i, 512)) << "block " << at + i;
    }
};

TEST_P(SixteenByte, SpaceSixteenLeavesNoStalePositionForAFinishedWrite) {
    RunThenFailWrite(Cdb16(0x91, 0x00, 4, 0), SCSI_IOCTL_DATA_UNSPECIFIED, {}, 4, 4);
}

TEST_P(SixteenByte, ReadSixteenLeavesNoStalePositionForAFinishedWrite) {
    RunThenFailWrite(Cdb16(0x88, 0x01, 2, 3), SCSI_IOCTL_DATA_IN, {}, 5, 5);
}

TEST_P(SixteenByte, WriteSixteenLeavesNoStalePositionForAFinishedWrite) {
    RunThenFailWrite(Cdb16(0x8A, 0x01, 6, 2), SCSI_IOCTL_DATA_OUT, Pattern(1024, 5), 8, 6);
}

TEST_P(SixteenByte, WriteFilemarksSixteenLeavesNoStalePositionForAFinishedWrite) {
    RunThenFailWrite(Cdb16(0x80, 0x00, 3, 1), SCSI_IOCTL_DATA_UNSPECIFIED, {}, 4, 3);
    EXPECT_TRUE(drive_->records()[3].isFilemark());
}

TEST_P(Failover, AReadReverseThroughPassThroughMovesTheTrackedPositionBack) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto leadIn = LeadIn(10);
    // READ REVERSE(6), fixed, 4 blocks: the tape goes from block 10 back to block 6.
    PassThrough pt = MakePassThrough({0x0F, 0x01, 0, 0, 4, 0}, SCSI_IOCTL_DATA_IN, 2048);
    ASSERT_EQ(app_->Control(IOCTL_SCSI_PASS_THROUGH, &pt, sizeof(pt), &pt, sizeof(pt)).status, STATUS_SUCCESS);
    ASSERT_EQ(GroundPosition(), 6u);
    // A read whose answer is lost after the drive read block 6, then the path goes: it is read again.
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kDeviceNotConnected, .opcode = kRead6,
                              .executed = true});
    pathA_->injectFault(Fault{.kind = FaultKind::PathDown, .count = Fault::kForever});
    std::vector<std::uint8_t> data;
    ASSERT_EQ(app_->Read(&data, 512).status, STATUS_SUCCESS);
    EXPECT_EQ(data, Block(leadIn, 6, 512));
}

// ---- MODE SELECT through pass-through ----

TEST_P(Failover, ABlockSizeSetWithModeSelectIsTheOneRestoredOnTheNewPath) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    // MODE SELECT(6): header with an 8-byte block descriptor of block length 1024.
    PassThrough pt = MakePassThrough({0x15, 0x10, 0, 0, 12, 0}, SCSI_IOCTL_DATA_OUT, 12);
    const std::uint8_t list[12] = {0, 0, 0x10, 8, 0, 0, 0, 0, 0, 0, 0x04, 0x00};
    std::memcpy(pt.data, list, sizeof(list));
    ASSERT_EQ(app_->Control(IOCTL_SCSI_PASS_THROUGH, &pt, sizeof(pt), &pt, sizeof(pt)).status, STATUS_SUCCESS);
    ASSERT_EQ(pt.spt.ScsiStatus, 0);
    pathA_->setDown();
    const auto data = Pattern(4096, 2);
    ASSERT_EQ(app_->Write(data).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->initiatorSettings(pathB_->initiator()).blockLength, 1024u);
    EXPECT_EQ(drive_->records().size(), 4u);
}

TEST_P(Failover, AModeSelectWhoseDescriptorLiesPastItsDataIsNotTakenForANewBlockSize) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    // The header announces a block descriptor, but only the 4 header bytes are sent; what
    // follows in the application's buffer looks like a descriptor of 1024-byte blocks.
    PassThrough pt = MakePassThrough({0x15, 0x10, 0, 0, 4, 0}, SCSI_IOCTL_DATA_OUT, 4);
    const std::uint8_t list[12] = {0, 0, 0x10, 8, 0, 0, 0, 0, 0, 0, 0x04, 0x00};
    std::memcpy(pt.data, list, sizeof(list));
    EXPECT_EQ(app_->Control(IOCTL_SCSI_PASS_THROUGH, &pt, sizeof(pt), &pt, sizeof(pt)).status, STATUS_SUCCESS);
    EXPECT_EQ(pt.spt.ScsiStatus, 2) << "the drive refuses the short parameter list";
    EXPECT_EQ(drive_->initiatorSettings(pathA_->initiator()).blockLength, 512u);
    // The block size in force is still known and goes with the drive to the other path.
    pathA_->setDown();
    const auto data = Pattern(4096, 3);
    ASSERT_EQ(app_->Write(data).status, STATUS_SUCCESS);
    EXPECT_EQ(drive_->initiatorSettings(pathB_->initiator()).blockLength, 512u);
    const auto records = drive_->records();
    ASSERT_EQ(records.size(), 8u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(records[i].data, Block(data, i, 512));
}

// ---- A path on its way out ----

TEST_P(Failover, APathWhoseFilterAnswersDeletePendingIsAPathFailure) {
    pathA_->injectFault(Fault{.kind = FaultKind::FailCommands, .status = 0xC0000056, .opcode = kWrite6});
    const auto data = Pattern(3000, 8);
    Reply r = app_->Write(data);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, data.size());
    ASSERT_EQ(drive_->records().size(), 1u);
    EXPECT_EQ(drive_->records()[0].data, data);
    const auto failovers = rig_->Machine().eventLog().entriesWithCode(static_cast<NTSTATUS>(0x80000004));
    ASSERT_FALSE(failovers.empty()) << "decided as a path failure";
    EXPECT_EQ(failovers[0].stringUtf8(0), "(NTSTATUS 0xC0000056)");
}

// ---- Another host's reservation ----

TEST_P(Failover, AnotherHostsReservationIsNamedInTheEventLog) {
    // A second host registers and reserves the drive under its own key through its own port.
    const sim::hw::InitiatorId other = drive_->attachInitiator("other host", 1);
    const std::uint8_t testUnitReady[6] = {};
    drive_->execute(other, sim::hw::Command{testUnitReady, {}, 0});  // its power-on unit attention
    std::vector<std::uint8_t> list(24, 0);
    const std::uint8_t key[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    std::memcpy(list.data() + 8, key, 8);
    const std::uint8_t registerCdb[10] = {0x5F, 0x06, 0, 0, 0, 0, 0, 0, 24, 0};
    ASSERT_TRUE(drive_->execute(other, sim::hw::Command{registerCdb, list, 0}).good());
    std::fill(list.begin(), list.end(), 0);
    std::memcpy(list.data(), key, 8);
    const std::uint8_t reserveCdb[10] = {0x5F, 0x01, 0x03, 0, 0, 0, 0, 0, 24, 0};
    ASSERT_TRUE(drive_->execute(other, sim::hw::Command{reserveCdb, list, 0}).good());

    EXPECT_FALSE(NT_SUCCESS(app_->Write(Pattern(1024, 1)).status));
    EXPECT_TRUE(drive_->records().empty());
    const auto named = rig_->Machine().eventLog().entriesWithCode(static_cast<NTSTATUS>(0x40000008));
    ASSERT_FALSE(named.empty()) << "the reserving host is named";
    EXPECT_EQ(named[0].stringUtf8(1), "1122334455667788");
    EXPECT_EQ(named[0].stringUtf8(0).size(), 16u) << "the holder's port name";
}

// ---- A path lost while the settings are restored ----

class ThreePaths : public ::testing::TestWithParam<bool> {};

TEST_P(ThreePaths, APathLostDuringTheRestoreGetsTheSettingsRestoredOnTheNextOne) {
    Rig rig(RigOptions{.forcePending = GetParam(), .realBus = true});
    auto& drive = rig.AddDrive("VORKA-F-0003");
    sim::hw::Path* paths[3];
    for (std::uint8_t i = 0; i < 3; ++i) {
        rig.San().addAdapter();
        paths[i] = &rig.San().connect(i, 0, 5, 0, drive, i % 2);  // the drive has two ports
    }
    rig.Boot();
    auto stack = rig.StackOf(*paths[0]);
    ASSERT_TRUE(stack.has_value());
    std::u16string name = u"\\\\.\\Tape";
    for (char c : std::to_string(rig.Query(*stack).virtualTapeNumber)) name += static_cast<char16_t>(c);
    App app(rig.Machine());
    ASSERT_EQ(app.Open(name), STATUS_SUCCESS);
    TAPE_SET_MEDIA_PARAMETERS media{512};
    ASSERT_EQ(app.Control(IOCTL_TAPE_SET_MEDIA_PARAMS, &media).status, STATUS_SUCCESS);
    std::uint8_t amu[8] = {3};
    ASSERT_EQ(app.Control(0x1FE0E4, amu, sizeof(amu), amu, sizeof(amu)).status, STATUS_SUCCESS);

    // The first path is down; the second takes the restore's block size, then loses its AMU
    // setting on the way, which moves on to the third path.
    paths[0]->setDown();
    paths[1]->injectFault(Fault{.kind = FaultKind::FailCommands, .status = kDeviceNotConnected, .opcode = 0xC1});
    const auto data = Pattern(4096, 7);
    ASSERT_EQ(app.Write(data).status, STATUS_SUCCESS);
    const auto third = drive.initiatorSettings(paths[2]->initiator());
    EXPECT_EQ(third.blockLength, 512u) << "the block size is on the path that took the write";
    EXPECT_EQ(third.amu, 3);
    const auto records = drive.records();
    ASSERT_EQ(records.size(), 8u) << "eight blocks of 512 bytes, not one variable block";
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ(records[i].data, std::vector<std::uint8_t>(data.begin() + i * 512, data.begin() + (i + 1) * 512));
}

// ---- Two drives at once ----

class TwoDrives : public ::testing::TestWithParam<bool> {
protected:
    struct Drive {
        sim::hw::TapeDrive* drive = nullptr;
        sim::hw::Path* a = nullptr;
        sim::hw::Path* b = nullptr;
        std::u16string name;
    };
    void SetUp() override {
        rig_ = std::make_unique<Rig>(RigOptions{.forcePending = GetParam(), .realBus = true});
        rig_->San().addAdapter();
        rig_->San().addAdapter();
        for (int i = 0; i < 2; ++i) {
            Drive& d = drives_[i];
            d.drive = &rig_->AddDrive(i == 0 ? "VORKA-T-0001" : "VORKA-T-0002");
            d.a = &rig_->San().connect(0, 0, 6 + i, 0, *d.drive, 0);
            d.b = &rig_->San().connect(1, 0, 6 + i, 0, *d.drive, 1);
        }
        rig_->Boot();
        for (Drive& d : drives_) {
            auto stack = rig_->StackOf(*d.a);
            ASSERT_TRUE(stack.has_value());
            d.name = u"\\\\.\\Tape";
            for (char c : std::to_string(rig_->Query(*stack).virtualTapeNumber)) d.name += static_cast<char16_t>(c);
        }
    }
    std::unique_ptr<Rig> rig_;
    Drive drives_[2];
};

TEST_P(TwoDrives, BothGetTheirBlockSizeRestoredWhenTheyFailOverAtTheSameTime) {
    const ULONG sizes[2] = {512, 1024};
    App apps[2] = {App(rig_->Machine()), App(rig_->Machine())};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(apps[i].Open(drives_[i].name), STATUS_SUCCESS);
        TAPE_SET_MEDIA_PARAMETERS media{sizes[i]};
        ASSERT_EQ(apps[i].Control(IOCTL_TAPE_SET_MEDIA_PARAMS, &media).status, STATUS_SUCCESS);
    }
    for (Drive& d : drives_) d.a->setDown();
    const auto data = Pattern(16384, 6);
    NTSTATUS results[2] = {};
    std::thread writers[2];
    for (int i = 0; i < 2; ++i) writers[i] = std::thread([&, i] { results[i] = apps[i].Write(data).status; });
    for (auto& t : writers) t.join();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(results[i], STATUS_SUCCESS) << "drive " << i;
        const auto& d = drives_[i];
        EXPECT_EQ(d.drive->initiatorSettings(d.b->initiator()).blockLength, sizes[i]) << "drive " << i;
        const auto records = d.drive->records();
        ASSERT_EQ(records.size(), data.size() / sizes[i]) << "drive " << i;
        for (size_t k = 0; k < records.size(); ++k)
            EXPECT_EQ(records[k].data, std::vector<std::uint8_t>(data.begin() + k * sizes[i], data.begin() + (k + 1) * sizes[i]));
    }
}

// A drive whose long erase takes ten seconds on its own clock, which the test moves.
class LongErase : public Failover {
protected:
    void ConfigureDrive(sim::hw::DriveConfig& config) override { config.motion.longErase = std::chrono::seconds(10); }
};

// The application erases from block 4 to the end; the path drops while the tape moves, and the drive
// no longer knows where it stands. The erase is begun again on the other path from block 4, and the
// tape holds the first four blocks and nothing after them.
TEST_P(LongErase, AnEraseWhosePathDropsMidwayIsBegunAgainFromWhereItStarted) {
    ASSERT_EQ(SetBlockSize(512), STATUS_SUCCESS);
    const auto lead = LeadIn(10);
    TAPE_SET_POSITION locate{};
    locate.Method = TAPE_ABSOLUTE_BLOCK;
    locate.Offset.QuadPart = 4;
    ASSERT_EQ(app_->Control(IOCTL_TAPE_SET_POSITION, &locate).status, STATUS_SUCCESS);
    drive_->useManualClock();
    auto erased = std::async(std::launch::async, [&] {
        TAPE_ERASE erase{TAPE_ERASE_LONG, FALSE};
        return app_->Control(IOCTL_TAPE_ERASE, &erase).status;
    });
    ASSERT_TRUE(drive_->awaitMotion(std::chrono::seconds(20))) << "the erase reached the drive";
    sim::hw::Path* used = Commands(*pathA_, 0x19) != 0 ? pathA_ : pathB_;
    used->setDown();
    // The erase sent again runs its own ten seconds; the clock moves only once it runs.
    while (erased.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        if (drive_->awaitMotion(std::chrono::milliseconds(100))) drive_->advanceClock(std::chrono::seconds(11));
    }
    EXPECT_EQ(erased.get(), STATUS_SUCCESS);
    EXPECT_EQ(drive_->records().size(), 4u);
    EXPECT_EQ(GroundPosition(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(drive_->records()[i].data, Block(lead, i, 512));
}

// Ten thousand overlapped position queries of one handle, sent while a long erase holds the drive:
// the handle may have a bounded number queued, the rest are refused at once, and when the process
// ends every queued one is cancelled there and then. The exit waits for the erase alone, none of
// the queries reaches the drive, and nothing of them is left in pool.
TEST_P(LongErase, AProcessEndingWithRequestsQueuedBehindAnEraseWaitsForTheEraseAlone) {
    constexpr int kRequests = 10000;
    constexpr int kHandleLimit = 1024;
    ASSERT_EQ(app_->Close(), STATUS_SUCCESS);  // the drive admits one handle
    drive_->useManualClock();
    sim::Process& job = rig_->Machine().processes().create("erasejob.exe", false);
    int pending = 0;
    int refused = 0;
    {
        sim::ProcessScope scope(job);
        HANDLE file = nullptr;
        ASSERT_EQ(job.createFile(&file, name_, GENERIC_READ | GENERIC_WRITE, 3, 1, 0 /* overlapped */), STATUS_SUCCESS);
        auto* erase = static_cast<TAPE_ERASE*>(job.alloc(sizeof(TAPE_ERASE)));
        *erase = TAPE_ERASE{TAPE_ERASE_LONG, FALSE};
        auto* iosbs = static_cast<IO_STATUS_BLOCK*>(job.alloc(sizeof(IO_STATUS_BLOCK) * (kRequests + 1)));
        auto* positions = static_cast<TAPE_GET_POSITION*>(job.alloc(sizeof(TAPE_GET_POSITION) * kRequests));
        ASSERT_EQ(job.deviceIoControlAsync(file, IOCTL_TAPE_ERASE, erase, sizeof(TAPE_ERASE), nullptr, 0,
                                           &iosbs[kRequests], nullptr),
                  STATUS_PENDING);
        ASSERT_TRUE(drive_->awaitMotion(std::chrono::seconds(20))) << "the erase reached the drive";
        for (int i = 0; i < kRequests; ++i) {
            positions[i].Type = TAPE_LOGICAL_POSITION;
            const NTSTATUS issued = job.deviceIoControlAsync(file, IOCTL_TAPE_GET_POSITION, &positions[i],
                                                             sizeof(TAPE_GET_POSITION), &positions[i],
                                                             sizeof(TAPE_GET_POSITION), &iosbs[i], nullptr);
            pending += issued == STATUS_PENDING;
            refused += issued == STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    EXPECT_EQ(pending, kHandleLimit);
    EXPECT_EQ(refused, kRequests - kHandleLimit);
    const int reads = Commands(*pathA_, 0x34) + Commands(*pathB_, 0x34);

    std::thread ending([&] { rig_->Machine().processes().exit(job); });
    // The exit cancels what is queued, then waits for the erase, which ends when the clock moves.
    EXPECT_TRUE(job.awaitRequestsInProgress(1, std::chrono::seconds(20))) << "only the erase is left";
    drive_->advanceClock(std::chrono::seconds(11));
    ending.join();
    EXPECT_EQ(Commands(*pathA_, 0x34) + Commands(*pathB_, 0x34), reads) << "a cancelled query reached the drive";
    // The worker frees the cancelled queries' queue entries on its way to the next request, which
    // is served after them.
    ASSERT_EQ(app_->Open(name_), STATUS_SUCCESS);
    TAPE_GET_POSITION position{};
    position.Type = TAPE_LOGICAL_POSITION;
    EXPECT_EQ(app_->Control(IOCTL_TAPE_GET_POSITION, &position).status, STATUS_SUCCESS);
    EXPECT_EQ(rig_->Machine().pool().liveCountWithTag(sim::PoolTag("gODP")), 0u);
}

INSTANTIATE_TEST_SUITE_P(Pending, LongErase, ::testing::Bool(), PendingName);

INSTANTIATE_TEST_SUITE_P(Pending, SmallCartridge, ::testing::Bool(), PendingName);

INSTANTIATE_TEST_SUITE_P(Pending, TwoDrives, ::testing::Bool(), PendingName);

INSTANTIATE_TEST_SUITE_P(Pending, ThreePaths, ::testing::Bool(), PendingName);

INSTANTIATE_TEST_SUITE_P(Pending, SixteenByte, ::testing::Bool(), PendingName);

INSTANTIATE_TEST_SUITE_P(Pending, Failover, ::testing::Bool(), PendingName);

}  // namespace
