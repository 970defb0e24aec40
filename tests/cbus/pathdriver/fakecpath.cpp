/*
 * vorkafakecpath: stands in for the changer path filters and the base changer driver in the changer
 * bus tests (see fakecpath_ioctl.h). Registrations and notifications are sent from the calling
 * thread in kernel mode, as a filter sends them from its PnP routines.
 */
#include <ntddscsi.h>
#include "fakepathframe.h"
#include "fakecpath_ioctl.h"

typedef struct _FAKECPATH_EXT {
    FAKE_PATH_HEADER Header;
    volatile LONG lSenseValid, lSenseKey, lAsc, lAscq, lPtScsiStatus, lPtSenseLength;
    volatile LONG lAnswerStatus, lAnswerInformation, lDelay;
    volatile LONG lRequests, lSuccesses, lActive, lMaxConcurrent, lLastIoctl, lLastIn, lLastOut, lLastFileObject;
} FAKECPATH_EXT, *PFAKECPATH_EXT;

static PDEVICE_OBJECT g_apPaths[FAKECPATH_MAX_PATHS];

extern const FAKE_DRIVER_CONFIG g_FakeDriver = {
    CHGR_BUS_DEVICE_NAME, L"\\Device\\VorkaFakeCPathCtl", FILE_DEVICE_CHANGER, sizeof(FAKECPATH_EXT),
    FAKECPATH_MAX_PATHS,  g_apPaths,
};

static NTSTATUS FakeCreatePaths(FAKECPATH_RANGE *pRange)
{
    return FakeCreatePaths(pRange->first, pRange->count);
}

static NTSTATUS FakeDeletePaths(FAKECPATH_RANGE *pRange)
{
    return FakeDeletePaths(pRange->first, pRange->count);
}

static NTSTATUS FakeRegister(FAKECPATH_REGISTER *pReq)
{
    PDEVICE_OBJECT pPath = FakeTakePath(pReq->path);
    if (pPath == NULL) {
        return STATUS_NO_SUCH_DEVICE;
    }
    CHGR_REG_DVC reg;
    RtlZeroMemory(&reg, sizeof(reg));
    reg.fFailover = pReq->failover;
    RtlCopyMemory(reg.szSN, pReq->serial, SERIAL_NUMBER_LENGTH);
    reg.scScsiAddr.Length = sizeof(SCSI_ADDRESS);
    reg.scScsiAddr.PortNumber = pReq->port;
    reg.scScsiAddr.PathId = pReq->pathId;
    reg.scScsiAddr.TargetId = pReq->target;
    reg.scScsiAddr.Lun = pReq->lun;
    reg.pDvcObj = pPath;
    reg.ePnp = pReq->pnpState;
    pReq->status = FakeSendToBus(IOC_CHGR_REGISTER, &reg, sizeof(reg), sizeof(reg));
    pReq->changerNumber = reg.ulChangerNumber;
    pReq->baseDriverExt = (uint64_t)(ULONG_PTR)reg.pBaseDriverExt;
    pReq->deviceObject = (uint64_t)(ULONG_PTR)pPath;
    if (NT_SUCCESS(pReq->status)) {
        FakeRememberTable((PIRPS_WITH_STATUS)reg.pBaseDriverExt);
    }
    ObDereferenceObject(pPath);
    return STATUS_SUCCESS;
}

static NTSTATUS FakeNotify(FAKECPATH_NOTIFY *pReq)
{
    PDEVICE_OBJECT pPath = FakeTakePath(pReq->path);
    if (pPath == NULL) {
        return STATUS_NO_SUCH_DEVICE;
    }
    CHGR_NFY_DVC nfy;
    RtlZeroMemory(&nfy, sizeof(nfy));
    nfy.pDvcObj = pPath;
    nfy.ePnp = pReq->state;
    pReq->status = FakeSendToBus(IOC_CHGR_NOTIFY, &nfy, sizeof(nfy), 0);
    ObDereferenceObject(pPath);
    return STATUS_SUCCESS;
}

