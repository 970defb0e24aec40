// Applications using a drive through its virtual device \\.\Tape<n> of the real tape bus: every
// request goes through the device's queue and is forwarded to the primary path's filter, the base
// driver vorkatape and the simulated drive. Each test runs with requests answered at once and with
// vorkatape answering them later from a thread of its own (forced pending).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "sim/pool.h"
#include "tape_rig.h"

namespace {

using tapetest::App;
using tapetest::PathStack;
using tapetest::Pattern;
using tapetest::Reply;
using tapetest::Rig;
using tapetest::RigOptions;

constexpr ULONG kMethodNeitherCode = CTL_CODE(FILE_DEVICE_TAPE, 0x900, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kInDirectCode = CTL_CODE(FILE_DEVICE_TAPE, 0x901, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kPassThroughDirectEx =
    CTL_CODE(IOCTL_SCSI_BASE, 0x0412, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
constexpr ULONG kGetSerialNumber = 0x84CAC008;
const ULONG kMdlNodeTag = sim::PoolTag("hODP");

void Put16(std::vector<std::uint8_t>& b, size_t at, std::uint16_t v) { std::memcpy(&b[at], &v, 2); }
void Put32(std::vector<std::uint8_t>& b, size_t at, std::uint32_t v) { std::memcpy(&b[at], &v, 4); }
void Put64(std::vector<std::uint8_t>& b, size_t at, std::uint64_t v) { std::memcpy(&b[at], &v, 8); }
std::uint32_t Get32(const std::vector<std::uint8_t>& b, size_t at) {
    std::uint32_t v;
    std::memcpy(&v, &b[at], 4);
    return v;
}
std::uint64_t Get64(const std::vector<std::uint8_t>& b, size_t at) {
    std::uint64_t v;
    std::memcpy(&v, &b[at], 8);
    return v;
}

// A pass-through record of `size` buffer bytes: Length, CDB length, sense length, direction,
// transfer length, the data field (offset or address) and the sense offset, in the given layout.
std::vector<std::uint8_t> Record(bool layout32, size_t size, std::vector<std::uint8_t> cdb, std::uint8_t dataIn,
                                 std::uint32_t dataLength, std::uint64_t dataField, std::uint32_t senseOffset,
                                 std::uint8_t senseLength) {
    std::vector<std::uint8_t> b(size, 0);
    Put16(b, 0, layout32 ? 44 : 56);
    b[6] = static_cast<std::uint8_t>(cdb.size());
    b[7] = senseLength;
    b[8] = dataIn;
    Put32(b, 12, dataLength);
    Put32(b, 16, 10);
    if (layout32) {
        Put32(b, 20, static_cast<std::uint32_t>(dataField));
        Put32(b, 24, senseOffset);
        std::memcpy(&b[28], cdb.data(), cdb.size());
    } else {
        Put64(b, 24, dataField);
        Put32(b, 32, senseOffset);
        std::memcpy(&b[36], cdb.data(), cdb.size());
    }
    return b;
}
const std::vector<std::uint8_t> kInquiry32 = {0x12, 0, 0, 0, 32, 0};
const std::vector<std::uint8_t> kUnknownCommand = {0xC5, 0, 0, 0, 0, 0};

class VirtualTape : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        rig_ = std::make_unique<Rig>(RigOptions{.forcePending = GetParam(), .realBus = true});
        drive_ = &rig_->AddDrive("VORKA-Q-0001");
        rig_->San().addAdapter();
        rig_->San().addAdapter();
        pathA_ = &rig_->San().connect(0, 0, 4, 0, *drive_, 0);
        pathB_ = &rig_->San().connect(1, 0, 4, 0, *drive_, 1);
        rig_->Boot();
        auto a = rig_->StackOf(*pathA_);
        ASSERT_TRUE(a.has_value());
        a_ = *a;
        const auto state = rig_->Query(a_);
        virtualName_ = u"\\\\.\\Tape";
        for (char c : std::to_string(state.virtualTapeNumber)) virtualName_ += static_cast<char16_t>(c);
        table_ = reinterpret_cast<PIRPS_WITH_STATUS>(state.statusTable);
    }
    void TearDown() override { rig_.reset(); }

    // Slots of the status table that forwarded requests still hold.
    int TableEntries() const {
        int n = 0;
        for (PIRPS_WITH_STATUS b = table_; b != nullptr; b = b->pNext)
            n += __builtin_popcountll(b->ullBitmap & ~3ULL);
        return n;
    }

    std::unique_ptr<Rig> rig_;
    sim::hw::TapeDrive* drive_ = nullptr;
    sim::hw::Path* pathA_ = nullptr;
    sim::hw::Path* pathB_ = nullptr;
    PathStack a_;
    std::u16string virtualName_;
    PIRPS_WITH_STATUS table_ = nullptr;
};

TEST_P(VirtualTape, WritesAndReadsThroughTheVirtualDeviceReachTheMedium) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(virtualName_), STATUS_SUCCESS);
    const std::vector<std::vector<std::uint8_t>> blocks = {Pattern(100, 1), Pattern(4000, 2), Pattern(65536, 3)};
    for (const auto& block : blocks) {
        Reply r = app.Write(block);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, block.size());
    }
    const auto records = drive_->records();
    ASSERT_EQ(records.size(), blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(records[i].data, blocks[i]);

    TAPE_SET_POSITION rewind{};
    rewind.Method = TAPE_REWIND;
    ASSERT_EQ(app.Control(IOCTL_TAPE_SET_POSITION, &rewind).status, STATUS_SUCCESS);
    for (const auto& block : blocks) {
        std::vector<std::uint8_t> data;
        Reply r = app.Read(&data, 70000);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(data, block);
    }
    EXPECT_EQ(TableEntries(), 0) << "every forwarded request left the status table";
}

