// Memory manager pieces: MDLs, probing and locking user buffers (raising
// STATUS_ACCESS_VIOLATION for a bad range, as Windows does), system addresses,
// buffer probes and looking up kernel routines by name.

#include <dlfcn.h>

#include <cstring>
#include <new>

#include "kinternal.h"

using sim::ReportViolation;

namespace sim::k {

namespace {

// Bookkeeping in front of each MDL from IoAllocateMdl.
struct alignas(16) MdlHeader {
    static constexpr std::uint32_t kLive = 0x4C4C444D;   // "MDLL"
    static constexpr std::uint32_t kFreed = 0x464C444D;  // "MDLF"
    std::uint32_t state = kLive;
    std::size_t size = 0;
};

MdlHeader* MdlHeaderOf(PMDL mdl) { return reinterpret_cast<MdlHeader*>(mdl) - 1; }

std::mutex& MdlQuarantineMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}
std::deque<MdlHeader*>& MdlQuarantine() {
    static auto* quarantine = new std::deque<MdlHeader*>;
    return *quarantine;
}

NTSTATUS ProbeRange(const void* address, std::size_t length, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
    if (length == 0) return STATUS_SUCCESS;
    auto start = reinterpret_cast<std::uintptr_t>(address);
    if (start + length < start) return STATUS_ACCESS_VIOLATION;
    if (mode == UserMode) {
        ProcessState* process = CurrentProcess();
        if (!process || process->isSystem || !process->validRange(address, length)) return STATUS_ACCESS_VIOLATION;
        // Locking for write (or modify) access probes each page for writing: a read-only page fails.
        if (operation != IoReadAccess && !process->writableRange(address, length)) return STATUS_ACCESS_VIOLATION;
        return STATUS_SUCCESS;
    }
    // Kernel mode: any mapped address is accepted; the first 64 KB are never mapped.
    return start < 0x10000 ? STATUS_ACCESS_VIOLATION : STATUS_SUCCESS;
}

}  // namespace

NTSTATUS LockMdlPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) {
        ReportViolation("MmProbeAndLockPages: the pages of MDL " + Describe(mdl) + " are already locked");
        return STATUS_SUCCESS;
    }
    NTSTATUS status = ProbeRange(MmGetMdlVirtualAddress(mdl), mdl->ByteCount, mode, operation);
    if (!NT_SUCCESS(status)) return status;
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    if (operation != IoReadAccess) mdl->MdlFlags |= MDL_WRITE_OPERATION;
    ProcessState* process = mode == UserMode ? CurrentProcess() : nullptr;
    mdl->Process = process ? process->object : nullptr;
    auto* pages = MmGetMdlPfnArray(mdl);
    auto firstPage = reinterpret_cast<std::uintptr_t>(mdl->StartVa) >> PAGE_SHIFT;
    std::size_t count = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    for (std::size_t i = 0; i < count; ++i) pages[i] = static_cast<PFN_NUMBER>(firstPage + i);
    return STATUS_SUCCESS;
}

}  // namespace sim::k

namespace {

// True when [start, start + length) lies inside one entry of `ranges` (start -> size).
bool InsideOne(const std::map<std::uintptr_t, std::size_t>& ranges, std::uintptr_t start, std::size_t length) {
    auto it = ranges.upper_bound(start);
    if (it == ranges.begin()) return false;
    --it;
    return start >= it->first && start + length <= it->first + it->second;
}

}  // namespace

bool sim::Process::Impl::validRange(const void* address, std::size_t length) const {
    auto start = reinterpret_cast<std::uintptr_t>(address);
    if (start + length < start) return false;
    // A 32-bit process has no address at or above 4 GB, whatever the host put there.
    if (is32Bit && start + length > (std::uintptr_t{1} << 32)) return false;
    std::lock_guard lock(memoryMutex);
    // The bookkeeping alone decides: a freed block or a range never given to the process is
    // refused without its bytes being read (they may be unmapped or poisoned).
    return InsideOne(allocations, start, length) || InsideOne(regions, start, length) ||
           InsideOne(heap, start, length);
}

