// Path stacks for the filter tests: one SAN drive on one path under the fake tape
// bus, or one root device with the scripted base driver (fakes.h).
#pragma once

#include "tape_rig.h"

namespace tapetest {

// One drive on one path, under the fake bus.
struct SinglePath {
    explicit SinglePath(RigOptions options = {}, const std::function<void(sim::hw::DriveConfig&)>& tweak = {},
                        const std::string& serial = "HX77001")
        : rig(options) {
        drive = &rig.AddDrive(serial, tweak);
        rig.San().addAdapter();
        path = &rig.San().connect(0, 0, 5, 0, *drive, 0);
        rig.Boot();
    }
    TAPE_REG_DVC Registration() {
        auto all = rig.Bus().RegistrationsCopy();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? TAPE_REG_DVC{} : all.back();
    }
    Rig rig;
    sim::hw::TapeDrive* drive = nullptr;
    sim::hw::Path* path = nullptr;
};

// A device identification page with the given designation descriptors
// (association and type byte, designator).
inline std::vector<std::uint8_t> Page83(const std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>>& descriptors) {
    std::vector<std::uint8_t> page(4, 0);
    page[1] = 0x83;
    for (const auto& [associationAndType, designator] : descriptors) {
        page.push_back(0x01);
        page.push_back(associationAndType);
        page.push_back(0);
        page.push_back(static_cast<std::uint8_t>(designator.size()));
        page.insert(page.end(), designator.begin(), designator.end());
    }
    page[3] = static_cast<std::uint8_t>(page.size() - 4);
    page.resize(DEVICE_ID_PAGE_LENGTH, 0);
    return page;
}

// One path whose base driver is the scripted stub.
struct StubPath {
    // The filter device on top of the stub's stack.
    PDEVICE_OBJECT Filter() {
        auto stack = rig.StackOfInstance(instance);
        return stack.empty() ? nullptr : stack.back();
    }
    std::vector<TAPE_NFY_DVC> Notifications(ULONG type) {
        std::vector<TAPE_NFY_DVC> out;
        for (const auto& n : rig.Bus().NotificationsOf(Filter())) {
            if (n.ulType == type) out.push_back(n);
        }
        return out;
    }
    // answerLater: the stub answers every request later, from a worker thread.
    explicit StubPath(bool answerLater = false) {
        script.answerLater = answerLater;
        rig.Boot();  // an empty SAN: only the fake bus and the bindings
    }
    TAPE_REG_DVC Start() {
        instance = rig.AddStubTape(script);
        auto node = rig.Machine().pnp().find(instance);
        EXPECT_TRUE(node && node->state == sim::DevNodeState::Started) << "the start succeeds whatever the answers";
        auto all = rig.Bus().RegistrationsCopy();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? TAPE_REG_DVC{} : all.back();
    }
    void AnswerIdentification(const std::vector<std::uint8_t>& page83) {
        script.Reply(IOC_TAPE_GET_STANDARD_INQUIRY, STATUS_SUCCESS, std::vector<std::uint8_t>(STANDARD_INQUIRY_LENGTH, 0x20));
        std::vector<std::uint8_t> serial(SERIAL_NUMBER_LENGTH, 0);
        std::memcpy(serial.data(), "STUB0001", 8);
        script.Reply(IOC_TAPE_GET_SERIAL_NUMBER, STATUS_SUCCESS, serial);
        SCSI_ADDRESS address{sizeof(SCSI_ADDRESS), 4, 0, 9, 0};
        std::vector<std::uint8_t> addressBytes(sizeof address);
        std::memcpy(addressBytes.data(), &address, sizeof address);
        script.Reply(IOC_TAPE_GET_SCSI_ADDRESS, STATUS_SUCCESS, addressBytes);
        script.Reply(IOC_TAPE_GET_DEVICE_ID_PAGE, STATUS_SUCCESS, page83);
    }
    // Answers that identify a drive completely (failover on).
    void AnswerGoodIdentification();

    fakes::StubScript script;  // outlives the machine, whose shutdown still reaches the stub
    Rig rig;
    std::u16string instance;
};

inline void StubPath::AnswerGoodIdentification() {
    AnswerIdentification(Page83({{0x03, {0x5A, 0xBC, 0xDE, 0xF0, 0x00, 0x00, 0x00, 0x07}}}));
}

inline std::string AnswerName(bool later) { return later ? "AnsweredLater" : "AnsweredAtOnce"; }

}  // namespace tapetest
