// Driver images of the simulated machine: services, loading (DriverEntry with
// the service's registry path), unloading (DriverUnload, then the image goes)
// and what the loader knows about each image.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "vk/basetypes.h"

struct _DRIVER_OBJECT;

namespace sim {

class DriverManager {
public:
    struct Impl;
    explicit DriverManager(Impl* impl);

    // Writes a service key for an image <driverDirectory>/<service>.so, as CreateService
    // does: Type, Start, ErrorControl, ImagePath "\SystemRoot\System32\drivers\<service>.sys".
    void installService(std::u16string_view service, ULONG start = 3 /* demand */, ULONG type = 1 /* kernel */);

    // Loads a driver that no device needs (a legacy "sc start"): DriverEntry runs once.
    // Loading an already loaded driver returns STATUS_IMAGE_ALREADY_LOADED.
    NTSTATUS load(std::u16string_view service);
    // "sc stop": calls DriverUnload and unloads the image. A driver that has no
    // DriverUnload cannot be stopped (STATUS_INVALID_DEVICE_REQUEST).
    NTSTATUS unload(std::u16string_view service);

    // A driver whose code is part of the host program (no image), named \Driver\<name>:
    // `entry` runs as its DriverEntry. Simulated hardware and tests use it for drivers
    // that need no image of their own. It unloads like any driver.
    NTSTATUS loadBuiltIn(std::u16string_view name, NTSTATUS (*entry)(_DRIVER_OBJECT*, UNICODE_STRING*));

    bool isLoaded(std::u16string_view service) const;
    _DRIVER_OBJECT* find(std::u16string_view service) const;
    std::vector<std::u16string> loaded() const;
    // How many times DriverEntry of the service has run on this machine.
    std::size_t entryCount(std::u16string_view service) const;
    // How many times DriverUnload of the service has run on this machine.
    std::size_t unloadCount(std::u16string_view service) const;
    // Called on the unloading thread after a driver's DriverUnload returned, while the loader
    // looks at the device objects the driver left: a test drops a device's last reference there,
    // as a request completed late on another processor would at that moment.
    void setUnloadWalkObserver(std::function<void(std::u16string_view service)> observer);

private:
    Impl* impl_;
};

}  // namespace sim
