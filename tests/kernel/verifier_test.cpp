// The rules the always-on verifier enforces, each provoked once: waits at the wrong IRQL
// or under a spin lock, pageable code at DISPATCH_LEVEL, registry calls above PASSIVE_LEVEL,
// pool misuse, lock misuse, bug checks; and the pool's failure injection and fill patterns.
#include <wdm.h>

#include <algorithm>
#include <string>

#include "sim/drivers.h"
#include "sim/pool.h"
#include "vorka_test_support.h"

namespace {

class Verifier : public vorka_test::MachineTest {
protected:
    // The single report a step produced, accepted.
    std::string OnlyReport() {
        auto reports = takeViolations();
        EXPECT_EQ(reports.size() - reported_, 1u);
        std::string last = reports.size() > reported_ ? reports.back() : std::string();
        reported_ = reports.size();
        return last;
    }
    void ExpectNoNewReport() { EXPECT_EQ(takeViolations().size(), reported_); }
    std::size_t reported_ = 0;
};

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

TEST_F(Verifier, WaitingAboveApcLevelIsReportedUnlessTheTimeoutIsZero) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
    ExpectNoNewReport();
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    KeLowerIrql(old);
    EXPECT_TRUE(Contains(OnlyReport(), "waits at IRQL 2"));
}

TEST_F(Verifier, WaitingWhileHoldingASpinLockIsReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeLowerIrql(PASSIVE_LEVEL);  // a driver that dropped the IRQL by hand, still holding the lock
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000;
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    EXPECT_TRUE(Contains(OnlyReport(), "holds 1 spin lock"));
}

void PageableRoutine() { PAGED_CODE(); }

TEST_F(Verifier, PageableCodeEnteredAtDispatchLevelIsReported) {
    PageableRoutine();
    ExpectNoNewReport();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PageableRoutine();
    KeLowerIrql(old);
    EXPECT_TRUE(Contains(OnlyReport(), "PageableRoutine"));
}

TEST_F(Verifier, RegistryCallsAbovePassiveLevelAreReported) {
    std::u16string path = u"\\Registry\\Machine\\System";
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    KeLowerIrql(old);
    EXPECT_TRUE(Contains(OnlyReport(), "ZwOpenKey"));
    if (NT_SUCCESS(status)) ZwClose(key);
}

TEST_F(Verifier, PoolFreedWithTheWrongTagOrTwiceIsReported) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, 32, sim::PoolTag("Tst1"));
    ExFreePoolWithTag(block, sim::PoolTag("Tst2"));
    EXPECT_TRUE(Contains(OnlyReport(), "allocated with tag 'Tst1' freed with tag 'Tst2'"));
    ExFreePoolWithTag(block, sim::PoolTag("Tst1"));
    EXPECT_TRUE(Contains(OnlyReport(), "freed twice"));
    int local = 0;
    ExFreePool(&local);
    EXPECT_TRUE(Contains(OnlyReport(), "is not an allocated pool block"));
}

TEST_F(Verifier, PagedPoolAtDispatchLevelIsReported) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* block = ExAllocatePoolWithTag(PagedPool, 16, sim::PoolTag("Page"));
    KeLowerIrql(old);
    EXPECT_TRUE(Contains(OnlyReport(), "paged pool (tag 'Page') allocated at IRQL 2"));
    ExFreePoolWithTag(block, sim::PoolTag("Page"));
    void* nonPaged = nullptr;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    nonPaged = ExAllocatePoolWithTag(NonPagedPoolNx, 16, sim::PoolTag("NPag"));
    KeLowerIrql(old);
    ExpectNoNewReport();
    ExFreePoolWithTag(nonPaged, sim::PoolTag("NPag"));
}

TEST_F(Verifier, PoolLeftAtShutdownIsReportedWithItsTag) {
    ExAllocatePoolWithTag(NonPagedPool, 40, sim::PoolTag("Lost"));
    shutdownMachine();
    auto reports = takeViolations();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(Contains(reports[0], "40 bytes of pool tag 'Lost'")) << reports[0];
}

TEST_F(Verifier, InjectedFailuresHitTheChosenAllocations) {
    auto& pool = machine().pool();
    pool.failNthAllocation(2);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, sim::PoolTag("Inj1"));
    void* second = ExAllocatePoolWithTag(NonPagedPool, 8, sim::PoolTag("Inj1"));
    void* third = ExAllocatePoolWithTag(NonPagedPool, 8, sim::PoolTag("Inj1"));
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);

    pool.failTag(sim::PoolTag("Inj2"));
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, sim::PoolTag("Inj2")), nullptr);
    pool.failIf([](const sim::PoolRequest& request) { return request.size > 1000; });
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED, 4096, sim::PoolTag("Big1")), nullptr);
    EXPECT_EQ(pool.injectedFailures(), 3u);
    pool.clearFailures();
    void* big = ExAllocatePool2(POOL_FLAG_NON_PAGED, 4096, sim::PoolTag("Big1"));
    ASSERT_NE(big, nullptr);
    ExFreePoolWithTag(big, sim::PoolTag("Big1"));
    ExFreePoolWithTag(first, sim::PoolTag("Inj1"));
    ExFreePoolWithTag(third, sim::PoolTag("Inj1"));
}

