// Path devices of the simulated class drivers (see path_device.h).
#include "path_device.h"

#include <cstdio>
#include <string>

namespace vorka::scsiclass {
namespace {

std::string DeviceFormat(const char* prefix, const char* kind) { return std::string(prefix) + kind + "%u"; }

}  // namespace

NTSTATUS CreateNumberedDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo, const char* kind, ULONG extensionSize,
                              DEVICE_TYPE type, TraceFunction trace, NumberedDevice* created) {
    const std::string format = DeviceFormat("\\Device\\", kind);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    ULONG number = 0;
    for (; number < 10000 && status == STATUS_OBJECT_NAME_COLLISION; ++number) {
        std::u16string text = Format16(format.c_str(), number);
        UNICODE_STRING name = View(text);
        status = IoCreateDevice(driverObject, extensionSize, &name, type, FILE_REMOVABLE_MEDIA | FILE_DEVICE_SECURE_OPEN,
                                FALSE, &device);
        if (NT_SUCCESS(status)) break;
    }
    if (!NT_SUCCESS(status)) {
        trace("AddDevice: no device object: 0x%08x\n", static_cast<unsigned>(status));
        return status;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    *created = NumberedDevice{device, lower, number};
    return STATUS_SUCCESS;
}

void CreateDeviceLink(const char* kind, ULONG number, TraceFunction trace) {
    std::u16string linkText = Format16(DeviceFormat("\\DosDevices\\", kind).c_str(), number);
    std::u16string deviceText = Format16(DeviceFormat("\\Device\\", kind).c_str(), number);
    UNICODE_STRING link = View(linkText);
    UNICODE_STRING target = View(deviceText);
    NTSTATUS status = IoCreateSymbolicLink(&link, &target);
    if (!NT_SUCCESS(status)) trace("AddDevice: no link for %s%u: 0x%08x\n", kind, number, static_cast<unsigned>(status));
}

void DeleteDeviceLink(const char* kind, ULONG number) {
    std::u16string link = Format16(DeviceFormat("\\DosDevices\\", kind).c_str(), number);
    UNICODE_STRING name = View(link);
    IoDeleteSymbolicLink(&name);
}

void ClearStartupAttentions(const std::function<ScsiResult(const std::uint8_t* cdb, std::uint8_t cdbLength)>& send) {
    const std::uint8_t testUnitReady[6] = {0x00, 0, 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        ScsiResult r = send(testUnitReady, 6);
        if (!(r.delivered() && r.sense.valid && r.sense.key == 0x6)) break;
    }
}

void WriteDeviceMapName(const SCSI_ADDRESS& address, const char* kind, ULONG number, TraceFunction trace) {
    char key[200];
    std::snprintf(key, sizeof key,
                  "\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port %u\\Scsi Bus %u\\Target Id %u\\Logical Unit Id %u",
                  address.PortNumber, address.PathId, address.TargetId, address.Lun);
    std::u16string keyText = Widen(key);
    std::u16string value = Format16(DeviceFormat("", kind).c_str(), number);
    NTSTATUS status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, keyText.c_str(), u"DeviceName", REG_SZ,
                                            const_cast<char16_t*>(value.c_str()),
                                            static_cast<ULONG>((value.size() + 1) * sizeof(WCHAR)));
    if (!NT_SUCCESS(status)) trace("%s%u: DeviceName not written: 0x%08x\n", kind, number, static_cast<unsigned>(status));
}

void SetClassDispatch(PDRIVER_OBJECT driverObject, const ClassDispatch& dispatch) {
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driverObject->MajorFunction[i] = dispatch.passDown;
    for (UCHAR major : dispatch.requestMajors) driverObject->MajorFunction[major] = dispatch.request;
    driverObject->MajorFunction[IRP_MJ_PNP] = dispatch.pnp;
    driverObject->MajorFunction[IRP_MJ_POWER] = dispatch.power;
    driverObject->DriverExtension->AddDevice = dispatch.addDevice;
    driverObject->DriverUnload = dispatch.unload;
}

NTSTATUS DispatchPathPnp(PDEVICE_OBJECT device, PIRP irp, const PathDevicePnp& path) {
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_START_DEVICE:
            status = ForwardAndWait(path.lower, irp);
            if (NT_SUCCESS(status)) status = path.start();
            if (NT_SUCCESS(status)) path.gate.SetPnp(scsiclass::PathPnp::Started);
            path.trace("start of %s%u: 0x%08x\n", path.kind, path.number, static_cast<unsigned>(status));
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        case IRP_MN_STOP_DEVICE:
            path.gate.SetPnp(scsiclass::PathPnp::Stopped);
            path.gate.Drain();
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(path.lower, irp);
        case IRP_MN_SURPRISE_REMOVAL:
            path.gate.SetPnp(scsiclass::PathPnp::SurpriseRemoved);
            path.gate.Drain();
            DeleteDeviceLink(path.kind, path.number);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(path.lower, irp);
        case IRP_MN_REMOVE_DEVICE: {
            const bool linkGone = path.gate.Pnp() == scsiclass::PathPnp::SurpriseRemoved;
            path.gate.SetPnp(scsiclass::PathPnp::Removed);
            path.gate.Drain();
            if (!linkGone) DeleteDeviceLink(path.kind, path.number);
            irp->IoStatus.Status = STATUS_SUCCESS;
            PDEVICE_OBJECT lower = path.lower;
            const char* kind = path.kind;
            const ULONG number = path.number;
            const TraceFunction trace = path.trace;
            status = PassDown(lower, irp);
            trace("%s%u removed\n", kind, number);
            IoDetachDevice(lower);
            // The extension stays with the device object while file objects still refer to it; it
            // owns nothing outside itself, so it is not torn down.
            IoDeleteDevice(device);
            return status;
        }
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            irp->IoStatus.Status = STATUS_SUCCESS;
            return PassDown(path.lower, irp);
        default:
            return PassDown(path.lower, irp);
    }
}

}  // namespace vorka::scsiclass
