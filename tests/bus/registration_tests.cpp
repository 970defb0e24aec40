// Path registration: grouping paths into drives, the primary path, adapter accounting, paths that go
// away or restart, registrations that fail half-way, and the "new primary path" event.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "registration_harness.h"
#include "sim/eventlog.h"
#include "sim/objects.h"

namespace vorka::test {
namespace {

constexpr ULONG kTagPdoData = vorka_test::PoolTag("dSUB");
constexpr ULONG kTagPathData = vorka_test::PoolTag("pSUB");
constexpr ULONG kTagAdapter = vorka_test::PoolTag("aSUB");
constexpr NTSTATUS kInsufficientResources = static_cast<NTSTATUS>(0xC000009A);
constexpr NTSTATUS kEventNewPrimary = 0x40000006;
constexpr NTSTATUS kEventSerialClash = static_cast<NTSTATUS>(0x80000009);

PathSpec Drive(const std::string& serial, uint8_t port, uint8_t target = 1) {
    PathSpec spec;
    spec.serial = serial;
    spec.port = port;
    spec.target = target;
    return spec;
}

std::vector<Descriptor> PathsOf(const QueryAnswer& answer, const std::string& name) {
    std::vector<Descriptor> paths;
    for (const auto& d : answer.descriptors) {
        if (d.name == name) {
            paths.push_back(d);
        }
    }
    return paths;
}

int PrimaryIndex(const std::vector<Descriptor>& paths) {
    int found = -1;
    for (std::size_t i = 0; i < paths.size(); i++) {
        if (paths[i].primary) {
            EXPECT_EQ(found, -1) << "at most one primary path per drive";
            found = static_cast<int>(i);
        }
    }
    return found;
}

using Grouping = TapeBusTest;

TEST_F(Grouping, TwoPathsOfOneDriveShareOneVirtualDevice) {
    createPaths(0, 2);
    auto a = registerPath(0, Drive("HU1234567", 1));
    auto b = registerPath(1, Drive("HU1234567", 2));
    ASSERT_EQ(a.status, kStatusSuccess);
    ASSERT_EQ(b.status, kStatusSuccess);
    EXPECT_EQ(a.tapeNumber, 0u);
    EXPECT_EQ(b.tapeNumber, 0u) << "both filters learn the same Tape number";
    EXPECT_NE(a.baseDriverExt, 0u) << "the status table address comes back";
    EXPECT_EQ(a.baseDriverExt, b.baseDriverExt) << "one status table per bus driver";

    EXPECT_TRUE(deviceExists(u"\\Device\\Tape0"));
    EXPECT_EQ(sim::SymbolicLinkTarget(u"\\DosDevices\\Tape0").value_or(u""), u"\\Device\\Tape0");
    EXPECT_FALSE(deviceExists(u"\\Device\\Tape1"));

    QueryAnswer answer = query();
    ASSERT_EQ(answer.status, kStatusSuccess);
    ASSERT_EQ(answer.descriptors.size(), 2u);
    EXPECT_EQ(answer.descriptors[0].port, 1) << "paths in registration order";
    EXPECT_EQ(answer.descriptors[1].port, 2);
    EXPECT_TRUE(answer.descriptors[0].primary) << "the first started path is primary";
    EXPECT_FALSE(answer.descriptors[1].primary);
    EXPECT_TRUE(answer.descriptors[0].active && answer.descriptors[1].active);
    EXPECT_EQ(answer.descriptors[0].serial, "HU1234567");
    EXPECT_TRUE(answer.descriptors[0].failover);

    // Tools that look a SCSI address up in the device map find the virtual device.
    EXPECT_EQ(deviceMapName(Drive("HU1234567", 1)), u"Tape0");
    EXPECT_EQ(deviceMapName(Drive("HU1234567", 2)), u"Tape0");
}

// The serial number groups paths; a device whose logical unit reports another node name than the
// drive of that serial number (both known) is another drive, gets a virtual device of its own, and
// the event log says so. A node name the device did not report (all '0') does not keep it apart.
TEST_F(Grouping, TheSerialNumberGroupsUnlessTheNodeNamesDiffer) {
    createPaths(0, 5);
    PathSpec a = Drive("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 1);   // 32 characters
    a.wwnn = "5abcdef000aaaaaa";
    PathSpec sameNode = a;
    sameNode.port = 2;
    sameNode.wwnn = "5ABCDEF000AAAAAA";   // the same node name in capitals
    PathSpec unknownNode = a;
    unknownNode.port = 4;
    unknownNode.wwnn = "0000000000000000";
    PathSpec otherNode = a;
    otherNode.port = 3;
    otherNode.wwnn = "5abcdef000bbbbbb";   // another drive that reports the same serial number
    PathSpec c = Drive("ABCDEFGHIJKLMNOPQRSTUVWXYZ012346", 5);   // differs in the last character
    EXPECT_EQ(registerPath(0, a).tapeNumber, 0u);
    EXPECT_EQ(registerPath(1, sameNode).tapeNumber, 0u);
    EXPECT_EQ(registerPath(2, unknownNode).tapeNumber, 0u);
    EXPECT_TRUE(machine().eventLog().entriesWithCode(kEventSerialClash).empty());
    EXPECT_EQ(registerPath(3, otherNode).tapeNumber, 1u);
    EXPECT_EQ(registerPath(4, c).tapeNumber, 2u);
    QueryAnswer answer = query();
    EXPECT_EQ(PathsOf(answer, "Tape0").size(), 3u);
    EXPECT_EQ(PathsOf(answer, "Tape1").size(), 1u);
    EXPECT_EQ(PathsOf(answer, "Tape2").size(), 1u);
    const auto events = machine().eventLog().entriesWithCode(kEventSerialClash);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].stringUtf8(0), "port 3 bus 0 target 1 lun 0");
    EXPECT_EQ(events[0].stringUtf8(1), "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
    EXPECT_NE(events[0].text.find(u"is not grouped with that drive"), std::u16string::npos);
}

TEST_F(Grouping, PathsWithoutFailoverGetAVirtualDeviceEach) {
    createPaths(0, 3);
    PathSpec a = Drive("SAME0001", 1);
    a.failover = false;
    PathSpec b = a;
    b.port = 2;
    EXPECT_EQ(registerPath(0, a).tapeNumber, 0u);
    EXPECT_EQ(registerPath(1, b).tapeNumber, 1u);
    // A path with failover on does not join a device that belongs to a path without it.
    EXPECT_EQ(registerPath(2, Drive("SAME0001", 3)).tapeNumber, 2u);
    QueryAnswer answer = query();
    ASSERT_EQ(answer.descriptors.size(), 3u);
    for (const auto& d : PathsOf(answer, "Tape0")) EXPECT_FALSE(d.failover);
    for (const auto& d : PathsOf(answer, "Tape1")) EXPECT_FALSE(d.failover);
    EXPECT_TRUE(deviceExists(u"\\Device\\Tape2"));
}

TEST_F(Grouping, DrivesWithoutIdentityAreNeverGroupedTogether) {
    // Every drive whose identification failed registers the same all-'0' serial number.
    createPaths(0, 2);
    PathSpec a = Drive(std::string(32, '0'), 1);
    PathSpec b = Drive(std::string(32, '0'), 2);
    EXPECT_EQ(registerPath(0, a).tapeNumber, 0u);
    EXPECT_EQ(registerPath(1, b).tapeNumber, 1u);
}

class GroupingFailoverDisabled : public TapeBusTest {
    BusConfig busConfig() const override { return {.failoverDisabled = true}; }
};

TEST_F(GroupingFailoverDisabled, EveryPathGetsItsOwnDeviceWithoutFailover) {
    createPaths(0, 2);
    EXPECT_EQ(registerPath(0, Drive("DRIVE01", 1)).tapeNumber, 0u);
    EXPECT_EQ(registerPath(1, Drive("DRIVE01", 2)).tapeNumber, 1u);
    QueryAnswer answer = query();
    ASSERT_EQ(answer.descriptors.size(), 2u);
    EXPECT_FALSE(answer.descriptors[0].failover);
    EXPECT_FALSE(answer.descriptors[1].failover);
}

using PrimaryPath = TapeBusTest;

TEST_F(PrimaryPath, MovesToTheNextStartedPathAndComesBackWhenOneStarts) {
    createPaths(0, 3);
    for (uint32_t p = 0; p < 3; p++) {
        registerPath(p, Drive("PRIM0001", static_cast<uint8_t>(p + 1)));
    }
    EXPECT_EQ(PrimaryIndex(query().descriptors), 0);

    EXPECT_EQ(notifyPnp(0, kPnpStopped), kStatusSuccess);
    auto paths = query().descriptors;
    EXPECT_EQ(PrimaryIndex(paths), 1) << "the first active path in list order";
    EXPECT_FALSE(paths[0].active);

    EXPECT_EQ(notifyPnp(1, kPnpSurpriseRemove), kStatusSuccess);
    EXPECT_EQ(PrimaryIndex(query().descriptors), 2);

    EXPECT_EQ(notifyPnp(2, kPnpStopPending), kStatusSuccess);
    EXPECT_EQ(PrimaryIndex(query().descriptors), -1) << "no started path, no primary";

    EXPECT_EQ(notifyPnp(1, kPnpStarted), kStatusSuccess);
    EXPECT_EQ(PrimaryIndex(query().descriptors), 1) << "a path that starts while none is primary";
    EXPECT_EQ(notifyPnp(0, kPnpStarted), kStatusSuccess);
    EXPECT_EQ(PrimaryIndex(query().descriptors), 1) << "a later start does not take over";

    EXPECT_EQ(notifyPnp(1, kPnpAbsent), kStatusSuccess);
    paths = query().descriptors;
    ASSERT_EQ(paths.size(), 2u) << "an absent path is gone";
    EXPECT_EQ(PrimaryIndex(paths), 0);
}

TEST_F(PrimaryPath, APathRegisteredBeforeItStartsBecomesPrimaryWhenItStarts) {
    createPaths(0, 1);
    PathSpec spec = Drive("LATE0001", 1);
    spec.pnpState = kPnpNotStarted;
    EXPECT_EQ(registerPath(0, spec).status, kStatusSuccess);
    auto paths = query().descriptors;
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_FALSE(paths[0].active);
    EXPECT_FALSE(paths[0].primary);
    notifyPnp(0, kPnpStarted);
    paths = query().descriptors;
    EXPECT_TRUE(paths[0].active);
    EXPECT_TRUE(paths[0].primary);
}

TEST_F(PrimaryPath, ANotificationForAnUnknownPathChangesNothing) {
    createPaths(0, 2);
    registerPath(0, Drive("KNOWN001", 1));
    EXPECT_EQ(notifyPnp(1, kPnpStopped), kStatusSuccess);
    EXPECT_EQ(notifyPnp(1, kPnpAbsent), kStatusSuccess);
    auto paths = query().descriptors;
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_TRUE(paths[0].primary);
}

using PathRemoval = TapeBusTest;

TEST_F(PathRemoval, TheLastPathTakesTheDeviceItsLinkAndItsRecordsAlong) {
    createPaths(0, 3);
    registerPath(0, Drive("GONE0001", 1));
    registerPath(1, Drive("GONE0001", 2));
    registerPath(2, Drive("STAY0001", 1));
    EXPECT_EQ(livePoolWithTag(kTagPdoData), 2u);
    EXPECT_EQ(livePoolWithTag(kTagPathData), 3u);
    EXPECT_EQ(livePoolWithTag(kTagAdapter), 2u) << "one record per host adapter";

    removePath(0);
    EXPECT_TRUE(deviceExists(u"\\Device\\Tape0")) << "the drive still has a path";
    EXPECT_EQ(livePoolWithTag(kTagAdapter), 2u) << "adapter 1 still carries the other drive";
    removePath(1);
    EXPECT_FALSE(deviceExists(u"\\Device\\Tape0"));
    EXPECT_FALSE(sim::SymbolicLinkTarget(u"\\DosDevices\\Tape0").has_value());
    EXPECT_EQ(livePoolWithTag(kTagPdoData), 1u);
    EXPECT_EQ(livePoolWithTag(kTagPathData), 1u);
    EXPECT_EQ(livePoolWithTag(kTagAdapter), 1u) << "adapter 2 went with its last path";

    QueryAnswer answer = query();
    ASSERT_EQ(answer.descriptors.size(), 1u);
    EXPECT_EQ(answer.descriptors[0].name, "Tape1");

    removePath(2);
    EXPECT_EQ(livePoolWithTag(kTagPdoData), 0u);
    EXPECT_EQ(livePoolWithTag(kTagPathData), 0u);
    EXPECT_EQ(livePoolWithTag(kTagAdapter), 0u);
    EXPECT_EQ(query().status, static_cast<NTSTATUS>(0xC000000D)) << "no virtual device left to report";

    // The number is free again for the next drive.
    createPaths(0, 1);
    EXPECT_EQ(registerPath(0, Drive("NEXT0001", 1)).tapeNumber, 0u);
}

using PathRestart = TapeBusTest;

TEST_F(PathRestart, APathStoppedAndStartedFiveTimesIsStillOneRecord) {
    createPaths(0, 2);
    registerPath(0, Drive("REST0001", 1));
    registerPath(1, Drive("REST0001", 2));
    for (int i = 0; i < 5; i++) {
        // A filter notifies the stop and registers again at its next start.
        EXPECT_EQ(notifyPnp(0, kPnpStopped), kStatusSuccess);
        auto again = registerPath(0, Drive("REST0001", 1));
        EXPECT_EQ(again.status, kStatusSuccess);
        EXPECT_EQ(again.tapeNumber, 0u);
    }
    auto paths = query().descriptors;
    ASSERT_EQ(paths.size(), 2u) << "no duplicate record for the restarted path";
    EXPECT_TRUE(paths[0].active);
    EXPECT_EQ(PrimaryIndex(paths), 1) << "the primary moved at the first stop and stayed";
    EXPECT_EQ(livePoolWithTag(kTagPathData), 2u);
    EXPECT_EQ(livePoolWithTag(kTagAdapter), 2u);

    // Notifications reach the one record: stopping path 1 makes path 0 primary again.
    notifyPnp(1, kPnpStopped);
    EXPECT_EQ(PrimaryIndex(query().descriptors), 0);

    removePath(0);
    removePath(1);
    EXPECT_FALSE(deviceExists(u"\\Device\\Tape0"));
    EXPECT_EQ(livePoolWithTag(kTagPathData), 0u) << "nothing stays behind";
    EXPECT_EQ(livePoolWithTag(kTagAdapter), 0u);
    EXPECT_EQ(livePoolWithTag(kTagPdoData), 0u);
}

TEST_F(PathRestart, APathWithoutFailoverKeepsItsDeviceAcrossRestarts) {
    createPaths(0, 1);
    PathSpec spec = Drive("SOLO0001", 1);
    spec.failover = false;
    for (int i = 0; i < 3; i++) {
        notifyPnp(0, kPnpStopped);
        EXPECT_EQ(registerPath(0, spec).tapeNumber, 0u);
    }
    EXPECT_FALSE(deviceExists(u"\\Device\\Tape1"));
    EXPECT_EQ(query().descriptors.size(), 1u);
}

TEST_F(PathRestart, APathThatNowReachesAnotherDriveMovesToThatDrive) {
    createPaths(0, 2);
    registerPath(0, Drive("FIRST001", 1));
    registerPath(1, Drive("FIRST001", 2));
    // The drive behind path 1 was exchanged while the path was stopped.
    notifyPnp(1, kPnpStopped);
    auto moved = registerPath(1, Drive("SECOND01", 2));
    EXPECT_EQ(moved.tapeNumber, 1u);
    QueryAnswer answer = query();
    EXPECT_EQ(PathsOf(answer, "Tape0").size(), 1u);
    EXPECT_EQ(PathsOf(answer, "Tape1").size(), 1u);
    EXPECT_EQ(deviceMapName(Drive("SECOND01", 2)), u"Tape1");
}

using FailedRegistration = TapeBusTest;

TEST_F(FailedRegistration, NoAdapterRecordMeansNoPathRecordAndNoDevice) {
    createPaths(0, 2);
    machine().pool().failTag(kTagAdapter);
    auto failed = registerPath(0, Drive("NOPOOL01", 7));
    machine().pool().clearFailures();
    EXPECT_EQ(failed.status, kInsufficientResources);
    EXPECT_FALSE(deviceExists(u"\\Device\\Tape0")) << "the device made for the failed path went again";
    EXPECT_EQ(livePoolWithTag(kTagPathData), 0u);
    EXPECT_EQ(livePoolWithTag(kTagPdoData), 0u);

    // The path's removal and a later registration find nothing half-made.
    EXPECT_EQ(notifyPnp(0, kPnpAbsent), kStatusSuccess);
    auto ok = registerPath(1, Drive("NOPOOL01", 7));
    EXPECT_EQ(ok.status, kStatusSuccess);
    EXPECT_EQ(ok.tapeNumber, 0u);
    EXPECT_EQ(query().descriptors.size(), 1u);
}

TEST_F(FailedRegistration, APathWhoseDeviceMapEntryCannotBeWrittenIsNotKept) {
    createPaths(0, 2);
    registerPath(0, Drive("NOMAP001", 1));
    // The port driver never made the entry: the bus cannot point it at the virtual device.
    PathSpec second = Drive("NOMAP001", 2);
    FAKEPATH_REGISTER req = registerPath(1, second, /*createDeviceMapEntry=*/false);
    EXPECT_FALSE(NT_SUCCESS(req.status)) << "the filter is told the path is not registered";
    auto paths = query().descriptors;
    ASSERT_EQ(paths.size(), 1u) << "and the bus does not route to it";
    EXPECT_EQ(paths[0].port, 1);
    EXPECT_EQ(livePoolWithTag(kTagPathData), 1u);
    EXPECT_EQ(livePoolWithTag(kTagAdapter), 1u) << "the adapter count of the failed path was given back";
}

class PrimaryEvents : public TapeBusTest {
    BusConfig busConfig() const override { return {.eventsEnabled = true}; }
};

TEST_F(PrimaryEvents, EveryNewPrimaryPathIsLoggedWithItsDeviceAndSerialNumber) {
    createPaths(0, 2);
    auto first = registerPath(0, Drive("EVNT0001", 1));
    auto second = registerPath(1, Drive("EVNT0001", 2));
    auto events = machine().eventLog().entriesWithCode(kEventNewPrimary);
    ASSERT_EQ(events.size(), 1u) << "the first started path became primary";
    // Every user can read the event log: the path is named by its SCSI address, never by the
    // address of a kernel object.
    EXPECT_EQ(events[0].stringUtf8(0), "port 1 bus 0 target 1 lun 0");
    EXPECT_EQ(events[0].stringUtf8(1), "EVNT0001");

    notifyPnp(0, kPnpStopped);
    events = machine().eventLog().entriesWithCode(kEventNewPrimary);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].stringUtf8(0), "port 2 bus 0 target 1 lun 0");
    EXPECT_NE(events[1].text.find(u"is new primary path"), std::u16string::npos);
    for (const auto& event : events) {
        for (auto object : {first.deviceObject, second.deviceObject}) {
            char pointer[24];
            std::snprintf(pointer, sizeof(pointer), "%016llX", static_cast<unsigned long long>(object));
            EXPECT_EQ(event.stringUtf8(0).find(pointer), std::string::npos);
        }
    }
}

TEST_F(PathRemoval, WithoutFailoverEventsNoPrimaryChangeIsLogged) {
    createPaths(0, 2);
    registerPath(0, Drive("QUIET001", 1));
    registerPath(1, Drive("QUIET001", 2));
    notifyPnp(0, kPnpStopped);
    EXPECT_TRUE(machine().eventLog().entriesWithCode(kEventNewPrimary).empty());
}

}  // namespace
}  // namespace vorka::test
