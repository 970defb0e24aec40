// Pool and kernel-object rules of the verifier, each broken once by the kt_rules driver:
// zero-byte allocations, paged pool freed at DISPATCH_LEVEL, freeing memory that still holds
// a live ERESOURCE, an armed KTIMER or a queued KDPC (a bug check on Windows), initialising a
// live ERESOURCE again, a resource never deleted, and a dispatch routine that returns holding
// a KMUTEX or inside a guarded region. Also that a KMUTEX disables normal kernel APCs.
#include <wdm.h>

#include <string>

#include "kt_ioctl.h"
#include "sim/drivers.h"
#include "sim/process.h"
#include "vorka_test_support.h"

namespace {

class ObjectRules : public vorka_test::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        machine().drivers().installService(u"kt_rules");
        ASSERT_EQ(machine().drivers().load(u"kt_rules"), STATUS_SUCCESS);
        app_ = &machine().processes().create("app");
        ASSERT_EQ(app_->createFile(&handle_, u"\\\\.\\KtRules", GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
        input_ = static_cast<ULONG*>(app_->alloc(sizeof(ULONG)));
    }
    void TearDown() override {
        if (app_) app_->close(handle_);
        MachineTest::TearDown();
    }

    void Break(ULONG rule) {
        *input_ = rule;
        EXPECT_EQ(app_->deviceIoControl(handle_, IOCTL_KTRULES_BREAK, input_, sizeof(ULONG), nullptr, 0),
                  STATUS_SUCCESS);
    }

    // The reports since the last call, accepted; exactly one is expected.
    std::string OnlyReport() {
        auto reports = takeViolations();
        EXPECT_EQ(reports.size() - seen_, 1u);
        std::string last = reports.size() > seen_ ? reports.back() : std::string();
        seen_ = reports.size();
        return last;
    }

    sim::Process* app_ = nullptr;
    HANDLE handle_ = nullptr;
    ULONG* input_ = nullptr;
    std::size_t seen_ = 0;
};

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

TEST_F(ObjectRules, AZeroByteAllocationIsReported) {
    Break(KTRULES_ZERO_BYTE_POOL);
    std::string report = OnlyReport();
    EXPECT_TRUE(Contains(report, "pool allocation of 0 bytes (tag 'KtRl') by kt_rules")) << report;
}

TEST_F(ObjectRules, PagedPoolFreedAtDispatchLevelIsReported) {
    Break(KTRULES_PAGED_FREE_AT_DISPATCH);
    std::string report = OnlyReport();
    EXPECT_TRUE(Contains(report, "paged pool block")) << report;
    EXPECT_TRUE(Contains(report, "freed at IRQL 2")) << report;
}

TEST_F(ObjectRules, FreeingPoolThatHoldsALiveResourceIsReported) {
    Break(KTRULES_FREE_LIVE_RESOURCE);
    std::string report = OnlyReport();
    EXPECT_TRUE(Contains(report, "freed while it holds ERESOURCE")) << report;
}

TEST_F(ObjectRules, FreeingPoolThatHoldsAnArmedTimerIsReportedAndTheTimerNeverFires) {
    Break(KTRULES_FREE_ARMED_TIMER);
    std::string report = OnlyReport();
    EXPECT_TRUE(Contains(report, "freed while it holds KTIMER")) << report;
}

TEST_F(ObjectRules, FreeingPoolThatHoldsAQueuedDpcIsReportedAndTheDpcNeverRuns) {
    Break(KTRULES_FREE_QUEUED_DPC);
    std::string report = OnlyReport();
    EXPECT_TRUE(Contains(report, "freed while it holds KDPC")) << report;
}

TEST_F(ObjectRules, InitialisingALiveResourceAgainIsReported) {
    Break(KTRULES_REINITIALIZE_RESOURCE);
    std::string report = OnlyReport();
    EXPECT_TRUE(Contains(report, "initialised again without ExDeleteResourceLite")) << report;
}

TEST_F(ObjectRules, AResourceNeverDeletedIsReportedWhenTheDriverUnloads) {
    Break(KTRULES_KEEP_GLOBAL_RESOURCE);
    app_->close(handle_);
    app_ = nullptr;
    EXPECT_EQ(takeViolations().size(), 0u);
    machine().drivers().unload(u"kt_rules");
    std::string report = OnlyReport();
    EXPECT_TRUE(Contains(report, "driver kt_rules unloaded with its global ERESOURCE")) << report;
}

TEST_F(ObjectRules, ADispatchRoutineReturningHoldingAMutexIsReported) {
    Break(KTRULES_RETURN_HOLDING_MUTEX);
    std::string report = OnlyReport();
    EXPECT_TRUE(Contains(report, "returned holding 1 KMUTEX(es) (called holding 0)")) << report;
    Break(KTRULES_RELEASE_MUTEX);  // the same thread owns it: it may release it
    EXPECT_TRUE(Contains(OnlyReport(), "returned holding 0 KMUTEX(es) (called holding 1)"));
}

TEST_F(ObjectRules, ADispatchRoutineReturningInsideAGuardedRegionIsReported) {
    Break(KTRULES_RETURN_IN_GUARDED_REGION);
    std::string report = OnlyReport();
    EXPECT_TRUE(Contains(report, "returned in guarded region depth 1")) << report;
    Break(KTRULES_LEAVE_GUARDED_REGION);
    EXPECT_TRUE(Contains(OnlyReport(), "returned in guarded region depth 0"));
}

TEST_F(ObjectRules, AThreadHoldingAMutexHasKernelApcsDisabled) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);  // recursively
    ExAcquireResourceExclusiveLite(&resource, TRUE);  // allowed: no KeEnterCriticalRegion needed
    ExReleaseResourceLite(&resource);
    KeReleaseMutex(&mutex, FALSE);
    ExAcquireResourceExclusiveLite(&resource, TRUE);  // still held once
    ExReleaseResourceLite(&resource);
    EXPECT_EQ(takeViolations().size(), 0u);
    KeReleaseMutex(&mutex, FALSE);
    ExAcquireResourceExclusiveLite(&resource, TRUE);  // released: APCs are enabled again
    ExReleaseResourceLite(&resource);
    EXPECT_TRUE(Contains(OnlyReport(), "KeEnterCriticalRegion"));
    ExDeleteResourceLite(&resource);
}

}  // namespace
