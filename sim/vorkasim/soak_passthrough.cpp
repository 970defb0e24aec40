// The application's own SCSI commands, sent through pass-through beside the tape API, as backup
// programs do: positioning (SPACE, LOCATE), READ POSITION, WRITE FILEMARKS (a count of 0 flushes
// the drive's buffer), MODE SELECT (the block size, compression), and stamped READ and WRITE that
// the check judges like the tape API's. Spacing and locating may stop early on purpose (at a
// filemark, the start of the tape or the end of the data), where the drive answers CHECK
// CONDITION: the drawer moves its picture of the tape as the drive does.
#include <array>
#include <cstdio>

#include "soak_tape.h"

namespace vorkasim::soak {
namespace {

std::string Hex(std::initializer_list<std::uint32_t> bytes)
{
    std::string text;
    for (const std::uint32_t byte : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", byte & 0xFF);
        text += two;
    }
    return text;
}

// A CDB's 24-bit field, two's complement for negative counts.
std::array<std::uint32_t, 3> Be24(std::int64_t value)
{
    const auto bits = static_cast<std::uint32_t>(value) & 0xFFFFFF;
    return {bits >> 16, bits >> 8, bits};
}

// LOCATE(10) to a logical object.
std::string LocateCdb(std::uint64_t block)
{
    const auto b = static_cast<std::uint32_t>(block);
    return Hex({0x2B, 0, 0, b >> 24, b >> 16, b >> 8, b, 0, 0, 0});
}

Json PassThrough(const Drive& drive, const std::string& cdb)
{
    Json step = Step("passthrough", drive);
    step["cdb"] = cdb;
    return step;
}

// Records before the next filemark or the end of the data, and back to the previous filemark or
// the start of the tape.
std::uint64_t Ahead(const Tape& tape)
{
    std::uint64_t n = 0;
    while (tape.pos + n < tape.recs.size() && !tape.recs[tape.pos + n].filemark) {
        ++n;
    }
    return n;
}

std::uint64_t Behind(const Tape& tape)
{
    std::uint64_t n = 0;
    while (n < tape.pos && !tape.recs[tape.pos - n - 1].filemark) {
        ++n;
    }
    return n;
}

// SPACE(6) over blocks or filemarks; now and then further than the file goes, so that the drive
// stops early with CHECK CONDITION.
bool DrawPtSpace(Drawer& d, Drive& drive)
{
    Tape& tape = drive.tape;
    const bool blocks = d.chance(1, 2);
    const bool forwards = d.chance(1, 2);
    const bool past = d.chance(1, 4);
    std::int64_t count = 0;
    if (blocks) {
        const std::uint64_t room = forwards ? Ahead(tape) : Behind(tape);
        if (room == 0 && !past) {
            return false;
        }
        count = static_cast<std::int64_t>(past ? room + 1 + d.below(3) : 1 + d.below(room));
        if (!past) {
            tape.pos = forwards ? tape.pos + count : tape.pos - count;
        } else if (forwards) {
            // Past a filemark (the head stops after it) or to the end of the data.
            tape.pos += room + (tape.pos + room < tape.recs.size() ? 1 : 0);
        } else {
            // Onto the filemark before the file (the head stops in front of it) or to the start.
            tape.pos = tape.pos > room ? tape.pos - room - 1 : 0;
        }
    } else {
        std::vector<std::uint64_t> ahead, back;
        for (std::uint64_t i = 0; i < tape.recs.size(); ++i) {
            if (tape.recs[i].filemark) {
                (i >= tape.pos ? ahead : back).push_back(i);
            }
        }
        const std::vector<std::uint64_t>& marks = forwards ? ahead : back;
        if (marks.empty() && !past) {
            return false;
        }
        count = static_cast<std::int64_t>(past ? marks.size() + 1 : 1 + d.below(marks.size()));
        if (past) {
            tape.pos = forwards ? tape.recs.size() : 0;
        } else {
            tape.pos = forwards ? marks[count - 1] + 1 : marks[marks.size() - count];
        }
    }
    const auto n = Be24(forwards ? count : -count);
    drive.groups.push_back({PassThrough(drive, Hex({0x11, blocks ? 0u : 1u, n[0], n[1], n[2], 0}))});
    return true;
}

// LOCATE(10) to a block of the tape, or now and then past the end of the data (blank check: the
// head stops there).
bool DrawPtLocate(Drawer& d, Drive& drive)
{
    Tape& tape = drive.tape;
    const bool past = d.chance(1, 5);
    const std::uint64_t block = past ? tape.recs.size() + 1 + d.below(3) : d.below(tape.recs.size() + 1);
    tape.pos = std::min<std::uint64_t>(block, tape.recs.size());
    drive.groups.push_back({PassThrough(drive, LocateCdb(block))});
    return true;
}

bool DrawPtReadPosition(Drawer&, Drive& drive)
{
    Json step = PassThrough(drive, Hex({0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    step["dataIn"] = 20;
    drive.groups.push_back({step});
    return true;
}

// WRITE FILEMARKS(6), with IMMED now and then; a count of 0 writes the drive's buffer to the tape
// (`flushOnly`: nothing else, as marks a path broke off midway are not written again).
bool DrawPtFilemarks(Drawer& d, Drive& drive, bool flushOnly)
{
    const std::uint32_t count = flushOnly || d.chance(1, 3) ? 0 : d.chance(1, 4) ? 2 : 1;
    // IMMED only where the drive buffers: in unbuffered mode it refuses the command.
    const std::uint32_t immediate = d.chance(1, 4) && drive.buffered ? 1 : 0;
    drive.groups.push_back({PassThrough(drive, Hex({0x10, immediate, 0, 0, count, 0}))});
    drive.tape.write(Rec{true, false, 0}, count);
    return true;
}

// MODE SELECT(6) of a block descriptor (the block size the drive uses from now on) or of the
// data compression page. The header keeps a buffered drive in buffered mode.
bool DrawPtModeSelect(Drawer& d, Drive& drive)
{
    const std::uint32_t buffered = drive.buffered ? 0x10 : 0x00;
    Json step;
    if (d.chance(1, 3)) {
        const bool on = d.chance(1, 2);
        step = PassThrough(drive, Hex({0x15, 0x10, 0, 0, 20, 0}));
        step["dataOut"] = Hex({0, 0, buffered, 0, 0x0F, 0x0E, on ? 0xC0u : 0x40u, 0x80, 0, 0, 0, 1, 0, 0, 0, 1}) +
                          Hex({0, 0, 0, 0, 0, 0, 0, 0});
    } else {
        static constexpr std::array<std::uint32_t, 4> sizes = {0, 0, 512, 4096};
        const std::uint32_t size = sizes[d.below(sizes.size())];
        step = PassThrough(drive, Hex({0x15, 0x10, 0, 0, 12, 0}));
        step["dataOut"] =
            Hex({0, 0, buffered, 8, 0, 0, 0, 0, 0, size >> 16, size >> 8, size});
        drive.blockSize = size;
    }
    drive.groups.push_back({step});
    return true;
}

// A stamped WRITE(6) of one variable record or of whole blocks of the handle's size.
bool DrawPtWrite(Drawer& d, Drive& drive)
{
    const std::uint32_t size = drive.blockSize;
    const std::uint64_t count = size == 0 ? 16 + d.below(65520) : 1 + d.below(16);
    const std::uint64_t bytes = size == 0 ? count : count * size;
    const auto n = Be24(static_cast<std::int64_t>(count));
    Json step = PassThrough(drive, Hex({0x0A, size != 0 ? 1u : 0u, n[0], n[1], n[2], 0}));
    step["stamp"] = true;
    drive.groups.push_back({step});
    drive.tape.write(Rec{false, size != 0, size != 0 ? size : static_cast<std::uint32_t>(bytes)},
                     PlanWrite(drive, size, 1, bytes).records);
    return true;
}

// A stamped READ(6) from a data record: one variable record (asked for with its length, more or
// less: the drive reports the incorrect length), or fixed blocks, now and then up to and over the
// filemark that ends the run.
bool DrawPtRead(Drawer& d, Drive& drive)
{
    Tape& tape = drive.tape;
    Group group;
    if (tape.pos >= tape.recs.size() || tape.recs[tape.pos].filemark) {
        const std::vector<std::uint64_t> starts = tape.dataStarts();
        if (starts.empty()) {
            return false;
        }
        const std::uint64_t at = starts[d.below(starts.size())];
        group.push_back(PassThrough(drive, LocateCdb(at)));
        tape.pos = at;
    }
    const Rec& first = tape.recs[tape.pos];
    SetBlockSize(drive, first.fixed ? first.size : 0, &group);
    Json step;
    if (!first.fixed) {
        const std::uint64_t length = d.chance(1, 2)   ? first.size
                                     : d.chance(1, 2) ? first.size + 1 + d.below(256)
                                                      : 12 + d.below(first.size - 11);
        const auto n = Be24(static_cast<std::int64_t>(length));
        step = PassThrough(drive, Hex({0x08, 0, n[0], n[1], n[2], 0}));
        step["dataIn"] = length;
        tape.pos += 1;
    } else {
        const std::uint64_t run = tape.runFrom(tape.pos);
        const bool markEnds = tape.pos + run < tape.recs.size() && tape.recs[tape.pos + run].filemark;
        const std::uint64_t most = std::min<std::uint64_t>(run, (1u << 20) / first.size);
        std::uint64_t count = 1 + d.below(std::min<std::uint64_t>(most, 16));
        if (markEnds && (run + 1) * first.size <= (1u << 20) && d.chance(1, 4)) {
            count = run + 1;  // the drive stops after the filemark
            tape.pos += 1;
        }
        tape.pos += std::min(count, run);
        const auto n = Be24(static_cast<std::int64_t>(count));
        step = PassThrough(drive, Hex({0x08, 1, n[0], n[1], n[2], 0}));
        step["dataIn"] = count * first.size;
    }
    step["stamp"] = true;
    group.push_back(step);
    drive.groups.push_back(group);
    return true;
}

}  // namespace

bool DrawPassThrough(Drawer& d, Drive& drive)
{
    // Stamped data commands only where every request succeeds, as the drawer's picture of the
    // block size and of the tape must hold for them, and with no fault armed on a path: the bus
    // does not finish the application's own READ, WRITE or WRITE FILEMARKS that a path broke off
    // midway (it does not shorten the application's CDB); the application is told, by a failure or
    // by the drive's own answer with its residue.
    bool armed = false;
    for (const auto& restore : drive.restores) {
        armed = armed || restore.step.at("op") == "clear-faults";
    }
    const bool exact = !drive.anyBlockSize && !armed;
    switch (d.below(exact ? 7 : 5)) {
        case 0: return DrawPtSpace(d, drive);
        case 1: return DrawPtLocate(d, drive);
        case 2: return DrawPtReadPosition(d, drive);
        case 3: return DrawPtFilemarks(d, drive, armed && !drive.anyBlockSize);
        case 4: return DrawPtModeSelect(d, drive);
        case 5: return DrawPtWrite(d, drive);
        default: return DrawPtRead(d, drive);
    }
}

}  // namespace vorkasim::soak
