// Security of the simulated machine: the well-known SIDs (SeExports), the groups of each account's
// token, the default descriptors of device objects, the access check of user-mode opens, and the
// routines a driver uses to give an object a descriptor of its own (SIDs, ACLs, absolute and
// self-relative descriptors, ObOpenObjectByPointer, ZwSetSecurityObject).
//
// What is modelled is what decides an open of a device: a token's groups and the DACL's allow and
// deny entries in order. Owners, SACLs, privileges and integrity levels are not: the owner of every
// device here is Administrators, whose entry grants all anyway, and no open of a device in this
// system asks for backup intent.

#include <algorithm>
#include <cstring>

#include "kinternal.h"
#include "ntifs.h"

using sim::ReportViolation;

namespace sim {

const char* AccountName(Account account) {
    switch (account) {
    case Account::LocalSystem: return "system";
    case Account::Administrator: return "administrator";
    case Account::BackupOperator: return "backup operator";
    case Account::User: return "user";
    }
    return "?";
}

std::optional<Account> AccountNamed(std::string_view name) {
    for (Account account : {Account::LocalSystem, Account::Administrator, Account::BackupOperator, Account::User})
        if (name == AccountName(account)) return account;
    return std::nullopt;
}

namespace k {

namespace {

// A SID with room for the sub-authorities of any SID used here.
struct WellKnownSid {
    UCHAR revision = SID_REVISION;
    UCHAR count = 0;
    UCHAR authority[6] = {};
    ULONG sub[5] = {};
};

constexpr WellKnownSid MakeSid(UCHAR authority, std::initializer_list<ULONG> subs) {
    WellKnownSid sid;
    sid.authority[5] = authority;
    for (ULONG s : subs) sid.sub[sid.count++] = s;
    return sid;
}

constexpr UCHAR kNullAuthority = 0, kWorldAuthority = 1, kLocalAuthority = 2, kCreatorAuthority = 3,
                kNtAuthority = 5, kMandatoryAuthority = 16;
constexpr ULONG kBuiltin = 32;
// The machine's own account domain (S-1-5-21-...): made-up numbers of this simulated server.
constexpr ULONG kDomain1 = 1717171717u, kDomain2 = 2828282828u, kDomain3 = 393939393u;

// The SIDs behind SeExports. They are data of the kernel image, as on Windows, built at compile
// time, so one copy serves every machine.
struct Sids {
    WellKnownSid null = MakeSid(kNullAuthority, {0});
    WellKnownSid world = MakeSid(kWorldAuthority, {0});
    WellKnownSid local = MakeSid(kLocalAuthority, {0});
    WellKnownSid creatorOwner = MakeSid(kCreatorAuthority, {0});
    WellKnownSid creatorGroup = MakeSid(kCreatorAuthority, {1});
    WellKnownSid ntAuthority = MakeSid(kNtAuthority, {});
    WellKnownSid dialup = MakeSid(kNtAuthority, {1});
    WellKnownSid network = MakeSid(kNtAuthority, {2});
    WellKnownSid batch = MakeSid(kNtAuthority, {3});
    WellKnownSid interactive = MakeSid(kNtAuthority, {4});
    WellKnownSid anonymous = MakeSid(kNtAuthority, {7});
    WellKnownSid authenticatedUsers = MakeSid(kNtAuthority, {11});
    WellKnownSid restricted = MakeSid(kNtAuthority, {12});
    WellKnownSid localSystem = MakeSid(kNtAuthority, {18});
    WellKnownSid localService = MakeSid(kNtAuthority, {19});
    WellKnownSid networkService = MakeSid(kNtAuthority, {20});
    WellKnownSid admins = MakeSid(kNtAuthority, {kBuiltin, 544});
    WellKnownSid users = MakeSid(kNtAuthority, {kBuiltin, 545});
    WellKnownSid guests = MakeSid(kNtAuthority, {kBuiltin, 546});
    WellKnownSid powerUsers = MakeSid(kNtAuthority, {kBuiltin, 547});
    WellKnownSid accountOps = MakeSid(kNtAuthority, {kBuiltin, 548});
    WellKnownSid systemOps = MakeSid(kNtAuthority, {kBuiltin, 549});
    WellKnownSid printOps = MakeSid(kNtAuthority, {kBuiltin, 550});
    WellKnownSid backupOps = MakeSid(kNtAuthority, {kBuiltin, 551});
    WellKnownSid iuser = MakeSid(kNtAuthority, {kBuiltin, 568});
    WellKnownSid untrustedLabel = MakeSid(kMandatoryAuthority, {0x0000});
    WellKnownSid lowLabel = MakeSid(kMandatoryAuthority, {0x1000});
    WellKnownSid mediumLabel = MakeSid(kMandatoryAuthority, {0x2000});
    WellKnownSid highLabel = MakeSid(kMandatoryAuthority, {0x3000});
    WellKnownSid systemLabel = MakeSid(kMandatoryAuthority, {0x4000});
    WellKnownSid ownerRights = MakeSid(3, {4});
    // The interactive accounts of the machine: its Administrator (RID 500) and two local users.
    WellKnownSid administratorUser = MakeSid(kNtAuthority, {21, kDomain1, kDomain2, kDomain3, 500});
    WellKnownSid backupUser = MakeSid(kNtAuthority, {21, kDomain1, kDomain2, kDomain3, 1001});
    WellKnownSid plainUser = MakeSid(kNtAuthority, {21, kDomain1, kDomain2, kDomain3, 1002});
};

constinit Sids gSids{};

Sids& TheSids() { return gSids; }

SidBytes BytesOf(const void* sid) {
    const auto* p = static_cast<const UCHAR*>(sid);
    return SidBytes(p, p + 8 + 4 * p[1]);
}

SidBytes BytesOf(const WellKnownSid& sid) { return BytesOf(static_cast<const void*>(&sid)); }

constexpr LUID Privilege(ULONG value) { return LUID{value, 0}; }

constexpr SE_EXPORTS MakeExports() {
    Sids& s = gSids;
    SE_EXPORTS e{};
    e.SeCreateTokenPrivilege = Privilege(2);
    e.SeAssignPrimaryTokenPrivilege = Privilege(3);
    e.SeLockMemoryPrivilege = Privilege(4);
    e.SeIncreaseQuotaPrivilege = Privilege(5);
    e.SeUnsolicitedInputPrivilege = Privilege(6);
    e.SeTcbPrivilege = Privilege(7);
    e.SeSecurityPrivilege = Privilege(8);
    e.SeTakeOwnershipPrivilege = Privilege(9);
    e.SeLoadDriverPrivilege = Privilege(10);
    e.SeSystemProfilePrivilege = Privilege(11);
    e.SeSystemtimePrivilege = Privilege(12);
    e.SeProfileSingleProcessPrivilege = Privilege(13);
    e.SeIncreaseBasePriorityPrivilege = Privilege(14);
    e.SeCreatePagefilePrivilege = Privilege(15);
    e.SeCreatePermanentPrivilege = Privilege(16);
    e.SeBackupPrivilege = Privilege(17);
    e.SeRestorePrivilege = Privilege(18);
    e.SeShutdownPrivilege = Privilege(19);
    e.SeDebugPrivilege = Privilege(20);
    e.SeAuditPrivilege = Privilege(21);
    e.SeSystemEnvironmentPrivilege = Privilege(22);
    e.SeChangeNotifyPrivilege = Privilege(23);
    e.SeRemoteShutdownPrivilege = Privilege(24);
    e.SeUndockPrivilege = Privilege(25);
    e.SeSyncAgentPrivilege = Privilege(26);
    e.SeEnableDelegationPrivilege = Privilege(27);
    e.SeManageVolumePrivilege = Privilege(28);
    e.SeImpersonatePrivilege = Privilege(29);
    e.SeCreateGlobalPrivilege = Privilege(30);
    e.SeTrustedCredManAccessPrivilege = Privilege(31);
    e.SeRelabelPrivilege = Privilege(32);
    e.SeIncreaseWorkingSetPrivilege = Privilege(33);
    e.SeTimeZonePrivilege = Privilege(34);
    e.SeCreateSymbolicLinkPrivilege = Privilege(35);
    e.SeNullSid = &s.null;
    e.SeWorldSid = &s.world;
    e.SeLocalSid = &s.local;
    e.SeCreatorOwnerSid = &s.creatorOwner;
    e.SeCreatorGroupSid = &s.creatorGroup;
    e.SeNtAuthoritySid = &s.ntAuthority;
    e.SeDialupSid = &s.dialup;
    e.SeNetworkSid = &s.network;
    e.SeBatchSid = &s.batch;
    e.SeInteractiveSid = &s.interactive;
    e.SeLocalSystemSid = &s.localSystem;
    e.SeAliasAdminsSid = &s.admins;
    e.SeAliasUsersSid = &s.users;
    e.SeAliasGuestsSid = &s.guests;
    e.SeAliasPowerUsersSid = &s.powerUsers;
    e.SeAliasAccountOpsSid = &s.accountOps;
    e.SeAliasSystemOpsSid = &s.systemOps;
    e.SeAliasPrintOpsSid = &s.printOps;
    e.SeAliasBackupOpsSid = &s.backupOps;
    e.SeAuthenticatedUsersSid = &s.authenticatedUsers;
    e.SeRestrictedSid = &s.restricted;
    e.SeAnonymousLogonSid = &s.anonymous;
    e.SeLocalServiceSid = &s.localService;
    e.SeNetworkServiceSid = &s.networkService;
    e.SeIUserSid = &s.iuser;
    e.SeUntrustedMandatorySid = &s.untrustedLabel;
    e.SeLowMandatorySid = &s.lowLabel;
    e.SeMediumMandatorySid = &s.mediumLabel;
    e.SeHighMandatorySid = &s.highLabel;
    e.SeSystemMandatorySid = &s.systemLabel;
    e.SeOwnerRightsSid = &s.ownerRights;
    return e;
}

// The SIDs of an account's token: its user and the groups it is in.
std::vector<SidBytes> TokenOf(sim::Account account) {
    Sids& s = TheSids();
    switch (account) {
    case sim::Account::LocalSystem:
        return {BytesOf(s.localSystem), BytesOf(s.admins), BytesOf(s.world), BytesOf(s.authenticatedUsers)};
    case sim::Account::Administrator:
        return {BytesOf(s.administratorUser), BytesOf(s.admins), BytesOf(s.users), BytesOf(s.world),
                BytesOf(s.interactive), BytesOf(s.authenticatedUsers)};
    case sim::Account::BackupOperator:
        return {BytesOf(s.backupUser), BytesOf(s.backupOps), BytesOf(s.users), BytesOf(s.world),
                BytesOf(s.interactive), BytesOf(s.authenticatedUsers)};
    case sim::Account::User:
        return {BytesOf(s.plainUser), BytesOf(s.users), BytesOf(s.world), BytesOf(s.interactive),
                BytesOf(s.authenticatedUsers)};
    }
    return {};
}

bool ValidSid(const void* sid, std::size_t room) {
    if (!sid || room < 8) return false;
    const auto* p = static_cast<const UCHAR*>(sid);
    return p[0] == SID_REVISION && p[1] <= SID_MAX_SUB_AUTHORITIES && room >= 8u + 4u * p[1];
}

// Reads an ACL into the kernel's form; false when it is malformed.
bool CaptureAcl(const ACL* acl, std::vector<SecurityDescriptorK::Ace>* out) {
    if (acl->AclRevision < MIN_ACL_REVISION || acl->AclRevision > MAX_ACL_REVISION || acl->AclSize < sizeof(ACL))
        return false;
    const auto* base = reinterpret_cast<const UCHAR*>(acl);
    std::size_t offset = sizeof(ACL);
    for (USHORT i = 0; i < acl->AceCount; ++i) {
        if (offset + sizeof(ACE_HEADER) > acl->AclSize) return false;
        ACE_HEADER header;
        std::memcpy(&header, base + offset, sizeof header);
        if (header.AceSize < sizeof(ACE_HEADER) || offset + header.AceSize > acl->AclSize) return false;
        if (header.AceType == ACCESS_ALLOWED_ACE_TYPE || header.AceType == ACCESS_DENIED_ACE_TYPE) {
            const std::size_t sidOffset = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart);
            if (header.AceSize < sidOffset || !ValidSid(base + offset + sidOffset, header.AceSize - sidOffset))
                return false;
            // An inherit-only entry is there for children only: it takes no part in the check.
            if (!(header.AceFlags & INHERIT_ONLY_ACE)) {
                ACCESS_MASK mask;
                std::memcpy(&mask, base + offset + FIELD_OFFSET(ACCESS_ALLOWED_ACE, Mask), sizeof mask);
                out->push_back({header.AceType == ACCESS_ALLOWED_ACE_TYPE, MapGenericFileAccess(mask),
                                BytesOf(base + offset + sidOffset)});
            }
        }
        // Entries of other types (audit, object, callback) do not decide a device open here.
        offset += header.AceSize;
    }
    return true;
}

// The parts of a descriptor in either form.
struct DescriptorParts {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    const ACL* dacl = nullptr;
};

bool PartsOf(const void* descriptor, DescriptorParts* parts) {
    const auto* absolute = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
    if (!absolute || absolute->Revision != SECURITY_DESCRIPTOR_REVISION) return false;
    parts->control = absolute->Control;
    if (!(absolute->Control & SE_DACL_PRESENT)) return true;
    if (absolute->Control & SE_SELF_RELATIVE) {
        const auto* relative = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(descriptor);
        parts->dacl = relative->Dacl ? reinterpret_cast<const ACL*>(static_cast<const UCHAR*>(descriptor) + relative->Dacl)
                                     : nullptr;
    } else {
        parts->dacl = absolute->Dacl;
    }
    return true;
}

using Ace = SecurityDescriptorK::Ace;

Ace Allow(const WellKnownSid& sid, ACCESS_MASK mask) { return Ace{true, MapGenericFileAccess(mask), BytesOf(sid)}; }

}  // namespace

ACCESS_MASK MapGenericFileAccess(ACCESS_MASK access) {
    if (access & GENERIC_READ) access |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) access |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) access |= FILE_GENERIC_EXECUTE;
    if (access & GENERIC_ALL) access |= FILE_ALL_ACCESS;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// What IoCreateDevice gives a named device object when its driver passes no descriptor: the I/O