// Applications with handles of their own on a drive that allows several (not exclusive).
class SharedVirtualTape : public VirtualTape {
protected:
    void SetUp() override {
        rig_ = std::make_unique<Rig>(RigOptions{.forcePending = GetParam(), .realBus = true});
        drive_ = &rig_->AddDrive("VORKA-Q-0002", [](sim::hw::DriveConfig& c) { c.dpfFlags = 0; });
        rig_->San().addAdapter();
        pathA_ = &rig_->San().connect(0, 0, 4, 0, *drive_, 0);
        rig_->Boot();
        auto a = rig_->StackOf(*pathA_);
        ASSERT_TRUE(a.has_value());
        a_ = *a;
        const auto state = rig_->Query(a_);
        virtualName_ = u"\\\\.\\Tape";
        for (char c : std::to_string(state.virtualTapeNumber)) virtualName_ += static_cast<char16_t>(c);
        table_ = reinterpret_cast<PIRPS_WITH_STATUS>(state.statusTable);
    }
};

TEST_P(SharedVirtualTape, ApplicationsWritingAtOnceGetEveryBlockOnTheMediumOnceInEachOnesOrder) {
    constexpr int kThreads = 4, kEach = 8;
    std::vector<std::unique_ptr<App>> apps;
    for (int t = 0; t < kThreads; ++t) {
        apps.push_back(std::make_unique<App>(rig_->Machine()));
        ASSERT_EQ(apps.back()->Open(virtualName_), STATUS_SUCCESS);
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            App& app = *apps[t];
            for (int k = 0; k < kEach; ++k) {
                std::vector<std::uint8_t> block = Pattern(512 + 64 * t, static_cast<std::uint8_t>(16 * t + k));
                block[0] = static_cast<std::uint8_t>(t);
                block[1] = static_cast<std::uint8_t>(k);
                if (app.Write(block).status != STATUS_SUCCESS) ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    const auto records = drive_->records();
    ASSERT_EQ(records.size(), size_t(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    for (const auto& record : records) {
        const int t = record.data[0], k = record.data[1];
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(k, next[t]++) << "a thread's blocks stay in the order it wrote them, each once";
        EXPECT_EQ(record.data.size(), size_t(512 + 64 * t));
    }
}

TEST_P(VirtualTape, AThirtyTwoBitBufferedPassThroughIsAnsweredInItsOwnLayout) {
    App app(rig_->Machine(), true);
    ASSERT_EQ(app.Open(virtualName_), STATUS_SUCCESS);
    // Data at 48, sense at 80: the forwarded 64-bit record carries them at 56 and 88.
    std::vector<std::uint8_t> rec = Record(true, 104, kInquiry32, SCSI_IOCTL_DATA_IN, 32, 48, 80, 24);
    std::vector<std::uint8_t> out(rec.size());
    Reply r = app.Control(IOCTL_SCSI_PASS_THROUGH, rec.data(), ULONG(rec.size()), out.data(), ULONG(out.size()));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(out[0], 44) << "the caller's layout";
    EXPECT_EQ(out[2], 0) << "GOOD status";
    EXPECT_EQ(Get32(out, 12), 32u);
    EXPECT_EQ(Get32(out, 20), 48u) << "offsets as the caller set them";
    EXPECT_EQ(Get32(out, 24), 80u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&out[48 + 8]), 5), "VORKA");
    EXPECT_GE(r.information, 80u);
    EXPECT_LE(r.information, out.size());

    rec = Record(true, 104, kUnknownCommand, SCSI_IOCTL_DATA_UNSPECIFIED, 0, 0, 80, 24);
    std::fill(out.begin(), out.end(), 0);
    r = app.Control(IOCTL_SCSI_PASS_THROUGH, rec.data(), ULONG(rec.size()), out.data(), ULONG(out.size()));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(out[2], 0x02) << "CHECK CONDITION";
    ASSERT_GE(out[7], 14);
    EXPECT_EQ(out[80 + 2] & 0x0F, 0x05) << "sense at the caller's own offset";
    EXPECT_EQ(out[80 + 12], 0x20);
}

// A direct request: the data lands in the caller's own buffer, and the caller's record gets back
// its own buffer address, not the system address the bus forwarded.
void DirectInquiry(Rig& rig, const std::u16string& name, bool process32) {
    App app(rig.Machine(), process32);
    ASSERT_EQ(app.Open(name), STATUS_SUCCESS) << "the previous handle is closed";
    void* user = app.Process().alloc(32);
    const auto address = reinterpret_cast<std::uintptr_t>(user);
    if (process32) ASSERT_LT(address, 0x100000000ULL);
    std::vector<std::uint8_t> rec = process32 ? Record(true, 72, kInquiry32, SCSI_IOCTL_DATA_IN, 32, address, 48, 24)
                                              : Record(false, 80, kInquiry32, SCSI_IOCTL_DATA_IN, 32, address, 56, 24);
    std::vector<std::uint8_t> out(rec.size());
    Reply r = app.Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, rec.data(), ULONG(rec.size()), out.data(), ULONG(out.size()));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(out[0], process32 ? 44 : 56);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(Get32(out, 12), 32u);
    if (process32) {
        EXPECT_EQ(Get32(out, 20), address) << "the caller's own 32-bit buffer address";
    } else {
        EXPECT_EQ(Get64(out, 24), address) << "the caller's own buffer address";
    }
    EXPECT_EQ(std::string(static_cast<const char*>(user) + 8, 5), "VORKA");
    app.Process().free(user);
}

TEST_P(VirtualTape, AThirtyTwoBitDirectPassThroughIsAnsweredInItsOwnLayoutWithItsOwnBuffer) {
    DirectInquiry(*rig_, virtualName_, true);
    EXPECT_EQ(rig_->Machine().pool().liveCountWithTag(kMdlNodeTag), 0u) << "the locked buffer was released";
}

TEST_P(VirtualTape, ASixtyFourBitDirectPassThroughGetsItsOwnBufferAddressBack) {
    DirectInquiry(*rig_, virtualName_, false);
}

TEST_P(VirtualTape, ABadUserBufferCompletesTheRequestAtOnceWithTheProbesStatus) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(virtualName_), STATUS_SUCCESS);
    std::vector<std::uint8_t> rec = Record(false, 80, kInquiry32, SCSI_IOCTL_DATA_IN, 32, 0x10000, 56, 24);
    std::vector<std::uint8_t> out(rec.size());
    Reply r = app.Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, rec.data(), ULONG(rec.size()), out.data(), ULONG(out.size()));
    EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(rig_->Machine().pool().liveCountWithTag(kMdlNodeTag), 0u);
    app.Close();
    DirectInquiry(*rig_, virtualName_, false);  // the device goes on serving
}

