/*
 * vorkafakepath: stands in for the tape path filters in the bus tests (see fakepath_ioctl.h). It
 * registers and notifies from the calling thread, in kernel mode, as a filter does from its PnP
 * and dispatch routines.
 */
#include <ntddk.h>
#include "defines.h"
#include "fakepath_ioctl.h"

typedef struct _FAKEPATH_EXT {
    BOOLEAN fControl;
    ULONG ulPath;
    volatile LONG lCreateStatus;
    volatile LONG lAnswerMode;
    volatile LONG lCreates;
    volatile LONG lCloses;
    volatile LONG lBusRequests;
    volatile LONG lLastCloses;
    volatile LONG lStackLocationsLeft;
} FAKEPATH_EXT, *PFAKEPATH_EXT;

static PDEVICE_OBJECT g_pControl;
static PDEVICE_OBJECT g_pBusDevice;
static PFILE_OBJECT g_pBusFile;
static KSPIN_LOCK g_slPaths;
static PDEVICE_OBJECT g_apPaths[FAKEPATH_MAX_PATHS];
static PIRPS_WITH_STATUS volatile g_pTable;   /* the bus's status table, from the first reply */
static PDEVICE_OBJECT g_apOccupied[4];          /* named devices standing in for other drivers' */

static NTSTATUS FakeComplete(PIRP pIrp, NTSTATUS status, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return status;
}

/* A request answered later, from a DPC at DISPATCH_LEVEL on another thread, as a port driver
   completes one. */
typedef struct _FAKE_DEFERRED {
    KDPC Dpc;
    PIRP pIrp;
    NTSTATUS status;
} FAKE_DEFERRED, *PFAKE_DEFERRED;

#define FAKE_DEFERRED_TAG 'DkaF'

static VOID FakeCompleteFromDpc(PKDPC pDpc, PVOID pContext, PVOID pArgument1, PVOID pArgument2)
{
    PFAKE_DEFERRED pDeferred = (PFAKE_DEFERRED)pContext;
    PIRP pIrp = pDeferred->pIrp;
    NTSTATUS status = pDeferred->status;
    ExFreePoolWithTag(pDeferred, FAKE_DEFERRED_TAG);
    FakeComplete(pIrp, status, 0);
}

static NTSTATUS FakeCompleteLater(PIRP pIrp, NTSTATUS status)
{
    PFAKE_DEFERRED pDeferred =
        (PFAKE_DEFERRED)ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(FAKE_DEFERRED), FAKE_DEFERRED_TAG);
    if (pDeferred == NULL) {
        return FakeComplete(pIrp, status, 0);
    }
    pDeferred->pIrp = pIrp;
    pDeferred->status = status;
    KeInitializeDpc(&pDeferred->Dpc, FakeCompleteFromDpc, pDeferred);
    IoMarkIrpPending(pIrp);
    KeInsertQueueDpc(&pDeferred->Dpc, NULL, NULL);
    return STATUS_PENDING;
}

static PDEVICE_OBJECT FakeTakePath(ULONG ulPath)
{
    PDEVICE_OBJECT pPath = NULL;
    KIRQL irql;
    if (ulPath >= FAKEPATH_MAX_PATHS) {
        return NULL;
    }
    KeAcquireSpinLock(&g_slPaths, &irql);
    pPath = g_apPaths[ulPath];
    if (pPath != NULL) {
        ObReferenceObject(pPath);
    }
    KeReleaseSpinLock(&g_slPaths, irql);
    return pPath;
}

/* A buffered device-control request to the bus control device, built in the kernel, and waited for. */
static NTSTATUS FakeSendToBus(ULONG ulCode, PVOID pBuffer, ULONG ulIn, ULONG ulOut)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP pIrp = IoBuildDeviceIoControlRequest(ulCode, g_pBusDevice, pBuffer, ulIn, pBuffer, ulOut, FALSE, &event,
                                              &iosb);
    if (pIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IoCallDriver(g_pBusDevice, pIrp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = iosb.Status;
    }
    return status;
}

