/*
 * vorkacmntest: a test driver that carries the driver common library (and the tape bus's event
 * writer) and exposes its routines through device-control requests, so that host tests can drive
 * them inside the simulated kernel exactly as a driver calls them.
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include "bus.h"
#include "cmntest_ioctl.h"

typedef struct _CMNTEST_EXT {
    BOOLEAN fUpper;
    PDEVICE_OBJECT pLower;      /* upper device: the device it is attached to */
} CMNTEST_EXT, *PCMNTEST_EXT;

static PDEVICE_OBJECT g_pUpper;
static PDEVICE_OBJECT g_pLower;
static KSPIN_LOCK g_slState;
static PIRP g_pHeldIrp;                 /* CMNTEST_FORWARD_HELD request waiting for a release */
static NTSTATUS g_iHeldStatus;
static LONG g_iLastSendIrpSync;
static LONG g_lLowerCalls;
static LONG g_lLowerCompletions;

PDEVICE_OBJECT CmnGetNextLowerDevice(PDEVICE_OBJECT pDeviceObject)
{
    return ((PCMNTEST_EXT)pDeviceObject->DeviceExtension)->pLower;
}

static NTSTATUS CmnTestComplete(PIRP pIrp, NTSTATUS status, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return status;
}

static VOID CmnTestNest(ULONG ulLevels)
{
    ENT("CmnTestNest: ulLevels %u\n", (unsigned)ulLevels);
    if (ulLevels > 1) {
        CmnTestNest(ulLevels - 1);
    }
    EXT("CmnTestNest: VOID status\n");
}

static PCSTR CmnTestName(ULONG ulTable, ULONG ulIndex)
{
    switch (ulTable) {
    case CMNTEST_TABLE_MAJOR: return DbgMajorFunctionName(ulIndex);
    case CMNTEST_TABLE_PNP_MINOR: return DbgPnpMinorFunctionName(ulIndex);
    case CMNTEST_TABLE_POWER_MINOR: return DbgPowerMinorFunctionName(ulIndex);
    case CMNTEST_TABLE_PNP_STATE: return DbgPnpStateName(ulIndex);
    case CMNTEST_TABLE_IO_KIND: return DbgIoKindName(ulIndex);
    case CMNTEST_TABLE_RELATION: return DbgRelationName(ulIndex);
    default: return "";
    }
}

static NTSTATUS CmnTestLookup(CMNTEST_LOOKUP *pLookup)
{
    PCWSTR wszSubkey = pLookup->subkey[0] != 0 ? (PCWSTR)pLookup->subkey : NULL;
    pLookup->name[63] = 0;
    pLookup->subkey[199] = 0;
    if (pLookup->type == REG_DWORD) {
        ULONG aulStorage[2] = { pLookup->initialValue, 0xA5A5A5A5 };
        pLookup->status = CmnLookupRegistryValue(&aulStorage[0], (PCWSTR)pLookup->name, wszSubkey, REG_DWORD);
        pLookup->value = aulStorage[0];
        pLookup->guard = aulStorage[1];
    } else {
        UNICODE_STRING usValue = { 0, 0, NULL };   /* the query allocates the buffer */
        pLookup->status = CmnLookupRegistryValue(&usValue, (PCWSTR)pLookup->name, wszSubkey, REG_SZ);
        if (NT_SUCCESS(pLookup->status) && usValue.Buffer != NULL) {
            ULONG ulChars = usValue.Length / sizeof(WCHAR);
            if (ulChars > 127) {
                ulChars = 127;
            }
            RtlCopyMemory(pLookup->string, usValue.Buffer, ulChars * sizeof(WCHAR));
            pLookup->string[ulChars] = 0;
            pLookup->stringChars = usValue.Length / sizeof(WCHAR);
        }
        if (usValue.Buffer != NULL) {
            ExFreePool(usValue.Buffer);
        }
    }
    return STATUS_SUCCESS;
}

