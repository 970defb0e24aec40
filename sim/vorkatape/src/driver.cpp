// vorkatape: driver entry, path devices, request dispatch (answered at once or,
// with forced pending I/O, later from a worker thread), Plug and Play and power.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "path_device.h"
#include "tape.h"

namespace vorka::tape {
namespace {

using scsiclass::ReadDword;

// ---- Completing a request -------------------------------------------------------------------

NTSTATUS Process(TapePath& path, PIRP irp) {
    Outcome out;
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            HandleCreateClose(path, irp, out);
            break;
        case IRP_MJ_READ:
        case IRP_MJ_WRITE:
            HandleReadWrite(path, irp, out);
            break;
        case IRP_MJ_DEVICE_CONTROL:
            HandleDeviceControl(path, irp, out);
            break;
        default:
            out.status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    // The record lives in the forwarded request's buffer: it must be filled before
    // completion hands the request back to the bus.
    FillStatusRecord(path, irp, out);
    irp->IoStatus.Status = out.status;
    irp->IoStatus.Information = NT_ERROR(out.status) ? 0 : out.information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    path.Leave();
    return out.status;
}

// Answers a request that was marked pending, on a worker thread.
void ProcessLater(PDEVICE_OBJECT device, PIRP irp) { Process(TapePath::Of(device), irp); }

// The path state query touches no drive and is answered in every PnP state.
bool AnswerPathQuery(TapePath& path, PIRP irp, NTSTATUS* answered) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
        stack->Parameters.DeviceIoControl.IoControlCode != kIoctlQueryPathState) {
        return false;
    }
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    if (irp->RequestorMode == UserMode) {
        status = STATUS_ACCESS_DENIED;  // the answer carries kernel addresses
    } else if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(PathState) ||
               irp->AssociatedIrp.SystemBuffer == nullptr) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        PathState state = path.Query();
        std::memcpy(irp->AssociatedIrp.SystemBuffer, &state, sizeof state);
        information = sizeof state;
    }
    Outcome out;
    out.status = status;
    FillStatusRecord(path, irp, out);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    *answered = status;
    return true;
}

// Fails a request before any command went to the drive. A request that the bus forwarded still
// gets its status record: the bus reads the outcome there, and an untouched record reads as success.
NTSTATUS FailBeforeCommand(TapePath& path, PIRP irp, NTSTATUS status) {
    Outcome out;
    out.status = status;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_READ || stack->MajorFunction == IRP_MJ_WRITE)
        out.residual = stack->Parameters.Read.Length;  // nothing was transferred
    FillStatusRecord(path, irp, out);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool ChoosePending(PDEVICE_OBJECT device) { return Driver::Of(device->DriverObject).ChoosePending(); }

NTSTATUS DispatchRequest(PDEVICE_OBJECT device, PIRP irp) {
    static constexpr scsiclass::PathRequestHooks<TapePath> kHooks{AnswerPathQuery, FailBeforeCommand, Process,
                                                                ProcessLater, ChoosePending};
    return scsiclass::DispatchPathRequest(device, irp, TapePath::Of(device), kHooks);
}

// ---- Plug and Play and power ------------------------------------------------------------------

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    TapePath& path = TapePath::Of(device);
    return scsiclass::DispatchPathPnp(device, irp,
                                      {path.Lower(), path.Gate(), "Tape", path.Number(), Trace,
                                       [&path] { return path.StartPath(); }});
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    return scsiclass::PassPower(TapePath::Of(device).Lower(), irp);
}

NTSTATUS DispatchPassDown(PDEVICE_OBJECT device, PIRP irp) {
    return scsiclass::PassDown(TapePath::Of(device).Lower(), irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo) {
    scsiclass::NumberedDevice created;
    NTSTATUS status = scsiclass::CreateNumberedDevice(driverObject, pdo, "Tape", sizeof(TapePath), FILE_DEVICE_TAPE,
                                                      Trace, &created);
    if (!NT_SUCCESS(status)) return status;
    new (created.device->DeviceExtension) TapePath(created.device, created.lower, pdo, created.number);
    scsiclass::CreateDeviceLink("Tape", created.number, Trace);

    created.device->Flags |= DO_DIRECT_IO | (created.lower->Flags & DO_POWER_PAGABLE);
    created.device->Flags &= ~DO_DEVICE_INITIALIZING;
    Trace("AddDevice: Tape%u on PDO %p\n", created.number, static_cast<void*>(pdo));
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT driverObject) {
    Driver::Of(driverObject).~Driver();
}

}  // namespace

