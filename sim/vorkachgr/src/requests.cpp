// The changer requests (IOCTL_CHANGER_*), SCSI pass-through and the routing of
// device-control requests, with the NT status of a command's outcome.
#include <algorithm>
#include <cstring>
#include <vector>

#include "changer.h"

namespace vorka::changer {
namespace {

using san::DataDirection;

constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kInitializeElementStatus = 0x07;
constexpr std::uint8_t kPreventAllow = 0x1E;
constexpr std::uint8_t kPositionToElement = 0x2B;
constexpr std::uint8_t kMoveMedium = 0xA5;
constexpr std::uint8_t kReadElementStatus = 0xB8;

constexpr std::size_t kDescriptorHeader = 12;
constexpr std::size_t kVolumeTag = 36;

template <typename T>
bool Input(const Buffered& b, T* record, Outcome& out) {
    if (b.buffer == nullptr || b.inputLength < sizeof(T)) {
        out.status = STATUS_INFO_LENGTH_MISMATCH;
        return false;
    }
    std::memcpy(record, b.buffer, sizeof(T));
    return true;
}

bool Output(const Buffered& b, ULONG size, Outcome& out) {
    if (b.buffer != nullptr && b.outputLength >= size) return true;
    out.status = STATUS_BUFFER_TOO_SMALL;
    return false;
}

// A command whose outcome is the request's outcome.
void Simple(ChangerPath& path, const std::uint8_t* cdb, std::uint8_t length, Outcome& out) {
    ScsiResult r = path.SendRetryingAttention(cdb, length, DataDirection::None, nullptr, 0, &out);
    out.status = StatusFromResult(r);
}

// The library's address of a zero-based element of the request, checked against
// the element counts.
NTSTATUS ElementAddress(const Addressing& a, const CHANGER_ELEMENT& element, std::uint16_t* address) {
    const ELEMENT_TYPE type = element.ElementType;
    if (type != ChangerTransport && type != ChangerSlot && type != ChangerIEPort && type != ChangerDrive) {
        return STATUS_INVALID_PARAMETER;
    }
    if (element.ElementAddress >= a.count[type]) return STATUS_ILLEGAL_ELEMENT_ADDRESS;
    *address = static_cast<std::uint16_t>(a.first[type] + element.ElementAddress);
    return STATUS_SUCCESS;
}

// The zero-based element of a library address.
bool ElementOf(const Addressing& a, std::uint16_t address, CHANGER_ELEMENT* element) {
    for (int t = ChangerTransport; t <= ChangerDrive; ++t) {
        if (address >= a.first[t] && address < a.first[t] + a.count[t]) {
            element->ElementType = static_cast<ELEMENT_TYPE>(t);
            element->ElementAddress = address - a.first[t];
            return true;
        }
    }
    return false;
}

// Standard INQUIRY data and the unit serial number page.
NTSTATUS Identify(ChangerPath& path, std::uint8_t (&inquiry)[96], char (&serial)[33], Outcome& out) {
    const std::uint8_t standard[6] = {kInquiry, 0, 0, 0, sizeof inquiry, 0};
    ScsiResult r = path.Send(standard, 6, DataDirection::In, inquiry, sizeof inquiry, &out);
    NTSTATUS status = StatusFromResult(r);
    if (!NT_SUCCESS(status)) return status;
    if (r.transferred < 36) return STATUS_IO_DEVICE_ERROR;
    std::uint8_t page[4 + 255] = {};
    const std::uint8_t vpd[6] = {kInquiry, 1, 0x80, 0, 0xFF, 0};
    r = path.Send(vpd, 6, DataDirection::In, page, sizeof page, &out);
    status = StatusFromResult(r);
    if (!NT_SUCCESS(status)) return status;
    if (r.transferred < 4 || page[1] != 0x80) return STATUS_IO_DEVICE_ERROR;
    const std::uint32_t length = std::min<std::uint32_t>({page[3], r.transferred - 4, 32});
    std::memset(serial, 0, sizeof serial);
    std::memcpy(serial, page + 4, length);
    return STATUS_SUCCESS;
}

void GetParameters(ChangerPath& path, const Buffered& b, Outcome& out) {
    if (!Output(b, sizeof(GET_CHANGER_PARAMETERS), out)) return;
    Addressing a;
    out.status = path.GetAddressing(&a, out);
    if (!NT_SUCCESS(out.status)) return;
    GET_CHANGER_PARAMETERS p{};
    p.Size = sizeof p;
    p.NumberTransportElements = a.count[ChangerTransport];
    p.NumberStorageElements = a.count[ChangerSlot];
    p.NumberIEElements = a.count[ChangerIEPort];
    p.NumberDataTransferElements = a.count[ChangerDrive];
    p.Features0 = CHANGER_BAR_CODE_SCANNER_INSTALLED | CHANGER_LOCK_UNLOCK | CHANGER_POSITION_TO_ELEMENT |
                  CHANGER_REPORT_IEPORT_STATE | CHANGER_STORAGE_DRIVE | CHANGER_STORAGE_IEPORT | CHANGER_STORAGE_SLOT |
                  CHANGER_STORAGE_TRANSPORT | CHANGER_PREDISMOUNT_EJECT_REQUIRED | CHANGER_SERIAL_NUMBER_VALID;
    const UCHAR anywhere = CHANGER_TO_SLOT | CHANGER_TO_IEPORT | CHANGER_TO_DRIVE;
    p.MoveFromTransport = anywhere;
    p.MoveFromSlot = anywhere;
    p.MoveFromIePort = anywhere;
    p.MoveFromDrive = anywhere;
    p.LockUnlockCapabilities = LOCK_UNLOCK_IEPORT;
    p.PositionCapabilities = anywhere;
    std::memcpy(b.buffer, &p, sizeof p);
    out.information = sizeof p;
}

void GetProductData(ChangerPath& path, const Buffered& b, Outcome& out) {
    if (!Output(b, sizeof(CHANGER_PRODUCT_DATA), out)) return;
    std::uint8_t inquiry[96] = {};
    char serial[33];
    out.status = Identify(path, inquiry, serial, out);
    if (!NT_SUCCESS(out.status)) return;
    CHANGER_PRODUCT_DATA data{};
    std::memcpy(data.VendorId, inquiry + 8, sizeof data.VendorId);
    std::memcpy(data.ProductId, inquiry + 16, sizeof data.ProductId);
    std::memcpy(data.Revision, inquiry + 32, sizeof data.Revision);
    std::memcpy(data.SerialNumber, serial, sizeof data.SerialNumber);
    data.DeviceType = inquiry[0] & 0x1F;
    std::memcpy(b.buffer, &data, sizeof data);
    out.information = sizeof data;
}

// READ ELEMENT STATUS of one type from one address on, translated into Windows
// element status records.
NTSTATUS ReadElements(ChangerPath& path, const Addressing& a, ELEMENT_TYPE type, std::uint16_t start, ULONG count,
                      bool volumeTags, std::vector<CHANGER_ELEMENT_STATUS>* records, Outcome& out) {
    const std::uint32_t length = static_cast<std::uint32_t>(8 + 8 + count * (kDescriptorHeader + kVolumeTag));
    std::vector<std::uint8_t> data(length);
    std::uint8_t cdb[12] = {kReadElementStatus, static_cast<std::uint8_t>((volumeTags ? 0x10 : 0) | type)};
    PutBe16(cdb + 2, start);
    PutBe16(cdb + 4, count);
    PutBe24(cdb + 7, length);
    ScsiResult r = path.SendRetryingAttention(cdb, 12, DataDirection::In, data.data(), length, &out);
    NTSTATUS status = StatusFromResult(r);
    if (!NT_SUCCESS(status)) return status;
    const std::size_t end = std::min<std::size_t>(r.transferred, data.size());
    const std::size_t limit = records->size() + count;
    std::size_t at = 8;
    while (at + 8 <= end && records->size() < limit) {
        const bool pvolTag = (data[at + 1] & 0x80) != 0;
        const std::size_t descriptor = Be16(&data[at + 2]);
        const std::size_t pageEnd = std::min<std::size_t>(end, at + 8 + Be24(&data[at + 5]));
        if (descriptor < kDescriptorHeader) return STATUS_IO_DEVICE_ERROR;
        for (std::size_t d = at + 8; d + descriptor <= pageEnd && records->size() < limit; d += descriptor) {
            CHANGER_ELEMENT_STATUS s{};
            if (!ElementOf(a, static_cast<std::uint16_t>(Be16(&data[d])), &s.Element)) return STATUS_IO_DEVICE_ERROR;
            const std::uint8_t flags = data[d + 2];
            s.Flags = flags & (ELEMENT_STATUS_FULL | ELEMENT_STATUS_IMPEXP | ELEMENT_STATUS_EXCEPT |
                               ELEMENT_STATUS_ACCESS | ELEMENT_STATUS_EXENAB | ELEMENT_STATUS_INENAB);
            if (s.Element.ElementType == ChangerDrive && (data[d + 6] & 0x80) != 0) s.Flags |= ELEMENT_STATUS_NOT_BUS;
            if ((data[d + 9] & 0x80) != 0 &&
                ElementOf(a, static_cast<std::uint16_t>(Be16(&data[d + 10])), &s.SrcElementAddress)) {
                s.Flags |= ELEMENT_STATUS_SVALID;
            }
            if ((flags & 0x04) != 0) s.ExceptionCode = (std::uint32_t{data[d + 4]} << 8) | data[d + 5];
            if (pvolTag && descriptor >= kDescriptorHeader + kVolumeTag && (flags & 0x01) != 0) {
                std::memcpy(s.PrimaryVolumeID, &data[d + kDescriptorHeader], kVolumeTag);
                s.Flags |= ELEMENT_STATUS_PVOLTAG;
            }
            records->push_back(s);
        }
        at = pageEnd;
    }
    return STATUS_SUCCESS;
}

void GetElementStatus(ChangerPath& path, const Buffered& b, Outcome& out) {
    CHANGER_READ_ELEMENT_STATUS request;
    if (!Input(b, &request, out)) return;
    Addressing a;
    out.status = path.GetAddressing(&a, out);
    if (!NT_SUCCESS(out.status)) return;
    const CHANGER_ELEMENT& first = request.ElementList.Element;
    const ULONG wanted = request.ElementList.NumberOfElements;
    std::vector<ELEMENT_TYPE> types;
    std::uint16_t start = 0;
    if (first.ElementType == AllElements) {
        types = {ChangerTransport, ChangerIEPort, ChangerDrive, ChangerSlot};
    } else {
        out.status = ElementAddress(a, first, &start);
        if (!NT_SUCCESS(out.status)) return;
        if (wanted > a.count[first.ElementType] - first.ElementAddress) {
            out.status = STATUS_INVALID_PARAMETER;
            return;
        }
        types = {first.ElementType};
    }
    if (wanted == 0) {
        out.status = STATUS_INVALID_PARAMETER;
        return;
    }
    if (!Output(b, static_cast<ULONG>(std::min<std::uint64_t>(wanted * std::uint64_t{sizeof(CHANGER_ELEMENT_STATUS)}, 0xFFFFFFFFu)),
                out)) {
        return;
    }
    std::vector<CHANGER_ELEMENT_STATUS> records;
    for (ELEMENT_TYPE type : types) {
        if (records.size() >= wanted) break;
        if (a.count[type] == 0) continue;
        const std::uint16_t from = first.ElementType == AllElements ? a.first[type] : start;
        const ULONG count = std::min<ULONG>(wanted - static_cast<ULONG>(records.size()),
                                            first.ElementType == AllElements ? a.count[type] : wanted);
        out.status = ReadElements(path, a, type, from, count, request.VolumeTagInfo != FALSE, &records, out);
        if (!NT_SUCCESS(out.status)) return;
    }
    const ULONG bytes = static_cast<ULONG>(records.size() * sizeof(CHANGER_ELEMENT_STATUS));
    if (bytes != 0) std::memcpy(b.buffer, records.data(), bytes);
    out.information = bytes;
    out.status = STATUS_SUCCESS;
}

void InitializeElementStatus(ChangerPath& path, const Buffered& b, Outcome& out) {
    CHANGER_INITIALIZE_ELEMENT_STATUS request;
    if (!Input(b, &request, out)) return;
    // Only the whole library: the ranged form is not offered (GET_PARAMETERS says so).
    if (request.ElementList.Element.ElementType != AllElements) {
        out.status = STATUS_INVALID_DEVICE_REQUEST;
        return;
    }
    const std::uint8_t cdb[6] = {kInitializeElementStatus, 0, 0, 0, 0, 0};
    Simple(path, cdb, 6, out);
}

void SetAccess(ChangerPath& path, const Buffered& b, Outcome& out) {
    CHANGER_SET_ACCESS request;
    if (!Input(b, &request, out)) return;
    if (request.Element.ElementType != ChangerIEPort) {
        out.status = STATUS_INVALID_PARAMETER;
        return;
    }
    if (request.Control != LOCK_ELEMENT && request.Control != UNLOCK_ELEMENT) {
        out.status = STATUS_INVALID_DEVICE_REQUEST;  // no motorised import/export port
        return;
    }
    const std::uint8_t cdb[6] = {kPreventAllow, 0, 0, 0, static_cast<std::uint8_t>(request.Control == LOCK_ELEMENT), 0};
    Simple(path, cdb, 6, out);
}

// Checks a request that moves the transport (no flipping; its first element is
// the transport) and finds the library's addresses of its elements, in order.
template <std::size_t N>
bool TransportAddresses(ChangerPath& path, BOOLEAN flip, const CHANGER_ELEMENT* const (&elements)[N],
                        std::uint16_t (&addresses)[N], Outcome& out) {
    if (flip || elements[0]->ElementType != ChangerTransport) {
        out.status = STATUS_INVALID_PARAMETER;
        return false;
    }
    Addressing a;
    out.status = path.GetAddressing(&a, out);
    for (std::size_t i = 0; i < N && NT_SUCCESS(out.status); ++i)
        out.status = ElementAddress(a, *elements[i], &addresses[i]);
    return NT_SUCCESS(out.status);
}

void SetPosition(ChangerPath& path, const Buffered& b, Outcome& out) {
    CHANGER_SET_POSITION request;
    if (!Input(b, &request, out)) return;
    const CHANGER_ELEMENT* const elements[] = {&request.Transport, &request.Destination};
    std::uint16_t address[2] = {};  // transport, destination
    if (!TransportAddresses(path, request.Flip, elements, address, out)) return;
    std::uint8_t cdb[10] = {kPositionToElement};
    PutBe16(cdb + 2, address[0]);
    PutBe16(cdb + 4, address[1]);
    Simple(path, cdb, 10, out);
}

void MoveMedium(ChangerPath& path, const Buffered& b, Outcome& out) {
    CHANGER_MOVE_MEDIUM request;
    if (!Input(b, &request, out)) return;
    const CHANGER_ELEMENT* const elements[] = {&request.Transport, &request.Source, &request.Destination};
    std::uint16_t address[3] = {};  // transport, source, destination
    if (!TransportAddresses(path, request.Flip, elements, address, out)) return;
    std::uint8_t cdb[12] = {kMoveMedium};
    PutBe16(cdb + 2, address[0]);
    PutBe16(cdb + 4, address[1]);
    PutBe16(cdb + 6, address[2]);
    Simple(path, cdb, 12, out);
}

void ReinitializeTransport(ChangerPath& path, const Buffered& b, Outcome& out) {
    CHANGER_ELEMENT transport;
    if (!Input(b, &transport, out)) return;
    Addressing a;
    out.status = path.GetAddressing(&a, out);
    std::uint16_t address = 0;
    if (NT_SUCCESS(out.status) && transport.ElementType != ChangerTransport) out.status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(out.status)) out.status = ElementAddress(a, transport, &address);
    if (!NT_SUCCESS(out.status)) return;
    // The picker is brought back to a known state by an inventory of the library.
    const std::uint8_t cdb[6] = {kInitializeElementStatus, 0, 0, 0, 0, 0};
    Simple(path, cdb, 6, out);
}

void PassThrough(ChangerPath& path, PIRP irp, bool direct, Outcome& out) {
    scsiclass::PassThroughOutcome pt = scsiclass::RunPassThrough(
        irp, direct, [&](const std::uint8_t* cdb, std::uint8_t cdbLength, DataDirection direction, void* data,
                         std::uint32_t length) { return path.Send(cdb, cdbLength, direction, data, length, &out); });
    out.status = pt.status;
    out.information = pt.information;
}

}  // namespace

