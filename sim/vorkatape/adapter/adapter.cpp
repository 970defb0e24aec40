// vorkasan: the simulated SCSI adapter of the machine's SAN.
//
// One root-enumerated bus device stands for the host adapters of the SAN the
// machine was built with (sim::Machine::san()). Its function device reports one
// child physical device object per present path, in IRP_MN_QUERY_DEVICE_RELATIONS
// (BusRelations), so that the PnP manager builds and starts each path's stack (the
// tape class driver with its filters for a tape drive, the changer class driver
// for a library's control path) as Windows does for a LUN that a port driver found.
// When the SAN reports a path gone or back, the adapter invalidates its bus
// relations and the PnP manager removes or adds that stack.
//
// A child device carries its sim::hw::Path and answers what a port driver's LUN
// device answers: IRP_MN_QUERY_ID, capabilities, start/stop/remove, the SCSI
// request blocks of IRP_MJ_SCSI (vorkatape/srb.h) and IOCTL_SCSI_GET_ADDRESS. Like
// a port driver it keeps the SCSI device map entries of the LUNs it found.
// The C++ library and the simulator's own headers come first: the kernel headers
// define __try for structured exception handling, which the library must not see.
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "sim/hw/san.h"
#include "sim/machine.h"
#include "sim/registry.h"
#include "vorkatape/srb.h"

#include <ntddk.h>
#include <ntddscsi.h>

