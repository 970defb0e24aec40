// The common kernel services as the drivers use them: passing a request down and waiting for it,
// reading the driver's configuration, creating a key below it, padding identities with zeros.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "cmntest_fixture.h"

using namespace vorka_test;
using namespace std::chrono_literals;

namespace {

class SendIrpSync : public CmnTestDriver {
protected:
    KernelResult Forward(NTSTATUS completeStatus, uint32_t mode, NTSTATUS returnStatus = 0) {
        CMNTEST_FORWARD forward{completeStatus, returnStatus, mode};
        return Request(CMNTEST_IOCTL_FORWARD, &forward);
    }
    CMNTEST_FORWARD_RESULT LastForward() {
        CMNTEST_FORWARD_RESULT result{};
        EXPECT_EQ(Request(CMNTEST_IOCTL_FORWARD_RESULT, &result).status, STATUS_SUCCESS);
        return result;
    }
};

}  // namespace

TEST_F(SendIrpSync, LowerDriverCompletingWithAWaitCodeReportsSuccess) {
    TraceWindow window(machine());
    // Completed at once, with the wait code also returned from the dispatch routine.
    EXPECT_EQ(Forward(STATUS_WAIT_1, CMNTEST_FORWARD_AT_ONCE, STATUS_WAIT_1).status, STATUS_SUCCESS);
    EXPECT_EQ(LastForward().sendIrpSyncStatus, STATUS_SUCCESS);
    EXPECT_TRUE(window.contains("CmnIrpSyncCompletion: changing status 0x00000001 to STATUS_SUCCESS"));
    EXPECT_TRUE(window.contains("CmnSendIrpSync: IoCallDriver returned STATUS_WAIT_1.  Waiting..."));

    // Pended, then completed with the last abandoned-wait code.
    EXPECT_EQ(Forward(0xBF, CMNTEST_FORWARD_PENDED).status, STATUS_SUCCESS);
    EXPECT_EQ(LastForward().sendIrpSyncStatus, STATUS_SUCCESS);
}

