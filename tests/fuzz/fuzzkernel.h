// The few kernel services the fuzzed driver sources call, for a fuzz target built without the
// simulated kernel: non-paged pool, spin locks, MDLs with probing and locking of a caller's
// buffer, structured exception handling, request completion and the caller's width.
//
// They keep the rules the real kernel enforces (a lock is not taken twice nor released when free,
// an MDL is not mapped unless locked nor freed while locked, a request completes once), and stop
// the run when a driver breaks one. Pool blocks and MDLs are heap blocks of their exact size, so
// AddressSanitizer sees an access outside them and its leak check any that is never freed.
//
// A caller's memory is a list of regions: a made-up user address of the caller's width mapped on
// a heap block. Probing accepts a range only inside one region and raises
// STATUS_ACCESS_VIOLATION for anything else; the system address of a locked range is the heap
// block, never the user address.
#pragma once

#include <ntddk.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzk {

#define FUZZ_CHECK(cond)                                                                             \
    do {                                                                                             \
        if (!(cond)) {                                                                               \
            __builtin_printf("check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);             \
            __builtin_abort();                                                                       \
        }                                                                                            \
    } while (0)

struct Region {
    std::uint64_t userAddress;
    std::uint8_t* block;
    ULONG length;
};

// What the one simulated caller and the kernel are while an input runs; Reset() starts afresh.
struct State {
    bool caller32 = false;             // the requesting process is a 32-bit one
    std::vector<Region> regions;       // the caller's memory
    unsigned poolFailAfter = ~0u;      // allocations that succeed before one fails
    long liveMdls = 0;
    long liveBlocks = 0;
    PIRP completed = nullptr;          // the last request completed
    NTSTATUS completedStatus = 0;
    unsigned completions = 0;
};

State& Kernel();
void Reset();

}  // namespace fuzzk