// The drive only reads the data of a write: the buffer needs to be readable, not writable (a backup
// program may write from a read-only mapping of its file). A length without a buffer is refused
// before anything reaches a drive.
TEST_P(VirtualTape, ADirectWriteFromAReadOnlyBufferReachesTheTapeAndALengthWithoutABufferIsRefused) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(virtualName_), STATUS_SUCCESS);
    const auto data = Pattern(512, 3);
    void* user = app.Process().alloc(data.size());
    std::memcpy(user, data.data(), data.size());
    app.Process().setReadOnly(user, true);
    const std::vector<std::uint8_t> write6 = {0x0A, 0, 0, 0x02, 0x00, 0};  // one variable block of 512
    std::vector<std::uint8_t> rec = Record(false, 80, write6, SCSI_IOCTL_DATA_OUT, 512,
                                           reinterpret_cast<std::uintptr_t>(user), 56, 24);
    std::vector<std::uint8_t> out(rec.size());
    Reply r = app.Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, rec.data(), ULONG(rec.size()), out.data(), ULONG(out.size()));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(out[2], 0) << "GOOD status";
    ASSERT_EQ(drive_->records().size(), 1u);
    EXPECT_EQ(drive_->records()[0].data, data);

    // A read into the same read-only buffer cannot be locked for the drive to write into.
    const std::vector<std::uint8_t> inquiry = {0x12, 0, 0, 0x02, 0x00, 0};
    rec = Record(false, 80, inquiry, SCSI_IOCTL_DATA_IN, 512, reinterpret_cast<std::uintptr_t>(user), 56, 24);
    r = app.Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, rec.data(), ULONG(rec.size()), out.data(), ULONG(out.size()));
    EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION);
    app.Process().setReadOnly(user, false);

    rec = Record(false, 80, write6, SCSI_IOCTL_DATA_OUT, 512, 0, 56, 24);
    r = app.Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, rec.data(), ULONG(rec.size()), out.data(), ULONG(out.size()));
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(drive_->records().size(), 1u) << "nothing reached the drive";
    EXPECT_EQ(rig_->Machine().pool().liveCountWithTag(kMdlNodeTag), 0u);
    app.Process().free(user);
}