static NTSTATUS FakeOccupy(FAKECPATH_OCCUPY *pReq)
{
    pReq->status = FakeOccupy((PWCHAR)pReq->name, RTL_NUMBER_OF(pReq->name), pReq->remove != 0);
    return STATUS_SUCCESS;
}

#define FAKE_READ(x) InterlockedCompareExchange(&(x), 0, 0)

static NTSTATUS FakePathInfo(FAKECPATH_PATH *pReq)
{
    PDEVICE_OBJECT pPath = FakeTakePath(pReq->path);
    if (pPath == NULL) {
        return STATUS_NO_SUCH_DEVICE;
    }
    PFAKECPATH_EXT pExt = (PFAKECPATH_EXT)pPath->DeviceExtension;
    if (pReq->set) {
        InterlockedExchange(&pExt->lSenseValid, pReq->senseValid);
        InterlockedExchange(&pExt->lSenseKey, pReq->senseKey);
        InterlockedExchange(&pExt->lAsc, pReq->asc);
        InterlockedExchange(&pExt->lAscq, pReq->ascq);
        InterlockedExchange(&pExt->lPtScsiStatus, pReq->ptScsiStatus);
        InterlockedExchange(&pExt->lPtSenseLength, pReq->ptSenseLength);
        InterlockedExchange(&pExt->lAnswerStatus, pReq->answerStatus);
        InterlockedExchange(&pExt->lAnswerInformation, (LONG)pReq->answerInformation);
        InterlockedExchange(&pExt->lDelay, (LONG)pReq->delayMicroseconds);
    }
    pReq->requests = (uint32_t)FAKE_READ(pExt->lRequests);
    pReq->successes = (uint32_t)FAKE_READ(pExt->lSuccesses);
    pReq->maxConcurrent = (uint32_t)FAKE_READ(pExt->lMaxConcurrent);
    pReq->lastIoctl = (uint32_t)FAKE_READ(pExt->lLastIoctl);
    pReq->lastHadFileObject = (uint8_t)FAKE_READ(pExt->lLastFileObject);
    pReq->lastInputLength = (uint32_t)FAKE_READ(pExt->lLastIn);
    pReq->lastOutputLength = (uint32_t)FAKE_READ(pExt->lLastOut);
    pReq->deviceObject = (uint64_t)(ULONG_PTR)pPath;
    ObDereferenceObject(pPath);
    return STATUS_SUCCESS;
}

/* A forwarded request reaching the path: answered as scripted, its status record filled as the base
   driver fills it. */