/* Requests that reach the lower device: only forwarded ones. */
static NTSTATUS CmnTestLowerDispatch(PIRP pIrp, PIO_STACK_LOCATION pIrpStack)
{
    InterlockedIncrement(&g_lLowerCalls);
    if (pIrpStack->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
        pIrpStack->Parameters.DeviceIoControl.IoControlCode != CMNTEST_IOCTL_FORWARD ||
        pIrpStack->Parameters.DeviceIoControl.InputBufferLength < sizeof(CMNTEST_FORWARD)) {
        InterlockedIncrement(&g_lLowerCompletions);
        return CmnTestComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    CMNTEST_FORWARD forward = *(CMNTEST_FORWARD *)pIrp->AssociatedIrp.SystemBuffer;
    switch (forward.mode) {
    case CMNTEST_FORWARD_PENDED:
        IoMarkIrpPending(pIrp);
        InterlockedIncrement(&g_lLowerCompletions);
        CmnTestComplete(pIrp, forward.completeStatus, 0);
        return STATUS_PENDING;
    case CMNTEST_FORWARD_HELD: {
        KIRQL irql;
        IoMarkIrpPending(pIrp);
        KeAcquireSpinLock(&g_slState, &irql);
        PIRP pOld = g_pHeldIrp;
        g_pHeldIrp = pIrp;
        g_iHeldStatus = forward.completeStatus;
        KeReleaseSpinLock(&g_slState, irql);
        if (pOld != NULL) {
            InterlockedIncrement(&g_lLowerCompletions);
            CmnTestComplete(pOld, STATUS_CANCELLED, 0);
        }
        return STATUS_PENDING;
    }
    default:
        InterlockedIncrement(&g_lLowerCompletions);
        CmnTestComplete(pIrp, forward.completeStatus, 0);
        return forward.returnStatus;
    }
}

static NTSTATUS CmnTestReleaseHeld(NTSTATUS iStatusOverride, BOOLEAN fOverride)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_slState, &irql);
    PIRP pIrp = g_pHeldIrp;
    NTSTATUS status = fOverride ? iStatusOverride : g_iHeldStatus;
    g_pHeldIrp = NULL;
    KeReleaseSpinLock(&g_slState, irql);
    if (pIrp == NULL) {
        return STATUS_NOT_FOUND;
    }
    InterlockedIncrement(&g_lLowerCompletions);
    CmnTestComplete(pIrp, status, 0);
    return STATUS_SUCCESS;
}

static NTSTATUS CmnTestDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PIO_STACK_LOCATION pIrpStack)
{
    ULONG ulCode = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
    ULONG ulInput = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOutput = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID pBuffer = pIrp->AssociatedIrp.SystemBuffer;

#define CMNTEST_NEED(type) \
    if (ulInput < sizeof(type) || ulOutput < sizeof(type)) { \
        return CmnTestComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0); \
    }

    switch (ulCode) {
    case CMNTEST_IOCTL_NEST: {
        CMNTEST_NEED(CMNTEST_NEST);
        CmnTestNest(((CMNTEST_NEST *)pBuffer)->levels);
        return CmnTestComplete(pIrp, STATUS_SUCCESS, 0);
    }
    case CMNTEST_IOCTL_TRACE: {
        CMNTEST_NEED(CMNTEST_TRACE);
        CMNTEST_TRACE *pTrace = (CMNTEST_TRACE *)pBuffer;
        pTrace->text[sizeof(pTrace->text) - 1] = '\0';
        if (pTrace->atDispatch) {
            KIRQL irql;
            KeAcquireSpinLock(&g_slState, &irql);
            DBG("%s", pTrace->text);
            KeReleaseSpinLock(&g_slState, irql);
        } else {
            DBG("%s", pTrace->text);
        }
        return CmnTestComplete(pIrp, STATUS_SUCCESS, 0);
    }
    case CMNTEST_IOCTL_NAME: {
        CMNTEST_NEED(CMNTEST_NAME);
        CMNTEST_NAME *pName = (CMNTEST_NAME *)pBuffer;
        RtlStringCbCopyA(pName->name, sizeof(pName->name), CmnTestName(pName->table, pName->index));
        return CmnTestComplete(pIrp, STATUS_SUCCESS, sizeof(CMNTEST_NAME));
    }
    case CMNTEST_IOCTL_FORWARD: {
        CMNTEST_NEED(CMNTEST_FORWARD);
        /* CmnSendIrpSync completes the request; its status is what the caller sees. */
        NTSTATUS status = CmnSendIrpSync(pDeviceObject, pIrp);
        InterlockedExchange(&g_iLastSendIrpSync, status);
        return status;
    }
    case CMNTEST_IOCTL_RELEASE:
        return CmnTestComplete(pIrp, CmnTestReleaseHeld(0, FALSE), 0);
    case CMNTEST_IOCTL_FORWARD_RESULT: {
        CMNTEST_NEED(CMNTEST_FORWARD_RESULT);
        CMNTEST_FORWARD_RESULT *pResult = (CMNTEST_FORWARD_RESULT *)pBuffer;
        pResult->sendIrpSyncStatus = InterlockedCompareExchange(&g_iLastSendIrpSync, 0, 0);
        pResult->lowerCalls = (uint32_t)InterlockedCompareExchange(&g_lLowerCalls, 0, 0);
        pResult->lowerCompletions = (uint32_t)InterlockedCompareExchange(&g_lLowerCompletions, 0, 0);
        return CmnTestComplete(pIrp, STATUS_SUCCESS, sizeof(CMNTEST_FORWARD_RESULT));
    }
    case CMNTEST_IOCTL_LOOKUP: {
        CMNTEST_NEED(CMNTEST_LOOKUP);
        CmnTestLookup((CMNTEST_LOOKUP *)pBuffer);
        return CmnTestComplete(pIrp, STATUS_SUCCESS, sizeof(CMNTEST_LOOKUP));
    }
    case CMNTEST_IOCTL_CREATE_KEY: {
        CMNTEST_NEED(CMNTEST_CREATE_KEY);
        CMNTEST_CREATE_KEY *pCreate = (CMNTEST_CREATE_KEY *)pBuffer;
        pCreate->key[199] = 0;
        HANDLE hKey = NULL;
        pCreate->status = CmnCreateRegistryKey(&hKey, (PCWSTR)pCreate->key);
        if (NT_SUCCESS(pCreate->status)) {
            ZwClose(hKey);
        }
        return CmnTestComplete(pIrp, STATUS_SUCCESS, sizeof(CMNTEST_CREATE_KEY));
    }
    case CMNTEST_IOCTL_PAD: {
        CMNTEST_NEED(CMNTEST_PAD);
        CMNTEST_PAD *pPad = (CMNTEST_PAD *)pBuffer;
        if (pPad->width >= sizeof(pPad->text)) {
            return CmnTestComplete(pIrp, STATUS_INVALID_PARAMETER, 0);
        }
        CmnPadWithZeros(pPad->text, pPad->width);
        return CmnTestComplete(pIrp, STATUS_SUCCESS, sizeof(CMNTEST_PAD));
    }
    case CMNTEST_IOCTL_EVENT: {
        CMNTEST_NEED(CMNTEST_EVENT);
        CMNTEST_EVENT *pEvent = (CMNTEST_EVENT *)pBuffer;
        pEvent->parm1[159] = 0;
        pEvent->parm2[159] = 0;
        pEvent->status = BusTwoParmEvent(pDeviceObject->DriverObject, NULL, pEvent->eventCode,
                                         pEvent->hasParm1 ? (PCWSTR)pEvent->parm1 : NULL,
                                         pEvent->hasParm2 ? (PCWSTR)pEvent->parm2 : NULL);
        return CmnTestComplete(pIrp, STATUS_SUCCESS, sizeof(CMNTEST_EVENT));
    }
    case CMNTEST_IOCTL_WRITE_EVENT: {
        CMNTEST_NEED(CMNTEST_WRITE_EVENT);
        CMNTEST_WRITE_EVENT *pWrite = (CMNTEST_WRITE_EVENT *)pBuffer;
        EVENT_INFO eventInfo;
        static_assert(sizeof(eventInfo) == sizeof(pWrite->record), "raw record is an EVENT_INFO");
        RtlCopyMemory(&eventInfo, pWrite->record, sizeof(eventInfo));
        pWrite->status = BusWriteEvent(pDeviceObject, pIrp, &eventInfo);
        return CmnTestComplete(pIrp, STATUS_SUCCESS, sizeof(CMNTEST_WRITE_EVENT));
    }
    default:
        return CmnTestComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
#undef CMNTEST_NEED
}

