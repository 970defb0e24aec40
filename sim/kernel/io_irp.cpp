// I/O request packets: allocation and tracking, IofCallDriver, the
// completion unwinding of IofCompleteRequest with the I/O manager's final
// part for threaded requests, the IoBuild* requests, cancellation and the
// power pass-through routines.

#include <cstring>
#include <new>

#include "kinternal.h"
#include "quarantine.h"

using sim::ReportViolation;

namespace sim::k {

namespace {

// Every IRP allocated by the kernel is on one list while it lives; freed IRPs
// stay in a quarantine for a while so that later use is recognised.
struct IrpTracker {
    std::mutex mutex;
    IrpHeader head;
    std::deque<IrpHeader*> quarantine;
    IrpTracker() { head.prev = head.next = &head; }
};

IrpTracker& Tracker() {
    static IrpTracker* tracker = new IrpTracker;  // immortal: IRPs may outlive a machine
    return *tracker;
}

constexpr std::size_t kQuarantine = 1024;
static_assert(sizeof(IrpHeader) % 16 == 0, "IRPs stay 16-byte aligned");

std::uint32_t CurrentGeneration() {
    auto* impl = CurrentImpl();
    return impl ? impl->generation : 0;
}

IRP* NewIrp(CCHAR stackSize, const void* caller, const char* routine) {
    if (stackSize < 0) stackSize = 0;
    const USHORT size = IoSizeOfIrp(stackSize);
    if (PoolShouldFail(NonPagedPool, size, sim::PoolTag("Irp "), caller)) return nullptr;
    void* memory = ::operator new(sizeof(IrpHeader) + size, std::align_val_t(16));
    auto* header = new (memory) IrpHeader;
    header->generation = CurrentGeneration();
    header->allocationSize = size;
    std::shared_ptr<DriverImage> image = ImageOfAddress(caller);
    header->owner = image.get();
    header->ownerName = OwnerNameOf(image.get());
    IRP* irp = header->irp();
    IoInitializeIrp(irp, size, stackSize);
    irp->AllocationFlags = IRP_ALLOCATED_FIXED_SIZE;
    auto& tracker = Tracker();
    std::lock_guard lock(tracker.mutex);
    header->next = &tracker.head;
    header->prev = tracker.head.prev;
    tracker.head.prev->next = header;
    tracker.head.prev = header;
    return irp;
}

void FreeIrpNow(IRP* irp) {
    IrpHeader* header = IrpHeaderOf(irp);
    auto& tracker = Tracker();
    IrpHeader* evicted = nullptr;
    {
        std::lock_guard lock(tracker.mutex);
        header->prev->next = header->next;
        header->next->prev = header->prev;
        header->prev = header->next = nullptr;
        header->state = IrpHeader::kFreed;
        std::memset(irp, 0xDD, header->allocationSize);
        Poison(irp, header->allocationSize);  // the header stays readable for the checks
        tracker.quarantine.push_back(header);
        // An IRP whose IofCallDriver has not returned yet keeps its header: the call still
        // checks what its dispatch routine did.
        for (std::size_t turns = tracker.quarantine.size(); tracker.quarantine.size() > kQuarantine && turns; --turns) {
            IrpHeader* oldest = tracker.quarantine.front();
            tracker.quarantine.pop_front();
            if (oldest->pins.load() == 0) {
                evicted = oldest;
                break;
            }
            tracker.quarantine.push_back(oldest);
        }
    }
    if (evicted) {
        Unpoison(evicted->irp(), evicted->allocationSize);
        evicted->~IrpHeader();
        ::operator delete(evicted, std::align_val_t(16));
    }
}

std::string IrpLabel(const IRP* irp) {
    std::string label = "IRP " + Describe(irp);
    IrpHeader* header = IrpHeaderOf(irp);
    if (header->state == IrpHeader::kLive && irp->StackCount > 0) {
        const IO_STACK_LOCATION* first = reinterpret_cast<const IO_STACK_LOCATION*>(irp + 1);
        int index = irp->CurrentLocation - 1;
        if (index >= 0 && index < irp->StackCount)
            label += " (major " + Hex(first[index].MajorFunction) + ", minor " + Hex(first[index].MinorFunction) + ")";
    }
    label += " allocated by " + header->ownerName;
    return label;
}

std::string RoutineLabel(const void* routine) {
    auto image = ImageOfAddress(routine);
    return Describe(routine) + " in " + OwnerNameOf(image.get());
}

// ---- The pending rules --------------------------------------------------------------------
//
// A dispatch routine either returns STATUS_PENDING, and then its stack location must be marked
// pending (IoMarkIrpPending) by the time the completion passes it, or it returns the status the
// request was completed with, after the completion has passed its location. Both halves are
// known at different moments (the completion may run on another thread before or after the
// routine returns), so each location keeps a record and whichever comes second checks it.

// `what` names the routine and the location; it is only called to word a report, so that a
// request that keeps the rules costs no text.
template <class Label>
void CheckLocationLocked(const IrpHeader::Location& record, const Label& what) {
    if (!record.returned || !record.completed) return;
    if (record.returnedPending && !record.markedPending)
        ReportViolation(what() + " returned STATUS_PENDING without marking the request pending (IoMarkIrpPending)");
    else if (!record.returnedPending && record.markedPending)
        ReportViolation(what() + " marked the request pending but returned " + Hex(ULONG(record.returnedStatus)) +
                        " instead of STATUS_PENDING");
    else if (!record.returnedPending && record.returnedStatus != record.completedStatus)
        ReportViolation(what() + " returned " + Hex(ULONG(record.returnedStatus)) +
                        " but completed the request with " + Hex(ULONG(record.completedStatus)));
}

std::string LocationLabel(IrpHeader* header, int location) {
    return "IRP " + Describe(header->irp()) + " allocated by " + header->ownerName + ", stack location " +
           std::to_string(location);
}

// The completion passes stack location `location` with `control`.
void NoteCompletedThrough(IrpHeader* header, int location, UCHAR control, NTSTATUS status) {
    std::lock_guard lock(header->locationMutex);
    if (location < 0 || std::size_t(location) >= header->locations.size()) return;
    auto& record = header->locations[location];
    if (record.call == 0 || record.completed) return;
    record.completed = true;
    record.markedPending = (control & SL_PENDING_RETURNED) != 0;
    record.completedStatus = status;
    if (record.returned)
        CheckLocationLocked(record, [&] {
            return "dispatch routine " + RoutineLabel(record.routine) + " for major " + Hex(record.major) + " (" +
                   LocationLabel(header, location) + ")";
        });
}

// The I/O manager's part of completing a threaded request: buffered output
// back to the caller, buffers and MDLs released, status block and event set,
// the IRP freed.
void FinishThreadedIrp(IRP* irp) {
    IrpHeader* header = IrpHeaderOf(irp);
    // A canceller holds this lock while it cancels an asynchronous request: the request
    // is not freed under it.
    std::unique_lock<std::recursive_mutex> asyncLock;
    if (header->async)
        if (auto* impl = CurrentImpl()) asyncLock = std::unique_lock(impl->asyncMutex);
    const NTSTATUS status = irp->IoStatus.Status;
    if (irp->Flags & IRP_BUFFERED_IO) {
        if ((irp->Flags & IRP_INPUT_OPERATION) && status != STATUS_VERIFY_REQUIRED && !NT_ERROR(status)) {
            ULONG_PTR count = irp->IoStatus.Information;
            if (count > header->outputLength) {
                ReportViolation(IrpLabel(irp) + " completed with Information " + std::to_string(count) +
                                ", more than the caller's output buffer of " + std::to_string(header->outputLength) +
                                " bytes; only the buffer is filled");
                count = header->outputLength;
            }
            if (count && irp->UserBuffer && irp->AssociatedIrp.SystemBuffer)
                std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, count);
        }
        if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer) {
            ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, 0);
            irp->AssociatedIrp.SystemBuffer = nullptr;
        }
    }
    for (PMDL mdl = irp->MdlAddress; mdl;) {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;
    // A request that failed at once, without ever being pending, is over when IoCallDriver
    // returns its status: Windows then writes no status block and sets no event.
    const bool failedAtOnce = NT_ERROR(status) && !irp->PendingReturned;
    if (irp->UserIosb && !failedAtOnce) {
        // An application may poll its OVERLAPPED while the request goes on (HasOverlappedIoCompleted):
        // the byte count first, then the status that publishes it.
        IO_STATUS_BLOCK* iosb = irp->UserIosb;
        __atomic_store_n(&iosb->Information, irp->IoStatus.Information, __ATOMIC_RELAXED);
        __atomic_store_n(reinterpret_cast<ULONG_PTR*>(&iosb->Pointer),
                         static_cast<ULONG_PTR>(static_cast<ULONG>(irp->IoStatus.Status)), __ATOMIC_RELEASE);
    }
    FILE_OBJECT* file = irp->Tail.Overlay.OriginalFileObject;
    if (!failedAtOnce || header->kernelWaits) {
        if (irp->UserEvent) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
        else if (file) KeSetEvent(&file->Event, IO_NO_INCREMENT, FALSE);
    }
    bool dropFile = header->holdsFileReference && file;
    void* eventObject = header->eventObject;
    if (header->async) ForgetAsyncRequest(irp);
    FreeIrpNow(irp);
    if (asyncLock.owns_lock()) asyncLock.unlock();
    if (dropFile) Dereference(file);
    if (eventObject) Dereference(eventObject);
}

}  // namespace

