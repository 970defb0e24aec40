// SCSI pass-through records of 32-bit processes: how the bus turns them into the 64-bit record the
// lower drivers take and carries the outcome back, and which records it refuses because a data or
// sense range would reach outside the caller's or the forwarded buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "passthru.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kFill = 0xCC;

template <typename T>
T Get(const Bytes& b, size_t offset) {
    T value;
    std::memcpy(&value, b.data() + offset, sizeof value);
    return value;
}

template <typename T>
void Put(Bytes& b, size_t offset, T value) {
    std::memcpy(b.data() + offset, &value, sizeof value);
}

// A 32-bit process's request buffer: the 44-byte record, then room for data and sense, each byte
// of data and sense numbered so that a copy shows where it came from.
struct Request32 {
    Bytes buffer;

    Request32(ULONG size, ULONG dataOffsetOrAddress, ULONG dataLength, ULONG senseOffset, UCHAR senseLength)
        : buffer(size, 0) {
        VORKA_SCSI_PASS_THROUGH32 rec{};
        rec.Length = CMN_PT32_LENGTH;
        rec.ScsiStatus = 0;
        rec.PathId = 1;
        rec.TargetId = 2;
        rec.Lun = 3;
        rec.CdbLength = 6;
        rec.SenseInfoLength = senseLength;
        rec.DataIn = SCSI_IOCTL_DATA_IN;
        rec.DataTransferLength = dataLength;
        rec.TimeOutValue = 60;
        rec.DataBufferOffset = dataOffsetOrAddress;
        rec.SenseInfoOffset = senseOffset;
        for (int i = 0; i < 16; ++i) rec.Cdb[i] = static_cast<UCHAR>(0xA0 + i);
        std::memcpy(buffer.data(), &rec, sizeof rec);
        for (size_t i = CMN_PT32_LENGTH; i < buffer.size(); ++i) buffer[i] = static_cast<std::uint8_t>(i);
    }
    ULONG size() const { return static_cast<ULONG>(buffer.size()); }
};

Bytes Forwarded(ULONG size) { return Bytes(size, kFill); }

NTSTATUS To64(Bytes& dest, const Request32& r, bool direct, void* systemAddress = nullptr) {
    return CmnPassThru32To64(dest.data(), static_cast<ULONG>(dest.size()), r.buffer.data(), r.size(), direct,
                             systemAddress);
}

NTSTATUS To32(Request32& r, const Bytes& forwarded, bool direct) {
    return CmnPassThru64To32(r.buffer.data(), r.size(), forwarded.data(), static_cast<ULONG>(forwarded.size()),
                             direct);
}

ULONG ForwardedSize(ULONG callerSize, bool direct) {
    return (callerSize + (direct ? CMN_PT32_GROWTH_DIRECT : CMN_PT32_GROWTH_BUFFERED) + 7) & ~7u;
}

// ---- Conversion to the 64-bit record ----

