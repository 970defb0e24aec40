/*
 * System event log records of the bus drivers: the event information record and the error-log
 * packet written from it. The texts are in each driver's message table.
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "busframe.h"

/* Length of wsz in characters, at most ulMax (ulMax when no NUL comes earlier). */
static ULONG BusBoundedLength(PCWSTR wsz, ULONG ulMax)
{
    ULONG ulLength = 0;
    while (ulLength < ulMax && wsz[ulLength] != L'\0') {
        ulLength++;
    }
    return ulLength;
}

NTSTATUS BusTwoParmEvent(PVOID pDeviceObject, PIRP pIrp, NTSTATUS iEventCode, PCWSTR wszParm1, PCWSTR wszParm2)
{
    NTSTATUS status;
    ENT("BusTwoParmEvent: pDeviceObject 0x%08x, pIrp 0x%08x, iEventCode 0x%08x, wszParm1 0x%08x, wszParm2 0x%08x\n",
        DBG_PTR(pDeviceObject), DBG_PTR(pIrp), (ULONG)iEventCode, DBG_PTR(wszParm1), DBG_PTR(wszParm2));

    /* The strings, each with its NUL, and the closing empty string must fit the record; measuring them
       first keeps the copy inside it. */
    PCWSTR awszParms[2] = { wszParm1, wszParm2 };
    ULONG aulLengths[2] = { 0, 0 };
    ULONG ulChars = 1;
    for (ULONG i = 0; i < 2; i++) {
        if (awszParms[i] != NULL) {
            aulLengths[i] = BusBoundedLength(awszParms[i], BUS_EVENT_STRING_CHARS);
            ulChars += aulLengths[i] + 1;
        }
    }

    if (ulChars > BUS_EVENT_STRING_CHARS) {
        DBG("BusTwoParmEvent: more string data than allocated memory.  Not logging error\n");
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        PEVENT_INFO pEventInfo = (PEVENT_INFO)ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(EVENT_INFO), BUS_TAG_EVENT);
        if (pEventInfo == NULL) {
            DBG_NULL("BusTwoParmEvent: pEventInfo");
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            pEventInfo->iEventCode = iEventCode;
            PWCHAR pwcNext = pEventInfo->wszStrings;
            for (ULONG i = 0; i < 2; i++) {
                if (awszParms[i] != NULL) {
                    RtlCopyMemory(pwcNext, awszParms[i], aulLengths[i] * sizeof(WCHAR));
                    pwcNext += aulLengths[i] + 1;   /* the record is zero-filled: the NUL is there */
                }
            }
            status = BusWriteEvent(pDeviceObject, pIrp, pEventInfo);
            ExFreePoolWithTag(pEventInfo, BUS_TAG_EVENT);
        }
    }

    EXT("BusTwoParmEvent: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS BusWriteEvent(PVOID pDeviceObject, PIRP pIrp, PEVENT_INFO pEventInfo)
{
    NTSTATUS status = STATUS_SUCCESS;
    PIO_STACK_LOCATION pIrpStack = NULL;
    ENT("BusWriteEvent: pDeviceObject 0x%08x, pIrp 0x%08x, pEventInfo 0x%08x\n",
        DBG_PTR(pDeviceObject), DBG_PTR(pIrp), DBG_PTR(pEventInfo));

    if (pIrp != NULL) {
        pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
        if (pIrpStack == NULL) {
            DBG_NULL("BusWriteEvent: pIrpStack");
            status = STATUS_INVALID_PARAMETER;
        }
    }
    if (pEventInfo == NULL) {
        DBG_NULL("BusWriteEvent: pEventInfo");
        status = STATUS_INVALID_PARAMETER;
    }

    PIO_ERROR_LOG_PACKET pIoLogPacket = NULL;
    if (NT_SUCCESS(status)) {
        pIoLogPacket = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(pDeviceObject, (UCHAR)BUS_ERROR_LOG_PACKET_SIZE);
        if (pIoLogPacket == NULL) {
            DBG_NULL("BusWriteEvent: pIoLogPacket");
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    if (NT_SUCCESS(status)) {
        /* Count the strings up to the empty one that ends the list, never reading past the record. */
        ULONG ulStrings = 0;
        ULONG ulChars = 0;
        BOOLEAN fTerminated = FALSE;
        while (ulChars < BUS_EVENT_STRING_CHARS) {
            ULONG ulLength = BusBoundedLength(pEventInfo->wszStrings + ulChars, BUS_EVENT_STRING_CHARS - ulChars);
            if (ulLength == 0) {
                fTerminated = TRUE;
                break;
            }
            if (ulChars + ulLength >= BUS_EVENT_STRING_CHARS) {
                break;   /* a string without its NUL inside the record */
            }
            ulStrings++;
            ulChars += ulLength + 1;
        }
        DBG("BusWriteEvent: %d strings requiring %d wchars\n", (int)ulStrings, (int)ulChars);

        /* Check the room first: the packet holds 100 characters after its header. */
        if (!fTerminated || ulChars > BUS_ERROR_LOG_MAX_CHARS) {
            DBG("BusWriteEvent: more string data than allocated memory.  Not logging error\n");
            IoFreeErrorLogEntry(pIoLogPacket);
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(pIoLogPacket, BUS_ERROR_LOG_PACKET_SIZE);
            pIoLogPacket->MajorFunctionCode = pIrpStack != NULL ? pIrpStack->MajorFunction : 0;
            pIoLogPacket->RetryCount = 0;
            pIoLogPacket->DumpDataSize = 0;
            pIoLogPacket->NumberOfStrings = (USHORT)ulStrings;
            pIoLogPacket->StringOffset = BUS_ERROR_LOG_STRING_OFFSET;
            pIoLogPacket->EventCategory = 0;
            pIoLogPacket->ErrorCode = pEventInfo->iEventCode;
            RtlCopyMemory((PUCHAR)pIoLogPacket + BUS_ERROR_LOG_STRING_OFFSET, pEventInfo->wszStrings,
                          ulChars * sizeof(WCHAR));
            DBG("BusWriteEvent: sending event for status 0x%08x to IoWriteErrorLogEntry.\n",
                (ULONG)pEventInfo->iEventCode);
            IoWriteErrorLogEntry(pIoLogPacket);
        }
    }

    EXT("BusWriteEvent: status 0x%08x\n", (ULONG)status);
    return status;
}

VOID BusPathText(PWCHAR wszOut, const SCSI_ADDRESS *pScsiAddr)
{
    ENT("BusPathText: pScsiAddr 0x%08x\n", DBG_PTR(pScsiAddr));
    (VOID)RtlStringCchPrintfW(wszOut, BUS_PATH_TEXT_CHARS, L"port %u bus %u target %u lun %u",
                              (ULONG)pScsiAddr->PortNumber, (ULONG)pScsiAddr->PathId, (ULONG)pScsiAddr->TargetId,
                              (ULONG)pScsiAddr->Lun);
    EXT("BusPathText: VOID status\n");
}