IrpHeader* IrpHeaderOf(const IRP* irp) {
    return const_cast<IrpHeader*>(reinterpret_cast<const IrpHeader*>(irp) - 1);
}

bool CheckIrp(const IRP* irp, const char* routine) {
    if (!irp) {
        ReportViolation(std::string(routine) + ": NULL IRP");
        return false;
    }
    IrpHeader* header = IrpHeaderOf(irp);
    if (header->state == IrpHeader::kLive) return true;
    if (header->state == IrpHeader::kFreed)
        ReportViolation(std::string(routine) + ": IRP " + Describe(irp) + " (allocated by " + header->ownerName +
                        ") was already freed");
    else
        ReportViolation(std::string(routine) + ": " + Describe(irp) + " is not an IRP of this kernel");
    return false;
}

IRP* AllocateIrpFor(CCHAR stackSize, const void* caller) {
    IRP* irp = NewIrp(stackSize, caller, "I/O manager");
    if (!irp) return nullptr;
    IrpHeaderOf(irp)->builtByIoManager = true;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(CurrentThreadObject());
    return irp;
}

std::vector<IrpHeader*> TakeLiveIrps(const DriverImage* image, std::uint32_t generation, bool all) {
    auto& tracker = Tracker();
    std::vector<IrpHeader*> out;
    std::lock_guard lock(tracker.mutex);
    for (IrpHeader* header = tracker.head.next; header != &tracker.head; header = header->next) {
        if (header->reported || header->generation != generation) continue;
        if (!all && header->owner != image) continue;
        header->reported = true;
        out.push_back(header);
    }
    return out;
}

