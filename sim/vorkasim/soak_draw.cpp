// The soak's random scenarios. Each drive gets an application handle and a workload drawn from
// the workload table (writes, filemarks, reads, spaces, locates, rewinds, block size changes, the
// medium lock) in fixed and variable mode; the drawer keeps its own picture of the tape, so that
// reads, spaces and locates stay within what was written and read in the mode it was written in.
// Faults and path events come from the fault table. A drive held to "no request fails" keeps one
// path that no fault touches; on the others (and on a drive that is not held to it) every kind
// may strike. Disturbed paths are brought back a few requests later or at the end.
#include "soak_draw.h"

#include <algorithm>
#include <array>
#include <optional>
#include <set>
#include <string_view>

#include "soak_changer.h"
#include "soak_tape.h"

namespace vorkasim {
namespace soak {

std::uint32_t DrawBlockSize(Drawer& d)
{
    static constexpr std::array<std::uint32_t, 4> sizes = {0, 0, 512, 4096};
    return sizes[d.below(sizes.size())];
}

// Moves the handle to `at`: a rewind for the start, a locate otherwise.
void MoveTo(Drive& drive, std::uint64_t at, Group* group)
{
    if (at == 0) {
        group->push_back(Step("rewind", drive));
    } else {
        Json step = Step("locate", drive);
        step["block"] = at;
        group->push_back(step);
    }
    drive.tape.pos = at;
}

// Reads from the position in the mode its records were written in; with `toEnd` the whole run and
// the filemark after it, otherwise a part of the run.
void ReadRun(Drawer& d, Drive& drive, bool toEnd, Group* group)
{
    Tape& tape = drive.tape;
    const std::uint64_t run = tape.runFrom(tape.pos);
    if (run == 0) {
        return;
    }
    const Rec& first = tape.recs[tape.pos];
    const std::uint64_t wanted = toEnd ? run : 1 + d.below(run);
    std::uint64_t perRequest = first.fixed ? 1 + d.below(std::min<std::uint64_t>(4, wanted)) : 1;
    if (drive.anyBlockSize && first.fixed && first.size < kAnyBlockSize) {
        perRequest = kAnyBlockSize / first.size;
        if (wanted < perRequest) {
            // Too few blocks for one such request: passed over by spacing.
            Json space = Step("space", drive);
            space["kind"] = "blocks";
            space["count"] = wanted;
            group->push_back(space);
            tape.pos += wanted;
            return;
        }
    }
    SetBlockSize(drive, first.fixed ? first.size : 0, group);
    std::uint64_t requests = wanted / perRequest;
    std::uint64_t moved = requests * perRequest;
    // One request more meets the filemark that ends the run (with the blocks before it).
    const bool end = tape.pos + run < tape.recs.size() && tape.recs[tape.pos + run].filemark;
    if (end && moved + perRequest > run && (toEnd || d.chance(1, 2))) {
        ++requests;
        moved = run + 1;
    }
    Json step = Step("read", drive);
    step["requests"] = requests;
    step["bytes"] = first.fixed ? first.size * perRequest : 65536;
    group->push_back(step);
    tape.pos += moved;
}

// --- The workload table -------------------------------------------------------------------------

bool DrawWrite(Drawer& d, Drive& drive)
{
    Group group;
    const std::uint32_t size = d.chance(1, 4) ? DrawBlockSize(d) : drive.blockSize;
    SetBlockSize(drive, size, &group);
    std::uint64_t requests = 1 + d.below(12);
    std::uint64_t bytes = size == 0 ? (d.chance(1, 4) ? 16 + d.below(500) : 16 + d.below(65520))
                                    : size * (1 + d.below(16));
    if (drive.anyBlockSize) {
        bytes = kAnyBlockSize * (1 + d.below(size == 512 ? 2 : 15));
    }
    // A write that reaches the early-warning zone or the end is one request: which request hears of
    // the zone first is the drive's answer, and a request finished on another path after its
    // answer was lost succeeds without that warning, so the application sends the next one.
    if (PlanWrite(drive, size, requests, bytes).endOfMedium) {
        requests = 1;
    }
    Json step = Step("write", drive);
    step["requests"] = requests;
    step["bytes"] = bytes;
    group.push_back(step);
    drive.tape.write(Rec{false, size != 0, size != 0 ? size : static_cast<std::uint32_t>(bytes)},
                     PlanWrite(drive, size, requests, bytes).records);
    drive.groups.push_back(group);
    return true;
}

bool DrawFilemarks(Drawer& d, Drive& drive)
{
    Json step = Step("writefm", drive);
    // A count of 0 is the sync point of a backup program: the drive writes its buffer to the tape.
    const std::uint64_t count = d.chance(1, 6) ? 0 : d.chance(1, 5) ? 2 : 1;
    step["count"] = count;
    // Immediate filemarks only where the drive buffers: in unbuffered mode it refuses them.
    if (d.chance(1, 4) && drive.buffered) {
        step["immediate"] = true;
    }
    drive.tape.write(Rec{true, false, 0}, count);
    drive.groups.push_back({step});
    return true;
}

bool DrawRead(Drawer& d, Drive& drive)
{
    const std::vector<std::uint64_t> starts = drive.tape.dataStarts();
    if (starts.empty()) {
        return false;
    }
    Group group;
    MoveTo(drive, starts[d.below(starts.size())], &group);
    ReadRun(d, drive, false, &group);
    drive.groups.push_back(group);
    return true;
}

bool DrawSpace(Drawer& d, Drive& drive)
{
    Tape& tape = drive.tape;
    Json step = Step("space", drive);
    switch (d.below(3)) {
        case 0: {  // blocks, forwards within the file or backwards to its start
            std::uint64_t ahead = 0, back = 0;
            while (tape.pos + ahead < tape.recs.size() && !tape.recs[tape.pos + ahead].filemark) {
                ++ahead;
            }
            while (back < tape.pos && !tape.recs[tape.pos - back - 1].filemark) {
                ++back;
            }
            if (ahead == 0 && back == 0) {
                return false;
            }
            const bool forwards = back == 0 || (ahead != 0 && d.chance(1, 2));
            const std::uint64_t count = 1 + d.below(forwards ? ahead : back);
            step["kind"] = "blocks";
            step["count"] = forwards ? static_cast<std::int64_t>(count) : -static_cast<std::int64_t>(count);
            tape.pos = forwards ? tape.pos + count : tape.pos - count;
            break;
        }
        case 1: {  // filemarks: forwards past the n-th, backwards to the front of the n-th
            std::vector<std::uint64_t> ahead, back;
            for (std::uint64_t i = 0; i < tape.recs.size(); ++i) {
                if (tape.recs[i].filemark) {
                    (i >= tape.pos ? ahead : back).push_back(i);
                }
            }
            if (ahead.empty() && back.empty()) {
                return false;
            }
            const bool forwards = back.empty() || (!ahead.empty() && d.chance(1, 2));
            const std::uint64_t count = 1 + d.below(forwards ? ahead.size() : back.size());
            step["kind"] = "filemarks";
            step["count"] = forwards ? static_cast<std::int64_t>(count) : -static_cast<std::int64_t>(count);
            tape.pos = forwards ? ahead[count - 1] + 1 : back[back.size() - count];
            break;
        }
        default:
            step["kind"] = "eod";
            tape.pos = tape.recs.size();
            break;
    }
    drive.groups.push_back({step});
    return true;
}

bool DrawLocate(Drawer& d, Drive& drive)
{
    Group group;
    MoveTo(drive, d.below(drive.tape.recs.size() + 1), &group);
    if (d.chance(1, 2)) {
        group.push_back(Step("getpos", drive));
    }
    drive.groups.push_back(group);
    return true;
}

bool DrawRewind(Drawer&, Drive& drive)
{
    Group group;
    MoveTo(drive, 0, &group);
    drive.groups.push_back(group);
    return true;
}

bool DrawGetPos(Drawer&, Drive& drive)
{
    drive.groups.push_back({Step("getpos", drive)});
    return true;
}

bool DrawLock(Drawer&, Drive& drive)
{
    drive.groups.push_back({Step(drive.locked ? "unlock" : "lock", drive)});
    drive.locked = !drive.locked;
    return true;
}

// A second handle of the application on the drive's virtual device, opened and closed between
// requests. Only on a drive that keeps a healthy path: one that loses every path loses its virtual
// device, and the name may then belong to another device when the handle is opened.
bool DrawSecondHandle(Drawer& d, Drive& drive)
{
    if (!drive.shared || drive.healthy < 0) {
        return false;
    }
    if (drive.second.empty()) {
        drive.second = drive.handle + "b";
        drive.groups.push_back({{{"op", "open"}, {"device", drive.device}, {"handle", drive.second}}});
    } else if (d.chance(1, 3)) {
        drive.groups.push_back({{{"op", "close"}, {"handle", drive.second}}});
        drive.second.clear();
    } else {
        return false;
    }
    return true;
}

struct WorkloadKind {
    std::string_view name;
    unsigned weight;
    bool (*draw)(Drawer&, Drive&);  // false: not possible now (nothing to read, say)
};

constexpr std::array<WorkloadKind, 10> kWorkloads{{
    {"write", 10, DrawWrite},
    {"writefm", 3, DrawFilemarks},
    {"read", 4, DrawRead},
    {"space", 3, DrawSpace},
    {"locate", 2, DrawLocate},
    {"rewind", 1, DrawRewind},
    {"getpos", 1, DrawGetPos},
    {"lock", 1, DrawLock},
    {"passthrough", 4, DrawPassThrough},
    {"second handle", 1, DrawSecondHandle},
}};

template <std::size_t N, typename Row>
const Row& Pick(Drawer& d, const std::array<Row, N>& table)
{
    unsigned total = 0;
    for (const auto& row : table) {
        total += row.weight;
    }
    std::uint64_t at = d.below(total);
    for (const auto& row : table) {
        if (at < row.weight) {
            return row;
        }
        at -= row.weight;
    }
    return table.back();
}

// --- The fault table ----------------------------------------------------------------------------

// A path a fault may strike (not the one kept healthy, nor one already disturbed when
// `undisturbed`); nullopt when there is none.
std::optional<unsigned> PickPath(Drawer& d, const Drive& drive, bool undisturbed)
{
    std::vector<unsigned> candidates;
    for (unsigned p = 0; p < drive.paths; ++p) {
        if (static_cast<int>(p) != drive.healthy && (!undisturbed || drive.disturbed.count(p) == 0)) {
            candidates.push_back(p);
        }
    }
    if (candidates.empty()) {
        return std::nullopt;
    }
    return candidates[d.below(candidates.size())];
}

// A path event with the step that undoes it some requests later.
bool Disturb(Drawer& d, Drive& drive, std::string_view op, std::string_view undo, Json extra = Json::object())
{
    const auto path = PickPath(d, drive, true);
    if (!path) {
        return false;
    }
    Json step = DriveStep(op, drive);
    step["path"] = *path;
    step.update(extra);
    Json back = DriveStep(undo, drive);
    back["path"] = *path;
    drive.groups.push_back({step});
    drive.disturbed.insert(*path);
    drive.restores.push_back({back, 1 + static_cast<int>(d.below(6))});
    return true;
}

// A command failure as a path reports it: a transport status, or a sense that counts as a path
// failure (not ready, hardware error, aborted command).
void FailureOf(Drawer& d, Json* step)
{
    static constexpr std::array<std::uint32_t, 2> statuses = {0xC00000B5, 0xC000009D};
    static constexpr std::array<std::string_view, 4> senses = {"0B/00/00", "0B/47/00", "04/44/00", "02/04/00"};
    if (d.chance(1, 2)) {
        (*step)["status"] = statuses[d.below(statuses.size())];
    } else {
        (*step)["sense"] = std::string(senses[d.below(senses.size())]);
    }
}

// On a drive held to "no request fails", a path carries one armed fault at a time and it is
// cleared after the next request: the engine retries a path that still answers twice and then
// gives the request up, so faults piling up on one path could fail a request legitimately.
bool ArmOnPath(Drawer& d, Drive& drive, Json fault)
{
    const bool held = drive.healthy >= 0;
    const auto path = PickPath(d, drive, held);
    if (!path) {
        return false;
    }
    Json step = DriveStep("fault", drive);
    step["path"] = *path;
    step.update(fault);
    drive.groups.push_back({step});
    if (held) {
        Json clear = DriveStep("clear-faults", drive);
        clear["path"] = *path;
        drive.disturbed.insert(*path);
        drive.restores.push_back({clear, 1});
    }
    return true;
}

bool FaultDown(Drawer& d, Drive& drive)
{
    // As fabrics do: now and then the drive keeps the path's login (with what it holds) until the
    // link returns, or for good, and the fabric holds the path's commands a few milliseconds first.
    // A login kept with the application's RESERVE(6) would hold the drive from every other path: a
    // drive held to "no request fails" keeps such links for unreserved jobs.
    Json down = {{"kind", "down"}};
    if ((!drive.reserved || drive.healthy < 0) && d.chance(1, 3)) {
        down["login"] = d.chance(1, 2) ? "return" : "never";
    }
    if (d.chance(1, 4)) {
        down["holdMs"] = 1 + d.below(8);
    }
    return Disturb(d, drive, "fault", "clear-faults", down);
}

bool FaultSurpriseRemoval(Drawer& d, Drive& drive)
{
    return Disturb(d, drive, "surprise-remove", "add");
}

bool FaultStop(Drawer& d, Drive& drive)
{
    return Disturb(d, drive, "stop", "start");
}

bool FaultRemove(Drawer& d, Drive& drive)
{
    return Disturb(d, drive, "remove", "add");
}

bool FaultFailedCommands(Drawer& d, Drive& drive)
{
    static constexpr std::array<int, 9> opcodes = {-1, -1, -1, 0x0A, 0x08, 0x10, 0x2B, 0x11, 0x34};
    Json fault = {{"kind", "fail"}, {"count", 1 + d.below(2)}};
    if (const int opcode = opcodes[d.below(opcodes.size())]; opcode >= 0) {
        fault["opcode"] = opcode;
    }
    FailureOf(d, &fault);
    return ArmOnPath(d, drive, fault);
}

bool FaultLostCompletion(Drawer& d, Drive& drive)
{
    // Beside data and motion: a rewind, a mode select, a medium lock and a position query.
    static constexpr std::array<int, 11> opcodes = {-1, 0x0A, 0x0A, 0x08, 0x10, 0x11, 0x2B, 0x01, 0x15, 0x1E, 0x34};
    Json fault = {{"kind", "fail"}, {"executed", true}};
    if (const int opcode = opcodes[d.below(opcodes.size())]; opcode >= 0) {
        fault["opcode"] = opcode;
    }
    FailureOf(d, &fault);
    return ArmOnPath(d, drive, fault);
}

bool FaultPartialWrite(Drawer& d, Drive& drive)
{
    Json fault = {{"kind", "partial_write"}, {"k", d.below(5)}};
    if (d.chance(1, 2)) {
        FailureOf(d, &fault);
    }
    return ArmOnPath(d, drive, fault);
}

bool FaultPartialTransfer(Drawer& d, Drive& drive)
{
    Json fault = {{"kind", "partial_transfer"}, {"k", d.below(5)}};
    if (d.chance(1, 2)) {
        FailureOf(d, &fault);
    }
    return ArmOnPath(d, drive, fault);
}

// The faults below strike the drive itself, from every path.
bool DriveWide(Drawer& d, Drive& drive, Json step)
{
    if (drive.healthy >= 0) {
        return false;  // a drive held to "no request fails" sees only path faults
    }
    (void)d;
    drive.groups.push_back({step});
    return true;
}

bool FaultNexusLoss(Drawer& d, Drive& drive)
{
    // Every path loses its connection for one or two commands (a fabric event).
    Json fault = DriveStep("fault", drive);
    fault.update({{"kind", "fail"}, {"count", 1 + d.below(2)}, {"status", 0xC000009D}});
    return DriveWide(d, drive, fault);
}

bool FaultDriveReset(Drawer& d, Drive& drive)
{
    if (d.chance(1, 2)) {
        return DriveWide(d, drive, DriveStep("reset", drive));
    }
    Json fault = DriveStep("fault", drive);
    fault["kind"] = "reset";
    return DriveWide(d, drive, fault);
}

bool FaultTimeoutReset(Drawer& d, Drive& drive)
{
    // A command times out (having run, or not) and the host resets the drive to get rid of it.
    if (drive.healthy >= 0) {
        return false;
    }
    static constexpr std::array<int, 6> opcodes = {-1, 0x0A, 0x0A, 0x08, 0x10, 0x2B};
    Json fault = {{"kind", "fail"}, {"status", 0xC00000B5}, {"executed", d.chance(1, 2)},
                  {"holdMs", 1 + d.below(4)}, {"resetAfter", true}};
    if (const int opcode = opcodes[d.below(opcodes.size())]; opcode >= 0) {
        fault["opcode"] = opcode;
    }
    return ArmOnPath(d, drive, fault);
}

bool FaultPowerCycle(Drawer& d, Drive& drive)
{
    return DriveWide(d, drive, DriveStep("power-cycle", drive));
}

bool FaultDeferredError(Drawer& d, Drive& drive)
{
    Json fault = DriveStep("fault", drive);
    fault.update({{"kind", "deferred_error"}, {"k", d.below(4)}});
    return DriveWide(d, drive, fault);
}

// What the port driver reports instead of an NT status: the class layer maps it (and sends a query
// again), the buses see the NT status. A time-out, an abort, a reset or lost sense may come after
// the drive ran the command.
bool FaultSrbStatus(Drawer& d, Drive& drive)
{
    static constexpr std::array<std::string_view, 6> srbs = {"selection-timeout", "no-device", "command-timeout",
                                                             "aborted",           "bus-reset", "error-no-sense"};
    static constexpr std::array<int, 9> opcodes = {-1, -1, 0x0A, 0x0A, 0x08, 0x10, 0x2B, 0x11, 0x34};
    const std::string_view srb = srbs[d.below(srbs.size())];
    Json fault = {{"kind", "fail"}, {"srbStatus", std::string(srb)}};
    if (const int opcode = opcodes[d.below(opcodes.size())]; opcode >= 0) {
        fault["opcode"] = opcode;
    }
    if (srb != "selection-timeout" && srb != "no-device" && d.chance(1, 2)) {
        fault["executed"] = true;
    }
    return ArmOnPath(d, drive, fault);
}

// The drive refuses commands as busy, or with its task set full: a condition of the drive, not of
// a path. A few refusals the class layer's retries cover; on a drive allowed to fail requests, as
// many as outlast them, from every path.
bool FaultBusy(Drawer& d, Drive& drive)
{
    Json fault = {{"kind", "fail"}, {"scsiStatus", d.chance(1, 2) ? "busy" : "task-set-full"}};
    if (d.chance(1, 3)) {
        fault["opcode"] = d.chance(1, 2) ? 0x0A : 0x08;
    }
    if (drive.healthy >= 0) {
        fault["count"] = 1 + d.below(4);
        return ArmOnPath(d, drive, fault);
    }
    Json step = DriveStep("fault", drive);
    step.update(fault);
    step["count"] = 1 + d.below(14);
    return DriveWide(d, drive, step);
}

// The link fails while the drive works on the path's command, which stays open there a while: the
// other paths meet BUSY until it ends (within the class layer's retries).
bool FaultOpenCommand(Drawer& d, Drive& drive)
{
    return Disturb(d, drive, "fault", "clear-faults", {{"kind", "down"}, {"runningMs", 5 + d.below(100)}});
}

struct FaultKindRow {
    std::string_view name;
    unsigned weight;
    bool destroysData;  // inside the drive: no path can repair it
    bool (*draw)(Drawer&, Drive&);
};

constexpr std::array<FaultKindRow, 16> kFaults{{
    {"down", 4, false, FaultDown},
    {"surprise-remove", 3, false, FaultSurpriseRemoval},
    {"stop", 1, false, FaultStop},
    {"remove", 1, false, FaultRemove},
    {"fail", 4, false, FaultFailedCommands},
    {"lost-completion", 4, false, FaultLostCompletion},
    {"partial_write", 5, false, FaultPartialWrite},
    {"partial_transfer", 3, false, FaultPartialTransfer},
    {"nexus-loss", 1, false, FaultNexusLoss},
    {"reset", 2, true, FaultDriveReset},
    {"deferred_error", 2, true, FaultDeferredError},
    {"timeout-reset", 1, true, FaultTimeoutReset},
    {"power-cycle", 1, true, FaultPowerCycle},
    {"srb-status", 3, false, FaultSrbStatus},
    {"busy", 2, false, FaultBusy},
    {"open-command", 1, false, FaultOpenCommand},
}};

void DrawFault(Drawer& d, Drive& drive)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const FaultKindRow& row = Pick(d, kFaults);
        if (!row.draw(d, drive)) {
            continue;
        }
        ++d.out().faults[std::string(row.name)];
        if (drive.healthy < 0) {
            d.out().requestsMayFail = true;
        }
        d.out().dataMayBeDestroyed = d.out().dataMayBeDestroyed || row.destroysData;
        return;
    }
}