namespace vorka::san {
namespace {

using sim::hw::Path;

void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Trace(const char* format, ...) {
    char line[400];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    DbgPrint("VorkaSan: %s", line);
}

std::u16string Widen(const std::string& text) {
    std::u16string out;
    for (unsigned char c : text) out.push_back(static_cast<char16_t>(c));
    return out;
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
    char text[400];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// A text field of INQUIRY data as it appears in device identifiers: padded to its
// width, blanks turned into underscores.
std::string IdField(const std::string& text, std::size_t width) {
    std::string field = text.substr(0, width);
    field.resize(width, ' ');
    std::replace(field.begin(), field.end(), ' ', '_');
    return field;
}

std::string Trimmed(const std::string& text) {
    std::string out = text;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    std::replace(out.begin(), out.end(), ' ', '_');
    return out;
}

std::string PortKey(uint8_t port) {
    return Printf("\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port %u", port);
}

std::string LunKey(const sim::hw::ScsiAddress& a) {
    return PortKey(a.portNumber) + Printf("\\Scsi Bus %u\\Target Id %u\\Logical Unit Id %u", a.pathId, a.targetId, a.lun);
}

// ---- Device extensions ---------------------------------------------------------------------

struct Bus;

struct Header {
    bool isBus;
};

// Extension of a child (one path). Plain atomics only: a child device may outlive
// its removal while references to it remain.
struct Lun {
    Header header{false};
    PDEVICE_OBJECT self = nullptr;
    Bus* bus = nullptr;
    Path* path = nullptr;
    std::atomic<bool> reported{true};  // still in the bus relations last reported
    std::atomic<bool> started{false};
    std::atomic<bool> deleted{false};
};

// Lets the SAN's presence listener reach the bus device only while it exists.
struct PresenceGate {
    std::mutex mutex;
    PDEVICE_OBJECT busPdo = nullptr;  // the root PDO the bus relations belong to
};

struct Bus {
    Header header{true};
    PDEVICE_OBJECT self = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    sim::hw::San* san = nullptr;
    std::shared_ptr<PresenceGate> gate = std::make_shared<PresenceGate>();
    std::mutex mutex;             // guards children
    std::vector<Lun*> children;   // every child device not deleted yet
};

bool IsBus(PDEVICE_OBJECT device) { return static_cast<Header*>(device->DeviceExtension)->isBus; }
Bus& BusOf(PDEVICE_OBJECT device) { return *static_cast<Bus*>(device->DeviceExtension); }
Lun& LunOf(PDEVICE_OBJECT device) { return *static_cast<Lun*>(device->DeviceExtension); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A string (or multi-string) answer of IRP_MN_QUERY_ID / QUERY_DEVICE_TEXT, in pool
// that the PnP manager frees.
PWCHAR PoolStrings(const std::vector<std::string>& strings, bool multi) {
    std::u16string all;
    for (const std::string& s : strings) {
        all += Widen(s);
        all.push_back(u'\0');
    }
    if (multi) all.push_back(u'\0');
    auto* out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, all.size() * sizeof(WCHAR), 'naSV'));
    if (out != nullptr) std::memcpy(out, all.data(), all.size() * sizeof(WCHAR));
    return out;
}

// The names Windows gives a LUN by its peripheral type: the device-type part of its
// identifiers and the SCSI device map's "Type".
struct PeripheralNames {
    const char* idType;       // "Sequential" / "Changer"
    const char* generic;      // generic hardware ID
    const char* description;  // device text suffix
    const char16_t* mapType;  // device map "Type"
};

PeripheralNames NamesOf(const Path& path) {
    if (path.target().peripheralType() == sim::hw::kPeripheralMediumChanger) {
        return {"Changer", "GenChanger", "SCSI Changer Device", u"MediumChangerPeripheral"};
    }
    return {"Sequential", "GenSequential", "SCSI Sequential Device", u"TapePeripheral"};
}

// ---- SCSI device map ---------------------------------------------------------------------------

void WriteDeviceMap(const Path& path) {
    sim::Machine* machine = sim::Machine::CurrentOrNull();
    if (machine == nullptr) return;
    sim::Registry& registry = machine->registry();
    const sim::hw::DriveIdentity& id = path.target().identity();
    registry.createKeyPath(Widen(PortKey(path.address().portNumber)), true);
    registry.setString(Widen(PortKey(path.address().portNumber)), u"Driver", u"vorkasan");
    const std::u16string key = Widen(LunKey(path.address()));
    registry.createKeyPath(key, true);
    std::string identifier = id.vendor.substr(0, 8);
    identifier.resize(8, ' ');
    std::string product = id.product.substr(0, 16);
    product.resize(16, ' ');
    std::string revision = id.revision.substr(0, 4);
    revision.resize(4, ' ');
    registry.setString(key, u"Identifier", Widen(identifier + product + revision));
    registry.setString(key, u"Type", NamesOf(path).mapType);
    registry.setString(key, u"SerialNumber", Widen(id.serial));
}

void DeleteDeviceMap(const Path& path) {
    if (sim::Machine* machine = sim::Machine::CurrentOrNull()) machine->registry().deleteTree(Widen(LunKey(path.address())));
}

// ---- Children -------------------------------------------------------------------------------------

Lun* CreateChild(Bus& bus, Path* path) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(bus.self->DriverObject, sizeof(Lun), nullptr, FILE_DEVICE_MASS_STORAGE,
                                     FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        Trace("no device for %s: 0x%08x\n", path->address().toString().c_str(), static_cast<unsigned>(status));
        return nullptr;
    }
    Lun* lun = new (device->DeviceExtension) Lun;
    lun->self = device;
    lun->bus = &bus;
    lun->path = path;
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    WriteDeviceMap(*path);
    Trace("found %s\n", path->address().toString().c_str());
    return lun;
}

NTSTATUS QueryBusRelations(Bus& bus, PIRP irp) {
    std::vector<PDEVICE_OBJECT> present;
    {
        std::lock_guard lock(bus.mutex);
        for (Path* path : bus.san != nullptr ? bus.san->paths() : std::vector<Path*>{}) {
            auto it = std::find_if(bus.children.begin(), bus.children.end(),
                                   [&](Lun* l) { return l->path == path && l->reported.load(); });
            if (!path->present()) {
                if (it != bus.children.end()) (*it)->reported = false;  // gone: the PnP manager removes it
                continue;
            }
            Lun* lun = it != bus.children.end() ? *it : nullptr;
            if (lun == nullptr) {
                lun = CreateChild(bus, path);
                if (lun == nullptr) continue;
                bus.children.push_back(lun);
            }
            present.push_back(lun->self);
        }
    }

    // Relations an upper filter already put there stay in the answer.
    auto* previous = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
    const ULONG previousCount = previous != nullptr ? previous->Count : 0;
    const ULONG count = previousCount + static_cast<ULONG>(present.size());
    const SIZE_T size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + sizeof(PDEVICE_OBJECT) * (count > 0 ? count : 1);
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, 'naSV'));
    if (relations == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = count;
    for (ULONG i = 0; i < previousCount; ++i) relations->Objects[i] = previous->Objects[i];
    for (std::size_t i = 0; i < present.size(); ++i) {
        ObReferenceObject(present[i]);
        relations->Objects[previousCount + i] = present[i];
    }
    if (previous != nullptr) ExFreePool(previous);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus.lower, irp);
}

