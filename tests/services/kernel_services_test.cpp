// The exported kernel services as driver code calls them: Zw registry calls,
// debugger output and assertions, counted strings, and the event log fed by
// a real driver image with its own message table.
#include <cstring>

#include "machine_fixture.h"
#include "sample.h"
#include "sim/drivers.h"
#include "wdm.h"

namespace {

PWSTR W(const char16_t* s) { return const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(s)); }

std::u16string Text(const UNICODE_STRING& s) {
    return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / 2);
}

using KernelServices = MachineTest;

// The persistent-name steps of the tape bus: create the drive's key below the
// parameters key, record the name, find it again by enumeration.
TEST_F(KernelServices, DriversCreateEnumerateAndReadKeysThroughZwCalls) {
    registry().createKeyPath(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatbus\\Parameters");
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, W(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatbus\\Parameters"
                                  u"\\SERNUM_00000000000000000000001234567890"));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE | OBJ_OPENIF, nullptr, nullptr);
    HANDLE key = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE,
                          &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, W(u"PersistentDeviceName"));
    const char16_t name[] = u"Tape5655361";
    ASSERT_EQ(ZwSetValueKey(key, &valueName, 0, REG_SZ, const_cast<char16_t*>(name), sizeof name), STATUS_SUCCESS);
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);

    UNICODE_STRING params;
    RtlInitUnicodeString(&params, W(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatbus\\Parameters"));
    InitializeObjectAttributes(&oa, &params, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &oa), STATUS_SUCCESS);
    alignas(8) unsigned char buffer[124];
    ULONG result = 0;
    ASSERT_EQ(ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(info->Name), info->NameLength / 2),
              u"SERNUM_00000000000000000000001234567890");
    EXPECT_EQ(ZwEnumerateKey(key, 1, KeyBasicInformation, buffer, sizeof buffer, &result), STATUS_NO_MORE_ENTRIES);

    HANDLE drive = nullptr;
    UNICODE_STRING relative;
    RtlInitUnicodeString(&relative, W(u"SERNUM_00000000000000000000001234567890"));
    InitializeObjectAttributes(&oa, &relative, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, key, nullptr);
    ASSERT_EQ(ZwOpenKey(&drive, KEY_READ, &oa), STATUS_SUCCESS);
    ASSERT_EQ(ZwQueryValueKey(drive, &valueName, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);
    auto* value = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(value->Data)), u"Tape5655361");
    EXPECT_EQ(ZwDeleteKey(key), STATUS_CANNOT_DELETE);
    ZwClose(drive);
    ZwClose(key);
    EXPECT_EQ(registry().openHandleCount(), 0u);
}

TEST_F(KernelServices, ClosingARegistryHandleTwiceIsReported) {
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, W(u"\\Registry\\Machine\\Software"));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    auto reports = takeViolations();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("closed twice"), std::string::npos);
}

TEST_F(KernelServices, DebugOutputReachesTheTraceAndLongLinesAreCutAt512) {
    auto mark = machine().trace().mark();
    DbgPrint("VorkaTpBus: EXT: %d -> %d: %s, %d: %s\n", 1, 0, "bus.c", 99, "BusAddDevice: status 0x00000000");
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "%s", "no newline yet");
    DbgPrint(" ... done\n");
    std::string longText(600, 'y');
    DbgPrint("%s", longText.c_str());
    auto lines = machine().trace().linesSince(mark);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "VorkaTpBus: EXT: 1 -> 0: bus.c, 99: BusAddDevice: status 0x00000000");
    EXPECT_EQ(lines[1], "no newline yet ... done");
    EXPECT_EQ(lines[2], std::string(511, 'y'));  // 512 characters, the last one turned into a line break
}

