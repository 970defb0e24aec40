// What an administrator sees when the bus or one of its virtual devices cannot be set up: the failed
// load is in the system log with its status, and nothing half-made stays behind (no device, no link,
// no drive record) whether the name, the link or the attachment fails; a drive whose device cannot be
// made gets no record and a later registration of it starts afresh.
#include <gtest/gtest.h>

#include <string>

#include "bus_fixture.h"
#include "registration_harness.h"
#include "sim/drivers.h"
#include "sim/objects.h"

namespace {

constexpr NTSTATUS kInitFailedEvent = static_cast<NTSTATUS>(0xC0000002);
constexpr NTSTATUS kStartEvent = 0x40000001;

UNICODE_STRING Counted(const std::u16string& text) {
    return UNICODE_STRING{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                          const_cast<char16_t*>(text.c_str())};
}

class BusSetupFailure : public vorka_test::BusTest {};

TEST_F(BusSetupFailure, ASecondBusDeviceFindsTheControlDeviceNameTaken) {
    InstallBus(/*withLowerFilter=*/false);
    ASSERT_NE(controlDevice(), nullptr);
    const std::u16string second = machine().pnp().createRootDevice(u"root\\vorkatbus");
    auto node = machine().pnp().find(second);
    ASSERT_TRUE(node.has_value());
    EXPECT_NE(node->state, sim::DevNodeState::Started);

    auto failed = events(kInitFailedEvent);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].stringUtf8(0), "0xc0000035") << "STATUS_OBJECT_NAME_COLLISION";
    EXPECT_EQ(events(kStartEvent).size(), 1u) << "only the first bus started";
    vorka_test::Application app(machine(), "tapeadmin.exe");
    EXPECT_EQ(app.open(vorka_test::kBusControlLink), STATUS_SUCCESS) << "the first bus is untouched";
}

TEST_F(BusSetupFailure, ALinkNameTakenByAnotherDriverFailsTheLoadAndDeletesTheDevice) {
    std::u16string link = u"\\??\\VorkaTBusDvcLnk", elsewhere = u"\\Device\\Elsewhere";
    UNICODE_STRING usLink = Counted(link), usElsewhere = Counted(elsewhere);
    ASSERT_EQ(IoCreateSymbolicLink(&usLink, &usElsewhere), STATUS_SUCCESS);

    InstallBus(/*withLowerFilter=*/false);
    auto failed = events(kInitFailedEvent);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].stringUtf8(0), "0xc0000035");
    EXPECT_EQ(sim::FindDevice(vorka_test::kBusControlDevice), nullptr) << "the control device was deleted";
    EXPECT_EQ(sim::SymbolicLinkTarget(link).value_or(u""), elsewhere) << "the other driver's link is left alone";
    EXPECT_NE(busNode()->state, sim::DevNodeState::Started);
    EXPECT_EQ(IoDeleteSymbolicLink(&usLink), STATUS_SUCCESS);
}

TEST_F(BusSetupFailure, AControlDeviceThatCannotBeProtectedIsNotLeftOpenToEveryone) {
    machine().pool().failTag(sim::PoolTag("sDMC"));
    InstallBus(/*withLowerFilter=*/false);
    machine().pool().clearFailures();
    auto failed = events(kInitFailedEvent);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].stringUtf8(0), "0xc000009a") << "STATUS_INSUFFICIENT_RESOURCES";
    EXPECT_EQ(sim::FindDevice(vorka_test::kBusControlDevice), nullptr) << "the control device was deleted";
    EXPECT_FALSE(sim::SymbolicLinkTarget(u"\\??\\VorkaTBusDvcLnk").has_value()) << "it never got its link";
    EXPECT_NE(busNode()->state, sim::DevNodeState::Started);
}

