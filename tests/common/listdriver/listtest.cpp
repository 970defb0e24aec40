/*
 * vorkalisttest: a test driver that carries the multi-key sorted list and runs its routines on a list
 * of pool records, one request per call, so that host tests see the list exactly as the bus drivers
 * use it (pool, tags, traces and assertions of the simulated kernel included).
 */
#include <ntddk.h>
#include "debug.h"
#include "list.h"
#include "listtest_ioctl.h"

#define LISTTEST_TAG 'rtsL'

/* A list record; its key fields sit at the offsets of listtest_ioctl.h. */
typedef struct _LISTTEST_RECORD {
    struct _LISTTEST_RECORD *pNext;
    LONG iValue;
    LONG lValue;
    CHAR szString[16];
    PVOID pPointer;
    CHAR cValue;
    UCHAR aucPad[3];
    ULONG ulFloatBits; /* a FLOAT key's bytes: drivers do no floating point */
    ULONG ulId;
} LISTTEST_RECORD, *PLISTTEST_RECORD;

static_assert(FIELD_OFFSET(LISTTEST_RECORD, iValue) == LISTTEST_OFFSET_INT, "layout");
static_assert(FIELD_OFFSET(LISTTEST_RECORD, lValue) == LISTTEST_OFFSET_LONG, "layout");
static_assert(FIELD_OFFSET(LISTTEST_RECORD, szString) == LISTTEST_OFFSET_STRING, "layout");
static_assert(FIELD_OFFSET(LISTTEST_RECORD, pPointer) == LISTTEST_OFFSET_POINTER, "layout");
static_assert(FIELD_OFFSET(LISTTEST_RECORD, cValue) == LISTTEST_OFFSET_CHAR, "layout");
static_assert(FIELD_OFFSET(LISTTEST_RECORD, ulFloatBits) == LISTTEST_OFFSET_FLOAT, "layout");

static PDEVICE_OBJECT g_pDevice;
static PLISTTEST_RECORD g_pList;

/* The common library asks every driver for the device below its devices; this one has none. */
PDEVICE_OBJECT CmnGetNextLowerDevice(PDEVICE_OBJECT pDeviceObject)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    return NULL;
}

static VOID ListTestFill(PLISTTEST_RECORD pRecord, const LISTTEST_VALUES *pValues)
{
    pRecord->ulId = pValues->id;
    pRecord->iValue = pValues->intValue;
    pRecord->lValue = pValues->longValue;
    RtlCopyMemory(pRecord->szString, pValues->string, sizeof(pRecord->szString));
    pRecord->szString[sizeof(pRecord->szString) - 1] = 0;
    pRecord->pPointer = (PVOID)(ULONG_PTR)pValues->pointer;
    pRecord->cValue = (CHAR)pValues->charValue;
    pRecord->ulFloatBits = pValues->floatBits;
}

static ULONG ListTestId(PVOID pRecord)
{
    return pRecord != NULL ? ((PLISTTEST_RECORD)pRecord)->ulId : 0;
}

