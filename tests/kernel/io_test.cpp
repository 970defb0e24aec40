// Opening, naming and talking to devices: symbolic links and name collisions, the
// create/cleanup/close sequence of IoGetDeviceObjectPointer, deferred deletion of a device
// that is still open, exclusive devices, and the buffer handling of device-control, read
// and write requests from applications and from kernel code.
#include <wdm.h>

#include <cstring>
#include <set>
#include <vector>

#include "kt_ioctl.h"
#include "sim/drivers.h"
#include "sim/objects.h"
#include "sim/pool.h"
#include "sim/process.h"
#include "vorka_test_support.h"

namespace {

#define IOCTL_FILES_FILL CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA00, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_FILES_OUT_DIRECT CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA01, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_FILES_NEITHER CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA02, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_FILES_READ_ACCESS CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA03, METHOD_BUFFERED, FILE_READ_ACCESS)

// What the driver of the test devices saw and how it answers.
struct Seen {
    UCHAR major;
    PDEVICE_OBJECT device;
    PFILE_OBJECT file;
    KPROCESSOR_MODE mode;
    PVOID systemBuffer;
    PVOID userBuffer;
    PVOID type3Input;
    PMDL mdl;
    ULONG length;
};

struct Answer {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    UCHAR fill = 0xAB;
    ULONG fillCount = 0;
} answer;

std::vector<Seen> seen;

NTSTATUS FilesDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Seen record{stack->MajorFunction, device, stack->FileObject, irp->RequestorMode, irp->AssociatedIrp.SystemBuffer,
                irp->UserBuffer, nullptr, irp->MdlAddress, 0};
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        record.type3Input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
        record.length = stack->Parameters.DeviceIoControl.OutputBufferLength;
        if (answer.fillCount && irp->AssociatedIrp.SystemBuffer)
            std::memset(irp->AssociatedIrp.SystemBuffer, answer.fill, answer.fillCount);
    } else if (stack->MajorFunction == IRP_MJ_READ || stack->MajorFunction == IRP_MJ_WRITE) {
        record.length = stack->Parameters.Read.Length;
        if (stack->MajorFunction == IRP_MJ_READ && irp->AssociatedIrp.SystemBuffer)
            std::memset(irp->AssociatedIrp.SystemBuffer, answer.fill, stack->Parameters.Read.Length);
    }
    seen.push_back(record);
    NTSTATUS status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_READ ||
        stack->MajorFunction == IRP_MJ_WRITE) {
        status = answer.status;
        irp->IoStatus.Information = answer.information;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FilesEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& dispatch : driver->MajorFunction) dispatch = FilesDispatch;
    return STATUS_SUCCESS;
}

UNICODE_STRING Counted(std::u16string& text) {
    UNICODE_STRING s;
    s.Buffer = text.data();
    s.Length = static_cast<USHORT>(text.size() * 2);
    s.MaximumLength = s.Length;
    return s;
}

class DeviceIo : public vorka_test::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        seen.clear();
        answer = Answer{};
        ASSERT_EQ(machine().drivers().loadBuiltIn(u"ktfiles", FilesEntry), STATUS_SUCCESS);
        driver_ = machine().drivers().find(u"ktfiles");
    }
    void TearDown() override {
        for (PDEVICE_OBJECT device : created_)
            if (!deleted_.count(device)) IoDeleteDevice(device);
        MachineTest::TearDown();
    }

    PDEVICE_OBJECT Create(std::u16string name, ULONG flags = DO_BUFFERED_IO, BOOLEAN exclusive = FALSE) {
        UNICODE_STRING us = Counted(name);
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(driver_, 0, name.empty() ? nullptr : &us, FILE_DEVICE_UNKNOWN, 0, exclusive,
                                         &device);
        if (!NT_SUCCESS(status)) return nullptr;
        device->Flags |= flags;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        created_.push_back(device);
        return device;
    }
    void Delete(PDEVICE_OBJECT device) {
        deleted_.insert(device);
        IoDeleteDevice(device);
    }
    std::vector<UCHAR> Majors() {
        std::vector<UCHAR> majors;
        for (auto& record : seen) majors.push_back(record.major);
        return majors;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> created_;
    std::set<PDEVICE_OBJECT> deleted_;
};