TEST_P(VirtualTape, APoolFailureAtAnyAllocationOfARequestLeavesNothingBehind) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(virtualName_), STATUS_SUCCESS);
    void* user = app.Process().alloc(32);
    const auto address = reinterpret_cast<std::uintptr_t>(user);
    const std::vector<std::uint8_t> rec = Record(false, 80, kInquiry32, SCSI_IOCTL_DATA_IN, 32, address, 56, 24);
    sim::Pool& pool = rig_->Machine().pool();
    const ULONG busTags[] = {sim::PoolTag("gODP"), sim::PoolTag("hODP"), sim::PoolTag("bODP"), sim::PoolTag("hSUB")};
    int failed = 0;
    for (std::size_t n = 1; n <= 24; ++n) {
        std::vector<std::uint8_t> out(rec.size());
        pool.failNthAllocation(n);
        Reply r = app.Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, rec.data(), ULONG(rec.size()), out.data(),
                              ULONG(out.size()));
        pool.clearFailures();
        if (r.status != STATUS_SUCCESS) {
            ++failed;
            EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
        }
        for (ULONG tag : busTags) EXPECT_EQ(pool.liveCountWithTag(tag), 0u) << "allocation " << n;
        EXPECT_EQ(TableEntries(), 0) << "allocation " << n;
        r = app.Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, rec.data(), ULONG(rec.size()), out.data(), ULONG(out.size()));
        EXPECT_EQ(r.status, STATUS_SUCCESS) << "the device goes on after a failure at allocation " << n;
    }
    EXPECT_GT(failed, 0) << "some injected failure hit the request";
    app.Process().free(user);
}

