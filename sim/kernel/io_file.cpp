// File objects: opening a device by name (IRP_MJ_CREATE to the top of its
// stack), the cleanup request when the last handle goes and the close request
// when the last reference goes, IoGetDeviceObjectPointer, and the synchronous
// user-mode requests of the process system services.

#include <algorithm>
#include <cstring>
#include <new>

#include "kinternal.h"

using sim::ReportViolation;

namespace sim::k {

namespace {

struct FileBody {
    FILE_OBJECT object;
    alignas(16) unsigned char extra[sizeof(FileExtra)];
};

// The file name storage lives behind the kernel data.
struct FileExtraWithName : FileExtra {
    std::u16string name;
};

void CloseLastHandle(void* body) {
    auto* file = static_cast<FILE_OBJECT*>(body);
    FileExtra* extra = FileExtraOf(file);
    if (!extra->opened || extra->cleanedUp) return;
    extra->cleanedUp = true;
    SendSync(IoGetRelatedDeviceObject(file), SyncRequest{IRP_MJ_CLEANUP, 0, file, KernelMode, STATUS_SUCCESS,
                                                         IRP_SYNCHRONOUS_API | IRP_CLOSE_OPERATION, {}});
    file->Flags |= FO_CLEANUP_COMPLETE;
}

void DestroyFile(void* body) {
    auto* file = static_cast<FILE_OBJECT*>(body);
    auto* extra = static_cast<FileExtraWithName*>(FileExtraOf(file));
    if (extra->opened)
        SendSync(IoGetRelatedDeviceObject(file), SyncRequest{IRP_MJ_CLOSE, 0, file, KernelMode, STATUS_SUCCESS,
                                                             IRP_SYNCHRONOUS_API | IRP_CLOSE_OPERATION, {}});
    DEVICE_OBJECT* device = extra->referencedDevice;
    if (device) {
        bool lastOpen;
        {
            std::lock_guard lock(Kernel().ioLock);
            lastOpen = --device->ReferenceCount == 0;
        }
        CompleteDeviceDeletionIfUnused(device);
        if (lastOpen) PnpLastHandleClosed(device);
        Dereference(device);
    }
    extra->~FileExtraWithName();
}

ACCESS_MASK MapGenericAccess(ACCESS_MASK access) {
    if (access & GENERIC_READ) access |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) access |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) access |= FILE_GENERIC_EXECUTE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= FILE_ALL_ACCESS;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

// Makes the calling thread act for `process` during a system service.
class Attach {
public:
    explicit Attach(ProcessState* process) : previous_(Current().process) {
        Current().process = process;
        CurrentThreadObject()->process.store(process);
    }
    ~Attach() {
        Current().process = previous_;
        CurrentThreadObject()->process.store(previous_);
    }

private:
    ProcessState* previous_;
};

// Sends a system service's request and waits for it. The status block is written only
// where Windows writes it: not for a request that failed at once without being pending
// (its status is what IoCallDriver returned). A dispatch routine that broke the pending
// rules has been reported by IofCallDriver; the request is waited for all the same, as
// its completion writes to the caller's frame.
NTSTATUS WaitForRequest(IRP* irp, DEVICE_OBJECT* device, KEVENT* event, IO_STATUS_BLOCK* iosb) {
    IrpHeaderOf(irp)->kernelWaits = true;
    NTSTATUS status = IofCallDriver(device, irp);
    KeWaitForSingleObject(event, UserRequest, KernelMode, FALSE, nullptr);
    if (iosb->Status == STATUS_PENDING) iosb->Information = 0;
    return status == STATUS_PENDING ? iosb->Status : status;
}

// Sends a system service's request: waits for it (a synchronous call, or any call on a handle
// opened for synchronous I/O), or lets it go on and returns STATUS_PENDING (an overlapped call
// on an asynchronous handle; the completion writes the caller's status block and sets its event).
NTSTATUS Issue(ProcessState* process, IRP* irp, DEVICE_OBJECT* device, FILE_OBJECT* file, const UserTarget& target,
               ULONG_PTR* information) {
    if (!target.iosb || (file->Flags & FO_SYNCHRONOUS_IO)) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        iosb.Status = STATUS_PENDING;
        irp->UserEvent = &event;
        irp->UserIosb = &iosb;
        NTSTATUS status = WaitForRequest(irp, device, &event, &iosb);
        if (information) *information = iosb.Information;
        if (target.iosb) {
            // An overlapped call on a synchronous handle is over when it returns.
            if (iosb.Status != STATUS_PENDING) *target.iosb = iosb;
            if (target.event) KeSetEvent(target.event, IO_NO_INCREMENT, FALSE);
        }
        return status;
    }
    IrpHeader* header = IrpHeaderOf(irp);
    header->async = true;
    irp->UserIosb = target.iosb;
    irp->UserEvent = target.event;
    if (target.event) {
        Reference(target.event);  // the request keeps the event object until it finishes
        header->eventObject = target.event;
        KeClearEvent(target.event);
    }
    KeClearEvent(&file->Event);
    {
        auto& kernel = Kernel();
        std::lock_guard lock(kernel.asyncMutex);
        kernel.asyncRequests.push_back(AsyncRequest{irp, reinterpret_cast<_KTHREAD*>(irp->Tail.Overlay.Thread),
                                                    process, file, target.iosb});
    }
    NTSTATUS status = IofCallDriver(device, irp);
    if (information && status != STATUS_PENDING && !NT_ERROR(status)) *information = target.iosb->Information;
    return status;
}

}  // namespace

