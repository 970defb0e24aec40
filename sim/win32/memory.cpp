// The memory calls of Windows programs: local and global memory, heaps and VirtualAlloc. Every
// block is the calling process's memory, so a program may hand it to a driver as an I/O buffer
// while it lives; once freed it fails the probes (ERROR_NOACCESS), as on Windows.
//
// A moveable block's handle is not its address: it names a record in the simulator's memory, so
// a program that uses the handle as a pointer (instead of LocalLock's answer) is refused by the
// probes here as it would fault on Windows.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "sim/verifier.h"
#include "sim/win32.h"
#include "windows.h"

namespace {

enum class Kind { Local, Global, Heap };

// A moveable block: what its handle names.
struct MoveableBlock {
    void* block = nullptr;
    std::size_t size = 0;
    unsigned locks = 0;
};

struct Block {
    Kind kind;
    std::size_t size;
    HANDLE heap = nullptr;            // the heap of a Heap block
    MoveableBlock* moveable = nullptr;  // the record of a moveable block
};

// A heap of HeapCreate or the process heap: a record of the simulator, named by its address.
struct Heap {
    ULONG process;
};

// Keyed by process id (never reused) and address: a record of an ended process cannot be
// mistaken for a block of a new one.
struct Memory {
    std::mutex mutex;
    std::map<std::pair<ULONG, const void*>, Block> blocks;
    std::map<std::pair<ULONG, const void*>, std::unique_ptr<MoveableBlock>> moveables;
    std::map<ULONG, std::unique_ptr<Heap>> processHeaps;
    std::map<std::pair<ULONG, const void*>, std::unique_ptr<Heap>> heaps;
    std::map<std::pair<ULONG, const void*>, std::size_t> virtualBlocks;
};

Memory& State() {
    static Memory memory;
    return memory;
}

sim::Process* Caller(const char* routine) {
    sim::Process* p = sim::win32::CurrentCaller();
    if (!p) {
        sim::ReportViolation(std::string(routine) +
                             " called by a thread that is not in a simulated process (sim::win32::CallerScope)");
        SetLastError(ERROR_INVALID_FUNCTION);
    }
    return p;
}

void* NewBlock(sim::Process& process, std::size_t size, bool zero) {
    void* block = process.heapAlloc(size);
    if (block && zero) std::memset(block, 0, size ? size : 1);
    return block;
}

// ---- Local and global memory (the same allocator on Win32) ---------------------------------------

constexpr UINT kKnownFlags = LMEM_MOVEABLE | LMEM_ZEROINIT | LMEM_NOCOMPACT | LMEM_NODISCARD | LMEM_DISCARDABLE |
                             GMEM_SHARE | GMEM_DISCARDABLE;

HANDLE AllocT(Kind kind, const char* routine, UINT flags, SIZE_T bytes) {
    sim::Process* process = Caller(routine);
    if (!process) return nullptr;
    if (flags & ~kKnownFlags) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* block = NewBlock(*process, bytes, (flags & LMEM_ZEROINIT) != 0);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto& state = State();
    std::lock_guard lock(state.mutex);
    if (!(flags & LMEM_MOVEABLE)) {
        state.blocks[{process->id(), block}] = Block{kind, bytes};
        return block;
    }
    auto record = std::make_unique<MoveableBlock>(MoveableBlock{block, bytes, 0});
    MoveableBlock* handle = record.get();
    state.blocks[{process->id(), block}] = Block{kind, bytes, nullptr, handle};
    state.moveables[{process->id(), handle}] = std::move(record);
    return handle;
}

// The block a handle stands for: a fixed block's address or a moveable block's record.
struct Found {
    void* block = nullptr;
    Block* record = nullptr;
    MoveableBlock* moveable = nullptr;
};

Found FindLocked(Memory& state, ULONG process, HANDLE handle, Kind kind) {
    Found found;
    if (auto m = state.moveables.find({process, handle}); m != state.moveables.end()) {
        found.moveable = m->second.get();
        found.block = found.moveable->block;
    } else {
        found.block = handle;
    }
    auto it = state.blocks.find({process, found.block});
    if (it == state.blocks.end() || it->second.kind != kind) return Found{};
    found.record = &it->second;
    return found;
}

HANDLE FreeT(Kind kind, const char* routine, HANDLE handle) {
    if (!handle) return nullptr;
    sim::Process* process = Caller(routine);
    if (!process) return handle;
    auto& state = State();
    void* block = nullptr;
    {
        std::lock_guard lock(state.mutex);
        Found found = FindLocked(state, process->id(), handle, kind);
        if (!found.record) {
            SetLastError(ERROR_INVALID_HANDLE);
            return handle;
        }
        block = found.block;
        state.blocks.erase({process->id(), block});
        if (found.moveable) state.moveables.erase({process->id(), handle});
    }
    process->heapFree(block);
    return nullptr;
}

HANDLE ReAllocT(Kind kind, const char* routine, HANDLE handle, SIZE_T bytes, UINT flags) {
    sim::Process* process = Caller(routine);
    if (!process) return nullptr;
    auto& state = State();
    std::lock_guard lock(state.mutex);
    Found found = FindLocked(state, process->id(), handle, kind);
    if (!found.record) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (flags & LMEM_MODIFY) return handle;  // only the attributes change; none is kept here
    const std::size_t old = found.record->size;
    if (!found.moveable && !(flags & LMEM_MOVEABLE) && bytes > old) {
        // A fixed block grows only in place, and this heap never grows a block in place.
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!found.moveable && bytes <= old) {
        found.record->size = bytes;
        return handle;
    }
    void* moved = process->heapAlloc(bytes);
    if (!moved) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::memcpy(moved, found.block, std::min(old, bytes));
    if ((flags & LMEM_ZEROINIT) && bytes > old) std::memset(static_cast<char*>(moved) + old, 0, bytes - old);
    Block record = *found.record;
    record.size = bytes;
    state.blocks.erase({process->id(), found.block});
    process->heapFree(found.block);
    state.blocks[{process->id(), moved}] = record;
    if (found.moveable) {
        found.moveable->block = moved;
        found.moveable->size = bytes;
        return handle;
    }
    return moved;
}

LPVOID LockT(Kind kind, HANDLE handle) {
    sim::Process* process = Caller("LocalLock");
    if (!process) return nullptr;
    auto& state = State();
    std::lock_guard lock(state.mutex);
    Found found = FindLocked(state, process->id(), handle, kind);
    if (!found.record) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (found.moveable && found.moveable->locks < LMEM_LOCKCOUNT) ++found.moveable->locks;
    return found.block;
}

BOOL UnlockT(Kind kind, HANDLE handle) {
    sim::Process* process = Caller("LocalUnlock");
    if (!process) return FALSE;
    auto& state = State();
    std::lock_guard lock(state.mutex);
    Found found = FindLocked(state, process->id(), handle, kind);
    if (!found.record) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!found.moveable || found.moveable->locks == 0) {
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
    }
    // Still locked: TRUE; the last unlock: FALSE with no error.
    if (--found.moveable->locks > 0) return TRUE;
    SetLastError(NO_ERROR);
    return FALSE;
}

