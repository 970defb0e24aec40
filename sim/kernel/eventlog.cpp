// System event log: packet lifetime, decoding of written packets and
// rendering of their texts.
#include "sim/eventlog.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "sim/format.h"
#include "sim/msgtable.h"

namespace sim {
namespace {

std::int64_t SystemTime() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100 + 116444736000000000LL;
}

std::string Describe(const void* packet, const EventSource& source) {
    return FormatNarrow("error log packet %p of %s", packet, Utf8FromUtf16(source.objectName).c_str());
}

}  // namespace

std::string EventLogEntry::displayText() const { return DisplayMessage(text); }

std::string EventLogEntry::stringUtf8(std::size_t index) const {
    return index < strings.size() ? Utf8FromUtf16(strings[index]) : std::string();
}

EventLog::EventLog(std::size_t capacity) : capacity_(capacity ? capacity : 1) {}

EventLog::~EventLog() = default;

void* EventLog::allocatePacket(const EventSource& source, std::size_t entrySize) {
    if (entrySize > ERROR_LOG_MAXIMUM_SIZE) return nullptr;
    std::lock_guard lock(mutex_);
    if (failures_) {
        --failures_;
        return nullptr;
    }
    // Never smaller than the header, so a driver filling the header of a
    // short packet stays inside it; the requested size bounds the decoding.
    std::size_t room = std::max(entrySize, sizeof(IO_ERROR_LOG_PACKET));
    Packet p{std::make_unique<std::uint8_t[]>(room), entrySize, source};
    std::memset(p.bytes.get(), 0, room);
    void* address = p.bytes.get();
    packets_.emplace(address, std::move(p));
    return address;
}

std::string EventLog::writePacket(void* packet, const std::function<const void*(const void*)>& tableOf) {
    Packet p;
    {
        std::lock_guard lock(mutex_);
        auto it = packets_.find(packet);
        if (it == packets_.end())
            return FormatNarrow(
                "IoWriteErrorLogEntry: %p is not an allocated error log packet (written or freed already?)", packet);
        p = std::move(it->second);
        packets_.erase(it);
    }
    // The packet is ours alone now: decode and render without the lock.
    IO_ERROR_LOG_PACKET header;
    std::memcpy(&header, p.bytes.get(), sizeof header);
    EventLogEntry e;
    e.errorCode = header.ErrorCode;
    e.majorFunctionCode = header.MajorFunctionCode;
    e.retryCount = header.RetryCount;
    e.dumpDataSize = header.DumpDataSize;
    e.numberOfStrings = header.NumberOfStrings;
    e.stringOffset = header.StringOffset;
    e.eventCategory = header.EventCategory;
    e.uniqueErrorValue = header.UniqueErrorValue;
    e.finalStatus = header.FinalStatus;
    e.sequenceNumber = header.SequenceNumber;
    e.ioControlCode = header.IoControlCode;
    e.deviceOffset = header.DeviceOffset.QuadPart;
    e.packetSize = p.size;
    e.source = p.source;

    const std::uint8_t* bytes = p.bytes.get();
    std::size_t dumpStart = offsetof(IO_ERROR_LOG_PACKET, DumpData);
    if (header.DumpDataSize && dumpStart + header.DumpDataSize > p.size)
        return Describe(packet, p.source) + ": DumpDataSize " + std::to_string(header.DumpDataSize) +
               " reaches past the packet's " + std::to_string(p.size) + " bytes";
    e.dumpData.assign(bytes + dumpStart, bytes + dumpStart + header.DumpDataSize);

    if (header.NumberOfStrings) {
        if (header.StringOffset < dumpStart || header.StringOffset >= p.size || (header.StringOffset & 1))
            return Describe(packet, p.source) + ": StringOffset " + std::to_string(header.StringOffset) +
                   " is outside the packet's string area";
        std::size_t at = header.StringOffset;
        for (USHORT i = 0; i < header.NumberOfStrings; ++i) {
            std::u16string s;
            for (;;) {
                if (at + 2 > p.size)
                    return Describe(packet, p.source) + ": insertion string " + std::to_string(i + 1) +
                           " is not terminated within the packet";
                char16_t c;
                std::memcpy(&c, bytes + at, 2);
                at += 2;
                if (!c) break;
                s.push_back(c);
            }
            e.strings.push_back(std::move(s));
        }
    }

    MessageTable table(tableOf ? tableOf(p.source.ioObject) : p.source.messageTable);
    if (auto message = table.find(static_cast<std::uint32_t>(e.errorCode))) {
        std::vector<std::u16string> inserts{p.source.objectName};
        inserts.insert(inserts.end(), e.strings.begin(), e.strings.end());
        e.text = ExpandMessage(*message, inserts);
        e.hasText = true;
    }
    e.timestamp = SystemTime();
    std::lock_guard lock(mutex_);
    e.sequence = ++written_;
    if (entries_.size() >= capacity_) entries_.pop_front();
    entries_.push_back(std::move(e));
    return {};
}

