// Kernel core: per-thread state and IRQL, spin locks, the verifier entry
// points, structured exception handling, time and bug checks.

#include <sched.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kinternal.h"

namespace sim::k {

// ---- Text helpers ---------------------------------------------------------------

std::string Narrow(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
            std::uint32_t low = text[i + 1];
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string Widen(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (unsigned char c : text) out.push_back(c);
    return out;
}

std::u16string Upcase(std::u16string_view text) {
    std::u16string out(text);
    for (auto& c : out)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - u'a' + u'A');
        if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - u'a' + u'A');
        if (x != y) return false;
    }
    return true;
}

std::u16string FromUnicodeString(const UNICODE_STRING* text) {
    if (!text || !text->Buffer) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / 2);
}

std::string Hex(std::uint64_t value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%" PRIX64, value);
    return buffer;
}

std::string Describe(const void* pointer) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%016" PRIXPTR, reinterpret_cast<std::uintptr_t>(pointer));
    return buffer;
}

// ---- Per-thread state --------------------------------------------------------------

namespace {
thread_local ThreadState tlsState;
std::atomic<ULONG> nextThreadId{4};

void DestroyThreadObject(void* body) { static_cast<_KTHREAD*>(body)->~_KTHREAD(); }
void DestroyProcessObject(void*) {}
}  // namespace

_OBJECT_TYPE ThreadObjectType{"Thread", nullptr, DestroyThreadObject};
_OBJECT_TYPE ProcessObjectType{"Process", nullptr, DestroyProcessObject};

ThreadState::~ThreadState() {
    if (thread) {
        // Its asynchronous requests are cancelled and waited for, as when a Windows thread exits.
        if (!thread->system) CancelThreadRequests(thread);
        // A host thread that ran kernel code ends: waiters on its thread object wake.
        if (!thread->system) SignalThreadObject(thread);
        thread->process.store(nullptr);
        Dereference(thread);
        thread = nullptr;
    }
}

ThreadState& Current() { return tlsState; }

_KTHREAD* CurrentThreadObject() {
    ThreadState& state = tlsState;
    if (!state.thread) {
        void* body = CreateObject(&ThreadObjectType, sizeof(_KTHREAD));
        auto* thread = new (body) _KTHREAD{};
        InitializeDispatcherHeader(&thread->Header, ThreadObject, sizeof(_KTHREAD) / 4, 0);
        thread->priority.store(8);
        thread->process.store(state.process);
        thread->system = nullptr;
        thread->id = nextThreadId.fetch_add(4);
        state.thread = thread;
    }
    return state.thread;
}

ProcessState* CurrentProcess() { return tlsState.process; }

KIRQL RaiseIrqlTo(KIRQL level) {
    KIRQL old = tlsState.irql;
    tlsState.irql = level;
    return old;
}

void LowerIrqlTo(KIRQL level) { tlsState.irql = level; }

LONGLONG SystemTimeNow() {
    using namespace std::chrono;
    auto sinceUnix = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return sinceUnix + 116444736000000000LL;
}

}  // namespace sim::k

// ---- Verifier ---------------------------------------------------------------------------

