// Fuzz target: the data a device returns and the drivers read.
//
//   - the device identification page (VPD 0x83) the tape filter walks for the world-wide node name
//     (FltGetWwnnString): descriptors of every association and designator type (NAA, EUI-64, T10,
//     SCSI name), zero-length designators, lengths that run past the page, a descriptor in the
//     page's last bytes, and raw bytes;
//   - the serial number the base driver gives from the unit serial number page (VPD 0x80)
//     (FltSerialIsBlank): blanks, NULs, 32 characters without a NUL;
//   - the sense of a completed pass-through record the buses read (BusPassThruTakeSense): fixed and
//     descriptor format, deferred, short and cut off at the buffer's end, with the valid, filemark,
//     end-of-medium and ILI bits and the information field set at random, the record's sense
//     offset and length near the buffer's edges, any SCSI status;
//   - the SCSI_STATUS record as the base driver fills it, and the failover rules the buses read it
//     with (BusSenseCausesFailover, BusStatusPreventsFailover).
//
// Every buffer is a heap block of exactly the length the routine is given, so AddressSanitizer
// sees any byte read outside it. Each outcome is checked against an independent reading of the
// data, and a refusal changes nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzzbytes.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "busframe.h"
#include "devdata.h"
#include "fuzzkernel.h"

namespace {

using fuzzbytes::Block;
using fuzzbytes::Fill;
using fuzzbytes::Put;

#define CHECK FUZZ_CHECK



// ---- Device identification page ----

constexpr size_t kPage = DEVICE_IDENTIFICATION_PAGE_LENGTH;

// Byte 1 of a descriptor: PIV, association and designator type, mostly the kinds devices send.
std::uint8_t DescriptorKind(FuzzedDataProvider& fdp) {
    static const std::uint8_t kinds[] = {
        0x03,  // logical unit, NAA: the one taken
        0x13,  // target port, NAA
        0x23,  // target device, NAA
        0x83,  // PIV set, logical unit, NAA (PIV is outside the mask)
        0x02,  // logical unit, EUI-64
        0x01,  // logical unit, T10 vendor identification
        0x08,  // logical unit, SCSI name string
        0x94,  // target port, relative port
        0x00,  // vendor specific
    };
    if (fdp.ConsumeIntegralInRange(0, 7) == 0) return fdp.ConsumeIntegral<std::uint8_t>();
    return kinds[fdp.ConsumeIntegralInRange<size_t>(0, sizeof kinds - 1)];
}

std::uint8_t DesignatorLength(FuzzedDataProvider& fdp) {
    switch (fdp.ConsumeIntegralInRange(0, 6)) {
    case 0: return 0;
    case 1: return 8;
    case 2: return 16;
    case 3: return static_cast<std::uint8_t>(fdp.ConsumeIntegralInRange(1, 8));
    case 4: return static_cast<std::uint8_t>(fdp.ConsumeIntegralInRange(250, 255));
    default: return fdp.ConsumeIntegral<std::uint8_t>();
    }
}

// A page as a device could answer: the header, descriptors one after another (the walk reads each
// length), optionally one placed so that its byte 1 falls on a chosen index near the end.
void MakePage(FuzzedDataProvider& fdp, std::uint8_t* page) {
    if (fdp.ConsumeIntegralInRange(0, 5) == 0) {
        Fill(fdp, page, kPage, 0);
        return;
    }
    std::memset(page, fdp.ConsumeBool() ? 0 : fdp.ConsumeIntegral<std::uint8_t>(), kPage);
    page[1] = 0x83;
    size_t at = 4;
    const int count = fdp.ConsumeIntegralInRange(0, 12);
    for (int i = 0; i < count && at + 4 <= kPage; ++i) {
        const std::uint8_t length = DesignatorLength(fdp);
        page[at] = fdp.ConsumeIntegral<std::uint8_t>() & 0x0F;
        page[at + 1] = DescriptorKind(fdp);
        page[at + 3] = length;
        for (size_t j = 0; j < length && at + 4 + j < kPage; ++j) page[at + 4 + j] = fdp.ConsumeIntegral<std::uint8_t>();
        at += 4 + length;
    }
    if (fdp.ConsumeBool() && at < kPage) {
        // Pad with empty descriptors so that one starts with its byte 1 on the index wanted.
        const size_t want = kPage - 1 - fdp.ConsumeIntegralInRange<size_t>(0, 8);
        while (at + 1 + 4 <= want) {
            page[at + 1] = 0x01;
            page[at + 3] = static_cast<std::uint8_t>(std::min<size_t>(255, want - (at + 1) - 4));
            at += 4 + page[at + 3];
        }
        if (at + 1 == want) page[want] = 0x03;
    }
    const size_t total = std::min(at, kPage) - 4;
    page[2] = static_cast<std::uint8_t>(total >> 8);
    page[3] = static_cast<std::uint8_t>(total);
}

// The walk as the filter documents it, bounded by the page at every read.
NTSTATUS ExpectedWwnn(const std::uint8_t* page, std::vector<std::uint8_t>& designator) {
    long index = 5, previous = -1;
    bool found = false;
    while (index < static_cast<long>(kPage) && index > previous) {
        if ((page[index] & 0x3F) == 3) {
            found = true;
            break;
        }
        previous = index;
        if (index + 2 >= static_cast<long>(kPage)) break;
        index += page[index + 2] + 4;
    }
    if (!found || index + 2 >= static_cast<long>(kPage)) return STATUS_DATA_ERROR;
    const long length = page[index + 2];
    if (length == 0 || index + 3 + length > static_cast<long>(kPage)) return STATUS_DATA_ERROR;
    if (length > 8) return STATUS_BUFFER_TOO_SMALL;
    designator.assign(page + index + 3, page + index + 3 + length);
    return STATUS_SUCCESS;
}

void CheckIdentificationPage(FuzzedDataProvider& fdp) {
    Block page(kPage);
    MakePage(fdp, page.data);
    Block wwnn(17);
    if (fdp.ConsumeBool()) {
        std::memset(wwnn.data, '0', 16);   // as the filter starts it
        wwnn.data[16] = 0;
    } else {
        Fill(fdp, wwnn.data, wwnn.size, 0x7E);
    }
    const std::vector<std::uint8_t> pageBefore(page.data, page.data + page.size);
    const std::vector<std::uint8_t> wwnnBefore(wwnn.data, wwnn.data + wwnn.size);

    std::vector<std::uint8_t> designator;
    const NTSTATUS expected = ExpectedWwnn(page.data, designator);
    const NTSTATUS status = FltGetWwnnString(page.data, reinterpret_cast<PCHAR>(wwnn.data));

    CHECK(status == expected);
    CHECK(std::equal(pageBefore.begin(), pageBefore.end(), page.data));
    if (status != STATUS_SUCCESS) {
        CHECK(std::equal(wwnnBefore.begin(), wwnnBefore.end(), wwnn.data));
        return;
    }
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < designator.size(); ++i) {
        CHECK(wwnn.data[2 * i] == hex[designator[i] >> 4]);
        CHECK(wwnn.data[2 * i + 1] == hex[designator[i] & 0x0F]);
    }
    CHECK(wwnn.data[2 * designator.size()] == 0);
    for (size_t i = 2 * designator.size() + 1; i < wwnn.size; ++i) CHECK(wwnn.data[i] == wwnnBefore[i]);
}

