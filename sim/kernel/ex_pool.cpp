// Executive pool: tracked allocations with tags and owners, a quarantine of
// freed blocks that recognises double frees, injected failures, and the
// ExAllocatePool*/ExFreePool* exports.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "kinternal.h"
#include "quarantine.h"

using sim::ReportViolation;

namespace sim {

std::string PoolTagText(ULONG tag) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>((tag >> shift) & 0x7F);
        text.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    return text;
}

namespace {
// A driver writes the tag as a multi-character constant 'ABCD'; the pool shows it as
// "ABCD". In memory Windows keeps it the other way round, which nobody here sees.
std::string TagName(ULONG tag) {
    return "'" + PoolTagText(tag & ~ULONG(PROTECTED_POOL)) + "'";
}
// A quarantined block keeps the fill written at its free; anything else there was written
// through a stale pointer after the block was freed.
// The block stays poisoned for AddressSanitizer except while this check reads it.
bool WrittenAfterFree(const void* block, std::size_t size) {
    k::Unpoison(block, size);
    const auto* bytes = static_cast<const unsigned char*>(block);
    bool written = false;
    for (std::size_t i = 0; i < size && !written; ++i) written = bytes[i] != 0xDF;
    k::Poison(block, size);
    return written;
}

std::string WrittenAfterFreeReport(const void* block, ULONG tag, std::size_t size, const std::string& owner) {
    return "pool block " + k::Describe(block) + " (tag " + TagName(tag) + ", " + std::to_string(size) +
           " bytes, owner " + owner + ") was written after it was freed";
}

}  // namespace

struct Pool::Impl {
    struct Block {
        std::size_t size = 0;
        ULONG tag = 0;
        int type = 0;
        const k::DriverImage* image = nullptr;
        std::string owner;
        bool reported = false;  // already reported as left behind
    };

    mutable std::mutex mutex;
    std::unordered_map<void*, Block> live;
    std::unordered_map<void*, Block> freed;  // quarantine: recognises a second free
    std::deque<void*> freedOrder;
    std::size_t freedBytes = 0;

    std::size_t failCountdown = 0;
    std::set<ULONG> failTags;
    std::vector<std::function<bool(const PoolRequest&)>> failPredicates;
    std::uint64_t injected = 0;
    std::optional<PoolRequest> lastInjected;
    std::uint64_t allocations = 0;

    static constexpr std::size_t kQuarantineBlocks = 4096;
    static constexpr std::size_t kQuarantineBytes = 64u << 20;

    // Lock held.
    bool shouldFail(const PoolRequest& request) {
        bool fail = false;
        if (failCountdown) {
            if (--failCountdown == 0) fail = true;
        }
        if (!fail && failTags.count(request.tag)) fail = true;
        if (!fail)
            for (auto& predicate : failPredicates)
                if (predicate(request)) {
                    fail = true;
                    break;
                }
        if (fail) {
            ++injected;
            lastInjected = request;
        }
        return fail;
    }
};

Pool::Pool() : impl_(std::make_unique<Impl>()) {}

Pool::~Pool() {
    for (auto& [block, info] : impl_->live) std::free(block);
    for (auto& [block, info] : impl_->freed) {
        k::Unpoison(block, info.size);
        std::free(block);
    }
}

void* Pool::allocate(int poolType, std::size_t size, ULONG tag, const void* caller, bool zero) {
    auto& state = k::Current();
    const bool paged = (poolType & 1) != 0;
    if (state.irql > DISPATCH_LEVEL)
        ReportViolation("ExAllocatePoolWithTag called at IRQL " + std::to_string(state.irql));
    else if (paged && state.irql > APC_LEVEL)
        ReportViolation("paged pool (tag " + TagName(tag) + ") allocated at IRQL " + std::to_string(state.irql) +
                        " (the most allowed is 1)");
    std::shared_ptr<k::DriverImage> image = k::ImageOfAddress(caller);
    PoolRequest request{poolType, size, tag, k::OwnerNameOf(image.get())};
    // Windows' verifier stops on a zero-byte request: it is a length nobody checked.
    if (size == 0) ReportViolation("pool allocation of 0 bytes (tag " + TagName(tag) + ") by " + request.owner);
    {
        std::lock_guard lock(impl_->mutex);
        ++impl_->allocations;
        if (impl_->shouldFail(request)) return nullptr;
    }
    void* block = std::malloc(size ? size : 1);
    if (!block) return nullptr;
    // Windows does not clear fresh pool; a fill pattern shows records used before they
    // are initialised.
    std::memset(block, zero ? 0 : 0xCD, size);
    std::lock_guard lock(impl_->mutex);
    impl_->live[block] = Impl::Block{size, tag, poolType, image.get(), request.owner};
    return block;
}

