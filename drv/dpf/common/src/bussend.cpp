/*
 * Requests of a bus driver's own straight to a path's filter device, outside any virtual device:
 * an unlock for every path, a reservation key, a changer's element status after a lost answer.
 */
#include <ntddk.h>
#include "busframe.h"

NTSTATUS BusSendToPath(PDEVICE_OBJECT pPath, ULONG ulIoctl, PVOID pInput, ULONG ulInput, PVOID pOutput, ULONG ulOutput,
                       PULONG_PTR pulInformation)
{
    ENT("BusSendToPath: pPath 0x%08x, ulIoctl 0x%08x\n", DBG_PTR(pPath), ulIoctl);
    IO_STATUS_BLOCK ioStatus;
    KEVENT event;
    NTSTATUS status;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    RtlZeroMemory(&ioStatus, sizeof(ioStatus));
    PIRP pIrp = IoBuildDeviceIoControlRequest(ulIoctl, pPath, pInput, ulInput, pOutput, ulOutput, FALSE, &event, &ioStatus);
    if (pIrp == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        status = IoCallDriver(pPath, pIrp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            status = ioStatus.Status;
        }
    }
    if (pulInformation != NULL) {
        *pulInformation = NT_SUCCESS(status) ? ioStatus.Information : 0;
    }
    EXT("BusSendToPath: status 0x%08x\n", (ULONG)status);
    return status;
}
