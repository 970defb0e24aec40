// Asynchronous (overlapped) device I/O of an application: a request that goes on after the call,
// GetOverlappedResult with and without waiting, events, CancelIo and CancelIoEx, and the
// cancellation of a thread's requests when the thread exits, all met by a driver's cancel
// routine (kt_rules).
#include <cstring>
#include <optional>
#include <thread>

#include "kt_ioctl.h"
#include "machine_fixture.h"
#include "sim/drivers.h"
#include "sim/process.h"
#include "sim/win32.h"
#include "windows.h"

namespace {

LPCWSTR W(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }

class Overlapped : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        machine().drivers().installService(u"kt_rules");
        ASSERT_EQ(machine().drivers().load(u"kt_rules"), STATUS_SUCCESS);
        process_ = &machine().processes().create("tapeapp.exe");
        scope_.emplace(*process_);
        file_ = CreateFileW(W(u"\\\\.\\KtRules"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(file_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
        scope_.reset();
        MachineTest::TearDown();
    }

    // An OVERLAPPED in the application's memory, with an event when asked.
    OVERLAPPED* NewOverlapped(bool withEvent) {
        auto* overlapped = static_cast<OVERLAPPED*>(process_->alloc(sizeof(OVERLAPPED)));
        if (withEvent) overlapped->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return overlapped;
    }
    // Starts a request that the driver holds until it is cancelled.
    void StartHeld(OVERLAPPED* overlapped) {
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(file_, IOCTL_KTRULES_WAIT_FOR_CANCEL, nullptr, 0, nullptr, 0, nullptr, overlapped));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    DWORD ResultError(OVERLAPPED* overlapped, BOOL wait) {
        DWORD bytes = 0;
        SetLastError(0);
        EXPECT_FALSE(GetOverlappedResult(file_, overlapped, &bytes, wait));
        return GetLastError();
    }

    sim::Process* process_ = nullptr;
    std::optional<sim::win32::CallerScope> scope_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

TEST_F(Overlapped, ARequestGoesOnAfterTheCallAndCancelIoExEndsIt) {
    OVERLAPPED* overlapped = NewOverlapped(true);
    StartHeld(overlapped);
    EXPECT_EQ(ResultError(overlapped, FALSE), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(WaitForSingleObject(overlapped->hEvent, 20), static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_TRUE(CancelIoEx(file_, overlapped)) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(overlapped->hEvent, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(ResultError(overlapped, TRUE), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(CancelIoEx(file_, overlapped)) << "nothing left to cancel";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    CloseHandle(overlapped->hEvent);
}

TEST_F(Overlapped, WithoutAnEventTheFileHandleIsSignalledWhenTheRequestEnds) {
    OVERLAPPED* overlapped = NewOverlapped(false);
    auto* status = static_cast<NTSTATUS*>(process_->alloc(sizeof(NTSTATUS)));
    *status = STATUS_DEVICE_NOT_READY;  // completed later, from a DPC
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(file_, IOCTL_KTRULES_PEND_DPC, status, sizeof *status, nullptr, 0, nullptr,
                                 overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(ResultError(overlapped, TRUE), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(static_cast<NTSTATUS>(overlapped->Internal), STATUS_DEVICE_NOT_READY);
}

TEST_F(Overlapped, ARequestThatFailsAtOnceReportsItsErrorAndLeavesTheOverlappedPending) {
    OVERLAPPED* overlapped = NewOverlapped(true);
    auto* status = static_cast<NTSTATUS*>(process_->alloc(sizeof(NTSTATUS)));
    *status = STATUS_INVALID_PARAMETER;
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(file_, IOCTL_KTRULES_FAIL, status, sizeof *status, nullptr, 0, nullptr, overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForSingleObject(overlapped->hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a request that failed at once sets no event";
    *status = STATUS_SUCCESS;
    DWORD bytes = 77;
    EXPECT_TRUE(DeviceIoControl(file_, IOCTL_KTRULES_FAIL, status, sizeof *status, nullptr, 0, &bytes, overlapped));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(WaitForSingleObject(overlapped->hEvent, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(overlapped->hEvent);
}

TEST_F(Overlapped, CancelIoCancelsOnlyTheCallingThreadsRequests) {
    OVERLAPPED* mine = NewOverlapped(true);
    OVERLAPPED* theirs = NewOverlapped(true);
    StartHeld(mine);
    std::thread other([&] {
        sim::win32::CallerScope scope(*process_);
        StartHeld(theirs);
        EXPECT_TRUE(CancelIo(file_));  // cancels the other thread's request only
        EXPECT_EQ(WaitForSingleObject(theirs->hEvent, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    });
    other.join();
    EXPECT_EQ(static_cast<NTSTATUS>(theirs->Internal), STATUS_CANCELLED);
    EXPECT_EQ(ResultError(mine, FALSE), static_cast<DWORD>(ERROR_IO_INCOMPLETE)) << "this thread's request goes on";
    EXPECT_TRUE(CancelIo(file_));
    EXPECT_EQ(ResultError(mine, TRUE), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    CloseHandle(mine->hEvent);
    CloseHandle(theirs->hEvent);
}

TEST_F(Overlapped, AThreadThatExitsHasItsRequestsCancelled) {
    OVERLAPPED* overlapped = NewOverlapped(true);
    std::thread worker([&] {
        sim::win32::CallerScope scope(*process_);
        StartHeld(overlapped);
    });
    worker.join();  // the thread is gone: its request was cancelled and waited for
    EXPECT_EQ(static_cast<NTSTATUS>(overlapped->Internal), STATUS_CANCELLED);
    EXPECT_EQ(WaitForSingleObject(overlapped->hEvent, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(overlapped->hEvent);
}

TEST_F(Overlapped, AProcessThatExitsHasItsRequestsCancelledBeforeItsHandlesClose) {
    OVERLAPPED* overlapped = NewOverlapped(false);
    StartHeld(overlapped);
    scope_.reset();
    file_ = INVALID_HANDLE_VALUE;
    machine().processes().exit(*process_);  // returns: the held request did not keep the process
    EXPECT_TRUE(takeViolations().empty()) << "no request left behind";
}

}  // namespace
