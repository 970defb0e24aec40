/*
 * Checks of the control device's requests before their handlers run (see busrecords.h).
 */
#include <ntddk.h>
#include "debug.h"
#include "busrecords.h"

NTSTATUS BusCheckQueryDevicesOutput(ULONG ulOutput)
{
    NTSTATUS status = STATUS_SUCCESS;
    ENT("BusCheckQueryDevicesOutput: ulOutput %u\n", (ULONG)ulOutput);
    if (ulOutput < QUERY_DEVICES_MIN_OUTPUT) {
        DBG("%s: output buffer length mismatch (%d<%d)\n", "\tIOC_QUERY_DEVICES", (int)ulOutput,
            (int)QUERY_DEVICES_MIN_OUTPUT);
        status = STATUS_INFO_LENGTH_MISMATCH;
    }
    EXT("BusCheckQueryDevicesOutput: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusCheckControlRequest(ULONG ulCode, KPROCESSOR_MODE requestorMode, ULONG ulInput, ULONG ulOutput,
                                const VOID *pSystemBuffer, BUS_CONTROL_HANDLER *pHandler)
{
    NTSTATUS status = STATUS_SUCCESS;
    ENT("BusCheckControlRequest: ulCode 0x%08x, requestorMode %d, ulInput %u, ulOutput %u, pSystemBuffer 0x%08x\n",
        (ULONG)ulCode, (int)requestorMode, (ULONG)ulInput, (ULONG)ulOutput, DBG_PTR(pSystemBuffer));

    *pHandler = BUS_HANDLER_PASS_DOWN;
    switch (ulCode) {
    case IOC_REGISTER:
    case IOC_NOTIFY:
        /* Registration records carry device object pointers that the bus later sends requests to:
           only the path filters, which build these requests in the kernel, may send them. */
        if (requestorMode != KernelMode) {
            DBG("BusDispatchDeviceControl: %s from user mode.  Access denied.\n",
                ulCode == IOC_REGISTER ? "IOC_REGISTER" : "IOC_NOTIFY");
            status = STATUS_ACCESS_DENIED;
        } else if (ulCode == IOC_REGISTER) {
            if (ulInput < sizeof(REG_DVC)) {
                DBG("%s: input buffer length mismatch (%d<%d)\n", "\tIOC_REGISTER", (int)ulInput, (int)sizeof(REG_DVC));
                status = STATUS_INFO_LENGTH_MISMATCH;
            } else if (ulOutput < sizeof(REG_DVC)) {
                /* The answer is a whole REG_DVC; a shorter output buffer would be overrun by the copy
                   back to the caller. */
                DBG("%s: output buffer length mismatch (%d<%d)\n", "\tIOC_REGISTER", (int)ulOutput, (int)sizeof(REG_DVC));
                status = STATUS_INFO_LENGTH_MISMATCH;
            } else {
                *pHandler = BUS_HANDLER_ADD_PATH;
            }
        } else if (ulInput < sizeof(NFY_DVC)) {
            DBG("%s: input buffer length mismatch (%d<%d)\n", "\tIOC_NOTIFY", (int)ulInput, (int)sizeof(NFY_DVC));
            status = STATUS_INFO_LENGTH_MISMATCH;
        } else if (pSystemBuffer != NULL) {
#ifdef VORKA_CHANGER_DRIVER
            /* The changer bus's notifications have no type: each one is a PnP state change. */
            *pHandler = BUS_HANDLER_NOTIFY_PNP;
#else
            ULONG ulType;
            RtlCopyMemory(&ulType, (const UCHAR *)pSystemBuffer + FIELD_OFFSET(NFY_DVC, ulType), sizeof(ulType));
            *pHandler = ulType == NFY_TYPE_PNP  ? BUS_HANDLER_NOTIFY_PNP
                        : ulType == NFY_TYPE_IO ? BUS_HANDLER_NOTIFY_IO
                                                : BUS_HANDLER_NOTIFY_UNKNOWN;
#endif
        }
        if (NT_SUCCESS(status) && pSystemBuffer == NULL) {
            /* Lengths without a buffer: never from the I/O manager, but a handler would read NULL. */
            DBG_NULL("BusCheckControlRequest: pSystemBuffer");
            *pHandler = BUS_HANDLER_PASS_DOWN;
            status = STATUS_INVALID_PARAMETER;
        }
        break;

    case IOC_QUERY_DEVICES:
        status = BusCheckQueryDevicesOutput(ulOutput);
        if (NT_SUCCESS(status) && pSystemBuffer == NULL) {
            DBG_NULL("BusCheckControlRequest: pSystemBuffer");
            status = STATUS_INVALID_PARAMETER;
        } else if (NT_SUCCESS(status)) {
            *pHandler = BUS_HANDLER_QUERY_DEVICES;
        }
        break;

    default:
        break;
    }

    EXT("BusCheckControlRequest: status 0x%08x, handler %d\n", (ULONG)status, (int)*pHandler);
    return status;
}

ULONG BusQueryDevicesReturnLength(ULONG ulOutput, ULONG cbRequired)
{
    ULONG cbReturned;
    ENT("BusQueryDevicesReturnLength: ulOutput %u, cbRequired %u\n", (ULONG)ulOutput, (ULONG)cbRequired);
    if (ulOutput >= cbRequired) {
        cbReturned = cbRequired;
    } else if (ulOutput < QUERY_DEVICES_HEADER_SIZE) {
        cbReturned = 0;
    } else {
        ULONG ulWhole = (ulOutput - QUERY_DEVICES_HEADER_SIZE) / sizeof(DEVICE_DESCRIPTOR);
        cbReturned = QUERY_DEVICES_HEADER_SIZE + (ULONG)sizeof(DEVICE_DESCRIPTOR) * ulWhole;
    }
    EXT("BusQueryDevicesReturnLength: %u\n", (ULONG)cbReturned);
    return cbReturned;
}