// ---- Child Plug and Play -------------------------------------------------------------------------

NTSTATUS ChildQueryId(Lun& lun, PIRP irp) {
    const sim::hw::DriveIdentity& id = lun.path->target().identity();
    const PeripheralNames names = NamesOf(*lun.path);
    const std::string type = std::string("SCSI\\") + names.idType;
    const sim::hw::ScsiAddress& a = lun.path->address();
    const std::string vendor = IdField(id.vendor, 8);
    const std::string product = IdField(id.product, 16);
    const std::string revision = IdField(id.revision, 4);
    PWCHAR answer = nullptr;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
            answer = PoolStrings({type + "&Ven_" + Trimmed(id.vendor) + "&Prod_" + Trimmed(id.product)}, false);
            break;
        case BusQueryHardwareIDs:
            answer = PoolStrings({type + vendor + product + revision, type + vendor + product, type + vendor,
                                  "SCSI\\" + vendor + product + revision.substr(0, 1),
                                  vendor + product + revision.substr(0, 1), names.generic},
                                 true);
            break;
        case BusQueryCompatibleIDs:
            answer = PoolStrings({type, "SCSI\\RAW"}, true);
            break;
        case BusQueryInstanceID:
            answer = PoolStrings({Printf("%X&%X&%X&%X", a.portNumber, a.pathId, a.targetId, a.lun)}, false);
            break;
        default:
            return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    if (answer == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(answer));
}

NTSTATUS ChildQueryText(Lun& lun, PIRP irp) {
    const sim::hw::DriveIdentity& id = lun.path->target().identity();
    const sim::hw::ScsiAddress& a = lun.path->address();
    PWCHAR answer = nullptr;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceText.DeviceTextType) {
        case DeviceTextDescription:
            answer = PoolStrings({id.vendor + " " + id.product + " " + NamesOf(*lun.path).description}, false);
            break;
        case DeviceTextLocationInformation:
            answer = PoolStrings({Printf("Bus Number %u, Target Id %u, LUN %u", a.pathId, a.targetId, a.lun)}, false);
            break;
        default:
            return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    if (answer == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(answer));
}

NTSTATUS ChildCapabilities(Lun& lun, PIRP irp) {
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps == nullptr || caps->Size < sizeof(DEVICE_CAPABILITIES)) return Complete(irp, STATUS_INVALID_PARAMETER);
    caps->Removable = FALSE;
    caps->SurpriseRemovalOK = TRUE;
    caps->UniqueID = FALSE;
    caps->SilentInstall = TRUE;
    caps->RawDeviceOK = FALSE;
    caps->Address = (static_cast<ULONG>(lun.path->address().targetId) << 8) | lun.path->address().lun;
    caps->UINumber = lun.path->address().portNumber;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < POWER_SYSTEM_MAXIMUM; ++s) caps->DeviceState[s] = PowerDeviceD3;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS ChildTargetRelation(Lun& lun, PIRP irp) {
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 'naSV'));
    if (relations == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = 1;
    relations->Objects[0] = lun.self;
    ObReferenceObject(lun.self);
    return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
}

void DeleteChild(Lun& lun) {
    Bus* bus = lun.bus;
    {
        std::lock_guard lock(bus->mutex);
        bus->children.erase(std::remove(bus->children.begin(), bus->children.end(), &lun), bus->children.end());
    }
    lun.deleted = true;
    DeleteDeviceMap(*lun.path);
    Trace("lost %s\n", lun.path->address().toString().c_str());
    IoDeleteDevice(lun.self);
}

