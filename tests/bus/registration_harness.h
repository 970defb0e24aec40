// Test side of path registration: a machine with the tape bus started and vorkafakepath playing the
// path filters, plus an application process that opens virtual devices and queries the bus.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bus_view.h"
#include "fakepath_ioctl.h"
#include "sim/drivers.h"
#include "sim/eventlog.h"
#include "sim/machine.h"
#include "sim/pool.h"
#include "sim/process.h"
#include "sim/registry.h"
#include "vorka_test_support.h"

namespace vorka::test {

// The identity and address with which a fake path registers.
struct PathSpec {
    std::string serial;
    std::string wwnn = "0000000000000000";
    uint8_t port = 0;
    uint8_t bus = 0;
    uint8_t target = 0;
    uint8_t lun = 0;
    bool failover = true;
    bool exclusive = false;
    bool persistentNaming = false;
    uint32_t pnpState = 2;   // PNP_STARTED
};

using bus_view::Descriptor;
using bus_view::QueryAnswer;

// Control codes and records of the tape bus as applications and filters see them.
constexpr uint32_t kIocRegister = 0x84CAC000;
constexpr uint32_t kIocNotify = 0x84CAC010;
constexpr uint32_t kIocQueryDevices = 0x84CAC01C;
constexpr uint32_t kIoctlScsiGetAddress = 0x00041018;
using bus_view::kDescriptorSize;
constexpr NTSTATUS kStatusSuccess = 0;

class TapeBusTest : public ::vorka_test::MachineTest {
protected:

    // Bus configuration written to its Parameters key before the bus starts (0: value absent).
    struct BusConfig {
        bool failoverDisabled = false;
        bool eventsEnabled = false;
        bool persistentNaming = false;
    };
    virtual BusConfig busConfig() const { return {}; }
    // Writes further values to the bus's Parameters key before the bus first starts.
    virtual void configureBus(sim::Registry& registry, std::u16string_view parametersKey) {}

    void SetUp() override;
    void TearDown() override;

    // Boots the bus (again, after reboot()) and loads the fake filter driver.
    void startBusAndFilters();
    // Saves the registry, tears the machine down and boots a new one with it.
    void reboot();
    // The bus's root device as PnP knows it (its instance path).
    std::u16string busInstance();
    // Stops the bus device and starts it again, as PnP does to rebalance resources; the registered
    // paths and the fake filters stay.
    void restartBus();
    // Sets (or replaces) a DWORD value of the bus's Parameters key.
    void setBusParameter(std::u16string_view name, uint32_t value);

    // ---- Fake paths -------------------------------------------------------------------
    void createPaths(uint32_t first, uint32_t count);
    // Registers path `path` (its SCSI device map key is created first, as a port driver does).
    FAKEPATH_REGISTER registerPath(uint32_t path, const PathSpec& spec, bool createDeviceMapEntry = true);
    NTSTATUS notifyPnp(uint32_t path, uint32_t state);
    NTSTATUS notifyIo(uint32_t path, uint32_t kind);
    // PNP_ABSENT, then the path's device object goes, as a filter's removal does.
    NTSTATUS removePath(uint32_t path);
    FAKEPATH_PATH pathInfo(uint32_t path);
    // A named device of another driver (\Device\Tape0 of a tape class driver, say).
    NTSTATUS occupyName(std::u16string_view name);
    void releaseOccupiedNames();
    void setPathAnswer(uint32_t path, NTSTATUS createStatus, uint32_t mode = FAKEPATH_ANSWER_AT_ONCE);

    // ---- Application view ----------------------------------------------------------------
    QueryAnswer query(uint32_t outputLength = 64 * 1024, std::u16string_view device = u"\\\\.\\VorkaTBusDvcLnk");
    NTSTATUS openTape(std::u16string_view name, HANDLE* handle);
    NTSTATUS closeHandle(HANDLE handle);
    NTSTATUS deviceIoControl(HANDLE handle, uint32_t code, uint32_t inLength, uint32_t outLength,
                             std::vector<uint8_t>* output = nullptr);
    sim::Process& app() { return *app_; }

    // ---- Inspection -----------------------------------------------------------------------
    static bool deviceExists(std::u16string_view name);
    static std::u16string tapeName(uint32_t number);
    std::u16string deviceMapName(const PathSpec& spec);
    static std::u16string deviceMapKey(const PathSpec& spec);
    std::size_t livePoolWithTag(ULONG tag);

    static constexpr uint32_t kPnpAbsent = 0, kPnpNotStarted = 1, kPnpStarted = 2, kPnpRemovePending = 3,
                              kPnpSurpriseRemove = 4, kPnpStopPending = 5, kPnpStopped = 6;
    static constexpr uint32_t kIoOpen = 0, kIoClose = 1;

private:
    template <typename T>
    NTSTATUS callFake(uint32_t code, T& req);
    // Takes every registered path away (as the filters' removal does) and unloads the fake filters.
    void retirePaths();

    sim::Process* app_ = nullptr;
    HANDLE fake_ = nullptr;
    std::mutex registeredLock_;
    std::vector<bool> registered_;   // paths whose device object exists and may be known to the bus
};

}  // namespace vorka::test