NTSTATUS SendSync(DEVICE_OBJECT* target, const SyncRequest& request, ULONG_PTR* information) {
    IRP* irp = AllocateIrpFor(target->StackSize, nullptr);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IrpHeaderOf(irp)->kernelWaits = true;
    irp->RequestorMode = request.mode;
    irp->Flags |= request.flags;
    irp->IoStatus.Status = request.initialStatus;
    irp->IoStatus.Information = 0;
    irp->Tail.Overlay.OriginalFileObject = request.fileObject;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    irp->UserEvent = &event;
    irp->UserIosb = &iosb;
    IO_STACK_LOCATION* stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = request.major;
    stack->MinorFunction = request.minor;
    stack->FileObject = request.fileObject;
    if (request.setup) request.setup(irp, stack);
    NTSTATUS status;
    if (request.atDispatchLevel) {
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        status = IofCallDriver(target, irp);
        KfLowerIrql(old);
    } else {
        status = IofCallDriver(target, irp);
    }
    // A routine that broke the pending rules has been reported by IofCallDriver; the request
    // is waited for all the same, as its completion writes to this frame.
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    if (status == STATUS_PENDING) status = iosb.Status;
    if (information) *information = iosb.Status == STATUS_PENDING ? 0 : iosb.Information;
    return status;
}

}  // namespace sim::k

