// What the simulated class drivers do alike with their path devices: the numbered
// device \Device\<kind><n> with its \DosDevices link, the name in the SCSI device map,
// the unit attentions a device holds at start, and Plug and Play of the path device
// (start, stop and removal with the request gate drained, link gone on removal).
// `kind` is "Tape" or "Changer".
#pragma once

#include <functional>
#include <initializer_list>
#include <new>

#include "scsi_class.h"

#include <ntddscsi.h>

namespace vorka::scsiclass {

// The driver's trace routine (its own prefix).
using TraceFunction = void (*)(const char* format, ...);

struct NumberedDevice {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;  // what the device attached to
    ULONG number = 0;
};

// Creates \Device\<kind><n> with the first free n, as the class drivers name their devices, and
// attaches it above `pdo`. The caller constructs its extension, then calls CreateDeviceLink.
NTSTATUS CreateNumberedDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo, const char* kind, ULONG extensionSize,
                              DEVICE_TYPE type, TraceFunction trace, NumberedDevice* created);
// \DosDevices\<kind><n> to \Device\<kind><n>; a failure is traced, not fatal.
void CreateDeviceLink(const char* kind, ULONG number, TraceFunction trace);
void DeleteDeviceLink(const char* kind, ULONG number);

// Takes the unit attentions a device holds since power-on or an earlier reset, which belong to no
// caller, as a class driver's start does (at most four TEST UNIT READY commands).
void ClearStartupAttentions(const std::function<ScsiResult(const std::uint8_t* cdb, std::uint8_t cdbLength)>& send);
// Writes "<kind><n>" as "DeviceName" of the SCSI device map entry of the path's address.
void WriteDeviceMapName(const SCSI_ADDRESS& address, const char* kind, ULONG number, TraceFunction trace);

// Plug and Play of a path device: the start passes down first and then runs `start`; stop, surprise
// removal and removal close the gate and drain it; removal deletes the link (unless a surprise removal
// did) and the device. Every request ends below.
struct PathDevicePnp {
    PDEVICE_OBJECT lower;
    RequestGate& gate;
    const char* kind;
    ULONG number;
    TraceFunction trace;
    std::function<NTSTATUS()> start;
};
NTSTATUS DispatchPathPnp(PDEVICE_OBJECT device, PIRP irp, const PathDevicePnp& path);

// A request to a path device, as both class drivers take it: the path state query first (it is
// answered in every PnP state), then the request gate; a pass-through-direct request has its buffer
// checked and locked before any command; then the request is processed at once or, with forced
// pending I/O, later from a worker thread. What is the driver's own comes in the hooks; `answerLater`
// is asked only for a request that is about to be processed (it may draw from a seeded sequence).
template <typename Path>
struct PathRequestHooks {
    bool (*answerQuery)(Path& path, PIRP irp, NTSTATUS* answered);
    NTSTATUS (*failBeforeCommand)(Path& path, PIRP irp, NTSTATUS status);
    NTSTATUS (*process)(Path& path, PIRP irp);
    ProcessRoutine processLater;
    bool (*answerLater)(PDEVICE_OBJECT device);
};

template <typename Path>
NTSTATUS DispatchPathRequest(PDEVICE_OBJECT device, PIRP irp, Path& path, const PathRequestHooks<Path>& hooks) {
    NTSTATUS status;
    if (hooks.answerQuery(path, irp, &status)) return status;
    status = path.Gate().Enter(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
    if (!NT_SUCCESS(status)) return hooks.failBeforeCommand(path, irp, status);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        status = PreparePassThroughDirect(irp);
        if (!NT_SUCCESS(status)) {
            hooks.failBeforeCommand(path, irp, status);
            path.Gate().Leave();
            return status;
        }
    }
    if (!hooks.answerLater(device)) return hooks.process(path, irp);
    return AnswerLater(device, irp, hooks.processLater);
}

// ---- The driver object ----------------------------------------------------------------------

// Identifies the driver-object extension that holds a class driver's own state (one per image).
inline const int kDriverStateId = 0;

// Creates the driver's state `State(registryPath)` in a driver-object extension.
template <typename State>
NTSTATUS CreateDriverState(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    PVOID extension = nullptr;
    NTSTATUS status =
        IoAllocateDriverObjectExtension(driverObject, const_cast<int*>(&kDriverStateId), sizeof(State), &extension);
    if (!NT_SUCCESS(status)) return status;
    new (extension) State(registryPath);
    return STATUS_SUCCESS;
}

template <typename State>
State& DriverState(PDRIVER_OBJECT driverObject) {
    return *static_cast<State*>(IoGetDriverObjectExtension(driverObject, const_cast<int*>(&kDriverStateId)));
}

// The dispatch table of a class driver: every major function passed down, the listed ones to
// `request`, Plug and Play and power to their routines.
struct ClassDispatch {
    PDRIVER_DISPATCH passDown;
    PDRIVER_DISPATCH request;
    std::initializer_list<UCHAR> requestMajors;
    PDRIVER_DISPATCH pnp;
    PDRIVER_DISPATCH power;
    PDRIVER_ADD_DEVICE addDevice;
    PDRIVER_UNLOAD unload;
};
void SetClassDispatch(PDRIVER_OBJECT driverObject, const ClassDispatch& dispatch);

}  // namespace vorka::scsiclass