static NTSTATUS CmnTestDispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pDeviceObject == g_pLower) {
        return CmnTestLowerDispatch(pIrp, pIrpStack);
    }
    switch (pIrpStack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return CmnTestComplete(pIrp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return CmnTestDeviceControl(pDeviceObject, pIrp, pIrpStack);
    default:
        return CmnTestComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static VOID CmnTestUnload(PDRIVER_OBJECT pDriverObject)
{
    CmnTestReleaseHeld(STATUS_CANCELLED, TRUE);
    if (g_pUpper != NULL) {
        IoDetachDevice(g_pLower);
        IoDeleteDevice(g_pUpper);
    }
    if (g_pLower != NULL) {
        IoDeleteDevice(g_pLower);
    }
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    NTSTATUS status;
    UNICODE_STRING usUpper, usLower;
    KeInitializeSpinLock(&g_slState);
    RtlInitUnicodeString(&usUpper, L"\\Device\\VorkaCmnTest");
    RtlInitUnicodeString(&usLower, L"\\Device\\VorkaCmnLower");

    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        pDriverObject->MajorFunction[i] = CmnTestDispatch;
    }
    pDriverObject->DriverUnload = CmnTestUnload;

    status = IoCreateDevice(pDriverObject, sizeof(CMNTEST_EXT), &usLower, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_pLower);
    if (!NT_SUCCESS(status)) {
        g_pLower = NULL;
        return status;
    }
    RtlZeroMemory(g_pLower->DeviceExtension, sizeof(CMNTEST_EXT));
    g_pLower->Flags |= DO_BUFFERED_IO;
    g_pLower->Flags &= ~DO_DEVICE_INITIALIZING;

    status = IoCreateDevice(pDriverObject, sizeof(CMNTEST_EXT), &usUpper, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_pUpper);
    if (!NT_SUCCESS(status)) {
        g_pUpper = NULL;
        IoDeleteDevice(g_pLower);
        g_pLower = NULL;
        return status;
    }
    PCMNTEST_EXT pExt = (PCMNTEST_EXT)g_pUpper->DeviceExtension;
    pExt->fUpper = TRUE;
    pExt->pLower = IoAttachDeviceToDeviceStack(g_pUpper, g_pLower);
    g_pUpper->Flags |= DO_BUFFERED_IO;
    g_pUpper->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