using namespace sim::k;

static KSPIN_LOCK cancelSpinLock = 0;

extern "C" {

// ---- Allocation ------------------------------------------------------------------------------

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    return NewIrp(StackSize, __builtin_return_address(0), "IoAllocateIrp");
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    std::memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->RequestorMode = KernelMode;
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

VOID IoFreeIrp(PIRP Irp) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    if (!CheckIrp(Irp, "IoFreeIrp")) return;
    if (Irp->CancelRoutine)
        ReportViolation("IoFreeIrp: " + IrpLabel(Irp) + " still has a cancel routine set");
    FreeIrpNow(Irp);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    if (!CheckIrp(Irp, "IoReuseIrp")) return;
    if (Irp->CancelRoutine) ReportViolation("IoReuseIrp: " + IrpLabel(Irp) + " still has a cancel routine set");
    const UCHAR allocationFlags = Irp->AllocationFlags;
    {
        IrpHeader* header = IrpHeaderOf(Irp);
        std::lock_guard lock(header->locationMutex);
        for (auto& record : header->locations) record = IrpHeader::Location{};
    }
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
}

// ---- Calling a driver -------------------------------------------------------------------------------

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!CheckIrp(Irp, "IofCallDriver")) return STATUS_INVALID_PARAMETER;
    auto& state = Current();
    if (state.irql > DISPATCH_LEVEL)
        ReportViolation("IofCallDriver called at IRQL " + std::to_string(state.irql) + " (the most allowed is 2)");
    if (!IsDevice(DeviceObject)) {
        ReportViolation("IofCallDriver: " + Describe(DeviceObject) + " is not a device object");
        return STATUS_INVALID_PARAMETER;
    }
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0)
        KeBugCheckEx(NO_MORE_IRP_STACK_LOCATIONS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0);
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    const UCHAR major = stack->MajorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        ReportViolation("IofCallDriver: major function " + Hex(major) + " sent to " + DeviceLabel(DeviceObject));
        return InvalidDeviceRequest(DeviceObject, Irp);
    }
    DRIVER_OBJECT* driver = DeviceObject->DriverObject;
    if (RecordOf(driver)->unloadCalled && !ExtraOf(DeviceObject)->deletePending)
        ReportViolation("IofCallDriver: request sent to " + DeviceLabel(DeviceObject) + " after its driver unloaded");
    const KIRQL irql = state.irql;
    const int spinLocks = state.spinLocksHeld;
    const int critical = state.criticalRegion;
    const int guarded = state.guardedRegion;
    const int mutexes = state.mutexesHeld;
    IrpHeader* header = IrpHeaderOf(Irp);
    const int location = Irp->CurrentLocation;
    std::uint32_t call;
    header->pins++;
    {
        std::lock_guard lock(header->locationMutex);
        if (header->locations.size() < std::size_t(Irp->StackCount) + 2) header->locations.resize(Irp->StackCount + 2);
        call = ++header->calls;
        PDRIVER_DISPATCH routine = driver->MajorFunction[major];
        header->locations[location] = IrpHeader::Location{call, reinterpret_cast<const void*>(routine), major};
    }
    PDRIVER_DISPATCH dispatch = driver->MajorFunction[major];
    NTSTATUS status = dispatch(DeviceObject, Irp);
    // From here on the request may be completed and freed: only the header is used.
    {
        std::lock_guard lock(header->locationMutex);
        auto& record = header->locations[location];
        if (record.call == call) {  // else the request was sent to this location again meanwhile
            record.returned = true;
            record.returnedPending = status == STATUS_PENDING;
            record.returnedStatus = status;
            const auto what = [&] {
                return "dispatch routine " + RoutineLabel(reinterpret_cast<void*>(dispatch)) + " for major " +
                       Hex(major) + " (" + LocationLabel(header, location) + ")";
            };
            if (!record.completed && status != STATUS_PENDING)
                ReportViolation(what() + " returned " + Hex(ULONG(status)) +
                                " without completing the request and without STATUS_PENDING");
            CheckLocationLocked(record, what);
        }
    }
    header->pins--;
    // A KMUTEX counts in the critical region depth too; it has its own report below.
    if (state.irql != irql || state.spinLocksHeld != spinLocks ||
        state.criticalRegion - state.mutexesHeld != critical - mutexes) {
        ReportViolation("dispatch routine " + RoutineLabel(reinterpret_cast<void*>(dispatch)) +
                        " for major " + Hex(major) + " returned at IRQL " + std::to_string(state.irql) +
                        " with " + std::to_string(state.spinLocksHeld) + " spin lock(s) and critical region depth " +
                        std::to_string(state.criticalRegion) + " (called at IRQL " + std::to_string(irql) + ", " +
                        std::to_string(spinLocks) + ", " + std::to_string(critical) + ")");
    }
    if (state.mutexesHeld != mutexes)
        ReportViolation("dispatch routine " + RoutineLabel(reinterpret_cast<void*>(dispatch)) + " for major " +
                        Hex(major) + " returned holding " + std::to_string(state.mutexesHeld) +
                        " KMUTEX(es) (called holding " + std::to_string(mutexes) + ")");
    if (state.guardedRegion != guarded)
        ReportViolation("dispatch routine " + RoutineLabel(reinterpret_cast<void*>(dispatch)) + " for major " +
                        Hex(major) + " returned in guarded region depth " + std::to_string(state.guardedRegion) +
                        " (called at depth " + std::to_string(guarded) + ")");
    return status;
}