// ---- Driver ------------------------------------------------------------------------------------

Driver::Driver(PUNICODE_STRING registryPath) {
    std::u16string key(reinterpret_cast<const char16_t*>(registryPath->Buffer), registryPath->Length / sizeof(WCHAR));
    key += u"\\Parameters";
    const ULONG forcePending = ReadDword(key, kForcePendingValue);
    setExtInBaseDelayMs_ = ReadDword(key, kSetExtInBaseDelayValue);
    pending_.Configure(forcePending, ReadDword(key, kForcePendingSeedValue));
    Trace("forced pending %u, handshake delay %u ms\n", forcePending, setExtInBaseDelayMs_);
}

Driver& Driver::Of(PDRIVER_OBJECT driverObject) { return scsiclass::DriverState<Driver>(driverObject); }

bool Driver::ChoosePending() { return pending_.Next(); }

// ---- TapePath: requests in progress -------------------------------------------------------------

TapePath::TapePath(PDEVICE_OBJECT self, PDEVICE_OBJECT lower, PDEVICE_OBJECT pdo, ULONG number)
    : self_(self), lower_(lower), pdo_(pdo), number_(number) {}

NTSTATUS TapePath::Enter(UCHAR majorFunction) { return gate_.Enter(majorFunction); }
void TapePath::Leave() { gate_.Leave(); }
void TapePath::Drain() { gate_.Drain(); }
void TapePath::SetPnp(PathPnp state) { gate_.SetPnp(state); }

// ---- TapePath: start ---------------------------------------------------------------------------------

NTSTATUS TapePath::StartPath() {
    SCSI_ADDRESS address{};
    NTSTATUS status = AdapterControl(IOCTL_SCSI_GET_ADDRESS, &address, sizeof address);
    if (!NT_SUCCESS(status)) {
        Trace("Tape%u: no SCSI address: 0x%08x\n", number_, static_cast<unsigned>(status));
        return status;
    }
    address_ = address;
    address_.Length = sizeof(SCSI_ADDRESS);

    scsiclass::ClearStartupAttentions([this](const std::uint8_t* cdb, std::uint8_t cdbLength) {
        return Send(cdb, cdbLength, san::DataDirection::None, nullptr, 0);
    });
    ForgetBlockSize();

    std::uint8_t flags[4] = {};
    const std::uint8_t queryFlags[6] = {0xC2, 0, 0, 0, 4, 0};
    ScsiResult r = Send(queryFlags, 6, san::DataDirection::In, flags, sizeof flags);
    if (r.good() && r.transferred == 4) SetDpfFlags(Be32(flags));

    // Name this path's device in the SCSI device map entry of its path.
    scsiclass::WriteDeviceMapName(address_, "Tape", number_, Trace);
    return STATUS_SUCCESS;
}

// ---- TapePath: cached drive facts -------------------------------------------------------------------

bool TapePath::KnownBlockSize(std::uint32_t* blockSize) const {
    const std::int64_t value = blockSize_.load();
    if (value < 0) return false;
    *blockSize = static_cast<std::uint32_t>(value);
    return true;
}

void TapePath::SetKnownBlockSize(std::uint32_t blockSize) { blockSize_.store(blockSize); }
void TapePath::ForgetBlockSize() { blockSize_.store(-1); }

void TapePath::SetDpfFlags(std::uint32_t flags) {
    dpfFlags_.store(flags);
    dpfFlagsKnown_.store(true);
}

// ---- TapePath: the status table and the reservation key ------------------------------------------