TEST_F(KernelServices, FailedAssertionsAreRecordedAndExecutionGoesOn) {
    int fallbackTaken = 0;
    BOOLEAN fDup = TRUE;
    if (!ASSERT(!fDup)) fallbackTaken = 1;
    EXPECT_EQ(fallbackTaken, 1);
    auto assertions = machine().trace().assertions();
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_EQ(assertions[0].expression, "!fDup");
    EXPECT_NE(assertions[0].file.find("kernel_services_test.cpp"), std::string::npos);
    EXPECT_GT(assertions[0].line, 0u);
    EXPECT_TRUE(machine().trace().contains("*** Assertion failed: !fDup"));
    ASSERTMSG("missing drive record", 1 == 1);  // holds: nothing recorded
    EXPECT_EQ(machine().trace().assertions().size(), 1u);
}

TEST_F(KernelServices, CountedStringsConvertCompareAndAppend) {
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "VK Virtual 6");
    UNICODE_STRING wide{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Text(wide), u"VK Virtual 6");
    EXPECT_EQ(wide.MaximumLength, wide.Length + 2);
    UNICODE_STRING upper;
    RtlInitUnicodeString(&upper, W(u"vk VIRTUAL 6"));
    EXPECT_TRUE(RtlEqualUnicodeString(&wide, &upper, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&wide, &upper, FALSE));
    EXPECT_GT(RtlCompareUnicodeString(&upper, &wide, FALSE), 0);  // 'v' sorts after 'V'
    RtlFreeUnicodeString(&wide);
    EXPECT_EQ(wide.Buffer, nullptr);

    WCHAR storage[8];
    UNICODE_STRING dest{0, sizeof storage, storage};
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, W(u"Tape")), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, W(u"12345")), STATUS_BUFFER_TOO_SMALL);  // nothing appended
    EXPECT_EQ(Text(dest), u"Tape");
    UNICODE_STRING number{0, 6, storage + 4};
    EXPECT_EQ(RtlIntegerToUnicodeString(12, 10, &number), STATUS_SUCCESS);
    dest.Length += number.Length;
    EXPECT_EQ(Text(dest), u"Tape12");
    EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &number), STATUS_BUFFER_OVERFLOW);  // no room for the terminator

    ULONG parsed = 0;
    UNICODE_STRING digits;
    RtlInitUnicodeString(&digits, W(u"  0x1F junk"));
    EXPECT_EQ(RtlUnicodeStringToInteger(&digits, 0, &parsed), STATUS_SUCCESS);
    EXPECT_EQ(parsed, 31u);
    RtlInitUnicodeString(&digits, W(u"-5655361"));
    EXPECT_EQ(RtlUnicodeStringToInteger(&digits, 10, &parsed), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<LONG>(parsed), -5655361);
    EXPECT_EQ(RtlUnicodeStringToInteger(&digits, 7, &parsed), STATUS_INVALID_PARAMETER);

    WCHAR small[4];
    UNICODE_STRING cut{0, sizeof small, small};
    RtlCopyUnicodeString(&cut, &upper);
    EXPECT_EQ(Text(cut), u"vk V");  // copied up to MaximumLength, no room for a terminator

    char narrow[5];
    ANSI_STRING shortAnsi{0, sizeof narrow, narrow};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&shortAnsi, &upper, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "vk V");
}

TEST_F(KernelServices, GuidsRoundTripThroughTheirText) {
    GUID guid{0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
    UNICODE_STRING text{};
    ASSERT_EQ(RtlStringFromGUID(&guid, &text), STATUS_SUCCESS);
    EXPECT_EQ(Text(text), u"{53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}");
    GUID back{};
    EXPECT_EQ(RtlGUIDFromString(&text, &back), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&guid, &back, sizeof guid), 0);
    RtlFreeUnicodeString(&text);
    UNICODE_STRING bad;
    RtlInitUnicodeString(&bad, W(u"{53F5630D-B6BF-11D0-94F2-00A0C91EFB8}"));
    EXPECT_EQ(RtlGUIDFromString(&bad, &back), STATUS_INVALID_PARAMETER);
}