// ---- Completion --------------------------------------------------------------------------------------

static void ClearStackLocation(PIO_STACK_LOCATION stack) {
    stack->MinorFunction = 0;
    stack->Flags = 0;
    stack->Control = 0;
    stack->Parameters.Others.Argument1 = nullptr;
    stack->Parameters.Others.Argument2 = nullptr;
    stack->Parameters.Others.Argument3 = nullptr;
    stack->Parameters.Others.Argument4 = nullptr;
    stack->FileObject = nullptr;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    if (!CheckIrp(Irp, "IofCompleteRequest")) return;
    auto& state = Current();
    if (state.irql > DISPATCH_LEVEL)
        ReportViolation("IofCompleteRequest called at IRQL " + std::to_string(state.irql) +
                        " (the most allowed is 2)");
    if (Irp->CurrentLocation > Irp->StackCount) {
        ReportViolation("IofCompleteRequest: " + IrpLabel(Irp) +
                        " has no stack location left to complete: it was completed twice (or completed by "
                        "the driver that allocated it)");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        ReportViolation("IofCompleteRequest: " + IrpLabel(Irp) + " completed with status STATUS_PENDING");
    if (Irp->CancelRoutine) {
        ReportViolation("IofCompleteRequest: " + IrpLabel(Irp) + " completed with its cancel routine still set");
        Irp->CancelRoutine = nullptr;
    }

    IrpHeader* header = IrpHeaderOf(Irp);
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    for (Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++;
         Irp->CurrentLocation <= Irp->StackCount + 1;
         stack++, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        const NTSTATUS status = Irp->IoStatus.Status;
        const UCHAR control = stack->Control;
        NoteCompletedThrough(header, Irp->CurrentLocation - 1, control, status);
        if ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
            (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
            (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL))) {
            PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
            PVOID context = stack->Context;
            ClearStackLocation(stack);
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            if (!routine) {
                ReportViolation("IofCompleteRequest: " + IrpLabel(Irp) + " asks for a NULL completion routine");
                continue;
            }
            const KIRQL irql = state.irql;
            const int spinLocks = state.spinLocksHeld;
            NTSTATUS result = routine(device, Irp, context);
            if (state.irql != irql || state.spinLocksHeld != spinLocks)
                ReportViolation("completion routine " + RoutineLabel(reinterpret_cast<void*>(routine)) +
                                " returned at IRQL " + std::to_string(state.irql) + " with " +
                                std::to_string(state.spinLocksHeld) + " spin lock(s) (called at IRQL " +
                                std::to_string(irql) + ", " + std::to_string(spinLocks) + ")");
            if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
            ClearStackLocation(stack);
        }
    }

    // Completed all the way up: the I/O manager's part. A request that belongs to no
    // thread has nobody to finish it: its allocator had to stop the completion.
    if (!Irp->Tail.Overlay.Thread) {
        ReportViolation("IofCompleteRequest: " + IrpLabel(Irp) +
                        " was completed to the top but belongs to no thread: the driver that allocated it "
                        "must return STATUS_MORE_PROCESSING_REQUIRED from its completion routine and free it");
        return;
    }
    FinishThreadedIrp(Irp);
}

