// What a program that lists the virtual changers gets back, byte for byte: every field of every
// descriptor written (the address's length, zeroed reserved bytes, a 32-character serial number
// without a terminator), nothing of the caller's own buffer passing for an answer, and the same
// record from the control device and from a virtual changer.
#include "changer_bus_fixture.h"
#include "device_descriptor_check.h"

namespace vorka::cbus_test {
namespace {

constexpr uint8_t kGarbage = 0xEE;

class ChangerQueryRecord : public ChangerBusTest {
protected:
    // The raw answer to IOC_QUERY_DEVICES on `device`, asked with an output buffer of `outLength`
    // bytes that holds garbage before the request (sent as the request's input, which the bus ignores).
    std::vector<uint8_t> rawQuery(std::u16string_view device, uint32_t outLength, NTSTATUS* status,
                                  ULONG_PTR* information) {
        HANDLE handle = nullptr;
        EXPECT_EQ(app().createFile(&handle, device, GENERIC_READ | GENERIC_WRITE), kSuccess);
        std::vector<uint8_t> out;
        *status = control(handle, kIocQueryDevices, std::vector<uint8_t>(outLength, kGarbage), outLength, &out,
                          information);
        closeHandle(handle);
        return out;
    }
};

uint32_t U32(const std::vector<uint8_t>& bytes, std::size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

TEST_F(ChangerQueryRecord, EveryByteOfEveryDescriptorIsTheBussOwnAnswer) {
    createPaths(0, 2);
    const std::string serial(32, 'L');   // all 32 characters: no terminator in the path records
    registerPath(0, {serial, 2, 1, 7, 3});
    registerPath(1, {serial, 5, 0, 9, 0});
    ASSERT_EQ(notifyPnp(0, kPnpStopped), kSuccess);   // the first path stopped: the second is primary

    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    std::vector<uint8_t> answer = rawQuery(u"\\\\.\\VorkaCBusDvcLnk", 4 + 2 * kDescriptorSize, &status, &information);
    ASSERT_EQ(status, kSuccess);
    ASSERT_EQ(information, 4u + 2 * kDescriptorSize);
    EXPECT_EQ(U32(answer, 0), 4u + 2 * kDescriptorSize);

    const vorka_test::ExpectedDescriptor expected[2] = {{"Changer0", serial, 2, 1, 7, 3, false, false},
                                                        {"Changer0", serial, 5, 0, 9, 0, true, true}};
    for (int i = 0; i < 2; i++) {
        SCOPED_TRACE("descriptor " + std::to_string(i));
        vorka_test::ExpectDescriptor(answer.data() + 4 + i * kDescriptorSize, expected[i]);
    }
}

TEST_F(ChangerQueryRecord, APartialAnswerLeavesTheRestOfTheCallersBufferAlone) {
    createPaths(0, 3);
    for (uint32_t i = 0; i < 3; i++) registerPath(i, {"LIB0001", static_cast<uint8_t>(i), 0, 1, 0});
    const uint32_t outLength = 4 + kDescriptorSize + 100;
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    std::vector<uint8_t> answer = rawQuery(u"\\\\.\\VorkaCBusDvcLnk", outLength, &status, &information);
    ASSERT_EQ(status, kSuccess);
    ASSERT_EQ(information, 4u + kDescriptorSize) << "one whole descriptor";
    EXPECT_EQ(U32(answer, 0), 4u + 3 * kDescriptorSize) << "the size the whole list needs";
    EXPECT_EQ(answer[4 + 64], 'L') << "the first path's descriptor";
    for (uint32_t b = 4 + kDescriptorSize; b < outLength; b++) {
        ASSERT_EQ(answer[b], kGarbage) << "byte " << b << " was not part of the answer";
    }
}

TEST_F(ChangerQueryRecord, AVirtualChangerAnswersWithTheControlDevicesVeryBytes) {
    createPaths(0, 3);
    registerPath(0, {"LIB0001", 0, 0, 1, 0});
    registerPath(1, {"LIB0002", 0, 0, 2, 0});
    registerPath(2, {"LIB0001", 1, 0, 1, 0});
    ASSERT_EQ(notifyPnp(0, kPnpStopped), kSuccess);
    const uint32_t outLength = 4 + 3 * kDescriptorSize;
    NTSTATUS controlStatus = 0, changerStatus = 0;
    ULONG_PTR controlInfo = 0, changerInfo = 0;
    std::vector<uint8_t> fromControl = rawQuery(u"\\\\.\\VorkaCBusDvcLnk", outLength, &controlStatus, &controlInfo);
    std::vector<uint8_t> fromChanger = rawQuery(u"\\\\.\\Changer1", outLength, &changerStatus, &changerInfo);
    ASSERT_EQ(controlStatus, kSuccess);
    ASSERT_EQ(changerStatus, kSuccess);
    EXPECT_EQ(controlInfo, outLength);
    EXPECT_EQ(changerInfo, outLength);
    EXPECT_EQ(fromChanger, fromControl);
}

}  // namespace
}  // namespace vorka::cbus_test