// manager picks one by device type.
//  - File system devices: System and Administrators all, Everyone and restricted code execute
//    (traverse) only; a file system checks its files itself.
//  - Disks and other mass-storage and network devices: System all, Administrators read, write and
//    execute (so that they can run chkdsk), Everyone and restricted code execute only, so that a
//    plain user cannot read the raw medium (a CD-ROM: Everyone also read); a named floppy: as below.
//  - Every other type (FILE_DEVICE_UNKNOWN, FILE_DEVICE_TAPE, FILE_DEVICE_CHANGER, a bus's
//    control device, ...): System and Administrators all, Everyone read, write and execute,
//    restricted code read and execute. This is why a driver whose named device must not be written
//    to by any local user gives it a descriptor of its own.
// Generic rights are mapped to the file rights, as they are when Windows assigns a descriptor.
std::shared_ptr<const SecurityDescriptorK> DefaultDeviceSecurity(ULONG deviceType, ULONG characteristics) {
    Sids& s = TheSids();
    auto descriptor = std::make_shared<SecurityDescriptorK>();
    std::vector<Ace> dacl;
    switch (deviceType) {
    case FILE_DEVICE_DISK_FILE_SYSTEM:
    case FILE_DEVICE_CD_ROM_FILE_SYSTEM:
    case FILE_DEVICE_FILE_SYSTEM:
    case FILE_DEVICE_TAPE_FILE_SYSTEM:
        dacl = {Allow(s.localSystem, GENERIC_ALL), Allow(s.admins, GENERIC_ALL), Allow(s.world, GENERIC_EXECUTE),
                Allow(s.restricted, GENERIC_EXECUTE)};
        break;
    case FILE_DEVICE_CD_ROM:
    case FILE_DEVICE_MASS_STORAGE:
    case FILE_DEVICE_DISK:
    case FILE_DEVICE_VIRTUAL_DISK:
    case FILE_DEVICE_NETWORK_FILE_SYSTEM:
    case FILE_DEVICE_DFS_FILE_SYSTEM:
    case FILE_DEVICE_NETWORK:
        if (characteristics & FILE_FLOPPY_DISKETTE) {
            dacl = {Allow(s.localSystem, GENERIC_ALL), Allow(s.admins, GENERIC_ALL),
                    Allow(s.world, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE),
                    Allow(s.restricted, GENERIC_READ | GENERIC_EXECUTE)};
        } else {
            const ACCESS_MASK world =
                deviceType == FILE_DEVICE_CD_ROM ? GENERIC_READ | GENERIC_EXECUTE : GENERIC_EXECUTE;
            dacl = {Allow(s.world, world), Allow(s.localSystem, GENERIC_ALL),
                    Allow(s.admins, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | READ_CONTROL),
                    Allow(s.restricted, GENERIC_EXECUTE)};
        }
        break;
    default:
        dacl = {Allow(s.localSystem, GENERIC_ALL), Allow(s.admins, GENERIC_ALL),
                Allow(s.world, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE),
                Allow(s.restricted, GENERIC_READ | GENERIC_EXECUTE)};
        break;
    }
    descriptor->dacl = std::move(dacl);
    return descriptor;
}