static NTSTATUS FakeCreatePaths(FAKEPATH_RANGE *pRange)
{
    if (pRange->first >= FAKEPATH_MAX_PATHS || pRange->count > FAKEPATH_MAX_PATHS - pRange->first) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = pRange->first; i < pRange->first + pRange->count; i++) {
        PDEVICE_OBJECT pPath = NULL;
        NTSTATUS status = IoCreateDevice(g_pControl->DriverObject, sizeof(FAKEPATH_EXT), NULL, FILE_DEVICE_TAPE, 0,
                                         FALSE, &pPath);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        PFAKEPATH_EXT pExt = (PFAKEPATH_EXT)pPath->DeviceExtension;
        RtlZeroMemory(pExt, sizeof(*pExt));
        pExt->ulPath = i;
        pPath->Flags |= DO_BUFFERED_IO;
        pPath->Flags &= ~DO_DEVICE_INITIALIZING;
        KIRQL irql;
        KeAcquireSpinLock(&g_slPaths, &irql);
        PDEVICE_OBJECT pOld = g_apPaths[i];
        g_apPaths[i] = pPath;
        KeReleaseSpinLock(&g_slPaths, irql);
        if (pOld != NULL) {
            IoDeleteDevice(pOld);
        }
    }
    return STATUS_SUCCESS;
}

static NTSTATUS FakeDeletePath(FAKEPATH_RANGE *pRange)
{
    for (ULONG i = pRange->first; i < pRange->first + pRange->count && i < FAKEPATH_MAX_PATHS; i++) {
        KIRQL irql;
        KeAcquireSpinLock(&g_slPaths, &irql);
        PDEVICE_OBJECT pPath = g_apPaths[i];
        g_apPaths[i] = NULL;
        KeReleaseSpinLock(&g_slPaths, irql);
        if (pPath != NULL) {
            IoDeleteDevice(pPath);
        }
    }
    return STATUS_SUCCESS;
}

static NTSTATUS FakeRegister(FAKEPATH_REGISTER *pReq)
{
    PDEVICE_OBJECT pPath = FakeTakePath(pReq->path);
    if (pPath == NULL) {
        return STATUS_NO_SUCH_DEVICE;
    }
    TAPE_REG_DVC reg;
    RtlZeroMemory(&reg, sizeof(reg));
    reg.fFailover = pReq->failover;
    RtlCopyMemory(reg.szSN, pReq->serial, sizeof(reg.szSN));
    RtlCopyMemory(reg.szWwnn, pReq->wwnn, sizeof(reg.szWwnn));
    reg.scScsiAddr.Length = sizeof(SCSI_ADDRESS);
    reg.scScsiAddr.PortNumber = pReq->port;
    reg.scScsiAddr.PathId = pReq->pathId;
    reg.scScsiAddr.TargetId = pReq->target;
    reg.scScsiAddr.Lun = pReq->lun;
    reg.pDvcObj = pPath;
    reg.ePnp = pReq->pnpState;
    reg.fExclusive = pReq->exclusive;
    reg.fPersistentNaming = pReq->persistentNaming;
    reg.fSME = pReq->sme;

    pReq->status = FakeSendToBus(IOC_TAPE_REGISTER, &reg, sizeof(reg), sizeof(reg));
    pReq->tapeNumber = reg.ulTapeNumber;
    pReq->baseDriverExt = (uint64_t)(ULONG_PTR)reg.pBaseDriverExt;
    pReq->deviceObject = (uint64_t)(ULONG_PTR)pPath;
    if (NT_SUCCESS(pReq->status) && reg.pBaseDriverExt != NULL) {
        InterlockedExchangePointer((PVOID volatile *)&g_pTable, reg.pBaseDriverExt);
    }
    ObDereferenceObject(pPath);
    return STATUS_SUCCESS;
}

static NTSTATUS FakeNotify(FAKEPATH_NOTIFY *pReq)
{
    PDEVICE_OBJECT pPath = FakeTakePath(pReq->path);
    if (pPath == NULL) {
        return STATUS_NO_SUCH_DEVICE;
    }
    TAPE_NFY_DVC nfy;
    RtlZeroMemory(&nfy, sizeof(nfy));
    nfy.ulType = pReq->type;
    nfy.pDvcObj = pPath;
    nfy.ePnp = pReq->value;
    pReq->status = FakeSendToBus(IOC_TAPE_NOTIFY, &nfy, sizeof(nfy), sizeof(nfy));
    ObDereferenceObject(pPath);
    return STATUS_SUCCESS;
}

