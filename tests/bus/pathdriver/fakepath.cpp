/*
 * vorkafakepath: stands in for the tape path filters in the bus tests (see fakepath_ioctl.h). It
 * registers and notifies from the calling thread, in kernel mode, as a filter does from its PnP
 * and dispatch routines.
 */
#include "fakepathframe.h"
#include "fakepath_ioctl.h"

typedef struct _FAKEPATH_EXT {
    FAKE_PATH_HEADER Header;
    volatile LONG lCreateStatus;
    volatile LONG lAnswerMode;
    volatile LONG lCreates;
    volatile LONG lCloses;
    volatile LONG lBusRequests;
    volatile LONG lLastCloses;
    volatile LONG lStackLocationsLeft;
} FAKEPATH_EXT, *PFAKEPATH_EXT;

static PDEVICE_OBJECT g_apPaths[FAKEPATH_MAX_PATHS];

extern const FAKE_DRIVER_CONFIG g_FakeDriver = {
    TAPE_BUS_DEVICE_NAME, L"\\Device\\VorkaFakePathCtl", FILE_DEVICE_TAPE, sizeof(FAKEPATH_EXT),
    FAKEPATH_MAX_PATHS,   g_apPaths,
};

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
    if (NT_SUCCESS(pReq->status)) {
        FakeRememberTable((PIRPS_WITH_STATUS)reg.pBaseDriverExt);
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
    pReq->status = FakeOccupy((PWCHAR)pReq->name, RTL_NUMBER_OF(pReq->name), pReq->remove != 0);
    return STATUS_SUCCESS;
}

static NTSTATUS FakeCreatePaths(FAKEPATH_RANGE *pRange)
{
    return FakeCreatePaths(pRange->first, pRange->count);
}

static NTSTATUS FakeDeletePaths(FAKEPATH_RANGE *pRange)
{
    return FakeDeletePaths(pRange->first, pRange->count);
}

/* An open or close that reached a path: the bus's own requests carry their status record. */
NTSTATUS FakePathRequest(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFAKEPATH_EXT pExt = (PFAKEPATH_EXT)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    NTSTATUS status = STATUS_SUCCESS;

    if (pIrpStack->MajorFunction != IRP_MJ_CREATE && pIrpStack->MajorFunction != IRP_MJ_CLOSE) {
        return FakeComplete(pIrp, STATUS_SUCCESS, 0);
    }
    InterlockedExchange(&pExt->lStackLocationsLeft, pIrp->CurrentLocation - 1);
    PSCSI_STATUS pRecord = FakeStatusRecord(pIrp);
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

NTSTATUS FakeControlRequest(PIRP pIrp, ULONG ulCode, PVOID pBuffer, ULONG ulIn, ULONG ulOut)
{
    switch (ulCode) {
        FAKE_HANDLE(FAKEPATH_IOCTL_CREATE, FAKEPATH_RANGE, FakeCreatePaths)
        FAKE_HANDLE(FAKEPATH_IOCTL_DELETE, FAKEPATH_RANGE, FakeDeletePaths)
        FAKE_HANDLE(FAKEPATH_IOCTL_REGISTER, FAKEPATH_REGISTER, FakeRegister)
        FAKE_HANDLE(FAKEPATH_IOCTL_NOTIFY, FAKEPATH_NOTIFY, FakeNotify)
        FAKE_HANDLE(FAKEPATH_IOCTL_PATH, FAKEPATH_PATH, FakePathInfo)
        FAKE_HANDLE(FAKEPATH_IOCTL_OCCUPY, FAKEPATH_OCCUPY, FakeOccupy)
    default:
        return FakeComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}