void Pool::free(void* block, ULONG tag, const char* routine) {
    if (!block) {
        ReportViolation(std::string(routine) + "(NULL)");
        return;
    }
    const KIRQL irql = k::Current().irql;
    if (irql > DISPATCH_LEVEL)
        ReportViolation(std::string(routine) + " called at IRQL " + std::to_string(irql));
    // What the block still holds: kernel objects that must not die in use, and the check of a
    // paged block freed at DISPATCH_LEVEL (where its pages may not be touched).
    std::size_t blockSize = 0;
    {
        std::lock_guard lock(impl_->mutex);
        auto it = impl_->live.find(block);
        if (it != impl_->live.end()) {
            blockSize = it->second.size;
            if ((it->second.type & 1) && irql > APC_LEVEL)
                ReportViolation(std::string(routine) + ": paged pool block " + k::Describe(block) + " (tag " +
                                TagName(it->second.tag) + ") freed at IRQL " + std::to_string(irql) +
                                " (the most allowed is 1)");
        }
    }
    if (blockSize)
        for (auto& object : k::TakeLiveObjectsIn(block, blockSize))
            ReportViolation(std::string(routine) + ": pool block " + k::Describe(block) + " freed while it holds " +
                            object);
    std::string problem;
    std::vector<std::string> laterProblems;
    void* evicted[8];
    std::size_t evictedCount = 0;
    std::size_t size = 0;
    {
        std::lock_guard lock(impl_->mutex);
        auto it = impl_->live.find(block);
        if (it == impl_->live.end()) {
            auto old = impl_->freed.find(block);
            if (old != impl_->freed.end())
                problem = std::string(routine) + ": pool block " + k::Describe(block) + " (tag " +
                          TagName(old->second.tag) + ", " + std::to_string(old->second.size) + " bytes, owner " +
                          old->second.owner + ") freed twice";
            else
                problem = std::string(routine) + ": " + k::Describe(block) + " is not an allocated pool block";
        } else {
            Impl::Block info = it->second;
            if (tag != 0 && (tag & ~ULONG(PROTECTED_POOL)) != (info.tag & ~ULONG(PROTECTED_POOL)))
                problem = std::string(routine) + ": pool block " + k::Describe(block) + " allocated with tag " +
                          TagName(info.tag) + " freed with tag " + TagName(tag);
            impl_->live.erase(it);
            size = info.size;
            std::memset(block, 0xDF, info.size);
            // Under AddressSanitizer a use of the freed block is reported where it happens.
            k::Poison(block, info.size);
            impl_->freedBytes += info.size;
            impl_->freed[block] = std::move(info);
            impl_->freedOrder.push_back(block);
            while (evictedCount < 8 && (impl_->freedOrder.size() > Impl::kQuarantineBlocks ||
                                        impl_->freedBytes > Impl::kQuarantineBytes)) {
                void* oldest = impl_->freedOrder.front();
                impl_->freedOrder.pop_front();
                auto found = impl_->freed.find(oldest);
                // Poisoned for AddressSanitizer while quarantined: readable again before the check.
                k::Unpoison(oldest, found->second.size);
                if (WrittenAfterFree(oldest, found->second.size))
                    laterProblems.push_back(
                        WrittenAfterFreeReport(oldest, found->second.tag, found->second.size, found->second.owner));
                impl_->freedBytes -= found->second.size;
                impl_->freed.erase(found);
                evicted[evictedCount++] = oldest;
            }
        }
    }
    for (std::size_t i = 0; i < evictedCount; ++i) std::free(evicted[i]);
    if (!problem.empty()) ReportViolation(problem);
    for (auto& later : laterProblems) ReportViolation(later);
    (void)size;
}

bool Pool::isLiveBlock(const void* block) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->live.count(const_cast<void*>(block)) != 0;
}

void Pool::failNthAllocation(std::size_t n) {
    std::lock_guard lock(impl_->mutex);
    impl_->failCountdown = n;
}

std::optional<PoolRequest> Pool::lastInjectedFailure() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->lastInjected;
}

void Pool::failTag(ULONG tag) {
    std::lock_guard lock(impl_->mutex);
    impl_->failTags.insert(tag);
}

void Pool::failIf(std::function<bool(const PoolRequest&)> predicate) {
    std::lock_guard lock(impl_->mutex);
    impl_->failPredicates.push_back(std::move(predicate));
}

void Pool::clearFailures() {
    std::lock_guard lock(impl_->mutex);
    impl_->failCountdown = 0;
    impl_->failTags.clear();
    impl_->failPredicates.clear();
}

std::uint64_t Pool::injectedFailures() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->injected;
}

std::vector<PoolBlockInfo> Pool::liveBlocks() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<PoolBlockInfo> out;
    for (auto& [block, info] : impl_->live) out.push_back({block, info.size, info.tag, info.type, info.owner});
    return out;
}

std::vector<PoolBlockInfo> Pool::liveBlocksOf(std::string_view owner) const {
    std::lock_guard lock(impl_->mutex);
    std::vector<PoolBlockInfo> out;
    for (auto& [block, info] : impl_->live)
        if (info.owner == owner) out.push_back({block, info.size, info.tag, info.type, info.owner});
    return out;
}