// Path events that are due after this group, in the order they were drawn.
void SendDueRestores(Drive& drive, bool all)
{
    std::vector<Restore> keep;
    for (auto& restore : drive.restores) {
        if (all || --restore.after <= 0) {
            drive.groups.push_back({restore.step});
            drive.disturbed.erase(restore.step.at("path").get<unsigned>());
        } else {
            keep.push_back(restore);
        }
    }
    drive.restores = keep;
}

// A single request that a path may be pulled beside (not the application's own stamped READ or
// WRITE, which a path that breaks off midway fails; see DrawPassThrough).
bool IsSingleDataStep(const Group& group)
{
    if (group.size() == 1 && group[0].value("stamp", false)) {
        return false;
    }
    static const std::set<std::string> data = {"write",  "read",   "writefm",    "space",
                                               "locate", "rewind", "getpos", "passthrough"};
    return group.size() == 1 && data.count(group[0].at("op").get<std::string>()) != 0;
}

void DrawWorkload(Drawer& d, Drive& drive)
{
    drive.groups.push_back({{{"op", "open"}, {"device", drive.device}, {"handle", drive.handle}}});
    // Now and then the backup reserves the drive for itself first, as backup programs do: every
    // failover then takes the reservation over too.
    const bool reserved = d.chance(1, 4);
    drive.reserved = reserved;
    if (reserved) {
        drive.groups.push_back({Step("reserve", drive)});
    }
    const bool faulty = drive.paths > 1 || drive.healthy < 0;
    const unsigned requests = 6 + static_cast<unsigned>(d.below(20));
    for (unsigned r = 0; r < requests; ++r) {
        if (faulty && d.chance(1, 3)) {
            DrawFault(d, drive);
        }
        // With a second handle open, some requests go through it.
        drive.current = !drive.second.empty() && d.chance(1, 3) ? drive.second : drive.handle;
        const WorkloadKind* kind = nullptr;
        for (int attempt = 0; attempt < 4 && kind == nullptr; ++attempt) {
            const WorkloadKind& row = Pick(d, kWorkloads);
            kind = row.draw(d, drive) ? &row : nullptr;
        }
        // Now and then a path is pulled while a request runs.
        if (faulty && kind != nullptr && IsSingleDataStep(drive.groups.back()) && d.chance(1, 8)) {
            Group request = drive.groups.back();
            drive.groups.pop_back();
            const std::size_t before = drive.groups.size();
            if (d.chance(1, 2) ? FaultSurpriseRemoval(d, drive) : FaultDown(d, drive)) {
                ++d.out().faults[std::string(drive.groups.back()[0].at("op")) == "fault" ? "down" : "surprise-remove"];
                d.out().requestsMayFail = d.out().requestsMayFail || drive.healthy < 0;
                Json event = drive.groups.back()[0];
                drive.groups.resize(before);
                drive.groups.push_back({{{"op", "parallel"}, {"steps", {request[0], event}}}});
            } else {
                drive.groups.push_back(request);
            }
        }
        SendDueRestores(drive, false);
    }
    // The end: every path back, every fault cleared, then the whole tape read back.
    drive.current = drive.handle;
    if (!drive.second.empty()) {
        drive.groups.push_back({{{"op", "close"}, {"handle", drive.second}}});
        drive.second.clear();
    }
    SendDueRestores(drive, true);
    drive.groups.push_back({DriveStep("clear-faults", drive)});
    for (unsigned p = 0; p < drive.paths; ++p) {
        Json clear = DriveStep("clear-faults", drive);
        clear["path"] = p;
        drive.groups.push_back({clear});
    }
    Group readBack;
    if (drive.locked) {
        readBack.push_back(Step("unlock", drive));
        drive.locked = false;
    }
    MoveTo(drive, 0, &readBack);
    while (drive.tape.pos < drive.tape.recs.size()) {
        if (drive.tape.recs[drive.tape.pos].filemark) {
            Json space = Step("space", drive);
            space["kind"] = "filemarks";
            space["count"] = 1;
            readBack.push_back(space);
            ++drive.tape.pos;
            continue;
        }
        ReadRun(d, drive, true, &readBack);
    }
    Json eod = Step("space", drive);
    eod["kind"] = "eod";
    readBack.push_back(eod);
    if (reserved) {
        readBack.push_back(Step("release", drive));
    }
    readBack.push_back({{"op", "close"}, {"handle", drive.handle}});
    drive.groups.push_back(readBack);
}

