// The tape bus's device list as a listing program gets it, byte for byte: every field of every
// descriptor written (the address's length, zeroed reserved bytes and padding, a serial number of
// all 32 characters), and nothing of the caller's own buffer passing for part of the answer.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device_descriptor_check.h"
#include "registration_harness.h"

namespace vorka::test {
namespace {

constexpr uint32_t kIocQueryDevices = 0x84CAC01C;
constexpr uint8_t kGarbage = 0xEE;

class TapeQueryRecord : public TapeBusTest {
protected:
    // IOC_QUERY_DEVICES on the control device into `outLength` bytes that hold garbage before the
    // request (sent as the request's input, which the bus ignores).
    std::vector<uint8_t> rawQuery(uint32_t outLength, NTSTATUS* status, ULONG_PTR* information) {
        HANDLE bus = nullptr;
        EXPECT_EQ(app().createFile(&bus, u"\\\\.\\VorkaTBusDvcLnk", GENERIC_READ | GENERIC_WRITE), kStatusSuccess);
        auto* buffer = static_cast<uint8_t*>(app().alloc(outLength));
        std::memset(buffer, kGarbage, outLength);
        *status = app().deviceIoControl(bus, kIocQueryDevices, buffer, outLength, buffer, outLength, information);
        std::vector<uint8_t> out(buffer, buffer + outLength);
        app().free(buffer);
        closeHandle(bus);
        return out;
    }
};

TEST_F(TapeQueryRecord, EveryByteOfEveryDescriptorIsTheBussOwnAnswer) {
    createPaths(0, 2);
    const std::string serial(32, 'T');
    PathSpec first;
    first.serial = serial;
    first.port = 2;
    first.bus = 1;
    first.target = 7;
    first.lun = 3;
    PathSpec second = first;
    second.port = 5;
    second.bus = 0;
    second.target = 9;
    second.lun = 0;
    registerPath(0, first);
    registerPath(1, second);
    ASSERT_EQ(notifyPnp(0, kPnpStopped), kStatusSuccess);   // the second path becomes primary

    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    const uint32_t outLength = 4 + 2 * kDescriptorSize + 60;
    std::vector<uint8_t> answer = rawQuery(outLength, &status, &information);
    ASSERT_EQ(status, kStatusSuccess);
    ASSERT_EQ(information, 4u + 2 * kDescriptorSize);
    uint32_t required = 0;
    std::memcpy(&required, answer.data(), 4);
    EXPECT_EQ(required, 4u + 2 * kDescriptorSize);

    const vorka_test::ExpectedDescriptor expected[2] = {{"Tape0", serial, 2, 1, 7, 3, false, false},
                                                        {"Tape0", serial, 5, 0, 9, 0, true, true}};
    for (int i = 0; i < 2; i++) {
        SCOPED_TRACE("descriptor " + std::to_string(i));
        vorka_test::ExpectDescriptor(answer.data() + 4 + i * kDescriptorSize, expected[i]);
    }
    for (uint32_t b = 4 + 2 * kDescriptorSize; b < outLength; b++) {
        ASSERT_EQ(answer[b], kGarbage) << "byte " << b << " was not part of the answer";
    }
}

}  // namespace
}  // namespace vorka::test
