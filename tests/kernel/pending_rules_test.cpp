// The I/O verifier's pending rules, each broken once by the kt_rules driver: a dispatch routine
// that returns STATUS_PENDING must have marked the request pending, one that returns anything
// else must return the status it completed the request with. And how a request the I/O manager
// built for a waiting kernel caller finishes: a request that fails at once, without being
// pending, leaves the caller's status block and event alone, as on Windows.
#include <wdm.h>

#include <string>

#include "kt_ioctl.h"
#include "sim/drivers.h"
#include "sim/process.h"
#include "vorka_test_support.h"

namespace {

class PendingRules : public vorka_test::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        machine().drivers().installService(u"kt_rules");
        ASSERT_EQ(machine().drivers().load(u"kt_rules"), STATUS_SUCCESS);
        std::u16string name = u"\\Device\\KtRules";
        UNICODE_STRING us{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
        ASSERT_EQ(IoGetDeviceObjectPointer(&us, FILE_READ_DATA, &file_, &device_), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (file_) ObDereferenceObject(file_);
        MachineTest::TearDown();
    }

    // A device control from an application, answering `status` where the code reads one.
    NTSTATUS FromApplication(ULONG code, NTSTATUS status = STATUS_SUCCESS) {
        auto& app = machine().processes().create("app");
        HANDLE handle = nullptr;
        EXPECT_EQ(app.createFile(&handle, u"\\\\.\\KtRules", GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
        auto* input = static_cast<NTSTATUS*>(app.alloc(sizeof(NTSTATUS)));
        *input = status;
        NTSTATUS result = app.deviceIoControl(handle, code, input, sizeof *input, nullptr, 0);
        app.close(handle);
        machine().processes().exit(app);
        return result;
    }

    // The one report the verifier made since the last call, accepted.
    std::string OnlyReport() {
        auto reports = takeViolations();
        EXPECT_EQ(reports.size(), 1u);
        return reports.empty() ? std::string() : reports.back();
    }

    PDEVICE_OBJECT device_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
};

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

TEST_F(PendingRules, ReturningPendingWithoutMarkingTheRequestIsReported) {
    EXPECT_EQ(FromApplication(IOCTL_KTRULES_PEND_UNMARKED), STATUS_SUCCESS);
    std::string report = OnlyReport();
    EXPECT_TRUE(Contains(report, "returned STATUS_PENDING without marking the request pending")) << report;
    EXPECT_TRUE(Contains(report, "kt_rules")) << report;
}

TEST_F(PendingRules, AnUnmarkedRequestCompletedLaterFromADpcIsReportedToo) {
    EXPECT_EQ(FromApplication(IOCTL_KTRULES_PEND_UNMARKED_DPC), STATUS_SUCCESS);
    std::string report = OnlyReport();
    EXPECT_TRUE(Contains(report, "returned STATUS_PENDING without marking the request pending")) << report;
    EXPECT_TRUE(Contains(report, "in kt_rules for major 0xE")) << report;
}

// The driver's unload deletes its device while a file is still open on it, and that file closes
// (as when a request completes late on another processor) just while the loader looks at the
// devices the driver left: the device object goes only after the loader has looked at it.
TEST_F(PendingRules, ADeviceWhoseLastFileClosesWhileItsDriverUnloadsGoesCleanly) {
    bool closed = false;
    machine().drivers().setUnloadWalkObserver([&](std::u16string_view service) {
        if (service != u"kt_rules" || !file_) return;
        ObDereferenceObject(file_);
        file_ = nullptr;
        closed = true;
    });
    EXPECT_EQ(machine().drivers().unload(u"kt_rules"), STATUS_SUCCESS);
    machine().drivers().setUnloadWalkObserver(nullptr);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(machine().drivers().isLoaded(u"kt_rules"));
    EXPECT_TRUE(takeViolations().empty());
}

TEST_F(PendingRules, ReturningAnotherStatusThanTheRequestWasCompletedWithIsReported) {
    FromApplication(IOCTL_KTRULES_WRONG_STATUS);
    std::string report = OnlyReport();
    EXPECT_TRUE(Contains(report, "returned 0xC0000001 but completed the request with 0x0")) << report;
}

TEST_F(PendingRules, MarkingARequestPendingAndReturningItsStatusIsReported) {
    FromApplication(IOCTL_KTRULES_MARKED_NOT_PENDING);
    std::string report = OnlyReport();
    EXPECT_TRUE(Contains(report, "marked the request pending but returned 0x0")) << report;
}

TEST_F(PendingRules, ARequestMarkedPendingAndCompletedFromADpcReachesTheApplication) {
    EXPECT_EQ(FromApplication(IOCTL_KTRULES_PEND_DPC, STATUS_SUCCESS), STATUS_SUCCESS);
    EXPECT_EQ(FromApplication(IOCTL_KTRULES_PEND_DPC, STATUS_DEVICE_NOT_READY), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(FromApplication(IOCTL_KTRULES_FAIL, STATUS_INVALID_PARAMETER), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(takeViolations().empty());
}

// A kernel caller's request built by IoBuildDeviceIoControlRequest, with a status block
// that still shows `kUntouched` where the I/O manager did not write it.
constexpr NTSTATUS kUntouched = static_cast<NTSTATUS>(0x12345678);

struct KernelCall {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    NTSTATUS returned;
};

void Send(PDEVICE_OBJECT device, ULONG code, NTSTATUS answer, KernelCall& call) {
    KeInitializeEvent(&call.event, NotificationEvent, FALSE);
    call.iosb.Status = kUntouched;
    call.iosb.Information = 77;
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, &answer, sizeof answer, nullptr, 0, FALSE, &call.event,
                                             &call.iosb);
    ASSERT_NE(irp, nullptr);
    call.returned = IoCallDriver(device, irp);
}

TEST_F(PendingRules, ARequestThatFailsAtOnceLeavesTheKernelCallersStatusBlockAndEventAlone) {
    KernelCall call;
    Send(device_, IOCTL_KTRULES_FAIL, STATUS_INVALID_PARAMETER, call);
    EXPECT_EQ(call.returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(call.iosb.Status, kUntouched);
    EXPECT_EQ(call.iosb.Information, 77u);
    EXPECT_EQ(KeReadStateEvent(&call.event), 0);
}

TEST_F(PendingRules, ARequestThatSucceedsAtOnceWritesTheStatusBlockAndSetsTheEvent) {
    KernelCall call;
    Send(device_, IOCTL_KTRULES_FAIL, STATUS_SUCCESS, call);
    EXPECT_EQ(call.returned, STATUS_SUCCESS);
    EXPECT_EQ(call.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(call.iosb.Information, 0u);
    EXPECT_EQ(KeReadStateEvent(&call.event), 1);
}

TEST_F(PendingRules, ARequestThatFailsAfterPendingWritesTheStatusBlockAndSetsTheEvent) {
    KernelCall call;
    Send(device_, IOCTL_KTRULES_PEND_DPC, STATUS_IO_DEVICE_ERROR, call);
    EXPECT_EQ(call.returned, STATUS_PENDING);
    KeWaitForSingleObject(&call.event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(call.iosb.Status, STATUS_IO_DEVICE_ERROR);
}

}  // namespace