WriteOutcome PlanWrite(const Drive& drive, std::uint32_t size, std::uint64_t requests, std::uint64_t bytes)
{
    const std::uint64_t perRequest = size != 0 ? bytes / size : 1;
    if (drive.capacity == 0) {
        return {requests * perRequest, false};
    }
    // Writing drops everything after the position: the cartridge holds what lies before it.
    std::uint64_t held = drive.tape.bytesBefore(drive.tape.pos);
    WriteOutcome outcome;
    for (std::uint64_t r = 0; r < requests && !outcome.endOfMedium; ++r) {
        const std::uint64_t room = held < drive.capacity ? drive.capacity - held : 0;
        // A block that does not fit is not written (volume overflow), nor is any after it.
        const std::uint64_t fit = size != 0 ? std::min(perRequest, room / size) : (bytes <= room ? 1 : 0);
        outcome.records += fit;
        held += fit * (size != 0 ? size : bytes);
        outcome.endOfMedium = fit < perRequest || held >= drive.warnAt;
    }
    return outcome;
}

}  // namespace soak

nlohmann::json DrawSan(std::mt19937_64& random)
{
    nlohmann::json drives = nlohmann::json::array();
    const int driveCount = 1 + static_cast<int>(random() % 2);
    for (int d = 0; d < driveCount; ++d) {
        nlohmann::json paths = nlohmann::json::array();
        const int pathCount = 1 + static_cast<int>(random() % 4);
        for (int p = 0; p < pathCount; ++p) {
            paths.push_back({{"port", static_cast<unsigned>(p)}, {"target", static_cast<unsigned>(d + 1)}});
        }
        char wwnn[17];
        std::snprintf(wwnn, sizeof wwnn, "5abcdef0000%05d", d + 1);
        nlohmann::json drive = {{"serial", "VRKSOAK" + std::to_string(d + 1)},
                                {"wwnn", wwnn},
                                {"buffered", random() % 2 == 0},
                                {"paths", paths}};
        // Now and then a small cartridge that fills up, a drive that starts in fixed-block mode,
        // and one without exclusive access, which the application opens a second handle on.
        if (random() % 6 == 0) {
            const std::uint64_t capacity = (2 + random() % 15) << 16;
            drive["capacity"] = capacity;
            drive["earlyWarning"] = capacity / (2 + random() % 7);
        }
        if (random() % 6 == 0) {
            static constexpr std::array<std::uint32_t, 3> sizes = {512, 1024, 4096};
            drive["blockSize"] = sizes[random() % sizes.size()];
        }
        if (random() % 5 == 0) {
            drive["dpfFlags"] = std::uint32_t{0};
        }
        // Drives differ in what a new login and a reset tell and do.
        if (random() % 4 == 0) {
            static constexpr std::array<const char*, 3> logins = {"29/00", "29/03", "none"};
            drive["loginSense"] = logins[random() % logins.size()];
        }
        if (random() % 5 == 0) {
            drive["reset"] = {{"rewind", random() % 3 != 0},
                              {"keepBuffer", random() % 2 == 0},
                              {"sense", random() % 2 == 0 ? "29/00" : "29/03"}};
        }
        // Most drives share their mode parameters among every login (a failover's settings restore
        // then gives the other paths 06/2A/01); a quarter keep them per login. Drawn from a side
        // sequence that leaves the main one untouched, so that every seed still draws the scenario
        // it drew before (the soak notes name failing seeds).
        std::mt19937_64 peek = random;
        std::mt19937_64 side(peek() ^ 0x9E3779B97F4A7C15ull);
        if (side() % 4 == 0) {
            drive["modePages"] = "perLogin";
        }
        drives.push_back(drive);
    }
    return drives;
}

