// The private requests of the base-driver contract (identification, the status
// table, DPF flags, reservation key) and the private tape codes that the tape bus
// sends through a path (logical block protection, AMU, request sense, locate,
// verify, load).
#include <algorithm>
#include <cstring>

#include "identification.h"
#include "tape.h"

namespace vorka::tape {
namespace {

using san::DataDirection;

constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kVerify6 = 0x13;
constexpr std::uint8_t kLoadUnload = 0x1B;
constexpr std::uint8_t kModeSelect10 = 0x55;
constexpr std::uint8_t kLocate16 = 0x92;
constexpr std::uint8_t kVendorQueryAmu = 0xC0;
constexpr std::uint8_t kVendorSetAmu = 0xC1;
constexpr std::uint8_t kVendorQueryDpfFlags = 0xC2;

// Private tape codes: FILE_DEVICE_TAPE, read and write access, buffered.
constexpr ULONG kSetLbp = 0x1FE0C8;
constexpr ULONG kSetLbpApplication = 0x1FE0C4;
constexpr ULONG kQueryAmu = 0x1FE0E0;
constexpr ULONG kSetAmu = 0x1FE0E4;
constexpr ULONG kRequestSenseCode = 0x1FC038;
constexpr ULONG kLocate = 0x1FE0C0;
constexpr ULONG kLocateBlock = 0x1FE09C;
constexpr ULONG kVerify = 0x1F60A8;
constexpr ULONG kLoad = 0x1FE100;

constexpr ULONG kRequestSenseLength = 96;
constexpr ULONG kSenseOffset = 4;

bool Input(const Buffered& b, ULONG size, Outcome& out) {
    if (b.buffer != nullptr && b.inputLength >= size) return true;
    out.status = STATUS_INFO_LENGTH_MISMATCH;
    return false;
}

using scsiclass::Output;

// Requests that carry kernel addresses (the status table, a status record) are
// taken from kernel-mode callers only: an application that opens a path device
// must not make the base driver write through an address of its choosing.
bool KernelCallerOnly(PIRP irp, Outcome& out) {
    if (irp->RequestorMode != UserMode) return true;
    out.status = STATUS_ACCESS_DENIED;
    Trace("private request from user mode refused\n");
    return false;
}

void GetDpfFlags(TapePath& path, const Buffered& b, Outcome& out) {
    if (!Output(b, DPF_FLAGS_LENGTH, out)) return;
    std::uint8_t data[4] = {};
    const std::uint8_t cdb[6] = {kVendorQueryDpfFlags, 0, 0, 0, sizeof data, 0};
    ScsiResult r = path.Send(cdb, 6, DataDirection::In, data, sizeof data, &out);
    out.status = StatusFromResult(r);
    if (!NT_SUCCESS(out.status)) return;
    if (r.transferred != 4) {
        out.status = STATUS_IO_DEVICE_ERROR;
        return;
    }
    const ULONG flags = Be32(data);
    path.SetDpfFlags(flags);
    std::memcpy(b.buffer, &flags, sizeof flags);
    out.information = sizeof flags;
}

void SetExtInBase(TapePath& path, PIRP irp, const Buffered& b, Outcome& out) {
    if (!KernelCallerOnly(irp, out) || !Input(b, sizeof(PVOID), out)) return;
    PIRPS_WITH_STATUS table = nullptr;
    std::memcpy(&table, b.buffer, sizeof table);
    out.status = path.TakeStatusTable(table, Driver::Of(path.Self()->DriverObject).SetExtInBaseDelayMs());
}

void Preempt(TapePath& path, PIRP irp, const Buffered& b, Outcome& out) {
    if (!KernelCallerOnly(irp, out) || !Input(b, sizeof(SCSI_STATUS), out)) return;
    std::uint8_t key[8];
    std::memcpy(key, b.buffer, sizeof key);  // scPreempt, as the bus keeps it
    static const std::uint8_t kNone[8] = {};
    if (std::memcmp(key, kNone, sizeof key) == 0) {
        out.status = STATUS_SUCCESS;
        return;
    }
    out.status = PreemptReservation(path, key, out);
}

void SetReservationKey(TapePath& path, const Buffered& b, Outcome& out) {
    if (!Input(b, RESERVATION_KEY_LENGTH, out)) return;
    path.SetReservationKey(b.buffer);
    out.status = STATUS_SUCCESS;
}

// 0x1FE0C8 / 0x1FE0C4: bytes 0 to 5 are Capable, Method, Length, Write, Read, RDBP.
// Written to the control data protection mode page (0x0A/0xF0) of this initiator.
void SetLbp(TapePath& path, const Buffered& b, Outcome& out) {
    if (!Input(b, 6, out)) return;
    const std::uint8_t* in = b.buffer;
    std::uint8_t list[8 + 32] = {};  // MODE SELECT(10) header without block descriptor, then the page
    std::uint8_t* page = list + 8;
    page[0] = 0x40 | 0x0A;
    page[1] = 0xF0;
    PutBe16(page + 2, 0x1C);
    page[4] = in[1];
    page[5] = in[2] & 0x3F;
    page[6] = static_cast<std::uint8_t>((in[3] ? 0x80 : 0) | (in[4] ? 0x40 : 0) | (in[5] ? 0x20 : 0));
    std::uint8_t cdb[10] = {kModeSelect10, 0x10};
    PutBe16(cdb + 7, sizeof list);
    ScsiResult r = path.Send(cdb, 10, DataDirection::Out, list, sizeof list, &out);
    out.status = StatusFromResult(r);
    if (r.reservationConflict()) LearnReservationHolder(path, out);
}

void QueryAmu(TapePath& path, const Buffered& b, Outcome& out) {
    if (!Output(b, 1, out)) return;
    std::uint8_t value = 0;
    const std::uint8_t cdb[6] = {kVendorQueryAmu, 0, 0, 0, 1, 0};
    ScsiResult r = path.Send(cdb, 6, DataDirection::In, &value, 1, &out);
    out.status = StatusFromResult(r);
    if (!NT_SUCCESS(out.status)) return;
    const ULONG length = std::min<ULONG>(b.outputLength, 8);
    std::memset(b.buffer, 0, length);
    b.buffer[0] = value;
    out.information = length;
}

void SetAmu(TapePath& path, const Buffered& b, Outcome& out) {
    if (!Input(b, 1, out)) return;
    const std::uint8_t cdb[6] = {kVendorSetAmu, 0, b.buffer[0], 0, 0, 0};
    ScsiResult r = path.Send(cdb, 6, DataDirection::None, nullptr, 0, &out);
    out.status = StatusFromResult(r);
}

// 0x1FC038: 96 bytes out; bytes 0 to 3 hold the number of sense bytes returned,
// the fixed-format sense data starts at byte 4.
void RequestSense(TapePath& path, const Buffered& b, Outcome& out) {
    if (!Output(b, kRequestSenseLength, out)) return;
    std::uint8_t sense[kRequestSenseLength - kSenseOffset] = {};
    const std::uint8_t cdb[6] = {kRequestSense, 0, 0, 0, sizeof sense, 0};
    ScsiResult r = path.Send(cdb, 6, DataDirection::In, sense, sizeof sense, &out);
    out.status = StatusFromResult(r);
    if (!NT_SUCCESS(out.status)) return;
    std::memset(b.buffer, 0, kRequestSenseLength);
    const ULONG returned = std::min<ULONG>(r.transferred, sizeof sense);
    std::memcpy(b.buffer, &returned, sizeof returned);
    std::memcpy(b.buffer + kSenseOffset, sense, returned);
    out.information = kRequestSenseLength;
}

// 0x1FE0C0 / 0x1FE09C: byte 0 the destination type (0 block, 1 file), bytes 8 to 15
// the destination (little-endian).
void Locate(TapePath& path, const Buffered& b, Outcome& out) {
    if (!Input(b, 16, out)) return;
    const std::uint8_t type = b.buffer[0];
    if (type > 1) {
        out.status = STATUS_INVALID_PARAMETER;
        return;
    }
    std::uint64_t destination = 0;
    std::memcpy(&destination, b.buffer + 8, sizeof destination);
    std::uint8_t cdb[16] = {kLocate16, static_cast<std::uint8_t>(type << 3)};
    PutBe64(cdb + 4, destination);
    ScsiResult r = path.Send(cdb, 16, DataDirection::None, nullptr, 0, &out);
    out.status = StatusFromResult(r);
    if (r.reservationConflict()) LearnReservationHolder(path, out);
}

// 0x1F60A8: byte 0 carries VERIFY(6) CDB byte 1 (0x20 VTE, 0x10 VLBPM, 0x04 IMMED,
// 0x01 FIXED); bytes 4 to 7, when present, the verification length (little-endian).
void Verify(TapePath& path, const Buffered& b, Outcome& out) {
    if (!Input(b, 1, out)) return;
    std::uint32_t count = 0;
    if (b.inputLength >= 8) std::memcpy(&count, b.buffer + 4, sizeof count);
    if (count > 0xFFFFFF) {
        out.status = STATUS_INVALID_PARAMETER;
        return;
    }
    std::uint8_t cdb[6] = {kVerify6, static_cast<std::uint8_t>(b.buffer[0] & 0x35)};
    PutBe24(cdb + 2, count);
    ScsiResult r = path.Send(cdb, 6, DataDirection::None, nullptr, 0, &out);
    out.status = StatusFromResult(r);
    if (r.reservationConflict()) LearnReservationHolder(path, out);
}

void Load(TapePath& path, Outcome& out) {
    const std::uint8_t cdb[6] = {kLoadUnload, 0, 0, 0, 0x01, 0};
    ScsiResult r = path.Send(cdb, 6, DataDirection::None, nullptr, 0, &out);
    out.status = StatusFromResult(r);
    if (r.reservationConflict()) LearnReservationHolder(path, out);
}

}  // namespace

bool HandlePrivateRequest(TapePath& path, PIRP irp, ULONG code, Outcome& out) {
    const Buffered b = BufferedOf(irp);
    switch (code) {
        case IOC_GET_SERIAL_NUMBER: scsiclass::AnswerSerialNumber(path, b, out, StatusFromResult); return true;
        case IOC_GET_SCSI_ADDRESS: scsiclass::AnswerScsiAddress(path.Lower(), b, out); return true;
        case IOC_SET_EXT_IN_BASE: SetExtInBase(path, irp, b, out); return true;
        case IOC_GET_DEVICE_ID_PAGE: scsiclass::AnswerInquiryData(path, b, true, out, StatusFromResult); return true;
        case IOC_PREEMPT_RESERVATION: Preempt(path, irp, b, out); return true;
        case IOC_GET_DPF_FLAGS: GetDpfFlags(path, b, out); return true;
        case IOC_GET_STANDARD_INQUIRY: scsiclass::AnswerInquiryData(path, b, false, out, StatusFromResult); return true;
        case IOC_SET_RESERVATION_KEY: SetReservationKey(path, b, out); return true;
        case kSetLbp:
        case kSetLbpApplication: SetLbp(path, b, out); return true;
        case kQueryAmu: QueryAmu(path, b, out); return true;
        case kSetAmu: SetAmu(path, b, out); return true;
        case kRequestSenseCode: RequestSense(path, b, out); return true;
        case kLocate:
        case kLocateBlock: Locate(path, b, out); return true;
        case kVerify: Verify(path, b, out); return true;
        case kLoad: Load(path, out); return true;
        default: return false;
    }
}

}  // namespace vorka::tape
