// A backup program's view of a drive through the Win32 tape API: the same calls give the same
// answers on the drive's virtual device \\.\Tape<n> (through the tape bus, the path filter,
// vorkatape and the simulated drive) and on one of its path devices; a bad handle, a bad
// buffer and a drive that is gone give the Win32 errors Windows gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "c_program.h"
#include "sim/process.h"
#include "sim/win32.h"
#include "tape_rig.h"
#include "windows.h"

namespace {

using tapetest::PathStack;
using tapetest::Rig;
using tapetest::RigOptions;

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

class TapeApi : public ::testing::Test {
protected:
    void SetUp() override {
        rig_ = std::make_unique<Rig>(RigOptions{.realBus = true});
        drive_ = &rig_->AddDrive("VORKA-W-0001");
        rig_->San().addAdapter();
        rig_->San().addAdapter();
        pathA_ = &rig_->San().connect(0, 0, 4, 0, *drive_, 0);
        pathB_ = &rig_->San().connect(1, 0, 4, 0, *drive_, 1);
        rig_->Boot();
        auto a = rig_->StackOf(*pathA_);
        ASSERT_TRUE(a.has_value());
        pathName_ = Narrow(a->Win32Name());
        virtualName_ = "\\\\.\\Tape" + std::to_string(rig_->Query(*a).virtualTapeNumber);
        process_ = &rig_->Machine().processes().create("backup.exe");
        scope_.emplace(*process_);
    }
    void TearDown() override {
        scope_.reset();
        rig_.reset();
    }

