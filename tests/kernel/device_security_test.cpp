// Who may open a device: a named device that its driver gave no descriptor gets the I/O manager's
// default for its type; a driver's own DACL (set as a WDM driver sets it, through a handle from
// ObOpenObjectByPointer) decides the user-mode opens of each account; kernel-mode opens are not
// checked; and a handle can do only what its open was granted.
#include <ntifs.h>

#include <string>
#include <vector>

#include "sim/drivers.h"
#include "sim/process.h"
#include "vorka_test_support.h"

namespace {

#define IOCTL_SEC_WRITE_ACCESS CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA10, METHOD_BUFFERED, FILE_WRITE_ACCESS)

NTSTATUS CompleteEverything(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS SecurityEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& dispatch : driver->MajorFunction) dispatch = CompleteEverything;
    return STATUS_SUCCESS;
}

constexpr ACCESS_MASK kReadWrite = GENERIC_READ | GENERIC_WRITE;
// What CreateFile asks for when the caller asks for no data access.
constexpr ACCESS_MASK kAttributesOnly = SYNCHRONIZE | FILE_READ_ATTRIBUTES;

class DeviceSecurity : public vorka_test::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        ASSERT_EQ(machine().drivers().loadBuiltIn(u"ktsecure", SecurityEntry), STATUS_SUCCESS);
        driver_ = machine().drivers().find(u"ktsecure");
        admin_ = &machine().processes().create("admin.exe");
        backup_ = &machine().processes().create("backup.exe", false, sim::Account::BackupOperator);
        user_ = &machine().processes().create("user.exe", false, sim::Account::User);
    }
    void TearDown() override {
        for (PDEVICE_OBJECT device : created_) IoDeleteDevice(device);
        MachineTest::TearDown();
    }

    PDEVICE_OBJECT Create(std::u16string name, DEVICE_TYPE type, ULONG characteristics = 0) {
        UNICODE_STRING us{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
        PDEVICE_OBJECT device = nullptr;
        if (!NT_SUCCESS(IoCreateDevice(driver_, 0, &us, type, characteristics, FALSE, &device))) return nullptr;
        device->Flags |= DO_BUFFERED_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        created_.push_back(device);
        return device;
    }

    // System and Administrators all, Backup Operators read and write: set as a WDM driver does.
    NTSTATUS GiveOwnDacl(PDEVICE_OBJECT device) {
        PSE_EXPORTS exports = SeExports;
        alignas(4) UCHAR buffer[128];
        auto* acl = reinterpret_cast<PACL>(buffer);
        NTSTATUS status = RtlCreateAcl(acl, sizeof buffer, ACL_REVISION);
        if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, exports->SeLocalSystemSid);
        if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, exports->SeAliasAdminsSid);
        if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, kReadWrite, exports->SeAliasBackupOpsSid);
        SECURITY_DESCRIPTOR sd;
        if (NT_SUCCESS(status)) status = RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(&sd, TRUE, acl, FALSE);
        HANDLE handle = nullptr;
        if (NT_SUCCESS(status))
            status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode, &handle);
        if (!NT_SUCCESS(status)) return status;
        status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &sd);
        ZwClose(handle);
        return status;
    }

    // Opens `name` in `process` and closes it again at once; the status of the open.
    NTSTATUS Open(sim::Process& process, std::u16string_view name, ACCESS_MASK access) {
        HANDLE handle = nullptr;
        NTSTATUS status = process.createFile(&handle, name, access);
        if (NT_SUCCESS(status)) process.close(handle);
        return status;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    sim::Process* admin_ = nullptr;
    sim::Process* backup_ = nullptr;
    sim::Process* user_ = nullptr;
    std::vector<PDEVICE_OBJECT> created_;
};

