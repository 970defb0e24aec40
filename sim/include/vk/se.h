/*
 * Security pieces of the WDM interface: access control lists, the security descriptor
 * routines and the security information bits. The SID, ACE and SECURITY_DESCRIPTOR records and
 * the well-known SIDs are in ntifs.h, as in the Windows Driver Kit.
 */
#pragma once

#include "vk/basetypes.h"

VK_BEGIN_C

#ifndef VK_LUID_DEFINED
#define VK_LUID_DEFINED
typedef struct _LUID {
    ULONG LowPart;
    LONG HighPart;
} LUID, *PLUID;
#endif

typedef PVOID PSID;
typedef PVOID PSECURITY_DESCRIPTOR;

typedef struct _GENERIC_MAPPING {
    ACCESS_MASK GenericRead;
    ACCESS_MASK GenericWrite;
    ACCESS_MASK GenericExecute;
    ACCESS_MASK GenericAll;
} GENERIC_MAPPING, *PGENERIC_MAPPING;

#define ACL_REVISION 2
#define ACL_REVISION_DS 4
#define MIN_ACL_REVISION ACL_REVISION
#define MAX_ACL_REVISION ACL_REVISION_DS

typedef struct _ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;
    USHORT AceCount;
    USHORT Sbz2;
} ACL, *PACL;

#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_REVISION1 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH 40  /* sizeof(SECURITY_DESCRIPTOR) on x64 */

#define OWNER_SECURITY_INFORMATION 0x00000001L
#define GROUP_SECURITY_INFORMATION 0x00000002L
#define DACL_SECURITY_INFORMATION 0x00000004L
#define SACL_SECURITY_INFORMATION 0x00000008L
#define LABEL_SECURITY_INFORMATION 0x00000010L

typedef struct _ACCESS_STATE ACCESS_STATE, *PACCESS_STATE;

NTSYSAPI NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision);
NTSYSAPI NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent, PACL Dacl,
                                                     BOOLEAN DaclDefaulted);
NTSYSAPI ULONG NTAPI RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSYSAPI BOOLEAN NTAPI RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);

VK_END_C