// ---- Serial number ----

void CheckSerial(FuzzedDataProvider& fdp) {
    Block serial(SERIAL_NUMBER_LENGTH);
    switch (fdp.ConsumeIntegralInRange(0, 3)) {
    case 0: Fill(fdp, serial.data, serial.size, 0); break;
    case 1: {
        // Blanks, then maybe a character, then maybe the end.
        std::memset(serial.data, ' ', serial.size);
        const size_t end = fdp.ConsumeIntegralInRange<size_t>(0, serial.size);
        if (end < serial.size) serial.data[end] = 0;
        if (fdp.ConsumeBool()) serial.data[fdp.ConsumeIntegralInRange<size_t>(0, serial.size - 1)] = 'A';
        break;
    }
    case 2: {
        // Printable, 32 characters without a NUL, or shorter.
        for (size_t i = 0; i < serial.size; ++i) serial.data[i] = fdp.ConsumeIntegralInRange<std::uint8_t>(0x20, 0x7E);
        if (fdp.ConsumeBool()) serial.data[fdp.ConsumeIntegralInRange<size_t>(0, serial.size - 1)] = 0;
        break;
    }
    default: std::memset(serial.data, 0, serial.size); break;
    }
    const std::vector<std::uint8_t> before(serial.data, serial.data + serial.size);
    bool blank = true;
    for (size_t i = 0; i < serial.size && serial.data[i] != 0; ++i) blank = blank && serial.data[i] == ' ';
    CHECK((FltSerialIsBlank(reinterpret_cast<PCHAR>(serial.data)) != FALSE) == blank);
    CHECK(std::equal(before.begin(), before.end(), serial.data));
}

// ---- Sense of a completed pass-through record ----

