/*
 * Tape path-failover bus driver: load and unload, the control device \Device\VorkaTBusDvc, the
 * dispatch table shared by the control device and the virtual tape devices, the control codes of the
 * control device, and the system event log records.
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "bus.h"
#include "busrecords.h"
#include "busquery.h"
#include "vorkatbus.h"   /* generated from vorkatbus.mc */

/* The codes the driver writes are the ones its message table has texts for. */
static_assert(BUS_EVT_STARTED == VORKATBUS_STARTED, "start event");
static_assert(BUS_EVT_INIT_FAILED == VORKATBUS_INIT_FAILED, "initialisation failure event");
static_assert(BUS_EVT_STATUS_FAILOVER == VORKATBUS_STATUS_FAILOVER, "failover status event");
static_assert(BUS_EVT_NEW_PRIMARY == VORKATBUS_NEW_PRIMARY_PATH, "new primary path event");
static_assert(BUS_EVT_UNLOADING == VORKATBUS_UNLOADING, "unload event");
static_assert(BUS_EVT_RESERVING_HOST_KEY == VORKATBUS_RESERVING_HOST_KEY, "host key event");
static_assert(BUS_EVT_RESERVATION_REFUSED == VORKATBUS_RESERVATION_NOT_BROKEN, "reservation event");
static_assert(BUS_EVT_SERIAL_CLASH == VORKATBUS_SERIAL_CLASH, "serial number clash event");

