/*
 * Trace and diagnostics facility: trace line formatting, nesting depth, name tables.
 */
#include <ntddk.h>
#include <ntstrsafe.h>
#include <dpfilter.h>
#include "debug.h"

/* Nesting depth of traced routines; zero at load. */
static volatile LONG iDbgDepth = 0;

/* Prefix formats. The spacing variants keep the depth column six characters wide for one- and
   two-digit depths; DBG's nine blanks put its file name in the same column. */
#define DBG_PREFIX VORKA_TRACE_PREFIX ": "
static const char szEntNarrow[] = DBG_PREFIX "ENT: %d -> %d: %s, %d: ";   /* depth 0-8 */
static const char szEntMid[] = DBG_PREFIX "ENT: %d ->%d: %s, %d: ";       /* depth 9 */
static const char szEntWide[] = DBG_PREFIX "ENT: %d->%d: %s, %d: ";       /* depth 10 and above */
static const char szExtNarrow[] = DBG_PREFIX "EXT: %d -> %d: %s, %d: ";   /* depth 0-9 */
static const char szExtMid[] = DBG_PREFIX "EXT: %d-> %d: %s, %d: ";       /* depth 10 */
static const char szExtWide[] = DBG_PREFIX "EXT: %d->%d: %s, %d: ";       /* depth 11 and above */
static const char szDbg[] = DBG_PREFIX "DBG:         %s, %d: ";

PCSTR DbgBaseName(PCSTR szPath)
{
    PCSTR szName = szPath;
    if (szPath == NULL) {
        return "";
    }
    for (PCSTR p = szPath; *p != '\0'; p++) {
        if (*p == '\\' || *p == '/') {
            szName = p + 1;
        }
    }
    return szName;
}

LONG DbgGetDepth(void)
{
    return InterlockedCompareExchange(&iDbgDepth, 0, 0);
}

void DbgTraceLine(ULONG ulKind, PCSTR szFile, LONG iLine, PCSTR szFormat, ...)
{
    char szDbgBuf[DEBUG_BUFFER_SIZE];
    NTSTATUS iRC;

    /* 0. A line that the debug print filter drops (DbgPrint's component and level are off, as on
          a machine that is not being debugged) is not formatted at all: a request then pays two
          interlocked operations per traced routine, not two formatted lines. The depth still
          moves, so that it is right when tracing is turned on. */
    if (DbgQueryDebugFilterState(DPFLTR_DEFAULT_ID, DPFLTR_INFO_LEVEL) == (NTSTATUS)FALSE) {
        if (ulKind == DBG_LINE_ENT) {
            InterlockedIncrement(&iDbgDepth);
        } else if (ulKind == DBG_LINE_EXT) {
            InterlockedDecrement(&iDbgDepth);
        }
        return;
    }
    RtlZeroMemory(szDbgBuf, sizeof(szDbgBuf));

    /* 1. Prefix. The depth moves after the prefix is formatted: a routine entered at depth d shows
          d -> d+1 on entry and d+1 -> d on exit. */
    switch (ulKind) {
    case DBG_LINE_ENT: {
        LONG iDepth = InterlockedIncrement(&iDbgDepth) - 1;
        PCSTR szFmt = iDepth <= 8 ? szEntNarrow : (iDepth == 9 ? szEntMid : szEntWide);
        iRC = RtlStringCbPrintfA(szDbgBuf, sizeof(szDbgBuf), szFmt, (int)iDepth, (int)(iDepth + 1), szFile, (int)iLine);
        break;
    }
    case DBG_LINE_EXT: {
        LONG iDepth = InterlockedDecrement(&iDbgDepth) + 1;
        PCSTR szFmt = iDepth <= 9 ? szExtNarrow : (iDepth == 10 ? szExtMid : szExtWide);
        iRC = RtlStringCbPrintfA(szDbgBuf, sizeof(szDbgBuf), szFmt, (int)iDepth, (int)(iDepth - 1), szFile, (int)iLine);
        break;
    }
    default:
        iRC = RtlStringCbPrintfA(szDbgBuf, sizeof(szDbgBuf), szDbg, szFile, (int)iLine);
        break;
    }
    DBG_ASSERT(NT_SUCCESS(iRC) || iRC == STATUS_BUFFER_OVERFLOW);

    /* 2. Message, into what is left of the buffer; the formatter cuts it and always terminates. */
    char *szBufPtr = szDbgBuf;
    while (szBufPtr < szDbgBuf + DEBUG_BUFFER_SIZE - 1 && *szBufPtr != '\0') {
        szBufPtr++;
    }
    DBG_ASSERT(szBufPtr - szDbgBuf < DEBUG_BUFFER_SIZE);
    size_t cbLeft = DEBUG_BUFFER_SIZE - (size_t)(szBufPtr - szDbgBuf);
    if (cbLeft > 1 && szFormat != NULL) {
        va_list args;
        va_start(args, szFormat);
        iRC = RtlStringCbVPrintfA(szBufPtr, cbLeft, szFormat, args);
        va_end(args);
        DBG_ASSERT(NT_SUCCESS(iRC) || iRC == STATUS_BUFFER_OVERFLOW);
    }
    if (iRC == STATUS_BUFFER_OVERFLOW) {
        /* A cut line still ends its line: without the newline the debugger would run the next line,
           possibly another thread's, into it. */
        szDbgBuf[DEBUG_BUFFER_SIZE - 2] = '\n';
    }

    /* 3. Emission. */
    DbgPrint("%s", szDbgBuf);

    /* 4. Reset: nothing of this line outlives the call. */
    RtlZeroMemory(szDbgBuf, sizeof(szDbgBuf));
}