static NTSTATUS ListTestInsert(LISTTEST_INSERT *pReq)
{
    PLISTTEST_RECORD pRecord =
        (PLISTTEST_RECORD)ExAllocatePoolWithTag(NonPagedPool, sizeof(LISTTEST_RECORD), LISTTEST_TAG);
    if (pRecord == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pRecord, sizeof(LISTTEST_RECORD));
    ListTestFill(pRecord, &pReq->values);

    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN fDup = pReq->dupAllowed;
    PVOID pResult;
    if (pReq->tail) {
        pResult = InsertTail((PVOID *)&g_pList, pRecord);
    } else if (pReq->oneKeyForm) {
        pResult = InsertIntoSortedList((PVOID *)&g_pList, pRecord, &fDup, pReq->keys.type[0], pReq->keys.offset[0],
                                       &status);
    } else {
        pResult = InsertIntoMultiSortedList((PVOID *)&g_pList, pRecord, &fDup, &status, pReq->keys.keys,
                                            pReq->keys.type[0], pReq->keys.offset[0], pReq->keys.type[1],
                                            pReq->keys.offset[1]);
    }
    pReq->dupAllowed = fDup;
    pReq->resultId = ListTestId(pResult);
    pReq->status = status;

    /* A record that did not go in stays the test driver's to free. */
    BOOLEAN fLinked = FALSE;
    for (PLISTTEST_RECORD pScan = g_pList; pScan != NULL; pScan = pScan->pNext) {
        if (pScan == pRecord) {
            fLinked = TRUE;
            break;
        }
    }
    if (!fLinked) {
        ExFreePoolWithTag(pRecord, LISTTEST_TAG);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS ListTestDelete(LISTTEST_DELETE *pReq)
{
    LISTTEST_RECORD probe;
    RtlZeroMemory(&probe, sizeof(probe));
    ListTestFill(&probe, &pReq->values);
    NTSTATUS status = STATUS_SUCCESS;
    PVOID *ppList = pReq->nullList ? NULL : (PVOID *)&g_pList;
    PVOID pNode = pReq->wholeList ? NULL : &probe;
    pReq->deleted = DeleteFromList(ppList, pNode, &status, pReq->keys.keys, pReq->keys.type[0], pReq->keys.offset[0],
                                   pReq->keys.type[1], pReq->keys.offset[1]);
    pReq->status = status;
    return STATUS_SUCCESS;
}

/* Builds the key array the way the insert routines do, from a variable argument list. */
static PVARS ListTestVars(NTSTATUS *pStatus, int iNum, ...)
{
    va_list args;
    va_start(args, iNum);
    PVARS pVars = VAListToVars(&args, pStatus, iNum);
    va_end(args);
    return pVars;
}

static NTSTATUS ListTestFind(LISTTEST_FIND *pReq)
{
    LISTTEST_RECORD probe;
    RtlZeroMemory(&probe, sizeof(probe));
    ListTestFill(&probe, &pReq->values);
    NTSTATUS status = STATUS_SUCCESS;
    PVARS pVars = ListTestVars(&status, pReq->keys.keys, pReq->keys.type[0], pReq->keys.offset[0],
                               pReq->keys.type[1], pReq->keys.offset[1]);
    pReq->status = status;
    if (pVars != NULL) {
        BOOLEAN fDup = FALSE;
        PVOID *ppScan = SequentialScan((PVOID *)&g_pList, &probe, pReq->keys.keys, pVars);
        PVOID *ppInsert = FindInsertPointV2((PVOID *)&g_pList, &probe, pReq->keys.keys, pVars, &fDup);
        pReq->scanId = ListTestId(*ppScan);
        pReq->insertPointId = ListTestId(*ppInsert);
        pReq->dup = fDup;
        ExFreePoolWithTag(pVars, LIST_VARS_TAG);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS ListTestDump(LISTTEST_DUMP *pReq)
{
    RtlZeroMemory(pReq, sizeof(*pReq));
    for (PLISTTEST_RECORD pScan = g_pList; pScan != NULL; pScan = pScan->pNext) {
        if (pReq->count < RTL_NUMBER_OF(pReq->ids)) {
            pReq->ids[pReq->count] = pScan->ulId;
        }
        pReq->count++;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS ListTestComplete(PIRP pIrp, NTSTATUS status, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = NT_SUCCESS(status) ? ulInformation : 0;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS ListTestDispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pIrpStack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return ListTestComplete(pIrp, STATUS_SUCCESS, 0);
    }
    PVOID pBuffer = pIrp->AssociatedIrp.SystemBuffer;
    ULONG ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;

#define LISTTEST_HANDLE(code, type, routine)                                            \
    case code:                                                                          \
        if (pBuffer == NULL || ulIn < sizeof(type) || ulOut < sizeof(type)) {           \
            return ListTestComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);              \
        }                                                                               \
        return ListTestComplete(pIrp, routine((type *)pBuffer), sizeof(type))

    switch (pIrpStack->Parameters.DeviceIoControl.IoControlCode) {
        LISTTEST_HANDLE(LISTTEST_IOCTL_INSERT, LISTTEST_INSERT, ListTestInsert);
        LISTTEST_HANDLE(LISTTEST_IOCTL_DELETE, LISTTEST_DELETE, ListTestDelete);
        LISTTEST_HANDLE(LISTTEST_IOCTL_FIND, LISTTEST_FIND, ListTestFind);
    case LISTTEST_IOCTL_DUMP:
        if (pBuffer == NULL || ulOut < sizeof(LISTTEST_DUMP)) {
            return ListTestComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
        }
        return ListTestComplete(pIrp, ListTestDump((LISTTEST_DUMP *)pBuffer), sizeof(LISTTEST_DUMP));
    default:
        return ListTestComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
#undef LISTTEST_HANDLE
}

static VOID ListTestUnload(PDRIVER_OBJECT pDriverObject)
{
    UNREFERENCED_PARAMETER(pDriverObject);
    NTSTATUS status;
    DeleteFromList((PVOID *)&g_pList, NULL, &status, 0);
    if (g_pDevice != NULL) {
        IoDeleteDevice(g_pDevice);
        g_pDevice = NULL;
    }
}

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    UNREFERENCED_PARAMETER(pRegistryPath);
    UNICODE_STRING usName;
    RtlInitUnicodeString(&usName, L"\\Device\\VorkaListTest");
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
        pDriverObject->MajorFunction[i] = ListTestDispatch;
    }
    pDriverObject->DriverUnload = ListTestUnload;
    NTSTATUS status = IoCreateDevice(pDriverObject, 0, &usName, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_pDevice);
    if (!NT_SUCCESS(status)) {
        g_pDevice = NULL;
        return status;
    }
    g_pDevice->Flags |= DO_BUFFERED_IO;
    g_pDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