TEST_F(SendIrpSync, WarningsAndErrorsOfTheLowerDriverPassUnchanged) {
    // Pended: the final status is the request's own.
    EXPECT_EQ(Forward(STATUS_BUFFER_OVERFLOW, CMNTEST_FORWARD_PENDED).status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(LastForward().sendIrpSyncStatus, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Forward(STATUS_IO_TIMEOUT, CMNTEST_FORWARD_PENDED).status, STATUS_IO_TIMEOUT);
    // 0xC0 is not a wait code.
    EXPECT_EQ(Forward(0xC0, CMNTEST_FORWARD_PENDED).status, 0xC0);
}

TEST_F(SendIrpSync, SynchronousErrorIsReturnedWithoutWaitingAndCompletedOnce) {
    TraceWindow window(machine());
    auto before = LastForward();
    EXPECT_EQ(Forward(STATUS_INVALID_DEVICE_STATE, CMNTEST_FORWARD_AT_ONCE, STATUS_INVALID_DEVICE_STATE).status,
              STATUS_INVALID_DEVICE_STATE);
    auto after = LastForward();
    EXPECT_EQ(after.sendIrpSyncStatus, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(after.lowerCalls - before.lowerCalls, 1u);
    EXPECT_EQ(after.lowerCompletions - before.lowerCompletions, 1u);
    EXPECT_TRUE(window.contains("CmnSendIrpSync: Unhandled return code 0xc0000184 from IoCallDriver"));
    EXPECT_FALSE(window.contains("Waiting..."));
    // A second completion of the request would have been reported by the verifier.
}

TEST_F(SendIrpSync, CallerWaitsUntilTheLowerDriverCompletesLater) {
    TraceWindow window(machine());
    auto pending = std::async(std::launch::async, [this] {
        return Forward(STATUS_DEVICE_NOT_READY, CMNTEST_FORWARD_HELD).status;
    });
    // The sender is parked in its wait while the lower driver holds the request.
    for (int i = 0; i < 500 && !window.contains("IoCallDriver returned STATUS_PENDING.  Waiting..."); i++) {
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(window.contains("IoCallDriver returned STATUS_PENDING.  Waiting..."));
    EXPECT_EQ(pending.wait_for(50ms), std::future_status::timeout);

    KernelResult release = KernelIoctl(kCmnTestDevice, CMNTEST_IOCTL_RELEASE, nullptr, 0, nullptr, 0);
    EXPECT_EQ(release.status, STATUS_SUCCESS);
    EXPECT_EQ(pending.get(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(LastForward().sendIrpSyncStatus, STATUS_DEVICE_NOT_READY);
}

namespace {

class Configuration : public CmnTestDriver {
protected:
    CMNTEST_LOOKUP LookupDword(std::u16string_view name, std::u16string_view subkey = {}, uint32_t initial = 0x5EED) {
        CMNTEST_LOOKUP lookup{};
        name.copy(lookup.name, 63);
        subkey.copy(lookup.subkey, 199);
        lookup.type = REG_DWORD;
        lookup.initialValue = initial;
        EXPECT_EQ(Request(CMNTEST_IOCTL_LOOKUP, &lookup).status, STATUS_SUCCESS);
        return lookup;
    }
    CMNTEST_LOOKUP LookupString(std::u16string_view name, std::u16string_view subkey = {}) {
        CMNTEST_LOOKUP lookup{};
        name.copy(lookup.name, 63);
        subkey.copy(lookup.subkey, 199);
        lookup.type = REG_SZ;
        EXPECT_EQ(Request(CMNTEST_IOCTL_LOOKUP, &lookup).status, STATUS_SUCCESS);
        return lookup;
    }
    std::u16string Key(std::u16string_view subkey = {}) {
        std::u16string key(kCmnTestParameters);
        if (!subkey.empty()) {
            key += u"\\";
            key += subkey;
        }
        return key;
    }
};

}  // namespace

TEST_F(Configuration, ValuesAreReadFromTheParametersKeyOrItsSubkey) {
    ASSERT_EQ(registry().createKeyPath(Key(u"Drive7")), STATUS_SUCCESS);
    ASSERT_EQ(registry().setDword(Key(), u"Answer", 42), STATUS_SUCCESS);
    ASSERT_EQ(registry().setDword(Key(u"Drive7"), u"Answer", 7), STATUS_SUCCESS);

    auto top = LookupDword(u"Answer");
    EXPECT_EQ(top.status, STATUS_SUCCESS);
    EXPECT_EQ(top.value, 42u);

    auto sub = LookupDword(u"Answer", u"Drive7");
    EXPECT_EQ(sub.status, STATUS_SUCCESS);
    EXPECT_EQ(sub.value, 7u);
}

TEST_F(Configuration, MissingValueOrKeyKeepsTheCallersDefault) {
    ASSERT_EQ(registry().createKeyPath(Key()), STATUS_SUCCESS);
    auto missing = LookupDword(u"FailoverDisabled", {}, 0x1234);
    EXPECT_EQ(missing.status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(missing.value, 0x1234u);

    auto noKey = LookupDword(u"Answer", u"NoSuchDrive", 0x4321);
    EXPECT_FALSE(NT_SUCCESS(noKey.status));
    EXPECT_EQ(noKey.value, 0x4321u);
}

TEST_F(Configuration, ValueOfAnotherTypeIsRefusedAndCannotOverrunTheCallersStorage) {
    // Anyone with access to the key can write a string where the driver expects a number.
    ASSERT_EQ(registry().createKeyPath(Key()), STATUS_SUCCESS);
    ASSERT_EQ(registry().setString(Key(), u"FailoverDisabled", u"1111111111111111111111111111"), STATUS_SUCCESS);
    auto asString = LookupDword(u"FailoverDisabled", {}, 0);
    EXPECT_EQ(asString.status, STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(asString.value, 0u) << "the default stays";
    EXPECT_EQ(asString.guard, 0xA5A5A5A5u) << "nothing written past the 4-byte storage";

    const uint8_t blob[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    ASSERT_EQ(registry().setValue(Key(), u"FailoverEventsEnabled", REG_BINARY, blob), STATUS_SUCCESS);
    auto asBinary = LookupDword(u"FailoverEventsEnabled", {}, 0);
    EXPECT_EQ(asBinary.status, STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(asBinary.value, 0u);
    EXPECT_EQ(asBinary.guard, 0xA5A5A5A5u);

    // And a number where a name is expected.
    ASSERT_EQ(registry().setDword(Key(), u"PersistentDeviceName", 12), STATUS_SUCCESS);
    EXPECT_EQ(LookupString(u"PersistentDeviceName").status, STATUS_OBJECT_TYPE_MISMATCH);
}

TEST_F(Configuration, StringValueIsReadIntoACountedString) {
    ASSERT_EQ(registry().createKeyPath(Key(u"WWNN_0000000000ABCDEF")), STATUS_SUCCESS);
    ASSERT_EQ(registry().setString(Key(u"WWNN_0000000000ABCDEF"), u"PersistentDeviceName", u"Tape12"), STATUS_SUCCESS);
    auto name = LookupString(u"PersistentDeviceName", u"WWNN_0000000000ABCDEF");
    EXPECT_EQ(name.status, STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name.string), u"Tape12");
    EXPECT_EQ(name.stringChars, 6u);
}

TEST_F(Configuration, KeyPathThatDoesNotFitIsRefusedNotCut) {
    // A composed path holds 255 characters. Cut to fit, a longer path would name another key:
    // here the key whose name is one character shorter.
    const size_t room = 255 - kCmnTestParameters.size() - 1;
    std::u16string fits(room, u'k');
    std::u16string tooLong(room + 1, u'k');
    ASSERT_EQ(registry().createKeyPath(Key(fits)), STATUS_SUCCESS);
    ASSERT_EQ(registry().setDword(Key(fits), u"Answer", 1), STATUS_SUCCESS);
    ASSERT_EQ(registry().createKeyPath(Key(tooLong)), STATUS_SUCCESS);
    ASSERT_EQ(registry().setDword(Key(tooLong), u"Answer", 2), STATUS_SUCCESS);

    auto exact = LookupDword(u"Answer", fits, 9);
    EXPECT_EQ(exact.status, STATUS_SUCCESS);
    EXPECT_EQ(exact.value, 1u);

    auto refused = LookupDword(u"Answer", tooLong, 9);
    EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(refused.value, 9u) << "neither the shorter key's value nor anything else is read";

    CMNTEST_CREATE_KEY create{};
    std::u16string newKey = std::u16string(room, u'n') + u"x";
    newKey.copy(create.key, 199);
    ASSERT_EQ(Request(CMNTEST_IOCTL_CREATE_KEY, &create).status, STATUS_SUCCESS);
    EXPECT_EQ(create.status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(registry().keyExists(Key(newKey)));
    EXPECT_FALSE(registry().keyExists(Key(std::u16string(room, u'n'))));
}

TEST_F(Configuration, CreatingASubkeyOpensItWhenItExists) {
    ASSERT_EQ(registry().createKeyPath(Key()), STATUS_SUCCESS);   // the installer made the Parameters key
    CMNTEST_CREATE_KEY create{};
    std::u16string_view key = u"SERNUM_000000000000000000000000SN0042";
    key.copy(create.key, 199);
    ASSERT_EQ(Request(CMNTEST_IOCTL_CREATE_KEY, &create).status, STATUS_SUCCESS);
    EXPECT_EQ(create.status, STATUS_SUCCESS);
    EXPECT_TRUE(registry().keyExists(Key(key)));

    ASSERT_EQ(registry().setString(Key(key), u"PersistentDeviceName", u"Tape3"), STATUS_SUCCESS);
    ASSERT_EQ(Request(CMNTEST_IOCTL_CREATE_KEY, &create).status, STATUS_SUCCESS);
    EXPECT_EQ(create.status, STATUS_SUCCESS);
    EXPECT_EQ(registry().string(Key(key), u"PersistentDeviceName"), std::u16string(u"Tape3")) << "existing key kept";
}

namespace {

class PadWithZeros : public CmnTestDriver {
protected:
    std::string Pad(const std::string& text, uint32_t width) {
        CMNTEST_PAD pad{};
        pad.width = width;
        text.copy(pad.text, sizeof(pad.text) - 1);
        EXPECT_EQ(Request(CMNTEST_IOCTL_PAD, &pad).status, STATUS_SUCCESS);
        return pad.text;
    }
};

}  // namespace

TEST_F(PadWithZeros, ShortIdentityIsRightAlignedWithLeadingZeros) {
    EXPECT_EQ(Pad("1A2B", 16), "0000000000001A2B");
    EXPECT_EQ(Pad("SN0042ABCD", 32), "0000000000000000000000SN0042ABCD");
    EXPECT_EQ(Pad("", 4), "0000");
}

TEST_F(PadWithZeros, IdentityAsLongAsTheFieldOrLongerStaysUnchanged) {
    EXPECT_EQ(Pad("0123456789ABCDEF", 16), "0123456789ABCDEF");
    EXPECT_EQ(Pad("0123456789ABCDEFGHIJ", 16), "0123456789ABCDEFGHIJ");
}
