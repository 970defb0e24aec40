// An exclusive drive used by one application after another through its virtual device \\.\Tape<n>:
// once an application's CloseHandle has returned, the next application's open is admitted, whatever
// the first one did with its handle (read, write, a request still queued when it closed). Each test
// runs with requests answered at once and with vorkatape answering them from a thread of its own.
#include <gtest/gtest.h>
#include <chrono>
#include <cstring>
#include <string>
#include "tape_rig.h"

#include <ntddscsi.h>

namespace {

using tapetest::App;
using tapetest::Pattern;
using tapetest::Rig;
using tapetest::RigOptions;

class ExclusiveTape : public ::testing::TestWithParam<bool> {
protected:
    // A drive of two paths; `bytesPerSecond` slows its data transfers (0: no delay).
    void Start(std::uint64_t bytesPerSecond = 0) {
        rig_ = std::make_unique<Rig>(RigOptions{.forcePending = GetParam(), .realBus = true});
        drive_ = &rig_->AddDrive("VORKA-X-0001", [bytesPerSecond](sim::hw::DriveConfig& config) {
            config.timing.bytesPerSecond = bytesPerSecond;
        });
        rig_->San().addAdapter();
        rig_->San().addAdapter();
        rig_->San().connect(0, 0, 4, 0, *drive_, 0);
        rig_->San().connect(1, 0, 4, 0, *drive_, 1);
        rig_->Boot();
        auto stacks = rig_->Stacks();
        ASSERT_FALSE(stacks.empty());
        pathName_ = stacks.front().Win32Name();
        const auto state = rig_->Query(stacks.front());
        name_ = u"\\\\.\\Tape";
        for (char c : std::to_string(state.virtualTapeNumber)) name_ += static_cast<char16_t>(c);
    }
    void TearDown() override { rig_.reset(); }

