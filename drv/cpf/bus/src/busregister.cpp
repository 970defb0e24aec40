/*
 * The control device's codes: path registration (IOC_REGISTER), PnP state changes of the paths
 * (IOC_NOTIFY) and the list of every changer's paths (IOC_QUERY_DEVICES). Paths are grouped into
 * virtual changers by serial number.
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "bus.h"
#include "busrecords.h"
#include "busquery.h"

/* The changer and path record of a filter device object, or NULL; list lock held. */
static PPDO_DATA BusFindPath(PBUS_EXT pExt, PDEVICE_OBJECT pFdo, PPATH_DATA *ppPath)
{
    *ppPath = NULL;
    for (PPDO_DATA pPdoData = pExt->pListOfPdos; pPdoData != NULL; pPdoData = pPdoData->pNext) {
        for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
            if (pPath->pFDO == pFdo) {
                *ppPath = pPath;
                return pPdoData;
            }
        }
    }
    return NULL;
}

PPDO_DATA BusPdoFound(PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc)
{
    ENT("BusPdoFound: pDeviceObject 0x%08x, pRegDvc 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pRegDvc));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    PPDO_DATA pFound = NULL;
    for (PPDO_DATA pPdoData = pExt->pListOfPdos; pPdoData != NULL; pPdoData = pPdoData->pNext) {
        PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
        /* All 32 bytes, zero padding included: a serial of 32 characters has no terminator. */
        if (pPdoData->fFailover && RtlCompareMemory(pPdoExt->szSN, pRegDvc->szSN, SERIAL_NUMBER_LENGTH) ==
                                       SERIAL_NUMBER_LENGTH) {
            pFound = pPdoData;
            break;
        }
    }
    EXT("BusPdoFound: pPdoData 0x%08x\n", DBG_PTR(pFound));
    return pFound;
}

/*
 * A filter device object that registers again (its path restarted) keeps its one record: the
 * address and state are updated in place when it still belongs to the same changer; otherwise the
 * old record goes first, as if the path had been removed.
 */
static BOOLEAN BusReregisterPath(PBUS_EXT pExt, PREG_DVC pRegDvc, PPDO_DATA *ppPdoData, PPDO_DATA *ppRetire)
{
    PPATH_DATA pPath;
    PPDO_DATA pPdoData = BusFindPath(pExt, pRegDvc->pDvcObj, &pPath);
    *ppPdoData = NULL;
    if (pPdoData == NULL) {
        return FALSE;
    }
    PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
    BOOLEAN fSameChanger = RtlCompareMemory(pPdoExt->szSN, pRegDvc->szSN, SERIAL_NUMBER_LENGTH) ==
                               SERIAL_NUMBER_LENGTH &&
                           (pPdoData->fFailover != 0) == (pRegDvc->fFailover != 0 && !pExt->fFailoverDisabled);
    PDEVICE_OBJECT pNewPrimary = NULL;
    if (fSameChanger) {
        DBG("BusAddPath: FDO 0x%08x registered again, record updated\n", DBG_PTR(pRegDvc->pDvcObj));
        KIRQL irql;
        KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
        pPath->scScsiAddr = pRegDvc->scScsiAddr;
        if (pPath->fPrimary) {
            pPdoExt->scScsiAddr = pRegDvc->scScsiAddr;
        }
        pNewPrimary = BusPdoSetPathState(pPdoExt, pPdoData, pPath, (PNP_STATE)pRegDvc->ePnp);
        KeReleaseSpinLock(&pPdoExt->slPathList, irql);
        /* The path's start wrote its own device name into the device map: name the virtual changer
           there again, as a first registration does. */
        if (!NT_SUCCESS(BusPdoUpdateRegistry(pPdoData->pPdo, pPath))) {
            DBG("BusAddPath: device map entry of FDO 0x%08x not written\n", DBG_PTR(pRegDvc->pDvcObj));
        }
        BusPrimaryEvent(pPdoData->pPdo, NULL, pExt, pNewPrimary, pPdoExt);
        *ppPdoData = pPdoData;
        return TRUE;
    }
    DBG("BusAddPath: FDO 0x%08x registered again for another changer\n", DBG_PTR(pRegDvc->pDvcObj));
    if (BusPdoRemovePath(pPdoExt, pPdoData, pPath, &pNewPrimary) && !BusPdoOutlivesPaths(pPdoData)) {
        BusPdoUnlink(pExt, pPdoData, ppRetire);
        IoInvalidateDeviceRelations(pExt->pPhysicalDeviceObject, BusRelations);
    } else {
        BusPrimaryEvent(pPdoData->pPdo, NULL, pExt, pNewPrimary, pPdoExt);
    }
    return FALSE;
}

NTSTATUS BusAddPath(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusAddPath: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    PREG_DVC pRegDvc = (PREG_DVC)pIrp->AssociatedIrp.SystemBuffer;
    PPDO_DATA pPdoData = NULL;
    PPATH_DATA pPath = NULL;
    PPDO_DATA pRetire = NULL;
    BOOLEAN fCreated = FALSE;
    NTSTATUS status = STATUS_SUCCESS;

    BusLockPdoListExclusive(&pExt->rsPdoList);
    if (BusReregisterPath(pExt, pRegDvc, &pPdoData, &pRetire)) {
        goto answer;
    }
    if (pRegDvc->fFailover && !pExt->fFailoverDisabled) {
        pPdoData = BusPdoFound(pDeviceObject, pRegDvc);
    }
    if (pPdoData == NULL) {
        PDEVICE_OBJECT pNewPdo = NULL;
        status = BusCreatePdo(&pNewPdo, pDeviceObject, pRegDvc);
        if (!NT_SUCCESS(status)) {
            DBG_FAILED("BusAddPath: BusCreatePdo", status);
            goto done;
        }
        pPdoData = ((PPDO_EXT)pNewPdo->DeviceExtension)->pPdoData;
        fCreated = TRUE;
        IoInvalidateDeviceRelations(pExt->pPhysicalDeviceObject, BusRelations);
    }
    status = BusPdoAddPath(&pPath, pPdoData, pRegDvc);
    if (NT_SUCCESS(status)) {
        status = BusPdoUpdateRegistry(pPdoData->pPdo, pPath);
    }
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("BusAddPath: BusPdoAddPath", status);
        /* A path the filter was told nothing about would be routed to without its status table:
           a failed registration leaves nothing behind. */
        if (pPath != NULL) {
            PDEVICE_OBJECT pNewPrimary = NULL;
            PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
            if (BusPdoRemovePath(pPdoExt, pPdoData, pPath, &pNewPrimary) && !BusPdoOutlivesPaths(pPdoData)) {
                fCreated = TRUE;
            }
        }
        if (fCreated) {
            BusPdoUnlink(pExt, pPdoData, &pRetire);
            IoInvalidateDeviceRelations(pExt->pPhysicalDeviceObject, BusRelations);
        }
        goto done;
    }

answer:
    {
        PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
        pRegDvc->pBaseDriverExt = pPdoExt->pIrpsWithStatus;
        pRegDvc->ulChangerNumber = pPdoExt->ulChangerNumber;
    }

done:
    BusUnlockPdoList(&pExt->rsPdoList);
    BusPdoRetire(pRetire);
    EXT("BusAddPath: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusNotifyPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusNotifyPnp: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PBUS_EXT pExt = (PBUS_EXT)pDeviceObject->DeviceExtension;
    PNFY_DVC pNfyDvc = (PNFY_DVC)pIrp->AssociatedIrp.SystemBuffer;
    PPDO_DATA pRetire = NULL;
    NTSTATUS status = STATUS_SUCCESS;

    if (pNfyDvc == NULL) {
        DBG_NULL("BusNotifyPnp: pNfyDvc");
        status = STATUS_INVALID_PARAMETER;
        goto out;
    }
    BusLockPdoListExclusive(&pExt->rsPdoList);
    {
        PPATH_DATA pPath;
        PPDO_DATA pPdoData = BusFindPath(pExt, pNfyDvc->pDvcObj, &pPath);
        if (pPdoData != NULL) {
            PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
            PNP_STATE ePnp = (PNP_STATE)pNfyDvc->ePnp;
            PDEVICE_OBJECT pNewPrimary = NULL;
            BOOLEAN fLastPath = FALSE;
            DBG("BusNotifyPnp: Setting state of FDO 0x%08x to %s\n", DBG_PTR(pNfyDvc->pDvcObj), DbgPnpStateName(ePnp));
            /* Paths change state only under the list lock, held here. */
            if ((ePnp == PNP_REMOVE_PENDING || ePnp == PNP_STOP_PENDING) && pPath->fActive &&
                !BusPdoHasOtherPath(pPdoExt, pPath) && BusPdoInUse(pPdoData->pPdo)) {
                /* The query of the only path an application's changer has left: refused, so that
                   Plug and Play leaves the path (and the requests it carries) alone. */
                DBG("BusNotifyPnp: FDO 0x%08x is the last active path of a changer in use, refused\n",
                    DBG_PTR(pNfyDvc->pDvcObj));
                status = STATUS_DEVICE_BUSY;
            } else if (ePnp == PNP_ABSENT) {
                DBG("BusNotifyPnp: removing FDO 0x%08x\n", DBG_PTR(pNfyDvc->pDvcObj));
                fLastPath = BusPdoRemovePath(pPdoExt, pPdoData, pPath, &pNewPrimary) &&
                            !BusPdoOutlivesPaths(pPdoData);
            } else {
                KIRQL irql;
                KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
                pNewPrimary = BusPdoSetPathState(pPdoExt, pPdoData, pPath, ePnp);
                KeReleaseSpinLock(&pPdoExt->slPathList, irql);
            }
            BusPrimaryEvent(pDeviceObject, pIrp, pExt, pNewPrimary, pPdoExt);
            if (fLastPath) {
                DBG("BusNotifyPnp: removing PDO 0x%08x with device object 0x%08x\n", DBG_PTR(pPdoData),
                    DBG_PTR(pPdoData->pPdo));
                BusPdoUnlink(pExt, pPdoData, &pRetire);
                IoInvalidateDeviceRelations(pExt->pPhysicalDeviceObject, BusRelations);
            }
        }
    }
    BusUnlockPdoList(&pExt->rsPdoList);
    BusPdoRetire(pRetire);

out:
    EXT("BusNotifyPnp: status 0x%08x\n", (ULONG)status);
    return status;
}

/* One descriptor per path; counts and fills under each changer's spin lock, never more than counted. */
NTSTATUS BusQueryDevices(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusQueryDevices: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PDEVICE_EXT_HEADER pHeader = (PDEVICE_EXT_HEADER)pDeviceObject->DeviceExtension;
    PBUS_EXT pExt = pHeader->fIsFdo ? (PBUS_EXT)pHeader : ((PPDO_EXT)pHeader)->pBusExt;
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulOutput = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR ulReturned = 0;
    PQUERY_DEVICES_OUTPUT pAnswer = NULL;
    ULONG ulPaths = 0;
    KIRQL irql;

    if (pExt == NULL) {
        status = STATUS_INVALID_PARAMETER;
        goto complete;
    }
    BusLockPdoListShared(&pExt->rsPdoList);
    if (pExt->pListOfPdos == NULL) {
        DBG_NULL("BusQueryDevices: pListOfPdos");
        status = STATUS_INVALID_PARAMETER;
        goto unlock;
    }
    for (PPDO_DATA pPdoData = pExt->pListOfPdos; pPdoData != NULL; pPdoData = pPdoData->pNext) {
        PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
        KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
        for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
            ulPaths++;
        }
        KeReleaseSpinLock(&pPdoExt->slPathList, irql);
    }
    {
        ULONG cbRequired = 0;
        pAnswer = BusAllocateQueryDevicesAnswer(ulPaths, BUS_TAG_QUERY, &cbRequired);
        if (pAnswer == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto unlock;
        }
        ULONG ulFilled = 0;
        for (PPDO_DATA pPdoData = pExt->pListOfPdos; pPdoData != NULL; pPdoData = pPdoData->pNext) {
            PPDO_EXT pPdoExt = (PPDO_EXT)pPdoData->pPdo->DeviceExtension;
            KeAcquireSpinLock(&pPdoExt->slPathList, &irql);
            for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL && ulFilled < ulPaths;
                 pPath = pPath->pNext) {
                BusFillDeviceDescriptor(&pAnswer->Descriptors[ulFilled++], "Changer", pPdoExt->ulChangerNumber,
                                        pPdoExt->szSN, pPdoData->fFailover && !pExt->fFailoverDisabled,
                                        &pPath->scScsiAddr, pPath->fActive, pPath->fPrimary);
            }
            KeReleaseSpinLock(&pPdoExt->slPathList, irql);
        }
        ulReturned = BusCopyQueryDevicesAnswer(pIrp->AssociatedIrp.SystemBuffer, ulOutput, pAnswer, cbRequired);
        ExFreePoolWithTag(pAnswer, BUS_TAG_QUERY);
    }

unlock:
    BusUnlockPdoList(&pExt->rsPdoList);
complete:
    BusCompleteRequest(pIrp, status, NT_SUCCESS(status) ? ulReturned : 0);
    EXT("BusQueryDevices: status 0x%08x\n", (ULONG)status);
    return status;
}