static NTSTATUS FakePathInfo(FAKEPATH_PATH *pReq)
{
    PDEVICE_OBJECT pPath = FakeTakePath(pReq->path);
    if (pPath == NULL) {
        return STATUS_NO_SUCH_DEVICE;
    }
    PFAKEPATH_EXT pExt = (PFAKEPATH_EXT)pPath->DeviceExtension;
    if (pReq->set) {
        InterlockedExchange(&pExt->lCreateStatus, pReq->createStatus);
        InterlockedExchange(&pExt->lAnswerMode, (LONG)pReq->answerMode);
    }
    pReq->createStatus = InterlockedCompareExchange(&pExt->lCreateStatus, 0, 0);
    pReq->answerMode = (uint32_t)InterlockedCompareExchange(&pExt->lAnswerMode, 0, 0);
    pReq->creates = (uint32_t)InterlockedCompareExchange(&pExt->lCreates, 0, 0);
    pReq->closes = (uint32_t)InterlockedCompareExchange(&pExt->lCloses, 0, 0);
    pReq->busRequests = (uint32_t)InterlockedCompareExchange(&pExt->lBusRequests, 0, 0);
    pReq->lastCloses = (uint32_t)InterlockedCompareExchange(&pExt->lLastCloses, 0, 0);
    pReq->stackLocationsLeft = (uint32_t)InterlockedCompareExchange(&pExt->lStackLocationsLeft, 0, 0);
    pReq->deviceObject = (uint64_t)(ULONG_PTR)pPath;
    ObDereferenceObject(pPath);
    return STATUS_SUCCESS;
}

static NTSTATUS FakeOccupy(FAKEPATH_OCCUPY *pReq)
{
    UNICODE_STRING usName;
    pReq->name[RTL_NUMBER_OF(pReq->name) - 1] = 0;
    RtlInitUnicodeString(&usName, (PCWSTR)pReq->name);
    pReq->status = STATUS_NOT_FOUND;
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_apOccupied); i++) {
        if (pReq->remove) {
            if (g_apOccupied[i] != NULL) {
                IoDeleteDevice(g_apOccupied[i]);
                g_apOccupied[i] = NULL;
                pReq->status = STATUS_SUCCESS;
            }
        } else if (g_apOccupied[i] == NULL) {
            pReq->status = IoCreateDevice(g_pControl->DriverObject, sizeof(FAKEPATH_EXT), &usName, FILE_DEVICE_TAPE, 0,
                                          FALSE, &g_apOccupied[i]);
            if (NT_SUCCESS(pReq->status)) {
                RtlZeroMemory(g_apOccupied[i]->DeviceExtension, sizeof(FAKEPATH_EXT));
                g_apOccupied[i]->Flags &= ~DO_DEVICE_INITIALIZING;
            } else {
                g_apOccupied[i] = NULL;
            }
            break;
        }
    }
    return STATUS_SUCCESS;
}

/* An open or close that reached a path: the bus's own requests carry their status record. */
static NTSTATUS FakePathDispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFAKEPATH_EXT pExt = (PFAKEPATH_EXT)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    NTSTATUS status = STATUS_SUCCESS;

    if (pIrpStack->MajorFunction != IRP_MJ_CREATE && pIrpStack->MajorFunction != IRP_MJ_CLOSE) {
        return FakeComplete(pIrp, STATUS_SUCCESS, 0);
    }
    InterlockedExchange(&pExt->lStackLocationsLeft, pIrp->CurrentLocation - 1);
    PIRPS_WITH_STATUS pTable =
        (PIRPS_WITH_STATUS)InterlockedCompareExchangePointer((PVOID volatile *)&g_pTable, NULL, NULL);
    PSCSI_STATUS pRecord = STATUS_STRUCT_ALLOCATED(pTable, pIrp);
    BOOLEAN fFromBus = pRecord != NULL && pRecord == (PSCSI_STATUS)pIrp->AssociatedIrp.SystemBuffer;
    if (fFromBus) {
        InterlockedIncrement(&pExt->lBusRequests);
    }
    if (pIrpStack->MajorFunction == IRP_MJ_CREATE) {
        InterlockedIncrement(&pExt->lCreates);
        status = InterlockedCompareExchange(&pExt->lCreateStatus, 0, 0);
    } else {
        InterlockedIncrement(&pExt->lCloses);
        if (fFromBus && pRecord->ulInformation == 1) {
            InterlockedIncrement(&pExt->lLastCloses);
        }
    }
    if (InterlockedCompareExchange(&pExt->lAnswerMode, 0, 0) == FAKEPATH_ANSWER_PENDED) {
        IoMarkIrpPending(pIrp);
        FakeComplete(pIrp, status, 0);
        return STATUS_PENDING;
    }
    if (InterlockedCompareExchange(&pExt->lAnswerMode, 0, 0) == FAKEPATH_ANSWER_FROM_DPC) {
        return FakeCompleteLater(pIrp, status);
    }
    return FakeComplete(pIrp, status, 0);
}

