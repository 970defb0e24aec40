/*
 * Memory manager pieces drivers use: MDLs, probing and locking of buffers,
 * system addresses, and looking up kernel routines by name.
 *
 * Host and simulated processes share one address space, so the system
 * address of a locked buffer is its own address. Probing a user-mode range
 * checks it against the calling process's allocations and raises
 * STATUS_ACCESS_VIOLATION (catchable with __try/__except) when it is bad.
 */
#pragma once

#include "vk/basetypes.h"
#include "vk/ke.h"

VK_BEGIN_C

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12L
#define BYTE_OFFSET(Va) ((ULONG)((LONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~(PAGE_SIZE - 1)))
#define ROUND_TO_PAGES(Size) (((ULONG_PTR)(Size) + PAGE_SIZE - 1) & ~(PAGE_SIZE - 1))
#define BYTES_TO_PAGES(Size) (((Size) >> PAGE_SHIFT) + (((Size) & (PAGE_SIZE - 1)) != 0))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size) \
    ((BYTE_OFFSET(Va) + ((SIZE_T)(Size)) + (PAGE_SIZE - 1)) >> PAGE_SHIFT)

typedef ULONG PFN_NUMBER, *PPFN_NUMBER;

typedef struct _MDL {
    struct _MDL *Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS *Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

#ifdef __cplusplus
static_assert(sizeof(MDL) == 48, "MDL x64 layout");
#endif

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080
#define MDL_LOCKED_PAGE_TABLES 0x0100
#define MDL_PARENT_MAPPED_SYSTEM_VA MDL_LOCKED_PAGE_TABLES
#define MDL_FREE_EXTRA_PTES 0x0200
#define MDL_DESCRIBES_AWE 0x0400
#define MDL_IO_SPACE 0x0800
#define MDL_NETWORK_HEADER 0x1000
#define MDL_MAPPING_CAN_FAIL 0x2000
#define MDL_PAGE_CONTENTS_INVARIANT 0x4000
#define MDL_INTERNAL 0x8000

#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlBaseVa(Mdl) ((Mdl)->StartVa)
#define MmGetMdlPfnArray(Mdl) ((PPFN_NUMBER)((Mdl) + 1))
#define MmSizeOfMdl(Base, Length) \
    ((SIZE_T)(sizeof(MDL) + (sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length))))
#define MmInitializeMdl(MemoryDescriptorList, BaseVa, Length)                                       \
    do {                                                                                            \
        (MemoryDescriptorList)->Next = (PMDL)NULL;                                                  \
        (MemoryDescriptorList)->Size =                                                              \
            (CSHORT)(sizeof(MDL) + (sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(BaseVa, Length))); \
        (MemoryDescriptorList)->MdlFlags = 0;                                                       \
        (MemoryDescriptorList)->StartVa = (PVOID)PAGE_ALIGN(BaseVa);                                \
        (MemoryDescriptorList)->ByteOffset = BYTE_OFFSET(BaseVa);                                   \
        (MemoryDescriptorList)->ByteCount = (ULONG)(Length);                                        \
    } while (0)

typedef enum _LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess } LOCK_OPERATION;

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;
#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2,
    MmHardwareCoherentCached,
    MmNonCachedUnordered,
    MmUSWCCached,
    MmMaximumCacheType,
    MmNotMapped = -1
} MEMORY_CACHING_TYPE;

/* Raises STATUS_ACCESS_VIOLATION when the range is not accessible in AccessMode. */
NTKERNELAPI VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                           LOCK_OPERATION Operation);
NTKERNELAPI VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList);
NTKERNELAPI VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
NTKERNELAPI PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                     MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                                     ULONG BugCheckOnFailure, ULONG Priority);
NTKERNELAPI VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);
/* The buffer's system address (NULL for an MDL whose pages are not locked). */
NTKERNELAPI PVOID NTAPI MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority);
NTKERNELAPI NTSTATUS NTAPI MmAdvanceMdl(PMDL Mdl, ULONG NumberOfBytes);
NTKERNELAPI VOID NTAPI MmPrepareMdlForReuse(PMDL Mdl);
NTKERNELAPI BOOLEAN NTAPI MmIsAddressValid(PVOID VirtualAddress);
/* Finds an exported kernel routine by name (NULL when this kernel has none of that name). */
NTKERNELAPI PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

/* Reports a pageable routine entered above APC_LEVEL. */
NTKERNELAPI VOID NTAPI VkPagedCodeViolation(PCSTR Routine);
#define PAGED_CODE()                                                \
    do {                                                            \
        if (KeGetCurrentIrql() > APC_LEVEL) VkPagedCodeViolation(__func__); \
    } while (0)
#define PAGED_CODE_LOCKED() ((void)0)

VK_END_C
