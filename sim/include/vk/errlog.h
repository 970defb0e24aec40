/*
 * System event log entries written by drivers (IoAllocateErrorLogEntry and
 * friends). IO_ERROR_LOG_PACKET has the Windows x64 layout because drivers
 * compute string offsets from it.
 */
#pragma once

#include "vk/basetypes.h"

VK_BEGIN_C

typedef struct _IO_ERROR_LOG_PACKET {
    UCHAR MajorFunctionCode;
    UCHAR RetryCount;
    USHORT DumpDataSize;
    USHORT NumberOfStrings;
    USHORT StringOffset;
    USHORT EventCategory;
    NTSTATUS ErrorCode;
    ULONG UniqueErrorValue;
    NTSTATUS FinalStatus;
    ULONG SequenceNumber;
    ULONG IoControlCode;
    LARGE_INTEGER DeviceOffset;
    ULONG DumpData[1];
} IO_ERROR_LOG_PACKET, *PIO_ERROR_LOG_PACKET;

#ifdef __cplusplus
static_assert(offsetof(IO_ERROR_LOG_PACKET, ErrorCode) == 12, "IO_ERROR_LOG_PACKET x64 layout");
static_assert(offsetof(IO_ERROR_LOG_PACKET, DeviceOffset) == 32, "IO_ERROR_LOG_PACKET x64 layout");
static_assert(offsetof(IO_ERROR_LOG_PACKET, DumpData) == 0x28, "IO_ERROR_LOG_PACKET x64 layout");
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "IO_ERROR_LOG_PACKET x64 layout");
#endif

/* Largest packet, header and strings included, that IoAllocateErrorLogEntry hands out. */
#define ERROR_LOG_MAXIMUM_SIZE 240
#define ERROR_LOG_LIMIT_SIZE 240

/* IoObject is a device object or a driver object. Returns a zeroed packet of
   EntrySize bytes, or NULL when EntrySize exceeds ERROR_LOG_MAXIMUM_SIZE or the
   log has no room. */
NTKERNELAPI PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize);
/* Takes ownership of the packet and queues it for the event log. */
NTKERNELAPI VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry);
/* Releases a packet that was allocated but not written. */
NTKERNELAPI VOID NTAPI IoFreeErrorLogEntry(PVOID ElEntry);

VK_END_C
