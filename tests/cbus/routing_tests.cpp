// Requests on a virtual changer: which path they reach, when they are sent again on another control
// path (the sense table and the no-failover list), and what comes back to the caller.
#include "changer_bus_fixture.h"

namespace vorka::cbus_test {
namespace {

class ChangerRouting : public ChangerBusTest {
protected:
    BusConfig busConfig() const override { return {.eventsEnabled = true}; }

    // A library with `paths` control paths, all started; the first is primary.
    void library(uint32_t paths) {
        createPaths(0, paths);
        for (uint32_t i = 0; i < paths; i++) {
            ASSERT_EQ(registerPath(i, {"LIB0001", static_cast<uint8_t>(i), 0, 4, 0}).status, kSuccess);
        }
        ASSERT_EQ(openChanger(0, &changer_), kSuccess);
    }
    void TearDown() override {
        if (changer_ != nullptr) closeHandle(changer_);
        ChangerBusTest::TearDown();
    }
    std::vector<uint32_t> primaries() {
        std::vector<uint32_t> result;
        QueryAnswer answer = query();
        for (std::size_t i = 0; i < answer.descriptors.size(); i++) {
            if (answer.descriptors[i].primary) result.push_back(static_cast<uint32_t>(i));
        }
        return result;
    }
    size_t failoverEvents() {
        size_t count = 0;
        for (const auto& e : busEvents()) count += e.code == 0x80000004u;
        return count;
    }
    // A buffered pass-through record (64-bit layout) with room for 32 sense bytes.
    static std::vector<uint8_t> passThrough(std::vector<uint8_t> stale = {}) {
        std::vector<uint8_t> record(56 + 32, 0);
        record[0] = 56;       // Length
        record[6] = 6;        // CdbLength
        record[7] = 32;       // SenseInfoLength
        uint32_t senseOffset = 56;
        std::memcpy(&record[32], &senseOffset, 4);
        std::copy(stale.begin(), stale.end(), record.begin() + 56);
        return record;
    }