// A changer class driver's reading of a command's outcome.
NTSTATUS StatusFromResult(const ScsiResult& r) {
    NTSTATUS status;
    if (scsiclass::StatusWithoutSense(r, &status)) return status;
    const scsiclass::Sense& s = r.sense;
    switch (s.key) {
        case 0x0:
        case 0x1:
            return STATUS_SUCCESS;
        case 0x2:  // NOT READY
            return s.asc == 0x3A ? STATUS_NO_MEDIA_IN_DEVICE : STATUS_DEVICE_NOT_READY;
        case 0x5:  // ILLEGAL REQUEST
            if (s.asc == 0x3B && s.ascq == 0x0E) return STATUS_SOURCE_ELEMENT_EMPTY;
            if (s.asc == 0x3B && s.ascq == 0x0D) return STATUS_DESTINATION_ELEMENT_FULL;
            if (s.asc == 0x21 && s.ascq == 0x01) return STATUS_ILLEGAL_ELEMENT_ADDRESS;
            return STATUS_INVALID_DEVICE_REQUEST;
        case 0x6:  // UNIT ATTENTION
            if (s.asc == 0x28) return STATUS_MEDIA_CHANGED;
            if (s.asc == 0x29) return STATUS_BUS_RESET;
            return STATUS_IO_DEVICE_ERROR;
        default:  // HARDWARE ERROR, ABORTED COMMAND, ...
            return STATUS_IO_DEVICE_ERROR;
    }
}

