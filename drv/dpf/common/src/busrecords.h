/*
 * Checks of the control device's requests (IOC_REGISTER, IOC_NOTIFY, IOC_QUERY_DEVICES) before a
 * handler touches their records: who may send them, how long their buffers must be, and which
 * handler a record goes to. Plain functions over the request's parameters, with no device or
 * request object, so that they can be exercised on their own with any input.
 */
#pragma once

#include <ntddk.h>
#include "defines.h"

/* Where a checked control-device request goes. */
typedef enum _BUS_CONTROL_HANDLER {
    BUS_HANDLER_PASS_DOWN = 0,      /* not a control code of the bus: to the next lower device */
    BUS_HANDLER_ADD_PATH,           /* IOC_REGISTER: BusAddPath, answers sizeof(REG_DVC) bytes */
    BUS_HANDLER_NOTIFY_PNP,         /* IOC_NOTIFY of type NFY_TYPE_PNP: BusNotifyPnp */
    BUS_HANDLER_NOTIFY_IO,          /* IOC_NOTIFY of type NFY_TYPE_IO: BusNotifyIo */
    BUS_HANDLER_NOTIFY_UNKNOWN,     /* IOC_NOTIFY of any other type */
    BUS_HANDLER_QUERY_DEVICES       /* IOC_QUERY_DEVICES: BusQueryDevices */
} BUS_CONTROL_HANDLER;

/* Checks a request of the control device: ulCode with the sender's mode, the buffer lengths and the
   request's system buffer (METHOD_BUFFERED: max(ulInput, ulOutput) bytes, NULL when both are 0).
   On success *pHandler names the handler; the handler may then read a whole REG_DVC or NFY_DVC
   and, for IOC_REGISTER, answer a whole REG_DVC. Refusals:
     IOC_REGISTER, IOC_NOTIFY from user mode            STATUS_ACCESS_DENIED
     IOC_REGISTER with input or output below REG_DVC    STATUS_INFO_LENGTH_MISMATCH
     IOC_NOTIFY with input below NFY_DVC                STATUS_INFO_LENGTH_MISMATCH
     IOC_QUERY_DEVICES with output below 148 bytes      STATUS_INFO_LENGTH_MISMATCH
     any of the three without a system buffer           STATUS_INVALID_PARAMETER
   Any other code is not looked at: STATUS_SUCCESS with BUS_HANDLER_PASS_DOWN. */
NTSTATUS BusCheckControlRequest(ULONG ulCode, KPROCESSOR_MODE requestorMode, ULONG ulInput, ULONG ulOutput,
                                const VOID *pSystemBuffer, BUS_CONTROL_HANDLER *pHandler);

/* IOC_QUERY_DEVICES' output length check alone (virtual devices answer it too): STATUS_SUCCESS for at
   least QUERY_DEVICES_MIN_OUTPUT bytes, else STATUS_INFO_LENGTH_MISMATCH. */
NTSTATUS BusCheckQueryDevicesOutput(ULONG ulOutput);

/* Bytes of an IOC_QUERY_DEVICES answer of cbRequired bytes that fit an output buffer of ulOutput
   bytes: the whole answer, or the size field and as many whole descriptors as fit. Never more than
   either length; 0 when not even the size field fits. */
ULONG BusQueryDevicesReturnLength(ULONG ulOutput, ULONG cbRequired);
