/*
 * What the mingw-w64 kernel headers lack compared with the Windows Driver Kit, for the Windows
 * build of the drivers. In the host build the simulator's headers provide all of this already, so
 * the file is empty there.
 *
 * Include after <ntddk.h> (and <ntddscsi.h> when the 32-bit pass-through records are needed);
 * defines.h does so.
 */
#pragma once

#if defined(__MINGW32__)

#include <ntddtape.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Pool allocation of Windows 10 2004 and later (imported through the driver build's extra
        ntoskrnl import library) ---- */
#ifndef POOL_FLAG_NON_PAGED
typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_REQUIRED_START          0x0000000000000001ULL
#define POOL_FLAG_USE_QUOTA               0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED           0x0000000000000002ULL
#define POOL_FLAG_SESSION                 0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED           0x0000000000000008ULL
#define POOL_FLAG_RAISE_ON_FAILURE        0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED               0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE       0x0000000000000080ULL
#define POOL_FLAG_PAGED                   0x0000000000000100ULL
NTKERNELAPI PVOID NTAPI ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);
#endif

NTKERNELAPI VOID NTAPI KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime);

/* ---- Registry query type check: the expected type sits in the top byte of DefaultType ---- */
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK       0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#define RTL_QUERY_REGISTRY_TYPECHECK_MASK  (0xff << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)
#endif

/* ---- Tape request records and constants (the WDK has them in winnt.h as well) ---- */
#ifndef _NTDDTAPE_WINNT_
#define _NTDDTAPE_WINNT_

#define TAPE_ERASE_SHORT                  0L
#define TAPE_ERASE_LONG                   1L

typedef struct _TAPE_ERASE {
    ULONG Type;
    BOOLEAN Immediate;
} TAPE_ERASE, *PTAPE_ERASE;

#define TAPE_LOAD                         0L
#define TAPE_UNLOAD                       1L
#define TAPE_TENSION                      2L
#define TAPE_LOCK                         3L
#define TAPE_UNLOCK                       4L
#define TAPE_FORMAT                       5L

typedef struct _TAPE_PREPARE {
    ULONG Operation;
    BOOLEAN Immediate;
} TAPE_PREPARE, *PTAPE_PREPARE;

#define TAPE_SETMARKS                     0L
#define TAPE_FILEMARKS                    1L
#define TAPE_SHORT_FILEMARKS              2L
#define TAPE_LONG_FILEMARKS               3L

typedef struct _TAPE_WRITE_MARKS {
    ULONG Type;
    ULONG Count;
    BOOLEAN Immediate;
} TAPE_WRITE_MARKS, *PTAPE_WRITE_MARKS;

#define TAPE_ABSOLUTE_POSITION            0L
#define TAPE_LOGICAL_POSITION             1L
#define TAPE_PSEUDO_LOGICAL_POSITION      2L

typedef struct _TAPE_GET_POSITION {
    ULONG Type;
    ULONG Partition;
    LARGE_INTEGER Offset;
} TAPE_GET_POSITION, *PTAPE_GET_POSITION;

#define TAPE_REWIND                       0L
#define TAPE_ABSOLUTE_BLOCK               1L
#define TAPE_LOGICAL_BLOCK                2L
#define TAPE_PSEUDO_LOGICAL_BLOCK         3L
#define TAPE_SPACE_END_OF_DATA            4L
#define TAPE_SPACE_RELATIVE_BLOCKS        5L
#define TAPE_SPACE_FILEMARKS              6L
#define TAPE_SPACE_SEQUENTIAL_FMKS        7L
#define TAPE_SPACE_SETMARKS               8L
#define TAPE_SPACE_SEQUENTIAL_SMKS        9L

typedef struct _TAPE_SET_POSITION {
    ULONG Method;
    ULONG Partition;
    LARGE_INTEGER Offset;
    BOOLEAN Immediate;
} TAPE_SET_POSITION, *PTAPE_SET_POSITION;

