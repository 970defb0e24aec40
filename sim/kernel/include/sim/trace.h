// The kernel debugger output of the simulated machine: what DbgPrint and
// RtlAssert write. Drivers trace every routine, so the log keeps only the most
// recent lines (a ring buffer); tests read, search and clear it.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// One failed assertion reported through RtlAssert.
struct AssertionRecord {
    std::string expression;
    std::string file;
    std::uint32_t line = 0;
    std::string message;  // the optional MutableMessage, empty when none
};

class TraceLog {
public:
    static constexpr std::size_t kDefaultCapacity = 200000;

    explicit TraceLog(std::size_t capacity = kDefaultCapacity, bool echo = false);
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;

    // Appends debugger output. Text is split into lines at '\n'; a trailing
    // fragment without '\n' waits for the rest of its line, as on a debugger
    // console. Thread-safe.
    void append(std::string_view text);

    // Completed lines still held (oldest first), without their '\n'.
    std::vector<std::string> lines() const;
    // Lines completed after `mark()` returned `since` that are still held.
    std::vector<std::string> linesSince(std::uint64_t since) const;
    // A position in the stream of completed lines (counts lines ever completed).
    std::uint64_t mark() const;
    // The output fragment still waiting for its '\n'.
    std::string pending() const;

    bool contains(std::string_view needle) const;  // any held line contains `needle`
    std::size_t count(std::string_view needle) const;
    std::vector<std::string> linesContaining(std::string_view needle) const;

    void clear();  // drops lines, the pending fragment and the assertions
    void setEcho(bool echo);  // also copy every appended text to stderr
    std::size_t capacity() const { return capacity_; }
    std::uint64_t droppedLines() const;

    // Assertions reported through RtlAssert, oldest first.
    void recordAssertion(AssertionRecord record);
    std::vector<AssertionRecord> assertions() const;
    void clearAssertions();
    // Called (outside the log's lock) for every assertion, e.g. to fail a test
    // that does not expect one. Empty function: none.
    void setAssertionHandler(std::function<void(const AssertionRecord&)> handler);

    // Called for every completed line, in the thread that wrote it and outside the log's lock.
    // Tests use it to hold a driver thread at a traced step and so force one interleaving of
    // two requests. Empty function: none. Returns once no thread runs the observer it replaced,
    // so that what that observer refers to may go (it must not be called from an observer).
    void setLineObserver(std::function<void(const std::string&)> observer);

    // The debug print filter (DbgQueryDebugFilterState / DbgSetDebugFilterState): which levels of
    // which component reach the log. `level` is a level number 0-31 or, with DPFLTR_MASK
    // (0x80000000) set, a mask of levels. Every level of every component is on at boot, as on a
    // machine being debugged; a production machine keeps only errors, and a benchmark turns the
    // drivers' trace off so that it measures the drivers rather than the formatting of their
    // lines. Text that is filtered out is never formatted. A component past the table is
    // refused: setFilter returns false and filterState -1.
    static constexpr std::uint32_t kFilterComponents = 256;
    int filterState(std::uint32_t component, std::uint32_t level) const;  // 1 on, 0 off, -1 no such component
    bool setFilter(std::uint32_t component, std::uint32_t level, bool on);

private:
    void pushLine(std::string line);  // lock held

    mutable std::mutex mutex_;
    std::size_t capacity_;
    bool echo_;
    std::deque<std::string> lines_;
    std::uint64_t completed_ = 0;  // lines ever completed
    std::string pending_;
    std::vector<AssertionRecord> assertions_;
    std::function<void(const AssertionRecord&)> assertionHandler_;
    std::shared_ptr<const std::function<void(const std::string&)>> lineObserver_;
    std::condition_variable observerDone_;  // a thread finished calling an observer
    // Read on every DbgPrint without the log's lock: one relaxed load per line.
    std::array<std::atomic<std::uint32_t>, kFilterComponents> filterMasks_;
};

}  // namespace sim