bool sim::Process::Impl::writableRange(const void* address, std::size_t length) const {
    auto start = reinterpret_cast<std::uintptr_t>(address);
    std::lock_guard lock(memoryMutex);
    for (const auto& [first, size] : readOnly) {
        if (start < first + size && first < start + length) return false;
    }
    return true;
}

using namespace sim::k;

extern "C" {

// ---- MDLs ---------------------------------------------------------------------------------------

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
    std::size_t size = MmSizeOfMdl(VirtualAddress, Length);
    if (PoolShouldFail(NonPagedPool, size, sim::PoolTag("Mdl "), __builtin_return_address(0))) return nullptr;
    void* memory = ::operator new(sizeof(MdlHeader) + size, std::align_val_t(16));
    auto* header = new (memory) MdlHeader;
    header->size = size;
    auto* mdl = reinterpret_cast<PMDL>(header + 1);
    std::memset(mdl, 0, size);
    MmInitializeMdl(mdl, VirtualAddress, Length);
    mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
    if (Irp) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL* link = &Irp->MdlAddress;
            while (*link) link = &(*link)->Next;
            *link = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
    MdlHeader* header = MdlHeaderOf(Mdl);
    if (header->state != MdlHeader::kLive) {
        ReportViolation("IoFreeMdl: MDL " + Describe(Mdl) +
                        (header->state == MdlHeader::kFreed ? " was already freed" : " was not allocated by IoAllocateMdl"));
        return;
    }
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
        ReportViolation("IoFreeMdl: MDL " + Describe(Mdl) + " is freed with its pages still locked (MmUnlockPages first)");
    header->state = MdlHeader::kFreed;
    MdlHeader* evicted = nullptr;
    {
        std::lock_guard lock(MdlQuarantineMutex());
        MdlQuarantine().push_back(header);
        if (MdlQuarantine().size() > 256) {
            evicted = MdlQuarantine().front();
            MdlQuarantine().pop_front();
        }
    }
    if (evicted) {
        evicted->~MdlHeader();
        ::operator delete(evicted, std::align_val_t(16));
    }
}

VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
    auto sourceStart = reinterpret_cast<std::uintptr_t>(MmGetMdlVirtualAddress(SourceMdl));
    auto start = reinterpret_cast<std::uintptr_t>(VirtualAddress);
    if (Length == 0) Length = static_cast<ULONG>(SourceMdl->ByteCount - (start - sourceStart));
    if (start < sourceStart || start + Length > sourceStart + SourceMdl->ByteCount)
        ReportViolation("IoBuildPartialMdl: the range lies outside the source MDL");
    TargetMdl->StartVa = PAGE_ALIGN(VirtualAddress);
    TargetMdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    TargetMdl->ByteCount = Length;
    TargetMdl->Process = SourceMdl->Process;
    TargetMdl->MdlFlags = static_cast<CSHORT>((TargetMdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE) | MDL_PARTIAL |
                                              (SourceMdl->MdlFlags & MDL_WRITE_OPERATION));
    if (SourceMdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        TargetMdl->MdlFlags |= MDL_PARENT_MAPPED_SYSTEM_VA;
        TargetMdl->MappedSystemVa = VirtualAddress;
    }
}

VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "MmProbeAndLockPages");
    NTSTATUS status = LockMdlPages(MemoryDescriptorList, AccessMode, Operation);
    // Raised here, where no kernel lock or object with a destructor is live.
    if (!NT_SUCCESS(status)) ExRaiseStatus(status);
}

