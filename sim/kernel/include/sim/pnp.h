// The Plug and Play manager of the simulated machine: the device tree, device
// installation (hardware ID -> driver service and filters), and every state
// change as the real IRP sequence sent to a device stack.
//
// Devnodes are named by their instance path ("ROOT\SYSTEM\0000",
// "SCSI\SEQUENTIAL&VEN_X\5&1&0&000100"), case-insensitively. All operations are
// serialised on the PnP manager's worker thread, as on Windows; the calls below
// wait for their operation to finish and return its result.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vk/basetypes.h"

struct _DEVICE_OBJECT;
struct _IO_STACK_LOCATION;

namespace sim {

enum class DevNodeState {
    NoDriver,       // present, no function driver known (or it failed to load)
    Initialized,    // stack built (AddDevice done), not started
    Started,
    QueryStopped,
    Stopped,
    QueryRemoved,
    SurpriseRemoved,  // waiting for the last open handle before IRP_MN_REMOVE_DEVICE
    Removed,          // stack removed, PDO still present (may be started again)
    StartFailed,
    Deleted           // gone from the tree (only seen in snapshots taken earlier)
};
const char* DevNodeStateName(DevNodeState state);

// What device installation binds to a hardware ID (an INF's effect).
struct DriverBinding {
    std::u16string hardwareId;
    std::u16string service;                   // function driver
    std::vector<std::u16string> upperFilters;
    std::vector<std::u16string> lowerFilters;
};

struct DevNodeInfo {
    std::u16string instancePath;
    std::u16string parent;                    // empty for children of the root
    DevNodeState state = DevNodeState::NoDriver;
    NTSTATUS problem = 0;                     // status of the last failed step
    _DEVICE_OBJECT* pdo = nullptr;
    std::vector<_DEVICE_OBJECT*> stack;       // bottom (PDO) first, top last
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string service;
    std::vector<std::u16string> children;
};

class PnpManager {
public:
    struct Impl;
    explicit PnpManager(Impl* impl);

    // ---- Device installation ------------------------------------------------------
    // Creates a root-enumerated device (Enum\ROOT\<className>\NNNN with this hardware
    // ID) and starts it when a driver is bound to the ID. Returns the instance path.
    std::u16string createRootDevice(std::u16string_view hardwareId,
                                    std::u16string_view className = u"SYSTEM");
    // Later devices with this hardware ID (or compatible ID) get this driver. Kept in
    // the registry (DriverDatabase), so it survives a simulated reboot.
    void addDriverBinding(const DriverBinding& binding);
    // addDriverBinding, then every present device with the hardware ID gets the driver:
    // its Enum key is updated and its stack rebuilt and started. Returns how many.
    std::size_t updateDriverForDevices(const DriverBinding& binding);
    // Removes the device (query-remove, remove) and deletes its devnode and Enum key.
    NTSTATUS uninstallDevice(std::u16string_view instancePath);

    // ---- State changes (each sends the IRP sequence the PnP manager sends) ------------
    NTSTATUS startDevice(std::u16string_view instancePath);  // builds the stack if needed
    NTSTATUS stopDevice(std::u16string_view instancePath);   // query-stop, stop (or cancel-stop)
    NTSTATUS removeDevice(std::u16string_view instancePath); // query-remove, remove (or cancel-remove)
    NTSTATUS surpriseRemoveDevice(std::u16string_view instancePath);
    NTSTATUS restartDevice(std::u16string_view instancePath);  // remove, then build and start
    // Queries the bus relations of the devnode (the root when empty), like CM_Reenumerate_DevNode.
    void reenumerate(std::u16string_view instancePath = {});
    // Waits until every recorded IoInvalidateDeviceRelations and pending removal is processed.
    void processPendingEnumerations();

    // ---- Queries ----------------------------------------------------------------------
    std::optional<DevNodeInfo> find(std::u16string_view instancePath) const;
    std::optional<DevNodeInfo> findByDevice(const _DEVICE_OBJECT* anyDeviceInStack) const;
    std::vector<DevNodeInfo> devices() const;

    // ---- Raw requests for tests ---------------------------------------------------------
    // Sends one IRP_MJ_PNP with this minor code to the top of the devnode's stack and waits.
    NTSTATUS sendPnpIrp(std::u16string_view instancePath, UCHAR minor,
                        const std::function<void(_IO_STACK_LOCATION&)>& setup = {},
                        ULONG_PTR* information = nullptr);
    // Sends one IRP_MJ_POWER (minor IRP_MN_SET_POWER or IRP_MN_QUERY_POWER) and waits.
    NTSTATUS sendPowerIrp(std::u16string_view instancePath, UCHAR minor, bool systemState, int state);

private:
    Impl* impl_;
};

}  // namespace sim