TEST_F(BusSetupFailure, AnAttachThatFailsDeletesTheLinkAndTheDevice) {
    machine().drivers().installService(u"vorkatbus");
    ASSERT_EQ(machine().drivers().load(u"vorkatbus"), STATUS_SUCCESS);
    PDRIVER_OBJECT bus = machine().drivers().find(u"vorkatbus");
    ASSERT_NE(bus, nullptr);
    // A device object on its way out: still there (referenced), but nothing may attach to it.
    ASSERT_EQ(machine().drivers().loadBuiltIn(u"ktgoing", [](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }),
              STATUS_SUCCESS);
    PDEVICE_OBJECT going = nullptr;
    ASSERT_EQ(IoCreateDevice(machine().drivers().find(u"ktgoing"), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &going),
              STATUS_SUCCESS);
    going->Flags &= ~DO_DEVICE_INITIALIZING;
    ObReferenceObject(going);
    IoDeleteDevice(going);

    EXPECT_EQ(bus->DriverExtension->AddDevice(bus, going), STATUS_NO_SUCH_DEVICE);
    auto failed = events(kInitFailedEvent);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].stringUtf8(0), "0xc000000e");
    EXPECT_EQ(sim::FindDevice(vorka_test::kBusControlDevice), nullptr) << "the control device was deleted";
    EXPECT_FALSE(sim::SymbolicLinkTarget(u"\\??\\VorkaTBusDvcLnk").has_value()) << "and its link";
    EXPECT_TRUE(events(kStartEvent).empty());
    ObDereferenceObject(going);
}

}  // namespace

namespace vorka::test {
namespace {

class PdoSetupFailure : public TapeBusTest {};

PathSpec Drive(const std::string& serial) {
    PathSpec spec;
    spec.serial = serial;
    spec.port = 1;
    spec.target = 7;
    return spec;
}

TEST_F(PdoSetupFailure, NoPoolForTheDriveRecordLeavesNoDevice) {
    createPaths(0, 1);
    machine().pool().failTag(sim::PoolTag("dSUB"));
    FAKEPATH_REGISTER reg = registerPath(0, Drive("NOPOOL01"));
    machine().pool().clearFailures();
    EXPECT_EQ(reg.status, static_cast<int32_t>(0xC000009A));
    EXPECT_FALSE(deviceExists(tapeName(0)));
    EXPECT_FALSE(sim::SymbolicLinkTarget(u"\\DosDevices\\Tape0").has_value());
    EXPECT_EQ(query().status, static_cast<NTSTATUS>(0xC000000D)) << "no virtual device at all";

    FAKEPATH_REGISTER again = registerPath(0, Drive("NOPOOL01"));
    EXPECT_EQ(again.status, kStatusSuccess);
    EXPECT_EQ(again.tapeNumber, 0u);
}

TEST_F(PdoSetupFailure, AVirtualDeviceThatCannotBeProtectedIsDeletedAgain) {
    createPaths(0, 1);
    machine().pool().failTag(sim::PoolTag("sDMC"));
    FAKEPATH_REGISTER reg = registerPath(0, Drive("NOACL001"));
    machine().pool().clearFailures();
    EXPECT_EQ(reg.status, static_cast<int32_t>(0xC000009A));
    EXPECT_FALSE(deviceExists(tapeName(0))) << "no device that any user could open";
    EXPECT_FALSE(sim::SymbolicLinkTarget(u"\\DosDevices\\Tape0").has_value());
    EXPECT_EQ(livePoolWithTag(sim::PoolTag("dSUB")), 0u) << "no drive record";

    FAKEPATH_REGISTER again = registerPath(0, Drive("NOACL001"));
    EXPECT_EQ(again.status, kStatusSuccess);
    EXPECT_EQ(again.tapeNumber, 0u);
}

TEST_F(PdoSetupFailure, ALinkNameTakenByAnotherDriverLeavesNoDevice) {
    std::u16string link = u"\\DosDevices\\Tape0", elsewhere = u"\\Device\\Elsewhere";
    UNICODE_STRING usLink{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2),
                          const_cast<char16_t*>(link.c_str())};
    UNICODE_STRING usElsewhere{static_cast<USHORT>(elsewhere.size() * 2), static_cast<USHORT>(elsewhere.size() * 2),
                               const_cast<char16_t*>(elsewhere.c_str())};
    ASSERT_EQ(IoCreateSymbolicLink(&usLink, &usElsewhere), STATUS_SUCCESS);

    createPaths(0, 1);
    FAKEPATH_REGISTER reg = registerPath(0, Drive("LINKED01"));
    EXPECT_EQ(reg.status, static_cast<int32_t>(0xC0000035));
    EXPECT_FALSE(deviceExists(tapeName(0))) << "the device made before the link was deleted again";
    EXPECT_EQ(sim::SymbolicLinkTarget(link).value_or(u""), elsewhere);
    EXPECT_EQ(livePoolWithTag(sim::PoolTag("dSUB")), 0u) << "and its drive record freed";
    EXPECT_EQ(IoDeleteSymbolicLink(&usLink), STATUS_SUCCESS);
}

}  // namespace
}  // namespace vorka::test
