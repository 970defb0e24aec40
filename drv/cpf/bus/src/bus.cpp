/*
 * Changer bus driver: load and unload, the control device, and the dispatch routines of both device
 * kinds (the control device \Device\VorkaCBusDvc and the virtual changers \Device\Changer<n>).
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "bus.h"
#include "busrecords.h"
#include "vorkacbus.h"   /* generated from vorkacbus.mc */

/* The codes the driver writes are the ones its message table has texts for. */
static_assert(BUS_EVT_STARTED == VORKACBUS_STARTED, "start event");
static_assert(BUS_EVT_INIT_FAILED == VORKACBUS_INIT_FAILED, "initialisation failure event");
static_assert(BUS_EVT_STATUS_FAILOVER == VORKACBUS_STATUS_FAILOVER, "failover status event");
static_assert(BUS_EVT_NEW_PRIMARY == VORKACBUS_NEW_PRIMARY_PATH, "new primary path event");
static_assert(BUS_EVT_UNLOADING == VORKACBUS_UNLOADING, "unload event");

/* ---- Load and unload ---- */

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    ENT("DriverEntry: pDriverObject 0x%08x, pRegistryPath 0x%08x\n", DBG_PTR(pDriverObject), DBG_PTR(pRegistryPath));
    NTSTATUS status = BusLoad(pDriverObject, CHGR_BUS_DRVEXT_ID, CHGR_BUS_CALLBACK_NAME);
    EXT("DriverEntry: status 0x%08x\n", (ULONG)status);
    return status;
}

static VOID BusInitIoCount(PBUS_IO_COUNT pCount)
{
    pCount->ulIoCount = 1;
    KeInitializeEvent(&pCount->evIdle, SynchronizationEvent, TRUE);
    KeInitializeEvent(&pCount->evRemove, SynchronizationEvent, FALSE);
    ExInitializeFastMutex(&pCount->fmIoCount);
    ExInitializeFastMutex(&pCount->fmPnp);
    pCount->fRemoving = FALSE;
}

