// The listing of virtual devices shared by vorkasim and vorkactl (see device_listing.h).
#include "device_listing.h"

#include <cstdio>
#include <cstring>

namespace vorka {
namespace {

// Field offsets of DEVICE_DESCRIPTOR (144 bytes, little-endian).
constexpr std::size_t kNameOffset = 0, kSerialOffset = 64, kTextSize = 64;
constexpr std::size_t kFailoverOffset = 128;
constexpr std::size_t kPortOffset = 136, kPathIdOffset = 137, kTargetOffset = 138, kLunOffset = 139;
constexpr std::size_t kActiveOffset = 140, kPrimaryOffset = 141;

// A NUL-terminated text field; an unterminated one ends at the field's end.
std::string TextField(const unsigned char* field) {
    const void* end = std::memchr(field, 0, kTextSize);
    std::size_t length = end ? static_cast<std::size_t>(static_cast<const unsigned char*>(end) - field) : kTextSize;
    return std::string(reinterpret_cast<const char*>(field), length);
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

const char* JsonBool(bool value) { return value ? "true" : "false"; }

}  // namespace

std::uint32_t QueryDevicesRequiredSize(const unsigned char* answer, std::size_t length) {
    if (length < kQueryDevicesHeaderSize) return 0;
    return static_cast<std::uint32_t>(answer[0]) | static_cast<std::uint32_t>(answer[1]) << 8 |
           static_cast<std::uint32_t>(answer[2]) << 16 | static_cast<std::uint32_t>(answer[3]) << 24;
}

std::vector<DeviceView> ParseQueryDevices(const unsigned char* answer, std::size_t length) {
    std::vector<DeviceView> devices;
    for (std::size_t offset = kQueryDevicesHeaderSize; offset + kDeviceDescriptorSize <= length;
         offset += kDeviceDescriptorSize) {
        const unsigned char* descriptor = answer + offset;
        std::string name = TextField(descriptor + kNameOffset);
        if (devices.empty() || devices.back().name != name) {
            devices.push_back(DeviceView{name, TextField(descriptor + kSerialOffset),
                                         descriptor[kFailoverOffset] != 0, {}});
        }
        devices.back().paths.push_back(PathView{descriptor[kPortOffset], descriptor[kPathIdOffset],
                                                descriptor[kTargetOffset], descriptor[kLunOffset],
                                                descriptor[kActiveOffset] != 0, descriptor[kPrimaryOffset] != 0});
    }
    return devices;
}

std::string FormatDevices(const std::vector<DeviceView>& devices, const std::string& indent, const std::string& none) {
    std::string out;
    if (devices.empty() && !none.empty()) out += indent + none + "\n";
    for (const auto& device : devices) {
        out += indent + device.name + "  serial " + device.serial + "  failover " + (device.failover ? "on" : "off") +
               "\n";
        for (std::size_t i = 0; i < device.paths.size(); ++i) {
            const auto& path = device.paths[i];
            char line[160];
            // The adapter of a path is its SCSI port.
            std::snprintf(line, sizeof(line), "%s  %s %u:%u:%u:%u  adapter %u  %-7s%s\n", indent.c_str(),
                          i + 1 == device.paths.size() ? "`-" : "|-", path.port, path.bus, path.target, path.lun,
                          path.port, path.active ? "active" : "standby", path.primary ? "  primary" : "");
            out += line;
        }
    }
    return out;
}

std::string DevicesJson(const std::vector<DeviceView>& devices) {
    std::string out = "[";
    for (std::size_t d = 0; d < devices.size(); ++d) {
        const auto& device = devices[d];
        out += d ? ", " : "";
        out += "{\"name\": " + JsonString(device.name) + ", \"serial\": " + JsonString(device.serial) +
               ", \"failover\": " + JsonBool(device.failover) + ", \"paths\": [";
        for (std::size_t p = 0; p < device.paths.size(); ++p) {
            const auto& path = device.paths[p];
            char entry[200];
            std::snprintf(entry, sizeof entry,
                          "%s{\"port\": %u, \"bus\": %u, \"target\": %u, \"lun\": %u, \"active\": %s, \"primary\": %s}",
                          p ? ", " : "", path.port, path.bus, path.target, path.lun, JsonBool(path.active),
                          JsonBool(path.primary));
            out += entry;
        }
        out += "]}";
    }
    return out + "]";
}

}  // namespace vorka
