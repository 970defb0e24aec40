/*
 * Data a device returns that the path filters read (see devdata.h).
 */
#include <ntddk.h>
#include "devdata.h"

NTSTATUS FltGetWwnnString(PUCHAR pDeviceIdPage, PCHAR szWwnn)
{
    static const CHAR szHex[] = "0123456789abcdef";
    NTSTATUS status = STATUS_SUCCESS;
    ENT("FltGetWwnnString: pDeviceIdPage 0x%08x, szWwnn 0x%08x\n", DBG_PTR(pDeviceIdPage), DBG_PTR(szWwnn));

    /* The index names byte 1 of a designation descriptor (association and designator type); the first
       descriptor follows the 4-byte page header. */
    LONG iIndex = 5;
    LONG iPrevIndex = -1;
    BOOLEAN fFound = FALSE;
    while (iIndex < DEVICE_IDENTIFICATION_PAGE_LENGTH && iIndex > iPrevIndex) {
        if ((pDeviceIdPage[iIndex] & 0x3F) == 3) {
            fFound = TRUE;
            break;
        }
        iPrevIndex = iIndex;
        if (iIndex + OFFSET_FROM_INDEX_TO_LENGTH < DEVICE_IDENTIFICATION_PAGE_LENGTH) {
            iIndex += pDeviceIdPage[iIndex + OFFSET_FROM_INDEX_TO_LENGTH] + 4;
        } else {
            break;
        }
    }

    /* A descriptor found in the page's last two bytes has its length byte past the page: it is as
       invalid as a designator that runs past it, and the byte is never read. */
    LONG iLength = 0;
    if (fFound && iIndex + OFFSET_FROM_INDEX_TO_LENGTH < DEVICE_IDENTIFICATION_PAGE_LENGTH) {
        iLength = pDeviceIdPage[iIndex + OFFSET_FROM_INDEX_TO_LENGTH];
    }
    if (!fFound || iLength == 0 || iIndex + 3 + iLength > DEVICE_IDENTIFICATION_PAGE_LENGTH) {
        DBG("FltGetWwnnString: Invalid index into device ID.  ww_name invalid.");
        status = STATUS_DATA_ERROR;
    } else if (iLength > 8) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        PUCHAR pDesignator = pDeviceIdPage + iIndex + 3;
        for (LONG i = 0; i < iLength; i++) {
            szWwnn[2 * i] = szHex[pDesignator[i] >> 4];
            szWwnn[2 * i + 1] = szHex[pDesignator[i] & 0x0F];
        }
        szWwnn[2 * iLength] = '\0';
    }

    EXT("FltGetWwnnString: status 0x%08x\n", (ULONG)status);
    return status;
}

BOOLEAN FltSerialIsBlank(PCHAR szSerial)
{
    BOOLEAN fBlank = TRUE;
    ENT("FltSerialIsBlank: szSerial 0x%08x\n", DBG_PTR(szSerial));

    for (ULONG i = 0; i < SERIAL_NUMBER_LENGTH && szSerial[i] != '\0'; i++) {
        if (szSerial[i] != ' ') {
            fBlank = FALSE;
            break;
        }
    }

    EXT("FltSerialIsBlank: status 0x%08x\n", (ULONG)fBlank);
    return fBlank;
}
