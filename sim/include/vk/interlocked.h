/*
 * The interlocked operations of drivers and of Windows programs (full barriers, as on Windows),
 * shared by the kernel's headers and winbase.h.
 */
#pragma once

#include "vk/basetypes.h"

#define InterlockedIncrement(p) __atomic_add_fetch((volatile LONG *)(p), 1, __ATOMIC_SEQ_CST)
#define InterlockedDecrement(p) __atomic_sub_fetch((volatile LONG *)(p), 1, __ATOMIC_SEQ_CST)
#define InterlockedExchange(p, v) __atomic_exchange_n((volatile LONG *)(p), (LONG)(v), __ATOMIC_SEQ_CST)
#define InterlockedExchangeAdd(p, v) __atomic_fetch_add((volatile LONG *)(p), (LONG)(v), __ATOMIC_SEQ_CST)
#define InterlockedAdd(p, v) __atomic_add_fetch((volatile LONG *)(p), (LONG)(v), __ATOMIC_SEQ_CST)
#define InterlockedOr(p, v) __atomic_fetch_or((volatile LONG *)(p), (LONG)(v), __ATOMIC_SEQ_CST)
#define InterlockedAnd(p, v) __atomic_fetch_and((volatile LONG *)(p), (LONG)(v), __ATOMIC_SEQ_CST)
#define InterlockedXor(p, v) __atomic_fetch_xor((volatile LONG *)(p), (LONG)(v), __ATOMIC_SEQ_CST)
#define InterlockedIncrement64(p) __atomic_add_fetch((volatile LONG64 *)(p), 1, __ATOMIC_SEQ_CST)
#define InterlockedDecrement64(p) __atomic_sub_fetch((volatile LONG64 *)(p), 1, __ATOMIC_SEQ_CST)
#define InterlockedExchange64(p, v) \
    __atomic_exchange_n((volatile LONG64 *)(p), (LONG64)(v), __ATOMIC_SEQ_CST)
#define InterlockedExchangeAdd64(p, v) \
    __atomic_fetch_add((volatile LONG64 *)(p), (LONG64)(v), __ATOMIC_SEQ_CST)
#define InterlockedAdd64(p, v) __atomic_add_fetch((volatile LONG64 *)(p), (LONG64)(v), __ATOMIC_SEQ_CST)
#define InterlockedIncrementAcquire InterlockedIncrement
#define InterlockedDecrementRelease InterlockedDecrement

FORCEINLINE LONG InterlockedCompareExchange(volatile LONG *Destination, LONG ExChange, LONG Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, ExChange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
FORCEINLINE LONG64 InterlockedCompareExchange64(volatile LONG64 *Destination, LONG64 ExChange,
                                                LONG64 Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, ExChange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID ExChange,
                                                    PVOID Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, ExChange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
#define MemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
