// A booted machine with the tape bus installed on its root-enumerated device, as the installer
// leaves it: service vorkatbus bound to hardware ID root\vorkatbus, optionally with the test lower
// filter vorkabuslower below the bus's control device.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "buslower_ioctl.h"
#include "defines.h"
#include "kernel_request.h"
#include "sim/drivers.h"
#include "sim/eventlog.h"
#include "sim/pnp.h"
#include "sim/pool.h"
#include "sim/registry.h"
#include "vorka_test_support.h"

namespace vorka_test {

inline constexpr std::u16string_view kBusControlDevice = u"\\Device\\VorkaTBusDvc";
inline constexpr std::u16string_view kBusControlLink = u"\\\\.\\VorkaTBusDvcLnk";
inline constexpr std::u16string_view kBusParameters =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatbus\\Parameters";

class BusTest : public MachineTest {
protected:
    // Installs the bus on a new root device and starts it. Configuration values must be in the
    // registry before this.
    void InstallBus(bool withLowerFilter = true) {
        std::vector<std::u16string> lowerFilters;
        if (withLowerFilter) {
            lowerFilters.push_back(u"vorkabuslower");
        }
        instance_ = installRootDevice(u"root\\vorkatbus", u"vorkatbus", {}, lowerFilters);
    }

    void SetParameter(std::u16string_view name, uint32_t value) {
        ASSERT_EQ(machine().registry().createKeyPath(kBusParameters), STATUS_SUCCESS);
        ASSERT_EQ(machine().registry().setDword(kBusParameters, name, value), STATUS_SUCCESS);
    }

    std::optional<sim::DevNodeInfo> busNode() { return machine().pnp().find(instance_); }

    // The control device: the top of the bus device's stack.
    PDEVICE_OBJECT controlDevice() {
        auto node = busNode();
        return node && !node->stack.empty() ? node->stack.back() : nullptr;
    }

    std::vector<sim::EventLogEntry> events(NTSTATUS code) { return machine().eventLog().entriesWithCode(code); }

    std::u16string instance_;
};

}  // namespace vorka_test