// Windows' order: the entries are read in turn; an allow entry of one of the token's SIDs grants
// the rights not denied before, a deny entry denies the rights not granted before. With
// MAXIMUM_ALLOWED the whole list is read; otherwise the check stops once everything is granted.
bool CheckAccess(const SecurityDescriptorK& descriptor, const ProcessState& process, ACCESS_MASK desired,
                 ACCESS_MASK* granted) {
    const bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
    desired &= ~MAXIMUM_ALLOWED;
    if (!descriptor.dacl) {
        *granted = maximum ? (desired | FILE_ALL_ACCESS) : desired;
        return true;
    }
    const auto token = TokenOf(process.account);
    ACCESS_MASK allowed = 0, denied = 0;
    for (const Ace& ace : *descriptor.dacl) {
        if (!maximum && (allowed & desired) == desired) break;
        if (std::find(token.begin(), token.end(), ace.sid) == token.end()) continue;
        if (ace.allow) allowed |= ace.mask & ~denied;
        else denied |= ace.mask & ~allowed;
    }
    if ((allowed & desired) != desired) return false;
    if (maximum && allowed == 0) return false;
    *granted = maximum ? allowed : desired;
    return true;
}

std::shared_ptr<const SecurityDescriptorK> DeviceSecurity(const DEVICE_OBJECT* device) {
    std::lock_guard lock(Kernel().ioLock);
    return ExtraOf(device)->security;
}

}  // namespace k
}  // namespace sim

