// Fallbacks for kernel routines not implemented yet: each reports itself and stops.
// Weak, so the real definitions elsewhere in this library win.
#include <cstdio>
#include <cstdlib>
#include "wdm.h"

namespace { [[noreturn]] void NotYet(const char* name) { std::fprintf(stderr, "vkernel: %s is not implemented yet\n", name); std::abort(); } }

extern "C" __attribute__((weak)) KIRQL KeGetCurrentIrql(VOID) { NotYet("KeGetCurrentIrql"); }
extern "C" __attribute__((weak)) KIRQL KfRaiseIrql(KIRQL NewIrql) { NotYet("KfRaiseIrql"); }
extern "C" __attribute__((weak)) VOID KfLowerIrql(KIRQL NewIrql) { NotYet("KfLowerIrql"); }
extern "C" __attribute__((weak)) KIRQL KeRaiseIrqlToDpcLevel(VOID) { NotYet("KeRaiseIrqlToDpcLevel"); }
extern "C" __attribute__((weak)) VOID KeLowerIrql(KIRQL NewIrql) { NotYet("KeLowerIrql"); }
extern "C" __attribute__((weak)) KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) { NotYet("KeAcquireSpinLockRaiseToDpc"); }
extern "C" __attribute__((weak)) VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { NotYet("KeReleaseSpinLock"); }
extern "C" __attribute__((weak)) VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) { NotYet("KeAcquireSpinLockAtDpcLevel"); }
extern "C" __attribute__((weak)) VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { NotYet("KeReleaseSpinLockFromDpcLevel"); }
extern "C" __attribute__((weak)) BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) { NotYet("KeTryToAcquireSpinLockAtDpcLevel"); }
extern "C" __attribute__((weak)) BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) { NotYet("KeTestSpinLock"); }
extern "C" __attribute__((weak)) VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) { NotYet("KeAcquireInStackQueuedSpinLock"); }
extern "C" __attribute__((weak)) VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) { NotYet("KeReleaseInStackQueuedSpinLock"); }
extern "C" __attribute__((weak)) VOID KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) { NotYet("KeAcquireInStackQueuedSpinLockAtDpcLevel"); }
extern "C" __attribute__((weak)) VOID KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) { NotYet("KeReleaseInStackQueuedSpinLockFromDpcLevel"); }
extern "C" __attribute__((weak)) VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) { NotYet("KeInitializeEvent"); }
extern "C" __attribute__((weak)) LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) { NotYet("KeSetEvent"); }
extern "C" __attribute__((weak)) LONG KeResetEvent(PRKEVENT Event) { NotYet("KeResetEvent"); }
extern "C" __attribute__((weak)) VOID KeClearEvent(PRKEVENT Event) { NotYet("KeClearEvent"); }
extern "C" __attribute__((weak)) LONG KeReadStateEvent(PRKEVENT Event) { NotYet("KeReadStateEvent"); }
extern "C" __attribute__((weak)) LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) { NotYet("KePulseEvent"); }
extern "C" __attribute__((weak)) VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) { NotYet("KeInitializeSemaphore"); }
extern "C" __attribute__((weak)) LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) { NotYet("KeReleaseSemaphore"); }
extern "C" __attribute__((weak)) LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) { NotYet("KeReadStateSemaphore"); }
extern "C" __attribute__((weak)) VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) { NotYet("KeInitializeMutex"); }
extern "C" __attribute__((weak)) LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) { NotYet("KeReleaseMutex"); }
extern "C" __attribute__((weak)) LONG KeReadStateMutex(PRKMUTEX Mutex) { NotYet("KeReadStateMutex"); }
extern "C" __attribute__((weak)) NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout) { NotYet("KeWaitForSingleObject"); }
extern "C" __attribute__((weak)) NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray) { NotYet("KeWaitForMultipleObjects"); }
extern "C" __attribute__((weak)) NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) { NotYet("KeDelayExecutionThread"); }
extern "C" __attribute__((weak)) VOID KeEnterCriticalRegion(VOID) { NotYet("KeEnterCriticalRegion"); }
extern "C" __attribute__((weak)) VOID KeLeaveCriticalRegion(VOID) { NotYet("KeLeaveCriticalRegion"); }
extern "C" __attribute__((weak)) BOOLEAN KeAreApcsDisabled(VOID) { NotYet("KeAreApcsDisabled"); }
extern "C" __attribute__((weak)) VOID KeEnterGuardedRegion(VOID) { NotYet("KeEnterGuardedRegion"); }
extern "C" __attribute__((weak)) VOID KeLeaveGuardedRegion(VOID) { NotYet("KeLeaveGuardedRegion"); }
extern "C" __attribute__((weak)) VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { NotYet("KeQuerySystemTime"); }
extern "C" __attribute__((weak)) VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) { NotYet("KeQuerySystemTimePrecise"); }
extern "C" __attribute__((weak)) VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount) { NotYet("KeQueryTickCount"); }
extern "C" __attribute__((weak)) ULONG KeQueryTimeIncrement(VOID) { NotYet("KeQueryTimeIncrement"); }
extern "C" __attribute__((weak)) ULONGLONG KeQueryInterruptTime(VOID) { NotYet("KeQueryInterruptTime"); }
extern "C" __attribute__((weak)) LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) { NotYet("KeQueryPerformanceCounter"); }
extern "C" __attribute__((weak)) VOID KeStallExecutionProcessor(ULONG MicroSeconds) { NotYet("KeStallExecutionProcessor"); }
extern "C" __attribute__((weak)) ULONG KeGetCurrentProcessorNumber(VOID) { NotYet("KeGetCurrentProcessorNumber"); }
extern "C" __attribute__((weak)) ULONG KeQueryActiveProcessorCount(KAFFINITY *ActiveProcessors) { NotYet("KeQueryActiveProcessorCount"); }
extern "C" __attribute__((weak)) VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2, ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4) { NotYet("KeBugCheckEx"); }
extern "C" __attribute__((weak)) VOID KeBugCheck(ULONG BugCheckCode) { NotYet("KeBugCheck"); }
extern "C" __attribute__((weak)) PKTHREAD KeGetCurrentThread(VOID) { NotYet("KeGetCurrentThread"); }
extern "C" __attribute__((weak)) KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) { NotYet("KeSetPriorityThread"); }
extern "C" __attribute__((weak)) KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) { NotYet("KeQueryPriorityThread"); }
extern "C" __attribute__((weak)) NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext) { NotYet("PsCreateSystemThread"); }
extern "C" __attribute__((weak)) NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) { NotYet("PsTerminateSystemThread"); }
extern "C" __attribute__((weak)) PETHREAD PsGetCurrentThread(VOID) { NotYet("PsGetCurrentThread"); }
extern "C" __attribute__((weak)) HANDLE PsGetCurrentThreadId(VOID) { NotYet("PsGetCurrentThreadId"); }
extern "C" __attribute__((weak)) PEPROCESS PsGetCurrentProcess(VOID) { NotYet("PsGetCurrentProcess"); }
extern "C" __attribute__((weak)) HANDLE PsGetCurrentProcessId(VOID) { NotYet("PsGetCurrentProcessId"); }
extern "C" __attribute__((weak)) BOOLEAN PsIsSystemThread(PETHREAD Thread) { NotYet("PsIsSystemThread"); }
extern "C" __attribute__((weak)) PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) { NotYet("ExAllocatePoolWithTag"); }
extern "C" __attribute__((weak)) PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) { NotYet("ExAllocatePoolWithQuotaTag"); }
extern "C" __attribute__((weak)) PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) { NotYet("ExAllocatePool"); }
extern "C" __attribute__((weak)) PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) { NotYet("ExAllocatePool2"); }
extern "C" __attribute__((weak)) VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { NotYet("ExFreePoolWithTag"); }
extern "C" __attribute__((weak)) VOID ExFreePool(PVOID P) { NotYet("ExFreePool"); }
extern "C" __attribute__((weak)) VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) { NotYet("ExInitializeFastMutex"); }
extern "C" __attribute__((weak)) VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) { NotYet("ExAcquireFastMutex"); }
extern "C" __attribute__((weak)) VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) { NotYet("ExReleaseFastMutex"); }
extern "C" __attribute__((weak)) BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) { NotYet("ExTryToAcquireFastMutex"); }
extern "C" __attribute__((weak)) VOID ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) { NotYet("ExAcquireFastMutexUnsafe"); }
extern "C" __attribute__((weak)) VOID ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) { NotYet("ExReleaseFastMutexUnsafe"); }
extern "C" __attribute__((weak)) VOID KeInitializeGuardedMutex(PKGUARDED_MUTEX Mutex) { NotYet("KeInitializeGuardedMutex"); }
extern "C" __attribute__((weak)) VOID KeAcquireGuardedMutex(PKGUARDED_MUTEX Mutex) { NotYet("KeAcquireGuardedMutex"); }
extern "C" __attribute__((weak)) VOID KeReleaseGuardedMutex(PKGUARDED_MUTEX Mutex) { NotYet("KeReleaseGuardedMutex"); }
extern "C" __attribute__((weak)) NTSTATUS ExInitializeResourceLite(PERESOURCE Resource) { NotYet("ExInitializeResourceLite"); }
extern "C" __attribute__((weak)) NTSTATUS ExReinitializeResourceLite(PERESOURCE Resource) { NotYet("ExReinitializeResourceLite"); }
extern "C" __attribute__((weak)) NTSTATUS ExDeleteResourceLite(PERESOURCE Resource) { NotYet("ExDeleteResourceLite"); }
extern "C" __attribute__((weak)) BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait) { NotYet("ExAcquireResourceExclusiveLite"); }
extern "C" __attribute__((weak)) BOOLEAN ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait) { NotYet("ExAcquireResourceSharedLite"); }
extern "C" __attribute__((weak)) BOOLEAN ExAcquireSharedStarveExclusive(PERESOURCE Resource, BOOLEAN Wait) { NotYet("ExAcquireSharedStarveExclusive"); }
extern "C" __attribute__((weak)) VOID ExReleaseResourceLite(PERESOURCE Resource) { NotYet("ExReleaseResourceLite"); }
extern "C" __attribute__((weak)) VOID ExReleaseResourceForThreadLite(PERESOURCE Resource, ERESOURCE_THREAD ResourceThreadId) { NotYet("ExReleaseResourceForThreadLite"); }
extern "C" __attribute__((weak)) VOID ExConvertExclusiveToSharedLite(PERESOURCE Resource) { NotYet("ExConvertExclusiveToSharedLite"); }
extern "C" __attribute__((weak)) BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource) { NotYet("ExIsResourceAcquiredExclusiveLite"); }
extern "C" __attribute__((weak)) ULONG ExIsResourceAcquiredSharedLite(PERESOURCE Resource) { NotYet("ExIsResourceAcquiredSharedLite"); }
extern "C" __attribute__((weak)) ERESOURCE_THREAD ExGetCurrentResourceThread(VOID) { NotYet("ExGetCurrentResourceThread"); }
extern "C" __attribute__((weak)) PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) { NotYet("ExInterlockedInsertHeadList"); }
extern "C" __attribute__((weak)) PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) { NotYet("ExInterlockedInsertTailList"); }
extern "C" __attribute__((weak)) PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) { NotYet("ExInterlockedRemoveHeadList"); }
extern "C" __attribute__((weak)) PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY ListEntry, PKSPIN_LOCK Lock) { NotYet("ExInterlockedPushEntryList"); }
extern "C" __attribute__((weak)) PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock) { NotYet("ExInterlockedPopEntryList"); }
extern "C" __attribute__((weak)) KPROCESSOR_MODE ExGetPreviousMode(VOID) { NotYet("ExGetPreviousMode"); }
extern "C" __attribute__((weak)) VOID ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime) { NotYet("ExSystemTimeToLocalTime"); }
extern "C" __attribute__((weak)) VOID ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime) { NotYet("ExLocalTimeToSystemTime"); }
extern "C" __attribute__((weak)) LONG_PTR ObfReferenceObject(PVOID Object) { NotYet("ObfReferenceObject"); }
extern "C" __attribute__((weak)) LONG_PTR ObfDereferenceObject(PVOID Object) { NotYet("ObfDereferenceObject"); }
extern "C" __attribute__((weak)) NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode) { NotYet("ObReferenceObjectByPointer"); }
extern "C" __attribute__((weak)) NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode, PVOID *Object, POBJECT_HANDLE_INFORMATION HandleInformation) { NotYet("ObReferenceObjectByHandle"); }
extern "C" __attribute__((weak)) VOID ObMakeTemporaryObject(PVOID Object) { NotYet("ObMakeTemporaryObject"); }
extern "C" __attribute__((weak)) VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) { NotYet("MmProbeAndLockPages"); }
extern "C" __attribute__((weak)) VOID MmUnlockPages(PMDL MemoryDescriptorList) { NotYet("MmUnlockPages"); }
extern "C" __attribute__((weak)) VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) { NotYet("MmBuildMdlForNonPagedPool"); }
extern "C" __attribute__((weak)) PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority) { NotYet("MmMapLockedPagesSpecifyCache"); }
extern "C" __attribute__((weak)) VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) { NotYet("MmUnmapLockedPages"); }
extern "C" __attribute__((weak)) PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) { NotYet("MmGetSystemAddressForMdlSafe"); }
extern "C" __attribute__((weak)) NTSTATUS MmAdvanceMdl(PMDL Mdl, ULONG NumberOfBytes) { NotYet("MmAdvanceMdl"); }
extern "C" __attribute__((weak)) VOID MmPrepareMdlForReuse(PMDL Mdl) { NotYet("MmPrepareMdlForReuse"); }
extern "C" __attribute__((weak)) BOOLEAN MmIsAddressValid(PVOID VirtualAddress) { NotYet("MmIsAddressValid"); }
extern "C" __attribute__((weak)) PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) { NotYet("MmGetSystemRoutineAddress"); }
extern "C" __attribute__((weak)) VOID VkPagedCodeViolation(PCSTR Routine) { NotYet("VkPagedCodeViolation"); }
extern "C" __attribute__((weak)) VOID IoInvalidateDeviceRelations(struct _DEVICE_OBJECT *DeviceObject, DEVICE_RELATION_TYPE Type) { NotYet("IoInvalidateDeviceRelations"); }
extern "C" __attribute__((weak)) VOID IoInvalidateDeviceState(struct _DEVICE_OBJECT *PhysicalDeviceObject) { NotYet("IoInvalidateDeviceState"); }
extern "C" __attribute__((weak)) NTSTATUS IoGetDeviceProperty(struct _DEVICE_OBJECT *DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) { NotYet("IoGetDeviceProperty"); }
extern "C" __attribute__((weak)) VOID PoStartNextPowerIrp(struct _IRP *Irp) { NotYet("PoStartNextPowerIrp"); }
extern "C" __attribute__((weak)) NTSTATUS PoCallDriver(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp) { NotYet("PoCallDriver"); }
extern "C" __attribute__((weak)) POWER_STATE PoSetPowerState(struct _DEVICE_OBJECT *DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) { NotYet("PoSetPowerState"); }
extern "C" __attribute__((weak)) NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive, PDEVICE_OBJECT *DeviceObject) { NotYet("IoCreateDevice"); }
extern "C" __attribute__((weak)) VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) { NotYet("IoDeleteDevice"); }
extern "C" __attribute__((weak)) NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) { NotYet("IoCreateSymbolicLink"); }
extern "C" __attribute__((weak)) NTSTATUS IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) { NotYet("IoCreateUnprotectedSymbolicLink"); }
extern "C" __attribute__((weak)) NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) { NotYet("IoDeleteSymbolicLink"); }
extern "C" __attribute__((weak)) PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) { NotYet("IoAttachDeviceToDeviceStack"); }
extern "C" __attribute__((weak)) NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice, PDEVICE_OBJECT *AttachedToDeviceObject) { NotYet("IoAttachDeviceToDeviceStackSafe"); }
extern "C" __attribute__((weak)) VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) { NotYet("IoDetachDevice"); }
extern "C" __attribute__((weak)) PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) { NotYet("IoGetAttachedDevice"); }
extern "C" __attribute__((weak)) PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) { NotYet("IoGetAttachedDeviceReference"); }
extern "C" __attribute__((weak)) PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject) { NotYet("IoGetLowerDeviceObject"); }
extern "C" __attribute__((weak)) NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject) { NotYet("IoGetDeviceObjectPointer"); }
extern "C" __attribute__((weak)) PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) { NotYet("IoGetRelatedDeviceObject"); }
extern "C" __attribute__((weak)) NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress, ULONG DriverObjectExtensionSize, PVOID *DriverObjectExtension) { NotYet("IoAllocateDriverObjectExtension"); }
extern "C" __attribute__((weak)) PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress) { NotYet("IoGetDriverObjectExtension"); }
extern "C" __attribute__((weak)) NTSTATUS IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject) { NotYet("IoRegisterShutdownNotification"); }
extern "C" __attribute__((weak)) VOID IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject) { NotYet("IoUnregisterShutdownNotification"); }
extern "C" __attribute__((weak)) NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) { NotYet("IoWMIRegistrationControl"); }
extern "C" __attribute__((weak)) PEPROCESS IoGetCurrentProcess(VOID) { NotYet("IoGetCurrentProcess"); }
extern "C" __attribute__((weak)) PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) { NotYet("IoAllocateIrp"); }
extern "C" __attribute__((weak)) VOID IoFreeIrp(PIRP Irp) { NotYet("IoFreeIrp"); }
extern "C" __attribute__((weak)) VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) { NotYet("IoReuseIrp"); }
extern "C" __attribute__((weak)) VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) { NotYet("IoInitializeIrp"); }
extern "C" __attribute__((weak)) PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) { NotYet("IoBuildDeviceIoControlRequest"); }
extern "C" __attribute__((weak)) PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) { NotYet("IoBuildSynchronousFsdRequest"); }
extern "C" __attribute__((weak)) PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock) { NotYet("IoBuildAsynchronousFsdRequest"); }
extern "C" __attribute__((weak)) NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { NotYet("IofCallDriver"); }
extern "C" __attribute__((weak)) VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) { NotYet("IofCompleteRequest"); }
extern "C" __attribute__((weak)) BOOLEAN IoCancelIrp(PIRP Irp) { NotYet("IoCancelIrp"); }
extern "C" __attribute__((weak)) VOID IoAcquireCancelSpinLock(PKIRQL Irql) { NotYet("IoAcquireCancelSpinLock"); }
extern "C" __attribute__((weak)) VOID IoReleaseCancelSpinLock(KIRQL Irql) { NotYet("IoReleaseCancelSpinLock"); }
extern "C" __attribute__((weak)) BOOLEAN IoIs32bitProcess(PIRP Irp) { NotYet("IoIs32bitProcess"); }
extern "C" __attribute__((weak)) PEPROCESS IoGetRequestorProcess(PIRP Irp) { NotYet("IoGetRequestorProcess"); }
extern "C" __attribute__((weak)) PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) { NotYet("IoAllocateMdl"); }
extern "C" __attribute__((weak)) VOID IoFreeMdl(PMDL Mdl) { NotYet("IoFreeMdl"); }
extern "C" __attribute__((weak)) VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) { NotYet("IoBuildPartialMdl"); }
extern "C" __attribute__((weak)) PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) { NotYet("IoAllocateWorkItem"); }
extern "C" __attribute__((weak)) VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) { NotYet("IoFreeWorkItem"); }
extern "C" __attribute__((weak)) VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType, PVOID Context) { NotYet("IoQueueWorkItem"); }
extern "C" __attribute__((weak)) VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes, ULONG HighWatermark, ULONG RemlockSize) { NotYet("IoInitializeRemoveLockEx"); }
extern "C" __attribute__((weak)) NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize) { NotYet("IoAcquireRemoveLockEx"); }
extern "C" __attribute__((weak)) VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) { NotYet("IoReleaseRemoveLockEx"); }
extern "C" __attribute__((weak)) VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) { NotYet("IoReleaseRemoveLockAndWaitEx"); }
extern "C" __attribute__((weak)) VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) { NotYet("KeInitializeDpc"); }
extern "C" __attribute__((weak)) BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) { NotYet("KeInsertQueueDpc"); }
extern "C" __attribute__((weak)) BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) { NotYet("KeRemoveQueueDpc"); }
extern "C" __attribute__((weak)) VOID KeInitializeTimer(PKTIMER Timer) { NotYet("KeInitializeTimer"); }
extern "C" __attribute__((weak)) VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) { NotYet("KeInitializeTimerEx"); }
extern "C" __attribute__((weak)) BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { NotYet("KeSetTimer"); }
extern "C" __attribute__((weak)) BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) { NotYet("KeSetTimerEx"); }
extern "C" __attribute__((weak)) BOOLEAN KeCancelTimer(PKTIMER Timer) { NotYet("KeCancelTimer"); }
extern "C" __attribute__((weak)) BOOLEAN KeReadStateTimer(PKTIMER Timer) { NotYet("KeReadStateTimer"); }
extern "C" __attribute__((weak)) VOID VkSehPush(PVK_SEH_FRAME Frame) { NotYet("VkSehPush"); }
extern "C" __attribute__((weak)) VOID VkSehPop(PVK_SEH_FRAME Frame) { NotYet("VkSehPop"); }
extern "C" __attribute__((weak)) BOOLEAN VkSehFilter(PVK_SEH_FRAME Frame, LONG Disposition) { NotYet("VkSehFilter"); }
extern "C" __attribute__((weak)) VOID ExRaiseStatus(NTSTATUS Status) { NotYet("ExRaiseStatus"); }
extern "C" __attribute__((weak)) VOID ProbeForRead(const volatile VOID *Address, SIZE_T Length, ULONG Alignment) { NotYet("ProbeForRead"); }
extern "C" __attribute__((weak)) VOID ProbeForWrite(volatile VOID *Address, SIZE_T Length, ULONG Alignment) { NotYet("ProbeForWrite"); }
