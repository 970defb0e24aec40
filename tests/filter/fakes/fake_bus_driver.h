// What the fake bus control devices of the filter tests (vorkafakebus, vorkafakecbus) do alike:
// keep every IOC_REGISTER and IOC_NOTIFY a path filter sends, answer them as the test's script
// says, and own the status table (IRPS_WITH_STATUS) the filters learn at registration. The bus
// kind comes in as Traits: its records, request codes, device name and pool tag, and how an
// answered registration carries its number.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include <ntddk.h>

#include "defines.h"
#include "script_address.h"

namespace fakes {

// The part of a bus script both bus kinds share; Derived adds NumberFor(record), called with the
// mutex held, which names the number a registering path is answered with.
template <class Registration, class Notification>
struct BusScriptOf {
    std::mutex mutex;
    std::condition_variable registered;       // notified at every registration received
    std::vector<Registration> registrations;  // as received
    std::vector<Notification> notifications;  // as received
    std::vector<ULONG> inputLengths;          // of every request, in order

    NTSTATUS registerStatus = STATUS_SUCCESS;
    // Answer to a notification (default: accepted).
    std::function<NTSTATUS(const Notification&)> onNotify;

    PIRPS_WITH_STATUS table = nullptr;  // set by the driver while it is loaded

    // Waits until `count` registrations have arrived (one may come from a filter's own timer) or
    // `limit` has passed; returns those received.
    std::vector<Registration> AwaitRegistrations(std::size_t count, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        registered.wait_for(lock, limit, [&] { return registrations.size() >= count; });
        return registrations;
    }
};

template <class Traits>
class FakeBusDriver {
    using Script = typename Traits::Script;
    using Registration = typename Traits::Registration;
    using Notification = typename Traits::Notification;

    struct ControlExtension {
        Script* script;
    };

    static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    static NTSTATUS DispatchOpenClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

    static NTSTATUS Register(Script& script, PIRP irp, ULONG input, ULONG output) {
        if (input < sizeof(Registration) || output < sizeof(Registration)) {
            return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        }
        void* buffer = irp->AssociatedIrp.SystemBuffer;
        Registration record;
        std::memcpy(&record, buffer, sizeof record);
        NTSTATUS status;
        ULONG number;
        PIRPS_WITH_STATUS table;
        {
            std::lock_guard lock(script.mutex);
            script.registrations.push_back(record);
            status = script.registerStatus;
            number = script.NumberFor(record);
            table = script.table;
        }
        script.registered.notify_all();
        if (!NT_SUCCESS(status)) return Complete(irp, status);
        record.pBaseDriverExt = table;
        Traits::SetNumber(record, number);
        std::memcpy(buffer, &record, sizeof record);
        return Complete(irp, STATUS_SUCCESS, sizeof record);
    }

    static NTSTATUS Notify(Script& script, PIRP irp, ULONG input) {
        if (input < sizeof(Notification)) return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        Notification record;
        std::memcpy(&record, irp->AssociatedIrp.SystemBuffer, sizeof record);
        std::function<NTSTATUS(const Notification&)> decide;
        {
            std::lock_guard lock(script.mutex);
            script.notifications.push_back(record);
            decide = script.onNotify;
        }
        return Complete(irp, decide ? decide(record) : STATUS_SUCCESS);
    }

    static NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
        Script& script = *static_cast<ControlExtension*>(device->DeviceExtension)->script;
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        const ULONG input = stack->Parameters.DeviceIoControl.InputBufferLength;
        {
            std::lock_guard lock(script.mutex);
            script.inputLengths.push_back(input);
        }
        const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        if (code == Traits::kRegister) {
            return Register(script, irp, input, stack->Parameters.DeviceIoControl.OutputBufferLength);
        }
        if (code == Traits::kNotify) return Notify(script, irp, input);
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }

    static VOID Unload(PDRIVER_OBJECT driverObject) {
        PDEVICE_OBJECT device = driverObject->DeviceObject;
        if (device == nullptr) return;
        Script& script = *static_cast<ControlExtension*>(device->DeviceExtension)->script;
        PIRPS_WITH_STATUS table;
        {
            std::lock_guard lock(script.mutex);
            table = script.table;
            script.table = nullptr;
        }
        if (table != nullptr) ExFreePoolWithTag(table, Traits::kPoolTag);
        IoDeleteDevice(device);
    }

public:
    // DriverEntry: the control device under Traits::kDeviceName, with a fresh status table, serving
    // the script whose address the test left under the service's Parameters key.
    static NTSTATUS Entry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
        auto* script = reinterpret_cast<Script*>(ReadScriptAddress(ParametersOf(registryPath)));
        if (script == nullptr) return STATUS_UNSUCCESSFUL;
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, Traits::kDeviceName);
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(driverObject, sizeof(ControlExtension), &name, 0x2A, 0, FALSE, &device);
        if (!NT_SUCCESS(status)) return status;
        static_cast<ControlExtension*>(device->DeviceExtension)->script = script;
        auto* table = static_cast<PIRPS_WITH_STATUS>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(IRPS_WITH_STATUS), Traits::kPoolTag));
        if (table == nullptr) {
            IoDeleteDevice(device);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memset(table, 0, sizeof *table);
        KeInitializeSpinLock(&table->slLock);
        {
            std::lock_guard lock(script->mutex);
            script->table = table;
        }
        driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
        driverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchOpenClose;
        driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
        driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
        driverObject->DriverUnload = Unload;
        device->Flags |= DO_BUFFERED_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return STATUS_SUCCESS;
    }
};

}  // namespace fakes