SIZE_T SizeT(Kind kind, HANDLE handle) {
    sim::Process* process = Caller("LocalSize");
    if (!process) return 0;
    auto& state = State();
    std::lock_guard lock(state.mutex);
    Found found = FindLocked(state, process->id(), handle, kind);
    if (!found.record) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return found.record->size;
}

UINT FlagsT(Kind kind, HANDLE handle) {
    sim::Process* process = Caller("LocalFlags");
    if (!process) return LMEM_INVALID_HANDLE;
    auto& state = State();
    std::lock_guard lock(state.mutex);
    Found found = FindLocked(state, process->id(), handle, kind);
    if (!found.record) {
        SetLastError(ERROR_INVALID_HANDLE);
        return LMEM_INVALID_HANDLE;
    }
    return found.moveable ? found.moveable->locks : 0;
}

HANDLE HandleT(Kind kind, LPCVOID pointer) {
    sim::Process* process = Caller("LocalHandle");
    if (!process) return nullptr;
    auto& state = State();
    std::lock_guard lock(state.mutex);
    auto it = state.blocks.find({process->id(), pointer});
    if (it == state.blocks.end() || it->second.kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second.moveable ? static_cast<HANDLE>(it->second.moveable) : const_cast<void*>(pointer);
}

// ---- Heaps ----------------------------------------------------------------------------------------

bool KnownHeap(Memory& state, ULONG process, HANDLE heap) {
    if (auto it = state.processHeaps.find(process); it != state.processHeaps.end() && it->second.get() == heap)
        return true;
    return state.heaps.count({process, heap}) != 0;
}

}  // namespace