namespace sim {

Verifier::Verifier(Handler handler) : handler_(std::move(handler)) {}

void Verifier::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void Verifier::report(std::string message) {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        violations_.push_back(message);
        handler = handler_;
    }
    if (handler) {
        handler(message);
        return;
    }
    std::fprintf(stderr, "*** DRIVER VERIFIER: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

std::vector<std::string> Verifier::violations() const {
    std::lock_guard lock(mutex_);
    return violations_;
}

std::size_t Verifier::count() const {
    std::lock_guard lock(mutex_);
    return violations_.size();
}

void Verifier::clear() {
    std::lock_guard lock(mutex_);
    violations_.clear();
}

void ReportViolation(std::string message) {
    if (auto* impl = k::CurrentImpl()) {
        impl->verifier.report(std::move(message));
        return;
    }
    std::fprintf(stderr, "*** DRIVER VERIFIER (no machine): %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

void CheckIrqlAtMost(KIRQL maxIrql, const char* routine) {
    KIRQL irql = k::Current().irql;
    if (irql > maxIrql)
        ReportViolation(std::string(routine) + " called at IRQL " + std::to_string(irql) + " (the most allowed is " +
                        std::to_string(maxIrql) + ")");
}

}  // namespace sim

using sim::ReportViolation;
using sim::k::Current;

// ---- Exported: IRQL -----------------------------------------------------------------------

extern "C" {

KIRQL KeGetCurrentIrql(VOID) { return Current().irql; }

KIRQL KfRaiseIrql(KIRQL NewIrql) {
    auto& state = Current();
    if (NewIrql < state.irql)
        ReportViolation("KeRaiseIrql to IRQL " + std::to_string(NewIrql) + " from the higher IRQL " +
                        std::to_string(state.irql));
    KIRQL old = state.irql;
    state.irql = NewIrql;
    return old;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    auto& state = Current();
    if (NewIrql > state.irql)
        ReportViolation("KeLowerIrql to IRQL " + std::to_string(NewIrql) + " from the lower IRQL " +
                        std::to_string(state.irql));
    state.irql = NewIrql;
}

VOID KfLowerIrql(KIRQL NewIrql) { KeLowerIrql(NewIrql); }

KIRQL KeRaiseIrqlToDpcLevel(VOID) { return KfRaiseIrql(DISPATCH_LEVEL); }

// ---- Spin locks ------------------------------------------------------------------------------
// The lock word holds the owner's thread-state address with bit 0 set, so a
// recursive acquisition and a release by a stranger are recognised.

static void AcquireLockWord(PKSPIN_LOCK lock, const char* routine) {
    auto& state = Current();
    const ULONG_PTR me = reinterpret_cast<ULONG_PTR>(&state) | 1;
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
        ReportViolation(std::string(routine) + ": spin lock " + sim::k::Describe(lock) +
                        " acquired again by the thread that holds it (deadlock)");
        return;
    }
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_load_n(lock, __ATOMIC_RELAXED) == 0 &&
            __atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            break;
        if (spins > 64) sched_yield();
        else __builtin_ia32_pause();
    }
    ++state.spinLocksHeld;
}

static void ReleaseLockWord(PKSPIN_LOCK lock, const char* routine) {
    auto& state = Current();
    const ULONG_PTR me = reinterpret_cast<ULONG_PTR>(&state) | 1;
    ULONG_PTR word = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (word == 0) {
        ReportViolation(std::string(routine) + ": spin lock " + sim::k::Describe(lock) + " is not held");
        return;
    }
    if (word != me)
        ReportViolation(std::string(routine) + ": spin lock " + sim::k::Describe(lock) +
                        " released by a thread that does not hold it");
    if (state.spinLocksHeld > 0) --state.spinLocksHeld;
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    auto& state = Current();
    if (state.irql > DISPATCH_LEVEL)
        ReportViolation("KeAcquireSpinLock called at IRQL " + std::to_string(state.irql) +
                        " (the most allowed is 2)");
    KIRQL old = state.irql;
    state.irql = DISPATCH_LEVEL;
    AcquireLockWord(SpinLock, "KeAcquireSpinLock");
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    auto& state = Current();
    ReleaseLockWord(SpinLock, "KeReleaseSpinLock");
    if (NewIrql > state.irql)
        ReportViolation("KeReleaseSpinLock: IRQL " + std::to_string(NewIrql) + " is above the current IRQL " +
                        std::to_string(state.irql));
    state.irql = NewIrql;
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (Current().irql < DISPATCH_LEVEL)
        ReportViolation("KeAcquireSpinLockAtDpcLevel called at IRQL " + std::to_string(Current().irql) +
                        " (DISPATCH_LEVEL required)");
    AcquireLockWord(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    ReleaseLockWord(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    auto& state = Current();
    const ULONG_PTR me = reinterpret_cast<ULONG_PTR>(&state) | 1;
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        ++state.spinLocksHeld;
        return TRUE;
    }
    return FALSE;
}

BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) { return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0; }

VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
    KeReleaseSpinLock(LockHandle->LockQueue.Lock, LockHandle->OldIrql);
}

VOID KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->LockQueue.Next = nullptr;
    KeAcquireSpinLockAtDpcLevel(SpinLock);
}

VOID KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) {
    KeReleaseSpinLockFromDpcLevel(LockHandle->LockQueue.Lock);
}

// ---- Critical regions -------------------------------------------------------------------------

VOID KeEnterCriticalRegion(VOID) { ++Current().criticalRegion; }

VOID KeLeaveCriticalRegion(VOID) {
    auto& state = Current();
    if (state.criticalRegion <= 0) {
        ReportViolation("KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
        return;
    }
    --state.criticalRegion;
}

VOID KeEnterGuardedRegion(VOID) { ++Current().guardedRegion; }

VOID KeLeaveGuardedRegion(VOID) {
    auto& state = Current();
    if (state.guardedRegion <= 0) {
        ReportViolation("KeLeaveGuardedRegion without a matching KeEnterGuardedRegion");
        return;
    }
    --state.guardedRegion;
}

BOOLEAN KeAreApcsDisabled(VOID) {
    auto& state = Current();
    return state.criticalRegion > 0 || state.guardedRegion > 0 || state.irql >= APC_LEVEL;
}

// ---- Time -------------------------------------------------------------------------------------

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = sim::k::SystemTimeNow(); }

VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = sim::k::SystemTimeNow(); }

