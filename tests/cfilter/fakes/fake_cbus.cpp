// vorkafakecbus: the changer bus's control device as the changer filter tests need it (see cfakes.h).
#include "cfakes.h"
#include "fake_bus_driver.h"

namespace {

struct ChangerBus {
    using Script = cfakes::BusScript;
    using Registration = CHGR_REG_DVC;
    using Notification = CHGR_NFY_DVC;
    static constexpr ULONG kRegister = IOC_CHGR_REGISTER;
    static constexpr ULONG kNotify = IOC_CHGR_NOTIFY;
    static constexpr const char16_t* kDeviceName = u"\\Device\\VorkaCBusDvc";
    static constexpr ULONG kPoolTag = 'suBC';
    static void SetNumber(CHGR_REG_DVC& record, ULONG number) { record.ulChangerNumber = number; }
};

}  // namespace

extern "C" VK_DRIVER_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    return fakes::FakeBusDriver<ChangerBus>::Entry(driverObject, registryPath);
}
