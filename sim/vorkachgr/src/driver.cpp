// vorkachgr: driver entry, path devices, request dispatch (answered at once or,
// with forced pending I/O, later from a worker thread), the status record of
// forwarded requests, Plug and Play and power.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "changer.h"
#include "path_device.h"

namespace vorka::changer {
namespace {

using scsiclass::ReadDword;

// ---- The status record of a forwarded request ---------------------------------------------------

void FillStatusRecord(ChangerPath& path, PIRP irp, const Outcome& out) {
    // The lookup walks the table under its spin lock; the record lies in the
    // request's own buffer and stays valid until the request completes.
    PSCSI_STATUS record = STATUS_STRUCT_ALLOCATED(path.StatusTable(), irp);
    if (record == nullptr) return;
    record->iStatus = out.status;
    record->ulInformation = static_cast<ULONG>(NT_ERROR(out.status) ? 0 : out.information);
    const ScsiResult& last = out.last;
    const bool senseValid = out.commandSent && last.delivered() && last.scsiStatus == 0x02 && last.sense.valid;
    record->fSenseValid = senseValid ? 1 : 0;
    record->ucSenseKey = senseValid ? last.sense.key : 0;
    record->ucAsc = senseValid ? last.sense.asc : 0;
    record->ucAscq = senseValid ? last.sense.ascq : 0;
    record->ucFlags = 0;
    record->ucSME = 0;  // a changer has no encryption to report
    std::memset(record->szHostKey, 0, sizeof record->szHostKey);
    std::memset(record->szWwpn, 0, sizeof record->szWwpn);
    path.CountRecordFilled();
}

// ---- Completing a request ---------------------------------------------------------------------------

NTSTATUS Process(ChangerPath& path, PIRP irp) {
    Outcome out;
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            break;
        case IRP_MJ_DEVICE_CONTROL:
            HandleDeviceControl(path, irp, out);
            break;
        default:
            out.status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    // The record lives in the forwarded request's buffer: filled before completion
    // hands the request back to the bus.
    FillStatusRecord(path, irp, out);
    irp->IoStatus.Status = out.status;
    irp->IoStatus.Information = NT_ERROR(out.status) ? 0 : out.information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    path.Gate().Leave();
    return out.status;
}

// Answers a request that was marked pending, on a worker thread.
void ProcessLater(PDEVICE_OBJECT device, PIRP irp) { Process(ChangerPath::Of(device), irp); }

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The path state query touches no library and is answered in every PnP state.
bool AnswerPathQuery(ChangerPath& path, PIRP irp, NTSTATUS* answered) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
        stack->Parameters.DeviceIoControl.IoControlCode != kIoctlQueryChangerPathState) {
        return false;
    }
    if (irp->RequestorMode == UserMode) {
        *answered = CompleteNow(irp, STATUS_ACCESS_DENIED);
    } else if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ChangerPathState) ||
               irp->AssociatedIrp.SystemBuffer == nullptr) {
        *answered = CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
    } else {
        ChangerPathState state = path.Query();
        std::memcpy(irp->AssociatedIrp.SystemBuffer, &state, sizeof state);
        *answered = CompleteNow(irp, STATUS_SUCCESS, sizeof state);
    }
    return true;
}

// Fails a request before any command went to the library. A request that the bus forwarded still
// gets its status record: the bus reads the outcome there, and an untouched record reads as success.
NTSTATUS FailBeforeCommand(ChangerPath& path, PIRP irp, NTSTATUS status) {
    Outcome out;
    out.status = status;
    FillStatusRecord(path, irp, out);
    return CompleteNow(irp, status);
}

bool ChoosePending(PDEVICE_OBJECT device) { return Driver::Of(device->DriverObject).ChoosePending(); }

NTSTATUS DispatchRequest(PDEVICE_OBJECT device, PIRP irp) {
    static constexpr scsiclass::PathRequestHooks<ChangerPath> kHooks{AnswerPathQuery, FailBeforeCommand, Process,
                                                                ProcessLater, ChoosePending};
    return scsiclass::DispatchPathRequest(device, irp, ChangerPath::Of(device), kHooks);
}

// ---- Plug and Play and power ------------------------------------------------------------------------

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    ChangerPath& path = ChangerPath::Of(device);
    return scsiclass::DispatchPathPnp(device, irp,
                                      {path.Lower(), path.Gate(), "Changer", path.Number(), Trace,
                                       [&path] { return path.StartPath(); }});
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    return scsiclass::PassPower(ChangerPath::Of(device).Lower(), irp);
}

NTSTATUS DispatchPassDown(PDEVICE_OBJECT device, PIRP irp) { return scsiclass::PassDown(ChangerPath::Of(device).Lower(), irp); }

NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo) {
    scsiclass::NumberedDevice created;
    NTSTATUS status = scsiclass::CreateNumberedDevice(driverObject, pdo, "Changer", sizeof(ChangerPath),
                                                      FILE_DEVICE_CHANGER, Trace, &created);
    if (!NT_SUCCESS(status)) return status;
    new (created.device->DeviceExtension) ChangerPath(created.device, created.lower, created.number);
    scsiclass::CreateDeviceLink("Changer", created.number, Trace);

    created.device->Flags |= created.lower->Flags & DO_POWER_PAGABLE;
    created.device->Flags &= ~DO_DEVICE_INITIALIZING;
    Trace("AddDevice: Changer%u on PDO %p\n", created.number, static_cast<void*>(pdo));
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT driverObject) { Driver::Of(driverObject).~Driver(); }

}  // namespace

void Trace(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    DbgPrint("VorkaChgr: %s", line);
}

// ---- Driver -------------------------------------------------------------------------------------------

Driver::Driver(PUNICODE_STRING registryPath) {
    std::u16string key(reinterpret_cast<const char16_t*>(registryPath->Buffer), registryPath->Length / sizeof(WCHAR));
    key += u"\\Parameters";
    pending_.Configure(ReadDword(key, kForcePendingValue), ReadDword(key, kForcePendingSeedValue));
    if (const ULONG ms = ReadDword(key, kNotReadyRetryMsValue); ms != 0) notReadyRetryMs_ = ms;
}

Driver& Driver::Of(PDRIVER_OBJECT driverObject) { return scsiclass::DriverState<Driver>(driverObject); }

bool Driver::ChoosePending() { return pending_.Next(); }

// ---- ChangerPath -------------------------------------------------------------------------------------------

ChangerPath::ChangerPath(PDEVICE_OBJECT self, PDEVICE_OBJECT lower, ULONG number)
    : self_(self), lower_(lower), number_(number) {}

ScsiResult ChangerPath::Send(const std::uint8_t* cdb, std::uint8_t cdbLength, san::DataDirection direction, void* data,
                             std::uint32_t length, Outcome* outcome) {
    ScsiResult result = scsiclass::SendSrb(lower_, cdb, cdbLength, direction, data, length);
    if (outcome != nullptr) {
        outcome->commandSent = true;
        outcome->last = result;
    }
    return result;
}

ScsiResult ChangerPath::SendRetryingAttention(const std::uint8_t* cdb, std::uint8_t cdbLength,
                                              san::DataDirection direction, void* data, std::uint32_t length,
                                              Outcome* outcome) {
    // As the storage class driver does: a unit attention is sent again at once, a library that is
    // becoming ready (its robot at work) or busy is asked again a few times after a pause.
    constexpr int kAttentionRetries = 3;
    constexpr int kNotReadyRetries = 4;
    int attentions = 0;
    int notReady = 0;
    ScsiResult result;
    for (;;) {
        result = Send(cdb, cdbLength, direction, data, length, outcome);
        if (result.unitAttention() && attentions < kAttentionRetries) {
            ++attentions;
            Trace("Changer%u: unit attention %02X/%02X, command 0x%02X sent again\n", number_, result.sense.asc,
                  result.sense.ascq, cdb[0]);
            // A new condition in the library: what this path knew of its layout is stale.
            std::lock_guard lock(addressingMutex_);
            addressingKnown_ = false;
            continue;
        }
        const bool becomingReady = result.delivered() && result.scsiStatus == 0x02 && result.sense.valid &&
                                   result.sense.key == 0x2 && result.sense.asc == 0x04 &&
                                   (result.sense.ascq == 0x01 || result.sense.ascq == 0x07);
        const bool busy = result.delivered() && result.scsiStatus == 0x08;
        if ((becomingReady || busy) && notReady < kNotReadyRetries) {
            ++notReady;
            Trace("Changer%u: library %s, command 0x%02X sent again later\n", number_,
                  busy ? "busy" : "becoming ready", cdb[0]);
            LARGE_INTEGER delay;
            delay.QuadPart = -static_cast<LONGLONG>(Driver::Of(self_->DriverObject).NotReadyRetryMs()) * 10000;
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            continue;
        }
        return result;
    }
}

NTSTATUS ChangerPath::AdapterControl(ULONG code, void* output, ULONG outputLength) {
    return scsiclass::AdapterControl(lower_, code, output, outputLength);
}

NTSTATUS ChangerPath::StartPath() {
    SCSI_ADDRESS address{};
    NTSTATUS status = AdapterControl(IOCTL_SCSI_GET_ADDRESS, &address, sizeof address);
    if (!NT_SUCCESS(status)) {
        Trace("Changer%u: no SCSI address: 0x%08x\n", number_, static_cast<unsigned>(status));
        return status;
    }
    address_ = address;
    address_.Length = sizeof(SCSI_ADDRESS);

    scsiclass::ClearStartupAttentions([this](const std::uint8_t* cdb, std::uint8_t cdbLength) {
        return Send(cdb, cdbLength, san::DataDirection::None, nullptr, 0);
    });
    Outcome ignored;
    Addressing addressing;
    status = GetAddressing(&addressing, ignored);
    if (!NT_SUCCESS(status)) Trace("Changer%u: element addresses not read yet: 0x%08x\n", number_, static_cast<unsigned>(status));

    scsiclass::WriteDeviceMapName(address_, "Changer", number_, Trace);
    return STATUS_SUCCESS;
}