extern "C" {

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) { return AllocT(Kind::Local, "LocalAlloc", uFlags, uBytes); }
HLOCAL LocalFree(HLOCAL hMem) { return FreeT(Kind::Local, "LocalFree", hMem); }
HLOCAL LocalReAlloc(HLOCAL hMem, SIZE_T uBytes, UINT uFlags) {
    return ReAllocT(Kind::Local, "LocalReAlloc", hMem, uBytes, uFlags);
}
LPVOID LocalLock(HLOCAL hMem) { return LockT(Kind::Local, hMem); }
BOOL LocalUnlock(HLOCAL hMem) { return UnlockT(Kind::Local, hMem); }
SIZE_T LocalSize(HLOCAL hMem) { return SizeT(Kind::Local, hMem); }
UINT LocalFlags(HLOCAL hMem) { return FlagsT(Kind::Local, hMem); }
HLOCAL LocalHandle(LPCVOID pMem) { return HandleT(Kind::Local, pMem); }

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) { return AllocT(Kind::Global, "GlobalAlloc", uFlags, dwBytes); }
HGLOBAL GlobalFree(HGLOBAL hMem) { return FreeT(Kind::Global, "GlobalFree", hMem); }
HGLOBAL GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags) {
    return ReAllocT(Kind::Global, "GlobalReAlloc", hMem, dwBytes, uFlags);
}
LPVOID GlobalLock(HGLOBAL hMem) { return LockT(Kind::Global, hMem); }
BOOL GlobalUnlock(HGLOBAL hMem) { return UnlockT(Kind::Global, hMem); }
SIZE_T GlobalSize(HGLOBAL hMem) { return SizeT(Kind::Global, hMem); }
UINT GlobalFlags(HGLOBAL hMem) { return FlagsT(Kind::Global, hMem); }
HGLOBAL GlobalHandle(LPCVOID pMem) { return HandleT(Kind::Global, pMem); }

HANDLE GetProcessHeap(VOID) {
    sim::Process* process = Caller("GetProcessHeap");
    if (!process) return nullptr;
    auto& state = State();
    std::lock_guard lock(state.mutex);
    auto& heap = state.processHeaps[process->id()];
    if (!heap) heap = std::make_unique<Heap>(Heap{process->id()});
    return heap.get();
}

HANDLE HeapCreate(DWORD flOptions, SIZE_T dwInitialSize, SIZE_T dwMaximumSize) {
    sim::Process* process = Caller("HeapCreate");
    if (!process) return nullptr;
    auto heap = std::make_unique<Heap>(Heap{process->id()});
    HANDLE handle = heap.get();
    auto& state = State();
    std::lock_guard lock(state.mutex);
    state.heaps[{process->id(), handle}] = std::move(heap);
    return handle;
}

BOOL HeapDestroy(HANDLE hHeap) {
    sim::Process* process = Caller("HeapDestroy");
    if (!process) return FALSE;
    auto& state = State();
    std::vector<void*> blocks;
    {
        std::lock_guard lock(state.mutex);
        if (!state.heaps.count({process->id(), hHeap})) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        for (auto it = state.blocks.begin(); it != state.blocks.end();) {
            if (it->first.first == process->id() && it->second.kind == Kind::Heap && it->second.heap == hHeap) {
                blocks.push_back(const_cast<void*>(it->first.second));
                it = state.blocks.erase(it);
            } else {
                ++it;
            }
        }
        state.heaps.erase({process->id(), hHeap});
    }
    for (void* block : blocks) process->heapFree(block);
    return TRUE;
}

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    sim::Process* process = Caller("HeapAlloc");
    if (!process) return nullptr;
    auto& state = State();
    {
        std::lock_guard lock(state.mutex);
        if (!KnownHeap(state, process->id(), hHeap)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
    }
    void* block = NewBlock(*process, dwBytes, (dwFlags & HEAP_ZERO_MEMORY) != 0);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::lock_guard lock(state.mutex);
    state.blocks[{process->id(), block}] = Block{Kind::Heap, dwBytes, hHeap};
    return block;
}

BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
    if (!lpMem) return TRUE;
    sim::Process* process = Caller("HeapFree");
    if (!process) return FALSE;
    auto& state = State();
    {
        std::lock_guard lock(state.mutex);
        auto it = state.blocks.find({process->id(), lpMem});
        if (it == state.blocks.end() || it->second.kind != Kind::Heap || it->second.heap != hHeap) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        state.blocks.erase(it);
    }
    process->heapFree(lpMem);
    return TRUE;
}