using namespace sim::k;

namespace {

constinit SE_EXPORTS gExports = MakeExports();

}  // namespace

extern "C" {

PSE_EXPORTS SeExports = &gExports;

ULONG RtlLengthSid(PSID Sid) { return 8u + 4u * static_cast<const UCHAR*>(Sid)[1]; }

BOOLEAN RtlValidSid(PSID Sid) { return ValidSid(Sid, 8u + 4u * SID_MAX_SUB_AUTHORITIES) ? TRUE : FALSE; }

BOOLEAN RtlEqualSid(PSID Sid1, PSID Sid2) {
    const ULONG length = RtlLengthSid(Sid1);
    return length == RtlLengthSid(Sid2) && std::memcmp(Sid1, Sid2, length) == 0 ? TRUE : FALSE;
}

NTSTATUS RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision) {
    sim::CheckIrqlAtMost(APC_LEVEL, "RtlCreateAcl");
    if (AclLength < sizeof(ACL)) return STATUS_BUFFER_TOO_SMALL;
    if (AclRevision < MIN_ACL_REVISION || AclRevision > MAX_ACL_REVISION) return STATUS_INVALID_PARAMETER;
    if (AclLength > 0xFFFF) return STATUS_INVALID_PARAMETER;
    Acl->AclRevision = static_cast<UCHAR>(AclRevision);
    Acl->Sbz1 = 0;
    Acl->AclSize = static_cast<USHORT>(AclLength & ~3u);  // whole ULONGs, as Windows keeps it
    Acl->AceCount = 0;
    Acl->Sbz2 = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid) {
    sim::CheckIrqlAtMost(APC_LEVEL, "RtlAddAccessAllowedAce");
    if (!RtlValidSid(Sid)) return STATUS_INVALID_SID;
    if (AceRevision < MIN_ACL_REVISION || AceRevision > MAX_ACL_REVISION) return STATUS_REVISION_MISMATCH;
    std::vector<SecurityDescriptorK::Ace> existing;
    if (!CaptureAcl(Acl, &existing)) return STATUS_INVALID_ACL;
    // The first free byte: after the entries already there.
    auto* base = reinterpret_cast<UCHAR*>(Acl);
    std::size_t offset = sizeof(ACL);
    for (USHORT i = 0; i < Acl->AceCount; ++i) {
        ACE_HEADER header;
        std::memcpy(&header, base + offset, sizeof header);
        offset += header.AceSize;
    }
    const ULONG aceSize = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + RtlLengthSid(Sid);
    if (offset + aceSize > Acl->AclSize) return STATUS_ALLOTTED_SPACE_EXCEEDED;
    ACCESS_ALLOWED_ACE ace{};
    ace.Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    ace.Header.AceFlags = 0;
    ace.Header.AceSize = static_cast<USHORT>(aceSize);
    ace.Mask = AccessMask;
    std::memcpy(base + offset, &ace, FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart));
    std::memcpy(base + offset + FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart), Sid, RtlLengthSid(Sid));
    ++Acl->AceCount;
    if (AceRevision > Acl->AclRevision) Acl->AclRevision = static_cast<UCHAR>(AceRevision);
    return STATUS_SUCCESS;
}

NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision) {
    sim::CheckIrqlAtMost(APC_LEVEL, "RtlCreateSecurityDescriptor");
    if (Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
    std::memset(sd, 0, sizeof *sd);
    sd->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent, PACL Dacl,
                                      BOOLEAN DaclDefaulted) {
    sim::CheckIrqlAtMost(APC_LEVEL, "RtlSetDaclSecurityDescriptor");
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    if (sd->Control & SE_SELF_RELATIVE) return STATUS_INVALID_SECURITY_DESCR;
    if (!DaclPresent) {
        sd->Control &= ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED);
        sd->Dacl = nullptr;
        return STATUS_SUCCESS;
    }
    sd->Control |= SE_DACL_PRESENT;
    sd->Dacl = Dacl;
    if (DaclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
    else sd->Control &= ~SE_DACL_DEFAULTED;
    return STATUS_SUCCESS;
}

ULONG RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor) {
    const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(SecurityDescriptor);
    if (sd->Control & SE_SELF_RELATIVE) {
        // The header and the parts behind it; only the DACL is looked at here.
        const auto* relative = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(SecurityDescriptor);
        ULONG end = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
        if (relative->Dacl) {
            const auto* acl = reinterpret_cast<const ACL*>(static_cast<const UCHAR*>(SecurityDescriptor) + relative->Dacl);
            end = std::max<ULONG>(end, relative->Dacl + acl->AclSize);
        }
        return end;
    }
    ULONG length = sizeof(SECURITY_DESCRIPTOR);
    if (sd->Owner) length += RtlLengthSid(sd->Owner);
    if (sd->Group) length += RtlLengthSid(sd->Group);
    if (sd->Dacl) length += sd->Dacl->AclSize;
    if (sd->Sacl) length += sd->Sacl->AclSize;
    return length;
}

