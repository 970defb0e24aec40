// Registry behaviour that drivers and the installer depend on, exercised on
// the registry object itself.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "sim/registry.h"

namespace {

constexpr char16_t kParams[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatbus\\Parameters";

class RegistryTest : public ::testing::Test {
protected:
    HANDLE open(std::u16string_view path, ACCESS_MASK access = KEY_ALL_ACCESS) {
        HANDLE h = nullptr;
        EXPECT_EQ(reg.ntOpenKey(&h, nullptr, path, access), STATUS_SUCCESS) << "opening a key";
        return h;
    }
    sim::Registry reg;
};

TEST_F(RegistryTest, CreateReportsNewThenExistingAndNeedsItsParent) {
    HANDLE services = open(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services");
    HANDLE key = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(reg.ntCreateKey(&key, services, u"vorkatbus", KEY_ALL_ACCESS, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    HANDLE again = nullptr;
    EXPECT_EQ(reg.ntCreateKey(&again, nullptr, u"\\REGISTRY\\machine\\system\\CURRENTCONTROLSET\\services\\VORKATBUS",
                              KEY_READ, 0, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));

    // One level at a time: a missing parent is not created.
    HANDLE deep = nullptr;
    EXPECT_EQ(reg.ntCreateKey(&deep, nullptr, std::u16string(kParams) + u"\\WWNN_0000000000ABCDEF", KEY_ALL_ACCESS, 0,
                              &disposition),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(reg.keyExists(kParams));
    EXPECT_EQ(reg.ntOpenKey(&deep, nullptr, kParams, KEY_READ), STATUS_OBJECT_NAME_NOT_FOUND);
    for (HANDLE h : {services, key, again}) EXPECT_EQ(reg.ntClose(h), STATUS_SUCCESS);
    EXPECT_EQ(reg.openHandleCount(), 0u);
}

TEST_F(RegistryTest, MalformedNamesAreRejected) {
    HANDLE h = nullptr;
    EXPECT_EQ(reg.ntOpenKey(&h, nullptr, u"Registry\\Machine", KEY_READ), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(reg.ntOpenKey(&h, nullptr, u"\\Registry\\\\Machine", KEY_READ), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(reg.ntOpenKey(&h, nullptr, u"\\Device\\Tape0", KEY_READ), STATUS_OBJECT_NAME_NOT_FOUND);
    HANDLE machine = open(u"\\Registry\\Machine");
    EXPECT_EQ(reg.ntOpenKey(&h, machine, u"\\System", KEY_READ), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(reg.ntCreateKey(&h, machine, std::u16string(256, u'k'), KEY_READ, 0, nullptr), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(reg.ntOpenKey(&h, reinterpret_cast<HANDLE>(0x1234), u"System", KEY_READ), STATUS_INVALID_HANDLE);
    reg.ntClose(machine);
}

// The persistent-name scan of the tape bus reads subkeys with a 124-byte
// basic-information buffer: room for names of up to 54 characters.
TEST_F(RegistryTest, EnumeratingSubkeysWithASmallBufferFollowsTheOverflowRules) {
    ASSERT_EQ(reg.createKeyPath(std::u16string(kParams) + u"\\SERNUM_" + std::u16string(32, u'0')), STATUS_SUCCESS);
    std::u16string longName = u"SERNUM_" + std::u16string(60, u'9');  // 67 characters
    ASSERT_EQ(reg.createKeyPath(std::u16string(kParams) + u"\\" + longName), STATUS_SUCCESS);
    ASSERT_EQ(reg.createKeyPath(std::u16string(kParams) + u"\\WWNN_0000000000ABCDEF"), STATUS_SUCCESS);
    HANDLE params = open(kParams);

    alignas(8) unsigned char buffer[124];
    auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
    ULONG result = 0;

    // Sorted by name, as Windows enumerates: SERNUM_000..., SERNUM_999..., WWNN_...
    std::memset(buffer, 0xEE, sizeof buffer);
    ASSERT_EQ(reg.ntEnumerateKey(params, 0, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(info->NameLength, 39u * 2);
    EXPECT_EQ(result, 16u + 39 * 2);

    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(reg.ntEnumerateKey(params, 1, KeyBasicInformation, buffer, sizeof buffer, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 16u + 67 * 2);             // what the whole record needs
    EXPECT_EQ(info->NameLength, 67u * 2);        // the full length, although only part was copied
    EXPECT_EQ(info->Name[0], u'S');              // the part that fits is there
    EXPECT_EQ(buffer[122], static_cast<unsigned char>('9'));  // the last character that fits

    ASSERT_EQ(reg.ntEnumerateKey(params, 2, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(info->Name), info->NameLength / 2), u"WWNN_0000000000ABCDEF");

    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(reg.ntEnumerateKey(params, 0, KeyBasicInformation, buffer, 15, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 16u + 39 * 2);
    EXPECT_EQ(buffer[0], 0xEE);  // nothing written

    EXPECT_EQ(reg.ntEnumerateKey(params, 3, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_NO_MORE_ENTRIES);
    reg.ntClose(params);
}

TEST_F(RegistryTest, ValueQueriesReturnTheFixedPartFirstThenWhatFits) {
    ASSERT_EQ(reg.setString(kParams, u"PersistentDeviceName", u"Tape12"), STATUS_SUCCESS);
    HANDLE params = open(kParams);
    alignas(8) unsigned char buffer[128];
    ULONG result = 0;
    auto* partial = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);

    ASSERT_EQ(reg.ntQueryValueKey(params, u"persistentdevicename", KeyValuePartialInformation, buffer, sizeof buffer,
                                  &result),
              STATUS_SUCCESS);
    EXPECT_EQ(partial->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(partial->DataLength, 14u);  // stored with its terminating NUL
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(partial->Data)), u"Tape12");

    EXPECT_EQ(reg.ntQueryValueKey(params, u"PersistentDeviceName", KeyValuePartialInformation, buffer, 16, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 12u + 14);
    EXPECT_EQ(partial->DataLength, 14u);
    EXPECT_EQ(reg.ntQueryValueKey(params, u"PersistentDeviceName", KeyValuePartialInformation, buffer, 11, &result),
              STATUS_BUFFER_TOO_SMALL);

    auto* full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
    ASSERT_EQ(reg.ntQueryValueKey(params, u"PersistentDeviceName", KeyValueFullInformation, buffer, sizeof buffer,
                                  &result),
              STATUS_SUCCESS);
    EXPECT_EQ(full->NameLength, 40u);
    EXPECT_EQ(full->DataOffset % 4, 0u);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer + full->DataOffset)), u"Tape12");

    EXPECT_EQ(reg.ntQueryValueKey(params, u"Missing", KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    reg.ntClose(params);
}

TEST_F(RegistryTest, ValuesEnumerateInCreationOrderAndReplaceInPlace) {
    reg.setDword(kParams, u"PersistentNaming", 1);
    reg.setDword(kParams, u"FailoverDisabled", 0);
    reg.setDword(kParams, u"FailoverEventsEnabled", 1);
    reg.setDword(kParams, u"failoverdisabled", 1);  // same value, other case
    auto values = reg.values(kParams);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].name, u"PersistentNaming");
    EXPECT_EQ(values[1].name, u"FailoverDisabled");
    EXPECT_EQ(reg.dword(kParams, u"FAILOVERDISABLED"), 1u);
    EXPECT_FALSE(reg.string(kParams, u"FailoverDisabled"));  // a DWORD is not a string
}

TEST_F(RegistryTest, KeysWithSubkeysCannotBeDeletedAndDeletedKeysRejectFurtherUse) {
    ASSERT_EQ(reg.createKeyPath(std::u16string(kParams) + u"\\SERNUM_1"), STATUS_SUCCESS);
    HANDLE params = open(kParams);
    EXPECT_EQ(reg.ntDeleteKey(params), STATUS_CANNOT_DELETE);
    HANDLE child = nullptr;
    ASSERT_EQ(reg.ntOpenKey(&child, params, u"SERNUM_1", KEY_ALL_ACCESS), STATUS_SUCCESS);
    EXPECT_EQ(reg.ntDeleteKey(child), STATUS_SUCCESS);
    EXPECT_FALSE(reg.keyExists(std::u16string(kParams) + u"\\SERNUM_1"));
    // The handle stays open but the key is gone.
    EXPECT_EQ(reg.ntSetValueKey(child, u"PersistentDeviceName", REG_SZ, u"x", 4), STATUS_KEY_DELETED);
    EXPECT_EQ(reg.ntClose(child), STATUS_SUCCESS);
    EXPECT_EQ(reg.ntClose(child), STATUS_INVALID_HANDLE);  // a closed handle is not reused
    EXPECT_EQ(reg.ntDeleteKey(params), STATUS_SUCCESS);
    reg.ntClose(params);

    HANDLE machine = open(u"\\Registry\\Machine\\System");
    EXPECT_EQ(reg.ntDeleteKey(machine), STATUS_CANNOT_DELETE);  // hive roots stay
    reg.ntClose(machine);
}

TEST_F(RegistryTest, UserHandlesAreLimitedToTheAccessGrantedKernelHandlesAreNot) {
    int process = 0;
    const void* owner = &process;
    HANDLE user = nullptr;
    ASSERT_EQ(reg.ntCreateKey(&user, nullptr, u"\\Registry\\Machine\\Software\\Vorka", KEY_READ, 0, nullptr, owner),
              STATUS_SUCCESS);
    DWORD one = 1;
    EXPECT_EQ(reg.ntSetValueKey(user, u"X", REG_DWORD, &one, 4, owner), STATUS_ACCESS_DENIED);
    EXPECT_EQ(reg.ntSetValueKey(user, u"X", REG_DWORD, &one, 4), STATUS_INVALID_HANDLE);  // not a kernel handle
    HANDLE kernel = open(u"\\Registry\\Machine\\Software\\Vorka", KEY_READ);
    EXPECT_EQ(reg.ntSetValueKey(kernel, u"X", REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(reg.openHandleCount(owner), 1u);
    reg.closeHandlesOf(owner);  // the process exits
    EXPECT_EQ(reg.openHandleCount(owner), 0u);
    EXPECT_EQ(reg.openHandleCount(), 1u);
    reg.ntClose(kernel);
}

TEST_F(RegistryTest, VolatileKeysLiveOnlyUntilTheRestart) {
    HANDLE h = nullptr;
    ASSERT_EQ(reg.ntCreateKey(&h, nullptr, u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\VorkaRun",
                              KEY_ALL_ACCESS, REG_OPTION_VOLATILE, nullptr),
              STATUS_SUCCESS);
    HANDLE child = nullptr;
    EXPECT_EQ(reg.ntCreateKey(&child, h, u"Stable", KEY_ALL_ACCESS, 0, nullptr), STATUS_CHILD_MUST_BE_VOLATILE);
    reg.ntClose(h);
    reg.setString(u"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port 2", u"Driver", u"vorkahba");

    sim::Registry after;
    ASSERT_TRUE(after.fromJson(reg.toJson()));
    EXPECT_FALSE(after.keyExists(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\VorkaRun"));
    EXPECT_FALSE(after.keyExists(u"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi"));
    EXPECT_TRUE(after.keyExists(u"\\Registry\\Machine\\Hardware\\DeviceMap"));  // rebuilt at start
}

TEST_F(RegistryTest, ConfigurationSurvivesASaveAndLoadThroughAFile) {
    reg.setDword(kParams, u"PersistentNaming", 1);
    reg.setString(std::u16string(kParams) + u"\\WWNN_0000000000ABCDEF", u"PersistentDeviceName", u"Tape5655361");
    reg.setMultiString(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\Root\\VORKATBUS\\0000", u"HardwareID",
                       {u"root\\vorkatbus"});
    std::vector<std::uint8_t> binary{0, 1, 2, 0xFF};
    reg.setValue(kParams, u"Blob \u00e9", REG_BINARY, binary);
    reg.setQword(kParams, u"Big", 0x0102030405060708ULL);

    auto file = std::filesystem::temp_directory_path() / ("vorka_registry_" + std::to_string(::getpid()) + ".json");
    std::string error;
    ASSERT_TRUE(reg.save(file, &error)) << error;
    sim::Registry restarted;
    ASSERT_TRUE(restarted.load(file, &error)) << error;
    std::filesystem::remove(file);

    EXPECT_EQ(restarted.dword(kParams, u"PersistentNaming"), 1u);
    EXPECT_EQ(restarted.string(std::u16string(kParams) + u"\\wwnn_0000000000abcdef", u"PersistentDeviceName"),
              u"Tape5655361");
    EXPECT_EQ(restarted.multiString(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\Root\\VORKATBUS\\0000",
                                    u"HardwareID"),
              std::vector<std::u16string>{u"root\\vorkatbus"});
    auto blob = restarted.value(kParams, u"Blob \u00e9");
    ASSERT_TRUE(blob);
    EXPECT_EQ(blob->type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(blob->data, binary);
    EXPECT_EQ(restarted.value(kParams, u"Big")->data.size(), 8u);
    EXPECT_EQ(restarted.toJson(), reg.toJson());
}

TEST_F(RegistryTest, ABrokenRegistryFileLeavesTheRegistryAsItWas) {
    reg.setDword(kParams, u"FailoverDisabled", 1);
    std::string error;
    EXPECT_FALSE(reg.fromJson("{\"format\":\"vorka-registry\",\"version\":1,\"root\":{\"name\":\"REGISTRY\","
                              "\"keys\":[{\"name\":\"MACHINE\",\"values\":[{\"name\":\"v\",\"type\":4,\"data\":\"zz\"}]}]}}",
                              &error));
    EXPECT_NE(error.find("hexadecimal"), std::string::npos) << error;
    EXPECT_FALSE(reg.fromJson("not json", &error));
    EXPECT_FALSE(reg.load("/nonexistent/vorka/registry.json", &error));
    EXPECT_EQ(reg.dword(kParams, u"FailoverDisabled"), 1u);
}

TEST_F(RegistryTest, KeyInformationCountsSubkeysAndValues) {
    reg.setDword(kParams, u"PersistentNaming", 1);
    reg.createKeyPath(std::u16string(kParams) + u"\\SERNUM_ABC");
    HANDLE params = open(kParams);
    alignas(8) unsigned char buffer[256];
    ULONG result = 0;
    auto* full = reinterpret_cast<KEY_FULL_INFORMATION*>(buffer);
    ASSERT_EQ(reg.ntQueryKey(params, KeyFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(full->SubKeys, 1u);
    EXPECT_EQ(full->Values, 1u);
    EXPECT_EQ(full->MaxNameLen, 20u);
    EXPECT_EQ(full->MaxValueNameLen, 32u);
    EXPECT_EQ(full->MaxValueDataLen, 4u);
    auto* name = reinterpret_cast<KEY_NAME_INFORMATION*>(buffer);
    ASSERT_EQ(reg.ntQueryKey(params, KeyNameInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(name->Name), name->NameLength / 2),
              u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vorkatbus\\Parameters");
    reg.ntClose(params);
}

}  // namespace
