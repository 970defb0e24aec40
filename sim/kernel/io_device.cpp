// I/O manager: device and driver objects, device stacks, symbolic links,
// driver object extensions, shutdown notification, work items and remove locks.

#include <cstdio>
#include <cstring>
#include <new>

#include "kinternal.h"
#include "sim/eventlog.h"

using sim::ReportViolation;

namespace sim::k {

namespace {

constexpr std::size_t Align16(std::size_t size) { return (size + 15) & ~std::size_t(15); }

void DestroyDevice(void* body) {
    auto* device = static_cast<DEVICE_OBJECT*>(body);
    DeviceExtra* extra = ExtraOf(device);
    DRIVER_OBJECT* driver = device->DriverObject;
    extra->~DeviceExtra();
    if (driver) Dereference(driver);
}

// Pool tag of driver-object extensions (reads "IoDx").
constexpr ULONG kDriverExtensionTag = 0x78446F49;

void DestroyDriver(void* body) {
    auto* driver = static_cast<DRIVER_OBJECT*>(body);
    DriverRecord* record = RecordOf(driver);
    if (auto* impl = CurrentImpl()) {
        for (auto& [id, memory] : record->clientExtensions)
            impl->pool.free(memory, kDriverExtensionTag, "IoDeleteDriver");
    }
    record->~DriverRecord();  // releases the image: it is unloaded when nothing else holds it
}

struct DriverBody {
    DRIVER_OBJECT object;
    DRIVER_EXTENSION extension;
    alignas(16) unsigned char record[sizeof(DriverRecord)];
};

UNICODE_STRING hardwareDatabase = {
    static_cast<USHORT>(sizeof(u"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM") - 2),
    static_cast<USHORT>(sizeof(u"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM")),
    const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(u"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM"))};

void SetUnicode(UNICODE_STRING* target, std::u16string& storage) {
    target->Buffer = reinterpret_cast<PWSTR>(storage.data());
    target->Length = static_cast<USHORT>(storage.size() * 2);
    target->MaximumLength = static_cast<USHORT>(storage.size() * 2 + 2);
}

std::atomic<ULONG> autoNameCounter{0x30};

}  // namespace

_OBJECT_TYPE DeviceObjectType{"Device", nullptr, DestroyDevice};
_OBJECT_TYPE DriverObjectType{"Driver", nullptr, DestroyDriver};

bool IsDevice(const void* object) { return IsObjectOfType(object, &DeviceObjectType); }
bool IsDriver(const void* object) { return IsObjectOfType(object, &DriverObjectType); }

DeviceExtra* ExtraOf(const DEVICE_OBJECT* device) {
    return reinterpret_cast<DeviceExtra*>(device->DeviceObjectExtension);
}

DriverRecord* RecordOf(const DRIVER_OBJECT* driver) {
    return static_cast<DriverRecord*>(driver->DriverSection);
}

std::string DeviceLabel(const DEVICE_OBJECT* device) {
    std::string label = Describe(device);
    if (!device) return label;
    const DeviceExtra* extra = ExtraOf(device);
    if (extra && !extra->name.empty()) label += " (" + Narrow(extra->name) + ")";
    if (device->DriverObject) label += " of " + Narrow(RecordOf(device->DriverObject)->name);
    return label;
}

