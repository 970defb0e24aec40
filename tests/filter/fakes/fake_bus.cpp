// vorkafakebus: the tape bus's control device as the filter tests need it (see fakes.h).
#include "fakes.h"
#include "fake_bus_driver.h"

namespace {

struct TapeBus {
    using Script = fakes::BusScript;
    using Registration = TAPE_REG_DVC;
    using Notification = TAPE_NFY_DVC;
    static constexpr ULONG kRegister = IOC_TAPE_REGISTER;
    static constexpr ULONG kNotify = IOC_TAPE_NOTIFY;
    static constexpr const char16_t* kDeviceName = u"\\Device\\VorkaTBusDvc";
    static constexpr ULONG kPoolTag = 'suBF';
    static void SetNumber(TAPE_REG_DVC& record, ULONG number) { record.ulTapeNumber = number; }
};

}  // namespace

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    return fakes::FakeBusDriver<TapeBus>::Entry(driverObject, registryPath);
}
