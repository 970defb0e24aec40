/*
 * Building and handing over the IOC_QUERY_DEVICES answer (see busquery.h).
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "debug.h"
#include "busquery.h"
#include "busrecords.h"

PQUERY_DEVICES_OUTPUT BusAllocateQueryDevicesAnswer(ULONG ulPaths, ULONG ulTag, PULONG pcbRequired)
{
    ENT("BusAllocateQueryDevicesAnswer: ulPaths %u\n", (ULONG)ulPaths);
    ULONG cbRequired = QUERY_DEVICES_HEADER_SIZE + ulPaths * (ULONG)sizeof(DEVICE_DESCRIPTOR);
    PQUERY_DEVICES_OUTPUT pAnswer = (PQUERY_DEVICES_OUTPUT)ExAllocatePoolWithTag(NonPagedPool, cbRequired, ulTag);
    if (pAnswer == NULL) {
        DBG_NULL("BusQueryDevices: pQueryDevices");
    } else {
        RtlZeroMemory(pAnswer, cbRequired);
        pAnswer->ulRequiredSize = cbRequired;
    }
    *pcbRequired = cbRequired;
    EXT("BusAllocateQueryDevicesAnswer: pAnswer 0x%08x, %u bytes\n", DBG_PTR(pAnswer), (ULONG)cbRequired);
    return pAnswer;
}

VOID BusFillDeviceDescriptor(PDEVICE_DESCRIPTOR pDesc, PCSTR szKind, ULONG ulNumber, PCSTR szSN, BOOLEAN fFailover,
                             const SCSI_ADDRESS *pScsiAddr, BOOLEAN fActive, BOOLEAN fPrimary)
{
    ENT("BusFillDeviceDescriptor: pDesc 0x%08x, %s%u, fActive %d, fPrimary %d\n", DBG_PTR(pDesc), szKind,
        (ULONG)ulNumber, (int)fActive, (int)fPrimary);
    RtlZeroMemory(pDesc, sizeof(*pDesc));
    RtlStringCbPrintfA(pDesc->szName, sizeof(pDesc->szName), "%s%u", szKind, (ULONG)ulNumber);
    /* A serial number of all 32 characters has no terminator; the rest of the field stays zero. */
    for (ULONG i = 0; i < SERIAL_NUMBER_LENGTH && szSN[i] != '\0'; i++) {
        pDesc->szSN[i] = szSN[i];
    }
    pDesc->fFailover = fFailover ? TRUE : FALSE;
    pDesc->scScsiAddr = *pScsiAddr;
    pDesc->fActive = fActive ? TRUE : FALSE;
    pDesc->fPrimary = fPrimary ? TRUE : FALSE;
    EXT("BusFillDeviceDescriptor: VOID status\n");
}

ULONG BusCopyQueryDevicesAnswer(PVOID pOutput, ULONG ulOutput, const QUERY_DEVICES_OUTPUT *pAnswer, ULONG cbRequired)
{
    ENT("BusCopyQueryDevicesAnswer: pOutput 0x%08x, ulOutput %u, cbRequired %u\n", DBG_PTR(pOutput), (ULONG)ulOutput,
        (ULONG)cbRequired);
    ULONG cbReturned = BusQueryDevicesReturnLength(ulOutput, cbRequired);
    if (cbReturned < cbRequired && cbReturned >= QUERY_DEVICES_HEADER_SIZE) {
        DBG("BusQueryDevices: Buffer partial, copying %d complete descriptors (%d bytes)\n",
            (int)((cbReturned - QUERY_DEVICES_HEADER_SIZE) / sizeof(DEVICE_DESCRIPTOR)), (int)cbReturned);
    }
    RtlCopyMemory(pOutput, pAnswer, cbReturned);
    EXT("BusCopyQueryDevicesAnswer: %u\n", (ULONG)cbReturned);
    return cbReturned;
}