std::size_t Pool::liveCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->live.size();
}

std::size_t Pool::liveCountWithTag(ULONG tag) const {
    std::lock_guard lock(impl_->mutex);
    std::size_t count = 0;
    for (auto& [block, info] : impl_->live) count += info.tag == tag;
    return count;
}

std::uint64_t Pool::allocationCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->allocations;
}

namespace {

// The pool that serves callers while no machine exists (host code and tests of
// kernel services that run without one).
Pool& DetachedPool() {
    static Pool* pool = new Pool;
    return *pool;
}

Pool& CurrentPool() {
    auto* impl = k::CurrentImpl();
    return impl ? impl->pool : DetachedPool();
}

std::vector<std::string> Summarise(std::map<std::pair<std::string, ULONG>, std::pair<std::size_t, std::size_t>>& groups,
                                   const char* when) {
    std::vector<std::string> out;
    for (auto& [key, totals] : groups)
        out.push_back(key.first + " " + when + " with " + std::to_string(totals.second) + " bytes of pool tag " +
                      TagName(key.second) + " still allocated (" + std::to_string(totals.first) + " block" +
                      (totals.first == 1 ? "" : "s") + ")");
    return out;
}

}  // namespace

void* PoolAllocate(int poolType, std::size_t size, ULONG tag, const void* caller) {
    return CurrentPool().allocate(poolType, size, tag, caller, false);
}

namespace k {

bool PoolShouldFail(int poolType, std::size_t size, ULONG tag, const void* caller) {
    Pool& pool = CurrentPool();
    std::shared_ptr<DriverImage> image = ImageOfAddress(caller);
    PoolRequest request{poolType, size, tag, OwnerNameOf(image.get())};
    std::lock_guard lock(pool.impl().mutex);
    return pool.impl().shouldFail(request);
}

std::vector<std::string> TakePoolLeaksOf(const DriverImage* image) {
    Pool& pool = CurrentPool();
    std::map<std::pair<std::string, ULONG>, std::pair<std::size_t, std::size_t>> groups;
    std::lock_guard lock(pool.impl().mutex);
    for (auto& [block, info] : pool.impl().live) {
        if (info.image != image || info.reported) continue;
        info.reported = true;
        auto& totals = groups[{"driver " + info.owner, info.tag}];
        ++totals.first;
        totals.second += info.size;
        info.image = nullptr;
        info.owner += " (unloaded)";
    }
    return Summarise(groups, "unloaded");
}

std::vector<std::string> TakeAllPoolLeaks(const std::vector<const DriverImage*>& inUse) {
    Pool& pool = CurrentPool();
    std::map<std::pair<std::string, ULONG>, std::pair<std::size_t, std::size_t>> groups;
    std::lock_guard lock(pool.impl().mutex);
    for (auto& [block, info] : pool.impl().live) {
        if (info.reported) continue;
        if (info.image && std::find(inUse.begin(), inUse.end(), info.image) != inUse.end()) continue;
        info.reported = true;
        auto& totals = groups[{info.owner, info.tag}];
        ++totals.first;
        totals.second += info.size;
    }
    std::vector<std::string> out = Summarise(groups, "left the machine at shutdown");
    for (auto& [block, info] : pool.impl().freed) {
        // Quarantined blocks are poisoned for AddressSanitizer: only this check may read them.
        k::Unpoison(block, info.size);
        if (WrittenAfterFree(block, info.size)) {
            out.push_back(WrittenAfterFreeReport(block, info.tag, info.size, info.owner));
            k::Unpoison(block, info.size);
            std::memset(block, 0xDF, info.size);   // reported once
            k::Poison(block, info.size);
        }
        k::Poison(block, info.size);
    }
    return out;
}

}  // namespace k
}  // namespace sim

using namespace sim;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return CurrentPool().allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0), false);
}

PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return CurrentPool().allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0), false);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return CurrentPool().allocate(PoolType, NumberOfBytes, PoolTag("None"), __builtin_return_address(0), false);
}

PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
    int type = (Flags & POOL_FLAG_PAGED) ? PagedPool : NonPagedPoolNx;
    if (!(Flags & (POOL_FLAG_PAGED | POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE))) {
        ReportViolation("ExAllocatePool2: no pool type flag (POOL_FLAG_NON_PAGED or POOL_FLAG_PAGED)");
        return nullptr;
    }
    if (Tag == 0) {
        ReportViolation("ExAllocatePool2: tag 0");
        return nullptr;
    }
    void* block = CurrentPool().allocate(type, NumberOfBytes, Tag, __builtin_return_address(0),
                                         !(Flags & POOL_FLAG_UNINITIALIZED));
    if (!block && (Flags & POOL_FLAG_RAISE_ON_FAILURE)) ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    return block;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { CurrentPool().free(P, Tag, "ExFreePoolWithTag"); }

VOID ExFreePool(PVOID P) { CurrentPool().free(P, 0, "ExFreePool"); }

}  // extern "C"