NTSTATUS BusAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject)
{
    PDEVICE_OBJECT pFdo = NULL;
    ENT("BusAddDevice: pDriverObject 0x%08x, pPhysicalDeviceObject 0x%08x\n", DBG_PTR(pDriverObject),
        DBG_PTR(pPhysicalDeviceObject));

    NTSTATUS status = BusCreateControlDevice(pDriverObject, sizeof(BUS_EXT), CHGR_BUS_DEVICE_NAME, CHGR_BUS_LINK_NAME,
                                             &pFdo);
    if (NT_SUCCESS(status)) {
        PBUS_EXT pExt = (PBUS_EXT)pFdo->DeviceExtension;
        RtlInitUnicodeString(&pExt->usLinkName, CHGR_BUS_LINK_NAME);
        pExt->fIsFdo = TRUE;
        pExt->pPhysicalDeviceObject = pPhysicalDeviceObject;
        pExt->ePrevPnpState = PNP_ABSENT;
        pExt->ePnpState = PNP_NOT_STARTED;
        BusInitIoCount(&pExt->IoCount);
        status = BusAttachControlDevice(pFdo, pPhysicalDeviceObject, &pExt->usLinkName, &pExt->rsPdoList,
                                        &pExt->pNextLowerDevice);
    }
    BusAddDeviceEvent(pDriverObject, CHGR_BUS_DEVICE_NAME, status);

    EXT("BusAddDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

VOID BusUnload(PDRIVER_OBJECT pDriverObject)
{
    ENT("BusUnload: pDriverObject 0x%08x\n", DBG_PTR(pDriverObject));
    /* The control device and the virtual changers went with the PnP removal of the device. */
    BusTwoParmEvent(pDriverObject, NULL, BUS_EVT_UNLOADING, NULL, NULL);
    BusReleaseStateCallback();
    EXT("BusUnload: VOID status\n");
}

PDEVICE_OBJECT CmnGetNextLowerDevice(PDEVICE_OBJECT pDeviceObject)
{
    PDEVICE_EXT_HEADER pHeader = (PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension;
    if (pHeader != NULL && pHeader->fIsFdo) {
        return ((PBUS_EXT)pHeader)->pNextLowerDevice;
    }
    return NULL;   /* virtual changers are not attached to anything */
}

VOID BusPdoMdlQueue(PDEVICE_OBJECT pDeviceObject, PBUS_MDL_NODE **pppHead, PKSPIN_LOCK *ppLock)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    *pppHead = &pPdoExt->pMdlQ;
    *ppLock = &pPdoExt->slMdlQ;
}

VOID BusSerialToWide(PWCHAR wszOut, const CHAR *pSN)
{
    ULONG i = 0;
    for (; i < SERIAL_NUMBER_LENGTH && pSN[i] != 0; i++) {
        wszOut[i] = (WCHAR)(UCHAR)pSN[i];
    }
    wszOut[i] = 0;
}

/* The new primary is named by its SCSI address, which the changer's record keeps for its primary. */
VOID BusPrimaryEvent(PVOID pIoObject, PIRP pIrp, PBUS_EXT pExt, PDEVICE_OBJECT pNewPrimary, PPDO_EXT pPdoExt)
{
    if (pNewPrimary == NULL || pExt == NULL || !pExt->fEventsEnabled) {
        return;
    }
    WCHAR wszPath[BUS_PATH_TEXT_CHARS];
    WCHAR wszSN[SERIAL_NUMBER_LENGTH + 1];
    KIRQL irql;
    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    SCSI_ADDRESS scScsiAddr = pPdoExt->scScsiAddr;
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    BusPathText(wszPath, &scScsiAddr);
    BusSerialToWide(wszSN, pPdoExt->szSN);
    BusTwoParmEvent(pIoObject, pIrp, BUS_EVT_NEW_PRIMARY, wszPath, wszSN);
}

/* ---- Dispatch ---- */

/* Create, close, cleanup, read, write and internal device control: both device kinds complete them
   at once; nothing is counted and nothing reaches a path. */
static NTSTATUS BusCompleteAtOnce(PCSTR szRoutine, PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("%s: pDeviceObject 0x%08x, pIrp 0x%08x\n", szRoutine, DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusCompleteRequest(pIrp, STATUS_SUCCESS, 0);
    EXT("%s: status 0x%08x\n", szRoutine, (ULONG)status);
    return status;
}

/* A virtual changer counts the handles open on it, so that the bus is not removed under them. */
static VOID BusCountHandle(PDEVICE_OBJECT pDeviceObject, BOOLEAN fOpen)
{
    PDEVICE_EXT_HEADER pHeader = (PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension;
    if (!pHeader->fIsFdo) {
        PPDO_EXT pPdoExt = (PPDO_EXT)pHeader;
        LONG lHandles = fOpen ? InterlockedIncrement(&pPdoExt->lOpenHandles)
                              : InterlockedDecrement(&pPdoExt->lOpenHandles);
        DBG("BusCountHandle: Changer%u has %d open handles\n", pPdoExt->ulChangerNumber, lHandles);
    }
}

NTSTATUS BusDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    BusCountHandle(pDeviceObject, TRUE);
    return BusCompleteAtOnce("BusDispatchCreate", pDeviceObject, pIrp);
}

NTSTATUS BusDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return BusCompleteAtOnce("BusDispatchClose", pDeviceObject, pIrp);
}

NTSTATUS BusDispatchCleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    BusCountHandle(pDeviceObject, FALSE);
    return BusCompleteAtOnce("BusDispatchCleanup", pDeviceObject, pIrp);
}

NTSTATUS BusDispatchRead(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return BusCompleteAtOnce("BusDispatchRead", pDeviceObject, pIrp);
}

NTSTATUS BusDispatchWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return BusCompleteAtOnce("BusDispatchWrite", pDeviceObject, pIrp);
}

NTSTATUS BusDispatchInternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return BusCompleteAtOnce("BusDispatchInternalDeviceControl", pDeviceObject, pIrp);
}