bool HandleChangerRequest(ChangerPath& path, PIRP irp, ULONG code, Outcome& out) {
    const Buffered b = BufferedOf(irp);
    switch (code) {
        case IOCTL_CHANGER_GET_PARAMETERS: GetParameters(path, b, out); return true;
        case IOCTL_CHANGER_GET_STATUS: {
            const std::uint8_t cdb[6] = {kTestUnitReady, 0, 0, 0, 0, 0};
            Simple(path, cdb, 6, out);
            return true;
        }
        case IOCTL_CHANGER_GET_PRODUCT_DATA: GetProductData(path, b, out); return true;
        case IOCTL_CHANGER_SET_ACCESS: SetAccess(path, b, out); return true;
        case IOCTL_CHANGER_GET_ELEMENT_STATUS: GetElementStatus(path, b, out); return true;
        case IOCTL_CHANGER_INITIALIZE_ELEMENT_STATUS: InitializeElementStatus(path, b, out); return true;
        case IOCTL_CHANGER_SET_POSITION: SetPosition(path, b, out); return true;
        case IOCTL_CHANGER_MOVE_MEDIUM: MoveMedium(path, b, out); return true;
        case IOCTL_CHANGER_REINITIALIZE_TRANSPORT: ReinitializeTransport(path, b, out); return true;
        case IOCTL_CHANGER_EXCHANGE_MEDIUM:   // one picker: GET_PARAMETERS offers no exchange
        case IOCTL_CHANGER_QUERY_VOLUME_TAGS:  // no volume tag search
            out.status = STATUS_INVALID_DEVICE_REQUEST;
            return true;
        default:
            return false;
    }
}

void HandleDeviceControl(ChangerPath& path, PIRP irp, Outcome& out) {
    const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        PassThrough(path, irp, code == IOCTL_SCSI_PASS_THROUGH_DIRECT, out);
        return;
    }
    if (code == IOCTL_SCSI_GET_ADDRESS) {
        const Buffered b = BufferedOf(irp);
        if (!Output(b, sizeof(SCSI_ADDRESS), out)) return;
        std::memcpy(b.buffer, &path.Address(), sizeof(SCSI_ADDRESS));
        out.information = sizeof(SCSI_ADDRESS);
        return;
    }
    if (HandleChangerRequest(path, irp, code, out) || HandlePrivateRequest(path, irp, code, out)) return;
    out.status = STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace vorka::changer
