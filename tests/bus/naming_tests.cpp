// Names of virtual tape devices: numbering around names that are taken, persistent names recorded
// per drive under the bus's Parameters key and given again after a restart of the machine, the
// drive key built from the node name or the serial number, and records that cannot be used.
#include <gtest/gtest.h>

#include <string>

#include "registration_harness.h"
#include "sim/objects.h"
#include "sim/registry.h"

namespace vorka::test {
namespace {

constexpr char16_t kParameters[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatbus\\Parameters";

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

PathSpec Named(const std::string& serial, uint8_t port, const std::string& wwnn = "0000000000000000",
               uint8_t lun = 0) {
    PathSpec spec;
    spec.serial = serial;
    spec.wwnn = wwnn;
    spec.port = port;
    spec.target = 5;
    spec.lun = lun;
    return spec;
}

class NamingTest : public TapeBusTest {
protected:
    std::optional<std::u16string> recordedName(const std::u16string& driveKey) {
        return machine().registry().string(std::u16string(kParameters) + u"\\" + driveKey, u"PersistentDeviceName");
    }
    void record(const std::u16string& driveKey, const std::u16string& name) {
        std::u16string key = std::u16string(kParameters) + u"\\" + driveKey;
        machine().registry().createKeyPath(key);
        machine().registry().setString(key, u"PersistentDeviceName", name);
    }
    std::vector<std::u16string> driveKeys() { return machine().registry().subkeys(kParameters); }
};

using Numbering = NamingTest;

TEST_F(Numbering, NamesOtherDriversHoldAreSkipped) {
    ASSERT_EQ(occupyName(u"\\Device\\Tape0"), kStatusSuccess);   // a tape class driver's device
    ASSERT_EQ(occupyName(u"\\Device\\Tape2"), kStatusSuccess);
    createPaths(0, 3);
    EXPECT_EQ(registerPath(0, Named("NUM00001", 1)).tapeNumber, 1u);
    EXPECT_EQ(registerPath(1, Named("NUM00002", 1)).tapeNumber, 3u);
    EXPECT_EQ(registerPath(2, Named("NUM00003", 1)).tapeNumber, 4u);
    EXPECT_EQ(sim::SymbolicLinkTarget(u"\\DosDevices\\Tape1").value_or(u""), u"\\Device\\Tape1");
    EXPECT_TRUE(driveKeys().empty()) << "without persistent naming nothing is recorded";
    releaseOccupiedNames();
}

class PersistentNaming : public NamingTest {
    BusConfig busConfig() const override { return {.persistentNaming = true}; }
};

TEST_F(PersistentNaming, NewDrivesAreNumberedFrom5655361AndRecorded) {
    createPaths(0, 3);
    EXPECT_EQ(registerPath(0, Named("PERS0001", 1, "0000000000ABCDEF")).tapeNumber, 5655361u);
    EXPECT_EQ(registerPath(1, Named("PERS0002", 1)).tapeNumber, 5655362u);
    EXPECT_EQ(registerPath(2, Named("PERS0001", 2, "0000000000ABCDEF")).tapeNumber, 5655361u);
    EXPECT_TRUE(deviceExists(u"\\Device\\Tape5655361"));
    EXPECT_EQ(recordedName(u"WWNN_0000000000ABCDEF"), u"Tape5655361");
    EXPECT_EQ(recordedName(u"SERNUM_000000000000000000000000PERS0002"), u"Tape5655362");
    EXPECT_EQ(driveKeys().size(), 2u);
}

TEST_F(PersistentNaming, EveryDriveGetsItsNameAgainAfterARestart) {
    createPaths(0, 4);
    std::vector<PathSpec> drives = {Named("BOOT0001", 1, "5ABCDEF000000001"), Named("BOOT0002", 1),
                                    Named("BOOT0003", 2, "5ABCDEF000000003", /*lun=*/2), Named("BOOT 4/x", 2)};
    std::vector<uint32_t> numbers;
    for (uint32_t i = 0; i < drives.size(); i++) numbers.push_back(registerPath(i, drives[i]).tapeNumber);

    reboot();

    // The drives come back in another order, and a new drive appears first.
    createPaths(0, 5);
    PathSpec newcomer = Named("BOOT0005", 3);
    uint32_t newNumber = registerPath(4, newcomer).tapeNumber;
    for (int i = static_cast<int>(drives.size()) - 1; i >= 0; i--) {
        EXPECT_EQ(registerPath(static_cast<uint32_t>(i), drives[i]).tapeNumber, numbers[i]) << drives[i].serial;
    }
    for (uint32_t n : numbers) EXPECT_NE(newNumber, n) << "the new drive does not take a recorded name";
    EXPECT_EQ(newNumber, 5655365u);
}

TEST_F(PersistentNaming, ARecordedNameThatIsTakenFallsBackToNumberingAndKeepsTheRecord) {
    createPaths(0, 2);
    PathSpec drive = Named("HELD0001", 1);
    EXPECT_EQ(registerPath(0, drive).tapeNumber, 5655361u);
    const std::u16string key = u"SERNUM_000000000000000000000000HELD0001";

    reboot();
    // Another driver's device holds the recorded name this time.
    ASSERT_EQ(occupyName(u"\\Device\\Tape5655361"), kStatusSuccess);
    createPaths(0, 1);
    uint32_t fallback = registerPath(0, drive).tapeNumber;
    EXPECT_NE(fallback, 5655361u);
    EXPECT_EQ(fallback, 5655362u);
    EXPECT_EQ(recordedName(key), u"Tape5655361") << "the drive's record is unchanged";
    releaseOccupiedNames();

    reboot();
    createPaths(0, 1);
    EXPECT_EQ(registerPath(0, drive).tapeNumber, 5655361u) << "and the drive gets its name back";
}

TEST_F(PersistentNaming, NumbersRecordedForOtherDrivesAreNotGivenOut) {
    record(u"SERNUM_00000000000000000000000000ABSENT", u"Tape5655361");
    record(u"WWNN_00000000DEADBEEF", u"Tape5655362");
    reboot();
    createPaths(0, 1);
    EXPECT_EQ(registerPath(0, Named("FRESH001", 1)).tapeNumber, 5655363u);
}

TEST_F(PersistentNaming, TheDriveKeyComesFromTheNodeNameOnlyAtLogicalUnitZero) {
    createPaths(0, 4);
    registerPath(0, Named("KEYS0001", 1, "0000000000abcdef"));
    registerPath(1, Named("KEYS0002", 1, "0000000000abcde0", /*lun=*/1));
    registerPath(2, Named("KEYS0003", 2, "0000000000000000"));
    registerPath(3, Named("0123456789", 3));
    EXPECT_TRUE(recordedName(u"WWNN_0000000000abcdef").has_value());
    EXPECT_TRUE(recordedName(u"SERNUM_000000000000000000000000KEYS0002").has_value()) << "logical unit 1";
    EXPECT_TRUE(recordedName(u"SERNUM_000000000000000000000000KEYS0003").has_value()) << "node name all '0'";
    EXPECT_TRUE(recordedName(u"SERNUM_00000000000000000000000123456789").has_value())
        << "ten characters behind 22 zeros";
}

TEST_F(PersistentNaming, DrivesWhoseIdentificationFailedGetNoRecord) {
    createPaths(0, 2);
    PathSpec unknown = Named(std::string(32, '0'), 1);
    unknown.failover = false;
    PathSpec other = unknown;
    other.port = 2;
    EXPECT_EQ(registerPath(0, unknown).tapeNumber, 5655361u);
    EXPECT_EQ(registerPath(1, other).tapeNumber, 5655362u);
    EXPECT_TRUE(driveKeys().empty()) << "one shared key would hand both the same name";
}

TEST_F(PersistentNaming, RecordsThatAreNotUsableAreIgnored) {
    record(u"WWNN_12G4", u"Tape5655361");                                   // not hexadecimal
    record(u"SERNUM_000000000000000000000000BADNAME1", u"Tape5655361 ");     // not a device name
    record(u"SERNUM_000000000000000000000000BADNAME2", u"Tape05655362");     // two names for one device
    record(u"SERNUM_000000000000000000000000BADNAME3", u"..\\Tape7");
    machine().registry().createKeyPath(std::u16string(kParameters) + u"\\SERNUM_000000000000000000000000NOVALUE1");
    record(u"Unrelated", u"Tape5655361");
    reboot();
    createPaths(0, 4);
    EXPECT_EQ(registerPath(0, Named("BADNAME1", 1)).tapeNumber, 5655361u) << "numbered afresh";
    EXPECT_EQ(registerPath(1, Named("BADNAME3", 1)).tapeNumber, 5655362u);
    EXPECT_EQ(registerPath(2, Named("NOVALUE1", 1)).tapeNumber, 5655363u);
    EXPECT_EQ(recordedName(u"SERNUM_000000000000000000000000BADNAME1"), u"Tape5655361 ")
        << "a record the bus cannot use is left as it is";
    EXPECT_EQ(recordedName(u"SERNUM_000000000000000000000000BADNAME3"), u"..\\Tape7");
}

TEST_F(Numbering, ADriveThatAsksForPersistentNamingTurnsItOnForTheBus) {
    createPaths(0, 2);
    EXPECT_EQ(registerPath(0, Named("ASK00001", 1)).tapeNumber, 0u);
    PathSpec asking = Named("ASK00002", 1);
    asking.persistentNaming = true;
    EXPECT_EQ(registerPath(1, asking).tapeNumber, 5655361u);
    EXPECT_EQ(recordedName(u"SERNUM_000000000000000000000000ASK00002"), u"Tape5655361");
}

}  // namespace
}  // namespace vorka::test
