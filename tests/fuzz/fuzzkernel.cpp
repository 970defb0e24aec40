// The kernel services of the fuzz targets (see fuzzkernel.h).
#include "fuzzkernel.h"

#include <csetjmp>
#include <cstdlib>
#include <cstring>

namespace fuzzk {

namespace {
PVK_SEH_FRAME g_sehTop = nullptr;

// The region holding [address, address + length), or null.
// An MDL's virtual address as a number (its page may be page 0 of a stray address).
std::uint64_t AddressOf(PMDL mdl) { return reinterpret_cast<std::uint64_t>(mdl->StartVa) + mdl->ByteOffset; }

const Region* RegionOf(std::uint64_t address, ULONG length) {
    for (const Region& r : Kernel().regions) {
        if (address >= r.userAddress && address - r.userAddress <= r.length &&
            length <= r.length - (address - r.userAddress)) {
            return &r;
        }
    }
    return nullptr;
}
}  // namespace

State& Kernel() {
    static State state;
    return state;
}

void Reset() {
    FUZZ_CHECK(Kernel().liveMdls == 0);
    FUZZ_CHECK(Kernel().liveBlocks == 0);
    FUZZ_CHECK(g_sehTop == nullptr);
    Kernel() = State{};
}

}  // namespace fuzzk

using fuzzk::Kernel;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    FUZZ_CHECK(PoolType == NonPagedPool || PoolType == NonPagedPoolNx);
    if (Kernel().poolFailAfter == 0) return nullptr;
    --Kernel().poolFailAfter;
    void* p = std::malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
    FUZZ_CHECK(p != nullptr);
    std::memset(p, 0xA5, NumberOfBytes);   // fresh pool is not zero: code must zero what it relies on
    ++Kernel().liveBlocks;
    return p;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    FUZZ_CHECK(P != nullptr);
    --Kernel().liveBlocks;
    std::free(P);
}

VOID ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    FUZZ_CHECK(*SpinLock == 0);   // a spin lock taken twice on one thread never comes back
    *SpinLock = 1;
    return PASSIVE_LEVEL;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    FUZZ_CHECK(*SpinLock == 1);
    *SpinLock = 0;
}

BOOLEAN IoIs32bitProcess(PIRP Irp) {
    return Irp != nullptr && Irp->RequestorMode == UserMode && Kernel().caller32 ? TRUE : FALSE;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    FUZZ_CHECK(Kernel().completed != Irp);   // completed once
    Kernel().completed = Irp;
    Kernel().completedStatus = Irp->IoStatus.Status;
    ++Kernel().completions;
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
    FUZZ_CHECK(Irp == nullptr && !SecondaryBuffer);
    if (Length == 0) return nullptr;
    PMDL mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
    FUZZ_CHECK(mdl != nullptr);
    MmInitializeMdl(mdl, VirtualAddress, Length);
    ++Kernel().liveMdls;
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
    FUZZ_CHECK((Mdl->MdlFlags & MDL_PAGES_LOCKED) == 0);
    --Kernel().liveMdls;
    std::free(Mdl);
}

VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    FUZZ_CHECK((MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) == 0);
    const std::uint64_t va = fuzzk::AddressOf(MemoryDescriptorList);
    if (fuzzk::RegionOf(va, MemoryDescriptorList->ByteCount) == nullptr) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

VOID MmUnlockPages(PMDL MemoryDescriptorList) {
    FUZZ_CHECK((MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) != 0);
    MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    FUZZ_CHECK((Mdl->MdlFlags & MDL_PAGES_LOCKED) != 0);
    const std::uint64_t va = fuzzk::AddressOf(Mdl);
    const fuzzk::Region* r = fuzzk::RegionOf(va, Mdl->ByteCount);
    FUZZ_CHECK(r != nullptr);
    Mdl->MappedSystemVa = r->block + (va - r->userAddress);
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return Mdl->MappedSystemVa;
}

VOID VkSehPush(PVK_SEH_FRAME Frame) {
    Frame->Previous = fuzzk::g_sehTop;
    Frame->Code = 0;
    Frame->Active = 1;
    fuzzk::g_sehTop = Frame;
}

VOID VkSehPop(PVK_SEH_FRAME Frame) {
    if (!Frame->Active) return;
    while (fuzzk::g_sehTop != nullptr && fuzzk::g_sehTop != Frame) {
        fuzzk::g_sehTop->Active = 0;
        fuzzk::g_sehTop = fuzzk::g_sehTop->Previous;
    }
    if (fuzzk::g_sehTop == Frame) fuzzk::g_sehTop = Frame->Previous;
    Frame->Active = 0;
}

VOID ExRaiseStatus(NTSTATUS Status) {
    PVK_SEH_FRAME frame = fuzzk::g_sehTop;
    FUZZ_CHECK(frame != nullptr);   // an exception nobody handles is a crash of the system
    fuzzk::g_sehTop = frame->Previous;
    frame->Active = 0;
    frame->Code = Status;
    longjmp(frame->Buffer, 1);
}

BOOLEAN VkSehFilter(PVK_SEH_FRAME Frame, LONG Disposition) {
    FUZZ_CHECK(Disposition == EXCEPTION_EXECUTE_HANDLER || Disposition == EXCEPTION_CONTINUE_SEARCH);
    if (Disposition == EXCEPTION_CONTINUE_SEARCH) ExRaiseStatus(Frame->Code);
    return TRUE;
}

// A driver's assertion is an expectation the data broke: a finding.
VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber, PSTR MutableMessage) {
    __builtin_printf("assertion failed: %s (%s:%u)\n", static_cast<const char*>(VoidFailedAssertion),
                     static_cast<const char*>(VoidFileName), static_cast<unsigned>(LineNumber));
    __builtin_abort();
}

}  // extern "C"