TEST(PassThru32To64, BufferedRecordWithDataAt48AndSenseAt80GetsThemAt56And88) {
    Request32 r(112, 48, 32, 80, 32);
    Bytes fwd = Forwarded(ForwardedSize(r.size(), false));
    ASSERT_EQ(To64(fwd, r, false), STATUS_SUCCESS);

    EXPECT_EQ(Get<USHORT>(fwd, 0), 56);
    EXPECT_EQ(fwd[3], 1);
    EXPECT_EQ(fwd[4], 2);
    EXPECT_EQ(fwd[5], 3);
    EXPECT_EQ(fwd[6], 6);
    EXPECT_EQ(fwd[7], 32);
    EXPECT_EQ(fwd[8], SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(Get<ULONG>(fwd, 12), 32u);
    EXPECT_EQ(Get<ULONG>(fwd, 16), 60u);
    EXPECT_EQ(Get<ULONG64>(fwd, 24), 56u) << "data offset 48 + 4 = 52, aligned to 56";
    EXPECT_EQ(Get<ULONG>(fwd, 32), 88u) << "sense offset 80 + 4 = 84, moved by the same 4 to 88";
    for (int i = 0; i < 16; ++i) EXPECT_EQ(fwd[36 + i], 0xA0 + i) << "CDB byte " << i;
    EXPECT_TRUE(std::equal(fwd.begin() + 56, fwd.begin() + 88, r.buffer.begin() + 48)) << "data bytes";
    EXPECT_TRUE(std::equal(fwd.begin() + 88, fwd.begin() + 120, r.buffer.begin() + 80)) << "sense bytes";
    EXPECT_TRUE(CmnPassThruRangesValid(fwd.data(), static_cast<ULONG>(fwd.size()), FALSE));
}

TEST(PassThru32To64, BufferedSenseBeforeDataKeepsTheOrderAndTheGap) {
    // Sense at 45 (just behind the record, odd), data at 77: sense 49 -> 56 (shift 11), data 88 -> 88.
    Request32 r(77 + 16, 77, 16, 45, 18);
    Bytes fwd = Forwarded(ForwardedSize(r.size(), false));
    ASSERT_EQ(To64(fwd, r, false), STATUS_SUCCESS);
    EXPECT_EQ(Get<ULONG>(fwd, 32), 56u);
    EXPECT_EQ(Get<ULONG64>(fwd, 24), 88u);
    EXPECT_TRUE(std::equal(fwd.begin() + 56, fwd.begin() + 74, r.buffer.begin() + 45));
    EXPECT_TRUE(std::equal(fwd.begin() + 88, fwd.begin() + 104, r.buffer.begin() + 77));
}

TEST(PassThru32To64, RangeRightBehindTheRecordNeverLandsOnTheCdb) {
    // At 44 the rule "plus 4, aligned" gives 48, inside the 56-byte record (over the CDB's last
    // bytes): the range starts behind the record instead.
    Request32 buffered(44 + 8 + 32, 44, 8, 52, 32);
    Bytes fwd = Forwarded(ForwardedSize(buffered.size(), false));
    ASSERT_EQ(To64(fwd, buffered, false), STATUS_SUCCESS);
    EXPECT_EQ(Get<ULONG64>(fwd, 24), 56u);
    EXPECT_EQ(Get<ULONG>(fwd, 32), 64u) << "sense keeps its 8-byte distance behind the data";
    for (int i = 0; i < 16; ++i) EXPECT_EQ(fwd[36 + i], 0xA0 + i) << "CDB intact";

    Request32 direct(44 + 32, 0x1000, 512, 44, 32);
    Bytes fwdDirect = Forwarded(ForwardedSize(direct.size(), true));
    ASSERT_EQ(To64(fwdDirect, direct, true), STATUS_SUCCESS);
    EXPECT_EQ(Get<ULONG>(fwdDirect, 32), 56u);
    EXPECT_TRUE(std::equal(fwdDirect.begin() + 56, fwdDirect.begin() + 88, direct.buffer.begin() + 44));
    for (int i = 0; i < 16; ++i) EXPECT_EQ(fwdDirect[36 + i], 0xA0 + i) << "CDB intact";
}

TEST(PassThru32To64, DirectRecordCarriesTheLockedBuffersSystemAddress) {
    std::uint8_t lockedPages[512];
    Request32 r(48 + 32, 0x00401000, sizeof lockedPages, 48, 32);
    Bytes fwd = Forwarded(ForwardedSize(r.size(), true));
    ASSERT_EQ(To64(fwd, r, true, lockedPages), STATUS_SUCCESS);
    EXPECT_EQ(Get<USHORT>(fwd, 0), 56);
    EXPECT_EQ(Get<ULONG>(fwd, 12), 512u);
    EXPECT_EQ(Get<void*>(fwd, 24), static_cast<void*>(lockedPages));
    EXPECT_EQ(Get<ULONG>(fwd, 32), 56u) << "sense 48 + 4 = 52, aligned to 56";
    EXPECT_TRUE(std::equal(fwd.begin() + 56, fwd.begin() + 88, r.buffer.begin() + 48)) << "sense bytes";
    EXPECT_TRUE(CmnPassThruRangesValid(fwd.data(), static_cast<ULONG>(fwd.size()), TRUE));
}

TEST(PassThru32To64, DirectRecordWithoutSystemAddressWidensTheCallersAddress) {
    Request32 r(CMN_PT32_LENGTH, 0xFFFE1000, 4096, 0, 0);  // high 32-bit address: no sign extension
    Bytes fwd = Forwarded(CMN_PT64_LENGTH);
    ASSERT_EQ(To64(fwd, r, true), STATUS_SUCCESS);
    EXPECT_EQ(Get<ULONG64>(fwd, 24), 0xFFFE1000ull);
    EXPECT_EQ(Get<ULONG>(fwd, 32), 0u) << "no sense requested";
}

TEST(PassThru32To64, DirectDataLengthIsNotMeasuredAgainstTheRequestBuffer) {
    // The data of a direct request lives in the caller's own memory (locked separately); only the
    // sense bytes must fit the request buffer.
    Request32 r(CMN_PT32_LENGTH, 0x00401000, 0xFFFFFFFF, 0, 0);
    Bytes fwd = Forwarded(CMN_PT64_LENGTH);
    EXPECT_EQ(To64(fwd, r, true), STATUS_SUCCESS);
    EXPECT_EQ(Get<ULONG>(fwd, 12), 0xFFFFFFFFu);
}

TEST(PassThru32To64, ForwardedBufferOfTheDocumentedGrowthAlwaysSuffices) {
    // Every placement of data and sense behind the record, in every alignment.
    for (bool direct : {false, true}) {
        for (ULONG first = 44; first < 64; ++first) {
            for (ULONG gap = 0; gap < 10; ++gap) {
                for (bool senseFirst : {false, true}) {
                    const ULONG firstLength = 5, secondLength = 7;
                    ULONG second = first + firstLength + gap;
                    ULONG size = second + secondLength;
                    ULONG dataOffset = senseFirst ? second : first;
                    ULONG senseOffset = senseFirst ? first : second;
                    UCHAR senseLength = static_cast<UCHAR>(senseFirst ? firstLength : secondLength);
                    ULONG dataLength = senseFirst ? secondLength : firstLength;
                    Request32 r(size, direct ? 0x1000 : dataOffset, dataLength, senseOffset, senseLength);
                    Bytes fwd = Forwarded(ForwardedSize(size, direct));
                    ASSERT_EQ(To64(fwd, r, direct), STATUS_SUCCESS)
                        << "direct " << direct << " data " << dataOffset << " sense " << senseOffset;
                    EXPECT_EQ(Get<ULONG>(fwd, 32) % 8, 0u);
                    EXPECT_GE(Get<ULONG>(fwd, 32), 56u);
                    if (!direct) {
                        EXPECT_EQ(Get<ULONG64>(fwd, 24) % 8, 0u);
                        EXPECT_GE(Get<ULONG64>(fwd, 24), 56u);
                    }
                    EXPECT_TRUE(CmnPassThruRangesValid(fwd.data(), static_cast<ULONG>(fwd.size()), direct));
                }
            }
        }
    }
}

// ---- Refusals: nothing is written ----

struct Refusal {
    const char* what;
    ULONG size;
    ULONG dataOffset;
    ULONG dataLength;
    ULONG senseOffset;
    UCHAR senseLength;
    bool direct;
};

TEST(PassThru32To64, RecordsNamingBytesOutsideTheCallersBufferAreRefusedAndNothingIsWritten) {
    const Refusal refusals[] = {
        {"sense past the end", 100, 48, 16, 90, 32, false},
        {"data past the end", 100, 64, 64, 48, 8, false},
        {"data offset past the end, zero-length sense", 100, 200, 1, 0, 0, false},
        {"data inside the record", 100, 40, 8, 60, 8, false},
        {"sense inside the record", 100, 60, 8, 20, 8, false},
        {"sense at offset 0", 100, 0, 0, 0, 18, false},
        {"data and sense overlap", 100, 48, 32, 72, 8, false},
        {"sense inside the data", 100, 48, 40, 56, 8, false},
        {"data offset wrapping in 32 bits", 100, 0xFFFFFFF0u, 0x20, 48, 8, false},
        {"data length wrapping in 32 bits", 100, 48, 0xFFFFFFF0u, 0, 0, false},
        {"huge data length", 100, 48, 0xFFFFFFFFu, 0, 0, false},
        {"sense offset wrapping in 32 bits", 100, 48, 8, 0xFFFFFFF8u, 16, false},
        {"direct sense past the end", 60, 0x1000, 512, 48, 32, true},
        {"direct sense inside the record", 80, 0x1000, 512, 28, 16, true},
        {"direct sense offset wrapping in 32 bits", 80, 0x1000, 512, 0xFFFFFFFFu, 2, true},
    };
    for (const Refusal& c : refusals) {
        Request32 r(c.size, c.dataOffset, c.dataLength, c.senseOffset, c.senseLength);
        Bytes fwd = Forwarded(512);
        EXPECT_EQ(To64(fwd, r, c.direct), STATUS_INVALID_PARAMETER) << c.what;
        EXPECT_EQ(fwd, Forwarded(512)) << c.what << ": forwarded buffer untouched";
    }
}

TEST(PassThru32To64, RangesThatDoNotFitTheForwardedBufferAreRefused) {
    Request32 r(112, 48, 32, 80, 32);
    Bytes small = Forwarded(112);  // 120 + 32 needed for the sense bytes at 88
    EXPECT_EQ(To64(small, r, false), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(small, Forwarded(112));

    Request32 d(80, 0x1000, 16, 48, 32);
    Bytes smallDirect = Forwarded(80);  // sense moves to 56..88
    EXPECT_EQ(To64(smallDirect, d, true), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(smallDirect, Forwarded(80));
}

TEST(PassThru32To64, ShortBuffersWrongLengthAndOverlappingBuffersAreRefused) {
    Request32 r(112, 48, 32, 80, 32);
    Bytes fwd = Forwarded(128);
    EXPECT_EQ(CmnPassThru32To64(fwd.data(), 128, r.buffer.data(), 43, FALSE, nullptr), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(CmnPassThru32To64(fwd.data(), 128, nullptr, 112, FALSE, nullptr), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(CmnPassThru32To64(fwd.data(), 55, r.buffer.data(), 112, FALSE, nullptr), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(CmnPassThru32To64(nullptr, 128, r.buffer.data(), 112, FALSE, nullptr), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(fwd, Forwarded(128));

    for (USHORT length : {0, 48, 56}) {
        Request32 wrong(112, 48, 32, 80, 32);
        Put<USHORT>(wrong.buffer, 0, length);
        EXPECT_EQ(To64(fwd, wrong, false), STATUS_INFO_LENGTH_MISMATCH) << "Length " << length;
        EXPECT_EQ(To64(fwd, wrong, true), STATUS_INFO_LENGTH_MISMATCH) << "Length " << length;
    }
    EXPECT_EQ(fwd, Forwarded(128));

    // Converting a buffer into itself (or into a part of it) is refused.
    Bytes one(256, 0);
    std::memcpy(one.data(), r.buffer.data(), r.buffer.size());
    EXPECT_EQ(CmnPassThru32To64(one.data() + 64, 192, one.data(), 112, FALSE, nullptr), STATUS_INVALID_PARAMETER);
}

// ---- Conversion back ----

// What a lower driver does with the forwarded record: status, sense bytes, data bytes.
void Complete(Bytes& fwd, UCHAR scsiStatus, ULONG transferred, UCHAR senseReturned, std::uint8_t pattern) {
    fwd[2] = scsiStatus;
    Put<ULONG>(fwd, 12, transferred);
    fwd[7] = senseReturned;
    ULONG senseOffset = Get<ULONG>(fwd, 32);
    std::memset(fwd.data() + senseOffset, pattern ^ 0xFF, senseReturned);
    ULONG64 dataOffset = Get<ULONG64>(fwd, 24);
    if (dataOffset < fwd.size()) std::memset(fwd.data() + dataOffset, pattern, transferred);
}

TEST(PassThru64To32, BufferedOutcomeReachesTheCallersOwnOffsets) {
    Request32 r(112, 48, 32, 80, 32);
    Bytes fwd = Forwarded(ForwardedSize(r.size(), false));
    ASSERT_EQ(To64(fwd, r, false), STATUS_SUCCESS);
    Complete(fwd, 0x02, 20, 18, 0x5A);  // check condition, 20 of 32 bytes read, 18 sense bytes
    const Bytes before = r.buffer;

    ASSERT_EQ(To32(r, fwd, false), STATUS_SUCCESS);
    EXPECT_EQ(Get<USHORT>(r.buffer, 0), 44) << "still the caller's own layout";
    EXPECT_EQ(r.buffer[2], 0x02);
    EXPECT_EQ(r.buffer[7], 18) << "sense bytes returned";
    EXPECT_EQ(Get<ULONG>(r.buffer, 12), 20u);
    EXPECT_EQ(Get<ULONG>(r.buffer, 20), 48u) << "caller's data offset unchanged";
    EXPECT_EQ(Get<ULONG>(r.buffer, 24), 80u) << "caller's sense offset unchanged";
    EXPECT_TRUE(std::all_of(r.buffer.begin() + 48, r.buffer.begin() + 68, [](auto b) { return b == 0x5A; }));
    EXPECT_TRUE(std::equal(r.buffer.begin() + 68, r.buffer.begin() + 80, before.begin() + 68))
        << "data bytes not transferred stay as they were";
    EXPECT_TRUE(std::all_of(r.buffer.begin() + 80, r.buffer.begin() + 98, [](auto b) { return b == 0xA5; }));
    EXPECT_TRUE(std::equal(r.buffer.begin() + 98, r.buffer.end(), before.begin() + 98));
}

TEST(PassThru64To32, DirectOutcomeKeepsTheCallersBufferAddress) {
    std::uint8_t lockedPages[64];
    Request32 r(48 + 32, 0x00401000, sizeof lockedPages, 48, 32);
    Bytes fwd = Forwarded(ForwardedSize(r.size(), true));
    ASSERT_EQ(To64(fwd, r, true, lockedPages), STATUS_SUCCESS);
    Complete(fwd, 0x00, 64, 0, 0x11);
    fwd[7] = 0;

    ASSERT_EQ(To32(r, fwd, true), STATUS_SUCCESS);
    EXPECT_EQ(r.buffer[2], 0x00);
    EXPECT_EQ(Get<ULONG>(r.buffer, 12), 64u);
    EXPECT_EQ(Get<ULONG>(r.buffer, 20), 0x00401000u) << "the caller sees its own 32-bit address";
    EXPECT_EQ(r.buffer[7], 0);
}

TEST(PassThru64To32, LowerDriverReportingMoreThanAskedIsCutToTheCallersLengths) {
    Request32 r(112, 48, 32, 80, 16);
    Bytes fwd = Forwarded(160);
    ASSERT_EQ(To64(fwd, r, false), STATUS_SUCCESS);
    Complete(fwd, 0x02, 32, 16, 0x77);
    Put<ULONG>(fwd, 12, 40);  // claims 40 bytes of a 32-byte request
    fwd[7] = 24;              // and 24 sense bytes of 16
    const Bytes before = r.buffer;

    ASSERT_EQ(To32(r, fwd, false), STATUS_SUCCESS);
    EXPECT_EQ(Get<ULONG>(r.buffer, 12), 32u);
    EXPECT_EQ(r.buffer[7], 16);
    EXPECT_TRUE(std::equal(r.buffer.begin() + 96, r.buffer.end(), before.begin() + 96))
        << "nothing written past the caller's sense area";
}

TEST(PassThru64To32, ForwardedRecordNamingBytesOutsideItsBufferChangesNothing) {
    Request32 r(112, 48, 32, 80, 32);
    Bytes fwd = Forwarded(ForwardedSize(r.size(), false));
    ASSERT_EQ(To64(fwd, r, false), STATUS_SUCCESS);
    Complete(fwd, 0x02, 32, 32, 0x33);
    const Bytes before = r.buffer;

    Bytes senseOut = fwd;
    Put<ULONG>(senseOut, 32, static_cast<ULONG>(fwd.size()) - 8);
    EXPECT_EQ(To32(r, senseOut, false), STATUS_INVALID_PARAMETER);
    Bytes dataOut = fwd;
    Put<ULONG64>(dataOut, 24, 0x100000038ull);  // 56 in its low 32 bits
    EXPECT_EQ(To32(r, dataOut, false), STATUS_INVALID_PARAMETER);
    Bytes dataInRecord = fwd;
    Put<ULONG64>(dataInRecord, 24, 8);
    EXPECT_EQ(To32(r, dataInRecord, false), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.buffer, before);

    // A caller's buffer shorter than its own ranges (the conversion back is checked on its own).
    EXPECT_EQ(CmnPassThru64To32(r.buffer.data(), 90, fwd.data(), static_cast<ULONG>(fwd.size()), FALSE),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CmnPassThru64To32(r.buffer.data(), 43, fwd.data(), static_cast<ULONG>(fwd.size()), FALSE),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(CmnPassThru64To32(r.buffer.data(), r.size(), fwd.data(), 55, FALSE), STATUS_BUFFER_TOO_SMALL);
    Bytes wrongLength = fwd;
    Put<USHORT>(wrongLength, 0, 44);
    EXPECT_EQ(To32(r, wrongLength, false), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(r.buffer, before);
}

// ---- Range check of a 64-bit record ----

Bytes Record64(ULONG size, ULONG64 dataOffset, ULONG dataLength, ULONG senseOffset, UCHAR senseLength) {
    Bytes b(size, 0);
    Put<USHORT>(b, 0, 56);
    b[7] = senseLength;
    Put<ULONG>(b, 12, dataLength);
    Put<ULONG64>(b, 24, dataOffset);
    Put<ULONG>(b, 32, senseOffset);
    return b;
}

TEST(PassThruRangesValid, AcceptsRangesBehindTheRecordAndRefusesAnyOtherPlacement) {
    auto valid = [](const Bytes& b, bool direct) {
        return CmnPassThruRangesValid(b.data(), static_cast<ULONG>(b.size()), direct) != FALSE;
    };
    EXPECT_TRUE(valid(Record64(120, 56, 32, 88, 32), false));
    EXPECT_TRUE(valid(Record64(56, 0, 0, 0, 0), false)) << "no data, no sense";
    EXPECT_FALSE(valid(Record64(119, 56, 32, 88, 32), false)) << "sense one byte too long";
    EXPECT_FALSE(valid(Record64(120, 60, 32, 88, 32), false)) << "data over the sense";
    EXPECT_FALSE(valid(Record64(120, 48, 8, 88, 32), false)) << "data over the record";
    EXPECT_FALSE(valid(Record64(120, 0x100000038ull, 8, 88, 32), false)) << "64-bit offset, low half fits";
    EXPECT_FALSE(valid(Record64(120, ~0ull - 3, 8, 0, 0), false)) << "offset plus length wraps in 64 bits";
    EXPECT_TRUE(valid(Record64(120, 0xFFFF000000001000ull, 0x10000, 88, 32), true))
        << "direct: the data field is an address";
    EXPECT_FALSE(valid(Record64(120, 0x1000, 16, 100, 32), true)) << "direct sense past the end";
    Bytes b = Record64(120, 56, 32, 88, 32);
    EXPECT_FALSE(CmnPassThruRangesValid(b.data(), 55, FALSE));
    EXPECT_FALSE(CmnPassThruRangesValid(nullptr, 120, FALSE));
}

}  // namespace