static LONGLONG InterruptTime100ns() {
    using namespace std::chrono;
    static const auto boot = steady_clock::now();
    return duration_cast<nanoseconds>(steady_clock::now() - boot).count() / 100;
}

ULONG KeQueryTimeIncrement(VOID) { return 156250; }

VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount) { CurrentCount->QuadPart = InterruptTime100ns() / 156250; }

ULONGLONG KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(InterruptTime100ns()); }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER value;
    value.QuadPart = InterruptTime100ns();
    return value;
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
    while (std::chrono::steady_clock::now() < until) sched_yield();
}

ULONG KeGetCurrentProcessorNumber(VOID) {
    int cpu = sched_getcpu();
    return cpu < 0 ? 0 : static_cast<ULONG>(cpu);
}

ULONG KeQueryActiveProcessorCount(KAFFINITY* ActiveProcessors) {
    ULONG count = std::thread::hardware_concurrency();
    if (count == 0) count = 1;
    if (count > 64) count = 64;
    if (ActiveProcessors) *ActiveProcessors = count == 64 ? ~KAFFINITY(0) : ((KAFFINITY(1) << count) - 1);
    return count;
}

VOID ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime) {
    // The simulated machine runs on UTC.
    LocalTime->QuadPart = SystemTime->QuadPart;
}

VOID ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime) {
    SystemTime->QuadPart = LocalTime->QuadPart;
}

// ---- Bug checks -------------------------------------------------------------------------------

static const char* BugCheckName(ULONG code) {
    switch (code) {
    case IRQL_NOT_LESS_OR_EQUAL: return "IRQL_NOT_LESS_OR_EQUAL";
    case KMODE_EXCEPTION_NOT_HANDLED: return "KMODE_EXCEPTION_NOT_HANDLED";
    case NO_MORE_IRP_STACK_LOCATIONS: return "NO_MORE_IRP_STACK_LOCATIONS";
    case MULTIPLE_IRP_COMPLETE_REQUESTS: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case CANCEL_STATE_IN_COMPLETED_IRP: return "CANCEL_STATE_IN_COMPLETED_IRP";
    case DRIVER_VERIFIER_DETECTED_VIOLATION: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case DRIVER_IRQL_NOT_LESS_OR_EQUAL: return "DRIVER_IRQL_NOT_LESS_OR_EQUAL";
    case BAD_POOL_CALLER: return "BAD_POOL_CALLER";
    default: return "BUGCHECK";
    }
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "KeBugCheckEx: *** STOP: 0x%08X (0x%016" PRIXPTR ", 0x%016" PRIXPTR ", 0x%016" PRIXPTR
                  ", 0x%016" PRIXPTR ") %s",
                  BugCheckCode, P1, P2, P3, P4, BugCheckName(BugCheckCode));
    ReportViolation(text);
    // A bug check stops the machine: nothing after it may run.
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
    std::abort();
}

VOID KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }

VOID VkPagedCodeViolation(PCSTR Routine) {
    ReportViolation(std::string("pageable routine ") + (Routine ? Routine : "?") + " entered at IRQL " +
                    std::to_string(Current().irql) + " (the most allowed is 1)");
}

// ---- Structured exception handling -----------------------------------------------------------------

VOID VkSehPush(PVK_SEH_FRAME Frame) {
    auto& state = Current();
    Frame->Previous = state.sehTop;
    Frame->Code = 0;
    Frame->Active = 1;
    state.sehTop = Frame;
}

VOID VkSehPop(PVK_SEH_FRAME Frame) {
    if (!Frame->Active) return;
    auto& state = Current();
    // Frames leave in order; a frame left by other means drops the ones above it too.
    while (state.sehTop && state.sehTop != Frame) {
        state.sehTop->Active = 0;
        state.sehTop = state.sehTop->Previous;
    }
    if (state.sehTop == Frame) state.sehTop = Frame->Previous;
    Frame->Active = 0;
}

VOID ExRaiseStatus(NTSTATUS Status) {
    auto& state = Current();
    PVK_SEH_FRAME frame = state.sehTop;
    if (!frame) KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(Status), 0, 0, 0);
    state.sehTop = frame->Previous;
    frame->Active = 0;
    frame->Code = Status;
    longjmp(frame->Buffer, 1);
}

BOOLEAN VkSehFilter(PVK_SEH_FRAME Frame, LONG Disposition) {
    if (Disposition > 0) return TRUE;
    if (Disposition == EXCEPTION_CONTINUE_SEARCH) ExRaiseStatus(Frame->Code);
    ReportViolation("__except filter returned EXCEPTION_CONTINUE_EXECUTION for exception " +
                    sim::k::Hex(static_cast<ULONG>(Frame->Code)) +
                    ": execution cannot resume at the raise point; the handler is skipped");
    return FALSE;
}

}  // extern "C"
