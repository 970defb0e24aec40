// Poisoning of the freed-memory quarantines (pool blocks, IRPs) under AddressSanitizer: a
// driver that touches memory after freeing it is stopped at that access, with the stacks of
// the use, the free and the allocation, instead of reading a fill pattern by luck. Without
// AddressSanitizer the fill patterns (0xDF pool, 0xDD IRPs) are all there is.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define VK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VK_ASAN 1
#endif
#endif

#ifdef VK_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace sim::k {

inline void Poison(const void* address, std::size_t size) {
#ifdef VK_ASAN
    ASAN_POISON_MEMORY_REGION(address, size);
#else
    (void)address;
    (void)size;
#endif
}

inline void Unpoison(const void* address, std::size_t size) {
#ifdef VK_ASAN
    ASAN_UNPOISON_MEMORY_REGION(address, size);
#else
    (void)address;
    (void)size;
#endif
}

}  // namespace sim::k
