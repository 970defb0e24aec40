/*
 * vorkafakecpath: stands in for the changer path filters and the base changer driver in the changer
 * bus tests (see fakecpath_ioctl.h). Registrations and notifications are sent from the calling
 * thread in kernel mode, as a filter sends them from its PnP routines.
 */
#include <ntddk.h>
#include <ntddscsi.h>
#include "defines.h"
#include "fakecpath_ioctl.h"

typedef struct _FAKECPATH_EXT {
    ULONG ulPath;
    volatile LONG lSenseValid, lSenseKey, lAsc, lAscq, lPtScsiStatus, lPtSenseLength;
    volatile LONG lAnswerStatus, lAnswerInformation, lDelay;
    volatile LONG lRequests, lSuccesses, lActive, lMaxConcurrent, lLastIoctl, lLastIn, lLastOut;
} FAKECPATH_EXT, *PFAKECPATH_EXT;

static PDEVICE_OBJECT g_pControl;
static PDEVICE_OBJECT g_pBusDevice;
static PFILE_OBJECT g_pBusFile;
static KSPIN_LOCK g_slPaths;
static PDEVICE_OBJECT g_apPaths[FAKECPATH_MAX_PATHS];
static PIRPS_WITH_STATUS volatile g_pTable;
static PDEVICE_OBJECT g_apOccupied[4];

static NTSTATUS FakeComplete(PIRP pIrp, NTSTATUS status, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return status;
}