TEST_F(DeviceSecurity, ADeviceWithoutADescriptorOfItsOwnGetsTheDefaultOfItsType) {
    ASSERT_NE(Create(u"\\Device\\KtPlain", FILE_DEVICE_UNKNOWN), nullptr);
    ASSERT_NE(Create(u"\\Device\\KtCdRom", FILE_DEVICE_CD_ROM), nullptr);
    ASSERT_NE(Create(u"\\Device\\KtDisk", FILE_DEVICE_DISK), nullptr);

    // An ordinary device: every local user reads and writes it, but only the administrators may
    // change its descriptor or delete it.
    EXPECT_EQ(Open(*user_, u"\\Device\\KtPlain", kReadWrite), STATUS_SUCCESS);
    EXPECT_EQ(Open(*user_, u"\\Device\\KtPlain", WRITE_DAC), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(*user_, u"\\Device\\KtPlain", GENERIC_ALL), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(*admin_, u"\\Device\\KtPlain", GENERIC_ALL), STATUS_SUCCESS);

    // A CD-ROM: everybody reads it, nobody but the administrators writes it.
    EXPECT_EQ(Open(*user_, u"\\Device\\KtCdRom", GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(Open(*user_, u"\\Device\\KtCdRom", GENERIC_WRITE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(*backup_, u"\\Device\\KtCdRom", GENERIC_WRITE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(*admin_, u"\\Device\\KtCdRom", kReadWrite), STATUS_SUCCESS);

    // A disk: a plain user may look at it (attributes) but read no sector of it.
    EXPECT_EQ(Open(*user_, u"\\Device\\KtDisk", kAttributesOnly), STATUS_SUCCESS);
    EXPECT_EQ(Open(*user_, u"\\Device\\KtDisk", GENERIC_READ), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(*admin_, u"\\Device\\KtDisk", kReadWrite), STATUS_SUCCESS);
}

TEST_F(DeviceSecurity, ADriversOwnDaclDecidesEachAccountsUserModeOpens) {
    PDEVICE_OBJECT device = Create(u"\\Device\\KtGuarded", FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(GiveOwnDacl(device), STATUS_SUCCESS);

    EXPECT_EQ(Open(*user_, u"\\Device\\KtGuarded", kReadWrite), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(*user_, u"\\Device\\KtGuarded", GENERIC_READ), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(*user_, u"\\Device\\KtGuarded", kAttributesOnly), STATUS_ACCESS_DENIED)
        << "nobody else gets anything, not even the attributes";
    EXPECT_EQ(Open(*user_, u"\\Device\\KtGuarded\\below", GENERIC_READ), STATUS_ACCESS_DENIED)
        << "a name below a secure-open device is checked the same";
    EXPECT_EQ(Open(*user_, u"\\Device\\KtGuarded", MAXIMUM_ALLOWED), STATUS_ACCESS_DENIED);

    EXPECT_EQ(Open(*backup_, u"\\Device\\KtGuarded", kReadWrite | SYNCHRONIZE), STATUS_SUCCESS);
    EXPECT_EQ(Open(*backup_, u"\\Device\\KtGuarded", WRITE_DAC), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(*backup_, u"\\Device\\KtGuarded", DELETE), STATUS_ACCESS_DENIED);

    EXPECT_EQ(Open(*admin_, u"\\Device\\KtGuarded", GENERIC_ALL), STATUS_SUCCESS);

    // Kernel-mode opens are not checked: a driver reaches the device whoever's thread it runs in.
    sim::ProcessScope asUser(*user_);
    std::u16string name = u"\\Device\\KtGuarded";
    UNICODE_STRING us{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&us, FILE_READ_DATA | FILE_WRITE_DATA, &file, &top), STATUS_SUCCESS);
    EXPECT_EQ(top, device);
    ObDereferenceObject(file);
}

TEST_F(DeviceSecurity, AHandleDoesOnlyWhatItsOpenWasGranted) {
    PDEVICE_OBJECT device = Create(u"\\Device\\KtGranted", FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(GiveOwnDacl(device), STATUS_SUCCESS);
    UCHAR* buffer = static_cast<UCHAR*>(backup_->alloc(16));

    HANDLE reader = nullptr;
    ASSERT_EQ(backup_->createFile(&reader, u"\\Device\\KtGranted", GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(backup_->read(reader, buffer, 16), STATUS_SUCCESS);
    EXPECT_EQ(backup_->write(reader, buffer, 16), STATUS_ACCESS_DENIED);
    EXPECT_EQ(backup_->deviceIoControl(reader, IOCTL_SEC_WRITE_ACCESS, buffer, 16, buffer, 16), STATUS_ACCESS_DENIED);
    backup_->close(reader);

    HANDLE most = nullptr;
    ASSERT_EQ(backup_->createFile(&most, u"\\Device\\KtGranted", MAXIMUM_ALLOWED), STATUS_SUCCESS)
        << "the most the DACL gives a backup operator: read and write";
    EXPECT_EQ(backup_->write(most, buffer, 16), STATUS_SUCCESS);
    EXPECT_EQ(backup_->deviceIoControl(most, IOCTL_SEC_WRITE_ACCESS, buffer, 16, buffer, 16), STATUS_SUCCESS);
    backup_->close(most);

    // Without FILE_DEVICE_SECURE_OPEN, a name below the device is the driver's to check.
    PDEVICE_OBJECT open = Create(u"\\Device\\KtNamespace", FILE_DEVICE_UNKNOWN);
    ASSERT_NE(open, nullptr);
    ASSERT_EQ(GiveOwnDacl(open), STATUS_SUCCESS);
    EXPECT_EQ(Open(*user_, u"\\Device\\KtNamespace", GENERIC_READ), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(*user_, u"\\Device\\KtNamespace\\file", GENERIC_READ), STATUS_SUCCESS);
}

TEST_F(DeviceSecurity, AnAclTooSmallForTheNextEntryIsRefusedAndLeftAsItWas) {
    alignas(4) UCHAR buffer[sizeof(ACL) + 20];
    auto* acl = reinterpret_cast<PACL>(buffer);
    ASSERT_EQ(RtlCreateAcl(acl, sizeof buffer, ACL_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeLocalSystemSid), STATUS_SUCCESS)
        << "8 bytes of entry and 12 of S-1-5-18";
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeAliasAdminsSid),
              STATUS_ALLOTTED_SPACE_EXCEEDED);
    EXPECT_EQ(acl->AceCount, 1);
    EXPECT_EQ(RtlLengthSid(SeExports->SeAliasBackupOpsSid), 16u) << "S-1-5-32-551";
}

}  // namespace