// ---- Names and links ---------------------------------------------------------------------------

TEST_F(DeviceIo, TheDosDevicesNamesAreOneDirectoryReachedThroughLinks) {
    PDEVICE_OBJECT device = Create(u"\\Device\\KtTape0");
    std::u16string link = u"\\DosDevices\\KtTape0", target = u"\\Device\\KtTape0";
    UNICODE_STRING usLink = Counted(link), usTarget = Counted(target);
    ASSERT_EQ(IoCreateSymbolicLink(&usLink, &usTarget), STATUS_SUCCESS);

    EXPECT_EQ(sim::FindDevice(u"\\??\\KtTape0"), device);
    EXPECT_EQ(sim::FindDevice(u"\\GLOBAL??\\kttape0"), device) << "names compare without case";
    auto& app = machine().processes().create("app");
    HANDLE handle = nullptr;
    ASSERT_EQ(app.createFile(&handle, u"\\\\.\\KtTape0", GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(app.close(handle), STATUS_SUCCESS);

    std::u16string again = u"\\??\\KtTape0";
    UNICODE_STRING usAgain = Counted(again);
    EXPECT_EQ(IoCreateSymbolicLink(&usAgain, &usTarget), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Create(u"\\Device\\KtTape0"), nullptr) << "a second device of the same name";
    EXPECT_EQ(IoDeleteSymbolicLink(&usAgain), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&usLink), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(app.createFile(&handle, u"\\\\.\\KtTape0", GENERIC_READ), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeviceIo, AnUnsetMajorFunctionAnswersInvalidDeviceRequest) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    // A driver object's unset slots point to the kernel's routine, not to NULL.
    PDRIVER_OBJECT fresh = nullptr;
    ASSERT_EQ(machine().drivers().loadBuiltIn(u"ktempty", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS {
        return STATUS_SUCCESS;
    }), STATUS_SUCCESS);
    fresh = machine().drivers().find(u"ktempty");
    PDEVICE_OBJECT bare = nullptr;
    ASSERT_EQ(IoCreateDevice(fresh, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &bare), STATUS_SUCCESS);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, bare, nullptr, 0, nullptr, &event, &iosb);
    iosb.Status = STATUS_PENDING;
    EXPECT_EQ(IoCallDriver(bare, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.Status, STATUS_PENDING) << "failed at once: the status is what IoCallDriver returned";
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    IoDeleteDevice(bare);
}

// ---- Opening from kernel code ----------------------------------------------------------------------

TEST_F(DeviceIo, GetDeviceObjectPointerOpensTheTopOfTheStackAndClosesOnTheLastReference) {
    PDEVICE_OBJECT bottom = Create(u"\\Device\\KtStacked");
    PDEVICE_OBJECT top = Create(u"");
    ASSERT_EQ(IoAttachDeviceToDeviceStack(top, bottom), bottom);

    std::u16string name = u"\\Device\\KtStacked";
    UNICODE_STRING us = Counted(name);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT related = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&us, FILE_READ_ATTRIBUTES, &file, &related), STATUS_SUCCESS);
    EXPECT_EQ(related, top);
    EXPECT_EQ(file->DeviceObject, bottom) << "the file object belongs to the named device";
    ASSERT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP}));
    EXPECT_EQ(seen[0].device, top) << "the create went to the top of the stack";
    EXPECT_EQ(seen[0].mode, KernelMode);
    EXPECT_EQ(bottom->ReferenceCount, 1);

    ObDereferenceObject(file);
    ASSERT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(seen[2].file, seen[0].file);
    EXPECT_EQ(bottom->ReferenceCount, 0);
    IoDetachDevice(bottom);
}

