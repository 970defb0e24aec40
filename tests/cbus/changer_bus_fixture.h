// Test side of the changer bus: a machine with vorkacbus started as a root-enumerated bus device and
// vorkafakecpath playing the changer path filters and the base changer driver below them, plus an
// application process that opens virtual changers and sends them requests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bus_view.h"
#include "fakecpath_ioctl.h"
#include "sim/machine.h"
#include "sim/process.h"
#include "vorka_test_support.h"

namespace vorka::cbus_test {

constexpr uint32_t kIocRegister = 0x84C9C000;
constexpr uint32_t kIocNotify = 0x84C9C010;
constexpr uint32_t kIocQueryDevices = 0x84C9C01C;
constexpr uint32_t kIoctlScsiGetAddress = 0x00041018;
constexpr uint32_t kIoctlScsiPassThrough = 0x0004D004;
constexpr uint32_t kIoctlChangerMoveMedium = 0x00304024;   // IOCTL_CHANGER_MOVE_MEDIUM, buffered
constexpr uint32_t kIoctlChangerGetStatus = 0x00304008;    // IOCTL_CHANGER_GET_STATUS
constexpr uint32_t kIoctlChangerSetPosition = 0x0030401C;  // IOCTL_CHANGER_SET_POSITION
using bus_view::kDescriptorSize;

constexpr NTSTATUS kSuccess = 0;
constexpr NTSTATUS kIoDeviceError = static_cast<NTSTATUS>(0xC0000185);
constexpr NTSTATUS kNoMedia = static_cast<NTSTATUS>(0xC0000178);
constexpr NTSTATUS kSourceElementEmpty = static_cast<NTSTATUS>(0xC0000283);
constexpr NTSTATUS kDeviceBusy = static_cast<NTSTATUS>(0x80000011);
constexpr NTSTATUS kObjectPathNotFound = static_cast<NTSTATUS>(0xC000003A);
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
constexpr NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kInvalidDeviceRequest = static_cast<NTSTATUS>(0xC0000010);
constexpr NTSTATUS kNotImplemented = static_cast<NTSTATUS>(0xC0000002);
constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022);

constexpr uint32_t kPnpAbsent = 0, kPnpStarted = 2, kPnpRemovePending = 3, kPnpStopPending = 5, kPnpStopped = 6;

struct PathSpec {
    std::string serial;
    uint8_t port = 0, bus = 0, target = 0, lun = 0;
    bool failover = true;
    uint32_t pnpState = kPnpStarted;
};

using bus_view::Descriptor;
using bus_view::QueryAnswer;

// How a path answers the requests forwarded to it.
struct Answer {
    NTSTATUS status = kSuccess;
    bool senseValid = false;
    uint8_t senseKey = 0, asc = 0, ascq = 0;
    uint8_t ptScsiStatus = 0;
    uint8_t ptSenseLength = 0;
    uint32_t information = 0;
    uint32_t delayMicroseconds = 0;
};

class ChangerBusTest : public ::vorka_test::MachineTest {
protected:
    struct BusConfig {
        bool failoverDisabled = false;
        bool eventsEnabled = false;
    };
    virtual BusConfig busConfig() const { return {}; }

    void SetUp() override;
    void TearDown() override;

    // ---- Fake paths ----
    void createPaths(uint32_t first, uint32_t count);
    FAKECPATH_REGISTER registerPath(uint32_t path, const PathSpec& spec, bool createDeviceMapEntry = true);
    NTSTATUS notifyPnp(uint32_t path, uint32_t state);
    // PNP_ABSENT, then the path's device object goes, as a filter's removal does.
    NTSTATUS removePath(uint32_t path);
    void setAnswer(uint32_t path, const Answer& answer);
    FAKECPATH_PATH pathInfo(uint32_t path);
    // A named device of another driver (the base changer driver's \Device\Changer0, say).
    NTSTATUS occupyName(std::u16string_view name);

    // ---- Application view ----
    QueryAnswer query(std::u16string_view device = u"\\\\.\\VorkaCBusDvcLnk", uint32_t outputLength = 4096);
    NTSTATUS openChanger(uint32_t number, HANDLE* handle);
    NTSTATUS closeHandle(HANDLE handle);
    // A buffered request with `input` as input; `output` receives what the caller got back.
    NTSTATUS control(HANDLE handle, uint32_t code, const std::vector<uint8_t>& input, uint32_t outLength,
                     std::vector<uint8_t>* output = nullptr, ULONG_PTR* information = nullptr);
    NTSTATUS moveMedium(HANDLE handle);
    // Positions the picker in front of drive 0: a request that may be sent again after any failure.
    NTSTATUS positionTransport(HANDLE handle);
    sim::Process& app() { return *app_; }

    // ---- Inspection ----
    static bool deviceExists(std::u16string_view name);
    static std::u16string changerName(uint32_t number);
    std::u16string deviceMapName(const PathSpec& spec);
    static std::u16string deviceMapKey(const PathSpec& spec);
    // Event log records written by the changer bus: their codes and insertion strings.
    struct Event {
        uint32_t code;
        std::vector<std::u16string> strings;
    };
    std::vector<Event> busEvents();

private:
    template <typename T>
    NTSTATUS callFake(uint32_t code, T& req);
    void retirePaths();

    sim::Process* app_ = nullptr;
    HANDLE fake_ = nullptr;
    std::vector<bool> registered_;
};

}  // namespace vorka::cbus_test