// ---- Requests built for a caller ------------------------------------------------------------------------

static bool AttachDirectBuffer(PIRP irp, PVOID buffer, ULONG length, LOCK_OPERATION operation, KPROCESSOR_MODE mode) {
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
    if (!mdl) return false;
    bool locked = NT_SUCCESS(LockMdlPages(mdl, mode, operation));
    if (!locked) {
        irp->MdlAddress = nullptr;
        IoFreeMdl(mdl);
    }
    return locked;
}

// An IRP that a kernel caller builds and the I/O manager completes and frees: kernel mode, with
// the caller's event and status block.
static PIRP AllocateBuiltIrp(PDEVICE_OBJECT DeviceObject, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock,
                             const void* caller) {
    PIRP irp = AllocateIrpFor(DeviceObject->StackSize, caller);
    if (!irp) return nullptr;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    return irp;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    PIRP irp = AllocateBuiltIrp(DeviceObject, Event, IoStatusBlock, __builtin_return_address(0));
    if (!irp) return nullptr;
    IrpHeader* header = IrpHeaderOf(irp);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        ULONG size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (size) {
            void* buffer = sim::PoolAllocate(NonPagedPool, size, sim::PoolTag("IoSB"), nullptr);
            if (!buffer) {
                FreeIrpNow(irp);
                return nullptr;
            }
            if (InputBuffer && InputBufferLength) std::memcpy(buffer, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (OutputBuffer) irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = OutputBuffer;
        header->outputLength = OutputBufferLength;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBuffer && InputBufferLength) {
            void* buffer = sim::PoolAllocate(NonPagedPool, InputBufferLength, sim::PoolTag("IoSB"), nullptr);
            if (!buffer) {
                FreeIrpNow(irp);
                return nullptr;
            }
            std::memcpy(buffer, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (OutputBuffer && OutputBufferLength) {
            LOCK_OPERATION operation =
                METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess;
            if (!AttachDirectBuffer(irp, OutputBuffer, OutputBufferLength, operation, KernelMode)) {
                if (irp->AssociatedIrp.SystemBuffer) ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, 0);
                FreeIrpNow(irp);
                return nullptr;
            }
        }
        break;
    case METHOD_NEITHER:
        stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    return irp;
}

static PIRP BuildFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                            PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock,
                            const void* caller) {
    PIRP irp = AllocateBuiltIrp(DeviceObject, Event, IoStatusBlock, caller);
    if (!irp) return nullptr;
    IrpHeader* header = IrpHeaderOf(irp);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        stack->Parameters.Read.Length = Length;
        if (StartingOffset) stack->Parameters.Read.ByteOffset = *StartingOffset;
        if (Length && (DeviceObject->Flags & DO_BUFFERED_IO)) {
            void* buffer = sim::PoolAllocate(NonPagedPool, Length, sim::PoolTag("IoSB"), nullptr);
            if (!buffer) {
                FreeIrpNow(irp);
                return nullptr;
            }
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (MajorFunction == IRP_MJ_WRITE) {
                std::memcpy(buffer, Buffer, Length);
            } else {
                irp->Flags |= IRP_INPUT_OPERATION;
                irp->UserBuffer = Buffer;
                header->outputLength = Length;
            }
        } else if (Length && (DeviceObject->Flags & DO_DIRECT_IO)) {
            if (!AttachDirectBuffer(irp, Buffer, Length, MajorFunction == IRP_MJ_READ ? IoWriteAccess : IoReadAccess,
                                    KernelMode)) {
                FreeIrpNow(irp);
                return nullptr;
            }
        } else {
            irp->UserBuffer = Buffer;
        }
        irp->Flags |= MajorFunction == IRP_MJ_READ ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    }
    return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest");
    return BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, Event, IoStatusBlock,
                           __builtin_return_address(0));
}

PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                   PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "IoBuildAsynchronousFsdRequest");
    return BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, nullptr, IoStatusBlock,
                           __builtin_return_address(0));
}

// ---- Cancellation -------------------------------------------------------------------------------------------

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&cancelSpinLock); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&cancelSpinLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
    if (!CheckIrp(Irp, "IoCancelIrp")) return FALSE;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        IoReleaseCancelSpinLock(irql);
        ReportViolation("IoCancelIrp: " + IrpLabel(Irp) + " has a cancel routine but no current stack location");
        return FALSE;
    }
    Irp->CancelIrql = irql;
    // The cancel routine releases the cancel spin lock.
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

// ---- Requestor ------------------------------------------------------------------------------------------------

static ProcessState* RequestorOf(PIRP Irp) {
    if (!Irp) return CurrentProcess();
    if (!CheckIrp(Irp, "IoIs32bitProcess")) return nullptr;
    if (Irp->RequestorMode != UserMode) return nullptr;
    IrpHeader* header = IrpHeaderOf(Irp);
    if (header->process) return header->process;
    if (auto* thread = reinterpret_cast<_KTHREAD*>(Irp->Tail.Overlay.Thread)) return thread->process.load();
    return nullptr;
}

BOOLEAN IoIs32bitProcess(PIRP Irp) {
    ProcessState* process = RequestorOf(Irp);
    return process && process->is32Bit ? TRUE : FALSE;
}

PEPROCESS IoGetRequestorProcess(PIRP Irp) {
    ProcessState* process = Irp ? RequestorOf(Irp) : CurrentProcess();
    if (!process && Irp && Irp->RequestorMode == KernelMode) process = SystemProcess();
    return process ? process->object : nullptr;
}

PEPROCESS IoGetCurrentProcess(VOID) {
    ProcessState* process = CurrentProcess();
    return (process ? process : SystemProcess())->object;
}

// ---- Power ------------------------------------------------------------------------------------------------------

VOID PoStartNextPowerIrp(PIRP Irp) { CheckIrp(Irp, "PoStartNextPowerIrp"); }

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    POWER_STATE old;
    old.DeviceState = PowerDeviceD0;
    return old;
}

}  // extern "C"