TEST_P(VirtualTape, PassThroughRecordsThatDoNotFitTheirBuffersAreRefused) {
    App app64(rig_->Machine());
    ASSERT_EQ(app64.Open(virtualName_), STATUS_SUCCESS);
    // No input at all: there is no system buffer to read a record from.
    EXPECT_EQ(app64.Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, nullptr, 0, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(app64.Control(IOCTL_SCSI_PASS_THROUGH, nullptr, 0, nullptr, 0).status, STATUS_BUFFER_TOO_SMALL);
    // A Length that is neither layout.
    std::vector<std::uint8_t> rec = Record(false, 80, kInquiry32, SCSI_IOCTL_DATA_IN, 0, 0, 56, 24);
    Put16(rec, 0, 48);
    EXPECT_EQ(app64.Control(IOCTL_SCSI_PASS_THROUGH, rec.data(), 80, rec.data(), 80).status,
              STATUS_INFO_LENGTH_MISMATCH);
    app64.Close();

    App app32(rig_->Machine(), true);
    ASSERT_EQ(app32.Open(virtualName_), STATUS_SUCCESS);
    rec = Record(true, 40, kInquiry32, SCSI_IOCTL_DATA_IN, 0, 0, 0, 0);
    EXPECT_EQ(app32.Control(IOCTL_SCSI_PASS_THROUGH, rec.data(), 40, rec.data(), 40).status, STATUS_BUFFER_TOO_SMALL);
    // Data range past the end of the caller's buffer.
    rec = Record(true, 104, kInquiry32, SCSI_IOCTL_DATA_IN, 200, 48, 80, 24);
    EXPECT_EQ(app32.Control(IOCTL_SCSI_PASS_THROUGH, rec.data(), 104, rec.data(), 104).status,
              STATUS_INVALID_PARAMETER);
    // Sense range past the end.
    rec = Record(true, 104, kInquiry32, SCSI_IOCTL_DATA_IN, 32, 48, 100, 24);
    EXPECT_EQ(app32.Control(IOCTL_SCSI_PASS_THROUGH, rec.data(), 104, rec.data(), 104).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TableEntries(), 0);
}

// A record must be in the layout of the process that sends it, as the port driver below demands:
// 56 bytes from a 64-bit process, 44 from a 32-bit one. The other width is refused before anything
// reaches the drive or is locked.
TEST_P(VirtualTape, PassThroughRecordsOfTheOtherProcessWidthAreRefused) {
    App app64(rig_->Machine());
    ASSERT_EQ(app64.Open(virtualName_), STATUS_SUCCESS);
    void* user64 = app64.Process().alloc(32);
    // A 64-bit process's direct record in the 32-bit layout would hand its 4-byte field on as an address.
    std::vector<std::uint8_t> rec =
        Record(true, 72, kInquiry32, SCSI_IOCTL_DATA_IN, 32, reinterpret_cast<std::uintptr_t>(user64) & 0xFFFFFFFF,
               48, 24);
    std::vector<std::uint8_t> out(rec.size());
    EXPECT_EQ(app64.Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, rec.data(), 72, out.data(), 72).status,
              STATUS_INVALID_PARAMETER);
    // Its buffered record in the 32-bit layout is not converted either.
    rec = Record(true, 104, kInquiry32, SCSI_IOCTL_DATA_IN, 32, 48, 80, 24);
    out.assign(rec.size(), 0);
    Reply r = app64.Control(IOCTL_SCSI_PASS_THROUGH, rec.data(), 104, out.data(), 104);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.information, 0u);
    EXPECT_NE(std::string(reinterpret_cast<const char*>(&out[48 + 8]), 5), "VORKA") << "no inquiry data";
    app64.Process().free(user64);
    app64.Close();

    App app32(rig_->Machine(), true);
    ASSERT_EQ(app32.Open(virtualName_), STATUS_SUCCESS);
    void* user32 = app32.Process().alloc(32);
    rec = Record(false, 80, kInquiry32, SCSI_IOCTL_DATA_IN, 32, reinterpret_cast<std::uintptr_t>(user32), 56, 24);
    out.assign(rec.size(), 0);
    EXPECT_EQ(app32.Control(IOCTL_SCSI_PASS_THROUGH_DIRECT, rec.data(), 80, out.data(), 80).status,
              STATUS_INVALID_PARAMETER);
    rec = Record(false, 112, kInquiry32, SCSI_IOCTL_DATA_IN, 32, 56, 88, 24);
    out.assign(rec.size(), 0);
    EXPECT_EQ(app32.Control(IOCTL_SCSI_PASS_THROUGH, rec.data(), 112, out.data(), 112).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig_->Machine().pool().liveCountWithTag(kMdlNodeTag), 0u) << "nothing was locked";
    EXPECT_EQ(TableEntries(), 0);

    // Each in its own layout is answered.
    rec = Record(true, 104, kInquiry32, SCSI_IOCTL_DATA_IN, 32, 48, 80, 24);
    out.assign(rec.size(), 0);
    ASSERT_EQ(app32.Control(IOCTL_SCSI_PASS_THROUGH, rec.data(), 104, out.data(), 104).status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&out[48 + 8]), 5), "VORKA");
    app32.Process().free(user32);
}

