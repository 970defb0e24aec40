/*
 * Plug and Play requests on a virtual changer. The changers are no Plug and Play children of the
 * bus (they are named devices reached through their links), so these requests only come from
 * someone sending them directly: they are answered without effect on the changer, and a relation
 * query is left as it came.
 */
#include <ntddk.h>
#include "bus.h"

NTSTATUS BusPdoPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;
    ENT("BusPdoPnp: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pIrpStack == NULL) {
        DBG_NULL("BusPdoPnp: pIrpStack");
        status = BusCompleteRequest(pIrp, STATUS_INVALID_PARAMETER, 0);
    } else {
        DBG("BusPdoPnp: %s\n", DbgPnpMinorFunctionName(pIrpStack->MinorFunction));
        switch (pIrpStack->MinorFunction) {
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            DBG("BusPdoMnQueryDeviceRelations: no relations reported\n");
            status = pIrp->IoStatus.Status;
            IoCompleteRequest(pIrp, IO_NO_INCREMENT);
            break;
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_CAPABILITIES:
            status = BusCompleteRequest(pIrp, STATUS_SUCCESS, 0);
            break;
        default:
            status = pIrp->IoStatus.Status;
            IoCompleteRequest(pIrp, IO_NO_INCREMENT);
            break;
        }
    }
    EXT("BusPdoPnp: status 0x%08x\n", (ULONG)status);
    return status;
}
