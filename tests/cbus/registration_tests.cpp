// Control paths registering with the changer bus: grouping by serial number, the virtual changers'
// names, the device map, the control device's checks, and what a failed or repeated registration
// leaves behind.
#include "changer_bus_fixture.h"

#include "sim/objects.h"

namespace vorka::cbus_test {
namespace {

class ChangerRegistration : public ChangerBusTest {};

TEST_F(ChangerRegistration, TwoPathsOfOneLibraryShareOneVirtualChangerWithTheFirstActivePathPrimary) {
    createPaths(0, 2);
    PathSpec first{"LIB0001", 0, 0, 4, 0};
    PathSpec second{"LIB0001", 1, 0, 4, 0};
    FAKECPATH_REGISTER a = registerPath(0, first);
    FAKECPATH_REGISTER b = registerPath(1, second);
    EXPECT_EQ(a.status, kSuccess);
    EXPECT_EQ(b.status, kSuccess);
    EXPECT_EQ(a.changerNumber, 0u);
    EXPECT_EQ(b.changerNumber, 0u);
    EXPECT_NE(a.baseDriverExt, 0u) << "the filter gets the status table for its base driver";
    EXPECT_EQ(a.baseDriverExt, b.baseDriverExt);
    EXPECT_TRUE(deviceExists(u"\\Device\\Changer0"));
    EXPECT_FALSE(deviceExists(u"\\Device\\Changer1"));

    QueryAnswer answer = query();
    ASSERT_EQ(answer.status, kSuccess);
    EXPECT_EQ(answer.requiredSize, 4u + 2 * kDescriptorSize);
    ASSERT_EQ(answer.descriptors.size(), 2u);
    EXPECT_EQ(answer.descriptors[0].name, "Changer0");
    EXPECT_EQ(answer.descriptors[0].serial, "LIB0001");
    EXPECT_TRUE(answer.descriptors[0].primary);
    EXPECT_FALSE(answer.descriptors[1].primary);
    EXPECT_TRUE(answer.descriptors[1].active);
    EXPECT_EQ(answer.descriptors[1].port, 1);
    // Programs that look through the device map see the virtual changer under both paths.
    EXPECT_EQ(deviceMapName(first), u"Changer0");
    EXPECT_EQ(deviceMapName(second), u"Changer0");
}

TEST_F(ChangerRegistration, DifferentLibrariesAndPathsWithoutFailoverGetChangersOfTheirOwn) {
    createPaths(0, 3);
    EXPECT_EQ(registerPath(0, {"LIBA", 0, 0, 1, 0}).changerNumber, 0u);
    EXPECT_EQ(registerPath(1, {"LIBB", 0, 0, 2, 0}).changerNumber, 1u);
    PathSpec solo{"LIBA", 1, 0, 1, 0};
    solo.failover = false;
    EXPECT_EQ(registerPath(2, solo).changerNumber, 2u);
    QueryAnswer answer = query();
    ASSERT_EQ(answer.descriptors.size(), 3u);
    // The bus lists its changers in the order of their records' addresses, not of registration.
    for (const auto& descriptor : answer.descriptors) {
        EXPECT_EQ(descriptor.failover, descriptor.name != "Changer2") << descriptor.name;
    }
}

TEST_F(ChangerRegistration, NamesTakenByTheBaseDriversPathDevicesAreSkipped) {
    // The base changer driver names its path devices \Device\Changer<n> too.
    ASSERT_EQ(occupyName(u"\\Device\\Changer0"), kSuccess);
    ASSERT_EQ(occupyName(u"\\Device\\Changer1"), kSuccess);
    createPaths(0, 1);
    FAKECPATH_REGISTER reg = registerPath(0, {"LIB0003", 0, 0, 3, 0});
    EXPECT_EQ(reg.status, kSuccess);
    EXPECT_EQ(reg.changerNumber, 2u);
    EXPECT_TRUE(deviceExists(u"\\Device\\Changer2"));
    EXPECT_EQ(query().descriptors.at(0).name, "Changer2");
}

TEST_F(ChangerRegistration, ASerialNumberOfExactly32CharactersGroupsWithoutATerminator) {
    createPaths(0, 2);
    const std::string serial(32, 'S');
    PathSpec first{serial, 0, 0, 1, 0};
    PathSpec second{serial, 1, 0, 1, 0};
    EXPECT_EQ(registerPath(0, first).changerNumber, 0u);
    EXPECT_EQ(registerPath(1, second).changerNumber, 0u);
    QueryAnswer answer = query();
    ASSERT_EQ(answer.descriptors.size(), 2u);
    EXPECT_EQ(answer.descriptors[0].serial, serial);
}

TEST_F(ChangerRegistration, OnlyKernelModeCallersMayRegisterOrNotify) {
    HANDLE bus = nullptr;
    ASSERT_EQ(app().createFile(&bus, u"\\\\.\\VorkaCBusDvcLnk", GENERIC_READ | GENERIC_WRITE), kSuccess);
    // A user program naming some device object as its "path" would have the bus send requests to it.
    std::vector<uint8_t> record(80, 0);
    record[1] = 'X';
    EXPECT_EQ(control(bus, kIocRegister, record, 80), kAccessDenied);
    EXPECT_EQ(control(bus, kIocNotify, std::vector<uint8_t>(16, 0), 0), kAccessDenied);
    closeHandle(bus);
    EXPECT_FALSE(deviceExists(u"\\Device\\Changer0"));
}

TEST_F(ChangerRegistration, QueryOnABusWithoutChangersFailsAndTooShortAnOutputIsRefused) {
    EXPECT_EQ(query().status, kInvalidParameter);
    createPaths(0, 1);
    registerPath(0, {"LIB0001", 0, 0, 1, 0});
    EXPECT_EQ(query(u"\\\\.\\VorkaCBusDvcLnk", 147).status, kInfoLengthMismatch);
    QueryAnswer onChanger = query(u"\\\\.\\Changer0");
    EXPECT_EQ(onChanger.status, kSuccess) << "a virtual changer answers the query too";
    EXPECT_EQ(onChanger.descriptors.size(), 1u);
}

TEST_F(ChangerRegistration, APartialQueryAnswerCarriesOnlyWholeDescriptorsAndTheFullSize) {
    createPaths(0, 3);
    for (uint32_t i = 0; i < 3; i++) registerPath(i, {"LIB0001", static_cast<uint8_t>(i), 0, 1, 0});
    QueryAnswer answer = query(u"\\\\.\\VorkaCBusDvcLnk", 4 + 2 * kDescriptorSize + 100);
    EXPECT_EQ(answer.status, kSuccess);
    EXPECT_EQ(answer.requiredSize, 4u + 3 * kDescriptorSize);
    EXPECT_EQ(answer.information, 4u + 2 * kDescriptorSize);
}

TEST_F(ChangerRegistration, AFilterDeviceObjectRegisteringAgainUpdatesItsOneRecord) {
    createPaths(0, 1);
    PathSpec spec{"LIB0001", 0, 0, 1, 0};
    registerPath(0, spec);
    spec.target = 9;   // the path came back at another address
    FAKECPATH_REGISTER again = registerPath(0, spec);
    EXPECT_EQ(again.status, kSuccess);
    EXPECT_EQ(again.changerNumber, 0u);
    QueryAnswer answer = query();
    ASSERT_EQ(answer.descriptors.size(), 1u) << "no second record for the same path";
    EXPECT_EQ(answer.descriptors[0].target, 9);
    EXPECT_TRUE(answer.descriptors[0].primary);
    EXPECT_EQ(deviceMapName(spec), u"Changer0") << "the device map names the virtual changer after every registration";
}

TEST_F(ChangerRegistration, AFailedRegistrationLeavesNoPathAndNoChangerBehind) {
    createPaths(0, 1);
    // No device map entry for the path: naming the changer there fails.
    FAKECPATH_REGISTER reg = registerPath(0, {"LIB0001", 3, 0, 7, 0}, /*createDeviceMapEntry=*/false);
    EXPECT_NE(reg.status, kSuccess);
    EXPECT_EQ(reg.baseDriverExt, 0u) << "the filter is told nothing";
    EXPECT_FALSE(deviceExists(u"\\Device\\Changer0"));
    EXPECT_EQ(query().status, kInvalidParameter) << "no path is listed";
}

TEST_F(ChangerRegistration, ControlCodeBuffersOneByteShortAreRefused) {
    // Through the fake filter the records are whole; a short one comes straight from a kernel caller.
    HANDLE bus = nullptr;
    ASSERT_EQ(app().createFile(&bus, u"\\\\.\\VorkaCBusDvcLnk", GENERIC_READ | GENERIC_WRITE), kSuccess);
    // From user mode the short record is refused as well, before anything reads it.
    EXPECT_NE(control(bus, kIocRegister, std::vector<uint8_t>(79, 0), 79), kSuccess);
    EXPECT_NE(control(bus, kIocNotify, std::vector<uint8_t>(15, 0), 0), kSuccess);
    closeHandle(bus);
}

class ChangerRegistrationFailoverDisabled : public ChangerBusTest {
protected:
    BusConfig busConfig() const override { return {.failoverDisabled = true}; }
};

TEST_F(ChangerRegistrationFailoverDisabled, EveryPathGetsItsOwnChangerAndReportsNoFailover) {
    createPaths(0, 2);
    EXPECT_EQ(registerPath(0, {"LIB0001", 0, 0, 1, 0}).changerNumber, 0u);
    EXPECT_EQ(registerPath(1, {"LIB0001", 1, 0, 1, 0}).changerNumber, 1u);
    QueryAnswer answer = query();
    ASSERT_EQ(answer.descriptors.size(), 2u);
    EXPECT_FALSE(answer.descriptors[0].failover);
    EXPECT_FALSE(answer.descriptors[1].failover);
}

class ChangerRegistrationEvents : public ChangerBusTest {
protected:
    BusConfig busConfig() const override { return {.eventsEnabled = true}; }
};

TEST_F(ChangerRegistrationEvents, StoppingThePrimaryPathMakesTheOtherPrimaryAndLogsIt) {
    createPaths(0, 2);
    registerPath(0, {"LIB0001", 0, 0, 1, 0});
    FAKECPATH_REGISTER second = registerPath(1, {"LIB0001", 1, 0, 1, 0});
    size_t before = busEvents().size();
    EXPECT_EQ(notifyPnp(0, kPnpStopped), kSuccess);
    QueryAnswer answer = query();
    ASSERT_EQ(answer.descriptors.size(), 2u);
    EXPECT_FALSE(answer.descriptors[0].active) << "the stopped path stays listed";
    EXPECT_FALSE(answer.descriptors[0].primary);
    EXPECT_TRUE(answer.descriptors[1].primary);
    auto events = busEvents();
    ASSERT_EQ(events.size(), before + 1);
    EXPECT_EQ(events.back().code, 0x40000006u);
    ASSERT_EQ(events.back().strings.size(), 2u);
    EXPECT_FALSE(events.back().strings[0].empty()) << "the new primary's filter device object";
    EXPECT_EQ(events.back().strings[1], u"LIB0001");
    (void)second;
}

}  // namespace
}  // namespace vorka::cbus_test