    std::unique_ptr<Rig> rig_;
    sim::hw::TapeDrive* drive_ = nullptr;
    std::u16string name_;
    std::u16string pathName_;   // one path device of the drive, opened directly
};

// A monitoring tool opens the drive for its attributes only while the backup runs: it takes no slot
// of the exclusive drive, and its close takes nothing from the backup.
TEST_P(ExclusiveTape, AnOpenForAttributesOnlyLeavesTheDriveToTheBackupApplication) {
    Start();
    App monitor(rig_->Machine());
    ASSERT_EQ(monitor.Open(name_, FILE_READ_ATTRIBUTES), STATUS_SUCCESS);
    SCSI_ADDRESS address{};
    EXPECT_EQ(monitor.Control(IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address).status, STATUS_SUCCESS);
    App backup(rig_->Machine());
    ASSERT_EQ(backup.Open(name_), STATUS_SUCCESS) << "the monitor holds no slot";
    EXPECT_EQ(backup.Write(Pattern(512, 1)).status, STATUS_SUCCESS);
    App intruder(rig_->Machine());
    EXPECT_EQ(intruder.Open(name_), STATUS_ACCESS_DENIED) << "the backup holds the drive";
    EXPECT_EQ(monitor.Close(), STATUS_SUCCESS);
    EXPECT_EQ(intruder.Open(name_), STATUS_ACCESS_DENIED) << "the monitor's close freed nothing";
    EXPECT_EQ(backup.Write(Pattern(512, 2)).status, STATUS_SUCCESS);
    ASSERT_EQ(backup.Close(), STATUS_SUCCESS);
    EXPECT_EQ(intruder.Open(name_), STATUS_SUCCESS) << "free once the backup closed";
    EXPECT_EQ(drive_->records().size(), 2u);
}

TEST_P(ExclusiveTape, EachJobOpensTheDriveRightAfterThePreviousOneClosedIt) {
    Start();
    // Jobs that end in different ways: a read (on blank tape at first: an error status), a write,
    // a rewind.
    for (int round = 0; round < 20; ++round) {
        App reader(rig_->Machine());
        ASSERT_EQ(reader.Open(name_), STATUS_SUCCESS) << "round " << round;
        std::vector<std::uint8_t> data;
        const NTSTATUS read = reader.Read(&data, 512).status;
        if (round == 0) {
            EXPECT_NE(read, STATUS_SUCCESS) << "the tape holds nothing yet";
        } else {
            EXPECT_EQ(read, STATUS_SUCCESS) << "the first block, rewound to in the round before";
        }
        ASSERT_EQ(reader.Close(), STATUS_SUCCESS);

        App writer(rig_->Machine());
        ASSERT_EQ(writer.Open(name_), STATUS_SUCCESS) << "open right after a read and close, round " << round;
        ASSERT_EQ(writer.Write(Pattern(512, round)).status, STATUS_SUCCESS);
        ASSERT_EQ(writer.Close(), STATUS_SUCCESS);

        App rewinder(rig_->Machine());
        ASSERT_EQ(rewinder.Open(name_), STATUS_SUCCESS) << "open right after a write and close, round " << round;
        TAPE_SET_POSITION rewind{};
        rewind.Method = TAPE_REWIND;
        ASSERT_EQ(rewinder.Control(IOCTL_TAPE_SET_POSITION, &rewind).status, STATUS_SUCCESS);
        // While it is open, nobody else gets the drive.
        App other(rig_->Machine());
        EXPECT_EQ(other.Open(name_), STATUS_ACCESS_DENIED);
        ASSERT_EQ(rewinder.Close(), STATUS_SUCCESS);
    }
}

TEST_P(ExclusiveTape, AHandleClosedWhileItsWriteIsStillQueuedFreesTheDriveAndTheWriteReachesTheTape) {
    // 128 KiB at 512 KiB/s: the write is on the drive for about a quarter of a second.
    Start(512 * 1024);
    sim::Process& first = rig_->Machine().processes().create("backup.exe", false);
    const std::vector<std::uint8_t> block = Pattern(128 * 1024, 7);
    IO_STATUS_BLOCK* iosb = nullptr;
    HANDLE done = nullptr;
    {
        sim::ProcessScope scope(first);
        HANDLE file = nullptr;
        ASSERT_EQ(first.createFile(&file, name_, GENERIC_READ | GENERIC_WRITE, 3, 1, 0 /* overlapped */),
                  STATUS_SUCCESS);
        ASSERT_EQ(first.createEvent(&done, true, false), STATUS_SUCCESS);
        iosb = static_cast<IO_STATUS_BLOCK*>(first.alloc(sizeof(IO_STATUS_BLOCK)));
        void* buffer = first.alloc(block.size());
        std::memcpy(buffer, block.data(), block.size());
        ASSERT_EQ(first.writeAsync(file, buffer, ULONG(block.size()), 0, iosb, done), STATUS_PENDING);
        // The application closes its handle with the write still on its way.
        ASSERT_EQ(first.close(file), STATUS_SUCCESS);
    }

    App next(rig_->Machine());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(next.Open(name_), STATUS_SUCCESS) << "the drive is free once CloseHandle has returned";
    {
        sim::ProcessScope scope(first);
        ASSERT_EQ(first.wait(done, 5000), STATUS_WAIT_0);
        EXPECT_EQ(iosb->Status, STATUS_SUCCESS);
        EXPECT_EQ(iosb->Information, block.size());
    }
    const auto records = drive_->records();
    ASSERT_EQ(records.size(), 1u) << "the write queued before the close reached the tape";
    EXPECT_EQ(records[0].data, block);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

    // The drive is held by the new handle alone, and free again after it.
    App third(rig_->Machine());
    EXPECT_EQ(third.Open(name_), STATUS_ACCESS_DENIED);
    ASSERT_EQ(next.Close(), STATUS_SUCCESS);
    EXPECT_EQ(third.Open(name_), STATUS_SUCCESS);
    rig_->Machine().processes().exit(first);
}

TEST_P(ExclusiveTape, AHandleOnAPathDeviceClosedAfterAnOverlappedWriteFreesTheDrive) {
    Start(512 * 1024);
    sim::Process& first = rig_->Machine().processes().create("pathjob.exe", false);
    const std::vector<std::uint8_t> block = Pattern(128 * 1024, 9);
    IO_STATUS_BLOCK* iosb = nullptr;
    HANDLE done = nullptr;
    {
        sim::ProcessScope scope(first);
        HANDLE file = nullptr;
        ASSERT_EQ(first.createFile(&file, pathName_, GENERIC_READ | GENERIC_WRITE, 3, 1, 0 /* overlapped */),
                  STATUS_SUCCESS);
        App blocked(rig_->Machine());
        EXPECT_EQ(blocked.Open(name_), STATUS_ACCESS_DENIED) << "the path device holds the drive";
        ASSERT_EQ(first.createEvent(&done, true, false), STATUS_SUCCESS);
        iosb = static_cast<IO_STATUS_BLOCK*>(first.alloc(sizeof(IO_STATUS_BLOCK)));
        void* buffer = first.alloc(block.size());
        std::memcpy(buffer, block.data(), block.size());
        // The base driver may finish it before the call returns.
        const NTSTATUS issued = first.writeAsync(file, buffer, ULONG(block.size()), 0, iosb, done);
        ASSERT_TRUE(issued == STATUS_PENDING || issued == STATUS_SUCCESS) << std::hex << issued;
        ASSERT_EQ(first.close(file), STATUS_SUCCESS);
    }

    App next(rig_->Machine());
    EXPECT_EQ(next.Open(name_), STATUS_SUCCESS) << "the drive is free once CloseHandle has returned";
    {
        sim::ProcessScope scope(first);
        ASSERT_EQ(first.wait(done, 5000), STATUS_WAIT_0);
        EXPECT_EQ(iosb->Status, STATUS_SUCCESS);
    }
    ASSERT_EQ(next.Close(), STATUS_SUCCESS);
    // The late close of the path device's file object gives nothing back twice: the drive still
    // admits exactly one handle.
    App one(rig_->Machine());
    App two(rig_->Machine());
    EXPECT_EQ(one.Open(name_), STATUS_SUCCESS);
    EXPECT_EQ(two.Open(name_), STATUS_ACCESS_DENIED);
    rig_->Machine().processes().exit(first);
}

INSTANTIATE_TEST_SUITE_P(AnsweredAtOnceOrLater, ExclusiveTape, ::testing::Bool());

}  // namespace