void DrawDriveTimes(std::uint64_t seed, nlohmann::json& drives)
{
    std::mt19937_64 random(seed ^ 0x5ABCDEF0010AD000ull);
    for (auto& drive : drives) {
        // How long a cartridge takes to load and unload (scaled down from a real drive's quarter of
        // a minute), and whether the buffer goes on reaching the tape after a link drops.
        if (random() % 4 == 0) {
            drive["motion"] = {{"loadUs", 2000 + random() % 30000}, {"unloadUs", 1000 + random() % 20000}};
        }
        if (drive.at("buffered").get<bool>() && random() % 4 == 0) {
            drive["drain"] = random() % 2 == 0 ? nlohmann::json("at-once") : nlohmann::json(200 + random() % 5000);
        }
    }
}

DrawnScenario DrawSteps(std::mt19937_64& random, const nlohmann::json& san, const std::vector<DriveDevice>& devices,
                        ChangerLane* lane)
{
    using namespace soak;
    DrawnScenario out;
    Drawer d(random, out);
    std::vector<Drive> drives;
    for (std::size_t i = 0; i < san.size(); ++i) {
        Drive drive;
        drive.serial = san[i].at("serial").get<std::string>();
        for (const auto& device : devices) {
            drive.device = device.serial == drive.serial ? device.device : drive.device;
        }
        if (drive.device.empty()) {
            continue;
        }
        drive.handle = "h" + std::to_string(i);
        drive.paths = static_cast<unsigned>(san[i].at("paths").size());
        drive.buffered = san[i].value("buffered", false);
        drive.blockSize = san[i].value("blockSize", std::uint32_t{0});
        drive.shared = (san[i].value("dpfFlags", std::uint32_t{1}) & 0x1) == 0;
        drive.capacity = san[i].value("capacity", std::uint64_t{0});
        drive.warnAt = drive.capacity - std::min(drive.capacity, san[i].value("earlyWarning", std::uint64_t{0}));
        if (drive.capacity != 0) {
            out.endOfMediumHandles.insert(drive.handle);
            out.endOfMediumHandles.insert(drive.handle + "b");
        }
        // Most drives keep one path no fault touches, and then every request must succeed; the
        // others (a drive of one path more often) may lose every path or meet drive faults.
        const bool heldToNoFailure = drive.paths > 1 ? !d.chance(1, 4) : d.chance(1, 2);
        drive.healthy = heldToNoFailure ? static_cast<int>(d.below(drive.paths)) : -1;
        drive.anyBlockSize = !heldToNoFailure;
        if (heldToNoFailure) {
            out.heldDrives.insert(drive.serial);
        }
        DrawWorkload(d, drive);
        drives.push_back(std::move(drive));
    }
    // The drives' groups interleaved; now and then one request of each at the same time.
    Json steps = Json::array();
    std::vector<std::size_t> next(drives.size(), 0);
    auto left = [&](std::size_t i) { return next[i] < drives[i].groups.size(); };
    while (std::any_of(drives.begin(), drives.end(), [&](const Drive& each) {
        return left(static_cast<std::size_t>(&each - drives.data()));
    })) {
        if (lane != nullptr) {
            lane->between(steps);
        }
        if (drives.size() == 2 && left(0) && left(1) && IsSingleDataStep(drives[0].groups[next[0]]) &&
            IsSingleDataStep(drives[1].groups[next[1]]) && d.chance(1, 4)) {
            steps.push_back({{"op", "parallel"},
                             {"steps", {drives[0].groups[next[0]++][0], drives[1].groups[next[1]++][0]}}});
            continue;
        }
        std::size_t i = d.below(drives.size());
        if (!left(i)) {
            i = 1 - i;
        }
        const std::size_t group = next[i]++;
        if (lane != nullptr && group == 0) {
            lane->beforeOpen(drives[i].serial, steps);
        }
        for (const auto& step : drives[i].groups[group]) {
            steps.push_back(step);
        }
        if (lane != nullptr && group == 0) {
            lane->afterOpen(drives[i].serial, drives[i].handle, steps);
        }
    }
    if (lane != nullptr) {
        lane->finish(steps);
    }
    steps.push_back({{"op", "verify"}});
    out.document["drives"] = san;
    out.document["steps"] = steps;
    return out;
}

}  // namespace vorkasim