// Drivers look the Ex form of the registry query up by name before using it.
TEST_F(KernelServices, TheExtendedRegistryQueryIsFoundByName) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, W(u"RtlQueryRegistryValuesEx"));
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), reinterpret_cast<PVOID>(&RtlQueryRegistryValuesEx));
}

// ---- a driver image writing events ---------------------------------------------

class DriverEvents : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        machine().drivers().installService(u"vktestdrv");
    }
    static constexpr char16_t kService[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vktestdrv";
};

TEST_F(DriverEvents, StartAndUnloadEventsRenderFromTheDriversOwnMessageTable) {
    ASSERT_EQ(machine().drivers().load(u"vktestdrv"), STATUS_SUCCESS);
    auto started = machine().eventLog().entriesWithCode(SAMPLE_STARTED);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].source.objectName, u"\\Driver\\vktestdrv");
    std::string driverText = started[0].stringUtf8(0);
    ASSERT_EQ(driverText.size(), 18u);  // "0x" and 16 uppercase digits
    EXPECT_EQ(started[0].displayText(), "Sample driver started successfully.  Driver object is " + driverText +
                                            ", bus FDO is " + started[0].stringUtf8(1) + ".");

    auto fromDevice = machine().eventLog().entriesWithCode(SAMPLE_STATUS);
    ASSERT_EQ(fromDevice.size(), 1u);
    EXPECT_EQ(fromDevice[0].source.objectName, u"\\Device\\VkTestDev");
    EXPECT_EQ(fromDevice[0].source.driverName, u"\\Driver\\vktestdrv");
    EXPECT_EQ(fromDevice[0].displayText(),
              "Sample driver received status (NTSTATUS 0xC000000E) on IOCTL 0x2D4800.  Failover will be attempted.");
    EXPECT_TRUE(machine().trace().contains("vktestdrv: DriverEntry \\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet"
                                           "\\Services\\vktestdrv") ||
                machine().trace().contains("vktestdrv: DriverEntry \\Registry\\Machine\\System"));
    EXPECT_TRUE(machine().trace().assertions().empty());

    ASSERT_EQ(machine().drivers().unload(u"vktestdrv"), STATUS_SUCCESS);
    auto unloading = machine().eventLog().entriesWithCode(SAMPLE_TWO_LINES);
    ASSERT_EQ(unloading.size(), 1u);
    EXPECT_EQ(unloading[0].displayText(), "First line of \\Driver\\vktestdrv.\nSecond line, 100% done.");
    EXPECT_EQ(machine().eventLog().outstandingPackets(), 0u);
}

TEST_F(DriverEvents, AFailingStartIsLoggedWithTheStatusText) {
    registry().setDword(std::u16string(kService) + u"\\Parameters", u"FailEntry", 0xC000009A);
    EXPECT_EQ(machine().drivers().load(u"vktestdrv"), static_cast<NTSTATUS>(0xC000009A));
    auto failed = machine().eventLog().entriesWithCode(SAMPLE_INIT_FAILED);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].displayText(), "Sample driver initialization failed with RC 0xC000009A.");
}

TEST_F(DriverEvents, ADriverThatTypeChecksItsSettingRefusesAStringInsteadOfOverrunning) {
    registry().setString(std::u16string(kService) + u"\\Parameters", u"FailEntry", u"1");
    EXPECT_EQ(machine().drivers().load(u"vktestdrv"), STATUS_OBJECT_TYPE_MISMATCH);
    auto failed = machine().eventLog().entriesWithCode(SAMPLE_INIT_FAILED);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].stringUtf8(0), "0xC0000024");
}

TEST_F(DriverEvents, NoPacketsMeansTheEventIsLostButTheDriverStarts) {
    machine().eventLog().failNextAllocations(2);
    ASSERT_EQ(machine().drivers().load(u"vktestdrv"), STATUS_SUCCESS);
    EXPECT_EQ(machine().eventLog().size(), 0u);
    EXPECT_EQ(machine().trace().count("vktestdrv: no error log packet"), 2u);
}

}  // namespace
