// What the tape and changer bus tests read alike: the devices a bus control device lists to an
// application (IOC_QUERY_DEVICES: the size the whole list needs, then one 144-byte descriptor a
// path), and the SCSI device map entry of a path's address.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "sim/process.h"
#include "sim/registry.h"

namespace vorka::bus_view {

// One descriptor of an IOC_QUERY_DEVICES answer, decoded.
struct Descriptor {
    std::string name;
    std::string serial;
    bool failover = false;
    uint8_t port = 0, bus = 0, target = 0, lun = 0;
    bool active = false;
    bool primary = false;
};

struct QueryAnswer {
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    uint32_t requiredSize = 0;
    std::vector<Descriptor> descriptors;
};

inline constexpr uint32_t kDescriptorSize = 144;

// Opens `device` in `app`, asks it with `code` into an output buffer of `outputLength` bytes and
// decodes what came back.
inline QueryAnswer QueryDevices(sim::Process& app, std::u16string_view device, uint32_t code, uint32_t outputLength) {
    QueryAnswer answer;
    HANDLE handle = nullptr;
    answer.status = app.createFile(&handle, device, GENERIC_READ | GENERIC_WRITE);
    if (answer.status != 0) {
        return answer;
    }
    auto* buffer = static_cast<uint8_t*>(app.alloc(outputLength));
    answer.status = app.deviceIoControl(handle, code, nullptr, 0, buffer, outputLength, &answer.information);
    if (answer.status == 0 && answer.information >= 4) {
        std::memcpy(&answer.requiredSize, buffer, 4);
        for (std::size_t offset = 4; offset + kDescriptorSize <= answer.information; offset += kDescriptorSize) {
            const uint8_t* d = buffer + offset;
            Descriptor desc;
            desc.name = std::string(reinterpret_cast<const char*>(d), strnlen(reinterpret_cast<const char*>(d), 64));
            desc.serial =
                std::string(reinterpret_cast<const char*>(d + 64), strnlen(reinterpret_cast<const char*>(d + 64), 64));
            desc.failover = d[128] != 0;
            desc.port = d[136];
            desc.bus = d[137];
            desc.target = d[138];
            desc.lun = d[139];
            desc.active = d[140] != 0;
            desc.primary = d[141] != 0;
            answer.descriptors.push_back(desc);
        }
    }
    app.free(buffer);
    app.close(handle);
    return answer;
}

inline std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// The port driver's device map key of a SCSI address.
inline std::u16string DeviceMapKey(uint8_t port, uint8_t bus, uint8_t target, uint8_t lun) {
    return u"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port " + Widen(std::to_string(port)) +
           u"\\Scsi Bus " + Widen(std::to_string(bus)) + u"\\Target Id " + Widen(std::to_string(target)) +
           u"\\Logical Unit Id " + Widen(std::to_string(lun));
}

// The "DeviceName" of a device map key, or "<none>".
inline std::u16string DeviceMapName(const sim::Registry& registry, const std::u16string& key) {
    auto value = registry.value(key, u"DeviceName");
    if (!value) {
        return u"<none>";
    }
    std::u16string text(value->data.size() / 2, u'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * 2);
    return text;
}

}  // namespace vorka::bus_view
