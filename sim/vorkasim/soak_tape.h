// The soak drawer's picture of a drive and its tape, shared by the files that draw its workload
// (soak_draw.cpp: the tape API and the fault table; soak_passthrough.cpp: the application's own
// SCSI commands).
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "soak_draw.h"

namespace vorkasim::soak {

using Json = nlohmann::json;
using Group = std::vector<Json>;  // steps that belong together (a locate, a block size and a read)

// One object on the tape as the drawer pictures it.
struct Rec {
    bool filemark = false;
    bool fixed = false;
    std::uint32_t size = 0;  // block size (fixed) or record length (variable)
};

struct Tape {
    std::vector<Rec> recs;
    std::uint64_t pos = 0;

    // Writing drops everything after the head; a write that puts nothing on the tape (a flush, a
    // record that does not fit) drops nothing.
    void write(const Rec& rec, std::uint64_t count)
    {
        if (count == 0) {
            return;
        }
        recs.resize(std::min<std::uint64_t>(pos, recs.size()));
        recs.insert(recs.end(), count, rec);
        pos = recs.size();
    }
    // Data records from `at` on that one read mode takes in a row (the same fixed block size, or
    // variable records), up to the next filemark or change of mode.
    std::uint64_t runFrom(std::uint64_t at) const
    {
        std::uint64_t n = 0;
        while (at + n < recs.size() && !recs[at + n].filemark && recs[at + n].fixed == recs[at].fixed &&
               (!recs[at].fixed || recs[at + n].size == recs[at].size)) {
            ++n;
        }
        return n;
    }
    // The data records a read may start from.
    std::vector<std::uint64_t> dataStarts() const
    {
        std::vector<std::uint64_t> starts;
        for (std::uint64_t i = 0; i < recs.size(); ++i) {
            if (!recs[i].filemark) {
                starts.push_back(i);
            }
        }
        return starts;
    }
    // Data bytes in the records before `at`: what a cartridge of limited capacity holds there.
    std::uint64_t bytesBefore(std::uint64_t at) const
    {
        std::uint64_t bytes = 0;
        for (std::uint64_t i = 0; i < at && i < recs.size(); ++i) {
            bytes += recs[i].filemark ? 0 : recs[i].size;
        }
        return bytes;
    }
};

struct Restore {
    Json step;
    int after = 0;  // groups of this drive to go before it is sent
};

// Requests of a drive that may fail move multiples of this many bytes: whatever block size a
// failed setting left the handle with, every request stays one the application can send.
constexpr std::uint32_t kAnyBlockSize = 4096;

struct Drive {
    std::string serial;
    std::string device;
    std::string handle;   // the application's handle, open from the first group to the last
    std::string second;   // a second handle of the drive, while it is open ("": none)
    std::string current;  // the handle the group being drawn uses
    bool shared = false;  // the drive lets a second handle open (it has no exclusive access)
    // A small cartridge: its data bytes and where its early-warning zone starts (0: one that a
    // soak never fills).
    std::uint64_t capacity = 0;
    std::uint64_t warnAt = 0;
    unsigned paths = 1;
    bool buffered = false;
    int healthy = -1;  // the path no fault touches; -1: every path may be hit
    bool anyBlockSize = false;  // requests fit every block size (set when requests may fail)
    std::uint32_t blockSize = 0;
    bool locked = false;
    bool reserved = false;  // the application holds the drive with RESERVE
    Tape tape;
    std::set<unsigned> disturbed;  // paths down, removed or stopped now
    std::vector<Restore> restores;
    std::vector<Group> groups;
};

class Drawer {
public:
    Drawer(std::mt19937_64& random, DrawnScenario& out) : random_(random), out_(out) {}
    std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : random_() % n; }
    bool chance(unsigned num, unsigned den) { return below(den) < num; }
    DrawnScenario& out() { return out_; }

private:
    std::mt19937_64& random_;
    DrawnScenario& out_;
};

inline Json Step(std::string_view op, const Drive& drive)
{
    return {{"op", std::string(op)}, {"handle", drive.current.empty() ? drive.handle : drive.current}};
}

inline Json DriveStep(std::string_view op, const Drive& drive)
{
    return {{"op", std::string(op)}, {"drive", drive.serial}};
}

inline void SetBlockSize(Drive& drive, std::uint32_t size, Group* group)
{
    if (drive.blockSize != size) {
        Json step = Step("setblocksize", drive);
        step["size"] = size;
        group->push_back(step);
        drive.blockSize = size;
    }
}

// The records a write of `requests` requests of `bytes` each leaves on the drive's tape from its
// position (blocks of `size`, or one variable record per request when 0), and whether the end of
// the cartridge ends it: the application stops at the first request that does not succeed, and on
// a small cartridge that is the first to reach the early-warning zone or its end.
struct WriteOutcome {
    std::uint64_t records = 0;
    bool endOfMedium = false;
};
WriteOutcome PlanWrite(const Drive& drive, std::uint32_t size, std::uint64_t requests, std::uint64_t bytes);

// A row of the workload table: one of the application's own SCSI commands through pass-through
// (soak_passthrough.cpp). False when none can be drawn now.
bool DrawPassThrough(Drawer& d, Drive& drive);

}  // namespace vorkasim::soak