BOOLEAN RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor) {
    DescriptorParts parts;
    if (!PartsOf(SecurityDescriptor, &parts)) return FALSE;
    std::vector<SecurityDescriptorK::Ace> aces;
    return !parts.dacl || CaptureAcl(parts.dacl, &aces) ? TRUE : FALSE;
}

NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PACCESS_STATE PassedAccessState,
                               ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                               PHANDLE Handle) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "ObOpenObjectByPointer");
    *Handle = nullptr;
    ObjectHeader* header = HeaderOf(Object);
    if (!header) {
        ReportViolation("ObOpenObjectByPointer: " + Describe(Object) + " is not an object");
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectType && header->type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    if (PassedAccessState) {
        ReportViolation("ObOpenObjectByPointer: an ACCESS_STATE is not simulated");
        return STATUS_INVALID_PARAMETER;
    }
    ACCESS_MASK granted = MapGenericFileAccess(DesiredAccess & ~MAXIMUM_ALLOWED);
    if (DesiredAccess & MAXIMUM_ALLOWED) granted |= FILE_ALL_ACCESS;
    ProcessState* process = CurrentProcess();
    if (AccessMode == UserMode && IsDevice(Object)) {
        auto security = DeviceSecurity(static_cast<DEVICE_OBJECT*>(Object));
        const ProcessState& caller = process ? *process : *SystemProcess();
        if (security && !CheckAccess(*security, caller, MapGenericFileAccess(DesiredAccess), &granted))
            return STATUS_ACCESS_DENIED;
    }
    // A kernel handle for a driver's own use, else a handle in the process the thread runs for.
    const bool kernelHandle = (HandleAttributes & OBJ_KERNEL_HANDLE) || !process || process->isSystem;
    *Handle = kernelHandle ? Kernel().kernelHandles.insert(Object, granted) : process->handles->insert(Object, granted);
    return STATUS_SUCCESS;
}