LPVOID HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes) {
    sim::Process* process = Caller("HeapReAlloc");
    if (!process) return nullptr;
    auto& state = State();
    std::lock_guard lock(state.mutex);
    auto it = state.blocks.find({process->id(), lpMem});
    if (it == state.blocks.end() || it->second.kind != Kind::Heap || it->second.heap != hHeap) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::size_t old = it->second.size;
    if (dwBytes <= old) {
        it->second.size = dwBytes;
        return lpMem;
    }
    if (dwFlags & HEAP_REALLOC_IN_PLACE_ONLY) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* moved = process->heapAlloc(dwBytes);
    if (!moved) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::memcpy(moved, lpMem, old);
    if (dwFlags & HEAP_ZERO_MEMORY) std::memset(static_cast<char*>(moved) + old, 0, dwBytes - old);
    state.blocks.erase(it);
    process->heapFree(lpMem);
    state.blocks[{process->id(), moved}] = Block{Kind::Heap, dwBytes, hHeap};
    return moved;
}

SIZE_T HeapSize(HANDLE hHeap, DWORD dwFlags, LPCVOID lpMem) {
    sim::Process* process = Caller("HeapSize");
    if (!process) return static_cast<SIZE_T>(-1);
    auto& state = State();
    std::lock_guard lock(state.mutex);
    auto it = state.blocks.find({process->id(), lpMem});
    if (it == state.blocks.end() || it->second.kind != Kind::Heap || it->second.heap != hHeap) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<SIZE_T>(-1);
    }
    return it->second.size;
}

// ---- Virtual memory -----------------------------------------------------------------------------------

// Zero-filled pages of the process, page-aligned: the buffers that unbuffered and direct
// pass-through callers need. A reservation is committed at once; committing inside it again
// answers its address.
LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect) {
    sim::Process* process = Caller("VirtualAlloc");
    if (!process) return nullptr;
    const DWORD kinds = MEM_COMMIT | MEM_RESERVE | MEM_RESET | MEM_TOP_DOWN;
    if (dwSize == 0 || (flAllocationType & ~kinds) || !(flAllocationType & (MEM_COMMIT | MEM_RESERVE | MEM_RESET))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool readOnly = flProtect == PAGE_READONLY || flProtect == PAGE_EXECUTE_READ;
    if (!readOnly && flProtect != PAGE_READWRITE && flProtect != PAGE_EXECUTE_READWRITE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto& state = State();
    if (lpAddress) {
        std::lock_guard lock(state.mutex);
        const auto address = reinterpret_cast<std::uintptr_t>(lpAddress);
        for (auto& [key, size] : state.virtualBlocks) {
            const auto base = reinterpret_cast<std::uintptr_t>(key.second);
            if (key.first == process->id() && address >= base && address + dwSize <= base + size)
                return reinterpret_cast<LPVOID>(address & ~static_cast<std::uintptr_t>(4095));
        }
        // Pages at an address the program chose are not given out here.
        SetLastError(ERROR_INVALID_ADDRESS);
        return nullptr;
    }
    void* block = process->alloc(dwSize);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (readOnly) process->setReadOnly(block, true);
    std::lock_guard lock(state.mutex);
    state.virtualBlocks[{process->id(), block}] = dwSize;
    return block;
}

BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
    sim::Process* process = Caller("VirtualFree");
    if (!process) return FALSE;
    auto& state = State();
    {
        std::lock_guard lock(state.mutex);
        auto it = state.virtualBlocks.find({process->id(), lpAddress});
        if (dwFreeType == MEM_RELEASE) {
            if (dwSize != 0) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            if (it == state.virtualBlocks.end()) {
                SetLastError(ERROR_INVALID_ADDRESS);
                return FALSE;
            }
            state.virtualBlocks.erase(it);
        } else if (dwFreeType == MEM_DECOMMIT) {
            // The pages stay the process's; their contents go, as a new commit finds them zeroed.
            const auto address = reinterpret_cast<std::uintptr_t>(lpAddress);
            for (auto& [key, size] : state.virtualBlocks) {
                const auto base = reinterpret_cast<std::uintptr_t>(key.second);
                if (key.first != process->id() || address < base || address >= base + size) continue;
                const std::size_t length = dwSize ? std::min<std::size_t>(dwSize, base + size - address) : size - (address - base);
                std::memset(lpAddress, 0, length);
                return TRUE;
            }
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        } else {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    process->setReadOnly(lpAddress, false);
    process->free(lpAddress);
    return TRUE;
}

}  // extern "C"
