/*
 * Common kernel services: synchronous request forwarding and the driver's registry configuration.
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "debug.h"
#include "common.h"

typedef NTSTATUS (NTAPI *PFN_QUERY_REGISTRY_VALUES)(ULONG RelativeTo, PCWSTR Path,
                                                    PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                    PVOID Context, PVOID Environment);

/* Name of a status that IoCallDriver returned and that means "wait for the completion". */
static PCSTR CmnWaitStatusName(NTSTATUS status)
{
    switch (status) {
    case STATUS_PENDING: return "STATUS_PENDING";
    case STATUS_WAIT_1: return "STATUS_WAIT_1";
    case STATUS_WAIT_2: return "STATUS_WAIT_2";
    case STATUS_WAIT_3: return "STATUS_WAIT_3";
    default: return "???";
    }
}

NTSTATUS CmnIrpSyncCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    ENT("CmnIrpSyncCompletion: pDeviceObject 0x%08x, pIrp 0x%08x, pContext 0x%08x\n",
        DBG_PTR(pDeviceObject), DBG_PTR(pIrp), DBG_PTR(pContext));

    /* Wait and abandoned-wait codes are successes that callers of a request do not expect. */
    NTSTATUS status = pIrp->IoStatus.Status;
    if (status > 0 && status < 0xC0) {
        DBG("CmnIrpSyncCompletion: changing status 0x%08x to STATUS_SUCCESS\n", (ULONG)status);
        pIrp->IoStatus.Status = STATUS_SUCCESS;
    }
    if (DBG_ASSERT(pContext != NULL)) {
        KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    }

    EXT("CmnIrpSyncCompletion: status 0x%08x\n", (ULONG)STATUS_MORE_PROCESSING_REQUIRED);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Sends pIrp to the device below pDeviceObject and waits for it; szRoutine names the caller in the trace. */