static NTSTATUS FakeControlDispatch(PIRP pIrp)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pIrpStack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return FakeComplete(pIrp, STATUS_SUCCESS, 0);
    }
    PVOID pBuffer = pIrp->AssociatedIrp.SystemBuffer;
    ULONG ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;

#define FAKEPATH_HANDLE(code, type, routine)                                                \
    case code:                                                                              \
        if (pBuffer == NULL || ulIn < sizeof(type) || ulOut < sizeof(type)) {               \
            return FakeComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);                      \
        } else {                                                                            \
            NTSTATUS status = routine((type *)pBuffer);                                     \
            return FakeComplete(pIrp, status, NT_SUCCESS(status) ? sizeof(type) : 0);       \
        }

    switch (pIrpStack->Parameters.DeviceIoControl.IoControlCode) {
        FAKEPATH_HANDLE(FAKEPATH_IOCTL_CREATE, FAKEPATH_RANGE, FakeCreatePaths)
        FAKEPATH_HANDLE(FAKEPATH_IOCTL_DELETE, FAKEPATH_RANGE, FakeDeletePath)
        FAKEPATH_HANDLE(FAKEPATH_IOCTL_REGISTER, FAKEPATH_REGISTER, FakeRegister)
        FAKEPATH_HANDLE(FAKEPATH_IOCTL_NOTIFY, FAKEPATH_NOTIFY, FakeNotify)
        FAKEPATH_HANDLE(FAKEPATH_IOCTL_PATH, FAKEPATH_PATH, FakePathInfo)
        FAKEPATH_HANDLE(FAKEPATH_IOCTL_OCCUPY, FAKEPATH_OCCUPY, FakeOccupy)
    default:
        return FakeComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
#undef FAKEPATH_HANDLE
}

static NTSTATUS FakeDispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    if (pDeviceObject == g_pControl) {
        return FakeControlDispatch(pIrp);
    }
    return FakePathDispatch(pDeviceObject, pIrp);
}

static VOID FakeUnload(PDRIVER_OBJECT pDriverObject)
{
    UNREFERENCED_PARAMETER(pDriverObject);
    FAKEPATH_RANGE all = { 0, FAKEPATH_MAX_PATHS, 0 };
    FakeDeletePath(&all);
    FAKEPATH_OCCUPY free = {};
    free.remove = 1;
    FakeOccupy(&free);
    if (g_pBusFile != NULL) {
        ObDereferenceObject(g_pBusFile);
        g_pBusFile = NULL;
    }
    if (g_pControl != NULL) {
        IoDeleteDevice(g_pControl);
        g_pControl = NULL;
    }
}

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    UNREFERENCED_PARAMETER(pRegistryPath);
    KeInitializeSpinLock(&g_slPaths);
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        pDriverObject->MajorFunction[i] = FakeDispatch;
    }
    pDriverObject->DriverUnload = FakeUnload;

    /* Like a path filter: no bus control device, no driver. */
    UNICODE_STRING usBus;
    RtlInitUnicodeString(&usBus, TAPE_BUS_DEVICE_NAME);
    NTSTATUS status = IoGetDeviceObjectPointer(&usBus, FILE_READ_ATTRIBUTES, &g_pBusFile, &g_pBusDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    UNICODE_STRING usControl;
    RtlInitUnicodeString(&usControl, L"\\Device\\VorkaFakePathCtl");
    status = IoCreateDevice(pDriverObject, sizeof(FAKEPATH_EXT), &usControl, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &g_pControl);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(g_pBusFile);
        g_pBusFile = NULL;
        g_pControl = NULL;
        return status;
    }
    RtlZeroMemory(g_pControl->DeviceExtension, sizeof(FAKEPATH_EXT));
    ((PFAKEPATH_EXT)g_pControl->DeviceExtension)->fControl = TRUE;
    g_pControl->Flags |= DO_BUFFERED_IO;
    g_pControl->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
