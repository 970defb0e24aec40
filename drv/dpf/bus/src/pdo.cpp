/*
 * Virtual tape devices \Device\Tape<n>: open and close, the request queue, and the entry points of
 * the failover engine.
 */
#include <ntddk.h>
#include "bus.h"

/* ---- Not implemented yet ----
 * Virtual tape devices are not created yet (no path can register), so none of these routines can be
 * reached through a real device. They refuse every request with STATUS_NOT_IMPLEMENTED; the ones that
 * own the request complete it, as their callers expect.
 */

static NTSTATUS BusPdoNotImplemented(PCSTR szRoutine, PIRP pIrp)
{
    DBG("%s: not implemented.\n", szRoutine);
    return BusCompleteRequest(pIrp, STATUS_NOT_IMPLEMENTED, 0);
}

NTSTATUS BusPdoCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoCreate: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusPdoNotImplemented("BusPdoCreate", pIrp);
    EXT("BusPdoCreate: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoClose: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusPdoNotImplemented("BusPdoClose", pIrp);
    EXT("BusPdoClose: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoQueueIrp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_PROCESS_COMMAND ProcessCommand)
{
    ENT("BusPdoQueueIrp: pDeviceObject 0x%08x, pIrp 0x%08x, ProcessCommand 0x%08x\n",
        DBG_PTR(pDeviceObject), DBG_PTR(pIrp), DBG_PTR(ProcessCommand));
    /* Nothing is queued: the caller completes the request with this status. */
    DBG("BusPdoQueueIrp: not implemented.\n");
    EXT("BusPdoQueueIrp: status 0x%08x\n", (ULONG)STATUS_NOT_IMPLEMENTED);
    return STATUS_NOT_IMPLEMENTED;
}

VOID BusPdoKillThread(PDEVICE_OBJECT pDeviceObject)
{
    ENT("BusPdoKillThread: pDeviceObject 0x%08x\n", DBG_PTR(pDeviceObject));
    /* No worker thread is started yet, so there is none to stop. */
    EXT("BusPdoKillThread: VOID status\n");
}

NTSTATUS BusPdoLockSptdBuffer(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoLockSptdBuffer: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusPdoNotImplemented("BusPdoLockSptdBuffer", pIrp);
    EXT("BusPdoLockSptdBuffer: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoDequeueMdl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoDequeueMdl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    /* BusPdoLockSptdBuffer never locks a buffer yet, so there is none to release. */
    EXT("BusPdoDequeueMdl: status 0x%08x\n", (ULONG)STATUS_NOT_FOUND);
    return STATUS_NOT_FOUND;
}

NTSTATUS BusPdoSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoSendToFilter: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusPdoNotImplemented("BusPdoSendToFilter", pIrp);
    EXT("BusPdoSendToFilter: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoDeviceControl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusPdoNotImplemented("BusPdoDeviceControl", pIrp);
    EXT("BusPdoDeviceControl: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusPdoSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("BusPdoSystemControl: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = BusPdoNotImplemented("BusPdoSystemControl", pIrp);
    EXT("BusPdoSystemControl: status 0x%08x\n", (ULONG)status);
    return status;
}

/* ---- End of not implemented yet ---- */