TEST_F(DeviceIo, AFailedCreateLeavesNoOpenFileBehind) {
    PDEVICE_OBJECT device = Create(u"\\Device\\KtRefuses");
    device->DriverObject->MajorFunction[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        irp->IoStatus.Status = STATUS_ACCESS_DENIED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_ACCESS_DENIED;
    };
    auto& app = machine().processes().create("app");
    HANDLE handle = nullptr;
    EXPECT_EQ(app.createFile(&handle, u"\\Device\\KtRefuses", GENERIC_READ), STATUS_ACCESS_DENIED);
    EXPECT_EQ(device->ReferenceCount, 0);
    EXPECT_TRUE(Majors().empty()) << "no cleanup or close for a create that failed";
    device->DriverObject->MajorFunction[IRP_MJ_CREATE] = FilesDispatch;
}

// ---- Deletion while open ------------------------------------------------------------------------------

TEST_F(DeviceIo, ADeletedDeviceLosesItsNameAtOnceButLivesUntilItsLastFileCloses) {
    PDEVICE_OBJECT device = Create(u"\\Device\\KtGoing");
    auto& app = machine().processes().create("app");
    HANDLE handle = nullptr;
    ASSERT_EQ(app.createFile(&handle, u"\\Device\\KtGoing", GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);

    Delete(device);
    EXPECT_EQ(sim::FindDevice(u"\\Device\\KtGoing"), nullptr);
    HANDLE second = nullptr;
    EXPECT_EQ(app.createFile(&second, u"\\Device\\KtGoing", GENERIC_READ), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_GT(sim::ObjectPointerCount(device), 0) << "the open file keeps the device object";
    EXPECT_EQ(driver_->DeviceObject, device) << "still on its driver's list";

    // The open handle still reaches the driver.
    char* buffer = static_cast<char*>(app.alloc(8));
    EXPECT_EQ(app.deviceIoControl(handle, IOCTL_FILES_FILL, buffer, 8, buffer, 8), STATUS_SUCCESS);
    seen.clear();
    EXPECT_EQ(app.close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(driver_->DeviceObject, nullptr) << "gone from its driver's list after the last close";
}

TEST_F(DeviceIo, AnExclusiveDeviceAdmitsOneOpenAtATime) {
    Create(u"\\Device\\KtExclusive", DO_BUFFERED_IO, TRUE);
    auto& app = machine().processes().create("app");
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(app.createFile(&first, u"\\Device\\KtExclusive", GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(app.createFile(&second, u"\\Device\\KtExclusive", GENERIC_READ), STATUS_ACCESS_DENIED);
    app.close(first);
    EXPECT_EQ(app.createFile(&second, u"\\Device\\KtExclusive", GENERIC_READ), STATUS_SUCCESS);
    app.close(second);
}

// ---- Buffers of application requests ---------------------------------------------------------------------

TEST_F(DeviceIo, BufferedOutputReturnsExactlyTheBytesTheDriverReports) {
    Create(u"\\Device\\KtBuffered");
    auto& app = machine().processes().create("app");
    HANDLE handle = nullptr;
    ASSERT_EQ(app.createFile(&handle, u"\\Device\\KtBuffered", GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
    auto* in = static_cast<UCHAR*>(app.alloc(4));
    auto* out = static_cast<UCHAR*>(app.alloc(16));
    std::memset(out, 0x11, 16);
    answer.fillCount = 16;
    answer.information = 6;
    ULONG_PTR information = 0;
    ASSERT_EQ(app.deviceIoControl(handle, IOCTL_FILES_FILL, in, 4, out, 16, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 6u);
    EXPECT_EQ(out[5], 0xAB);
    EXPECT_EQ(out[6], 0x11) << "bytes past Information stay the caller's";
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].mode, UserMode);
    EXPECT_NE(seen[1].systemBuffer, out) << "the driver works on a system copy";

    // A failure status returns no data.
    std::memset(out, 0x11, 16);
    answer.status = STATUS_IO_DEVICE_ERROR;
    EXPECT_EQ(app.deviceIoControl(handle, IOCTL_FILES_FILL, in, 4, out, 16, &information), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(out[0], 0x11);
    app.close(handle);
}

TEST_F(DeviceIo, ADriverReportingMoreThanTheBufferHoldsIsReportedAndCutToTheBuffer) {
    Create(u"\\Device\\KtOverflow");
    auto& app = machine().processes().create("app");
    HANDLE handle = nullptr;
    ASSERT_EQ(app.createFile(&handle, u"\\Device\\KtOverflow", GENERIC_READ), STATUS_SUCCESS);
    auto* out = static_cast<UCHAR*>(app.alloc(8));
    answer.fillCount = 8;
    answer.information = 64;
    app.deviceIoControl(handle, IOCTL_FILES_FILL, nullptr, 0, out, 8);
    auto reports = takeViolations();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("more than the caller's output buffer of 8 bytes"), std::string::npos) << reports[0];
    app.close(handle);
}

TEST_F(DeviceIo, BuffersOutsideTheApplicationsMemoryNeverReachTheDriver) {
    Create(u"\\Device\\KtProbe");
    auto& app = machine().processes().create("app");
    HANDLE handle = nullptr;
    ASSERT_EQ(app.createFile(&handle, u"\\Device\\KtProbe", GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
    seen.clear();
    char stackBuffer[16];  // host memory, not the process's
    EXPECT_EQ(app.deviceIoControl(handle, IOCTL_FILES_FILL, stackBuffer, 16, nullptr, 0), STATUS_ACCESS_VIOLATION);
    auto* small = static_cast<char*>(app.alloc(8));
    EXPECT_EQ(app.deviceIoControl(handle, IOCTL_FILES_FILL, nullptr, 0, small, 4096 * 2), STATUS_ACCESS_VIOLATION)
        << "a range running past the allocation";
    EXPECT_EQ(app.read(handle, stackBuffer, 16), STATUS_ACCESS_VIOLATION);
    EXPECT_TRUE(seen.empty());
    app.close(handle);
}

TEST_F(DeviceIo, DirectAndNeitherRequestsHandTheDriverTheCallersMemory) {
    Create(u"\\Device\\KtDirect");
    auto& app = machine().processes().create("app");
    HANDLE handle = nullptr;
    ASSERT_EQ(app.createFile(&handle, u"\\Device\\KtDirect", GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
    auto* in = static_cast<char*>(app.alloc(8));
    auto* out = static_cast<char*>(app.alloc(100));
    seen.clear();
    ASSERT_EQ(app.deviceIoControl(handle, IOCTL_FILES_OUT_DIRECT, in, 8, out, 100), STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 1u);
    ASSERT_NE(seen[0].mdl, nullptr);
    EXPECT_NE(seen[0].systemBuffer, in) << "the input is buffered";

    seen.clear();
    ASSERT_EQ(app.deviceIoControl(handle, IOCTL_FILES_NEITHER, in, 8, out, 100), STATUS_SUCCESS);
    EXPECT_EQ(seen[0].type3Input, in);
    EXPECT_EQ(seen[0].userBuffer, out);
    EXPECT_EQ(seen[0].mdl, nullptr);
    app.close(handle);
}

TEST_F(DeviceIo, ReadAndWriteFollowTheDevicesBufferingStyle) {
    Create(u"\\Device\\KtReadBuffered", DO_BUFFERED_IO);
    Create(u"\\Device\\KtReadDirect", DO_DIRECT_IO);
    auto& app = machine().processes().create("app");
    auto* data = static_cast<UCHAR*>(app.alloc(32));
    HANDLE buffered = nullptr, direct = nullptr;
    ASSERT_EQ(app.createFile(&buffered, u"\\Device\\KtReadBuffered", GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
    ASSERT_EQ(app.createFile(&direct, u"\\Device\\KtReadDirect", GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
    seen.clear();
    answer.information = 32;
    ULONG_PTR information = 0;
    ASSERT_EQ(app.read(buffered, data, 32, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 32u);
    EXPECT_EQ(data[31], 0xAB);
    EXPECT_NE(seen[0].systemBuffer, nullptr);
    EXPECT_EQ(seen[0].mdl, nullptr);

    ASSERT_EQ(app.write(direct, data, 32, &information), STATUS_SUCCESS);
    ASSERT_NE(seen[1].mdl, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(seen[1].mdl), 32u);
    app.close(buffered);
    app.close(direct);
}

TEST_F(DeviceIo, ControlCodesNeedTheAccessTheirCodeNames) {
    Create(u"\\Device\\KtAccess");
    auto& app = machine().processes().create("app");
    HANDLE writeOnly = nullptr;
    ASSERT_EQ(app.createFile(&writeOnly, u"\\Device\\KtAccess", GENERIC_WRITE), STATUS_SUCCESS);
    auto* out = static_cast<char*>(app.alloc(8));
    EXPECT_EQ(app.deviceIoControl(writeOnly, IOCTL_FILES_READ_ACCESS, nullptr, 0, out, 8), STATUS_ACCESS_DENIED);
    EXPECT_EQ(app.read(writeOnly, out, 8), STATUS_ACCESS_DENIED);
    EXPECT_EQ(app.deviceIoControl(writeOnly, IOCTL_FILES_FILL, nullptr, 0, out, 8), STATUS_SUCCESS);
    app.close(writeOnly);
}

TEST_F(DeviceIo, ClosingTheProcessClosesItsHandles) {
    Create(u"\\Device\\KtExit");
    auto& app = machine().processes().create("app");
    HANDLE handle = nullptr;
    ASSERT_EQ(app.createFile(&handle, u"\\Device\\KtExit", GENERIC_READ), STATUS_SUCCESS);
    seen.clear();
    machine().processes().exit(app);
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

// ---- Requests built by kernel code ------------------------------------------------------------------------

TEST_F(DeviceIo, AKernelBufferedRequestCopiesTheAnswerIntoTheCallersBuffer) {
    PDEVICE_OBJECT device = Create(u"\\Device\\KtKernel");
    UCHAR in[4] = {1, 2, 3, 4};
    UCHAR out[16] = {};
    answer.fillCount = 10;
    answer.information = 10;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_FILES_FILL, device, in, 4, out, 16, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Information, 10u);
    EXPECT_EQ(out[9], 0xAB);
    EXPECT_EQ(out[10], 0);
    EXPECT_EQ(seen.back().mode, KernelMode);
    EXPECT_EQ(machine().pool().liveCountWithTag(sim::PoolTag("IoSB")), 0u) << "the system buffer is freed";
}

}  // namespace

namespace {

class KernelImage : public vorka_test::MachineTest {};

TEST_F(KernelImage, ADriverBuiltAgainstEveryHeaderLoadsAndRuns) {
    machine().drivers().installService(u"kt_headers");
    EXPECT_EQ(machine().drivers().load(u"kt_headers"), STATUS_SUCCESS);
    EXPECT_EQ(machine().drivers().load(u"kt_headers"), STATUS_IMAGE_ALREADY_LOADED);
    EXPECT_EQ(machine().drivers().unload(u"kt_headers"), STATUS_SUCCESS);
    EXPECT_FALSE(machine().drivers().isLoaded(u"kt_headers"));
}

TEST_F(KernelImage, AServiceWithoutAnImageDoesNotLoad) {
    EXPECT_EQ(machine().drivers().load(u"kt_missing"), STATUS_OBJECT_NAME_NOT_FOUND) << "no service key";
    machine().drivers().installService(u"kt_missing");
    EXPECT_EQ(machine().drivers().load(u"kt_missing"), STATUS_OBJECT_NAME_NOT_FOUND) << "no image file";
}

TEST_F(KernelImage, TheKernelFindsOnlyItsOwnRoutinesByName) {
    auto lookup = [](std::u16string name) {
        UNICODE_STRING us{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
        return MmGetSystemRoutineAddress(&us);
    };
    EXPECT_EQ(lookup(u"RtlQueryRegistryValuesEx"), reinterpret_cast<PVOID>(&RtlQueryRegistryValuesEx));
    EXPECT_EQ(lookup(u"IoAllocateIrp"), reinterpret_cast<PVOID>(&IoAllocateIrp));
    EXPECT_EQ(lookup(u"malloc"), nullptr) << "not a kernel routine";
    EXPECT_EQ(lookup(u"NoSuchRoutine"), nullptr);
}

}  // namespace