#define TAPE_DRIVE_FIXED                  0x00000001
#define TAPE_DRIVE_SELECT                 0x00000002
#define TAPE_DRIVE_INITIATOR              0x00000004
#define TAPE_DRIVE_ERASE_SHORT            0x00000010
#define TAPE_DRIVE_ERASE_LONG             0x00000020
#define TAPE_DRIVE_ERASE_BOP_ONLY         0x00000040
#define TAPE_DRIVE_ERASE_IMMEDIATE        0x00000080
#define TAPE_DRIVE_TAPE_CAPACITY          0x00000100
#define TAPE_DRIVE_TAPE_REMAINING         0x00000200
#define TAPE_DRIVE_FIXED_BLOCK            0x00000400
#define TAPE_DRIVE_VARIABLE_BLOCK         0x00000800
#define TAPE_DRIVE_WRITE_PROTECT          0x00001000
#define TAPE_DRIVE_EOT_WZ_SIZE            0x00002000
#define TAPE_DRIVE_ECC                    0x00010000
#define TAPE_DRIVE_COMPRESSION            0x00020000
#define TAPE_DRIVE_PADDING                0x00040000
#define TAPE_DRIVE_REPORT_SMKS            0x00080000
#define TAPE_DRIVE_GET_ABSOLUTE_BLK       0x00100000
#define TAPE_DRIVE_GET_LOGICAL_BLK        0x00200000
#define TAPE_DRIVE_SET_EOT_WZ_SIZE        0x00400000
#define TAPE_DRIVE_EJECT_MEDIA            0x01000000
#define TAPE_DRIVE_CLEAN_REQUESTS         0x02000000
#define TAPE_DRIVE_SET_CMP_BOP_ONLY       0x04000000
#define TAPE_DRIVE_RESERVED_BIT           0x80000000
#define TAPE_DRIVE_LOAD_UNLOAD            0x80000001
#define TAPE_DRIVE_TENSION                0x80000002
#define TAPE_DRIVE_LOCK_UNLOCK            0x80000004
#define TAPE_DRIVE_REWIND_IMMEDIATE       0x80000008
#define TAPE_DRIVE_SET_BLOCK_SIZE         0x80000010
#define TAPE_DRIVE_LOAD_UNLD_IMMED        0x80000020
#define TAPE_DRIVE_TENSION_IMMED          0x80000040
#define TAPE_DRIVE_LOCK_UNLK_IMMED        0x80000080
#define TAPE_DRIVE_SET_ECC                0x80000100
#define TAPE_DRIVE_SET_COMPRESSION        0x80000200
#define TAPE_DRIVE_SET_PADDING            0x80000400
#define TAPE_DRIVE_SET_REPORT_SMKS        0x80000800
#define TAPE_DRIVE_ABSOLUTE_BLK           0x80001000
#define TAPE_DRIVE_ABS_BLK_IMMED          0x80002000
#define TAPE_DRIVE_LOGICAL_BLK            0x80004000
#define TAPE_DRIVE_LOG_BLK_IMMED          0x80008000
#define TAPE_DRIVE_END_OF_DATA            0x80010000
#define TAPE_DRIVE_RELATIVE_BLKS          0x80020000
#define TAPE_DRIVE_FILEMARKS              0x80040000
#define TAPE_DRIVE_SEQUENTIAL_FMKS        0x80080000
#define TAPE_DRIVE_SETMARKS               0x80100000
#define TAPE_DRIVE_SEQUENTIAL_SMKS        0x80200000
#define TAPE_DRIVE_REVERSE_POSITION       0x80400000
#define TAPE_DRIVE_SPACE_IMMEDIATE        0x80800000
#define TAPE_DRIVE_WRITE_SETMARKS         0x81000000
#define TAPE_DRIVE_WRITE_FILEMARKS        0x82000000
#define TAPE_DRIVE_WRITE_SHORT_FMKS       0x84000000
#define TAPE_DRIVE_WRITE_LONG_FMKS        0x88000000
#define TAPE_DRIVE_WRITE_MARK_IMMED       0x90000000
#define TAPE_DRIVE_FORMAT                 0xA0000000
#define TAPE_DRIVE_FORMAT_IMMEDIATE       0xC0000000
#define TAPE_DRIVE_HIGH_FEATURES          0x80000000