    HANDLE Open(const std::string& name) {
        HANDLE h = CreateFile(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << name << ": error " << GetLastError();
        return h;
    }
    // Opens once the previous handle's close reached the drive: that close follows the end of
    // the handle's last request, which a worker may still be finishing when CloseHandle returns.
    HANDLE OpenWhenClosed(const std::string& name) {
        for (int i = 0; i < 1000; ++i) {
            HANDLE h = CreateFile(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) return h;
            Sleep(1);
        }
        return Open(name);
    }
    // Memory of the program, as the kernel accepts it for buffers.
    template <typename T>
    T* Alloc(std::size_t count = 1) {
        return static_cast<T*>(process_->alloc(sizeof(T) * count));
    }

    // What a backup program sees of one session with the drive: each call's result and data.
    std::vector<std::string> Session(HANDLE h) {
        std::vector<std::string> seen;
        auto note = [&](const std::string& what, DWORD value) { seen.push_back(what + "=" + std::to_string(value)); };
        auto* bytes = Alloc<DWORD>();
        auto* block = Alloc<unsigned char>(65536);

        note("status", GetTapeStatus(h));
        note("lock", PrepareTape(h, TAPE_LOCK, FALSE));
        note("rewind", SetTapePosition(h, TAPE_REWIND, 0, 0, 0, FALSE));
        // Three blocks, a filemark, one more block.
        for (unsigned i = 0; i < 4; ++i) {
            for (unsigned j = 0; j < 4096; ++j) block[j] = static_cast<unsigned char>(i * 7 + j);
            note("write", WriteFile(h, block, 4096, bytes, nullptr) ? *bytes : 0xFFFFFFFF);
            if (i == 2) note("filemark", WriteTapemark(h, TAPE_FILEMARKS, 1, FALSE));
        }
        auto* partition = Alloc<DWORD>();
        auto* low = Alloc<DWORD>();
        auto* high = Alloc<DWORD>();
        note("position", GetTapePosition(h, TAPE_LOGICAL_POSITION, partition, low, high));
        note("position.block", *low);
        note("position.high", *high);

        auto* media = Alloc<TAPE_GET_MEDIA_PARAMETERS>();
        auto* size = Alloc<DWORD>();
        *size = sizeof *media;
        note("media", GetTapeParameters(h, GET_TAPE_MEDIA_INFORMATION, size, media));
        note("media.blockSize", media->BlockSize);
        note("media.partitions", media->PartitionCount);
        note("media.writeProtected", media->WriteProtected);
        auto* drive = Alloc<TAPE_GET_DRIVE_PARAMETERS>();
        *size = sizeof *drive;
        note("drive", GetTapeParameters(h, GET_TAPE_DRIVE_INFORMATION, size, drive));
        note("drive.maximumBlockSize", drive->MaximumBlockSize);
        note("drive.featuresLow", drive->FeaturesLow);

        // Back to the start, over the filemark, and read what follows it.
        note("rewind", SetTapePosition(h, TAPE_REWIND, 0, 0, 0, FALSE));
        note("space", SetTapePosition(h, TAPE_SPACE_FILEMARKS, 0, 1, 0, FALSE));
        note("position", GetTapePosition(h, TAPE_LOGICAL_POSITION, partition, low, high));
        note("position.block", *low);
        BOOL ok = ReadFile(h, block, 65536, bytes, nullptr);
        note("read", ok ? *bytes : GetLastError());
        note("read.first", block[0]);
        ok = ReadFile(h, block, 65536, bytes, nullptr);
        note("read.end", ok ? NO_ERROR : GetLastError());
        // Into the filemark from the block before it.
        note("locate", SetTapePosition(h, TAPE_LOGICAL_BLOCK, 0, 2, 0, FALSE));
        ok = ReadFile(h, block, 65536, bytes, nullptr);
        note("read", ok ? *bytes : GetLastError());
        ok = ReadFile(h, block, 65536, bytes, nullptr);
        note("read.mark", ok ? NO_ERROR : GetLastError());
        note("unlock", PrepareTape(h, TAPE_UNLOCK, FALSE));
        for (void* p : std::initializer_list<void*>{bytes, block, partition, low, high, media, size, drive})
            process_->free(p);
        return seen;
    }

    std::unique_ptr<Rig> rig_;
    sim::hw::TapeDrive* drive_ = nullptr;
    sim::hw::Path* pathA_ = nullptr;
    sim::hw::Path* pathB_ = nullptr;
    std::string pathName_;
    std::string virtualName_;
    sim::Process* process_ = nullptr;
    std::optional<sim::win32::CallerScope> scope_;
};

TEST_F(TapeApi, TheVirtualDeviceAndAPathDeviceAnswerABackupSessionAlike) {
    HANDLE h = Open(virtualName_);
    const std::vector<std::string> throughVirtual = Session(h);
    EXPECT_TRUE(CloseHandle(h));
    h = OpenWhenClosed(pathName_);
    const std::vector<std::string> throughPath = Session(h);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(throughVirtual, throughPath) << testing::PrintToString(throughVirtual);

    // And the answers are the drive's: five objects written, data after the mark, the mark found.
    auto has = [&](const std::string& line) {
        return std::find(throughVirtual.begin(), throughVirtual.end(), line) != throughVirtual.end();
    };
    EXPECT_TRUE(has("status=0"));
    EXPECT_TRUE(has("filemark=0"));
    EXPECT_TRUE(has("position.block=5"));
    EXPECT_TRUE(has("position.block=4"));
    EXPECT_TRUE(has("read=4096"));
    EXPECT_TRUE(has("read.first=21"));
    EXPECT_TRUE(has("read.end=" + std::to_string(ERROR_NO_DATA_DETECTED)));
    EXPECT_TRUE(has("read.mark=" + std::to_string(ERROR_FILEMARK_DETECTED)));
    EXPECT_TRUE(has("media=0"));
    EXPECT_TRUE(has("drive=0"));
    EXPECT_TRUE(has("unlock=0"));
    const auto records = drive_->records();
    EXPECT_EQ(records.size(), 5u);
}

// Every tape call on a handle: the error each one returns (and leaves as the last error).
std::vector<DWORD> EveryCall(sim::Process& process, HANDLE h) {
    auto* size = static_cast<DWORD*>(process.alloc(sizeof(DWORD)));
    auto* out = static_cast<DWORD*>(process.alloc(3 * sizeof(DWORD)));
    auto* info = static_cast<TAPE_GET_DRIVE_PARAMETERS*>(process.alloc(sizeof(TAPE_GET_DRIVE_PARAMETERS)));
    *size = sizeof *info;
    auto* set = static_cast<TAPE_SET_MEDIA_PARAMETERS*>(process.alloc(sizeof(TAPE_SET_MEDIA_PARAMETERS)));
    std::vector<DWORD> errors = {
        CreateTapePartition(h, TAPE_FIXED_PARTITIONS, 0, 0),
        EraseTape(h, TAPE_ERASE_SHORT, FALSE),
        GetTapeParameters(h, GET_TAPE_DRIVE_INFORMATION, size, info),
        GetTapePosition(h, TAPE_LOGICAL_POSITION, &out[0], &out[1], &out[2]),
        GetTapeStatus(h),
        PrepareTape(h, TAPE_LOAD, FALSE),
        SetTapeParameters(h, SET_TAPE_MEDIA_INFORMATION, set),
        SetTapePosition(h, TAPE_REWIND, 0, 0, 0, FALSE),
        WriteTapemark(h, TAPE_FILEMARKS, 1, FALSE),
    };
    for (void* p : std::initializer_list<void*>{size, out, info, set}) process.free(p);
    return errors;
}

// The storage device number a program matches devices by: \\.\Tape<n> answers its own n, so a
// program never takes a path for the drive's virtual device.
TEST_F(TapeApi, TheDeviceNumberOfTheVirtualDeviceIsItsOwnAndNotAPaths) {
    auto* number = Alloc<STORAGE_DEVICE_NUMBER>();
    auto* bytes = Alloc<DWORD>();
    auto query = [&](const std::string& name) {
        HANDLE h = OpenWhenClosed(name);
        *number = STORAGE_DEVICE_NUMBER{};
        EXPECT_TRUE(DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, number, sizeof *number, bytes,
                                    nullptr))
            << name << ": error " << GetLastError();
        EXPECT_EQ(*bytes, sizeof *number);
        EXPECT_FALSE(DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, number, sizeof *number - 1,
                                     bytes, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_TRUE(CloseHandle(h));
        return *number;
    };
    const STORAGE_DEVICE_NUMBER own = query(virtualName_);
    EXPECT_EQ(own.DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_TAPE));
    EXPECT_EQ("\\\\.\\Tape" + std::to_string(own.DeviceNumber), virtualName_);
    EXPECT_EQ(own.PartitionNumber, 0xFFFFFFFFu) << "a tape has no partitions";
    const STORAGE_DEVICE_NUMBER path = query(pathName_);
    EXPECT_EQ(path.DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_TAPE));
    EXPECT_EQ("\\\\.\\Tape" + std::to_string(path.DeviceNumber), pathName_);
    EXPECT_EQ(path.PartitionNumber, 0xFFFFFFFFu);
    // Still its own once the request would go to the other path.
    pathA_->setPresent(false);
    rig_->Settle();
    EXPECT_EQ(query(virtualName_).DeviceNumber, own.DeviceNumber);
    process_->free(number);
    process_->free(bytes);
}

