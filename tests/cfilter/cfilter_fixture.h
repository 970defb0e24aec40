// One changer control path for the changer filter tests: a root device whose base
// driver is the scripted vorkastubchgr, with vorkacflt above it, in a machine where
// the fake changer bus's control device is loaded (or, when a test says so, is not).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cfakes.h"
#include "sim/drivers.h"
#include "sim/machine.h"
#include "sim/pnp.h"
#include "sim/pool.h"
#include "sim/registry.h"
#include "tape_rig.h"

namespace cfiltertest {

using tapetest::KernelControl;
using tapetest::Reply;
using tapetest::SendIrp;

inline constexpr char16_t kFilterParameters[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkacflt\\Parameters";
inline constexpr char16_t kTapeFilterParameters[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatflt\\Parameters";
inline constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056);

inline std::string Text(const CHAR* text, std::size_t size) { return std::string(text, strnlen(text, size)); }

template <typename T>
std::vector<std::uint8_t> Bytes(const T& value) {
    std::vector<std::uint8_t> v(sizeof value);
    std::memcpy(v.data(), &value, sizeof value);
    return v;
}

struct PathOptions {
    bool bus = true;                                  // the changer bus's control device is there
    std::optional<std::uint32_t> failoverDriver;      // vorkacflt's "FailoverDriver"
    std::optional<std::uint32_t> tapeFailoverDriver;  // vorkatflt's "FailoverDriver"
};

class ChangerPath {
public:
    explicit ChangerPath(PathOptions options = {}) {
        sim::MachineConfig config;
        config.driverDirectory = VORKA_DRIVER_DIR;
        config.violationHandler = [this](const std::string& message) {
            // Every WDM removal deletes the lower device while the filter's is still attached.
            if (message.find("IoDeleteDevice") != std::string::npos && message.find("attached above it") != std::string::npos) {
                return;
            }
            violations.push_back(message);
            ADD_FAILURE() << "verifier: " << message;
        };
        machine = std::make_unique<sim::Machine>(config);
        sim::Registry& registry = machine->registry();
        if (options.failoverDriver) {
            registry.createKeyPath(kFilterParameters);
            registry.setDword(kFilterParameters, u"FailoverDriver", *options.failoverDriver);
        }
        if (options.tapeFailoverDriver) {
            registry.createKeyPath(kTapeFilterParameters);
            registry.setDword(kTapeFilterParameters, u"FailoverDriver", *options.tapeFailoverDriver);
        }
        if (options.bus) {
            machine->drivers().installService(cfakes::kFakeBusService);
            const std::u16string key = cfakes::ParametersKey(cfakes::kFakeBusService);
            registry.createKeyPath(key);
            registry.setQword(key, cfakes::kScriptValue, reinterpret_cast<std::uintptr_t>(&bus));
            EXPECT_EQ(machine->drivers().load(cfakes::kFakeBusService), STATUS_SUCCESS);
        }
        const std::u16string key = cfakes::ParametersKey(cfakes::kStubService);
        registry.createKeyPath(key);
        registry.setQword(key, cfakes::kScriptValue, reinterpret_cast<std::uintptr_t>(&script));
        machine->drivers().installService(cfakes::kStubService);
        machine->drivers().installService(u"vorkacflt");
        sim::DriverBinding binding;
        binding.hardwareId = cfakes::kStubHardwareId;
        binding.service = cfakes::kStubService;
        binding.upperFilters.push_back(u"vorkacflt");
        machine->pnp().addDriverBinding(binding);
    }
    ~ChangerPath() {
        // A worker that has just signalled its waiter may still be on its last instructions inside
        // an image; give it a moment before the shutdown unloads the images.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        machine.reset();
    }

    // The serial number and SCSI address a changer answers.
    void AnswerIdentification(const std::string& serial = "LIBSTUB0001", SCSI_ADDRESS address = {8, 2, 0, 11, 0}) {
        std::vector<std::uint8_t> bytes(SERIAL_NUMBER_LENGTH, 0);
        std::memcpy(bytes.data(), serial.data(), std::min<std::size_t>(serial.size(), SERIAL_NUMBER_LENGTH));
        script.Answer(IOC_CHGR_GET_SERIAL_NUMBER, STATUS_SUCCESS, bytes);
        script.Answer(IOC_CHGR_GET_SCSI_ADDRESS, STATUS_SUCCESS, Bytes(address));
    }

    // Creates the path's device, which builds its stack and starts it.
    sim::DevNodeState Add() {
        instance = machine->pnp().createRootDevice(cfakes::kStubHardwareId);
        machine->pnp().processPendingEnumerations();
        auto node = machine->pnp().find(instance);
        return node ? node->state : sim::DevNodeState::NoDriver;
    }
    // Adds the path, expects it started and returns its one registration.
    CHGR_REG_DVC Start() {
        EXPECT_EQ(Add(), sim::DevNodeState::Started) << "the start succeeds whatever the answers";
        auto all = bus.Registrations();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? CHGR_REG_DVC{} : all.back();
    }
    PDEVICE_OBJECT Filter() {
        auto node = machine->pnp().find(instance);
        return node && !node->stack.empty() ? node->stack.back() : nullptr;
    }
    std::vector<ULONG> States() { return bus.StatesOf(filterSeen ? filterSeen : Filter()); }
    sim::PnpManager& Pnp() { return machine->pnp(); }

    cfakes::BusScript bus;        // the scripts outlive the machine, whose shutdown still reaches them
    cfakes::StubScript script;
    std::unique_ptr<sim::Machine> machine;
    std::u16string instance;
    PDEVICE_OBJECT filterSeen = nullptr;  // kept by tests that look at a path after its removal
    std::vector<std::string> violations;
};

}  // namespace cfiltertest