typedef struct _TAPE_GET_DRIVE_PARAMETERS {
    BOOLEAN ECC;
    BOOLEAN Compression;
    BOOLEAN DataPadding;
    BOOLEAN ReportSetmarks;
    ULONG DefaultBlockSize;
    ULONG MaximumBlockSize;
    ULONG MinimumBlockSize;
    ULONG MaximumPartitionCount;
    ULONG FeaturesLow;
    ULONG FeaturesHigh;
    ULONG EOTWarningZoneSize;
} TAPE_GET_DRIVE_PARAMETERS, *PTAPE_GET_DRIVE_PARAMETERS;

typedef struct _TAPE_SET_DRIVE_PARAMETERS {
    BOOLEAN ECC;
    BOOLEAN Compression;
    BOOLEAN DataPadding;
    BOOLEAN ReportSetmarks;
    ULONG EOTWarningZoneSize;
} TAPE_SET_DRIVE_PARAMETERS, *PTAPE_SET_DRIVE_PARAMETERS;

typedef struct _TAPE_GET_MEDIA_PARAMETERS {
    LARGE_INTEGER Capacity;
    LARGE_INTEGER Remaining;
    ULONG BlockSize;
    ULONG PartitionCount;
    BOOLEAN WriteProtected;
} TAPE_GET_MEDIA_PARAMETERS, *PTAPE_GET_MEDIA_PARAMETERS;

typedef struct _TAPE_SET_MEDIA_PARAMETERS {
    ULONG BlockSize;
} TAPE_SET_MEDIA_PARAMETERS, *PTAPE_SET_MEDIA_PARAMETERS;

#define TAPE_FIXED_PARTITIONS             0L
#define TAPE_SELECT_PARTITIONS            1L
#define TAPE_INITIATOR_PARTITIONS         2L

typedef struct _TAPE_CREATE_PARTITION {
    ULONG Method;
    ULONG Count;
    ULONG Size;
} TAPE_CREATE_PARTITION, *PTAPE_CREATE_PARTITION;

#define TAPE_QUERY_DRIVE_PARAMETERS       0L
#define TAPE_QUERY_MEDIA_CAPACITY         1L
#define TAPE_CHECK_FOR_DRIVE_PROBLEM      2L
#define TAPE_QUERY_IO_ERROR_DATA          3L
#define TAPE_QUERY_DEVICE_ERROR_DATA      4L

/* Information classes of the Win32 tape calls (GetTapeParameters/SetTapeParameters). */
#define GET_TAPE_MEDIA_INFORMATION        0
#define GET_TAPE_DRIVE_INFORMATION        1
#define SET_TAPE_MEDIA_INFORMATION        0
#define SET_TAPE_DRIVE_INFORMATION        1

#endif /* _NTDDTAPE_WINNT_ */

static_assert(sizeof(TAPE_GET_POSITION) == 16, "TAPE_GET_POSITION is 16 bytes");
static_assert(sizeof(TAPE_SET_POSITION) == 24, "TAPE_SET_POSITION is 24 bytes");
static_assert(sizeof(TAPE_GET_MEDIA_PARAMETERS) == 32, "TAPE_GET_MEDIA_PARAMETERS is 32 bytes");
static_assert(sizeof(TAPE_GET_DRIVE_PARAMETERS) == 32, "TAPE_GET_DRIVE_PARAMETERS is 32 bytes");

/* ---- 32-bit SCSI pass-through-direct record ----
   mingw-w64 declares its DataBuffer as a 64-bit pointer (56 bytes); a 32-bit caller's record has a
   4-byte buffer address there and is 44 bytes, like the buffered 32-bit form. The correct record
   (scsipt.h) takes the WDK's name from here on. */
#ifdef _NTDDSCSIH_
#define SCSI_PASS_THROUGH_DIRECT32 VORKA_SCSI_PASS_THROUGH_DIRECT32
#define PSCSI_PASS_THROUGH_DIRECT32 PVORKA_SCSI_PASS_THROUGH_DIRECT32
#endif

#ifdef __cplusplus
}
#endif

#endif /* __MINGW32__ */