/* ---- Name tables ---- */

static const PCSTR aszMajorFunctions[] = {
    "IRP_MJ_CREATE",
    "IRP_MJ_CREATE_NAMED_PIPE",
    "IRP_MJ_CLOSE",
    "IRP_MJ_READ",
    "IRP_MJ_WRITE",
    "IRP_MJ_QUERY_INFORMATION",
    "IRP_MJ_SET_INFORMATION",
    "IRP_MJ_QUERY_EA",
    "IRP_MJ_SET_EA",
    "IRP_MJ_FLUSH_BUFFERS",
    "IRP_MJ_QUERY_VOLUME_INFORMATION",
    "IRP_MJ_SET_VOLUME_INFORMATION",
    "IRP_MJ_DIRECTORY_CONTROL",
    "IRP_MJ_FILE_SYSTEM_CONTROL",
    "IRP_MJ_DEVICE_CONTROL",
    "IRP_MJ_INTERNAL_DEVICE_CONTROL",
    "IRP_MJ_SHUTDOWN",
    "IRP_MJ_LOCK_CONTROL",
    "IRP_MJ_CLEANUP",
    "IRP_MJ_CREATE_MAILSLOT",
    "IRP_MJ_QUERY_SECURITY",
    "IRP_MJ_SET_SECURITY",
    "IRP_MJ_POWER",
    "IRP_MJ_SYSTEM_CONTROL",
    "IRP_MJ_DEVICE_CHANGE",
    "IRP_MJ_QUERY_QUOTA",
    "IRP_MJ_SET_QUOTA",
    "IRP_MJ_PNP",
};

static const PCSTR aszPnpMinorFunctions[] = {
    "IRP_MN_START_DEVICE",
    "IRP_MN_QUERY_REMOVE_DEVICE",
    "IRP_MN_REMOVE_DEVICE",
    "IRP_MN_CANCEL_REMOVE_DEVICE",
    "IRP_MN_STOP_DEVICE",
    "IRP_MN_QUERY_STOP_DEVICE",
    "IRP_MN_CANCEL_STOP_DEVICE",
    "IRP_MN_QUERY_DEVICE_RELATIONS",
    "IRP_MN_QUERY_INTERFACE",
    "IRP_MN_QUERY_CAPABILITIES",
    "IRP_MN_QUERY_RESOURCES",
    "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
    "IRP_MN_QUERY_DEVICE_TEXT",
    "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
    "IRP_MN_VALUE UNKNOWN",
    "IRP_MN_READ_CONFIG",
    "IRP_MN_WRITE_CONFIG",
    "IRP_MN_EJECT",
    "IRP_MN_SET_LOCK",
    "IRP_MN_QUERY_ID",
    "IRP_MN_QUERY_PNP_DEVICE_STATE",
    "IRP_MN_QUERY_BUS_INFORMATION",
    "IRP_MN_DEVICE_USAGE_NOTIFICATION",
    "IRP_MN_SURPRISE_REMOVAL",
    "IRP_MN_QUERY_LEGACY_BUS_INFORMATION",
};

static const PCSTR aszPowerMinorFunctions[] = {
    "IRP_MN_WAIT_WAKE",
    "IRP_MN_POWER_SEQUENCE",
    "IRP_MN_SET_POWER",
    "IRP_MN_QUERY_POWER",
};

static const PCSTR aszPnpStates[] = {
    "PNP_ABSENT",
    "PNP_NOT_STARTED",
    "PNP_STARTED",
    "PNP_REMOVE_PENDING",
    "PNP_SURPRISE_REMOVE",
    "PNP_STOP_PENDING",
    "PNP_STOPPED",
};

static const PCSTR aszIoKinds[] = {
    "IO_OPEN_REQ",
    "IO_CLOSE_REQ",
};

static const PCSTR aszRelations[] = {
    "BusRelations",
    "EjectionRelations",
    "PowerRelations",
    "RemovalRelations",
    "TargetDeviceRelation",
    "SingleBusRelations",
};

static_assert(sizeof(aszMajorFunctions) / sizeof(aszMajorFunctions[0]) == 0x1C, "28 major functions");
static_assert(sizeof(aszPnpMinorFunctions) / sizeof(aszPnpMinorFunctions[0]) == 0x19, "25 PnP minor functions");
static_assert(sizeof(aszPnpStates) / sizeof(aszPnpStates[0]) == PNP_STATE_COUNT, "one name per PnP state");

#define DBG_LOOKUP(table, index) \
    ((index) < sizeof(table) / sizeof((table)[0]) ? (table)[(index)] : "???")

PCSTR DbgMajorFunctionName(ULONG ulMajor) { return DBG_LOOKUP(aszMajorFunctions, ulMajor); }
PCSTR DbgPnpMinorFunctionName(ULONG ulMinor) { return DBG_LOOKUP(aszPnpMinorFunctions, ulMinor); }
PCSTR DbgPowerMinorFunctionName(ULONG ulMinor) { return DBG_LOOKUP(aszPowerMinorFunctions, ulMinor); }
PCSTR DbgPnpStateName(ULONG ePnpState) { return DBG_LOOKUP(aszPnpStates, ePnpState); }
PCSTR DbgIoKindName(ULONG ulKind) { return DBG_LOOKUP(aszIoKinds, ulKind); }
PCSTR DbgRelationName(ULONG ulRelation) { return DBG_LOOKUP(aszRelations, ulRelation); }