_OBJECT_TYPE FileObjectType{"File", CloseLastHandle, DestroyFile};
_OBJECT_TYPE EventObjectType{"Event", nullptr, nullptr};

void ForgetAsyncRequest(IRP* irp) {
    auto& kernel = Kernel();
    std::lock_guard lock(kernel.asyncMutex);
    auto& list = kernel.asyncRequests;
    list.erase(std::remove_if(list.begin(), list.end(), [irp](const AsyncRequest& r) { return r.irp == irp; }),
               list.end());
    kernel.asyncFinished.notify_all();
}

std::size_t CancelAsyncRequests(const std::function<bool(const AsyncRequest&)>& match) {
    auto& kernel = Kernel();
    std::lock_guard lock(kernel.asyncMutex);
    std::vector<IRP*> chosen;
    for (const AsyncRequest& request : kernel.asyncRequests)
        if (match(request)) chosen.push_back(request.irp);
    for (IRP* irp : chosen) {
        // A cancel routine may have completed other chosen requests meanwhile.
        bool stillThere = std::any_of(kernel.asyncRequests.begin(), kernel.asyncRequests.end(),
                                      [irp](const AsyncRequest& r) { return r.irp == irp; });
        if (stillThere) IoCancelIrp(irp);
    }
    return chosen.size();
}

void CancelThreadRequests(_KTHREAD* thread) {
    CancelAndWait([thread](const AsyncRequest& r) { return r.thread == thread; }, "an exiting thread");
}