NTSTATUS ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                             PSECURITY_DESCRIPTOR SecurityDescriptor) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "ZwSetSecurityObject");
    if (SecurityInformation & ~DACL_SECURITY_INFORMATION) {
        ReportViolation("ZwSetSecurityObject: only the DACL of an object is simulated");
        return STATUS_INVALID_PARAMETER;
    }
    DescriptorParts parts;
    if (!SecurityDescriptor || !PartsOf(SecurityDescriptor, &parts)) return STATUS_INVALID_SECURITY_DESCR;
    auto descriptor = std::make_shared<SecurityDescriptorK>();
    if (parts.control & SE_DACL_PRESENT) {
        descriptor->dacl.emplace();
        if (parts.dacl && !CaptureAcl(parts.dacl, &*descriptor->dacl)) return STATUS_INVALID_ACL;
        if (!parts.dacl) descriptor->dacl.reset();  // a NULL DACL: no protection
    }
    ACCESS_MASK granted = 0;
    void* object = nullptr;
    if (IsKernelHandle(Handle)) object = Kernel().kernelHandles.lookup(Handle, &granted);
    else if (ProcessState* process = CurrentProcess()) object = process->handles->lookup(Handle, &granted);
    if (!object) return STATUS_INVALID_HANDLE;
    NTSTATUS status = STATUS_SUCCESS;
    if (!(granted & WRITE_DAC)) {
        status = STATUS_ACCESS_DENIED;
    } else if (!IsDevice(object)) {
        ReportViolation("ZwSetSecurityObject: only device objects keep a descriptor in the simulated kernel");
        status = STATUS_INVALID_PARAMETER;
    } else {
        std::lock_guard lock(Kernel().ioLock);
        ExtraOf(static_cast<DEVICE_OBJECT*>(object))->security = std::move(descriptor);
    }
    Dereference(object);
    return status;
}

}  // extern "C"
