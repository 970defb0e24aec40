// RtlQueryRegistryValues as the drivers' configuration lookups use it.
#include <cstring>

#include "machine_fixture.h"
#include "wdm.h"

namespace {

constexpr char16_t kParams[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatbus\\Parameters";

PWSTR W(const char16_t* s) { return const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(s)); }

// The one-entry table of the drivers' value lookup: direct and required, no default.
NTSTATUS Lookup(const char16_t* path, const char16_t* name, void* target, ULONG extraFlags = 0,
                ULONG typecheck = REG_NONE) {
    RTL_QUERY_REGISTRY_TABLE table[2];
    std::memset(table, 0, sizeof table);
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | extraFlags;
    table[0].Name = W(name);
    table[0].EntryContext = target;
    table[0].DefaultType = typecheck << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    return RtlQueryRegistryValuesEx(RTL_REGISTRY_ABSOLUTE, W(path), table, nullptr, nullptr);
}

using RegistryQuery = MachineTest;

TEST_F(RegistryQuery, ADwordSettingLandsInTheCallersVariable) {
    registry().setDword(kParams, u"FailoverDisabled", 1);
    ULONG value = 0;
    EXPECT_EQ(Lookup(kParams, u"FailoverDisabled", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
}

TEST_F(RegistryQuery, AMissingValueOrKeyLeavesTheDefaultInPlace) {
    ULONG value = 7;
    EXPECT_EQ(Lookup(kParams, u"PersistentNaming", &value), STATUS_OBJECT_NAME_NOT_FOUND);  // no key yet
    registry().createKeyPath(kParams);
    EXPECT_EQ(Lookup(kParams, u"PersistentNaming", &value), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 7u);
}

TEST_F(RegistryQuery, AStringValueIsAllocatedForAnEmptyCountedString) {
    std::u16string subkey = std::u16string(kParams) + u"\\WWNN_0000000000ABCDEF";
    registry().setString(subkey, u"PersistentDeviceName", u"Tape12");
    UNICODE_STRING name{0, 0, nullptr};
    ASSERT_EQ(Lookup(subkey.c_str(), u"PersistentDeviceName", &name), STATUS_SUCCESS);
    ASSERT_NE(name.Buffer, nullptr);
    EXPECT_EQ(name.Length, 12);
    EXPECT_EQ(name.MaximumLength, 14);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(name.Buffer)), u"Tape12");
    RtlFreeUnicodeString(&name);  // the caller owns the buffer

    WCHAR small[4];
    UNICODE_STRING tooSmall{0, sizeof small, small};
    EXPECT_EQ(Lookup(subkey.c_str(), u"PersistentDeviceName", &tooSmall), STATUS_BUFFER_TOO_SMALL);
    WCHAR room[16];
    UNICODE_STRING fits{0, sizeof room, room};
    ASSERT_EQ(Lookup(subkey.c_str(), u"PersistentDeviceName", &fits), STATUS_SUCCESS);
    EXPECT_EQ(fits.Length, 12);
}

// A REG_SZ where a DWORD setting is expected: without a type check Windows
// treats the caller's 4-byte variable as a 16-byte UNICODE_STRING.
TEST_F(RegistryQuery, AStringWhereADwordIsExpectedOverrunsTheVariableUnlessTypeChecked) {
    registry().setString(kParams, u"FailoverDisabled", u"1");
    struct Neighbourhood {
        ULONG value;
        ULONG after;
        PVOID further;
    };
    Neighbourhood unchecked{0, 0, nullptr};
    ASSERT_EQ(Lookup(kParams, u"FailoverDisabled", &unchecked.value), STATUS_SUCCESS);
    EXPECT_NE(unchecked.further, nullptr);  // bytes beyond the ULONG now hold a pool pointer
    EXPECT_EQ(unchecked.value, 2u | (4u << 16));  // Length 2, MaximumLength 4
    ExFreePool(unchecked.further);

    Neighbourhood checked{0, 0, nullptr};
    EXPECT_EQ(Lookup(kParams, u"FailoverDisabled", &checked.value, RTL_QUERY_REGISTRY_TYPECHECK, REG_DWORD),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(checked.value, 0u);
    EXPECT_EQ(checked.further, nullptr);

    // A variable that cannot be a counted string is refused outright (its
    // "Buffer" would be a wild pointer) and reported.
    Neighbourhood defaulted{1, 0, nullptr};
    EXPECT_EQ(Lookup(kParams, u"FailoverDisabled", &defaulted.value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(defaulted.value, 1u);
    auto reports = takeViolations();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("RTL_QUERY_REGISTRY_TYPECHECK"), std::string::npos) << reports[0];
}

TEST_F(RegistryQuery, TypeCheckedDwordsStillReadWhenTheTypeMatches) {
    registry().setDword(kParams, u"FailoverEventsEnabled", 1);
    ULONG value = 0;
    EXPECT_EQ(Lookup(kParams, u"FailoverEventsEnabled", &value, RTL_QUERY_REGISTRY_TYPECHECK, REG_DWORD),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
}

TEST_F(RegistryQuery, LargerBinaryDataNeedsASizedTarget) {
    std::vector<std::uint8_t> eight{1, 2, 3, 4, 5, 6, 7, 8};
    registry().setValue(kParams, u"Blob", REG_BINARY, eight);
    LONG dataOnly[3] = {-8, 0, 0};
    ASSERT_EQ(Lookup(kParams, u"Blob", dataOnly), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(dataOnly, eight.data(), 8), 0);
    ULONG described[4] = {16, 0, 0, 0};
    ASSERT_EQ(Lookup(kParams, u"Blob", described), STATUS_SUCCESS);
    EXPECT_EQ(described[0], 8u);
    EXPECT_EQ(described[1], static_cast<ULONG>(REG_BINARY));
    ULONG tooSmall = 0;  // a plain ULONG: a size of 0
    EXPECT_EQ(Lookup(kParams, u"Blob", &tooSmall), STATUS_BUFFER_TOO_SMALL);
}

struct Seen {
    std::vector<std::u16string> names;
    std::vector<ULONG> types;
    std::vector<std::u16string> texts;
};

NTSTATUS Collect(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entry) {
    auto* seen = static_cast<Seen*>(context);
    seen->names.emplace_back(reinterpret_cast<char16_t*>(name));
    seen->types.push_back(type);
    seen->texts.push_back(type == REG_SZ ? std::u16string(static_cast<char16_t*>(data)) : std::u16string());
    EXPECT_EQ(entry, reinterpret_cast<PVOID>(0x1234));
    return STATUS_SUCCESS;
}

TEST_F(RegistryQuery, QueryRoutinesSeeEveryValueAndEachStringOfAList) {
    registry().setDword(kParams, u"PersistentNaming", 1);
    registry().setMultiString(kParams, u"Paths", {u"Port2", u"Port3"});
    registry().setString(kParams, u"Image", u"%SystemRoot%\\System32\\drivers\\vorkatbus.sys", REG_EXPAND_SZ);
    RTL_QUERY_REGISTRY_TABLE table[2];
    std::memset(table, 0, sizeof table);
    table[0].QueryRoutine = Collect;
    table[0].EntryContext = reinterpret_cast<PVOID>(0x1234);
    Seen seen;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, W(u"vorkatbus\\Parameters"), table, &seen, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(seen.names, (std::vector<std::u16string>{u"PersistentNaming", u"Paths", u"Paths", u"Image"}));
    EXPECT_EQ(seen.types, (std::vector<ULONG>{REG_DWORD, REG_SZ, REG_SZ, REG_SZ}));
    EXPECT_EQ(seen.texts[2], u"Port3");
    EXPECT_EQ(seen.texts[3], u"C:\\Windows\\System32\\drivers\\vorkatbus.sys");
}

TEST_F(RegistryQuery, SubkeyEntriesAndDefaultsAndOptionalKeys) {
    registry().setDword(std::u16string(kParams) + u"\\Timing", u"RetryDelay", 30);
    ULONG delay = 0, fallback = 0, missingDefault = 5;
    RTL_QUERY_REGISTRY_TABLE table[4];
    std::memset(table, 0, sizeof table);
    table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    table[0].Name = W(u"Timing");
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[1].Name = W(u"RetryDelay");
    table[1].EntryContext = &delay;
    table[2].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[2].Name = W(u"RetryCount");
    table[2].EntryContext = &fallback;
    table[2].DefaultType = REG_DWORD;
    table[2].DefaultData = &missingDefault;
    table[2].DefaultLength = sizeof missingDefault;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, W(kParams), table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(delay, 30u);
    EXPECT_EQ(fallback, 5u);

    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, W(u"vorkacbus\\Parameters"), table, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, W(u"vorkacbus\\Parameters"), table,
                                     nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(registry().openHandleCount(), 0u);  // every key the query opened is closed again
}

TEST_F(RegistryQuery, WriteThenReadBackAndDelete) {
    ULONG one = 1;
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, W(u"vorkatflt"), W(u"FailoverDriver"), REG_DWORD, &one, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(registry().dword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatflt", u"FailoverDriver"),
              1u);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, W(u"vorkatflt")), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, W(u"vorkatflt"), W(u"FailoverDriver")), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, W(u"vorkatflt"), W(u"FailoverDriver")),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryQuery, RegistryCallsAboveThePassiveLevelAreReported) {
    registry().setDword(kParams, u"FailoverDisabled", 1);
    ULONG value = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Lookup(kParams, u"FailoverDisabled", &value);
    KeLowerIrql(old);
    auto reports = takeViolations();
    ASSERT_GE(reports.size(), 1u);
    EXPECT_NE(reports[0].find("RtlQueryRegistryValuesEx"), std::string::npos) << reports[0];
}

}  // namespace