void CancelAndWait(const std::function<bool(const AsyncRequest&)>& mine, const char* whose) {
    auto* kernel = CurrentImpl();
    if (!kernel) return;
    if (CancelAsyncRequests(mine) == 0) return;
    // As Windows does when a thread exits: wait for the cancelled requests to finish. A driver
    // that keeps a cancelled request for long holds up the thread's exit.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        std::vector<IRP*> left;
        {
            std::lock_guard lock(kernel->asyncMutex);
            for (const AsyncRequest& request : kernel->asyncRequests)
                if (mine(request)) left.push_back(request.irp);
        }
        if (left.empty()) return;
        if (std::chrono::steady_clock::now() > deadline) {
            for (IRP* irp : left)
                ReportViolation("IRP " + Describe(irp) + " of " + whose +
                                " was cancelled and is still not completed after 5 seconds");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool IsFile(const void* object) { return IsObjectOfType(object, &FileObjectType); }

FileExtra* FileExtraOf(const FILE_OBJECT* file) {
    return reinterpret_cast<FileExtra*>(const_cast<unsigned char*>(reinterpret_cast<const FileBody*>(file)->extra));
}

NTSTATUS OpenDevice(std::u16string_view name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                    KPROCESSOR_MODE mode, ProcessState* process, FILE_OBJECT** fileOut) {
    *fileOut = nullptr;
    auto& kernel = Kernel();
    void* object = nullptr;
    std::u16string remainder;
    NTSTATUS status = kernel.names.resolve(name, &object, &remainder);
    if (!NT_SUCCESS(status)) return status;
    if (!IsDevice(object)) {
        Dereference(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    auto* device = static_cast<DEVICE_OBJECT*>(object);
    DEVICE_OBJECT* top;
    ACCESS_MASK granted = MapGenericAccess(access);
    {
        std::lock_guard lock(kernel.ioLock);
        DeviceExtra* extra = ExtraOf(device);
        // As the I/O manager does: a user-mode open of the device itself, or of a name below a
        // device with FILE_DEVICE_SECURE_OPEN, is checked against the device's descriptor (below
        // a device without it, the name is the driver's to check). A kernel-mode open is not.
        const bool checked = mode == UserMode && process && extra->security &&
                             (remainder.empty() || (device->Characteristics & FILE_DEVICE_SECURE_OPEN));
        if (extra->deletePending || extra->removePending || extra->removeProcessed ||
            (device->Flags & DO_DEVICE_INITIALIZING) || RecordOf(device->DriverObject)->unloadCalled) {
            status = STATUS_NO_SUCH_DEVICE;
        } else if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) {
            status = STATUS_ACCESS_DENIED;
        } else if (checked && !CheckAccess(*extra->security, *process, MapGenericFileAccess(access), &granted)) {
            status = STATUS_ACCESS_DENIED;
        } else {
            ++device->ReferenceCount;
        }
        top = device;
        while (top->AttachedDevice) top = top->AttachedDevice;
    }
    if (!NT_SUCCESS(status)) {
        Dereference(device);
        return status;
    }

    void* body = CreateObject(&FileObjectType, sizeof(FileBody) - sizeof(FileExtra) + sizeof(FileExtraWithName));
    auto* file = static_cast<FILE_OBJECT*>(body);
    auto* extra = new (FileExtraOf(file)) FileExtraWithName;
    extra->grantedAccess = granted;
    extra->referencedDevice = device;  // keeps the name lookup's reference
    extra->process = process;
    extra->name = remainder;
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->FileName.Buffer = reinterpret_cast<PWSTR>(extra->name.data());
    file->FileName.Length = static_cast<USHORT>(extra->name.size() * 2);
    file->FileName.MaximumLength = static_cast<USHORT>(extra->name.size() * 2 + 2);
    file->ReadAccess = (granted & (FILE_READ_DATA | FILE_EXECUTE)) ? TRUE : FALSE;
    file->WriteAccess = (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) ? TRUE : FALSE;
    file->DeleteAccess = (granted & DELETE) ? TRUE : FALSE;
    file->SharedRead = (share & FILE_SHARE_READ) ? TRUE : FALSE;
    file->SharedWrite = (share & FILE_SHARE_WRITE) ? TRUE : FALSE;
    file->SharedDelete = (share & FILE_SHARE_DELETE) ? TRUE : FALSE;
    if (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) file->Flags |= FO_SYNCHRONOUS_IO;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);

    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = granted;
    security.FullCreateOptions = options;
    SyncRequest create{IRP_MJ_CREATE, 0, file, mode, STATUS_SUCCESS, IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API,
                       [&](IRP* irp, IO_STACK_LOCATION* stack) {
                           stack->Parameters.Create.SecurityContext = &security;
                           stack->Parameters.Create.Options = (disposition << 24) | (options & 0x00FFFFFF);
                           stack->Parameters.Create.ShareAccess = static_cast<USHORT>(share);
                           stack->Parameters.Create.FileAttributes = FILE_ATTRIBUTE_NORMAL;
                       }};
    ProcessState* previous = Current().process;
    if (process) {
        Current().process = process;
        CurrentThreadObject()->process.store(process);
    }
    // The create request carries the requestor's process for IoIs32bitProcess.
    status = SendSync(top, create);
    if (process) {
        Current().process = previous;
        CurrentThreadObject()->process.store(previous);
    }
    if (!NT_SUCCESS(status)) {
        Dereference(file);  // no close request: the create failed
        return status;
    }
    extra->opened = true;
    *fileOut = file;
    return STATUS_SUCCESS;
}

// The file object of a process's handle, referenced, with the access the handle grants.
static NTSTATUS ReferenceFileOfHandle(ProcessState* process, HANDLE handle, FILE_OBJECT** file, ACCESS_MASK* granted) {
    void* object = process->handles->lookup(handle, granted);
    if (!object) return STATUS_INVALID_HANDLE;
    if (!IsFile(object)) {
        Dereference(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *file = static_cast<FILE_OBJECT*>(object);
    return STATUS_SUCCESS;
}

NTSTATUS UserDeviceControl(ProcessState* process, HANDLE handle, ULONG code, void* input, ULONG inputLength,
                           void* output, ULONG outputLength, ULONG_PTR* information) {
    return UserDeviceControlTo(process, handle, code, input, inputLength, output, outputLength, information, {});
}

NTSTATUS UserDeviceControlTo(ProcessState* process, HANDLE handle, ULONG code, void* input, ULONG inputLength,
                             void* output, ULONG outputLength, ULONG_PTR* information, const UserTarget& target) {
    if (information) *information = 0;
    Attach attach(process);
    ACCESS_MASK granted = 0;
    FILE_OBJECT* file = nullptr;
    if (NTSTATUS status = ReferenceFileOfHandle(process, handle, &file, &granted); !NT_SUCCESS(status)) return status;
    const ULONG access = ACCESS_FROM_CTL_CODE(code);
    if (((access & FILE_READ_ACCESS) && !(granted & FILE_READ_DATA)) ||
        ((access & FILE_WRITE_ACCESS) && !(granted & FILE_WRITE_DATA))) {
        Dereference(file);
        return STATUS_ACCESS_DENIED;
    }
    const ULONG method = METHOD_FROM_CTL_CODE(code);
    if (method != METHOD_NEITHER) {
        if ((inputLength && !process->validRange(input, inputLength)) ||
            (outputLength && !process->validRange(output, outputLength))) {
            Dereference(file);
            return STATUS_ACCESS_VIOLATION;
        }
    }
    DEVICE_OBJECT* device = IoGetRelatedDeviceObject(file);
    IRP* irp = AllocateIrpFor(device->StackSize, nullptr);
    if (!irp) {
        Dereference(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IrpHeader* header = IrpHeaderOf(irp);
    header->process = process;
    header->holdsFileReference = true;  // the handle lookup's reference goes with the request
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->RequestorMode = UserMode;
    if (file->Flags & FO_SYNCHRONOUS_IO) irp->Flags |= IRP_SYNCHRONOUS_API;
    IO_STACK_LOCATION* stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->FileObject = file;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;

    auto fail = [&](NTSTATUS status) {
        if (irp->AssociatedIrp.SystemBuffer) ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, 0);
        irp->AssociatedIrp.SystemBuffer = nullptr;
        irp->Flags &= ~(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION);
        for (PMDL mdl = irp->MdlAddress; mdl;) {
            PMDL next = mdl->Next;
            if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
            IoFreeMdl(mdl);
            mdl = next;
        }
        irp->MdlAddress = nullptr;
        IoFreeIrp(irp);
        Dereference(file);
        return status;
    };

    if (method == METHOD_BUFFERED) {
        ULONG size = inputLength > outputLength ? inputLength : outputLength;
        if (size) {
            void* buffer = sim::PoolAllocate(NonPagedPool, size, sim::PoolTag("IoSB"), nullptr);
            if (!buffer) return fail(STATUS_INSUFFICIENT_RESOURCES);
            if (inputLength) std::memcpy(buffer, input, inputLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (outputLength) irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = output;
        header->outputLength = outputLength;
    } else if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        if (inputLength) {
            void* buffer = sim::PoolAllocate(NonPagedPool, inputLength, sim::PoolTag("IoSB"), nullptr);
            if (!buffer) return fail(STATUS_INSUFFICIENT_RESOURCES);
            std::memcpy(buffer, input, inputLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (outputLength) {
            PMDL mdl = IoAllocateMdl(output, outputLength, FALSE, FALSE, irp);
            if (!mdl) return fail(STATUS_INSUFFICIENT_RESOURCES);
            bool locked = NT_SUCCESS(LockMdlPages(mdl, UserMode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess));
            if (!locked) return fail(STATUS_ACCESS_VIOLATION);
        }
    } else {
        stack->Parameters.DeviceIoControl.Type3InputBuffer = input;
        irp->UserBuffer = output;
    }

    return Issue(process, irp, device, file, target, information);
}

NTSTATUS UserReadWrite(ProcessState* process, HANDLE handle, bool write, void* buffer, ULONG length,
                       ULONG_PTR* information, const std::int64_t* byteOffset) {
    return UserReadWriteTo(process, handle, write, buffer, length, information, byteOffset, {});
}

NTSTATUS UserReadWriteTo(ProcessState* process, HANDLE handle, bool write, void* buffer, ULONG length,
                         ULONG_PTR* information, const std::int64_t* byteOffset, const UserTarget& target) {
    if (information) *information = 0;
    Attach attach(process);
    ACCESS_MASK granted = 0;
    FILE_OBJECT* file = nullptr;
    if (NTSTATUS status = ReferenceFileOfHandle(process, handle, &file, &granted); !NT_SUCCESS(status)) return status;
    if (!(granted & (write ? FILE_WRITE_DATA : FILE_READ_DATA))) {
        Dereference(file);
        return STATUS_ACCESS_DENIED;
    }
    if (length && !process->validRange(buffer, length)) {
        Dereference(file);
        return STATUS_ACCESS_VIOLATION;
    }
    DEVICE_OBJECT* device = IoGetRelatedDeviceObject(file);
    IRP* irp = AllocateIrpFor(device->StackSize, nullptr);
    if (!irp) {
        Dereference(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Reference(file);  // one for the request, one kept here for the file position
    IrpHeader* header = IrpHeaderOf(irp);
    header->process = process;
    header->holdsFileReference = true;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->RequestorMode = UserMode;
    irp->Flags |= (write ? IRP_WRITE_OPERATION : IRP_READ_OPERATION);
    if (file->Flags & FO_SYNCHRONOUS_IO) irp->Flags |= IRP_SYNCHRONOUS_API;
    IO_STACK_LOCATION* stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = write ? IRP_MJ_WRITE : IRP_MJ_READ;
    stack->FileObject = file;
    stack->Parameters.Read.Length = length;
    stack->Parameters.Read.ByteOffset.QuadPart = byteOffset ? *byteOffset : file->CurrentByteOffset.QuadPart;

    NTSTATUS failure = STATUS_SUCCESS;
    if (length && (device->Flags & DO_BUFFERED_IO)) {
        void* system = sim::PoolAllocate(NonPagedPool, length, sim::PoolTag("IoSB"), nullptr);
        if (!system) {
            failure = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (write) {
                std::memcpy(system, buffer, length);
            } else {
                irp->Flags |= IRP_INPUT_OPERATION;
                irp->UserBuffer = buffer;
                header->outputLength = length;
            }
        }
    } else if (length && (device->Flags & DO_DIRECT_IO)) {
        PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
        if (!mdl) {
            failure = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            bool locked = NT_SUCCESS(LockMdlPages(mdl, UserMode, write ? IoReadAccess : IoWriteAccess));
            if (!locked) {
                irp->MdlAddress = nullptr;
                IoFreeMdl(mdl);
                failure = STATUS_ACCESS_VIOLATION;
            }
        }
    } else {
        irp->UserBuffer = buffer;
    }
    if (!NT_SUCCESS(failure)) {
        IoFreeIrp(irp);
        Dereference(file);
        Dereference(file);
        return failure;
    }

    ULONG_PTR moved = 0;
    NTSTATUS status = Issue(process, irp, device, file, target, &moved);
    if (information) *information = moved;
    if (NT_SUCCESS(status) && status != STATUS_PENDING && (file->Flags & FO_SYNCHRONOUS_IO) && !byteOffset)
        file->CurrentByteOffset.QuadPart += static_cast<LONGLONG>(moved);
    Dereference(file);
    return status;
}

}  // namespace sim::k

using namespace sim::k;

extern "C" {

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
    if (!IsFile(FileObject)) {
        ReportViolation("IoGetRelatedDeviceObject: " + Describe(FileObject) + " is not a file object");
        return nullptr;
    }
    return AttachedTop(FileObject->DeviceObject);
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT* FileObject,
                                  PDEVICE_OBJECT* DeviceObject) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceObjectPointer");
    *FileObject = nullptr;
    *DeviceObject = nullptr;
    FILE_OBJECT* file = nullptr;
    NTSTATUS status = OpenDevice(FromUnicodeString(ObjectName), DesiredAccess, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                                 KernelMode, nullptr, &file);
    if (!NT_SUCCESS(status)) return status;
    // The open made a handle that is closed at once: that is the cleanup request.
    auto& handles = Kernel().kernelHandles;
    HANDLE handle = handles.insert(file, DesiredAccess);
    handles.close(handle);
    *FileObject = file;
    *DeviceObject = IoGetRelatedDeviceObject(file);
    return STATUS_SUCCESS;
}

}  // extern "C"