NTSTATUS FakePathRequest(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFAKECPATH_EXT pExt = (PFAKECPATH_EXT)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pIrpStack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return FakeComplete(pIrp, STATUS_SUCCESS, 0);
    }
    PSCSI_STATUS pRecord = FakeStatusRecord(pIrp);
    if (pRecord == NULL) {
        return FakeComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    LONG lActive = InterlockedIncrement(&pExt->lActive);
    for (LONG lMax = FAKE_READ(pExt->lMaxConcurrent); lActive > lMax; lMax = FAKE_READ(pExt->lMaxConcurrent)) {
        if (InterlockedCompareExchange(&pExt->lMaxConcurrent, lActive, lMax) == lMax) {
            break;
        }
    }
    ULONG ulIoctl = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
    ULONG ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    InterlockedExchange(&pExt->lLastIoctl, (LONG)ulIoctl);
    InterlockedExchange(&pExt->lLastFileObject, pIrpStack->FileObject != NULL ? 1 : 0);
    InterlockedExchange(&pExt->lLastIn, (LONG)ulIn);
    InterlockedExchange(&pExt->lLastOut, (LONG)ulOut);

    LONG lDelay = FAKE_READ(pExt->lDelay);
    if (lDelay > 0) {
        LARGE_INTEGER liDelay;
        liDelay.QuadPart = -10LL * lDelay;
        KeDelayExecutionThread(KernelMode, FALSE, &liDelay);
    }
    NTSTATUS status = FAKE_READ(pExt->lAnswerStatus);
    pRecord->iStatus = status;
    if (FAKE_READ(pExt->lSenseValid)) {
        pRecord->fSenseValid = TRUE;
        pRecord->ucSenseKey = (UCHAR)FAKE_READ(pExt->lSenseKey);
        pRecord->ucAsc = (UCHAR)FAKE_READ(pExt->lAsc);
        pRecord->ucAscq = (UCHAR)FAKE_READ(pExt->lAscq);
    }
    PUCHAR pBuffer = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    if (ulIoctl == IOCTL_SCSI_PASS_THROUGH && pBuffer != NULL && ulOut >= sizeof(SCSI_PASS_THROUGH)) {
        PSCSI_PASS_THROUGH pSpt = (PSCSI_PASS_THROUGH)pBuffer;
        pSpt->ScsiStatus = (UCHAR)FAKE_READ(pExt->lPtScsiStatus);
        ULONG ulSense = (ULONG)FAKE_READ(pExt->lPtSenseLength);
        if (ulSense > 0 && ulSense <= pSpt->SenseInfoLength && pSpt->SenseInfoOffset <= ulOut &&
            ulOut - pSpt->SenseInfoOffset >= ulSense) {
            PUCHAR pSense = pBuffer + pSpt->SenseInfoOffset;
            RtlZeroMemory(pSense, ulSense);
            pSense[0] = 0x70;
            pSense[2] = (UCHAR)FAKE_READ(pExt->lSenseKey);
            pSense[7] = (UCHAR)(ulSense - 8);
            pSense[12] = (UCHAR)FAKE_READ(pExt->lAsc);
            pSense[13] = (UCHAR)FAKE_READ(pExt->lAscq);
        }
        pSpt->SenseInfoLength = (UCHAR)ulSense;
    }
    InterlockedIncrement(&pExt->lRequests);
    if (NT_SUCCESS(status)) {
        InterlockedIncrement(&pExt->lSuccesses);
    }
    ULONG_PTR ulInformation = (ULONG)FAKE_READ(pExt->lAnswerInformation);
    if (ulInformation > 0 && pBuffer != NULL) {
        /* What a path returns lies in the forwarded buffer; the bus must still bound it by the
           caller's. */
        ULONG ulFill = ulInformation < ulOut ? (ULONG)ulInformation : ulOut;
        if (ulIoctl != IOCTL_SCSI_PASS_THROUGH) {
            RtlFillMemory(pBuffer, ulFill, 0xA5);
        }
    }
    InterlockedDecrement(&pExt->lActive);
    return FakeComplete(pIrp, status, ulInformation);
}

NTSTATUS FakeControlRequest(PIRP pIrp, ULONG ulCode, PVOID pBuffer, ULONG ulIn, ULONG ulOut)
{
    switch (ulCode) {
        FAKE_HANDLE(FAKECPATH_IOCTL_CREATE, FAKECPATH_RANGE, FakeCreatePaths)
        FAKE_HANDLE(FAKECPATH_IOCTL_DELETE, FAKECPATH_RANGE, FakeDeletePaths)
        FAKE_HANDLE(FAKECPATH_IOCTL_REGISTER, FAKECPATH_REGISTER, FakeRegister)
        FAKE_HANDLE(FAKECPATH_IOCTL_NOTIFY, FAKECPATH_NOTIFY, FakeNotify)
        FAKE_HANDLE(FAKECPATH_IOCTL_PATH, FAKECPATH_PATH, FakePathInfo)
        FAKE_HANDLE(FAKECPATH_IOCTL_OCCUPY, FAKECPATH_OCCUPY, FakeOccupy)
    default:
        return FakeComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}