std::optional<EventSource> EventLog::packetSource(const void* packet) const {
    std::lock_guard lock(mutex_);
    auto it = packets_.find(packet);
    if (it == packets_.end()) return std::nullopt;
    return it->second.source;
}

std::string EventLog::freePacket(void* packet) {
    std::lock_guard lock(mutex_);
    auto it = packets_.find(packet);
    if (it == packets_.end())
        return FormatNarrow("IoFreeErrorLogEntry: %p is not an allocated error log packet (written or freed already?)",
                            packet);
    packets_.erase(it);
    return {};
}

std::size_t EventLog::outstandingPackets() const {
    std::lock_guard lock(mutex_);
    return packets_.size();
}

std::vector<std::string> EventLog::takeOutstandingPacketsOf(const void* driverObject) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (auto it = packets_.begin(); it != packets_.end();) {
        if (it->second.source.driverObject == driverObject) {
            out.push_back(Describe(it->first, it->second.source) + " was neither written nor freed");
            it = packets_.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

void EventLog::failNextAllocations(std::size_t count) {
    std::lock_guard lock(mutex_);
    failures_ = count;
}

std::vector<EventLogEntry> EventLog::entries() const {
    std::lock_guard lock(mutex_);
    return {entries_.begin(), entries_.end()};
}

std::vector<EventLogEntry> EventLog::entriesWithCode(NTSTATUS code) const {
    std::lock_guard lock(mutex_);
    std::vector<EventLogEntry> out;
    for (auto& e : entries_)
        if (e.errorCode == code) out.push_back(e);
    return out;
}

std::size_t EventLog::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void EventLog::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

}  // namespace sim

// ---- exported error log routines --------------------------------------------

#include "sim/machine.h"
#include "sim/objects.h"
#include "sim/verifier.h"
#include "wdm.h"

namespace {

sim::EventLog& Log() { return sim::Machine::Current().eventLog(); }

}  // namespace

extern "C" {

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateErrorLogEntry");
    if (!IoObject) {
        sim::ReportViolation("IoAllocateErrorLogEntry: IoObject is NULL");
        return nullptr;
    }
    sim::EventSource source;
    source.ioObject = IoObject;
    CSHORT type = *static_cast<const CSHORT*>(IoObject);
    if (type == IO_TYPE_DEVICE) {
        source.driverObject = static_cast<PDEVICE_OBJECT>(IoObject)->DriverObject;
    } else if (type == IO_TYPE_DRIVER) {
        source.driverObject = IoObject;
    } else {
        sim::ReportViolation("IoAllocateErrorLogEntry: IoObject is neither a device object nor a driver object");
        return nullptr;
    }
    source.driverName = sim::IoObjectDriverName(IoObject);
    source.objectName = sim::IoObjectName(IoObject);
    if (source.objectName.empty()) source.objectName = source.driverName;  // an unnamed device reports as its driver
    void* packet = Log().allocatePacket(source, EntrySize);
    // The packet keeps its object alive until it is written or freed, as on Windows.
    if (packet) ObReferenceObject(IoObject);
    return packet;
}

VOID IoWriteErrorLogEntry(PVOID ElEntry) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "IoWriteErrorLogEntry");
    auto source = Log().packetSource(ElEntry);
    std::string problem = Log().writePacket(ElEntry, [](const void* ioObject) { return sim::IoObjectMessageTable(ioObject); });
    if (!problem.empty()) sim::ReportViolation(problem);
    if (source) ObDereferenceObject(const_cast<void*>(source->ioObject));
}

VOID IoFreeErrorLogEntry(PVOID ElEntry) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "IoFreeErrorLogEntry");
    auto source = Log().packetSource(ElEntry);
    std::string problem = Log().freePacket(ElEntry);
    if (!problem.empty()) sim::ReportViolation(problem);
    if (source) ObDereferenceObject(const_cast<void*>(source->ioObject));
}

}  // extern "C"
