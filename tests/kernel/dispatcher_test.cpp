// Events, semaphores, mutexes, waits with time-outs, spin locks, fast mutexes, executive
// resources, system threads, timers and DPCs, with real host threads.
#include <wdm.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "vorka_test_support.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

LARGE_INTEGER Relative(std::chrono::milliseconds ms) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(ms.count()) * 10000;
    return timeout;
}

class Dispatcher : public vorka_test::MachineTest {};

// Starts `count` host threads that each wait once on `object` and count their wake-ups.
struct Waiters {
    std::vector<std::thread> threads;
    std::atomic<int> woken{0};
    Waiters(void* object, int count) {
        for (int i = 0; i < count; ++i)
            threads.emplace_back([this, object] {
                KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
                ++woken;
            });
    }
    // Gives the waiters time to wake where none should: a wrong wake-up shows as a count too high.
    void settle() { std::this_thread::sleep_for(50ms); }
    // Waits, however slow the machine, until `count` waiters woke, then gives a wrong further
    // wake-up the same chance to show as `settle` does.
    void settleAt(int count) {
        for (int i = 0; i < 30000 && woken.load() < count; ++i) std::this_thread::sleep_for(1ms);
        settle();
    }
    ~Waiters() {
        for (auto& thread : threads) thread.join();
    }
};

TEST_F(Dispatcher, ASynchronizationEventReleasesOneWaiterPerSignal) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    Waiters waiters(&event, 2);
    waiters.settle();
    EXPECT_EQ(waiters.woken.load(), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiters.settleAt(1);
    EXPECT_EQ(waiters.woken.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the released waiter took the signal";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiters.settleAt(2);
    EXPECT_EQ(waiters.woken.load(), 2);
}

TEST_F(Dispatcher, ANotificationEventReleasesEveryWaiterAndStaysSignalled) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    {
        Waiters waiters(&event, 3);
        waiters.settle();
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    }
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeResetEvent(&event), 1);
}

TEST_F(Dispatcher, AWaitTimesOutAfterItsRelativeTimeout) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(40ms);
    auto start = Clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(Clock::now() - start, 35ms);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
}

TEST_F(Dispatcher, ASemaphoreCountsAndNeverPassesItsLimit) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 0);
    NTSTATUS raised = STATUS_SUCCESS;
    VK_TRY { KeReleaseSemaphore(&semaphore, 0, 1, FALSE); }
    VK_EXCEPT(EXCEPTION_EXECUTE_HANDLER) { raised = GetExceptionCode(); }
    EXPECT_EQ(raised, STATUS_SEMAPHORE_LIMIT_EXCEEDED);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(Dispatcher, WaitAnyNamesTheSignalledObjectAndWaitAllNeedsThemAll) {
    KEVENT first, second;
    KeInitializeEvent(&first, NotificationEvent, FALSE);
    KeInitializeEvent(&second, NotificationEvent, FALSE);
    PVOID objects[2] = {&first, &second};
    KWAIT_BLOCK blocks[2];
    KeSetEvent(&second, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, blocks),
              STATUS_WAIT_1);
    LARGE_INTEGER timeout = Relative(20ms);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, blocks),
              STATUS_TIMEOUT);
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        KeSetEvent(&first, IO_NO_INCREMENT, FALSE);
    });
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, blocks),
              STATUS_WAIT_0);
    setter.join();
}

