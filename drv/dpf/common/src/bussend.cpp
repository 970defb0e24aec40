/*
 * Requests of a bus driver's own straight to a path's filter device, outside any virtual device:
 * an unlock for every path, a reservation key, a changer's element status after a lost answer.
 */
#include <ntddk.h>
#include "busframe.h"

/* Where a request's status record sits in the table, for its completion routine. */
typedef struct _BUS_SEND_RECORD {
    PIRPS_WITH_STATUS pHead;
    PIRPS_WITH_STATUS pBlock;
    ULONG ulIndex;
} BUS_SEND_RECORD, *PBUS_SEND_RECORD;

/* The base driver filled the record before it completed the request. The slot goes now, before the
   I/O manager frees the request: another request given the same address must never find it. */
static NTSTATUS BusSendToPathCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    ENT("BusSendToPathCompletion: pDeviceObject 0x%08x, pIrp 0x%08x, pContext 0x%08x\n", DBG_PTR(pDeviceObject),
        DBG_PTR(pIrp), DBG_PTR(pContext));
    PBUS_SEND_RECORD pRecord = (PBUS_SEND_RECORD)pContext;
    (VOID)BusIrpsWithStatusClear(pRecord->pHead, pRecord->pBlock, pRecord->ulIndex);
    EXT("BusSendToPathCompletion: status 0x%08x\n", (ULONG)STATUS_CONTINUE_COMPLETION);
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS BusSendToPathWithStatus(PDEVICE_OBJECT pPath, ULONG ulIoctl, PVOID pInput, ULONG ulInput, PVOID pOutput,
                                 ULONG ulOutput, PULONG_PTR pulInformation, PIRPS_WITH_STATUS pIrpsWithStatus,
                                 PSCSI_STATUS pScsiStatus)
{
    ENT("BusSendToPathWithStatus: pPath 0x%08x, ulIoctl 0x%08x, pScsiStatus 0x%08x\n", DBG_PTR(pPath), ulIoctl,
        DBG_PTR(pScsiStatus));
    IO_STATUS_BLOCK ioStatus;
    KEVENT event;
    NTSTATUS status;
    BUS_SEND_RECORD record;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    RtlZeroMemory(&ioStatus, sizeof(ioStatus));
    RtlZeroMemory(&record, sizeof(record));
    PIRP pIrp = IoBuildDeviceIoControlRequest(ulIoctl, pPath, pInput, ulInput, pOutput, ulOutput, FALSE, &event, &ioStatus);
    if (pIrp == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        /* Without a slot (no memory for another block of the table) the request goes all the same,
           and its record stays as the caller zeroed it: no sense. */
        if (pScsiStatus != NULL && pIrpsWithStatus != NULL) {
            record.pHead = pIrpsWithStatus;
            record.pBlock = pIrpsWithStatus;
            if (NT_SUCCESS(BusIrpsWithStatusSet(&record.pBlock, &record.ulIndex, pIrp, pScsiStatus))) {
                IoSetCompletionRoutine(pIrp, BusSendToPathCompletion, &record, TRUE, TRUE, TRUE);
            }
        }
        status = IoCallDriver(pPath, pIrp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            status = ioStatus.Status;
        }
    }
    if (pulInformation != NULL) {
        *pulInformation = NT_SUCCESS(status) ? ioStatus.Information : 0;
    }
    EXT("BusSendToPathWithStatus: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusSendToPath(PDEVICE_OBJECT pPath, ULONG ulIoctl, PVOID pInput, ULONG ulInput, PVOID pOutput, ULONG ulOutput,
                       PULONG_PTR pulInformation)
{
    ENT("BusSendToPath: pPath 0x%08x, ulIoctl 0x%08x\n", DBG_PTR(pPath), ulIoctl);
    NTSTATUS status = BusSendToPathWithStatus(pPath, ulIoctl, pInput, ulInput, pOutput, ulOutput, pulInformation,
                                              NULL, NULL);
    EXT("BusSendToPath: status 0x%08x\n", (ULONG)status);
    return status;
}
