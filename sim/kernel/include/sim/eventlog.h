// The machine's system event log: error-log packets that drivers allocate,
// fill and write (IoAllocateErrorLogEntry / IoWriteErrorLogEntry /
// IoFreeErrorLogEntry), kept as entries with their texts rendered from the
// reporting driver's message table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vk/errlog.h"

namespace sim {

// The object that reports an event, as the kernel resolves it when the packet
// is allocated.
struct EventSource {
    const void* ioObject = nullptr;      // the device or driver object given by the driver
    const void* driverObject = nullptr;  // its driver (owner of the packet)
    std::u16string objectName;           // %1 of the message: device name, or driver name "\Driver\x"
    std::u16string driverName;           // "\Driver\x"
    const void* messageTable = nullptr;  // the driver image's message table, or nullptr
};

struct EventLogEntry {
    std::uint64_t sequence = 0;   // order of writing, from 1
    std::int64_t timestamp = 0;   // 100 ns units since 1601 (system time)
    NTSTATUS errorCode = 0;
    UCHAR majorFunctionCode = 0;
    UCHAR retryCount = 0;
    USHORT dumpDataSize = 0;
    USHORT numberOfStrings = 0;
    USHORT stringOffset = 0;
    USHORT eventCategory = 0;
    ULONG uniqueErrorValue = 0;
    NTSTATUS finalStatus = 0;
    ULONG sequenceNumber = 0;
    ULONG ioControlCode = 0;
    LONGLONG deviceOffset = 0;
    std::size_t packetSize = 0;            // bytes the driver asked for
    std::vector<std::uint8_t> dumpData;
    std::vector<std::u16string> strings;   // the insertion strings (%2, %3, ...)
    EventSource source;
    bool hasText = false;                  // the driver's table has this message
    std::u16string text;                   // rendered text, "\r\n" kept

    // The rendered text for display (UTF-8, no trailing line break).
    std::string displayText() const;
    std::string stringUtf8(std::size_t index) const;
};

class EventLog {
public:
    static constexpr std::size_t kDefaultCapacity = 100000;

    explicit EventLog(std::size_t capacity = kDefaultCapacity);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // A zeroed packet of `entrySize` bytes owned by the log until it is written
    // or freed; nullptr when the size exceeds ERROR_LOG_MAXIMUM_SIZE or an
    // injected failure applies.
    void* allocatePacket(const EventSource& source, std::size_t entrySize);
    // Takes the packet over and records the entry. The text is rendered from
    // the message table that `tableOf(source.ioObject)` returns (called without
    // the log's lock held), or from source.messageTable when `tableOf` is empty.
    // Returns an empty string, or what is wrong (not a live packet, strings or
    // dump data outside it); a bad packet is released and not recorded.
    std::string writePacket(void* packet, const std::function<const void*(const void*)>& tableOf = {});
    // The source recorded for a live packet, or nothing.
    std::optional<EventSource> packetSource(const void* packet) const;
    // Releases an unwritten packet; returns what is wrong, or an empty string.
    std::string freePacket(void* packet);

    std::size_t outstandingPackets() const;
    // Packets allocated for objects of `driverObject`'s driver and neither
    // written nor freed: one description each. They are released.
    std::vector<std::string> takeOutstandingPacketsOf(const void* driverObject);

    // The next `count` allocations fail (0 turns injection off).
    void failNextAllocations(std::size_t count);

    std::vector<EventLogEntry> entries() const;
    std::vector<EventLogEntry> entriesWithCode(NTSTATUS code) const;
    std::size_t size() const;
    void clear();

private:
    struct Packet {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t size = 0;
        EventSource source;
    };

    mutable std::mutex mutex_;
    std::size_t capacity_;
    std::map<const void*, Packet> packets_;  // live packets by address
    std::size_t failures_ = 0;
    std::uint64_t written_ = 0;
    std::deque<EventLogEntry> entries_;
};

}  // namespace sim
