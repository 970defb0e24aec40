// Fuzz target: the SCSI pass-through conversions of 32-bit records (passthru.cpp).
//
// Every input becomes one scenario: a caller's buffer holding a 32-bit record (random, or shaped so
// that its offsets and lengths land near the buffer's edges), a forwarded buffer of random or of the
// documented size, and one of the operations. The buffers are heap blocks of exactly their length,
// so AddressSanitizer sees any byte read or written outside them. Beyond that the target checks
// what a caller relies on:
//   - a record whose ranges lie inside the caller's buffer converts whenever the forwarded buffer
//     has the documented growth, and a conversion writes only the record and the two moved ranges;
//   - the moved ranges are aligned, behind the 64-bit record, in order and carry the caller's bytes;
//   - the outcome converted back reaches the caller's own ranges and nothing else of its buffer;
//   - a refusal writes nothing; the range check agrees with an independent one.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzzbytes.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "passthru.h"

namespace {

using fuzzbytes::Block;
using fuzzbytes::Fill;
using fuzzbytes::Get;
using fuzzbytes::Put;

#define CHECK(cond)                                                                                  \
    do {                                                                                             \
        if (!(cond)) {                                                                               \
            __builtin_printf("check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);             \
            std::abort();                                                                            \
        }                                                                                            \
    } while (0)

// A heap block of exactly n bytes (n may be 0), so that the sanitizer guards both of its ends.



struct Range {
    std::uint64_t off = 0;
    std::uint32_t len = 0;
};

// Independent range rules: inside [start, size), apart from each other; empty ranges always pass.
bool Inside(Range r, std::uint64_t start, std::uint64_t size) {
    return r.len == 0 || (r.off >= start && r.off <= size && r.len <= size - r.off);
}
bool Apart(Range a, Range b) { return a.len == 0 || b.len == 0 || a.off + a.len <= b.off || b.off + b.len <= a.off; }
bool InRange(size_t i, Range r) { return r.len != 0 && i >= r.off && i < r.off + r.len; }

std::uint64_t Align8(std::uint64_t v) { return (v + 7) & ~std::uint64_t{7}; }
std::uint64_t Moved(std::uint64_t off, std::uint64_t shift) { return std::max<std::uint64_t>(Align8(off + shift), 56); }

ULONG Documented(ULONG callerLength, bool direct) {
    return (callerLength + (direct ? CMN_PT32_GROWTH_DIRECT : CMN_PT32_GROWTH_BUFFERED) + 7) & ~7u;
}

// Fills a caller's buffer: raw bytes, then, when shaped, a record whose fields point near the edges.
void MakeCaller(FuzzedDataProvider& fdp, Block& b) {
    Fill(fdp, b.data, b.size, 0x5C);
    if (b.size < CMN_PT32_LENGTH || !fdp.ConsumeBool()) return;
    const ULONG n = b.len();
    auto near = [&]() -> ULONG {
        switch (fdp.ConsumeIntegralInRange(0, 3)) {
        case 0: return fdp.ConsumeIntegralInRange<ULONG>(0, n + 16);
        case 1: return n - fdp.ConsumeIntegralInRange<ULONG>(0, std::min<ULONG>(n, 16));
        case 2: return 0xFFFFFFFFu - fdp.ConsumeIntegralInRange<ULONG>(0, 64);
        default: return fdp.ConsumeIntegral<ULONG>();
        }
    };
    Put<USHORT>(b.data, 0, fdp.ConsumeIntegralInRange(0, 7) == 0 ? fdp.ConsumeIntegral<USHORT>() : USHORT{44});
    b.data[7] = static_cast<std::uint8_t>(std::min<ULONG>(near(), 255));  // SenseInfoLength
    Put<ULONG>(b.data, 12, near());                                      // DataTransferLength
    Put<ULONG>(b.data, 20, near());                                      // DataBufferOffset / DataBuffer
    Put<ULONG>(b.data, 24, near());                                      // SenseInfoOffset
}

void CheckConversion(FuzzedDataProvider& fdp, bool direct) {
    Block caller(fdp.ConsumeIntegralInRange<size_t>(0, 600));
    MakeCaller(fdp, caller);
    const bool documented = fdp.ConsumeBool();
    Block fwd(documented ? Documented(caller.len(), direct) : fdp.ConsumeIntegralInRange<size_t>(0, 700));
    const std::uint8_t fill = fdp.ConsumeIntegral<std::uint8_t>();
    std::memset(fwd.data, fill, fwd.size);
    std::uint8_t lockedPages[1];
    void* systemAddress = direct && fdp.ConsumeBool() ? lockedPages : nullptr;
    const std::vector<std::uint8_t> callerBefore(caller.data, caller.data + caller.size);

    NTSTATUS status = CmnPassThru32To64(fwd.data, fwd.len(), caller.data, caller.len(), direct, systemAddress);
    CHECK(std::equal(callerBefore.begin(), callerBefore.end(), caller.data));  // the source is never written

    // What the record asks for, judged independently.
    bool valid = caller.size >= 44 && Get<USHORT>(caller.data, 0) == 44;
    Range data, sense;
    if (valid) {
        sense = {Get<ULONG>(caller.data, 24), caller.data[7]};
        if (!direct) data = {Get<ULONG>(caller.data, 20), Get<ULONG>(caller.data, 12)};
        valid = Inside(sense, 44, caller.size) && Inside(data, 44, caller.size) && Apart(data, sense);
    }
    if (valid && fwd.size >= Documented(caller.len(), direct)) CHECK(status == STATUS_SUCCESS);
    if (!valid || fwd.size < 56) CHECK(status != STATUS_SUCCESS);
    if (status != STATUS_SUCCESS) {
        for (size_t i = 0; i < fwd.size; ++i) CHECK(fwd.data[i] == fill);
        return;
    }

    // The record.
    CHECK(Get<USHORT>(fwd.data, 0) == 56);
    CHECK(std::memcmp(fwd.data + 2, caller.data + 2, 7) == 0);
    CHECK(fwd.data[9] == 0 && fwd.data[10] == 0 && fwd.data[11] == 0);
    CHECK(Get<ULONG>(fwd.data, 12) == Get<ULONG>(caller.data, 12));
    CHECK(Get<ULONG>(fwd.data, 16) == Get<ULONG>(caller.data, 16));
    CHECK(std::memcmp(fwd.data + 36, caller.data + 28, 16) == 0);
    if (direct) {
        std::uint64_t expected = systemAddress != nullptr ? reinterpret_cast<std::uint64_t>(systemAddress)
                                                          : Get<ULONG>(caller.data, 20);
        CHECK(Get<std::uint64_t>(fwd.data, 24) == expected);
    }

    // The moved ranges: where the rules put them, inside the forwarded buffer, with the caller's bytes.
    Range newData = data, newSense = sense;
    if (data.len != 0 && sense.len != 0) {
        Range& low = data.off < sense.off ? data : sense;
        Range& high = data.off < sense.off ? sense : data;
        Range& newLow = data.off < sense.off ? newData : newSense;
        Range& newHigh = data.off < sense.off ? newSense : newData;
        newLow.off = Moved(low.off, 4);
        newHigh.off = Moved(high.off, newLow.off - low.off);
        CHECK(newHigh.off - newLow.off >= high.off - low.off);  // order and gap kept
    } else {
        newData.off = data.len != 0 ? Moved(data.off, 4) : 0;
        newSense.off = sense.len != 0 ? Moved(sense.off, 4) : 0;
    }
    CHECK(Get<ULONG>(fwd.data, 32) == newSense.off);
    if (!direct) CHECK(Get<std::uint64_t>(fwd.data, 24) == newData.off);
    CHECK(Inside(newData, 56, fwd.size) && Inside(newSense, 56, fwd.size) && Apart(newData, newSense));
    // No range moves further than the growth the forwarded buffer is given for it.
    if (data.len) CHECK(newData.off - data.off <= CMN_PT32_GROWTH_BUFFERED);
    if (sense.len) CHECK(newSense.off - sense.off <= (direct ? CMN_PT32_GROWTH_DIRECT : CMN_PT32_GROWTH_BUFFERED));
    if (newData.len) CHECK(std::memcmp(fwd.data + newData.off, caller.data + data.off, data.len) == 0);
    if (newSense.len) CHECK(std::memcmp(fwd.data + newSense.off, caller.data + sense.off, sense.len) == 0);
    for (size_t i = 56; i < fwd.size; ++i) {
        if (!InRange(i, newData) && !InRange(i, newSense)) CHECK(fwd.data[i] == fill);
    }
    CHECK(CmnPassThruRangesValid(fwd.data, fwd.len(), direct));

    // A lower driver answers (possibly claiming more than asked), and the outcome goes back.
    const UCHAR scsiStatus = fdp.ConsumeIntegral<UCHAR>();
    const ULONG transferred = fdp.ConsumeIntegralInRange<ULONG>(0, data.len == 0 ? 64 : data.len + 16);
    const UCHAR senseReturned = fdp.ConsumeIntegral<UCHAR>();
    fwd.data[2] = scsiStatus;
    fwd.data[7] = senseReturned;
    Put<ULONG>(fwd.data, 12, transferred);
    const ULONG dataCut = direct ? std::min<ULONG>(transferred, Get<ULONG>(caller.data, 12))
                                 : std::min<ULONG>(transferred, data.len);
    const ULONG senseCut = std::min<ULONG>(senseReturned, sense.len);
    for (ULONG i = 0; i < senseCut; ++i) fwd.data[newSense.off + i] = static_cast<std::uint8_t>(0x80 ^ i);
    if (!direct) {
        for (ULONG i = 0; i < dataCut; ++i) fwd.data[newData.off + i] = static_cast<std::uint8_t>(i * 7);
    }

    status = CmnPassThru64To32(caller.data, caller.len(), fwd.data, fwd.len(), direct);
    CHECK(status == STATUS_SUCCESS);
    CHECK(caller.data[2] == scsiStatus);
    CHECK(caller.data[7] == senseCut);
    CHECK(Get<ULONG>(caller.data, 12) == dataCut);
    Range backData{data.off, direct ? 0 : dataCut};
    Range backSense{sense.off, senseCut};
    if (backSense.len) CHECK(std::memcmp(caller.data + sense.off, fwd.data + newSense.off, senseCut) == 0);
    if (backData.len) CHECK(std::memcmp(caller.data + data.off, fwd.data + newData.off, dataCut) == 0);
    for (size_t i = 0; i < caller.size; ++i) {
        bool field = i == 2 || i == 7 || (i >= 12 && i < 16);
        if (!field && !InRange(i, backData) && !InRange(i, backSense)) CHECK(caller.data[i] == callerBefore[i]);
    }
}

// The conversion back on its own, with any forwarded record: it never writes outside the caller's
// record fields and the caller's ranges, and a refusal writes nothing.
void CheckBack(FuzzedDataProvider& fdp, bool direct) {
    Block caller(fdp.ConsumeIntegralInRange<size_t>(0, 400));
    MakeCaller(fdp, caller);
    Block fwd(fdp.ConsumeIntegralInRange<size_t>(0, 400));
    Fill(fdp, fwd.data, fwd.size, 0);
    if (fwd.size >= 56 && fdp.ConsumeBool()) Put<USHORT>(fwd.data, 0, 56);
    const std::vector<std::uint8_t> before(caller.data, caller.data + caller.size);
    const std::vector<std::uint8_t> fwdBefore(fwd.data, fwd.data + fwd.size);

    NTSTATUS status = CmnPassThru64To32(caller.data, caller.len(), fwd.data, fwd.len(), direct);
    CHECK(std::equal(fwdBefore.begin(), fwdBefore.end(), fwd.data));
    if (status != STATUS_SUCCESS) {
        CHECK(std::equal(before.begin(), before.end(), caller.data));
        return;
    }
    CHECK(caller.size >= 44 && fwd.size >= 56 && Get<USHORT>(caller.data, 0) == 44);
    Range sense{Get<ULONG>(caller.data, 24), caller.data[7]};
    Range data{Get<ULONG>(caller.data, 20), direct ? 0 : Get<ULONG>(caller.data, 12)};
    CHECK(sense.len <= before[7] && Get<ULONG>(caller.data, 12) <= Get<ULONG>(before.data(), 12));
    CHECK(Inside(sense, 44, caller.size) && Inside(data, 44, caller.size) && Apart(data, sense));
    for (size_t i = 0; i < caller.size; ++i) {
        bool field = i == 2 || i == 7 || (i >= 12 && i < 16);
        if (!field && !InRange(i, data) && !InRange(i, sense)) CHECK(caller.data[i] == before[i]);
    }
}

// Both conversions with the two buffers overlapping inside one block: refused, or done without
// overlapping copies (the sanitizer checks every memcpy for that).
void CheckOverlap(FuzzedDataProvider& fdp, bool direct) {
    Block one(fdp.ConsumeIntegralInRange<size_t>(0, 600));
    Fill(fdp, one.data, one.size, 0);
    size_t a = fdp.ConsumeIntegralInRange<size_t>(0, one.size);
    size_t b = fdp.ConsumeIntegralInRange<size_t>(0, one.size);
    ULONG lenA = static_cast<ULONG>(fdp.ConsumeIntegralInRange<size_t>(0, one.size - a));
    ULONG lenB = static_cast<ULONG>(fdp.ConsumeIntegralInRange<size_t>(0, one.size - b));
    if (lenA >= 44) Put<USHORT>(one.data + a, 0, 44);
    if (fdp.ConsumeBool()) {
        (void)CmnPassThru32To64(one.data + b, lenB, one.data + a, lenA, direct, nullptr);
    } else {
        if (lenB >= 56) Put<USHORT>(one.data + b, 0, 56);
        (void)CmnPassThru64To32(one.data + a, lenA, one.data + b, lenB, direct);
    }
}

void CheckRangesValid(FuzzedDataProvider& fdp, bool direct) {
    Block rec(fdp.ConsumeIntegralInRange<size_t>(0, 400));
    Fill(fdp, rec.data, rec.size, 0);
    bool expected = false;
    if (rec.size >= 56) {
        Range sense{Get<ULONG>(rec.data, 32), rec.data[7]};
        Range data;
        if (!direct) data = {Get<std::uint64_t>(rec.data, 24), Get<ULONG>(rec.data, 12)};
        expected = Inside(sense, 56, rec.size) && Inside(data, 56, rec.size) && Apart(data, sense);
    }
    CHECK((CmnPassThruRangesValid(rec.size != 0 ? rec.data : nullptr, rec.len(), direct) != FALSE) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, size_t size) {
    FuzzedDataProvider fdp(input, size);
    const bool direct = fdp.ConsumeBool();
    switch (fdp.ConsumeIntegralInRange(0, 5)) {
    case 0:
    case 1:
    case 2: CheckConversion(fdp, direct); break;
    case 3: CheckBack(fdp, direct); break;
    case 4: CheckOverlap(fdp, direct); break;
    default: CheckRangesValid(fdp, direct); break;
    }
    return 0;
}