TEST_F(Dispatcher, AMutexIsRecursiveForItsOwnerAndHeldAgainstOthers) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    NTSTATUS other = STATUS_SUCCESS;
    std::thread([&] {
        LARGE_INTEGER zero{};
        other = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero);
        KeReleaseMutex(&mutex, FALSE);  // not its owner
    }).join();
    EXPECT_EQ(other, STATUS_TIMEOUT);
    auto reports = takeViolations();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("does not own it"), std::string::npos);
    KeReleaseMutex(&mutex, FALSE);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(Dispatcher, ASpinLockInsideASharedRecordKeepsItsDataConsistent) {
    // A lock word at a fixed offset of a record that several drivers share.
    alignas(16) unsigned char table[1040] = {};
    auto* lock = reinterpret_cast<PKSPIN_LOCK>(table + 1024);
    auto* counter = reinterpret_cast<volatile LONG64*>(table);
    KeInitializeSpinLock(lock);
    std::atomic<bool> wrongIrql{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                KIRQL old;
                KeAcquireSpinLock(lock, &old);
                if (KeGetCurrentIrql() != DISPATCH_LEVEL) wrongIrql = true;
                *counter = *counter + 1;
                KeReleaseSpinLock(lock, old);
                if (KeGetCurrentIrql() != PASSIVE_LEVEL) wrongIrql = true;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(*counter, 80000);
    EXPECT_FALSE(wrongIrql.load());
    EXPECT_EQ(*lock, 0u);
}

TEST_F(Dispatcher, AFastMutexRaisesToApcLevelAndExcludesOtherThreads) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    BOOLEAN other = TRUE;
    std::thread([&] { other = ExTryToAcquireFastMutex(&mutex); }).join();
    EXPECT_FALSE(other);
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        ExAcquireFastMutex(&mutex);
        acquired = true;
        ExReleaseFastMutex(&mutex);
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(acquired.load());
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    waiter.join();
    EXPECT_TRUE(acquired.load());
}

TEST_F(Dispatcher, AResourceAdmitsManyReadersOrOneWriter) {
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    std::atomic<int> readersInside{0}, maxReaders{0};
    std::atomic<bool> writerInside{false}, overlap{false};
    auto reader = [&] {
        for (int i = 0; i < 200; ++i) {
            KeEnterCriticalRegion();
            ExAcquireResourceSharedLite(&resource, TRUE);
            int now = ++readersInside;
            maxReaders = std::max(maxReaders.load(), now);
            if (writerInside) overlap = true;
            std::this_thread::yield();
            --readersInside;
            ExReleaseResourceLite(&resource);
            KeLeaveCriticalRegion();
        }
    };
    auto writer = [&] {
        for (int i = 0; i < 100; ++i) {
            KeEnterCriticalRegion();
            ExAcquireResourceExclusiveLite(&resource, TRUE);
            writerInside = true;
            if (readersInside) overlap = true;
            std::this_thread::yield();
            writerInside = false;
            ExReleaseResourceLite(&resource);
            KeLeaveCriticalRegion();
        }
    };
    std::thread r1(reader), r2(reader), r3(reader), w(writer);
    r1.join(), r2.join(), r3.join(), w.join();
    EXPECT_FALSE(overlap.load());
    EXPECT_GE(maxReaders.load(), 1);
    ExDeleteResourceLite(&resource);
}

struct ThreadProbe {
    std::atomic<bool> ran{false};
    KPRIORITY priority = 0;
};

TEST_F(Dispatcher, ASystemThreadRunsEndsAndCanBeWaitedFor) {
    static ThreadProbe probe;
    probe.ran = false;
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(
                  &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                  [](PVOID context) {
                      auto* p = static_cast<ThreadProbe*>(context);
                      KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
                      p->priority = KeQueryPriorityThread(KeGetCurrentThread());
                      p->ran = true;
                      PsTerminateSystemThread(STATUS_SUCCESS);
                  },
                  &probe),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_TRUE(probe.ran.load());
    EXPECT_EQ(probe.priority, LOW_REALTIME_PRIORITY);
}

TEST_F(Dispatcher, AThreadStillRunningAtShutdownIsReported) {
    static KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(
                  &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                  [](PVOID) { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); }, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(machine().runningSystemThreads(), 1u);
    shutdownMachine();
    auto reports = takeViolations();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("still runs at shutdown"), std::string::npos) << reports[0];
}

TEST_F(Dispatcher, ATimerSignalsAndItsDpcRunsAtDispatchLevel) {
    static KTIMER timer;
    static KDPC dpc;
    static std::atomic<int> dpcIrql{-1};
    dpcIrql = -1;
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID, PVOID, PVOID) { dpcIrql = KeGetCurrentIrql(); }, nullptr);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(10ms), &dpc));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    for (int i = 0; i < 15000 && dpcIrql < 0; ++i) std::this_thread::sleep_for(2ms);
    EXPECT_EQ(dpcIrql.load(), DISPATCH_LEVEL);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    KeSetTimer(&timer, Relative(10s), nullptr);
    EXPECT_TRUE(KeCancelTimer(&timer));
}

}  // namespace