NTSTATUS ChildPnp(Lun& lun, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_START_DEVICE:
            lun.started = true;
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            lun.started = false;
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MN_REMOVE_DEVICE:
            lun.started = false;
            if (!lun.reported.load()) {
                // The bus no longer reports it: the device goes. A child still present
                // stays, and may be started again.
                Complete(irp, STATUS_SUCCESS);
                DeleteChild(lun);
                return STATUS_SUCCESS;
            }
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_ID:
            return ChildQueryId(lun, irp);
        case IRP_MN_QUERY_DEVICE_TEXT:
            return ChildQueryText(lun, irp);
        case IRP_MN_QUERY_CAPABILITIES:
            return ChildCapabilities(lun, irp);
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
                return ChildTargetRelation(lun, irp);
            }
            return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
        default:
            return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

// ---- Child requests -------------------------------------------------------------------------------------

NTSTATUS ExecuteSrb(Lun& lun, PIRP irp) {
    auto* request = reinterpret_cast<ScsiRequest*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Scsi.Srb);
    if (request == nullptr || request->version != kScsiRequestVersion || request->cdbLength == 0 ||
        request->cdbLength > 16 || (request->direction != DataDirection::None && request->dataBuffer == nullptr &&
                                    request->dataTransferLength != 0)) {
        if (request != nullptr) request->srbStatus = SrbStatus::InvalidRequest;
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    if (lun.deleted.load()) {
        request->srbStatus = SrbStatus::NoDevice;
        request->transportStatus = STATUS_DEVICE_DOES_NOT_EXIST;
        return Complete(irp, STATUS_DEVICE_DOES_NOT_EXIST);
    }
    const std::uint32_t length = request->direction == DataDirection::None ? 0 : request->dataTransferLength;
    // A port driver refuses a transfer longer than its adapter takes (SRB_STATUS_INVALID_REQUEST):
    // a tape block cannot be split, and the class driver reports STATUS_INVALID_PARAMETER.
    const std::uint32_t limit = lun.bus->san != nullptr ? lun.bus->san->maxTransfer(lun.path->address().portNumber) : 0;
    if (limit != 0 && length > limit) {
        request->srbStatus = SrbStatus::InvalidRequest;
        request->dataTransferLength = 0;
        request->residual = length;
        request->senseInfoLength = 0;
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    auto* data = static_cast<std::uint8_t*>(request->dataBuffer);
    sim::hw::Command command;
    command.cdb = std::span<const std::uint8_t>(request->cdb, request->cdbLength);
    if (request->direction == DataDirection::Out) command.dataOut = std::span<const std::uint8_t>(data, length);
    if (request->direction == DataDirection::In) command.dataInLength = length;

    sim::hw::CommandResult result = lun.path->execute(command);
    if (!result.delivered()) {
        request->dataTransferLength = 0;
        request->residual = length;
        request->senseInfoLength = 0;
        if (result.srbStatus != 0) {
            // The port names what failed; the class driver makes its own NT status of it.
            request->srbStatus = static_cast<SrbStatus>(result.srbStatus);
            request->transportStatus = 0;
            return Complete(irp, STATUS_IO_DEVICE_ERROR);
        }
        request->srbStatus = SrbStatus::SelectionTimeout;
        request->transportStatus = static_cast<std::int32_t>(result.transportStatus);
        return Complete(irp, static_cast<NTSTATUS>(result.transportStatus));
    }
    std::uint32_t moved = 0;
    if (request->direction == DataDirection::In) {
        moved = static_cast<std::uint32_t>(std::min<std::size_t>(result.dataIn.size(), length));
        if (moved != 0) std::memcpy(data, result.dataIn.data(), moved);
    } else if (request->direction == DataDirection::Out) {
        moved = std::min(result.dataOutTransferred, length);
    }
    request->dataTransferLength = moved;
    request->residual = length - moved;
    request->scsiStatus = result.scsiStatus;
    request->transportStatus = 0;
    const std::uint32_t sense = static_cast<std::uint32_t>(std::min<std::size_t>(result.sense.size(), request->senseInfoLength));
    if (sense != 0 && request->senseBuffer != nullptr) std::memcpy(request->senseBuffer, result.sense.data(), sense);
    request->senseInfoLength = request->senseBuffer != nullptr ? sense : 0;
    request->srbStatus = result.good() ? SrbStatus::Success : SrbStatus::Error;
    return Complete(irp, result.good() ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR);
}

// Who holds the reservation of the child's drive, and through which drive port.
HolderInfo ReservationHolder(Lun& lun) {
    HolderInfo info;
    if (lun.path->isChanger()) return info;  // a changer holds no persistent reservations
    sim::hw::TapeDrive& drive = lun.path->drive();
    const sim::hw::ReservationState state = drive.reservations();
    std::optional<sim::hw::InitiatorId> holder = state.persistentHolder;
    info.persistent = holder.has_value() ? 1 : 0;
    if (!holder) holder = state.reserve6Holder;
    if (!holder) return info;
    info.found = 1;
    for (const auto& [initiator, key] : state.registrations) {
        if (initiator == *holder) info.registrationKey = key;
    }
    if (lun.bus->san != nullptr) {
        for (Path* path : lun.bus->san->pathsTo(drive)) {
            if (path->initiator() == *holder) info.targetPortName = path->targetPortName();
        }
    }
    return info;
}

NTSTATUS ChildDeviceControl(Lun& lun, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_SCSI_GET_ADDRESS: {
            if (outputLength < sizeof(SCSI_ADDRESS) || buffer == nullptr) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
            const sim::hw::ScsiAddress& a = lun.path->address();
            SCSI_ADDRESS address{sizeof(SCSI_ADDRESS), a.portNumber, a.pathId, a.targetId, a.lun};
            std::memcpy(buffer, &address, sizeof address);
            return Complete(irp, STATUS_SUCCESS, sizeof address);
        }
        case kIoctlResetLogicalUnit: {
            if (irp->RequestorMode == UserMode) return Complete(irp, STATUS_ACCESS_DENIED);
            const std::uint32_t transport = lun.path->logicalUnitReset();
            return Complete(irp, transport == 0 ? STATUS_SUCCESS : static_cast<NTSTATUS>(transport));
        }
        case kIoctlQueryReservationHolder: {
            if (irp->RequestorMode == UserMode) return Complete(irp, STATUS_ACCESS_DENIED);
            if (outputLength < sizeof(HolderInfo) || buffer == nullptr) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
            HolderInfo info = ReservationHolder(lun);
            std::memcpy(buffer, &info, sizeof info);
            return Complete(irp, STATUS_SUCCESS, sizeof info);
        }
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// ---- Bus device --------------------------------------------------------------------------------------------

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(Bus& bus, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(bus.lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

void WatchPresence(Bus& bus, bool on) {
    if (bus.san == nullptr) return;
    {
        std::lock_guard lock(bus.gate->mutex);
        bus.gate->busPdo = on ? bus.pdo : nullptr;
    }
    if (on) {
        std::shared_ptr<PresenceGate> gate = bus.gate;
        bus.san->setPresenceListener([gate](Path& path, bool present) {
            std::lock_guard lock(gate->mutex);
            if (gate->busPdo == nullptr) return;
            DbgPrint("VorkaSan: %s %s\n", path.address().toString().c_str(), present ? "back" : "gone");
            IoInvalidateDeviceRelations(gate->busPdo, BusRelations);
        });
    } else {
        bus.san->setPresenceListener({});
    }
}

NTSTATUS BusPnp(Bus& bus, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = ForwardAndWait(bus, irp);
            if (NT_SUCCESS(status)) WatchPresence(bus, true);
            Trace("bus start: 0x%08x, SAN %p\n", static_cast<unsigned>(status), static_cast<void*>(bus.san));
            return Complete(irp, status);
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) return QueryBusRelations(bus, irp);
            break;
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            WatchPresence(bus, false);
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE: {
            WatchPresence(bus, false);
            // Children the PnP manager did not remove (never reported, or gone before a
            // report) go with the bus.
            std::vector<Lun*> left;
            {
                std::lock_guard lock(bus.mutex);
                left = bus.children;
            }
            for (Lun* lun : left) {
                lun->reported = false;
                DeleteChild(*lun);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(bus.lower, irp);
            PDEVICE_OBJECT self = bus.self;
            IoDetachDevice(bus.lower);
            bus.~Bus();
            IoDeleteDevice(self);
            return status;
        }
        default:
            break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus.lower, irp);
}

// ---- Completion from a DPC ------------------------------------------------------------------------------
//
// A port driver starts a command and returns STATUS_PENDING; the command's end raises an
// interrupt whose DPC completes the request at DISPATCH_LEVEL on whatever processor took it.
// In that mode ("CompleteFromDpc") the request is executed and completed by a DPC on the
// machine's DPC thread, so that the completion routines above run at DISPATCH_LEVEL on
// another thread, before or after the dispatch routine has returned.

constexpr ULONG kDeferredTag = 'pDsV';

struct CompletionMode {
    std::uint32_t fromDpc = 0;  // 0: never, 1: at random, 2: always
    std::mutex mutex;
    std::mt19937 random{0x5EED};
};
CompletionMode completionMode;

bool ChooseDpc() {
    if (completionMode.fromDpc == 0) return false;
    if (completionMode.fromDpc >= 2) return true;
    std::lock_guard lock(completionMode.mutex);
    return (completionMode.random() & 1) != 0;
}

struct DeferredRequest {
    KDPC dpc;
    PDEVICE_OBJECT device;
    PIRP irp;
};

NTSTATUS ExecuteChildRequest(PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_SCSI) return ExecuteSrb(LunOf(device), irp);
    return ChildDeviceControl(LunOf(device), irp);
}

VOID RunDeferred(PKDPC, PVOID context, PVOID, PVOID) {
    auto* deferred = static_cast<DeferredRequest*>(context);
    PDEVICE_OBJECT device = deferred->device;
    PIRP irp = deferred->irp;
    ExFreePoolWithTag(deferred, kDeferredTag);
    ExecuteChildRequest(device, irp);
    ObDereferenceObject(device);
}

// Answers a child's SCSI request or device control now or, in the DPC mode, later.
NTSTATUS AnswerChildRequest(PDEVICE_OBJECT device, PIRP irp) {
    if (!ChooseDpc()) return ExecuteChildRequest(device, irp);
    auto* deferred = static_cast<DeferredRequest*>(
        ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(DeferredRequest), kDeferredTag));
    if (deferred == nullptr) return ExecuteChildRequest(device, irp);
    ObReferenceObject(device);
    deferred->device = device;
    deferred->irp = irp;
    KeInitializeDpc(&deferred->dpc, RunDeferred, deferred);
    IoMarkIrpPending(irp);
    KeInsertQueueDpc(&deferred->dpc, nullptr, nullptr);
    return STATUS_PENDING;
}

void ReadCompletionMode() {
    sim::Machine* machine = sim::Machine::CurrentOrNull();
    if (machine == nullptr) return;
    completionMode.fromDpc = machine->registry().dword(kSanParametersKey, kCompleteFromDpcValue).value_or(0);
    const std::uint32_t seed = machine->registry().dword(kSanParametersKey, kCompleteFromDpcSeedValue).value_or(0);
    completionMode.random.seed(seed != 0 ? seed : 0x5EED);
    Trace("completion from a DPC: %u\n", completionMode.fromDpc);
}

// ---- Dispatch ------------------------------------------------------------------------------------------------

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    return IsBus(device) ? BusPnp(BusOf(device), irp) : ChildPnp(LunOf(device), irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    if (IsBus(device)) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(BusOf(device).lower, irp);
    }
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) return Complete(irp, STATUS_SUCCESS);
    return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

NTSTATUS DispatchScsi(PDEVICE_OBJECT device, PIRP irp) {
    if (IsBus(device)) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    return AnswerChildRequest(device, irp);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    if (IsBus(device)) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    return AnswerChildRequest(device, irp);
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

NTSTATUS DispatchInvalid(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_INVALID_DEVICE_REQUEST); }

NTSTATUS DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
    if (IsBus(device)) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(BusOf(device).lower, irp);
    }
    return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(Bus), nullptr, FILE_DEVICE_CONTROLLER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    Bus* bus = new (device->DeviceExtension) Bus;
    bus->self = device;
    bus->pdo = pdo;
    bus->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (bus->lower == nullptr) {
        bus->~Bus();
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    sim::Machine* machine = sim::Machine::CurrentOrNull();
    bus->san = machine != nullptr ? machine->san() : nullptr;
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {}

}  // namespace
}  // namespace vorka::san

using namespace vorka::san;

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING) {
    ReadCompletionMode();
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driverObject->MajorFunction[i] = DispatchInvalid;
    driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    driverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driverObject->MajorFunction[IRP_MJ_SCSI] = DispatchScsi;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    driverObject->DriverExtension->AddDevice = AddDevice;
    driverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