TEST_P(VirtualTape, ControlCodesThatCannotBeForwardedSafelyAreRefused) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(virtualName_), STATUS_SUCCESS);
    std::uint8_t buffer[64] = {};
    for (ULONG code : {kMethodNeitherCode, kInDirectCode, kPassThroughDirectEx, kGetSerialNumber}) {
        EXPECT_EQ(app.Control(code, buffer, sizeof buffer, buffer, sizeof buffer).status, STATUS_INVALID_DEVICE_REQUEST)
            << std::hex << code;
    }
    app.Close();
    // The drivers' own private request from kernel mode still reaches the drive.
    PDEVICE_OBJECT device = nullptr;
    {
        std::u16string name = u"\\Device\\Tape" + virtualName_.substr(8);
        UNICODE_STRING us;
        us.Buffer = name.data();
        us.Length = us.MaximumLength = USHORT(name.size() * 2);
        PFILE_OBJECT file = nullptr;
        ASSERT_EQ(IoGetDeviceObjectPointer(&us, FILE_READ_DATA, &file, &device), STATUS_SUCCESS)
            << "the application's handle is closed";
        char serial[SERIAL_NUMBER_LENGTH] = {};
        Reply r = tapetest::KernelControl(device, kGetSerialNumber, serial, sizeof serial, serial, sizeof serial);
        ObDereferenceObject(file);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_STREQ(serial, "VORKA-Q-0001");
    }
}

TEST_P(VirtualTape, TheScsiAddressIsThePrimaryPathsAndNeedsEightBytes) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(virtualName_), STATUS_SUCCESS);
    SCSI_ADDRESS address{};
    EXPECT_EQ(app.Control(IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, 7).status, STATUS_INFO_LENGTH_MISMATCH);
    Reply r = app.Control(IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, sizeof address);
    EXPECT_EQ(address.TargetId, 4);
}

TEST_P(VirtualTape, ADriveThatLosesItsLastPathStopsItsWorkersAndRefusesLaterRequests) {
    App app(rig_->Machine());
    ASSERT_EQ(app.Open(virtualName_), STATUS_SUCCESS);
    ASSERT_EQ(app.Write(Pattern(100, 1)).status, STATUS_SUCCESS);
    pathA_->setPresent(false);
    pathB_->setPresent(false);
    rig_->Settle();
    std::vector<std::uint8_t> data;
    EXPECT_EQ(app.Read(&data, 100).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(app.Close(), STATUS_SUCCESS);
    EXPECT_EQ(rig_->Machine().pool().liveCountWithTag(sim::PoolTag("gODP")), 0u);
}

std::string PendingName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? std::string("ForcedPending") : std::string("AnsweredAtOnce");
}
INSTANTIATE_TEST_SUITE_P(Pending, VirtualTape, ::testing::Bool(), PendingName);
INSTANTIATE_TEST_SUITE_P(Pending, SharedVirtualTape, ::testing::Bool(), PendingName);

}  // namespace