static NTSTATUS CmnCallLowerAndWait(PCSTR szRoutine, PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS status;

    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    PDEVICE_OBJECT pLowerDevice = CmnGetNextLowerDevice(pDeviceObject);
    if (pIrpStack == NULL) {
        DBG("%s: pIrpStack == NULL.\n", szRoutine);
        status = STATUS_INVALID_PARAMETER;
    } else if (pLowerDevice == NULL) {
        /* A device without a stack below it (a virtual device) has nobody to pass the request to. */
        DBG("%s: pLowerDevice == NULL.\n", szRoutine);
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        KEVENT event;
        KeInitializeEvent(&event, SynchronizationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(pIrp);
        IoSetCompletionRoutine(pIrp, CmnIrpSyncCompletion, &event, TRUE, TRUE, TRUE);

        status = IoCallDriver(pLowerDevice, pIrp);
        if (status == STATUS_SUCCESS) {
            /* Done; the completion routine has run. */
        } else if (status == STATUS_PENDING || status == STATUS_WAIT_1 || status == STATUS_WAIT_2 ||
                   status == STATUS_WAIT_3) {
            DBG("%s: IoCallDriver returned %s.  Waiting...\n", szRoutine, CmnWaitStatusName(status));
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            status = pIrp->IoStatus.Status;
        } else {
            /* Completed synchronously with an error or a warning; the completion routine has run. */
            DBG("%s: Unhandled return code 0x%08x from IoCallDriver\n", szRoutine, (ULONG)status);
        }
    }

    return status;
}

NTSTATUS CmnForwardIrpSync(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("CmnForwardIrpSync: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = CmnCallLowerAndWait("CmnForwardIrpSync", pDeviceObject, pIrp);
    EXT("CmnForwardIrpSync: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS CmnSendIrpSync(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    ENT("CmnSendIrpSync: pDeviceObject 0x%08x, pIrp 0x%08x\n", DBG_PTR(pDeviceObject), DBG_PTR(pIrp));
    NTSTATUS status = CmnCallLowerAndWait("CmnSendIrpSync", pDeviceObject, pIrp);
    /* The request is completed with the status returned (a refusal before it went down included). */
    pIrp->IoStatus.Status = status;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    EXT("CmnSendIrpSync: status 0x%08x\n", (ULONG)status);
    return status;
}

/* Builds "<Parameters key>[\<szwSubkey>]" into wszPath (CMN_KEY_PATH_CHARS characters). A path that
   does not fit is refused rather than cut: a cut path could name another key. */
static NTSTATUS CmnBuildKeyPath(PWCHAR wszPath, PCWSTR szwSubkey)
{
    NTSTATUS status = RtlStringCchCopyW(wszPath, CMN_KEY_PATH_CHARS, CMN_PARAMETERS_KEY);
    if (NT_SUCCESS(status) && szwSubkey != NULL) {
        status = RtlStringCchCatW(wszPath, CMN_KEY_PATH_CHARS, L"\\");
        if (NT_SUCCESS(status)) {
            status = RtlStringCchCatW(wszPath, CMN_KEY_PATH_CHARS, szwSubkey);
        }
    }
    if (!NT_SUCCESS(status)) {
        DBG("CmnBuildKeyPath: key path too long (status 0x%08x)\n", (ULONG)status);
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CmnLookupRegistryValue(PVOID pulValue, PCWSTR szwName, PCWSTR szwSubkey, ULONG ulType)
{
    NTSTATUS status;
    ENT("CmnLookupRegistryValue: pulValue 0x%08x, szwName 0x%08x, szwSubkey 0x%08x, ulType %u\n",
        DBG_PTR(pulValue), DBG_PTR(szwName), DBG_PTR(szwSubkey), (unsigned)ulType);

    if (pulValue == NULL) {
        DBG_NULL("CmnLookupRegistryValue: pulValue");
        status = STATUS_INVALID_PARAMETER;
    } else if (szwName == NULL) {
        DBG_NULL("CmnLookupRegistryValue: szwName");
        status = STATUS_INVALID_PARAMETER;
    } else if (ulType != REG_DWORD && ulType != REG_SZ) {
        DBG("CmnLookupRegistryValue: unsupported value type %u\n", (unsigned)ulType);
        status = STATUS_INVALID_PARAMETER;
    } else {
        WCHAR wszPath[CMN_KEY_PATH_CHARS];
        status = CmnBuildKeyPath(wszPath, szwSubkey);
        if (NT_SUCCESS(status)) {
            /* DIRECT writes the value into the caller's storage; the type check makes the query refuse
               a value of another type instead of writing its bytes over storage sized for the
               expected one (a REG_SZ or REG_BINARY where a 4-byte REG_DWORD is expected). */
            RTL_QUERY_REGISTRY_TABLE aQuery[2];
            RtlZeroMemory(aQuery, sizeof(aQuery));
            aQuery[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED |
                              RTL_QUERY_REGISTRY_TYPECHECK;
            aQuery[0].Name = (PWSTR)szwName;
            aQuery[0].EntryContext = pulValue;
            aQuery[0].DefaultType = (ulType << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;

            UNICODE_STRING usRoutine;
            RtlInitUnicodeString(&usRoutine, L"RtlQueryRegistryValuesEx");
            PFN_QUERY_REGISTRY_VALUES pfnQuery =
                (PFN_QUERY_REGISTRY_VALUES)MmGetSystemRoutineAddress(&usRoutine);
            if (pfnQuery == NULL) {
                pfnQuery = RtlQueryRegistryValues;
            }
            status = pfnQuery(RTL_REGISTRY_ABSOLUTE, wszPath, aQuery, NULL, NULL);
            if (!NT_SUCCESS(status)) {
                DBG_FAILED("CmnLookupRegistryValue: RtlQueryRegistryValues", status);
            }
        }
    }

    EXT("CmnLookupRegistryValue: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS CmnCreateRegistryKey(PHANDLE phKey, PCWSTR wszKey)
{
    NTSTATUS status;
    ENT("CmnCreateRegistryKey: phKey 0x%08x, wszKey 0x%08x\n", DBG_PTR(phKey), DBG_PTR(wszKey));

    if (phKey == NULL) {
        DBG_NULL("CmnCreateRegistryKey: phKey");
        status = STATUS_INVALID_PARAMETER;
    } else if (wszKey == NULL) {
        DBG_NULL("CmnCreateRegistryKey: wszKey");
        status = STATUS_INVALID_PARAMETER;
    } else {
        WCHAR wszPath[CMN_KEY_PATH_CHARS];
        status = CmnBuildKeyPath(wszPath, wszKey);
        if (NT_SUCCESS(status)) {
            DBG("CmnCreateRegistryKey: attempting to create %S\n", wszPath);
            UNICODE_STRING usPath;
            RtlInitUnicodeString(&usPath, wszPath);
            OBJECT_ATTRIBUTES oa;
            /* A kernel handle: the calling thread may belong to any process, which must not be able
               to use or close the handle. */
            InitializeObjectAttributes(&oa, &usPath, OBJ_CASE_INSENSITIVE | OBJ_OPENIF | OBJ_KERNEL_HANDLE,
                                       NULL, NULL);
            ULONG ulDisposition = 0;
            status = ZwCreateKey(phKey, KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY, &oa, 0, NULL,
                                 REG_OPTION_NON_VOLATILE, &ulDisposition);
            if (!NT_SUCCESS(status)) {
                DBG_FAILED("CmnCreateRegistryKey: ZwCreateKey", status);
            }
        }
    }

    EXT("CmnCreateRegistryKey: status 0x%08x\n", (ULONG)status);
    return status;
}

NTSTATUS CmnOpenCallback(PCWSTR wszName, PCALLBACK_OBJECT *ppCallback)
{
    ENT("CmnOpenCallback: wszName %ls\n", wszName);
    UNICODE_STRING usName;
    OBJECT_ATTRIBUTES oa;
    RtlInitUnicodeString(&usName, wszName);
    InitializeObjectAttributes(&oa, &usName, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, NULL, NULL);
    NTSTATUS status = ExCreateCallback(ppCallback, &oa, TRUE, TRUE);
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("CmnOpenCallback: ExCreateCallback", status);
        *ppCallback = NULL;
    }
    EXT("CmnOpenCallback: status 0x%08x\n", (ULONG)status);
    return status;
}

VOID CmnPadWithZeros(PCHAR szString, ULONG ulWidth)
{
    ENT("CmnPadWithZeros: szString 0x%08x, ulWidth %u\n", DBG_PTR(szString), (unsigned)ulWidth);

    if (szString == NULL) {
        DBG_NULL("CmnPadWithZeros: szString");
    } else {
        ULONG ulLength = 0;
        while (ulLength < ulWidth && szString[ulLength] != '\0') {
            ulLength++;
        }
        if (ulLength < ulWidth) {
            ULONG ulPad = ulWidth - ulLength;
            RtlMoveMemory(szString + ulPad, szString, ulLength);
            RtlFillMemory(szString, ulPad, '0');
            szString[ulWidth] = '\0';
        }
    }

    EXT("CmnPadWithZeros: VOID status\n");
}
