/*
 * Who may open a bus driver's named devices. A named device object without a descriptor of its own
 * gets the I/O manager's default for its type, which for FILE_DEVICE_UNKNOWN and
 * FILE_DEVICE_BUS_EXTENDER lets every local user open it for reading and writing: any user could
 * then write to, erase or take the reservation of a shared drive, or move a library's cartridges.
 * Each virtual device and each control device therefore gets its own DACL here.
 */
#include <ntifs.h>
#include "debug.h"
#include "common.h"

#define CMN_TAG_SECURITY 'sDMC' /* the DACL while it is being set */

NTSTATUS CmnSecureDevice(PDEVICE_OBJECT pDeviceObject, ACCESS_MASK amBackupOperators)
{
    ENT("CmnSecureDevice: pDeviceObject 0x%08x, amBackupOperators 0x%08x\n", DBG_PTR(pDeviceObject),
        (ULONG)amBackupOperators);
    PSE_EXPORTS pExports = SeExports;
    const ULONG cbAceHeader = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart);
    ULONG cbAcl = sizeof(ACL) + cbAceHeader + RtlLengthSid(pExports->SeLocalSystemSid) + cbAceHeader +
                  RtlLengthSid(pExports->SeAliasAdminsSid);
    if (amBackupOperators != 0) {
        cbAcl += cbAceHeader + RtlLengthSid(pExports->SeAliasBackupOpsSid);
    }
    SECURITY_DESCRIPTOR sd;
    HANDLE hDevice = NULL;
    NTSTATUS status;

    PACL pAcl = (PACL)ExAllocatePoolWithTag(PagedPool, cbAcl, CMN_TAG_SECURITY);
    if (pAcl == NULL) {
        DBG_NULL("CmnSecureDevice: pAcl");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }
    status = RtlCreateAcl(pAcl, cbAcl, ACL_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(pAcl, ACL_REVISION, GENERIC_ALL, pExports->SeLocalSystemSid);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(pAcl, ACL_REVISION, GENERIC_ALL, pExports->SeAliasAdminsSid);
    }
    if (NT_SUCCESS(status) && amBackupOperators != 0) {
        status = RtlAddAccessAllowedAce(pAcl, ACL_REVISION, amBackupOperators, pExports->SeAliasBackupOpsSid);
    }
    if (NT_SUCCESS(status)) {
        status = RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    }
    if (NT_SUCCESS(status)) {
        status = RtlSetDaclSecurityDescriptor(&sd, TRUE, pAcl, FALSE);
    }
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("CmnSecureDevice: building the DACL", status);
        goto done;
    }

    /* The object manager keeps its own copy of the descriptor: the DACL is freed afterwards. */
    status = ObOpenObjectByPointer(pDeviceObject, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL, KernelMode, &hDevice);
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("CmnSecureDevice: ObOpenObjectByPointer", status);
        goto done;
    }
    status = ZwSetSecurityObject(hDevice, DACL_SECURITY_INFORMATION, &sd);
    if (!NT_SUCCESS(status)) {
        DBG_FAILED("CmnSecureDevice: ZwSetSecurityObject", status);
    }
    ZwClose(hDevice);

done:
    if (pAcl != NULL) {
        ExFreePoolWithTag(pAcl, CMN_TAG_SECURITY);
    }
    EXT("CmnSecureDevice: status 0x%08x\n", (ULONG)status);
    return status;
}