/* ---- Load and unload ---- */

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    ENT("DriverEntry: pDriverObject 0x%08x, pRegistryPath 0x%08x\n", DBG_PTR(pDriverObject), DBG_PTR(pRegistryPath));
    NTSTATUS status = BusLoad(pDriverObject, TAPE_BUS_DRVEXT_ID, TAPE_BUS_CALLBACK_NAME);
    EXT("DriverEntry: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject)
{
    PDEVICE_OBJECT pFdo = NULL;
    ENT("BusAddDevice: pDriverObject 0x%08x, pPhysicalDeviceObject 0x%08x\n",
        DBG_PTR(pDriverObject), DBG_PTR(pPhysicalDeviceObject));

    NTSTATUS status = BusCreateControlDevice(pDriverObject, sizeof(BUS_EXT), TAPE_BUS_DEVICE_NAME, TAPE_BUS_LINK_NAME,
                                             &pFdo);
    if (NT_SUCCESS(status)) {
        PBUS_EXT pExt = (PBUS_EXT)pFdo->DeviceExtension;
        RtlInitUnicodeString(&pExt->usLinkName, TAPE_BUS_LINK_NAME);
        pExt->fIsFdo = TRUE;
        pExt->fLoadBalancing = TRUE;
        pExt->pDeviceObject = pFdo;
        pExt->pPhysicalDeviceObject = pPhysicalDeviceObject;
        pExt->ePrevPnpState = PNP_ABSENT;
        pExt->ePnpState = PNP_NOT_STARTED;
        pExt->ulIoCount = 1;
        KeInitializeEvent(&pExt->evIdle, SynchronizationEvent, TRUE);
        KeInitializeEvent(&pExt->evRemove, SynchronizationEvent, FALSE);
        ExInitializeFastMutex(&pExt->fmIoCount);
        ExInitializeFastMutex(&pExt->fmPnp);
        KeInitializeSpinLock(&pExt->slAdapterList);
        status = BusAttachControlDevice(pFdo, pPhysicalDeviceObject, &pExt->usLinkName, &pExt->rsPdoList,
                                        &pExt->pNextLowerDevice);
    }
    BusAddDeviceEvent(pDriverObject, TAPE_BUS_DEVICE_NAME, status);

    EXT("BusAddDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

VOID BusUnload(PDRIVER_OBJECT pDriverObject)
{
    ENT("BusUnload: pDriverObject 0x%08x\n", DBG_PTR(pDriverObject));
    /* The control device and its link went with the PnP removal of the device. */
    BusTwoParmEvent(pDriverObject, NULL, BUS_EVT_UNLOADING, NULL, NULL);
    BusReleaseStateCallback();
    EXT("BusUnload: VOID status\n");
}

PIRPS_WITH_STATUS BusGetIrpsWithStatus(PDRIVER_OBJECT pDriverObject)
{
    return (PIRPS_WITH_STATUS)IoGetDriverObjectExtension(pDriverObject, (PVOID)(ULONG_PTR)TAPE_BUS_DRVEXT_ID);
}

PDEVICE_OBJECT CmnGetNextLowerDevice(PDEVICE_OBJECT pDeviceObject)
{
    PDEVICE_EXT_HEADER pHeader = (PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension;
    if (pHeader != NULL && pHeader->fIsFdo) {
        return ((PBUS_EXT)pHeader)->pNextLowerDevice;
    }
    return NULL;   /* virtual devices are not attached to anything */
}

static BOOLEAN BusIsControlDevice(PDEVICE_OBJECT pDeviceObject)
{
    return ((PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension)->fIsFdo ? TRUE : FALSE;
}

/* ---- Dispatch routines ---- */

NTSTATUS BusDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusDispatchCreate: pDeviceObject 0x%08x, pIrp 0x%08x, version %s, built %s %s\n",
        DBG_PTR(pDeviceObject), DBG_PTR(pIrp), BUS_VERSION_TEXT, __DATE__, __TIME__);

    /* Every accepted request is counted in and out, so that stop and remove wait for it. */
    if (!BusEnterDevice(pDeviceObject)) {
        DBG("BusDispatchCreate: device removed, request refused.\n");
        status = BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
    } else {
        if (BusIsControlDevice(pDeviceObject)) {
            status = BusCompleteRequest(pIrp, STATUS_SUCCESS, 0);
        } else {
            status = BusPdoCreate(pDeviceObject, pIrp);
        }
        BusDecIoCount(pDeviceObject);
    }

    EXT("BusDispatchCreate: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusDispatchClose: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    /* A handle always closes, also on a removed device (then without being counted). */
    BOOLEAN fEntered = BusEnterDevice(pDeviceObject);
    if (BusIsControlDevice(pDeviceObject)) {
        status = BusCompleteRequest(pIrp, STATUS_SUCCESS, 0);
    } else {
        status = BusPdoClose(pDeviceObject, pIrp);
    }
    if (fEntered) {
        BusDecIoCount(pDeviceObject);
    }

    EXT("BusDispatchClose: status 0x%08x\n", (ULONG)status);
    return status;
}

/* Read and write of a virtual device go to its worker threads; the control device carries no data. */
static NTSTATUS BusDispatchReadWriteCounted(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    if (BusIsControlDevice(pDeviceObject)) {
        return BusSendToFilter(pDeviceObject, pIrp);
    }
    if (BusPdoIsGone((PPDO_EXT)pDeviceObject->DeviceExtension)) {
        /* The drive lost its paths; a handle that is still open gets no answer from it. */
        return BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
    }
    NTSTATUS status = BusPdoQueueIrp(pDeviceObject, pIrp, BusSendToFilter);
    if (status != STATUS_PENDING) {
        DBG_FAILED("BusDispatchReadWrite: BusPdoQueueIrp", status);
        BusCompleteRequest(pIrp, status, 0);
    }
    return status;
}

static NTSTATUS BusDispatchReadWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    if (!BusEnterDevice(pDeviceObject)) {
        return BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
    }
    NTSTATUS status = BusDispatchReadWriteCounted(pDeviceObject, pIrp);
    BusDecIoCount(pDeviceObject);
    return status;
}

NTSTATUS BusDispatchRead(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusDispatchRead: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusDispatchReadWrite(pDeviceObject, pIrp);
    EXT("BusDispatchRead: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusDispatchWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusDispatchWrite: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusDispatchReadWrite(pDeviceObject, pIrp);
    EXT("BusDispatchWrite: status 0x%08x\n", (ULONG)status);
    return status;
}

/* IOC_QUERY_DEVICES, answered the same on the control device and on every virtual device. */
static NTSTATUS BusQueryDevicesRequest(PDEVICE_OBJECT pControlDevice, PIRP pIrp, PIO_STACK_LOCATION pIrpStack)
{
    NTSTATUS status = BusCheckQueryDevicesOutput(pIrpStack->Parameters.DeviceIoControl.OutputBufferLength);
    if (!NT_SUCCESS(status)) {
        return BusCompleteRequest(pIrp, status, 0);
    }
    if (pControlDevice == NULL) {
        DBG_NULL("BusQueryDevicesRequest: pControlDevice");
        return BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
    }
    return BusQueryDevices(pControlDevice, pIrp);
}

/*
 * IOC_QUERY_DEVICES on a virtual device: the control device answers it. The control device may be
 * removed meanwhile, and its removal frees the drive lists and deletes the list lock that the answer
 * walks. So the query holds a reference to the control device object (which keeps its extension) and
 * is counted in on it, which makes the removal wait for it; once the removal has begun, or the
 * virtual device has lost its drive, the query is refused instead.
 */
static NTSTATUS BusPdoQueryDevicesRequest(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PIO_STACK_LOCATION pIrpStack)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
    PDEVICE_OBJECT pControlDevice = NULL;
    NTSTATUS status;
    KIRQL irql;

    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    if (pPdoExt->pPdoData != NULL && pPdoExt->pBusExt != NULL && pPdoExt->pBusExt->pDeviceObject != NULL) {
        pControlDevice = pPdoExt->pBusExt->pDeviceObject;
        ObReferenceObject(pControlDevice);
    }
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    if (pControlDevice == NULL) {
        return BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
    }

    if (!BusControlDeviceEnter(pControlDevice)) {
        DBG("BusDispatchDeviceControl: bus is being removed, IOC_QUERY_DEVICES refused.\n");
        ObDereferenceObject(pControlDevice);
        return BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
    }
    /* Counted in: the removal waits for this request before it deletes anything. A device that lost
       its drive meanwhile answers as such. */
    if (BusPdoIsGone(pPdoExt)) {
        DBG("BusDispatchDeviceControl: bus is being removed, IOC_QUERY_DEVICES refused.\n");
        status = BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
    } else {
        status = BusQueryDevicesRequest(pControlDevice, pIrp, pIrpStack);
    }
    BusDecIoCount(pControlDevice);
    ObDereferenceObject(pControlDevice);
    return status;
}

/* The control codes of the control device. */
static NTSTATUS BusControlDeviceIoControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PIO_STACK_LOCATION pIrpStack)
{
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    ULONG ulCode = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
    ULONG ulInput = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOutput = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status;

    BUS_CONTROL_HANDLER handler;
    status = BusCheckControlRequest(ulCode, pIrp->RequestorMode, ulInput, ulOutput, pIrp->AssociatedIrp.SystemBuffer,
                                    &handler);
    if (!NT_SUCCESS(status)) {
        return BusCompleteRequest(pIrp, status, 0);
    }

    switch (handler) {
    case BUS_HANDLER_ADD_PATH:
        status = BusAddPath(pDeviceObject, pIrp);
        BusCompleteRequest(pIrp, status, sizeof(REG_DVC));
        break;

    case BUS_HANDLER_NOTIFY_PNP:
        status = BusNotifyPnp(pDeviceObject, pIrp);
        BusCompleteRequest(pIrp, status, 0);
        break;

    case BUS_HANDLER_NOTIFY_IO:
        status = BusNotifyIo(pDeviceObject, pIrp);
        BusCompleteRequest(pIrp, status, 0);
        break;

    case BUS_HANDLER_NOTIFY_UNKNOWN:
        DBG("BusDispatchDeviceControl: unknown notify type 0x%x\n",
            (unsigned)((PNFY_DVC)pIrp->AssociatedIrp.SystemBuffer)->ulType);
        DBG_ASSERT(!"Unreachable");
        status = STATUS_SUCCESS;
        BusCompleteRequest(pIrp, status, 0);
        break;

    case BUS_HANDLER_QUERY_DEVICES:
        status = BusQueryDevices(pDeviceObject, pIrp);
        break;

    default:
        DBG("Unhandled IOCTL.\n");
        IoSkipCurrentIrpStackLocation(pIrp);
        status = IoCallDriver(pExt->pNextLowerDevice, pIrp);
        break;
    }
    return status;
}

NTSTATUS BusDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusDispatchDeviceControl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pIrpStack == NULL) {
        DBG_NULL("BusDispatchDeviceControl: pIrpStack");
        status = BusCompleteRequest(pIrp, STATUS_INVALID_PARAMETER, 0);
    } else if (BusIsControlDevice(pDeviceObject)) {
        /* Counted, so that a stop or remove of the control device waits for the request. Filters hold
           the control device open past its removal: their requests are refused then. */
        if (!BusControlDeviceEnter(pDeviceObject)) {
            DBG("BusDispatchDeviceControl: control device removed, request refused.\n");
            status = BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
        } else {
            status = BusControlDeviceIoControl(pDeviceObject, pIrp, pIrpStack);
            BusDecIoCount(pDeviceObject);
        }
    } else if (!BusEnterDevice(pDeviceObject)) {
        DBG("BusDispatchDeviceControl: virtual device removed, request refused.\n");
        status = BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
    } else {
        PPDO_EXT pPdoExt = (PPDO_EXT)pDeviceObject->DeviceExtension;
        ULONG ulCode = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
        if (BusPdoIsGone(pPdoExt)) {
            /* The drive lost its paths; a handle that is still open gets no answer from it. */
            status = BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
        } else if (ulCode == IOC_QUERY_DEVICES) {
            status = BusPdoQueryDevicesRequest(pDeviceObject, pIrp, pIrpStack);
        } else if (!BusPdoIoctlAccepted(pIrp, ulCode)) {
            DBG("BusDispatchDeviceControl: IOCTL 0x%08x not accepted on a virtual device\n", ulCode);
            status = BusCompleteRequest(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
        } else if (ulCode == IOCTL_STORAGE_GET_DEVICE_NUMBER) {
            /* The virtual device's own number: a path would answer its own. */
            ULONG_PTR ulInformation = 0;
            status = BusPdoAnswerDeviceNumber(pIrp, FILE_DEVICE_TAPE, (ULONG)pPdoExt->ulTapeNumber, &ulInformation);
            BusCompleteRequest(pIrp, status, ulInformation);
        } else {
            BOOLEAN fSptd = ulCode == IOCTL_SCSI_PASS_THROUGH_DIRECT;
            status = STATUS_SUCCESS;
            if (fSptd) {
                /* The caller's data buffer can only be locked in the caller's own context. */
                status = BusPdoLockSptdBuffer(pDeviceObject, pIrp);
            }
            if (NT_SUCCESS(status)) {
                status = BusPdoQueueIrp(pDeviceObject, pIrp, BusPdoDeviceControl);
                if (status != STATUS_PENDING) {
                    DBG_FAILED("BusDispatchDeviceControl: BusPdoQueueIrp", status);
                    if (fSptd) {
                        BusPdoDequeueMdl(pDeviceObject, pIrp);
                    }
                    BusCompleteRequest(pIrp, status, 0);
                }
            }
        }
        BusDecIoCount(pDeviceObject);
    }

    EXT("BusDispatchDeviceControl: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusDispatchInternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusDispatchInternalDeviceControl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status;
    if (!BusEnterDevice(pDeviceObject)) {
        status = BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
    } else {
        status = BusCompleteRequest(pIrp, STATUS_SUCCESS, 0);
        BusDecIoCount(pDeviceObject);
    }
    EXT("BusDispatchInternalDeviceControl: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusDispatchCleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusDispatchCleanup: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    /* Like a close, a cleanup succeeds on a removed device too. */
    BOOLEAN fEntered = BusEnterDevice(pDeviceObject);
    NTSTATUS status;
    if (BusIsControlDevice(pDeviceObject)) {
        status = BusCompleteRequest(pIrp, STATUS_SUCCESS, 0);
    } else {
        status = BusPdoCleanup(pDeviceObject, pIrp);
    }
    if (fEntered) {
        BusDecIoCount(pDeviceObject);
    }
    EXT("BusDispatchCleanup: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusDispatchSystemControl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    if (!BusEnterDevice(pDeviceObject)) {
        status = BusCompleteRequest(pIrp, STATUS_DELETE_PENDING, 0);
    } else {
        if (BusIsControlDevice(pDeviceObject)) {
            PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
            IoSkipCurrentIrpStackLocation(pIrp);
            status = IoCallDriver(pExt->pNextLowerDevice, pIrp);
        } else {
            status = BusPdoSystemControl(pDeviceObject, pIrp);
        }
        BusDecIoCount(pDeviceObject);
    }

    EXT("BusDispatchSystemControl: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusSendToFilter: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));

    if (BusIsControlDevice(pDeviceObject)) {
        DBG("BusSendToFilter: Not handled for FDO.\n");
        status = BusCompleteRequest(pIrp, STATUS_NOT_SUPPORTED, 0);
    } else {
        status = BusPdoSendToFilter(pDeviceObject, pIrp);
    }

    EXT("BusSendToFilter: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Path registration ---- */

/*
 * Filters register their paths (IOC_REGISTER) and report PnP changes and
 * direct opens and closes of their path devices (IOC_NOTIFY). The bus groups
 * paths by drive serial number, one virtual device per drive.
 *
 * Locking: the bus-wide list lock (an ERESOURCE, PASSIVE_LEVEL) is held
 * exclusively while drives or paths are added or removed and shared while the
 * lists are walked; the fields of a drive's paths are read and changed under
 * its path-list spin lock; adapter records under the adapter-list spin lock.
 */

BOOLEAN BusSerialIsPlaceholder(PCSTR szSN)
{
    for (SIZE_T i = 0; i < 32 && szSN[i] != 0; i++) {
        if (szSN[i] != '0') {
            return FALSE;
        }
    }
    return TRUE;
}

/*
 * Finds the path record of the filter device object pFdo and returns its
 * drive, or NULL. The caller holds the bus-wide list lock.
 */
static PPDO_DATA BusFindPath(PBUS_EXT pExt, PDEVICE_OBJECT pFdo, PPATH_DATA *ppPath)
{
    *ppPath = NULL;
    for (PPDO_DATA pPdoData = pExt->pListOfPdos; pPdoData != NULL; pPdoData = pPdoData->pNext) {
        PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
        KIRQL irql;
        KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
        for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
            if (pPath->pFDO == pFdo) {
                *ppPath = pPath;
                break;
            }
        }
        KeReleaseSpinLock(&pPdoExt->slPathList, irql);
        if (*ppPath != NULL) {
            return pPdoData;
        }
    }
    return NULL;
}

/*
 * The drive of an earlier registration of the same path still fits this one
 * when the path belongs to the same drive and in the same grouping mode.
 */
static BOOLEAN BusPathStillFits(PPDO_DATA pPdoData, PREG_DVC pRegDvc, BOOLEAN fGroup)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
    if ((pPdoData->fFailover ? TRUE : FALSE) != fGroup) {
        return FALSE;
    }
    return strncmp(pPdoExt->szSN, pRegDvc->szSN, 32) == 0;
}

static BOOLEAN BusIsHexDigit(WCHAR wc);

/* A world-wide node name the device reported: 16 hexadecimal digits, not all zero. */
static BOOLEAN BusWwnnKnown(PCSTR szWwnn)
{
    BOOLEAN fNonZero = FALSE;
    for (ULONG i = 0; i < 16; i++) {
        if (!BusIsHexDigit((UCHAR)szWwnn[i])) {
            return FALSE;
        }
        fNonZero = fNonZero || szWwnn[i] != '0';
    }
    return fNonZero;
}

/* Two node names of 16 hexadecimal digits name the same node, in either case. */
static BOOLEAN BusWwnnSame(PCSTR szA, PCSTR szB)
{
    for (ULONG i = 0; i < 16; i++) {
        CHAR a = szA[i] >= 'a' && szA[i] <= 'f' ? (CHAR)(szA[i] - 'a' + 'A') : szA[i];
        CHAR b = szB[i] >= 'a' && szB[i] <= 'f' ? (CHAR)(szB[i] - 'a' + 'A') : szB[i];
        if (a != b) {
            return FALSE;
        }
    }
    return TRUE;
}

/* The event of a device that reports another drive's serial number: its SCSI address and the serial. */
static VOID BusSerialClashEvent(PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc)
{
    WCHAR wszAddress[BUS_PATH_TEXT_CHARS];
    WCHAR wszSN[34];
    BusPathText(wszAddress, &pRegDvc->scScsiAddr);
    ULONG i = 0;
    for (; i < 32 && pRegDvc->szSN[i] != 0; i++) {
        wszSN[i] = (WCHAR)(UCHAR)pRegDvc->szSN[i];
    }
    wszSN[i] = 0;
    BusTwoParmEvent(pDeviceObject, NULL, BUS_EVT_SERIAL_CLASH, wszAddress, wszSN);
}

PPDO_DATA BusPdoFound(PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc)
{
    ENT("BusPdoFound: pDeviceObject 0x%08x, pRegDvc 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pRegDvc));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    PPDO_DATA pFound = NULL;
    BOOLEAN fClash = FALSE;

    /* Only drives that group their paths take further paths. A device that reports the serial number
       of a drive but another world-wide node name (both known) is another drive, whatever its serial
       number says: grouped, it would get that drive's requests and name. */
    for (PPDO_DATA pPdoData = pExt->pListOfPdos; pPdoData != NULL; pPdoData = pPdoData->pNext) {
        PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
        if (!pPdoData->fFailover || strncmp(pPdoExt->szSN, pRegDvc->szSN, 32) != 0) {
            continue;
        }
        if (BusWwnnKnown(pPdoExt->szWwnn) && BusWwnnKnown(pRegDvc->szWwnn) &&
            !BusWwnnSame(pPdoExt->szWwnn, pRegDvc->szWwnn)) {
            DBG("BusPdoFound: serial number %s with node names %s and %s: not grouped\n", pRegDvc->szSN,
                pPdoExt->szWwnn, pRegDvc->szWwnn);
            fClash = TRUE;
            continue;
        }
        pFound = pPdoData;
        break;
    }
    if (pFound == NULL && fClash) {
        BusSerialClashEvent(pDeviceObject, pRegDvc);
    }
    EXT("BusPdoFound: pPdoData 0x%08x, status 0x%08x\n", DBG_PTR(pFound), (ULONG)STATUS_SUCCESS);
    return pFound;
}

/*
 * A path that registers again (its filter restarted) keeps its record: the
 * record takes the new state and address as for a start, and the device map
 * entry is written again. The caller holds the bus-wide lock exclusively.
 */
static NTSTATUS BusPdoReregisterPath(PBUS_EXT pExt, PPDO_DATA pPdoData, PPATH_DATA pPath, PREG_DVC pRegDvc,
                                     PDEVICE_OBJECT *ppNewPrimary)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
    PADAPTER_USAGE pNewUsage = NULL;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;

    DBG("BusAddPath: FDO 0x%08x is already registered with PDO 0x%08x\n", DBG_PTR(pPath->pFDO),
        DBG_PTR(pPdoData->pPdo));

    /* A path that moved to another adapter needs that adapter's record. */
    if (pExt->fLoadBalancing && pPath->pHBA != NULL && pPath->pHBA->ulAdapter != pRegDvc->scScsiAddr.PortNumber) {
        pNewUsage = (PADAPTER_USAGE)ExAllocatePoolWithTag(NonPagedPool, sizeof(ADAPTER_USAGE),
                                                          BUS_TAG_ADAPTER);
        if (pNewUsage == NULL) {
            DBG("%s == NULL.\n", "BusAddPath: pAdapterUsage");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(pNewUsage, sizeof(ADAPTER_USAGE));
    }

    KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
    if (pNewUsage != NULL) {
        KeAcquireSpinLockAtDpcLevel(&pExt->slAdapterList);
        BusAdapterRelease(pExt, pPath->pHBA);
        pPath->pHBA = BusAdapterAcquire(pExt, pRegDvc->scScsiAddr.PortNumber, &pNewUsage);
        KeReleaseSpinLockFromDpcLevel(&pExt->slAdapterList);
    }
    pPath->scScsiAddr = pRegDvc->scScsiAddr;
    if (pPath->fPrimary) {
        pPdoExt->scScsiAddr = pPath->scScsiAddr;
    }
    /* The path was stopped (or its device started anew): while it was, its connection may have
       been lost and the drive forgot that connection's settings, and the notice of it may have
       gone to the path's own start-up commands. The next request restores them first. */
    InterlockedOr(&pPdoExt->lPathEvents, BUS_PATH_EVENT_SETTINGS_LOST | BUS_PATH_EVENT_POSITION_CHECK);
    KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    if (pNewUsage != NULL) {
        ExFreePoolWithTag(pNewUsage, BUS_TAG_ADAPTER);
    }

    BusPdoSetPathState(pPdoExt, pPdoData, pPath, (PNP_STATE)pRegDvc->ePnp, ppNewPrimary);
    status = BusPdoUpdateRegistry(pPdoData->pPdo, pPath);
    return status;
}

NTSTATUS BusAddPath(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusAddPath: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pIrp));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    PREG_DVC pRegDvc = (PREG_DVC)pIrp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    PPDO_DATA pPdoData = NULL;
    PPATH_DATA pPath = NULL;
    PDEVICE_OBJECT pNewPdo = NULL;
    PDEVICE_OBJECT pNewPrimary = NULL;
    BOOLEAN fCreated = FALSE;
    BOOLEAN fRemoved = FALSE;
    BOOLEAN fGroup;
    CHAR szSN[33];

    if (pRegDvc == NULL || pRegDvc->pDvcObj == NULL) {
        DBG("%s == NULL.\n", "BusAddPath: pRegDvc");
        status = STATUS_INVALID_PARAMETER;
        EXT("BusAddPath: status 0x%08x\n", (ULONG)status);
        return status;
    }
    /* The strings come from another driver: make sure they end inside their fields. */
    pRegDvc->szSN[32] = 0;
    pRegDvc->szWwnn[16] = 0;
    RtlCopyMemory(szSN, pRegDvc->szSN, sizeof(szSN));

    BusLockPdoListExclusive(&pExt->rsPdoList);

    if (!pExt->fPersistentNaming && pRegDvc->fPersistentNaming) {
        DBG("BusAddPath: persistent naming turned on by FDO 0x%08x\n", DBG_PTR(pRegDvc->pDvcObj));
        pExt->fPersistentNaming = TRUE;
    }
    fGroup = pRegDvc->fFailover && !pExt->fFailoverDisabled && !BusSerialIsPlaceholder(pRegDvc->szSN);

    /* A filter registers again at every start of its path: keep one record per path. */
    pPdoData = BusFindPath(pExt, pRegDvc->pDvcObj, &pPath);
    if (pPdoData != NULL && !BusPathStillFits(pPdoData, pRegDvc, fGroup)) {
        DBG("BusAddPath: FDO 0x%08x now reaches another drive\n", DBG_PTR(pRegDvc->pDvcObj));
        fRemoved = BusPdoRemovePath(pExt, pPdoData, pPath, &pNewPrimary);
        BusPdoPrimaryEvent(pDeviceObject->DriverObject, pExt, pNewPrimary, szSN);
        pNewPrimary = NULL;
        pPdoData = NULL;
        pPath = NULL;
    }

    if (pPdoData != NULL) {
        status = BusPdoReregisterPath(pExt, pPdoData, pPath, pRegDvc, &pNewPrimary);
        if (!NT_SUCCESS(status)) {
            /* The filter treats the path as unregistered: the bus must not route to it. */
            pNewPrimary = NULL;
            fRemoved |= BusPdoRemovePath(pExt, pPdoData, pPath, &pNewPrimary);
            pPdoData = NULL;
        }
    } else {
        if (fGroup) {
            pPdoData = BusPdoFound(pDeviceObject, pRegDvc);
        }
        if (pPdoData == NULL) {
            status = BusCreatePdo(&pNewPdo, pDeviceObject, pRegDvc);
            if (!NT_SUCCESS(status)) {
                DBG("%s failed with RC = 0x%08x\n", "BusAddPath: BusCreatePdo", (ULONG)status);
                goto unlock;
            }
            if (pNewPdo == NULL) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                goto unlock;
            }
            pPdoData = ((PPDO_EXT)pNewPdo->DeviceExtension)->pPdoData;
            fCreated = TRUE;
        }

        status = BusPdoAddPath(&pPath, pPdoData, pRegDvc);
        if (!NT_SUCCESS(status)) {
            DBG("%s failed with RC = 0x%08x\n", "BusAddPath: BusPdoAddPath", (ULONG)status);
            if (fCreated) {
                /* A drive without any path has no use for its device. */
                BusPdoDelete(pExt, pPdoData);
                fRemoved = TRUE;
            }
            pPdoData = NULL;
            goto unlock;
        }

        status = BusPdoUpdateRegistry(pPdoData->pPdo, pPath);
        if (!NT_SUCCESS(status)) {
            DBG("%s failed with RC = 0x%08x\n", "BusAddPath: BusPdoUpdateRegistry", (ULONG)status);
            /* The filter treats the path as unregistered: take the record back. */
            fRemoved |= BusPdoRemovePath(pExt, pPdoData, pPath, &pNewPrimary);
            pPdoData = NULL;
            goto unlock;
        }
    }

    if (NT_SUCCESS(status) && pPdoData != NULL) {
        PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
        pRegDvc->pBaseDriverExt = pPdoExt->pIrpsWithStatus;
        pRegDvc->ulTapeNumber = (ULONG)pPdoExt->ulTapeNumber;
        DBG("BusAddPath: FDO 0x%08x joined Tape%d\n", DBG_PTR(pRegDvc->pDvcObj), pPdoExt->ulTapeNumber);
        /* A path added back after it vanished started with commands of its own, which may have
           taken the notice of a reset the drive had meanwhile: the next request looks first. */
        InterlockedOr(&pPdoExt->lPathEvents, BUS_PATH_EVENT_POSITION_CHECK);
    }

unlock:
    BusPdoPrimaryEvent(pDeviceObject->DriverObject, pExt, pNewPrimary, szSN);
    BusUnlockPdoList(&pExt->rsPdoList);
    if (fCreated || fRemoved) {
        IoInvalidateDeviceRelations(pExt->pPhysicalDeviceObject, BusRelations);
    }
    EXT("BusAddPath: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusNotifyPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusNotifyPnp: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pIrp));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    PNFY_DVC pNfyDvc = (PNFY_DVC)pIrp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    PDEVICE_OBJECT pNewPrimary = NULL;
    BOOLEAN fRemoved = FALSE;
    CHAR szSN[33];

    if (pNfyDvc == NULL) {
        DBG("%s == NULL.\n", "BusNotifyPnp: pNfyDvc");
        status = STATUS_INVALID_PARAMETER;
        EXT("BusNotifyPnp: status 0x%08x\n", (ULONG)status);
        return status;
    }
    RtlZeroMemory(szSN, sizeof(szSN));

    /* Only a path that goes away changes the lists; state changes need only a walk. */
    BOOLEAN fAbsent = pNfyDvc->ePnp == PNP_ABSENT;
    if (fAbsent) {
        BusLockPdoListExclusive(&pExt->rsPdoList);
    } else {
        BusLockPdoListShared(&pExt->rsPdoList);
    }

    PPATH_DATA pPath = NULL;
    PPDO_DATA pPdoData = BusFindPath(pExt, pNfyDvc->pDvcObj, &pPath);
    if (pPdoData == NULL) {
        DBG("BusNotifyPnp: FDO 0x%08x is not registered\n", DBG_PTR(pNfyDvc->pDvcObj));
    } else {
        PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
        RtlCopyMemory(szSN, pPdoExt->szSN, sizeof(szSN));
        BusPdoSetPathState(pPdoExt, pPdoData, pPath, (PNP_STATE)pNfyDvc->ePnp, &pNewPrimary);
        if (fAbsent) {
            /* The primary has already moved off this path; nothing else can become primary here. */
            PDEVICE_OBJECT pIgnored = NULL;
            fRemoved = BusPdoRemovePath(pExt, pPdoData, pPath, &pIgnored);
        }
    }

    BusPdoPrimaryEvent(pDeviceObject->DriverObject, pExt, pNewPrimary, szSN);
    BusUnlockPdoList(&pExt->rsPdoList);
    if (fRemoved) {
        IoInvalidateDeviceRelations(pExt->pPhysicalDeviceObject, BusRelations);
    }
    EXT("BusNotifyPnp: status 0x%08x\n", (ULONG)status);
    return status;
}

/*
 * Lowers an open count that may be reported more often than it was raised;
 * never below zero. The caller holds the drive's path-list spin lock, under
 * which every change of the count happens.
 */
LONG BusDecrementOpenHandles(PPDO_EXT pPdoExt)
{
    for (;;) {
        LONG lOld = pPdoExt->ulOpenHandles;
        if (lOld <= 0) {
            /* A close that no open matched: the count stays at zero. */
            DBG_ASSERT(((signed)(pPdoExt->ulOpenHandles)) > 0);
            return lOld;
        }
        if (InterlockedCompareExchange(&pPdoExt->ulOpenHandles, lOld - 1, lOld) == lOld) {
            return lOld - 1;
        }
    }
}

NTSTATUS BusNotifyIo(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusNotifyIo: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pIrp));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    PNFY_DVC pNfyDvc = (PNFY_DVC)pIrp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;

    if (pNfyDvc == NULL) {
        DBG("%s == NULL.\n", "BusNotifyIo: pNfyDvc");
        status = STATUS_INVALID_PARAMETER;
        EXT("BusNotifyIo: status 0x%08x\n", (ULONG)status);
        return status;
    }

    BusLockPdoListShared(&pExt->rsPdoList);
    PPATH_DATA pPath = NULL;
    PPDO_DATA pPdoData = BusFindPath(pExt, pNfyDvc->pDvcObj, &pPath);
    if (pPdoData == NULL) {
        DBG("BusNotifyIo: Device does not exist\n");
        status = STATUS_ACCESS_DENIED;
    } else {
        PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
        KIRQL irql;
        KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
        if (pNfyDvc->ePnp == IO_OPEN_REQ) {
            if (pPdoExt->fExclusive && pPdoExt->ulOpenHandles != 0) {
                DBG("BusNotifyIo: Handle already open.  Access denied.\n");
                status = STATUS_ACCESS_DENIED;
            } else {
                LONG lHandles = InterlockedIncrement(&pPdoExt->ulOpenHandles);
                DBG("BusNotifyIo: Open allowed. There are now %d open handles\n", lHandles);
            }
        } else if (pNfyDvc->ePnp == IO_CLOSE_REQ) {
            BusDecrementOpenHandles(pPdoExt);
            pPdoExt->fPositionValid = FALSE;
            pPdoExt->fRewound = FALSE;
        } else {
            DBG_ASSERT(!"Unreachable");
        }
        KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    }
    BusUnlockPdoList(&pExt->rsPdoList);

    EXT("BusNotifyIo: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusQueryDevices(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusQueryDevices: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pIrp));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    PUCHAR szBuffer = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    PQUERY_DEVICES_OUTPUT pAnswer = NULL;
    ULONG cbRequired = 0;
    ULONG cbReturned = 0;

    /* A virtual device answers for its bus. */
    if (!pExt->fIsFdo) {
        pExt = ((PPDO_EXT)pDeviceObject->DeviceExtension)->pBusExt;
    }
    if (szBuffer == NULL) {
        DBG("%s == NULL.\n", "BusQueryDevices: szBuffer");
        status = STATUS_INVALID_PARAMETER;
        goto complete;
    }

    BusLockPdoListShared(&pExt->rsPdoList);
    if (pExt->pListOfPdos == NULL) {
        DBG("%s == NULL.\n", "BusQueryDevices: pListOfPdos");
        status = STATUS_INVALID_PARAMETER;
    } else {
        ULONG ulPaths = 0;
        for (PPDO_DATA pPdoData = pExt->pListOfPdos; pPdoData != NULL; pPdoData = pPdoData->pNext) {
            PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
            KIRQL irql;
            KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
            for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
                ulPaths++;
            }
            KeReleaseSpinLock(&pPdoExt->slPathList, irql);
        }

        pAnswer = BusAllocateQueryDevicesAnswer(ulPaths, BUS_TAG_QUERY, &cbRequired);
        if (pAnswer == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            /* Never more descriptors than counted: a path added meanwhile waits for the next query. */
            ULONG ulFilled = 0;
            for (PPDO_DATA pPdoData = pExt->pListOfPdos; pPdoData != NULL && ulFilled < ulPaths;
                 pPdoData = pPdoData->pNext) {
                PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
                KIRQL irql;
                KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
                for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL && ulFilled < ulPaths;
                     pPath = pPath->pNext) {
                    /* Failover disabled for the bus holds for drives created before it was set too. */
                    BusFillDeviceDescriptor(&pAnswer->Descriptors[ulFilled++], "Tape", (ULONG)pPdoExt->ulTapeNumber,
                                            pPdoExt->szSN, pPdoData->fFailover && !pExt->fFailoverDisabled,
                                            &pPath->scScsiAddr, pPath->fActive, pPath->fPrimary);
                }
                KeReleaseSpinLock(&pPdoExt->slPathList, irql);
            }
        }
    }
    BusUnlockPdoList(&pExt->rsPdoList);

    if (NT_SUCCESS(status)) {
        cbReturned = BusCopyQueryDevicesAnswer(szBuffer, pIrpStack->Parameters.DeviceIoControl.OutputBufferLength,
                                               pAnswer, cbRequired);
    }

complete:
    if (pAnswer != NULL) {
        ExFreePoolWithTag(pAnswer, BUS_TAG_QUERY);
    }
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = NT_SUCCESS(status) ? cbReturned : 0;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    EXT("BusQueryDevices: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- End of path registration ---- */

/* ---- Persistent device naming ---- */

/*
 * Drives keep their virtual device's name across restarts: the name that a
 * drive got is recorded under the parameters key in a subkey named by the
 * drive key ("WWNN_" + 16 hex digits, or "SERNUM_" + 32 serial characters),
 * value "PersistentDeviceName". The records are mirrored in
 * BUS_EXT.pPersistentNames, which the bus-wide list lock guards.
 */

static const WCHAR g_wszPersistentDeviceName[] = L"PersistentDeviceName";

static SIZE_T BusWcsLen(PCWSTR wsz)
{
    SIZE_T cch = 0;
    while (wsz[cch] != 0) {
        cch++;
    }
    return cch;
}

/* TRUE when the two strings are equal in every character and the NUL. */
static BOOLEAN BusWcsEqual(PCWSTR wszA, PCWSTR wszB)
{
    SIZE_T i = 0;
    while (wszA[i] != 0 && wszA[i] == wszB[i]) {
        i++;
    }
    return wszA[i] == wszB[i];
}

static BOOLEAN BusWcsHasPrefix(PCWSTR wsz, PCWSTR wszPrefix)
{
    for (SIZE_T i = 0; wszPrefix[i] != 0; i++) {
        if (wsz[i] != wszPrefix[i]) {
            return FALSE;
        }
    }
    return TRUE;
}

static BOOLEAN BusIsHexDigit(WCHAR wc)
{
    return (wc >= '0' && wc <= '9') || (wc >= 'a' && wc <= 'f') || (wc >= 'A' && wc <= 'F');
}

static BOOLEAN BusIsAlnum(WCHAR wc)
{
    return (wc >= '0' && wc <= '9') || (wc >= 'a' && wc <= 'z') || (wc >= 'A' && wc <= 'Z');
}

/*
 * Serial numbers often carry padding blanks or punctuation, which a drive key
 * cannot hold as such (the key must survive the check at the next start, and
 * a registry key name cannot hold a backslash). Such characters are written
 * as '_' and accepted back by the check.
 */
static BOOLEAN BusIsSerialKeyChar(WCHAR wc)
{
    return BusIsAlnum(wc) || wc == '_';
}

static CHAR BusSerialKeyChar(CHAR c)
{
    return BusIsAlnum((UCHAR)c) ? c : '_';
}

/*
 * A recorded name is used as the device name below \Device\ and for the
 * link below \DosDevices\, so it must fit an entry and be one plain name:
 * 1 to 16 letters, digits, '_' or '-' (no separator, blank or dot that
 * would make it another path or a name that reads the same as another).
 * Its number is the run of decimal digits at its end ("Tape12" is 12), 0
 * when it ends in no digit; a run too large for a LONG makes it unusable.
 * Returns the number.
 */
static BOOLEAN BusParsePersistentName(PCWSTR wszName, SIZE_T cchName, PLONG plNumber)
{
    if (cchName == 0 || cchName > BUS_PERSISTENT_NAME_CCH) {
        return FALSE;
    }
    for (SIZE_T i = 0; i < cchName; i++) {
        if (!BusIsAlnum(wszName[i]) && wszName[i] != '_' && wszName[i] != '-') {
            return FALSE;
        }
    }
    SIZE_T iFirstDigit = cchName;
    while (iFirstDigit > 0 && wszName[iFirstDigit - 1] >= '0' && wszName[iFirstDigit - 1] <= '9') {
        iFirstDigit--;
    }
    LONGLONG llNumber = 0;
    for (SIZE_T i = iFirstDigit; i < cchName; i++) {
        llNumber = llNumber * 10 + (wszName[i] - '0');
        if (llNumber > MAXLONG) {
            return FALSE;
        }
    }
    *plNumber = (LONG)llNumber;
    return TRUE;
}

/* TRUE for the identity that every drive with failed identification shares. */
BOOLEAN BusIsZeroIdentityKey(PCWSTR wszKey)
{
    static const WCHAR wszPrefix[] = L"SERNUM_";
    if (!BusWcsHasPrefix(wszKey, wszPrefix)) {
        return FALSE;
    }
    PCWSTR wszRest = wszKey + (RTL_NUMBER_OF(wszPrefix) - 1);
    SIZE_T i = 0;
    for (; wszRest[i] != 0; i++) {
        if (wszRest[i] != '0') {
            return FALSE;
        }
    }
    return TRUE;
}

static PPERSISTENT_NAME BusFindPersistentEntry(PBUS_EXT pExt, PCWSTR wszKey)
{
    for (PPERSISTENT_NAME pEntry = pExt->pPersistentNames; pEntry != NULL; pEntry = pEntry->pNext) {
        if (BusWcsEqual(pEntry->wszKey, wszKey)) {
            return pEntry;
        }
    }
    return NULL;
}

static VOID BusCopyName(PWCHAR wszDest, PCWSTR wszSrc, SIZE_T cchMax)
{
    SIZE_T i = 0;
    for (; i < cchMax && wszSrc[i] != 0; i++) {
        wszDest[i] = wszSrc[i];
    }
    wszDest[i] = 0;
}

VOID BusDeletePersistentNames(PPERSISTENT_NAME *ppList)
{
    ENT("BusDeletePersistentNames: ppList 0x%08x\n", DBG_PTR(ppList));
    if (ppList != NULL) {
        /* Reverse the list so that the entries go from the last to the first. */
        PPERSISTENT_NAME pReversed = NULL;
        while (*ppList != NULL) {
            PPERSISTENT_NAME pEntry = *ppList;
            *ppList = pEntry->pNext;
            pEntry->pNext = pReversed;
            pReversed = pEntry;
        }
        while (pReversed != NULL) {
            PPERSISTENT_NAME pEntry = pReversed;
            pReversed = pEntry->pNext;
            DBG("BusDeletePersistentNames for %S\n", pEntry->wszKey);
            ExFreePoolWithTag(pEntry, BUS_TAG_PERSISTENT_NAME);
        }
    }
    EXT("BusDeletePersistentNames: VOID status\n");
}

NTSTATUS BusCreateWideStrFromWwnnAndSn(PWCHAR wszRegKey, PCSTR szWwnn, PCSTR szSerNum, PSCSI_ADDRESS pScsiAddr)
{
    ENT("BusCreateWideStrFromWwnnAndSn: wszRegKey 0x%08x, szWwnn %s, szSerNum %s, pScsiAddr 0x%08x\n",
        DBG_PTR(wszRegKey), szWwnn != NULL ? szWwnn : "", szSerNum != NULL ? szSerNum : "",
        DBG_PTR(pScsiAddr));
    NTSTATUS status = STATUS_SUCCESS;
    CHAR szField[33];
    PCSTR szPrefix;

    if (wszRegKey == NULL || szWwnn == NULL || szSerNum == NULL) {
        status = STATUS_INVALID_PARAMETER;
        goto done;
    }
    RtlZeroMemory(szField, sizeof(szField));

    {
        /* The node name counts when it is given, hexadecimal and not all '0'. */
        BOOLEAN fWwnnUsable = FALSE;
        SIZE_T cchWwnn = 0;
        for (; cchWwnn < 16 && szWwnn[cchWwnn] != 0; cchWwnn++) {
            if (!BusIsHexDigit((UCHAR)szWwnn[cchWwnn])) {
                fWwnnUsable = FALSE;
                break;
            }
            if (szWwnn[cchWwnn] != '0') {
                fWwnnUsable = TRUE;
            }
        }
        if (fWwnnUsable && (pScsiAddr == NULL || pScsiAddr->Lun == 0)) {
            RtlCopyMemory(szField, szWwnn, cchWwnn);
            CmnPadWithZeros(szField, 16);
            szPrefix = "WWNN_";
        } else {
            for (SIZE_T i = 0; i < 32 && szSerNum[i] != 0; i++) {
                szField[i] = BusSerialKeyChar(szSerNum[i]);
            }
            CmnPadWithZeros(szField, 32);
            szPrefix = "SERNUM_";
        }
    }

    {
        SIZE_T iOut = 0;
        for (SIZE_T i = 0; szPrefix[i] != 0; i++) {
            wszRegKey[iOut++] = (WCHAR)(UCHAR)szPrefix[i];
        }
        for (SIZE_T i = 0; szField[i] != 0; i++) {
            wszRegKey[iOut++] = (WCHAR)(UCHAR)szField[i];
        }
        wszRegKey[iOut] = 0;
        DBG("BusCreateWideStrFromWwnnAndSn: key %S\n", wszRegKey);
    }

done:
    EXT("BusCreateWideStrFromWwnnAndSn: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusAddPersistentNameToList(PDEVICE_OBJECT pDeviceObject, PCWSTR wszName)
{
    ENT("BusAddPersistentNameToList: pDeviceObject 0x%08x, wszName %S\n", DBG_PTR(pDeviceObject),
        wszName != NULL ? wszName : L"");
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status = STATUS_SUCCESS;
    UNICODE_STRING usValue;
    PPERSISTENT_NAME pEntry = NULL;
    LONG lNumber = 0;
    SIZE_T cchKey;

    RtlZeroMemory(&usValue, sizeof(usValue));
    if (wszName == NULL || wszName[0] == 0) {
        status = STATUS_INVALID_PARAMETER;
        goto done;
    }

    /* Only drive keys hold recorded names. */
    cchKey = BusWcsLen(wszName);
    if (cchKey > BUS_PERSISTENT_KEY_CCH) {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
        goto done;
    } else if (BusWcsHasPrefix(wszName, L"WWNN_")) {
        for (SIZE_T i = 5; i < cchKey; i++) {
            if (!BusIsHexDigit(wszName[i])) {
                status = STATUS_OBJECT_NAME_NOT_FOUND;
                goto done;
            }
        }
    } else if (BusWcsHasPrefix(wszName, L"SERNUM_")) {
        for (SIZE_T i = 7; i < cchKey; i++) {
            if (!BusIsSerialKeyChar(wszName[i])) {
                status = STATUS_OBJECT_NAME_NOT_FOUND;
                goto done;
            }
        }
    } else {
        status = STATUS_OBJECT_NAME_NOT_FOUND;
        goto done;
    }

    status = CmnLookupRegistryValue(&usValue, g_wszPersistentDeviceName, wszName, REG_SZ);
    if (!NT_SUCCESS(status)) {
        DBG("%s failed with RC = 0x%08x\n", "BusAddPersistentNameToList: CmnLookupRegistryValue", (ULONG)status);
        goto done;
    }
    if (usValue.Buffer == NULL ||
        !BusParsePersistentName(usValue.Buffer, usValue.Length / sizeof(WCHAR), &lNumber)) {
        /* A name that cannot serve as a device name is not a usable record. */
        DBG("BusAddPersistentNameToList: unusable name recorded for %S\n", wszName);
        status = STATUS_OBJECT_NAME_NOT_FOUND;
        goto done;
    }

    pEntry = (PPERSISTENT_NAME)ExAllocatePoolWithTag(NonPagedPool, sizeof(PERSISTENT_NAME),
                                                     BUS_TAG_PERSISTENT_NAME);
    if (pEntry == NULL) {
        DBG("%s == NULL.\n", "BusAddPersistentNameToList: pPersistentName");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }
    RtlZeroMemory(pEntry, sizeof(PERSISTENT_NAME));
    BusCopyName(pEntry->wszKey, wszName, BUS_PERSISTENT_KEY_CCH);
    BusCopyName(pEntry->wszName, usValue.Buffer, usValue.Length / sizeof(WCHAR));
    pEntry->pNext = pExt->pPersistentNames;
    pExt->pPersistentNames = pEntry;
    DBG("%S, %S added to list\n", pEntry->wszKey, pEntry->wszName);

done:
    if (usValue.Buffer != NULL) {
        ExFreePool(usValue.Buffer);
    }
    EXT("BusAddPersistentNameToList: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusQueryForPersistentNames(PDEVICE_OBJECT pDeviceObject)
{
    ENT("BusQueryForPersistentNames: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status;
    HANDLE hKey = NULL;
    PKEY_BASIC_INFORMATION pInfo = NULL;
    const ULONG cbInfo = 124;
    UNICODE_STRING usPath;
    OBJECT_ATTRIBUTES oa;

    BusLockPdoListExclusive(&pExt->rsPdoList);
    BusDeletePersistentNames(&pExt->pPersistentNames);

    RtlInitUnicodeString(&usPath, CMN_PARAMETERS_KEY);
    InitializeObjectAttributes(&oa, &usPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwOpenKey(&hKey, KEY_ALL_ACCESS, &oa);
    if (!NT_SUCCESS(status)) {
        DBG("%s failed with RC = 0x%08x\n", "BusQueryForPersistentNames: ZwOpenKey", (ULONG)status);
        hKey = NULL;
        goto done;
    }

    pInfo = (PKEY_BASIC_INFORMATION)ExAllocatePoolWithTag(PagedPool, cbInfo, BUS_TAG_KEY_INFO);
    if (pInfo == NULL) {
        DBG("%s == NULL.\n", "BusQueryForPersistentNames: pKeyInfo");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }

    for (ULONG ulIndex = 0;; ulIndex++) {
        ULONG cbResult = 0;
        RtlZeroMemory(pInfo, cbInfo);
        status = ZwEnumerateKey(hKey, ulIndex, KeyBasicInformation, pInfo, cbInfo, &cbResult);
        if (status == STATUS_NO_MORE_ENTRIES) {
            status = STATUS_SUCCESS;
            break;
        }
        if (!NT_SUCCESS(status)) {
            DBG("BusQueryForPersistentNames: ZwEnumerateKey returned 0x%08x\n", (ULONG)status);
            if (status == STATUS_INVALID_HANDLE || status == STATUS_KEY_DELETED || status == STATUS_ACCESS_DENIED) {
                /* The key itself cannot be read any more: every further index fails the same way. */
                break;
            }
            /* No record here (a name too long for a drive key, for example); the next index may
               hold one. Stopping would lose the records of every drive after this one. */
            status = STATUS_SUCCESS;
            continue;
        }

        WCHAR wszSubkey[(124 - FIELD_OFFSET(KEY_BASIC_INFORMATION, Name)) / sizeof(WCHAR) + 1];
        ULONG cchName = pInfo->NameLength / sizeof(WCHAR);
        if (cchName >= RTL_NUMBER_OF(wszSubkey)) {
            cchName = RTL_NUMBER_OF(wszSubkey) - 1;
        }
        RtlCopyMemory(wszSubkey, pInfo->Name, cchName * sizeof(WCHAR));
        wszSubkey[cchName] = 0;

        status = BusAddPersistentNameToList(pDeviceObject, wszSubkey);
        if (status == STATUS_INSUFFICIENT_RESOURCES) {
            break;
        }
        if (!NT_SUCCESS(status)) {
            /* Not a drive key, no value, or a value of the wrong type or unreadable: no usable
               record here, and the walk goes on. The record itself stays as it is. */
            status = STATUS_SUCCESS;
        }
    }

done:
    if (hKey != NULL) {
        ZwClose(hKey);
    }
    if (pInfo != NULL) {
        ExFreePoolWithTag(pInfo, BUS_TAG_KEY_INFO);
    }
    BusUnlockPdoList(&pExt->rsPdoList);
    EXT("BusQueryForPersistentNames: status 0x%08x\n", (ULONG)status);
    return status;
}

/* Looks the drive up in the list; the caller holds the bus-wide list lock. */
NTSTATUS BusGetPersistentName(PDEVICE_OBJECT pDeviceObject, PCSTR szWwnn, PCSTR szSN, PSCSI_ADDRESS pScsiAddr,
                              PWCHAR wszDvcName, PLONG pDvcNum)
{
    ENT("BusGetPersistentName: pDeviceObject 0x%08x, szWwnn %s, szSN %s\n", DBG_PTR(pDeviceObject),
        szWwnn != NULL ? szWwnn : "", szSN != NULL ? szSN : "");
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    WCHAR wszKey[BUS_PERSISTENT_KEY_CCH + 1];
    NTSTATUS status;

    if (pDvcNum != NULL) {
        *pDvcNum = -1;
    }
    if (wszDvcName == NULL || pDvcNum == NULL) {
        status = STATUS_INVALID_PARAMETER;
        goto done;
    }
    RtlZeroMemory(wszKey, sizeof(wszKey));
    status = BusCreateWideStrFromWwnnAndSn(wszKey, szWwnn, szSN, pScsiAddr);
    if (!NT_SUCCESS(status)) {
        goto done;
    }

    status = STATUS_OBJECT_NAME_NOT_FOUND;
    if (!BusIsZeroIdentityKey(wszKey)) {
        PPERSISTENT_NAME pEntry = BusFindPersistentEntry(pExt, wszKey);
        if (pEntry != NULL) {
            LONG lNumber = 0;
            BusCopyName(wszDvcName, pEntry->wszName, BUS_PERSISTENT_NAME_CCH);
            BusParsePersistentName(pEntry->wszName, BusWcsLen(pEntry->wszName), &lNumber);
            *pDvcNum = lNumber;
            DBG("BusGetPersistentName: name %S number %d\n", wszDvcName, lNumber);
            status = STATUS_SUCCESS;
        }
    }

done:
    EXT("BusGetPersistentName: status 0x%08x\n", (ULONG)status);
    return status;
}

/* Records wszName for the drive key; the caller holds the bus-wide list lock exclusively. */
NTSTATUS BusAddPersistentName(PDEVICE_OBJECT pDeviceObject, PCWSTR wszKey, PCWSTR wszName)
{
    ENT("BusAddPersistentName: pDeviceObject 0x%08x, wszKey %S, wszName %S\n", DBG_PTR(pDeviceObject),
        wszKey != NULL ? wszKey : L"", wszName != NULL ? wszName : L"");
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status;
    UNICODE_STRING usValue;
    HANDLE hKey = NULL;
    PPERSISTENT_NAME pEntry = NULL;
    PPERSISTENT_NAME pNewEntry = NULL;
    LONG lNumber = 0;
    SIZE_T cchName = 0;

    RtlZeroMemory(&usValue, sizeof(usValue));
    if (wszKey == NULL || wszName == NULL || BusWcsLen(wszKey) > BUS_PERSISTENT_KEY_CCH ||
        BusIsZeroIdentityKey(wszKey)) {
        status = STATUS_INVALID_PARAMETER;
        goto done;
    }
    cchName = BusWcsLen(wszName);
    if (!BusParsePersistentName(wszName, cchName, &lNumber)) {
        status = STATUS_INVALID_PARAMETER;
        goto done;
    }

    /* Have the list entry ready first, so that a pool failure changes nothing. */
    pEntry = BusFindPersistentEntry(pExt, wszKey);
    if (pEntry == NULL) {
        pNewEntry = (PPERSISTENT_NAME)ExAllocatePoolWithTag(NonPagedPool, sizeof(PERSISTENT_NAME),
                                                            BUS_TAG_PERSISTENT_NAME);
        if (pNewEntry == NULL) {
            DBG("%s == NULL.\n", "BusAddPersistentName: pPersistentName");
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto done;
        }
        RtlZeroMemory(pNewEntry, sizeof(PERSISTENT_NAME));
    }

    /*
     * Only a drive without any record gets one. A record that is there but was not in the list
     * (of the wrong type, unreadable, or a name the bus cannot use) belongs to the drive all the
     * same: a number chosen now must not replace it.
     */
    status = CmnLookupRegistryValue(&usValue, g_wszPersistentDeviceName, wszKey, REG_SZ);
    if (NT_SUCCESS(status) && (usValue.Buffer == NULL || usValue.Length != cchName * sizeof(WCHAR) ||
                               RtlCompareMemory(usValue.Buffer, wszName, usValue.Length) != usValue.Length)) {
        DBG("BusAddPersistentName: %S has another record, left as it is\n", wszKey);
        status = STATUS_OBJECT_NAME_COLLISION;
        goto done;
    }
    if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_NOT_FOUND) {
        DBG("%s failed with RC = 0x%08x\n", "BusAddPersistentName: CmnLookupRegistryValue", (ULONG)status);
        goto done;
    }
    if (!NT_SUCCESS(status)) {
        UNICODE_STRING usValueName;
        status = CmnCreateRegistryKey(&hKey, wszKey);
        if (!NT_SUCCESS(status)) {
            DBG("%s failed with RC = 0x%08x\n", "BusAddPersistentName: CmnCreateRegistryKey", (ULONG)status);
            hKey = NULL;
            goto done;
        }
        RtlInitUnicodeString(&usValueName, g_wszPersistentDeviceName);
        status = ZwSetValueKey(hKey, &usValueName, 0, REG_SZ, (PVOID)wszName,
                               (ULONG)((cchName + 1) * sizeof(WCHAR)));
        if (!NT_SUCCESS(status)) {
            DBG("%s failed with RC = 0x%08x\n", "BusAddPersistentName: ZwSetValueKey", (ULONG)status);
            goto done;
        }
    }
    status = STATUS_SUCCESS;

    if (pEntry != NULL) {
        BusCopyName(pEntry->wszName, wszName, BUS_PERSISTENT_NAME_CCH);
    } else {
        BusCopyName(pNewEntry->wszKey, wszKey, BUS_PERSISTENT_KEY_CCH);
        BusCopyName(pNewEntry->wszName, wszName, BUS_PERSISTENT_NAME_CCH);
        pNewEntry->pNext = pExt->pPersistentNames;
        pExt->pPersistentNames = pNewEntry;
        pNewEntry = NULL;
    }
    DBG("%S, %S added to list\n", wszKey, wszName);

done:
    if (pNewEntry != NULL) {
        ExFreePoolWithTag(pNewEntry, BUS_TAG_PERSISTENT_NAME);
    }
    if (usValue.Buffer != NULL) {
        ExFreePool(usValue.Buffer);
    }
    if (hKey != NULL) {
        ZwClose(hKey);
    }
    EXT("BusAddPersistentName: status 0x%08x\n", (ULONG)status);
    return status;
}

/* The caller holds the bus-wide list lock. */
BOOLEAN BusNamePersistentlyInUse(PDEVICE_OBJECT pDeviceObject, PCWSTR wszDeviceName)
{
    ENT("BusNamePersistentlyInUse: pDeviceObject 0x%08x, wszDeviceName %S\n", DBG_PTR(pDeviceObject),
        wszDeviceName != NULL ? wszDeviceName : L"");
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    BOOLEAN fInUse = FALSE;

    if (!pExt->fPersistentNaming) {
        DBG("BusNamePersistentlyInUse: not using pers. naming\n");
    } else if (wszDeviceName != NULL && wszDeviceName[0] != 0) {
        for (PPERSISTENT_NAME pEntry = pExt->pPersistentNames; pEntry != NULL; pEntry = pEntry->pNext) {
            if (BusWcsEqual(pEntry->wszName, wszDeviceName)) {
                fInUse = TRUE;
                break;
            }
        }
    }
    EXT("BusNamePersistentlyInUse: in use %d, status 0x%08x\n", fInUse, (ULONG)STATUS_SUCCESS);
    return fInUse;
}

/* ---- End of persistent device naming ---- */