NTSTATUS TapePath::TakeStatusTable(PIRPS_WITH_STATUS table, std::uint32_t delayMs) {
    if (delayMs != 0) {
        LARGE_INTEGER interval;
        interval.QuadPart = -static_cast<LONGLONG>(delayMs) * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    // While the handshake lasts, slot 0 of the head block names a 4-byte value with
    // the number of the path's virtual device and slot 1 the filter device object
    // that started it. The slots are read only when they name the filter above this
    // path: slots written by another path's handshake are not this path's.
    bool recorded = false;
    ULONG virtualNumber = 0;
    PDEVICE_OBJECT filter = nullptr;
    PDEVICE_OBJECT above = self_->AttachedDevice != nullptr ? self_->AttachedDevice : IoGetAttachedDevice(self_);
    if (table != nullptr) {
        KIRQL irql;
        KeAcquireSpinLock(&table->slLock, &irql);
        const bool slotsInUse = (table->ullBitmap & 0x3) == 0x3;
        filter = slotsInUse ? reinterpret_cast<PDEVICE_OBJECT>(table->Slots[1].pScsiStatus) : nullptr;
        if (slotsInUse && filter != nullptr && filter == above && table->Slots[0].pScsiStatus != nullptr) {
            virtualNumber = *reinterpret_cast<const ULONG*>(table->Slots[0].pScsiStatus);
            recorded = true;
        }
        KeReleaseSpinLock(&table->slLock, irql);
    }
    table_.store(table);
    std::lock_guard lock(stateMutex_);
    ++setExtInBaseCount_;
    virtualTapeRecorded_ = recorded;
    virtualTapeNumber_ = recorded ? virtualNumber : 0;
    if (recorded) filterDevice_ = filter;
    if (recorded) {
        Trace("Tape%u: status table %p, virtual device Tape%u, filter %p\n", number_, static_cast<void*>(table),
              virtualNumber, static_cast<void*>(filter));
    } else {
        Trace("Tape%u: status table %p without this path's handshake slots\n", number_, static_cast<void*>(table));
    }
    return STATUS_SUCCESS;
}

void TapePath::ReservationKey(std::uint8_t key[8]) const {
    std::lock_guard lock(stateMutex_);
    if (keySet_) {
        std::copy(key_.begin(), key_.end(), key);
        return;
    }
    PDEVICE_OBJECT filter = filterDevice_ != nullptr ? filterDevice_ : self_->AttachedDevice;
    if (filter == nullptr) filter = self_;
    const ULONGLONG value = reinterpret_cast<ULONG_PTR>(filter);
    std::memcpy(key, &value, 8);  // the bus keeps the key as a 64-bit value, low bytes first
}

void TapePath::SetReservationKey(const std::uint8_t key[8]) {
    std::lock_guard lock(stateMutex_);
    std::copy(key, key + 8, key_.begin());
    keySet_ = true;
}

PathState TapePath::Query() const {
    PathState s;
    s.deviceNumber = number_;
    s.started = gate_.Pnp() == PathPnp::Started ? 1 : 0;
    s.statusTable = reinterpret_cast<ULONG_PTR>(table_.load());
    s.portNumber = address_.PortNumber;
    s.pathId = address_.PathId;
    s.targetId = address_.TargetId;
    s.lun = address_.Lun;
    ReservationKey(s.reservationKey);
    s.requestsInProgress = gate_.InProgress();
    std::lock_guard lock(stateMutex_);
    s.setExtInBaseCount = setExtInBaseCount_;
    s.virtualTapeRecorded = virtualTapeRecorded_ ? 1 : 0;
    s.virtualTapeNumber = virtualTapeNumber_;
    s.reservationKeySet = keySet_ ? 1 : 0;
    s.filterDevice = reinterpret_cast<ULONG_PTR>(filterDevice_);
    return s;
}

}  // namespace vorka::tape

using namespace vorka::tape;

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    NTSTATUS status = vorka::scsiclass::CreateDriverState<Driver>(driverObject, registryPath);
    if (!NT_SUCCESS(status)) return status;
    vorka::scsiclass::SetClassDispatch(driverObject, {DispatchPassDown, DispatchRequest,
                                                      {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE,
                                                       IRP_MJ_DEVICE_CONTROL},
                                                      DispatchPnp, DispatchPower, AddDevice, Unload});
    return STATUS_SUCCESS;
}