    HANDLE changer_ = nullptr;
};

TEST_F(ChangerRouting, AMoveGoesToThePrimaryPathOnly) {
    library(2);
    EXPECT_EQ(moveMedium(changer_), kSuccess);
    EXPECT_EQ(pathInfo(0).requests, 1u);
    EXPECT_EQ(pathInfo(1).requests, 0u);
    EXPECT_EQ(pathInfo(0).lastIoctl, kIoctlChangerMoveMedium);
    // The application opened the virtual changer, not the path: its file object stays above.
    EXPECT_EQ(pathInfo(0).lastHadFileObject, 0u);
}

TEST_F(ChangerRouting, APositioningFailedByTheControlPathCompletesOnTheOtherPathWhichStaysPrimary) {
    library(2);
    setAnswer(0, {.status = kIoDeviceError});
    EXPECT_EQ(positionTransport(changer_), kSuccess);
    // The library ran it once: on the path that answered with success.
    EXPECT_EQ(pathInfo(0).successes + pathInfo(1).successes, 1u);
    EXPECT_EQ(pathInfo(1).successes, 1u);
    EXPECT_EQ(primaries(), std::vector<uint32_t>{1});
    // Later requests start on the new primary, also when the old path works again.
    setAnswer(0, {});
    EXPECT_EQ(positionTransport(changer_), kSuccess);
    EXPECT_EQ(pathInfo(0).requests, 1u);
    EXPECT_EQ(pathInfo(1).requests, 2u);

    auto events = busEvents();
    ASSERT_EQ(failoverEvents(), 1u);
    for (const auto& e : events) {
        if (e.code != 0x80000004u) continue;
        ASSERT_EQ(e.strings.size(), 2u);
        EXPECT_EQ(e.strings[0], u"(NTSTATUS 0xC0000185)");
        EXPECT_EQ(e.strings[1], u"0x30401C");
    }
}

// A move whose answer was lost may have carried the cartridge: sent again it would find the source
// empty and tell the application so while the cartridge sits in the drive. The other path asks the
// library where the cartridge is; a library that cannot tell (these paths answer no element status)
// leaves the outcome open, and the move is not sent again.
TEST_F(ChangerRouting, AMoveWhoseAnswerWasLostIsNotSentAgainWhenTheLibraryCannotTellWhereTheCartridgeIs) {
    library(2);
    setAnswer(0, {.status = kIoDeviceError});
    EXPECT_EQ(moveMedium(changer_), kIoDeviceError);
    EXPECT_EQ(pathInfo(1).requests, 0u) << "no second move";
    EXPECT_EQ(primaries(), std::vector<uint32_t>{1});
    // A move refused before it ran (NOT READY) is sent on at once.
    setAnswer(1, {.senseValid = true, .senseKey = 0x02, .asc = 0x04});
    setAnswer(0, {});
    EXPECT_EQ(moveMedium(changer_), kSuccess);
    EXPECT_EQ(pathInfo(0).successes, 1u);
}

TEST_F(ChangerRouting, MediumAndElementStatusesCompleteAtOnceWithoutFailover) {
    library(2);
    for (NTSTATUS status : {kNoMedia, kSourceElementEmpty}) {
        setAnswer(0, {.status = status});
        EXPECT_EQ(moveMedium(changer_), status);
    }
    EXPECT_EQ(pathInfo(1).requests, 0u);
    EXPECT_EQ(failoverEvents(), 0u);
    EXPECT_EQ(primaries(), std::vector<uint32_t>{0});
}

// A library that another host reserved answers RESERVATION CONFLICT, which reaches the bus as
// STATUS_DEVICE_BUSY, on every path alike: the application hears it, and the primary path stays.
TEST_F(ChangerRouting, AReservationConflictIsTheApplicationsAnswerAndMovesNoPrimaryPath) {
    library(2);
    setAnswer(0, {.status = kDeviceBusy});
    EXPECT_EQ(positionTransport(changer_), kDeviceBusy);
    EXPECT_EQ(pathInfo(1).requests, 0u);
    EXPECT_EQ(primaries(), std::vector<uint32_t>{0});
    EXPECT_EQ(failoverEvents(), 0u);
    setAnswer(0, {});
    EXPECT_EQ(positionTransport(changer_), kSuccess);
    EXPECT_EQ(pathInfo(0).successes, 1u);
}

TEST_F(ChangerRouting, HardwareErrorSenseFailsOverAndUnitAttentionDoesNot) {
    library(2);
    setAnswer(0, {.senseValid = true, .senseKey = 0x06, .asc = 0x28});
    EXPECT_EQ(positionTransport(changer_), kSuccess);
    EXPECT_EQ(pathInfo(1).requests, 0u) << "UNIT ATTENTION is no path failure";
    setAnswer(0, {.senseValid = true, .senseKey = 0x04, .asc = 0x15, .ascq = 0x01});
    EXPECT_EQ(positionTransport(changer_), kSuccess);
    EXPECT_EQ(pathInfo(1).requests, 1u);
    EXPECT_EQ(primaries(), std::vector<uint32_t>{1});
}

TEST_F(ChangerRouting, AbortedCommandOnEveryPathTriesEachPathOnceAndReturnsTheLastAnswer) {
    library(3);
    for (uint32_t i = 0; i < 3; i++) {
        setAnswer(i, {.status = kSuccess, .senseValid = true, .senseKey = 0x0B, .asc = 0x47});
    }
    EXPECT_EQ(positionTransport(changer_), kSuccess);
    for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(pathInfo(i).requests, 1u) << "path " << i;
    EXPECT_EQ(failoverEvents(), 3u) << "one event per matching sense, also the one that stops the retries";
}

TEST_F(ChangerRouting, PassThroughSenseDecidesOnlyWithCheckConditionAndAnExactRow) {
    library(2);
    std::vector<uint8_t> out;
    // NOT READY / 04 / 00 with CHECK CONDITION: the path failed.
    setAnswer(0, {.senseKey = 0x02, .asc = 0x04, .ascq = 0x00, .ptScsiStatus = 0x02, .ptSenseLength = 18});
    EXPECT_EQ(control(changer_, kIoctlScsiPassThrough, passThrough(), 88, &out), kSuccess);
    EXPECT_EQ(pathInfo(1).requests, 1u);
    // 02 / 04 / 01 (becoming ready) is not in the table: completed with the sense.
    setAnswer(1, {.senseKey = 0x02, .asc = 0x04, .ascq = 0x01, .ptScsiStatus = 0x02, .ptSenseLength = 18,
                  .information = 88});
    EXPECT_EQ(control(changer_, kIoctlScsiPassThrough, passThrough(), 88, &out), kSuccess);
    EXPECT_EQ(pathInfo(0).requests, 1u);
    EXPECT_EQ(out[2], 0x02) << "the caller sees the CHECK CONDITION";
    EXPECT_EQ(out[56 + 13], 0x01) << "and the sense bytes";
}

TEST_F(ChangerRouting, StaleSenseBytesInTheCallersBufferNeverRepeatASuccessfulCommand) {
    library(2);
    // The application reuses a buffer that still holds HARDWARE ERROR sense; the command succeeds
    // with GOOD status and no sense.
    std::vector<uint8_t> stale(18, 0);
    stale[0] = 0x70;
    stale[2] = 0x04;
    stale[7] = 10;
    setAnswer(0, {.ptScsiStatus = 0x00, .ptSenseLength = 0});
    EXPECT_EQ(control(changer_, kIoctlScsiPassThrough, passThrough(stale), 88), kSuccess);
    EXPECT_EQ(pathInfo(0).successes, 1u);
    EXPECT_EQ(pathInfo(1).requests, 0u) << "a successful command is never sent again";
}

TEST_F(ChangerRouting, TheCallerNeverGetsMoreThanItsOwnBuffer) {
    library(1);
    setAnswer(0, {.information = 4096});
    std::vector<uint8_t> out;
    ULONG_PTR information = 0;
    EXPECT_EQ(control(changer_, kIoctlChangerGetStatus, {}, 16, &out, &information), kSuccess);
    EXPECT_EQ(information, 16u);
}

TEST_F(ChangerRouting, ScsiAddressIsThePrimaryPathsAndNeedsEightBytes) {
    library(2);
    std::vector<uint8_t> out;
    ULONG_PTR information = 0;
    EXPECT_EQ(control(changer_, kIoctlScsiGetAddress, {}, 7), kInfoLengthMismatch);
    EXPECT_EQ(control(changer_, kIoctlScsiGetAddress, {}, 8, &out, &information), kSuccess);
    EXPECT_EQ(information, 8u);
    EXPECT_EQ(out[4], 0) << "port of path 0";
    EXPECT_EQ(notifyPnp(0, kPnpStopped), kSuccess);
    EXPECT_EQ(control(changer_, kIoctlScsiGetAddress, {}, 8, &out), kSuccess);
    EXPECT_EQ(out[4], 1) << "port of the new primary";
    // A request that fails over makes its new path the one the address names.
    EXPECT_EQ(notifyPnp(0, kPnpStarted), kSuccess);
    setAnswer(1, {.status = kIoDeviceError});
    EXPECT_EQ(positionTransport(changer_), kSuccess);
    EXPECT_EQ(primaries(), std::vector<uint32_t>{0});
    EXPECT_EQ(control(changer_, kIoctlScsiGetAddress, {}, 8, &out), kSuccess);
    EXPECT_EQ(out[4], 0) << "port of the path the request failed over to";
}

// A program matching devices by number must find the virtual changer, not one of its paths.
TEST_F(ChangerRouting, DeviceNumberIsTheChangersOwnAndReachesNoPath) {
    constexpr uint32_t kIoctlStorageGetDeviceNumber = 0x002D1080;
    createPaths(0, 3);
    ASSERT_EQ(registerPath(0, {"LIB0001", 0, 0, 4, 0}).changerNumber, 0u);
    ASSERT_EQ(registerPath(1, {"LIB0002", 0, 0, 5, 0}).changerNumber, 1u);
    ASSERT_EQ(registerPath(2, {"LIB0002", 1, 0, 5, 0}).changerNumber, 1u);
    ASSERT_EQ(openChanger(1, &changer_), kSuccess);
    std::vector<uint8_t> out;
    ULONG_PTR information = 0;
    EXPECT_EQ(control(changer_, kIoctlStorageGetDeviceNumber, {}, 11), static_cast<NTSTATUS>(0xC0000023));
    EXPECT_EQ(notifyPnp(1, kPnpStopped), kSuccess);
    EXPECT_EQ(control(changer_, kIoctlStorageGetDeviceNumber, {}, 12, &out, &information), kSuccess);
    ASSERT_EQ(information, 12u);
    uint32_t number[3];
    std::memcpy(number, out.data(), sizeof number);
    EXPECT_EQ(number[0], 0x30u) << "FILE_DEVICE_CHANGER";
    EXPECT_EQ(number[1], 1u) << "n of \\Device\\Changer<n>";
    EXPECT_EQ(number[2], 0xFFFFFFFFu) << "a changer has no partitions";
    EXPECT_EQ(pathInfo(1).requests + pathInfo(2).requests, 0u);
}

TEST_F(ChangerRouting, AChangerWhoseOnlyPathIsStoppedFailsRequestsButKnowsItsAddress) {
    library(1);
    EXPECT_EQ(notifyPnp(0, kPnpStopped), kSuccess);
    EXPECT_EQ(moveMedium(changer_), kObjectPathNotFound);
    EXPECT_EQ(control(changer_, kIoctlScsiGetAddress, {}, 8), kSuccess);
    EXPECT_EQ(pathInfo(0).requests, 0u);
    EXPECT_EQ(notifyPnp(0, kPnpStarted), kSuccess);
    EXPECT_EQ(moveMedium(changer_), kSuccess);
}

TEST_F(ChangerRouting, CodesThatWouldHandThePathsUserAddressesAreRefused) {
    library(1);
    // METHOD_NEITHER and direct-method codes, the pass-through-direct-EX code, and the base driver's
    // private codes from a user program.
    const uint32_t neither = (0x30u << 16) | (0x900u << 2) | 3;
    const uint32_t outDirect = (0x30u << 16) | (0x901u << 2) | 2;
    const uint32_t sptdEx = 0x4D048;
    const uint32_t setExtInBase = 0x84C9C014;
    for (uint32_t code : {neither, outDirect, sptdEx, setExtInBase}) {
        EXPECT_EQ(control(changer_, code, std::vector<uint8_t>(64, 0), 64), kInvalidDeviceRequest)
            << std::hex << code;
    }
    EXPECT_EQ(pathInfo(0).requests, 0u) << "nothing reached the path";
}

TEST_F(ChangerRouting, APassThroughRecordIsCheckedBeforeAnyFieldIsRead) {
    library(1);
    EXPECT_NE(control(changer_, kIoctlScsiPassThrough, std::vector<uint8_t>(20, 0), 20), kSuccess);
    std::vector<uint8_t> wrongLength = passThrough();
    wrongLength[0] = 50;
    EXPECT_EQ(control(changer_, kIoctlScsiPassThrough, wrongLength, 88), kInfoLengthMismatch);
    EXPECT_EQ(pathInfo(0).requests, 0u);
}

TEST_F(ChangerRouting, OpenCloseReadAndWriteSucceedWithoutReachingAPath) {
    library(1);
    HANDLE second = nullptr;
    EXPECT_EQ(openChanger(0, &second), kSuccess);
    uint8_t* buffer = static_cast<uint8_t*>(app().alloc(16));
    ULONG_PTR information = 99;
    EXPECT_EQ(app().read(second, buffer, 16, &information), kSuccess);
    EXPECT_EQ(information, 0u) << "read carries no data";
    EXPECT_EQ(app().write(second, buffer, 16, &information), kSuccess);
    app().free(buffer);
    EXPECT_EQ(closeHandle(second), kSuccess);
    EXPECT_EQ(pathInfo(0).requests, 0u);
}

}  // namespace
}  // namespace vorka::cbus_test