NTSTATUS ChangerPath::GetAddressing(Addressing* addressing, Outcome& out) {
    {
        std::lock_guard lock(addressingMutex_);
        if (addressingKnown_) {
            *addressing = addressing_;
            return STATUS_SUCCESS;
        }
    }
    std::uint8_t data[4 + 20] = {};
    const std::uint8_t cdb[6] = {0x1A, 0x08, 0x1D, 0, sizeof data, 0};  // MODE SENSE(6), DBD, page 1D
    ScsiResult r = SendRetryingAttention(cdb, 6, san::DataDirection::In, data, sizeof data, &out);
    NTSTATUS status = StatusFromResult(r);
    if (!NT_SUCCESS(status)) return status;
    const std::uint8_t* page = data + 4 + data[3];
    if (r.transferred < static_cast<std::uint32_t>(4 + data[3] + 18) || (page[0] & 0x3F) != 0x1D) {
        return STATUS_IO_DEVICE_ERROR;
    }
    Addressing a;
    a.first[ChangerTransport] = static_cast<std::uint16_t>(Be16(page + 2));
    a.count[ChangerTransport] = static_cast<std::uint16_t>(Be16(page + 4));
    a.first[ChangerSlot] = static_cast<std::uint16_t>(Be16(page + 6));
    a.count[ChangerSlot] = static_cast<std::uint16_t>(Be16(page + 8));
    a.first[ChangerIEPort] = static_cast<std::uint16_t>(Be16(page + 10));
    a.count[ChangerIEPort] = static_cast<std::uint16_t>(Be16(page + 12));
    a.first[ChangerDrive] = static_cast<std::uint16_t>(Be16(page + 14));
    a.count[ChangerDrive] = static_cast<std::uint16_t>(Be16(page + 16));
    std::lock_guard lock(addressingMutex_);
    addressing_ = a;
    addressingKnown_ = true;
    *addressing = a;
    return STATUS_SUCCESS;
}

NTSTATUS ChangerPath::TakeStatusTable(PIRPS_WITH_STATUS table) {
    // While the handshake lasts, slot 0 of the head block names a 4-byte value with
    // the number of the path's virtual changer (the changer filter uses slot 0 only).
    bool recorded = false;
    ULONG virtualNumber = 0;
    if (table != nullptr) {
        KIRQL irql;
        KeAcquireSpinLock(&table->slLock, &irql);
        if ((table->ullBitmap & 0x1) != 0 && table->Slots[0].pScsiStatus != nullptr) {
            virtualNumber = *reinterpret_cast<const ULONG*>(table->Slots[0].pScsiStatus);
            recorded = true;
        }
        KeReleaseSpinLock(&table->slLock, irql);
    }
    table_.store(table);
    std::lock_guard lock(stateMutex_);
    ++setExtInBaseCount_;
    virtualRecorded_ = recorded;
    virtualNumber_ = recorded ? virtualNumber : 0;
    Trace("Changer%u: status table %p%s\n", number_, static_cast<void*>(table),
          recorded ? ", virtual changer named" : " without the handshake slot");
    return STATUS_SUCCESS;
}

ChangerPathState ChangerPath::Query() const {
    ChangerPathState s;
    s.deviceNumber = number_;
    s.started = gate_.Pnp() == PathPnp::Started ? 1 : 0;
    s.requestsInProgress = gate_.InProgress();
    s.statusTable = reinterpret_cast<ULONG_PTR>(table_.load());
    s.portNumber = address_.PortNumber;
    s.pathId = address_.PathId;
    s.targetId = address_.TargetId;
    s.lun = address_.Lun;
    s.recordsFilled = recordsFilled_.load();
    std::lock_guard lock(stateMutex_);
    s.setExtInBaseCount = setExtInBaseCount_;
    s.virtualChangerRecorded = virtualRecorded_ ? 1 : 0;
    s.virtualChangerNumber = virtualNumber_;
    return s;
}

}  // namespace vorka::changer

using namespace vorka::changer;

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    NTSTATUS status = vorka::scsiclass::CreateDriverState<Driver>(driverObject, registryPath);
    if (!NT_SUCCESS(status)) return status;
    vorka::scsiclass::SetClassDispatch(driverObject, {DispatchPassDown, DispatchRequest,
                                                      {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_DEVICE_CONTROL},
                                                      DispatchPnp, DispatchPower, AddDevice, Unload});
    return STATUS_SUCCESS;
}