TEST_F(Verifier, FreshPoolIsNotZeroedButExAllocatePool2ZeroesIt) {
    auto* raw = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 64, sim::PoolTag("Fill")));
    auto* zeroed = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, sim::PoolTag("Zero")));
    EXPECT_TRUE(std::any_of(raw, raw + 64, [](unsigned char b) { return b != 0; }))
        << "code that forgets to clear a record must not find zeros by luck";
    EXPECT_TRUE(std::all_of(zeroed, zeroed + 64, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(machine().pool().liveBlocksOf("kernel").size(), 2u);
    ExFreePoolWithTag(raw, sim::PoolTag("Fill"));
    ExFreePoolWithTag(zeroed, sim::PoolTag("Zero"));
}

TEST_F(Verifier, SpinLockMisuseIsReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    EXPECT_TRUE(Contains(OnlyReport(), "is not held"));
    KIRQL old, again;
    KeAcquireSpinLock(&lock, &old);
    KeAcquireSpinLock(&lock, &again);  // would hang on Windows
    EXPECT_TRUE(Contains(OnlyReport(), "acquired again"));
    KeReleaseSpinLock(&lock, old);
}

TEST_F(Verifier, AResourceTakenWithKernelApcsEnabledIsReported) {
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    ExAcquireResourceExclusiveLite(&resource, TRUE);
    EXPECT_TRUE(Contains(OnlyReport(), "KeEnterCriticalRegion"));
    ExReleaseResourceLite(&resource);
    ExDeleteResourceLite(&resource);
}

TEST_F(Verifier, ADispatchRoutineReturningAtARaisedIrqlIsReported) {
    PDEVICE_OBJECT device = nullptr;
    static PDRIVER_OBJECT driver;
    ASSERT_EQ(machine().drivers().loadBuiltIn(u"ktraise",
                                              [](PDRIVER_OBJECT d, PUNICODE_STRING) -> NTSTATUS {
                                                  driver = d;
                                                  d->MajorFunction[IRP_MJ_DEVICE_CONTROL] =
                                                      [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
                                                      KIRQL old;
                                                      KeRaiseIrql(DISPATCH_LEVEL, &old);
                                                      irp->IoStatus.Status = STATUS_SUCCESS;
                                                      IoCompleteRequest(irp, IO_NO_INCREMENT);
                                                      return STATUS_SUCCESS;
                                                  };
                                                  return STATUS_SUCCESS;
                                              }),
              STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x222000, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    IoCallDriver(device, irp);
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_TRUE(Contains(OnlyReport(), "returned at IRQL 2"));
    IoDeleteDevice(device);
}

using VerifierDeathTest = Verifier;

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer the quarantines of freed pool and freed IRPs are poisoned: a driver
// that reads freed memory is stopped at that read.
TEST_F(VerifierDeathTest, ReadingFreedPoolStopsAtTheRead) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto* block = static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 64, sim::PoolTag("Uaf1")));
    ExFreePoolWithTag(const_cast<unsigned char*>(block), sim::PoolTag("Uaf1"));
    EXPECT_DEATH((void)block[8], "use-after-poison");
}

TEST_F(VerifierDeathTest, ReadingAFreedIrpStopsAtTheRead) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoFreeIrp(irp);
    EXPECT_DEATH((void)*static_cast<volatile CCHAR*>(&irp->StackCount), "use-after-poison");
}
#endif

TEST_F(VerifierDeathTest, ABugCheckStopsTheMachine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, 1, 2, 3, 4),
                 "STOP: 0x000000C4.*DRIVER_VERIFIER_DETECTED_VIOLATION");
}

}  // namespace

namespace {

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer the quarantined block is poisoned: the late write itself is stopped.
TEST_F(VerifierDeathTest, WritingFreedPoolStopsAtTheWrite) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    constexpr ULONG kTag = vorka_test::PoolTag("aSUB");
    auto* block = static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 24, kTag));
    ExFreePoolWithTag(const_cast<unsigned char*>(block), kTag);
    EXPECT_DEATH(block[8] = 1, "use-after-poison");
}
#else
// A record written through a stale pointer after its free: the quarantined block no longer holds
// its fill, which the machine reports when it shuts down.
TEST_F(Verifier, PoolWrittenAfterItsFreeIsReportedAtShutdown) {
    constexpr ULONG kTag = vorka_test::PoolTag("aSUB");
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 24, kTag));
    ASSERT_NE(block, nullptr);
    ExFreePoolWithTag(block, kTag);
    ExpectNoNewReport();
    block[8] += 1;   // the late write
    shutdownMachine();
    auto reports = takeViolations();
    ASSERT_FALSE(reports.empty());
    EXPECT_TRUE(Contains(reports.back(), "was written after it was freed")) << reports.back();
    EXPECT_TRUE(Contains(reports.back(), "'aSUB'")) << reports.back();
}
#endif

}  // namespace
