// Kernel debugger output (DbgPrint family) and assertion reports (RtlAssert).
#include "sim/trace.h"

#include <cstdio>
#include <utility>

namespace sim {

TraceLog::TraceLog(std::size_t capacity, bool echo) : capacity_(capacity ? capacity : 1), echo_(echo) {}

void TraceLog::append(std::string_view text) {
    std::lock_guard lock(mutex_);
    if (echo_) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
    std::size_t start = 0;
    for (;;) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) {
            pending_.append(text.substr(start));
            return;
        }
        pending_.append(text.substr(start, nl - start));
        pushLine(std::exchange(pending_, std::string()));
        start = nl + 1;
    }
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
