/*
 * Persistent names of the virtual changers. With "PersistentNaming" set in the changer bus's
 * Parameters key, a library's virtual changer is named once and keeps that name: the record is the
 * tape bus's form, a subkey "SERNUM_" and the serial number filled out to 32 characters with
 * leading '0', holding "PersistentDeviceName" ("Changer<n>"). New libraries are numbered from
 * BUS_CHANGER_NAME_BASE upward, far above the numbers the base driver gives its path devices (from
 * 0, the lowest free), and a number once given is never given to another library (the next one to
 * give is kept in the subkey "PersistentChangerNumbers" as "Next"), so a recorded name can name no
 * other device.
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "bus.h"

#define BUS_CHANGER_KEY_CHARS   (7 + SERIAL_NUMBER_LENGTH)

static const WCHAR g_wszPersistentDeviceName[] = L"PersistentDeviceName";
static const WCHAR g_wszNumbersKey[] = L"PersistentChangerNumbers";
static const WCHAR g_wszNextNumber[] = L"Next";

static BOOLEAN BusIsKeyChar(CHAR c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

BOOLEAN BusChangerNameKey(PBUS_EXT pExt, PREG_DVC pRegDvc, PWCHAR wszKey)
{
    ENT("BusChangerNameKey: pRegDvc 0x%08x\n", DBG_PTR(pRegDvc));
    BOOLEAN fKeyed = FALSE;
    CHAR szSN[SERIAL_NUMBER_LENGTH + 1];
    RtlZeroMemory(szSN, sizeof(szSN));
    RtlCopyMemory(szSN, pRegDvc->szSN, SERIAL_NUMBER_LENGTH);
    ULONG cch = 0;
    while (cch < SERIAL_NUMBER_LENGTH && szSN[cch] != '\0') {
        cch++;
    }
    if (pExt->fPersistentNaming && pRegDvc->fFailover && !pExt->fFailoverDisabled && cch != 0) {
        fKeyed = TRUE;
        for (ULONG i = 0; i < cch; i++) {
            /* A serial number a key cannot hold gets no record: its changer is numbered as without. */
            fKeyed = fKeyed && BusIsKeyChar(szSN[i]);
        }
    }
    if (fKeyed) {
        CmnPadWithZeros(szSN, SERIAL_NUMBER_LENGTH);
        RtlStringCchCopyW(wszKey, BUS_CHANGER_KEY_CHARS + 1, L"SERNUM_");
        for (ULONG i = 0; i < SERIAL_NUMBER_LENGTH; i++) {
            wszKey[7 + i] = (WCHAR)(UCHAR)szSN[i];
        }
        wszKey[BUS_CHANGER_KEY_CHARS] = L'\0';
    }
    EXT("BusChangerNameKey: status 0x%08x\n", (ULONG)fKeyed);
    return fKeyed;
}

BOOLEAN BusRecordedChangerNumber(PCWSTR wszKey, PULONG pulNumber)
{
    ENT("BusRecordedChangerNumber: wszKey %S\n", wszKey);
    BOOLEAN fFound = FALSE;
    UNICODE_STRING usValue;
    RtlZeroMemory(&usValue, sizeof(usValue));
    if (NT_SUCCESS(CmnLookupRegistryValue(&usValue, g_wszPersistentDeviceName, wszKey, REG_SZ)) &&
        usValue.Buffer != NULL) {
        /* "Changer" and 1 to 10 digits, nothing else: anything else names no changer of this bus. */
        ULONG cch = usValue.Length / sizeof(WCHAR);
        const WCHAR wszPrefix[] = L"Changer";
        ULONG cchPrefix = RTL_NUMBER_OF(wszPrefix) - 1;
        BOOLEAN fShape = cch > cchPrefix && cch <= cchPrefix + 10;
        for (ULONG i = 0; fShape && i < cchPrefix; i++) {
            fShape = usValue.Buffer[i] == wszPrefix[i];
        }
        ULONGLONG ullNumber = 0;
        for (ULONG i = cchPrefix; fShape && i < cch; i++) {
            fShape = usValue.Buffer[i] >= L'0' && usValue.Buffer[i] <= L'9';
            ullNumber = ullNumber * 10 + (ULONG)(usValue.Buffer[i] - L'0');
        }
        if (fShape && ullNumber <= 0xFFFFFFFFULL) {
            *pulNumber = (ULONG)ullNumber;
            fFound = TRUE;
        }
        ExFreePool(usValue.Buffer);
    }
    EXT("BusRecordedChangerNumber: status 0x%08x, number %u\n", (ULONG)fFound, fFound ? *pulNumber : 0);
    return fFound;
}

ULONG BusNextChangerNumber(VOID)
{
    ULONG ulNext = BUS_CHANGER_NAME_BASE;
    if (!NT_SUCCESS(CmnLookupRegistryValue(&ulNext, g_wszNextNumber, g_wszNumbersKey, REG_DWORD)) ||
        ulNext < BUS_CHANGER_NAME_BASE) {
        ulNext = BUS_CHANGER_NAME_BASE;
    }
    return ulNext;
}

/* Writes one value into the subkey wszSubkey of the Parameters key (created when missing). */
static NTSTATUS BusWriteNameValue(PCWSTR wszSubkey, PCWSTR wszName, ULONG ulType, const VOID *pData, ULONG cbData)
{
    HANDLE hKey = NULL;
    NTSTATUS status = CmnCreateRegistryKey(&hKey, wszSubkey);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING usName;
        RtlInitUnicodeString(&usName, wszName);
        status = ZwSetValueKey(hKey, &usName, 0, ulType, (PVOID)pData, cbData);
        ZwClose(hKey);
    }
    return status;
}

NTSTATUS BusRecordChangerName(PCWSTR wszKey, ULONG ulNumber)
{
    ENT("BusRecordChangerName: wszKey %S, Changer%u\n", wszKey, ulNumber);
    WCHAR wszName[24];
    size_t cch = 0;
    RtlStringCchPrintfW(wszName, RTL_NUMBER_OF(wszName), L"Changer%u", ulNumber);
    RtlStringCchLengthW(wszName, RTL_NUMBER_OF(wszName), &cch);
    NTSTATUS status = BusWriteNameValue(wszKey, g_wszPersistentDeviceName, REG_SZ, wszName,
                                        (ULONG)((cch + 1) * sizeof(WCHAR)));
    if (NT_SUCCESS(status) && ulNumber >= BusNextChangerNumber()) {
        ULONG ulNext = ulNumber + 1;
        status = BusWriteNameValue(g_wszNumbersKey, g_wszNextNumber, REG_DWORD, &ulNext, sizeof(ulNext));
    }
    if (!NT_SUCCESS(status)) {
        DBG("BusCreatePdo: Could not add %S as persistent name to registry\n", wszName);
    }
    EXT("BusRecordChangerName: status 0x%08x\n", (ULONG)status);
    return status;
}
