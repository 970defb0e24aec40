// The listing of virtual devices and their paths, as IOC_QUERY_DEVICES reports them: read from
// the answer's bytes and printed one way for every tool that shows it (vorkasim, vorkactl).
// Plain C++17 without Windows or simulator headers, so that both builds compile this one source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorka {

// One path of a virtual device.
struct PathView {
    std::uint8_t port = 0, bus = 0, target = 0, lun = 0;
    bool active = false;
    bool primary = false;
};

// One virtual device ("Tape0", "Changer0") with its paths in the bus's order.
struct DeviceView {
    std::string name;
    std::string serial;
    bool failover = false;
    std::vector<PathView> paths;
};

// Size of the answer's header (the size the whole answer needs) and of one descriptor per path.
constexpr std::size_t kQueryDevicesHeaderSize = 4;
constexpr std::size_t kDeviceDescriptorSize = 144;

// The size the whole answer needs (its first 4 bytes); 0 when `length` is shorter.
std::uint32_t QueryDevicesRequiredSize(const unsigned char* answer, std::size_t length);
// The devices of an answer of `length` bytes: consecutive descriptors of one name are one device.
std::vector<DeviceView> ParseQueryDevices(const unsigned char* answer, std::size_t length);

// The listing for people, like `multipath -ll`: a device line, then one line per path.
// `none` is printed (after `indent`) when there is no device; nothing when it is empty.
std::string FormatDevices(const std::vector<DeviceView>& devices, const std::string& indent,
                          const std::string& none = "(no virtual tape devices)");
// The devices as a JSON array: name, serial, failover, paths (port, bus, target, lun, active, primary).
std::string DevicesJson(const std::vector<DeviceView>& devices);

}  // namespace vorka