DRIVER_OBJECT* CreateDriverObject(std::u16string_view service, std::shared_ptr<DriverImage> image, bool builtIn) {
    void* body = CreateObject(&DriverObjectType, sizeof(DriverBody));
    auto* parts = static_cast<DriverBody*>(body);
    auto* record = new (parts->record) DriverRecord;
    record->service = std::u16string(service);
    record->name = (builtIn ? u"\\Driver\\" : u"\\Driver\\") + record->service;
    record->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + record->service;
    record->image = std::move(image);
    record->builtIn = builtIn;

    DRIVER_OBJECT* driver = &parts->object;
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &parts->extension;
    driver->DriverExtension->DriverObject = driver;
    SetUnicode(&driver->DriverExtension->ServiceKeyName, record->service);
    SetUnicode(&driver->DriverName, record->name);
    driver->HardwareDatabase = &hardwareDatabase;
    driver->DriverSection = record;
    if (record->image) {
        driver->DriverStart = reinterpret_cast<PVOID>(record->image->begin);
        driver->DriverSize = static_cast<ULONG>(record->image->end - record->image->begin);
        driver->DriverInit = record->image->entry;
    }
    for (auto& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
    NTSTATUS status = Kernel().names.insertObject(record->name, driver);
    if (!NT_SUCCESS(status))
        ReportViolation("driver object " + Narrow(record->name) + " cannot be named: " + Hex(ULONG(status)));
    return driver;
}

void RemoveDriverName(DRIVER_OBJECT* driver) {
    Kernel().names.removeObject(RecordOf(driver)->name, driver);
}

NTSTATUS InvalidDeviceRequest(DEVICE_OBJECT*, IRP* irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void FinishDeviceInitialization(DRIVER_OBJECT* driver) {
    std::lock_guard lock(Kernel().ioLock);
    for (DEVICE_OBJECT* device = driver->DeviceObject; device; device = device->NextDevice)
        device->Flags &= ~DO_DEVICE_INITIALIZING;
}

DeviceList::DeviceList(DRIVER_OBJECT* driver) {
    // A device still linked to its driver holds its creation reference (the unlink and the
    // release of that reference happen in that order, the unlink under this lock).
    std::lock_guard lock(Kernel().ioLock);
    for (DEVICE_OBJECT* device = driver->DeviceObject; device; device = device->NextDevice) {
        Reference(device);
        devices_.push_back(device);
    }
}

DeviceList::~DeviceList() {
    for (DEVICE_OBJECT* device : devices_) Dereference(device);
}

DEVICE_OBJECT* AttachedTop(DEVICE_OBJECT* device) {
    std::lock_guard lock(Kernel().ioLock);
    while (device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

void CompleteDeviceDeletionIfUnused(DEVICE_OBJECT* device) {
    auto& kernel = Kernel();
    {
        std::lock_guard lock(kernel.ioLock);
        DeviceExtra* extra = ExtraOf(device);
        if (!extra->deletePending || extra->unlinked || device->ReferenceCount > 0) return;
        extra->unlinked = true;
        DRIVER_OBJECT* driver = device->DriverObject;
        for (DEVICE_OBJECT** link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
            if (*link == device) {
                *link = device->NextDevice;
                break;
            }
        }
        device->NextDevice = nullptr;
    }
    PnpDeviceDeleted(device);
    Dereference(device);  // the reference the device had from its creation
}

}  // namespace sim::k

using namespace sim::k;

extern "C" {

// ---- Device objects --------------------------------------------------------------------------

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    *DeviceObject = nullptr;
    if (!IsDriver(DriverObject)) {
        ReportViolation("IoCreateDevice: " + Describe(DriverObject) + " is not a driver object");
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name = FromUnicodeString(DeviceName);
    if (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
        char text[32];
        std::snprintf(text, sizeof text, "\\Device\\%08x", autoNameCounter.fetch_add(1));
        name = Widen(text);
    }

    const std::size_t extensionOffset = Align16(sizeof(DEVICE_OBJECT));
    const std::size_t extraOffset = extensionOffset + Align16(DeviceExtensionSize);
    void* body = CreateObject(&DeviceObjectType, extraOffset + sizeof(DeviceExtra));
    auto* device = static_cast<DEVICE_OBJECT*>(body);
    auto* extra = new (static_cast<char*>(body) + extraOffset) DeviceExtra;
    extra->pub.Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
    extra->pub.Size = sizeof(DEVOBJ_EXTENSION);
    extra->pub.DeviceObject = device;
    extra->name = name;
    // A named device can be opened by anyone the default of its type lets in until its driver
    // sets a descriptor of its own; an unnamed one cannot be opened by name and has none.
    if (!name.empty()) extra->security = DefaultDeviceSecurity(DeviceType, DeviceCharacteristics);

    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->ReferenceCount = 0;
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    device->Characteristics = DeviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
    device->DeviceExtension = DeviceExtensionSize ? static_cast<char*>(body) + extensionOffset : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->AlignmentRequirement = 0;
    device->SectorSize = (DeviceType == FILE_DEVICE_DISK || DeviceType == FILE_DEVICE_CD_ROM) ? 512 : 0;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    InitializeListHead(&device->Queue.ListEntry);
    device->DeviceObjectExtension = &extra->pub;

    if (!name.empty()) {
        NTSTATUS status = Kernel().names.insertObject(name, device);
        if (!NT_SUCCESS(status)) {
            extra->name.clear();
            device->DriverObject = nullptr;
            Dereference(device);
            return status;
        }
    }
    Reference(DriverObject);
    {
        std::lock_guard lock(Kernel().ioLock);
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    if (!IsDevice(DeviceObject)) {
        ReportViolation("IoDeleteDevice: " + Describe(DeviceObject) + " is not a device object");
        return;
    }
    auto& kernel = Kernel();
    DeviceExtra* extra = ExtraOf(DeviceObject);
    std::u16string name;
    {
        std::lock_guard lock(kernel.ioLock);
        if (extra->deletePending) {
            ReportViolation("IoDeleteDevice: device " + DeviceLabel(DeviceObject) + " deleted twice");
            return;
        }
        if (extra->attachedTo)
            ReportViolation("IoDeleteDevice: device " + DeviceLabel(DeviceObject) +
                            " is still attached to a lower device (IoDetachDevice first)");
        extra->deletePending = true;
        name = extra->name;
    }
    if (extra->shutdownRegistered) IoUnregisterShutdownNotification(DeviceObject);
    // The name goes at once; the object stays while files are open on it.
    if (!name.empty()) kernel.names.removeObject(name, DeviceObject);
    CompleteDeviceDeletionIfUnused(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    PDEVICE_OBJECT attachedTo = nullptr;
    IoAttachDeviceToDeviceStackSafe(SourceDevice, TargetDevice, &attachedTo);
    return attachedTo;
}

NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                         PDEVICE_OBJECT* AttachedToDeviceObject) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    *AttachedToDeviceObject = nullptr;
    if (!IsDevice(SourceDevice) || !IsDevice(TargetDevice)) {
        ReportViolation("IoAttachDeviceToDeviceStack: not a device object");
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard lock(Kernel().ioLock);
    if (ExtraOf(SourceDevice)->attachedTo) {
        ReportViolation("IoAttachDeviceToDeviceStack: device " + DeviceLabel(SourceDevice) + " is already attached");
        return STATUS_INVALID_PARAMETER;
    }
    DEVICE_OBJECT* top = TargetDevice;
    while (top->AttachedDevice) top = top->AttachedDevice;
    DeviceExtra* topExtra = ExtraOf(top);
    if (topExtra->deletePending || topExtra->removeProcessed) return STATUS_NO_SUCH_DEVICE;
    // The attachment keeps the lower device object alive: a lower driver deletes its device
    // on removal before the driver above detaches from it.
    Reference(top);
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    ExtraOf(SourceDevice)->attachedTo = top;
    *AttachedToDeviceObject = top;
    return STATUS_SUCCESS;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
    if (!IsDevice(TargetDevice)) {
        ReportViolation("IoDetachDevice: " + Describe(TargetDevice) + " is not a device object");
        return;
    }
    {
        std::lock_guard lock(Kernel().ioLock);
        DEVICE_OBJECT* above = TargetDevice->AttachedDevice;
        if (!above) {
            ReportViolation("IoDetachDevice: nothing is attached to device " + DeviceLabel(TargetDevice));
            return;
        }
        ExtraOf(above)->attachedTo = nullptr;
        TargetDevice->AttachedDevice = nullptr;
    }
    CompleteDeviceDeletionIfUnused(TargetDevice);
    Dereference(TargetDevice);  // the attachment's reference
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) { return AttachedTop(DeviceObject); }

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard lock(Kernel().ioLock);
    DEVICE_OBJECT* top = DeviceObject;
    while (top->AttachedDevice) top = top->AttachedDevice;
    Reference(top);
    return top;
}

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard lock(Kernel().ioLock);
    DEVICE_OBJECT* lower = ExtraOf(DeviceObject)->attachedTo;
    if (lower) Reference(lower);
    return lower;
}

// ---- Symbolic links ----------------------------------------------------------------------------

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    return Kernel().names.insertLink(FromUnicodeString(SymbolicLinkName), FromUnicodeString(DeviceName));
}

NTSTATUS IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    return IoCreateSymbolicLink(SymbolicLinkName, DeviceName);
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    return Kernel().names.removeLink(FromUnicodeString(SymbolicLinkName));
}

// ---- Driver object extensions ----------------------------------------------------------------------

NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress,
                                         ULONG DriverObjectExtensionSize, PVOID* DriverObjectExtension) {
    *DriverObjectExtension = nullptr;
    if (!IsDriver(DriverObject)) {
        ReportViolation("IoAllocateDriverObjectExtension: " + Describe(DriverObject) + " is not a driver object");
        return STATUS_INVALID_PARAMETER;
    }
    DriverRecord* record = RecordOf(DriverObject);
    std::lock_guard lock(Kernel().ioLock);
    if (record->clientExtensions.count(ClientIdentificationAddress)) return STATUS_OBJECT_NAME_COLLISION;
    // Non-paged pool owned by the kernel (it goes with the driver object), so that a driver's
    // handling of a failed allocation can be tested by injecting pool failures.
    void* memory = Kernel().pool.allocate(NonPagedPool, DriverObjectExtensionSize, kDriverExtensionTag,
                                          reinterpret_cast<const void*>(&IoAllocateDriverObjectExtension), true);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    record->clientExtensions[ClientIdentificationAddress] = memory;
    *DriverObjectExtension = memory;
    return STATUS_SUCCESS;
}

PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress) {
    if (!IsDriver(DriverObject)) return nullptr;
    DriverRecord* record = RecordOf(DriverObject);
    std::lock_guard lock(Kernel().ioLock);
    auto it = record->clientExtensions.find(ClientIdentificationAddress);
    return it == record->clientExtensions.end() ? nullptr : it->second;
}

// ---- Shutdown notification, WMI ----------------------------------------------------------------------

NTSTATUS IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
    auto& kernel = Kernel();
    std::lock_guard lock(kernel.shutdownMutex);
    ExtraOf(DeviceObject)->shutdownRegistered = true;
    DeviceObject->Flags |= DO_SHUTDOWN_REGISTERED;
    Reference(DeviceObject);
    kernel.shutdownNotifications.push_back(DeviceObject);
    return STATUS_SUCCESS;
}

VOID IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
    auto& kernel = Kernel();
    std::vector<DEVICE_OBJECT*> removed;
    {
        std::lock_guard lock(kernel.shutdownMutex);
        auto& list = kernel.shutdownNotifications;
        for (auto it = list.begin(); it != list.end();) {
            if (*it == DeviceObject) {
                removed.push_back(*it);
                it = list.erase(it);
            } else {
                ++it;
            }
        }
        ExtraOf(DeviceObject)->shutdownRegistered = false;
        DeviceObject->Flags &= ~DO_SHUTDOWN_REGISTERED;
    }
    for (DEVICE_OBJECT* device : removed) Dereference(device);
}

NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) { return STATUS_SUCCESS; }

// ---- Work items ----------------------------------------------------------------------------------------

}  // extern "C"

struct _IO_WORKITEM {
    DEVICE_OBJECT* device;
    std::atomic<bool> queued;
};

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    void* memory = sim::PoolAllocate(NonPagedPool, sizeof(_IO_WORKITEM), sim::PoolTag("IoWk"),
                                     __builtin_return_address(0));
    if (!memory) return nullptr;
    auto* item = new (memory) _IO_WORKITEM{DeviceObject, {false}};
    return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    if (IoWorkItem->queued.load())
        ReportViolation("IoFreeWorkItem: work item " + Describe(IoWorkItem) + " is still queued");
    IoWorkItem->~_IO_WORKITEM();
    ExFreePoolWithTag(IoWorkItem, sim::PoolTag("IoWk"));
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    if (IoWorkItem->queued.exchange(true)) {
        ReportViolation("IoQueueWorkItem: work item " + Describe(IoWorkItem) + " is already queued");
        return;
    }
    DEVICE_OBJECT* device = IoWorkItem->device;
    Reference(device);  // the device (and its driver) stays while the item waits
    Kernel().worker->post([IoWorkItem, WorkerRoutine, device, Context] {
        IoWorkItem->queued.store(false);
        WorkerRoutine(device, Context);
        auto& state = Current();
        if (state.irql != PASSIVE_LEVEL || state.spinLocksHeld)
            ReportViolation("work item routine " + Describe(reinterpret_cast<void*>(WorkerRoutine)) +
                            " returned at IRQL " + std::to_string(state.irql) + " holding " +
                            std::to_string(state.spinLocksHeld) + " spin lock(s)");
        state.irql = PASSIVE_LEVEL;
        state.spinLocksHeld = 0;
        Dereference(device);
    });
}

// ---- Remove locks ------------------------------------------------------------------------------------------

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes, ULONG HighWatermark,
                              ULONG RemlockSize) {
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize) {
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) {
        if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
            KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    LONG left = InterlockedDecrement(&RemoveLock->Common.IoCount);
    if (left < 0) ReportViolation("IoReleaseRemoveLock: released more often than acquired");
    if (left == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWait");
    __atomic_store_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST);
    InterlockedDecrement(&RemoveLock->Common.IoCount);  // the caller's own acquisition
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

}  // extern "C"
