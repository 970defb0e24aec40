// Kernel debugger output (DbgPrint family) and assertion reports (RtlAssert).
#include "sim/trace.h"

#include <cstdio>
#include <utility>

namespace sim {

TraceLog::TraceLog(std::size_t capacity, bool echo) : capacity_(capacity ? capacity : 1), echo_(echo) {
    for (auto& mask : filterMasks_) mask.store(~0u, std::memory_order_relaxed);
}

namespace {
constexpr std::uint32_t kLevelIsMask = 0x80000000u;  // DPFLTR_MASK

std::uint32_t LevelMask(std::uint32_t level) {
    if (level & kLevelIsMask) return level & ~kLevelIsMask;
    return level < 32 ? 1u << level : 0u;
}
}  // namespace

int TraceLog::filterState(std::uint32_t component, std::uint32_t level) const {
    if (component >= kFilterComponents) return -1;
    const std::uint32_t mask = LevelMask(level);
    return (filterMasks_[component].load(std::memory_order_relaxed) & mask) != 0 ? 1 : 0;
}

bool TraceLog::setFilter(std::uint32_t component, std::uint32_t level, bool on) {
    if (component >= kFilterComponents) return false;
    const std::uint32_t mask = LevelMask(level);
    if (on)
        filterMasks_[component].fetch_or(mask, std::memory_order_relaxed);
    else
        filterMasks_[component].fetch_and(~mask, std::memory_order_relaxed);
    return true;
}

void TraceLog::append(std::string_view text) {
    std::vector<std::string> completed;
    std::shared_ptr<const std::function<void(const std::string&)>> observer;
    {
        std::lock_guard lock(mutex_);
        if (echo_) {
            std::fwrite(text.data(), 1, text.size(), stderr);
            std::fflush(stderr);
        }
        observer = lineObserver_;
        std::size_t start = 0;
        for (;;) {
            std::size_t nl = text.find('\n', start);
            if (nl == std::string_view::npos) {
                pending_.append(text.substr(start));
                break;
            }
            pending_.append(text.substr(start, nl - start));
            std::string line = std::exchange(pending_, std::string());
            if (observer) completed.push_back(line);
            pushLine(std::move(line));
            start = nl + 1;
        }
    }
    if (observer) {
        for (const auto& line : completed) (*observer)(line);
        observer.reset();
        std::lock_guard lock(mutex_);
        observerDone_.notify_all();
    }
}

void TraceLog::setLineObserver(std::function<void(const std::string&)> observer) {
    std::unique_lock lock(mutex_);
    auto replaced = std::move(lineObserver_);
    if (observer)
        lineObserver_ = std::make_shared<const std::function<void(const std::string&)>>(std::move(observer));
    // Threads that took the old observer before the swap may still be in it: each holds a copy.
    observerDone_.wait(lock, [&] { return !replaced || replaced.use_count() == 1; });
}

void TraceLog::pushLine(std::string line) {
    if (lines_.size() >= capacity_) lines_.pop_front();
    lines_.push_back(std::move(line));
    ++completed_;
}

std::vector<std::string> TraceLog::lines() const {
    std::lock_guard lock(mutex_);
    return {lines_.begin(), lines_.end()};
}

std::vector<std::string> TraceLog::linesSince(std::uint64_t since) const {
    std::lock_guard lock(mutex_);
    std::uint64_t first = completed_ - lines_.size();  // sequence number of lines_.front()
    std::uint64_t from = since > first ? since - first : 0;
    if (from >= lines_.size()) return {};
    return {lines_.begin() + static_cast<std::ptrdiff_t>(from), lines_.end()};
}

std::uint64_t TraceLog::mark() const {
    std::lock_guard lock(mutex_);
    return completed_;
}

std::string TraceLog::pending() const {
    std::lock_guard lock(mutex_);
    return pending_;
}

bool TraceLog::contains(std::string_view needle) const {
    std::lock_guard lock(mutex_);
    for (const auto& l : lines_)
        if (l.find(needle) != std::string::npos) return true;
    return false;
}

std::size_t TraceLog::count(std::string_view needle) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& l : lines_)
        if (l.find(needle) != std::string::npos) ++n;
    return n;
}

std::vector<std::string> TraceLog::linesContaining(std::string_view needle) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& l : lines_)
        if (l.find(needle) != std::string::npos) out.push_back(l);
    return out;
}

void TraceLog::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
    pending_.clear();
    assertions_.clear();
}