static PDEVICE_OBJECT FakeTakePath(ULONG ulPath)
{
    PDEVICE_OBJECT pPath = NULL;
    KIRQL irql;
    if (ulPath >= FAKECPATH_MAX_PATHS) {
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

static NTSTATUS FakeCreatePaths(FAKECPATH_RANGE *pRange)
{
    if (pRange->first >= FAKECPATH_MAX_PATHS || pRange->count > FAKECPATH_MAX_PATHS - pRange->first) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = pRange->first; i < pRange->first + pRange->count; i++) {
        PDEVICE_OBJECT pPath = NULL;
        NTSTATUS status = IoCreateDevice(g_pControl->DriverObject, sizeof(FAKECPATH_EXT), NULL, FILE_DEVICE_CHANGER, 0,
                                         FALSE, &pPath);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        PFAKECPATH_EXT pExt = (PFAKECPATH_EXT)pPath->DeviceExtension;
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

static NTSTATUS FakeDeletePaths(FAKECPATH_RANGE *pRange)
{
    for (ULONG i = pRange->first; i < pRange->first + pRange->count && i < FAKECPATH_MAX_PATHS; i++) {
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
    if (NT_SUCCESS(pReq->status) && reg.pBaseDriverExt != NULL) {
        InterlockedExchangePointer((PVOID volatile *)&g_pTable, reg.pBaseDriverExt);
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
    UNICODE_STRING usName;
    pReq->name[RTL_NUMBER_OF(pReq->name) - 1] = 0;
    RtlInitUnicodeString(&usName, (PCWSTR)pReq->name);
    pReq->status = STATUS_NOT_FOUND;
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_apOccupied); i++) {
        if (pReq->remove) {
            if (g_apOccupied[i] != NULL) {
                IoDeleteDevice(g_apOccupied[i]);
                g_apOccupied[i] = NULL;
            }
            pReq->status = STATUS_SUCCESS;
        } else if (g_apOccupied[i] == NULL) {
            pReq->status = IoCreateDevice(g_pControl->DriverObject, sizeof(FAKECPATH_EXT), &usName, FILE_DEVICE_CHANGER,
                                          0, FALSE, &g_apOccupied[i]);
            if (NT_SUCCESS(pReq->status)) {
                RtlZeroMemory(g_apOccupied[i]->DeviceExtension, sizeof(FAKECPATH_EXT));
                g_apOccupied[i]->Flags &= ~DO_DEVICE_INITIALIZING;
            } else {
                g_apOccupied[i] = NULL;
            }
            break;
        }
    }
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
    pReq->lastInputLength = (uint32_t)FAKE_READ(pExt->lLastIn);
    pReq->lastOutputLength = (uint32_t)FAKE_READ(pExt->lLastOut);
    pReq->deviceObject = (uint64_t)(ULONG_PTR)pPath;
    ObDereferenceObject(pPath);
    return STATUS_SUCCESS;
}

/* A forwarded request reaching the path: answered as scripted, its status record filled as the base
   driver fills it. */
static NTSTATUS FakePathDispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFAKECPATH_EXT pExt = (PFAKECPATH_EXT)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pIrpStack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return FakeComplete(pIrp, STATUS_SUCCESS, 0);
    }
    PIRPS_WITH_STATUS pTable = (PIRPS_WITH_STATUS)InterlockedCompareExchangePointer((PVOID volatile *)&g_pTable, NULL, NULL);
    PSCSI_STATUS pRecord = STATUS_STRUCT_ALLOCATED(pTable, pIrp);
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

static NTSTATUS FakeControlDispatch(PIRP pIrp)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pIrpStack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return FakeComplete(pIrp, STATUS_SUCCESS, 0);
    }
    PVOID pBuffer = pIrp->AssociatedIrp.SystemBuffer;
    ULONG ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;

#define FAKE_HANDLE(code, type, routine)                                                    \
    case code:                                                                              \
        if (pBuffer == NULL || ulIn < sizeof(type) || ulOut < sizeof(type)) {               \
            return FakeComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);                      \
        } else {                                                                            \
            NTSTATUS status = routine((type *)pBuffer);                                     \
            return FakeComplete(pIrp, status, NT_SUCCESS(status) ? sizeof(type) : 0);       \
        }

    switch (pIrpStack->Parameters.DeviceIoControl.IoControlCode) {
        FAKE_HANDLE(FAKECPATH_IOCTL_CREATE, FAKECPATH_RANGE, FakeCreatePaths)
        FAKE_HANDLE(FAKECPATH_IOCTL_DELETE, FAKECPATH_RANGE, FakeDeletePaths)
        FAKE_HANDLE(FAKECPATH_IOCTL_REGISTER, FAKECPATH_REGISTER, FakeRegister)
        FAKE_HANDLE(FAKECPATH_IOCTL_NOTIFY, FAKECPATH_NOTIFY, FakeNotify)
        FAKE_HANDLE(FAKECPATH_IOCTL_PATH, FAKECPATH_PATH, FakePathInfo)
        FAKE_HANDLE(FAKECPATH_IOCTL_OCCUPY, FAKECPATH_OCCUPY, FakeOccupy)
    default:
        return FakeComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
#undef FAKE_HANDLE
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
    FAKECPATH_RANGE all = { 0, FAKECPATH_MAX_PATHS };
    FakeDeletePaths(&all);
    FAKECPATH_OCCUPY release = {};
    release.remove = 1;
    FakeOccupy(&release);
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
    g_pTable = NULL;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        pDriverObject->MajorFunction[i] = FakeDispatch;
    }
    pDriverObject->DriverUnload = FakeUnload;

    UNICODE_STRING usBus;
    RtlInitUnicodeString(&usBus, CHGR_BUS_DEVICE_NAME);
    NTSTATUS status = IoGetDeviceObjectPointer(&usBus, FILE_READ_ATTRIBUTES, &g_pBusFile, &g_pBusDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING usControl;
    RtlInitUnicodeString(&usControl, L"\\Device\\VorkaFakeCPathCtl");
    status = IoCreateDevice(pDriverObject, sizeof(FAKECPATH_EXT), &usControl, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &g_pControl);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(g_pBusFile);
        g_pBusFile = NULL;
        g_pControl = NULL;
        return status;
    }
    RtlZeroMemory(g_pControl->DeviceExtension, sizeof(FAKECPATH_EXT));
    g_pControl->Flags |= DO_BUFFERED_IO;
    g_pControl->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