// Sense bytes as a drive returns them, n bytes at p.
void MakeSense(FuzzedDataProvider& fdp, std::uint8_t* p, size_t n) {
    std::vector<std::uint8_t> s(std::max<size_t>(n, 18), 0);
    switch (fdp.ConsumeIntegralInRange(0, 4)) {
    case 0:
    case 1: {
        // Fixed format: response code with the valid bit, the filemark, end-of-medium and ILI bits
        // beside the key, the information field, the additional length, ASC, ASCQ, the
        // sense-key specific bytes with their valid bit.
        s[0] = static_cast<std::uint8_t>((fdp.ConsumeBool() ? 0x70 : 0x71) | (fdp.ConsumeBool() ? 0x80 : 0));
        s[2] = static_cast<std::uint8_t>((fdp.ConsumeIntegral<std::uint8_t>() & 0xE0) | fdp.ConsumeIntegralInRange(0, 15));
        for (int i = 3; i < 7; ++i) s[i] = fdp.ConsumeIntegral<std::uint8_t>();
        s[7] = fdp.ConsumeBool() ? 10 : fdp.ConsumeIntegral<std::uint8_t>();
        s[12] = fdp.ConsumeIntegral<std::uint8_t>();
        s[13] = fdp.ConsumeIntegral<std::uint8_t>();
        s[15] = fdp.ConsumeIntegral<std::uint8_t>();
        s[16] = fdp.ConsumeIntegral<std::uint8_t>();
        s[17] = fdp.ConsumeIntegral<std::uint8_t>();
        break;
    }
    case 2: {
        // Descriptor format: key, ASC and ASCQ in bytes 1 to 3, then descriptors (information,
        // stream commands with its filemark, end-of-medium and ILI bits).
        s[0] = fdp.ConsumeBool() ? 0x72 : 0x73;
        s[1] = fdp.ConsumeIntegralInRange<std::uint8_t>(0, 15);
        s[2] = fdp.ConsumeIntegral<std::uint8_t>();
        s[3] = fdp.ConsumeIntegral<std::uint8_t>();
        s[7] = 12;
        s[8] = 0x00;   // information
        s[9] = 0x0A;
        s[10] = 0x80;
        for (size_t i = 12; i < s.size(); ++i) s[i] = fdp.ConsumeIntegral<std::uint8_t>();
        if (s.size() > 22) {
            s[20] = 0x04;   // stream commands
            s[21] = 0x02;
            s[23 < s.size() ? 23 : 21] = static_cast<std::uint8_t>(fdp.ConsumeIntegral<std::uint8_t>() & 0xE0);
        }
        break;
    }
    case 3: std::fill(s.begin(), s.end(), 0); break;   // no sense at all
    default:
        for (auto& b : s) b = fdp.ConsumeIntegral<std::uint8_t>();
        break;
    }
    std::memcpy(p, s.data(), n);
}

