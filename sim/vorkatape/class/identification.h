// The identification answers of the base-driver contract, alike for every class
// driver's path: IOC_GET_SERIAL_NUMBER, IOC_GET_SCSI_ADDRESS, IOC_GET_DEVICE_ID_PAGE
// and IOC_GET_STANDARD_INQUIRY. `Path` sends a command with
// Send(cdb, cdbLength, direction, data, length, &out) and has Lower(); `Outcome` has
// status and information; `statusFrom` is the driver's status for a command's result.
#pragma once

#include <algorithm>
#include <cstring>

#include "scsi_class.h"

#include "defines.h"  // lengths of the private requests

namespace vorka::scsiclass {

using StatusFrom = NTSTATUS (*)(const ScsiResult& result);

// True when the request's output buffer holds `size` bytes; otherwise STATUS_BUFFER_TOO_SMALL.
template <typename Outcome>
bool Output(const Buffered& b, ULONG size, Outcome& out) {
    if (b.buffer != nullptr && b.outputLength >= size) return true;
    out.status = STATUS_BUFFER_TOO_SMALL;
    return false;
}

template <typename Path, typename Outcome>
ScsiResult Inquiry(Path& path, std::uint8_t page, bool evpd, std::uint8_t* data, ULONG length, Outcome& out) {
    std::uint8_t cdb[6] = {0x12, static_cast<std::uint8_t>(evpd ? 0x01 : 0x00), page};
    PutBe16(cdb + 3, std::min<ULONG>(length, 0xFFFF));
    return path.Send(cdb, 6, san::DataDirection::In, data, length, &out);
}

template <typename Path, typename Outcome>
void AnswerSerialNumber(Path& path, const Buffered& b, Outcome& out, StatusFrom statusFrom) {
    if (!Output(b, SERIAL_NUMBER_LENGTH, out)) return;
    std::uint8_t page[4 + 255] = {};
    ScsiResult r = Inquiry(path, 0x80, true, page, sizeof page, out);
    out.status = statusFrom(r);
    if (NT_SUCCESS(out.status)) out.status = CopySerialNumber(page, r.transferred, b.buffer);
    if (NT_SUCCESS(out.status)) out.information = SERIAL_NUMBER_LENGTH;
}

template <typename Outcome>
void AnswerScsiAddress(PDEVICE_OBJECT lower, const Buffered& b, Outcome& out) {
    if (!Output(b, sizeof(SCSI_ADDRESS), out)) return;
    SCSI_ADDRESS address;
    out.status = GetScsiAddress(lower, &address);
    if (!NT_SUCCESS(out.status)) return;
    std::memcpy(b.buffer, &address, sizeof address);
    out.information = sizeof address;
}

// The device identification page (devicePage) or the standard INQUIRY data, each of its fixed length.
template <typename Path, typename Outcome>
void AnswerInquiryData(Path& path, const Buffered& b, bool devicePage, Outcome& out, StatusFrom statusFrom) {
    const ULONG length = devicePage ? DEVICE_ID_PAGE_LENGTH : STANDARD_INQUIRY_LENGTH;
    if (!Output(b, length, out)) return;
    std::uint8_t data[DEVICE_ID_PAGE_LENGTH] = {};
    ScsiResult r = Inquiry(path, devicePage ? 0x83 : 0, devicePage, data, length, out);
    out.status = statusFrom(r);
    if (!NT_SUCCESS(out.status)) return;
    std::memcpy(b.buffer, data, length);
    out.information = length;
}

}  // namespace vorka::scsiclass
