// A booted machine with the test driver vorkacmntest loaded: every routine of the driver common
// library is reachable through the driver's device-control requests (cmntest_ioctl.h).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "cmntest_ioctl.h"
#include "kernel_request.h"
#include "sim/drivers.h"
#include "sim/registry.h"
#include "vorka_test_support.h"

namespace vorka_test {

inline constexpr std::u16string_view kCmnTestDevice = u"\\Device\\VorkaCmnTest";
inline constexpr std::u16string_view kCmnTestParameters =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkacmntest\\Parameters";

class CmnTestDriver : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        machine().drivers().installService(u"vorkacmntest");
        ASSERT_EQ(machine().drivers().load(u"vorkacmntest"), STATUS_SUCCESS);
    }

    template <typename T>
    KernelResult Request(ULONG code, T* inOut) {
        return KernelIoctl(kCmnTestDevice, code, inOut);
    }

    sim::Registry& registry() { return machine().registry(); }
};

}  // namespace vorka_test
