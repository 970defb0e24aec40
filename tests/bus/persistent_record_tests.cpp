// Persistent names when the stored records are not what the bus writes: a record of the wrong type,
// a subkey that cannot be enumerated, names that do not end in "Tape<n>", and a registry that refuses
// the new record. One bad record must not cost other drives their names, and the bus never replaces
// a record it could not use.
#include <gtest/gtest.h>

#include <string>

#include "registration_harness.h"
#include "sim/objects.h"
#include "sim/registry.h"

namespace vorka::test {
namespace {

constexpr char16_t kParameters[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatbus\\Parameters";

PathSpec Drive(const std::string& serial, uint8_t port) {
    PathSpec spec;
    spec.serial = serial;
    spec.port = port;
    spec.target = 6;
    return spec;
}

std::u16string KeyOf(const std::string& serial) {
    std::string padded = std::string(32 - serial.size(), '0') + serial;
    return u"SERNUM_" + std::u16string(padded.begin(), padded.end());
}

class PersistentRecords : public TapeBusTest {
protected:
    BusConfig busConfig() const override { return {.persistentNaming = true}; }

    std::u16string keyPath(const std::u16string& driveKey) { return std::u16string(kParameters) + u"\\" + driveKey; }
    void record(const std::u16string& driveKey, const std::u16string& name) {
        machine().registry().createKeyPath(keyPath(driveKey));
        machine().registry().setString(keyPath(driveKey), u"PersistentDeviceName", name);
    }
    std::optional<sim::RegistryValue> stored(const std::u16string& driveKey) {
        return machine().registry().value(keyPath(driveKey), u"PersistentDeviceName");
    }
};

TEST_F(PersistentRecords, ARecordOfTheWrongTypeCostsNoOtherDriveItsName) {
    // Enumerated first (subkeys come in name order): a DWORD where a name belongs.
    machine().registry().createKeyPath(keyPath(KeyOf("AAAA0001")));
    machine().registry().setDword(keyPath(KeyOf("AAAA0001")), u"PersistentDeviceName", 7);
    record(KeyOf("ZZZZ0001"), u"Tape5655370");
    record(KeyOf("ZZZZ0002"), u"Tape5655371");
    reboot();

    createPaths(0, 3);
    EXPECT_EQ(registerPath(0, Drive("ZZZZ0002", 1)).tapeNumber, 5655371u);
    EXPECT_EQ(registerPath(1, Drive("ZZZZ0001", 1)).tapeNumber, 5655370u);
    EXPECT_EQ(registerPath(2, Drive("AAAA0001", 1)).tapeNumber, 5655361u) << "numbered for this start";

    EXPECT_EQ(machine().registry().string(keyPath(KeyOf("ZZZZ0001")), u"PersistentDeviceName"), u"Tape5655370");
    EXPECT_EQ(machine().registry().string(keyPath(KeyOf("ZZZZ0002")), u"PersistentDeviceName"), u"Tape5655371");
    auto bad = stored(KeyOf("AAAA0001"));
    ASSERT_TRUE(bad.has_value());
    EXPECT_EQ(bad->type, ULONG(REG_DWORD)) << "a record the bus cannot read is left as it is";
}

TEST_F(PersistentRecords, ASubkeyThatCannotBeEnumeratedIsSkipped) {
    // A name longer than a drive key can be: its enumeration does not fit the bus's buffer.
    machine().registry().createKeyPath(std::u16string(kParameters) + u"\\" + std::u16string(80, u'A'));
    record(KeyOf("ZZZZ0003"), u"Tape5655380");
    reboot();
    createPaths(0, 1);
    EXPECT_EQ(registerPath(0, Drive("ZZZZ0003", 1)).tapeNumber, 5655380u);
}

TEST_F(PersistentRecords, ARecordedNameGivesTheNumberOfItsTrailingDigits) {
    record(KeyOf("TWELVE01"), u"Tape12");
    record(KeyOf("NODIGIT1"), u"VaultDrive");
    reboot();
    createPaths(0, 2);

    EXPECT_EQ(registerPath(0, Drive("TWELVE01", 1)).tapeNumber, 12u);
    EXPECT_TRUE(deviceExists(u"\\Device\\Tape12"));
    EXPECT_EQ(sim::SymbolicLinkTarget(u"\\DosDevices\\Tape12").value_or(u""), u"\\Device\\Tape12");

    EXPECT_EQ(registerPath(1, Drive("NODIGIT1", 1)).tapeNumber, 0u) << "no trailing digits: number 0";
    EXPECT_TRUE(deviceExists(u"\\Device\\VaultDrive"));
    EXPECT_EQ(sim::SymbolicLinkTarget(u"\\DosDevices\\VaultDrive").value_or(u""), u"\\Device\\VaultDrive");
    EXPECT_EQ(machine().registry().string(keyPath(KeyOf("NODIGIT1")), u"PersistentDeviceName"), u"VaultDrive");

    // The drive's device and its link go with its last path.
    removePath(1);
    EXPECT_FALSE(deviceExists(u"\\Device\\VaultDrive"));
    EXPECT_FALSE(sim::SymbolicLinkTarget(u"\\DosDevices\\VaultDrive").has_value());
}

TEST_F(PersistentRecords, ARecordTheBusCannotUseIsNeverReplaced) {
    record(KeyOf("BADNAME3"), u"..\\Tape7");                       // not one name
    record(KeyOf("LONGNAME"), u"TapeWithAVeryLongName1");           // longer than a device name may be
    reboot();
    createPaths(0, 2);
    EXPECT_EQ(registerPath(0, Drive("BADNAME3", 1)).tapeNumber, 5655361u);
    EXPECT_EQ(registerPath(1, Drive("LONGNAME", 1)).tapeNumber, 5655362u);
    EXPECT_EQ(machine().registry().string(keyPath(KeyOf("BADNAME3")), u"PersistentDeviceName"), u"..\\Tape7");
    EXPECT_EQ(machine().registry().string(keyPath(KeyOf("LONGNAME")), u"PersistentDeviceName"),
              u"TapeWithAVeryLongName1");
}

TEST_F(PersistentRecords, ARegistryThatRefusesTheNewRecordStillGetsTheDriveADevice) {
    // The Parameters key becomes volatile: a lasting drive key cannot be created below it.
    HANDLE key = nullptr;
    ASSERT_EQ(machine().registry().ntOpenKey(&key, nullptr, kParameters, KEY_ALL_ACCESS), kStatusSuccess);
    ASSERT_EQ(machine().registry().ntDeleteKey(key), kStatusSuccess);
    machine().registry().ntClose(key);
    ASSERT_EQ(machine().registry().createKeyPath(kParameters, /*isVolatile=*/true), kStatusSuccess);

    createPaths(0, 1);
    FAKEPATH_REGISTER reg = registerPath(0, Drive("NOWRITE1", 1));
    EXPECT_EQ(reg.status, kStatusSuccess);
    EXPECT_EQ(reg.tapeNumber, 5655361u);
    EXPECT_TRUE(deviceExists(u"\\Device\\Tape5655361"));
    EXPECT_FALSE(machine().registry().keyExists(keyPath(KeyOf("NOWRITE1"))));
}

}  // namespace
}  // namespace vorka::test