NTSTATUS BusDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusDispatchSystemControl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PDEVICE_EXT_HEADER pHeader = (PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension;
    if (pHeader->fIsFdo) {
        IoSkipCurrentIrpStackLocation(pIrp);
        status = IoCallDriver(((PBUS_EXT)pHeader)->pNextLowerDevice, pIrp);
    } else {
        status = BusPdoSystemControl(pDeviceObject, pIrp);
    }
    EXT("BusDispatchSystemControl: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusSendToFilter: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PDEVICE_EXT_HEADER pHeader = (PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension;
    if (pHeader->fIsFdo) {
        DBG("BusSendToFilter: Not handled for FDO.\n");
        status = BusCompleteRequest(pIrp, STATUS_NOT_SUPPORTED, 0);
    } else if (!BusEnterDevice(pDeviceObject)) {
        status = BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
    } else {
        status = BusPdoSendToFilter(pDeviceObject, pIrp);
        BusDecIoCount(pDeviceObject);
    }
    EXT("BusSendToFilter: status 0x%08x\n", (ULONG)status);
    return status;
}

/* The three control codes of the control device; anything else goes to the device below. */
static NTSTATUS BusControlDeviceIoControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PIO_STACK_LOCATION pIrpStack)
{
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    BUS_CONTROL_HANDLER eHandler;
    NTSTATUS status = BusCheckControlRequest(pIrpStack->Parameters.DeviceIoControl.IoControlCode, pIrp->RequestorMode,
                                             pIrpStack->Parameters.DeviceIoControl.InputBufferLength,
                                             pIrpStack->Parameters.DeviceIoControl.OutputBufferLength,
                                             pIrp->AssociatedIrp.SystemBuffer, &eHandler);
    if (!NT_SUCCESS(status)) {
        return BusCompleteRequest(pIrp, status, 0);
    }
    switch (eHandler) {
    case BUS_HANDLER_ADD_PATH:
        status = BusAddPath(pDeviceObject, pIrp);
        return BusCompleteRequest(pIrp, status, sizeof(REG_DVC));
    case BUS_HANDLER_NOTIFY_PNP:
        status = BusNotifyPnp(pDeviceObject, pIrp);
        return BusCompleteRequest(pIrp, status, 0);
    case BUS_HANDLER_QUERY_DEVICES:
        return BusQueryDevices(pDeviceObject, pIrp);
    default:
        DBG("BusDispatchDeviceControl: Unhandled IOCTL.\n");
        IoSkipCurrentIrpStackLocation(pIrp);
        return IoCallDriver(pExt->pNextLowerDevice, pIrp);
    }
}

/* Device control of a virtual changer, in the caller's thread. */
static NTSTATUS BusPdoDispatchIoControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PIO_STACK_LOCATION pIrpStack)
{
    ULONG ulCode = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
    if (ulCode == IOC_QUERY_DEVICES) {
        NTSTATUS status = BusCheckQueryDevicesOutput(pIrpStack->Parameters.DeviceIoControl.OutputBufferLength);
        if (!NT_SUCCESS(status) || pIrp->AssociatedIrp.SystemBuffer == NULL) {
            return BusCompleteRequest(pIrp, NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status, 0);
        }
        return BusQueryDevices(pDeviceObject, pIrp);
    }
    if (!BusPdoIoctlAccepted(pIrp, ulCode)) {
        DBG("BusDispatchDeviceControl: IOCTL 0x%08x not accepted on a virtual changer\n", ulCode);
        return BusCompleteRequest(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (ulCode == IOCTL_STORAGE_GET_DEVICE_NUMBER) {
        /* The virtual changer's own number: a path would answer its own. */
        ULONG_PTR ulInformation = 0;
        NTSTATUS status = BusPdoAnswerDeviceNumber(pIrp, FILE_DEVICE_CHANGER,
                                                   ((PPDO_EXT)pDeviceObject->DeviceExtension)->ulChangerNumber,
                                                   &ulInformation);
        return BusCompleteRequest(pIrp, status, ulInformation);
    }
    if (ulCode == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        /* The caller's data buffer can only be locked in the caller's own context; on failure the
           request is completed already. */
        NTSTATUS status = BusPdoLockSptdBuffer(pDeviceObject, pIrp);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return BusPdoDeviceControl(pDeviceObject, pIrp);
}

NTSTATUS BusDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusDispatchDeviceControl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pIrpStack == NULL) {
        DBG_NULL("BusDispatchDeviceControl: pIrpStack");
        status = BusCompleteRequest(pIrp, STATUS_INVALID_PARAMETER, 0);
    } else if (!BusEnterDevice(pDeviceObject)) {
        /* Counted, so that removal waits for the request; after removal began nothing is taken. */
        DBG("BusDispatchDeviceControl: device removed, request refused.\n");
        status = BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
    } else {
        if (((PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension)->fIsFdo) {
            status = BusControlDeviceIoControl(pDeviceObject, pIrp, pIrpStack);
        } else {
            status = BusPdoDispatchIoControl(pDeviceObject, pIrp, pIrpStack);
        }
        BusDecIoCount(pDeviceObject);
    }
    EXT("BusDispatchDeviceControl: status 0x%08x\n", (ULONG)status);
    return status;
}