VOID MmUnlockPages(PMDL MemoryDescriptorList) {
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
        ReportViolation("MmUnlockPages: the pages of MDL " + Describe(MemoryDescriptorList) + " are not locked");
        return;
    }
    MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION);
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    auto* pages = MmGetMdlPfnArray(MemoryDescriptorList);
    auto firstPage = reinterpret_cast<std::uintptr_t>(MemoryDescriptorList->StartVa) >> PAGE_SHIFT;
    std::size_t count = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(MemoryDescriptorList),
                                                       MemoryDescriptorList->ByteCount);
    for (std::size_t i = 0; i < count; ++i) pages[i] = static_cast<PFN_NUMBER>(firstPage + i);
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARENT_MAPPED_SYSTEM_VA))
        return Mdl->MappedSystemVa;
    if (!(Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL))) {
        ReportViolation("MmGetSystemAddressForMdlSafe: the pages of MDL " + Describe(Mdl) + " are not locked");
        return nullptr;
    }
    // One address space: the system address of a locked buffer is the buffer itself.
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return Mdl->MappedSystemVa;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                   ULONG Priority) {
    return MmGetSystemAddressForMdlSafe(MemoryDescriptorList, Priority);
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

NTSTATUS MmAdvanceMdl(PMDL Mdl, ULONG NumberOfBytes) {
    if (NumberOfBytes > Mdl->ByteCount) return STATUS_INVALID_PARAMETER_2;
    std::uintptr_t offset = Mdl->ByteOffset + NumberOfBytes;
    std::uintptr_t pages = offset >> PAGE_SHIFT;
    if (pages) {
        auto* pfn = MmGetMdlPfnArray(Mdl);
        std::size_t count = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(Mdl), Mdl->ByteCount);
        if (pages < count) std::memmove(pfn, pfn + pages, (count - pages) * sizeof(PFN_NUMBER));
    }
    Mdl->StartVa = static_cast<char*>(Mdl->StartVa) + (pages << PAGE_SHIFT);
    Mdl->ByteOffset = static_cast<ULONG>(offset & (PAGE_SIZE - 1));
    Mdl->ByteCount -= NumberOfBytes;
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARENT_MAPPED_SYSTEM_VA))
        Mdl->MappedSystemVa = static_cast<char*>(Mdl->MappedSystemVa) + NumberOfBytes;
    return STATUS_SUCCESS;
}

VOID MmPrepareMdlForReuse(PMDL Mdl) {
    if (Mdl->MdlFlags & MDL_PARTIAL) {
        Mdl->MdlFlags &= ~(MDL_PARTIAL_HAS_BEEN_MAPPED | MDL_MAPPED_TO_SYSTEM_VA | MDL_PARENT_MAPPED_SYSTEM_VA);
        Mdl->MappedSystemVa = nullptr;
    }
}

BOOLEAN MmIsAddressValid(PVOID VirtualAddress) {
    return reinterpret_cast<std::uintptr_t>(VirtualAddress) >= 0x10000 ? TRUE : FALSE;
}

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "MmGetSystemRoutineAddress");
    std::string name = Narrow(FromUnicodeString(SystemRoutineName));
    if (name.empty()) return nullptr;
    void* symbol = dlsym(RTLD_DEFAULT, name.c_str());
    if (!symbol) return nullptr;
    // Only routines of this kernel count, not whatever else the process has loaded.
    Dl_info self{}, found{};
    if (!dladdr(reinterpret_cast<void*>(&MmGetSystemRoutineAddress), &self) || !dladdr(symbol, &found)) return nullptr;
    return self.dli_fbase == found.dli_fbase ? symbol : nullptr;
}

// ---- Buffer probes ----------------------------------------------------------------------------------

namespace {

void ProbeUserBuffer(const volatile VOID* Address, SIZE_T Length, ULONG Alignment, LOCK_OPERATION operation) {
    if (Length == 0) return;
    NTSTATUS status = STATUS_SUCCESS;
    if (Alignment && (reinterpret_cast<std::uintptr_t>(Address) & (Alignment - 1)))
        status = STATUS_DATATYPE_MISALIGNMENT;
    else
        status = ProbeRange(const_cast<const void*>(Address), Length, UserMode, operation);
    if (!NT_SUCCESS(status)) ExRaiseStatus(status);
}

}  // namespace

VOID ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment) {
    ProbeUserBuffer(Address, Length, Alignment, IoReadAccess);
}

VOID ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment) {
    ProbeUserBuffer(Address, Length, Alignment, IoWriteAccess);
}

}  // extern "C"
