// Kernel pool of the simulated machine: every allocation is tracked with its
// tag, pool type and owning driver image (found from the caller's address), so
// that the verifier can report wrong tags, double frees and pool a driver
// leaves behind when it unloads; allocation failures can be injected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "vk/basetypes.h"

namespace sim {

// "Tag" as the four characters it is written with ('FLTR' -> "FLTR").
std::string PoolTagText(ULONG tag);
// The ULONG a driver writes as 'ABCD' for the text "ABCD".
constexpr ULONG PoolTag(const char (&text)[5]) {
    return (ULONG(std::uint8_t(text[0])) << 24) | (ULONG(std::uint8_t(text[1])) << 16) |
           (ULONG(std::uint8_t(text[2])) << 8) | ULONG(std::uint8_t(text[3]));
}

struct PoolRequest {
    int poolType = 0;          // POOL_TYPE
    std::size_t size = 0;
    ULONG tag = 0;
    std::string owner;         // driver service name, or "kernel"
};

struct PoolBlockInfo {
    const void* address = nullptr;
    std::size_t size = 0;
    ULONG tag = 0;
    int poolType = 0;
    std::string owner;         // driver service name, or "kernel"
};

class Pool {
public:
    Pool();
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // ---- Used by the exported pool routines --------------------------------------
    // `caller` is the return address inside the allocating code; it decides the owner.
    void* allocate(int poolType, std::size_t size, ULONG tag, const void* caller, bool zero);
    // `tag` 0 skips the tag check (ExFreePool).
    void free(void* block, ULONG tag, const char* routine);
    bool isLiveBlock(const void* block) const;

    // ---- Failure injection (each applies to later allocations) ----------------------
    // The n-th allocation from now fails (n = 1: the next one).
    void failNthAllocation(std::size_t n);
    // Every allocation with this tag fails until clearFailures.
    void failTag(ULONG tag);
    // Every allocation for which the predicate is true fails until clearFailures.
    void failIf(std::function<bool(const PoolRequest&)> predicate);
    void clearFailures();
    std::uint64_t injectedFailures() const;
    // The request the last injected failure refused (its tag and owner), if any.
    std::optional<PoolRequest> lastInjectedFailure() const;

    // ---- Inspection ------------------------------------------------------------------
    std::vector<PoolBlockInfo> liveBlocks() const;
    std::vector<PoolBlockInfo> liveBlocksOf(std::string_view owner) const;
    std::size_t liveCount() const;
    std::size_t liveCountWithTag(ULONG tag) const;
    std::uint64_t allocationCount() const;

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

// Allocates from the current machine's pool on behalf of `caller` (kernel code that
// allocates for a driver, e.g. a string conversion, passes the driver's return address).
void* PoolAllocate(int poolType, std::size_t size, ULONG tag, const void* caller);

}  // namespace sim