void CheckPassThruSense(FuzzedDataProvider& fdp) {
    const ULONG length = fdp.ConsumeIntegralInRange<ULONG>(0, 400);
    Block buffer(length);
    Fill(fdp, buffer.data, buffer.size, 0);
    if (length >= CMN_PT64_LENGTH && fdp.ConsumeIntegralInRange(0, 5) != 0) {
        Put<USHORT>(buffer.data, 0, CMN_PT64_LENGTH);
        buffer.data[2] = fdp.ConsumeIntegralInRange(0, 3) != 0 ? 0x02 : fdp.ConsumeIntegral<std::uint8_t>();
        buffer.data[7] = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<std::uint8_t>(12, 32) : fdp.ConsumeIntegral<std::uint8_t>();
        ULONG offset;
        switch (fdp.ConsumeIntegralInRange(0, 4)) {
        case 0: offset = CMN_PT64_LENGTH; break;
        case 1: offset = length - std::min<ULONG>(length, fdp.ConsumeIntegralInRange<ULONG>(0, 20)); break;
        case 2: offset = length + fdp.ConsumeIntegralInRange<ULONG>(0, 8); break;
        case 3: offset = 0xFFFFFFFFu - fdp.ConsumeIntegralInRange<ULONG>(0, 32); break;
        default: offset = fdp.ConsumeIntegralInRange<ULONG>(0, length); break;
        }
        Put<ULONG>(buffer.data, 32, offset);
        if (offset < length) MakeSense(fdp, buffer.data + offset, length - offset);
    }
    // The record as the base driver left it.
    Block record(sizeof(SCSI_STATUS));
    Fill(fdp, record.data, record.size, 0);
    auto* scsi = reinterpret_cast<PSCSI_STATUS>(record.data);
    const std::vector<std::uint8_t> before(record.data, record.data + record.size);
    const std::vector<std::uint8_t> bufferBefore(buffer.data, buffer.data + buffer.size);
    BOOLEAN extended = 0x5A;

    const BOOLEAN taken = BusPassThruTakeSense(length != 0 ? buffer.data : nullptr, length, scsi, &extended);

    CHECK(std::equal(bufferBefore.begin(), bufferBefore.end(), buffer.data));
    // Taken only with CHECK CONDITION and 14 sense bytes, as the record names them, inside the buffer.
    bool expectTaken = false;
    ULONG offset = 0;
    ULONG senseLength = 0;
    if (length >= CMN_PT64_LENGTH) {
        std::memcpy(&offset, buffer.data + 32, sizeof offset);
        senseLength = buffer.data[7];
        expectTaken = buffer.data[2] == 0x02 && senseLength >= 14 && offset <= length && length - offset >= 14;
    }
    CHECK((taken != FALSE) == expectTaken);
    if (!taken) {
        CHECK(extended == FALSE);
        CHECK(std::equal(before.begin(), before.end(), record.data));
        return;
    }
    const std::uint8_t* sense = buffer.data + offset;
    const std::uint8_t key = sense[2] & 0x0F, asc = sense[12], ascq = sense[13];
    const bool any = key != 0 || asc != 0 || ascq != 0;
    std::vector<std::uint8_t> after = before;
    after[offsetof(SCSI_STATUS, ucSenseKey)] = key;
    after[offsetof(SCSI_STATUS, ucAsc)] = asc;
    after[offsetof(SCSI_STATUS, ucAscq)] = ascq;
    if (any) {
        after[offsetof(SCSI_STATUS, fSenseValid)] = TRUE;
        if ((sense[0] & 0x7F) == 0x71) after[offsetof(SCSI_STATUS, ucFlags)] |= SCSI_STATUS_FLAG_DEFERRED;
    }
    CHECK(std::equal(after.begin(), after.end(), record.data));
    const bool expectExtended = senseLength >= 18 && length - offset >= 18 && (sense[15] & 0x80) != 0;
    CHECK((extended != FALSE) == expectExtended);
}

// ---- The status record and the failover rules ----

void CheckStatusRecord(FuzzedDataProvider& fdp) {
    Block record(sizeof(SCSI_STATUS));
    Fill(fdp, record.data, record.size, 0);
    const auto* scsi = reinterpret_cast<const SCSI_STATUS*>(record.data);
    // The table of sense conditions that count as a path failure.
    const std::uint8_t k = scsi->ucSenseKey, a = scsi->ucAsc, q = scsi->ucAscq;
    const bool failover = (k == 0x02 && a == 0x04 && q == 0x00) || k == 0x04 || (k == 0x05 && a == 0x20 && q == 0x00) ||
                          (k == 0x05 && a == 0x25 && q == 0x00) || k == 0x0B;
    CHECK((BusSenseCausesFailover(k, a, q) != FALSE) == failover);
    // Tape conditions and caller mistakes never fail over by themselves; success is not in the list.
    static const ULONG tapeConditions[] = {0xC0000173, 0x80000005, 0xC0000013, 0xC0000178, 0x8000001C, 0x80000016,
                                           0xC0000004, 0xC0000023, 0xC000000D, 0x8000001B, 0x8000001E, 0xC0000177,
                                           0x80000022, 0xC0000283, 0xC0000284, 0xC00000A2, 0xC0000010, 0xC00000BB};
    const NTSTATUS status = static_cast<NTSTATUS>(
        fdp.ConsumeBool() ? tapeConditions[fdp.ConsumeIntegralInRange<size_t>(0, 17)] : static_cast<ULONG>(scsi->iStatus));
    for (ULONG c : tapeConditions) {
        if (static_cast<ULONG>(status) == c) CHECK(BusStatusPreventsFailover(status));
    }
    CHECK(!BusStatusPreventsFailover(STATUS_SUCCESS));
    CHECK(!BusStatusPreventsFailover(STATUS_IO_DEVICE_ERROR));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, size_t size) {
    FuzzedDataProvider fdp(input, size);
    fuzzk::Reset();
    switch (fdp.ConsumeIntegralInRange(0, 6)) {
    case 0:
    case 1:
    case 2: CheckIdentificationPage(fdp); break;
    case 3: CheckSerial(fdp); break;
    case 4:
    case 5: CheckPassThruSense(fdp); break;
    default: CheckStatusRecord(fdp); break;
    }
    return 0;
}