// A program polling for a cartridge: no medium is ERROR_NO_MEDIA_IN_DRIVE on the virtual device and
// on a path, and the drive is ready again once the operator inserts one.
TEST_F(TapeApi, ADriveWithoutACartridgeSaysNoMediaInDrive) {
    drive_->operatorUnload();
    auto cartridge = drive_->takeCartridge();
    ASSERT_NE(cartridge, nullptr);
    for (const std::string& name : {virtualName_, pathName_}) {
        HANDLE h = OpenWhenClosed(name);
        EXPECT_EQ(GetTapeStatus(h), static_cast<DWORD>(ERROR_NO_MEDIA_IN_DRIVE)) << name;
        EXPECT_EQ(PrepareTape(h, TAPE_LOAD, FALSE), static_cast<DWORD>(ERROR_NO_MEDIA_IN_DRIVE)) << name;
        EXPECT_TRUE(CloseHandle(h));
    }
    ASSERT_EQ(drive_->insertCartridge(std::move(cartridge)), nullptr);
    HANDLE h = OpenWhenClosed(virtualName_);
    EXPECT_EQ(GetTapeStatus(h), static_cast<DWORD>(ERROR_MEDIA_CHANGED));
    EXPECT_EQ(GetTapeStatus(h), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(CloseHandle(h));
}

// A program's habits Windows allows: forward slashes in the device name; and a position query that
// fails (an unknown position type, no cartridge) leaves zeros in its words, not an old position.
TEST_F(TapeApi, ForwardSlashNamesOpenTheDriveAndFailedPositionQueriesLeaveZeros) {
    std::string slashes = virtualName_;
    std::replace(slashes.begin(), slashes.end(), '\\', '/');
    HANDLE h = Open(slashes);
    auto* out = Alloc<DWORD>(3);
    out[0] = out[1] = out[2] = 77;
    EXPECT_EQ(GetTapePosition(h, 9, &out[0], &out[1], &out[2]), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(out[0] + out[1] + out[2], 0u);
    EXPECT_EQ(GetTapePosition(h, TAPE_ABSOLUTE_POSITION, &out[0], &out[1], &out[2]), static_cast<DWORD>(NO_ERROR));
    drive_->operatorUnload();
    auto cartridge = drive_->takeCartridge();
    out[1] = 77;
    EXPECT_EQ(GetTapePosition(h, TAPE_LOGICAL_POSITION, &out[0], &out[1], &out[2]),
              static_cast<DWORD>(ERROR_NO_MEDIA_IN_DRIVE));
    EXPECT_EQ(out[0] + out[1] + out[2], 0u);
    EXPECT_TRUE(CloseHandle(h));
    process_->free(out);
}

TEST_F(TapeApi, EveryCallOnAHandleThatIsNotOpenIsAnInvalidHandle) {
    const std::vector<DWORD> invalid(9, ERROR_INVALID_HANDLE);
    EXPECT_EQ(EveryCall(*process_, INVALID_HANDLE_VALUE), invalid);
    EXPECT_EQ(EveryCall(*process_, reinterpret_cast<HANDLE>(0x4321)), invalid);
    HANDLE h = Open(virtualName_);
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(EveryCall(*process_, h), invalid);  // closed
    SetLastError(0);
    EXPECT_EQ(GetTapeStatus(h), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(TapeApi, BuffersThatAreNotTheProgramsMemoryAreRefusedWithNoAccess) {
    HANDLE h = Open(virtualName_);
    auto* size = Alloc<DWORD>();
    auto* out = Alloc<DWORD>(3);
    *size = sizeof(TAPE_GET_MEDIA_PARAMETERS);
    // The kernel refuses a parameter record that is missing or freed.
    EXPECT_EQ(GetTapeParameters(h, GET_TAPE_MEDIA_INFORMATION, size, nullptr), static_cast<DWORD>(ERROR_NOACCESS));
    auto* freed = Alloc<TAPE_GET_MEDIA_PARAMETERS>();
    process_->free(freed);
    EXPECT_EQ(GetTapeParameters(h, GET_TAPE_MEDIA_INFORMATION, size, freed), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(SetTapeParameters(h, SET_TAPE_MEDIA_INFORMATION, freed), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(SetTapeParameters(h, SET_TAPE_DRIVE_INFORMATION, nullptr), static_cast<DWORD>(ERROR_NOACCESS));
    // The size and position words the call itself reads and writes.
    EXPECT_EQ(GetTapeParameters(h, GET_TAPE_MEDIA_INFORMATION, nullptr, out), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(GetTapePosition(h, TAPE_LOGICAL_POSITION, nullptr, &out[1], &out[2]),
              static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(GetTapePosition(h, TAPE_LOGICAL_POSITION, &out[0], reinterpret_cast<LPDWORD>(freed), &out[2]),
              static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    process_->free(out);
    process_->free(size);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(TapeApi, ParameterQueriesTellTheSizeTheyNeedAndRefuseUnknownOperations) {
    HANDLE h = Open(virtualName_);
    auto* size = Alloc<DWORD>();
    auto* drive = Alloc<TAPE_GET_DRIVE_PARAMETERS>();
    *size = sizeof *drive - 1;
    EXPECT_EQ(GetTapeParameters(h, GET_TAPE_DRIVE_INFORMATION, size, drive), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(*size, sizeof(TAPE_GET_DRIVE_PARAMETERS));
    EXPECT_EQ(GetTapeParameters(h, GET_TAPE_DRIVE_INFORMATION, size, drive), static_cast<DWORD>(NO_ERROR));
    EXPECT_GT(drive->MaximumBlockSize, 0u);
    *size = 0;
    EXPECT_EQ(GetTapeParameters(h, GET_TAPE_MEDIA_INFORMATION, size, drive), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(*size, sizeof(TAPE_GET_MEDIA_PARAMETERS));
    EXPECT_EQ(GetTapeParameters(h, 7, size, drive), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(SetTapeParameters(h, 7, drive), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

    // A block size set through the API is the one the medium parameters report.
    auto* set = Alloc<TAPE_SET_MEDIA_PARAMETERS>();
    set->BlockSize = 512;
    EXPECT_EQ(SetTapeParameters(h, SET_TAPE_MEDIA_INFORMATION, set), static_cast<DWORD>(NO_ERROR));
    auto* media = Alloc<TAPE_GET_MEDIA_PARAMETERS>();
    *size = sizeof *media;
    EXPECT_EQ(GetTapeParameters(h, GET_TAPE_MEDIA_INFORMATION, size, media), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(media->BlockSize, 512u);
    for (void* p : std::initializer_list<void*>{size, drive, set, media}) process_->free(p);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(TapeApi, ADriveWhosePathsAreGoneRefusesEveryCallAndCannotBeOpenedAgain) {
    HANDLE h = Open(virtualName_);
    pathA_->setPresent(false);
    pathB_->setPresent(false);
    rig_->Settle();
    const std::vector<DWORD> errors = EveryCall(*process_, h);
    for (DWORD e : errors) EXPECT_EQ(e, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << testing::PrintToString(errors);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(CreateFile(virtualName_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(TapeApi, AWindowsCProgramReportsTheDriveOrTheErrorsText) {
    char report[256];
    ASSERT_EQ(CProgramReport(virtualName_.c_str(), report, sizeof report), 0) << report;
    EXPECT_STREQ(report, "max block 8388608, partitions 1, writable");
    EXPECT_EQ(CProgramReport("\\\\.\\Tape77", report, sizeof report), 2);
    EXPECT_STREQ(report, "The system cannot find the file specified. ");
}

}  // namespace