void TraceLog::setEcho(bool echo) {
    std::lock_guard lock(mutex_);
    echo_ = echo;
}

std::uint64_t TraceLog::droppedLines() const {
    std::lock_guard lock(mutex_);
    return completed_ - lines_.size();
}

void TraceLog::recordAssertion(AssertionRecord record) {
    std::function<void(const AssertionRecord&)> handler;
    {
        std::lock_guard lock(mutex_);
        assertions_.push_back(record);
        handler = assertionHandler_;
    }
    if (handler) handler(record);
}

std::vector<AssertionRecord> TraceLog::assertions() const {
    std::lock_guard lock(mutex_);
    return assertions_;
}

void TraceLog::clearAssertions() {
    std::lock_guard lock(mutex_);
    assertions_.clear();
}

void TraceLog::setAssertionHandler(std::function<void(const AssertionRecord&)> handler) {
    std::lock_guard lock(mutex_);
    assertionHandler_ = std::move(handler);
}

}  // namespace sim

// ---- exported debugger output and assertion routines -----------------------

#include "sim/format.h"
#include "sim/machine.h"
#include "vk/rtl.h"
#include "dpfilter.h"

namespace {

// DbgPrint formats into a 512-byte buffer; longer output is cut and its last
// character replaced by a line break, as the Windows kernel does.
constexpr std::size_t kDbgPrintBuffer = 512;

void Emit(const std::string& text) {
    if (sim::Machine* machine = sim::Machine::CurrentOrNull()) {
        machine->trace().append(text);
    } else {
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
}

}  // namespace

extern "C" {

ULONG vDbgPrintExWithPrefix(PCCH Prefix, ULONG ComponentId, ULONG Level, PCCH Format, va_list arglist) {
    // The filter is consulted before anything is formatted, as Windows does.
    if (sim::Machine* machine = sim::Machine::CurrentOrNull()) {
        if (machine->trace().filterState(ComponentId, Level) == 0) return STATUS_SUCCESS;
    }
    std::string text = Prefix ? std::string(Prefix).substr(0, kDbgPrintBuffer - 1) : std::string();
    if (Format) {
        auto r = sim::FormatNarrowV(Format, arglist, kDbgPrintBuffer - text.size());
        text += r.text;
        if (r.truncated) text.back() = '\n';
    }
    Emit(text);
    return STATUS_SUCCESS;
}

NTSTATUS DbgQueryDebugFilterState(ULONG ComponentId, ULONG Level) {
    sim::Machine* machine = sim::Machine::CurrentOrNull();
    if (machine == nullptr) return TRUE;  // no machine: everything goes to stderr
    const int state = machine->trace().filterState(ComponentId, Level);
    if (state < 0) return STATUS_INVALID_PARAMETER_1;
    return state ? TRUE : FALSE;
}

NTSTATUS DbgSetDebugFilterState(ULONG ComponentId, ULONG Level, BOOLEAN State) {
    sim::Machine* machine = sim::Machine::CurrentOrNull();
    if (machine == nullptr) return STATUS_UNSUCCESSFUL;
    return machine->trace().setFilter(ComponentId, Level, State != FALSE) ? STATUS_SUCCESS
                                                                           : STATUS_INVALID_PARAMETER_1;
}

ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCCH Format, va_list arglist) {
    return vDbgPrintExWithPrefix("", ComponentId, Level, Format, arglist);
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    ULONG r = vDbgPrintExWithPrefix("", ComponentId, Level, Format, ap);
    va_end(ap);
    return r;
}

ULONG DbgPrint(PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    ULONG r = vDbgPrintExWithPrefix("", DPFLTR_DEFAULT_ID, DPFLTR_INFO_LEVEL, Format, ap);
    va_end(ap);
    return r;
}

VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber, PSTR MutableMessage) {
    sim::AssertionRecord record;
    record.expression = VoidFailedAssertion ? static_cast<const char*>(VoidFailedAssertion) : "";
    record.file = VoidFileName ? static_cast<const char*>(VoidFileName) : "";
    record.line = LineNumber;
    record.message = MutableMessage ? MutableMessage : "";
    // The report Windows prints on the debugger; execution then goes on.
    Emit(sim::FormatNarrow("\n*** Assertion failed: %s%s\n***   Source File: %s, line %lu\n\n", record.message.c_str(),
                           record.expression.c_str(), record.file.c_str(), LineNumber));
    if (sim::Machine* machine = sim::Machine::CurrentOrNull()) machine->trace().recordAssertion(std::move(record));
}

}  // extern "C"
