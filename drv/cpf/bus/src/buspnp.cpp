/*
 * Plug and Play and power handling of the changer bus's control device, and the outstanding-request
 * count that removals of both device kinds wait on.
 */
#include <ntddk.h>
#include "bus.h"

/* ---- Request counting ---- */

PBUS_IO_COUNT BusIoCountOf(PDEVICE_OBJECT pDeviceObject)
{
    PDEVICE_EXT_HEADER pHeader = (PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension;
    return pHeader->fIsFdo ? &((PBUS_EXT)pHeader)->IoCount : &((PPDO_EXT)pHeader)->IoCount;
}

LONG BusIncIoCount(PDEVICE_OBJECT pDeviceObject)
{
    PBUS_IO_COUNT pCount = BusIoCountOf(pDeviceObject);
    ExAcquireFastMutex(&pCount->fmIoCount);
    LONG lCount = ++pCount->ulIoCount;
    if (lCount == 2) {
        KeClearEvent(&pCount->evIdle);
    }
    ExReleaseFastMutex(&pCount->fmIoCount);
    return lCount;
}

LONG BusDecIoCount(PDEVICE_OBJECT pDeviceObject)
{
    PBUS_IO_COUNT pCount = BusIoCountOf(pDeviceObject);
    ExAcquireFastMutex(&pCount->fmIoCount);
    LONG lCount = --pCount->ulIoCount;
    if (lCount == 1) {
        KeSetEvent(&pCount->evIdle, IO_NO_INCREMENT, FALSE);
    }
    if (lCount <= 0) {
        KeSetEvent(&pCount->evRemove, IO_NO_INCREMENT, FALSE);
    }
    ExReleaseFastMutex(&pCount->fmIoCount);
    return lCount;
}

BOOLEAN BusEnterDevice(PDEVICE_OBJECT pDeviceObject)
{
    PBUS_IO_COUNT pCount = BusIoCountOf(pDeviceObject);
    BOOLEAN fEntered = FALSE;
    ExAcquireFastMutex(&pCount->fmPnp);
    if (!pCount->fRemoving) {
        BusIncIoCount(pDeviceObject);
        fEntered = TRUE;
    }
    ExReleaseFastMutex(&pCount->fmPnp);
    return fEntered;
}

VOID BusDrainDevice(PDEVICE_OBJECT pDeviceObject, BOOLEAN fCallerCounted)
{
    ENT("BusDrainDevice: pDeviceObject 0x%08x, fCallerCounted %d\n", DBG_PTR(pDeviceObject), (int)fCallerCounted);
    PBUS_IO_COUNT pCount = BusIoCountOf(pDeviceObject);
    ExAcquireFastMutex(&pCount->fmPnp);
    pCount->fRemoving = TRUE;
    if (fCallerCounted) {
        BusDecIoCount(pDeviceObject);
    }
    BusDecIoCount(pDeviceObject);   /* the base count of 1 */
    ExReleaseFastMutex(&pCount->fmPnp);
    KeWaitForSingleObject(&pCount->evRemove, Executive, KernelMode, FALSE, NULL);
    EXT("BusDrainDevice: VOID status\n");
}

BOOLEAN BusPdoInUse(PDEVICE_OBJECT pPdo)
{
    PPDO_EXT pPdoExt = (PPDO_EXT)pPdo->DeviceExtension;
    PBUS_IO_COUNT pCount = BusIoCountOf(pPdo);
    ExAcquireFastMutex(&pCount->fmIoCount);
    BOOLEAN fInUse = InterlockedCompareExchange(&pPdoExt->lOpenHandles, 0, 0) > 0 || pCount->ulIoCount > 1;
    ExReleaseFastMutex(&pCount->fmIoCount);
    return fInUse;
}

/* TRUE while some virtual changer has an open handle or a request in flight. */
static BOOLEAN BusChangersInUse(PBUS_EXT pExt)
{
    BOOLEAN fInUse = FALSE;
    BusLockPdoListShared(&pExt->rsPdoList);
    for (PPDO_DATA pPdoData = pExt->pListOfPdos; pPdoData != NULL && !fInUse; pPdoData = pPdoData->pNext) {
        fInUse = BusPdoInUse(pPdoData->pPdo);
    }
    BusUnlockPdoList(&pExt->rsPdoList);
    return fInUse;
}

/* ---- PnP dispatch ---- */

NTSTATUS BusIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusIrpMnStartDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    NTSTATUS status = CmnSendIrpSync(pDeviceObject, pIrp);

    BusReadFailoverFlags(&pExt->fFailoverDisabled, &pExt->fEventsEnabled, "CPF");
    pExt->fPersistentNaming = BusReadFlag(L"PersistentNaming");
    DBG(pExt->fPersistentNaming ? "BusIrpMnStartDevice: Persistent Naming Enabled\n"
                                : "BusIrpMnStartDevice: Persistent Naming Disabled\n");
    BusSetPnpState((PDEVICE_EXT_HEADER)pExt, PNP_STARTED);
    /* Paths that lost an earlier instance of the bus register again now. */
    BusAnnounceState(BUS_STATE_ARRIVED);
    EXT("BusIrpMnStartDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusIrpMnQueryDeviceRelations(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusIrpMnQueryDeviceRelations: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    /* The virtual changers are reached by name only; they are never reported as children. */
    EXT("BusIrpMnQueryDeviceRelations: status 0x%08x\n", (ULONG)pIrp->IoStatus.Status);
    return pIrp->IoStatus.Status;
}

/*
 * Removal of the control device: every virtual changer goes as its last path's removal takes it
 * (records freed, requests in flight waited for, link and device deleted), so that no changer is
 * left pointing into the deleted control device and the driver can unload. A remove never fails:
 * Plug and Play waits for it.
 */
NTSTATUS BusIrpMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusIrpMnRemoveDevice: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;

    BusDrainDevice(pDeviceObject, TRUE);
    DBG("BusIrpMnRemoveDevice: deleting pListOfPdos.\n");
    PPDO_DATA pRetire = NULL;
    BusLockPdoListExclusive(&pExt->rsPdoList);
    while (pExt->pListOfPdos != NULL) {
        BusPdoUnlink(pExt, pExt->pListOfPdos, &pRetire);
    }
    BusUnlockPdoList(&pExt->rsPdoList);
    BusPdoRetire(pRetire);
    /* Nothing is forwarded any more: the filters let go of the status table and the control device. */
    BusAnnounceState(BUS_STATE_LEAVING);

    BusSetPnpState((PDEVICE_EXT_HEADER)pExt, PNP_ABSENT);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    PDEVICE_OBJECT pNextLowerDevice = pExt->pNextLowerDevice;
    NTSTATUS status = BusPassDownPnp(pExt->pNextLowerDevice, pIrp);
    BusDeleteControlDevice(pDeviceObject, pNextLowerDevice, &pExt->usLinkName, &pExt->rsPdoList);
    EXT("BusIrpMnRemoveDevice: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusDispatchPnP(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusDispatchPnP: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    PDEVICE_EXT_HEADER pHeader = (PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension;
    UCHAR ucMinor = pIrpStack != NULL ? pIrpStack->MinorFunction : 0xFF;

    if (!pHeader->fIsFdo) {
        status = BusPdoPnp(pDeviceObject, pIrp);
    } else if (pIrpStack == NULL) {
        DBG_NULL("BusDispatchPnP: pIrpStack");
        status = BusCompleteRequest(pIrp, STATUS_INVALID_PARAMETER, 0);
    } else {
        PBUS_EXT pExt = (PBUS_EXT)pHeader;
        /* PnP requests are counted in even while removal runs: the remove itself is one. */
        BusIncIoCount(pDeviceObject);
        DBG("BusDispatchPnP: %s\n", DbgPnpMinorFunctionName(ucMinor));
        switch (ucMinor) {
        case IRP_MN_START_DEVICE:
            status = BusIrpMnStartDevice(pDeviceObject, pIrp);
            break;
        case IRP_MN_REMOVE_DEVICE:
            status = BusIrpMnRemoveDevice(pDeviceObject, pIrp);   /* counted out there; the device is gone */
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
            /* The virtual changers are no Plug and Play children, so the PnP manager does not see
               their handles: the bus refuses for them, or its removal deletes them under a backup
               application's open handle. */
            if (BusChangersInUse(pExt)) {
                DBG("BusDispatchPnP: a virtual changer is in use, removal refused\n");
                status = BusCompleteRequest(pIrp, STATUS_DEVICE_BUSY, 0);
                break;
            }
            BusSetPnpState(pHeader, PNP_REMOVE_PENDING);
            pIrp->IoStatus.Status = STATUS_SUCCESS;
            status = BusPassDownPnp(pExt->pNextLowerDevice, pIrp);
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
            BusSetPnpState(pHeader, PNP_STOP_PENDING);
            pIrp->IoStatus.Status = STATUS_SUCCESS;
            status = BusPassDownPnp(pExt->pNextLowerDevice, pIrp);
            break;
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
            status = CmnSendIrpSync(pDeviceObject, pIrp);
            if (pHeader->ePnpState == PNP_REMOVE_PENDING || pHeader->ePnpState == PNP_STOP_PENDING) {
                pHeader->ePnpState = pHeader->ePrevPnpState;
            }
            break;
        case IRP_MN_STOP_DEVICE:
            /* Registrations in flight end first. */
            BusDecIoCount(pDeviceObject);
            KeWaitForSingleObject(&pExt->IoCount.evIdle, Executive, KernelMode, FALSE, NULL);
            BusIncIoCount(pDeviceObject);
            BusSetPnpState(pHeader, PNP_STOPPED);
            pIrp->IoStatus.Status = STATUS_SUCCESS;
            status = BusPassDownPnp(pExt->pNextLowerDevice, pIrp);
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            BusIrpMnQueryDeviceRelations(pDeviceObject, pIrp);
            status = BusPassDownPnp(pExt->pNextLowerDevice, pIrp);
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            DBG_ASSERT(!"This is a software bus so should never be surprise-removed.");
            BusSetPnpState(pHeader, PNP_SURPRISE_REMOVE);
            pIrp->IoStatus.Status = STATUS_SUCCESS;
            status = BusPassDownPnp(pExt->pNextLowerDevice, pIrp);
            break;
        default:
            status = BusPassDownPnp(pExt->pNextLowerDevice, pIrp);
            break;
        }
        if (ucMinor != IRP_MN_REMOVE_DEVICE) {
            BusDecIoCount(pDeviceObject);
        }
    }
    EXT("BusDispatchPnP: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- Power ---- */

NTSTATUS BusDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusDispatchPower: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusPassPower(pDeviceObject, pIrp);
    EXT("BusDispatchPower: status 0x%08x\n", (ULONG)status);
    return status;
}
