#include "ledger.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <set>

#include <sim/hw/tape_drive.h>

namespace vorkasim {
namespace {

constexpr std::uint8_t kMagic[4] = {'V', 'K', 'S', '1'};

std::uint8_t PatternByte(Stamp stamp, std::size_t offset)
{
    return static_cast<std::uint8_t>(stamp.step * 131u + stamp.block * 7u + offset);
}

// The pattern is a byte counter: byte i + 1 is byte i plus one (mod 256). Blocks are filled and
// checked in runs of up to 256 bytes copied from, or compared with, this table of two counter
// cycles, so a run may start at any counter value. Byte by byte, the scenarios' stamping and
// verification took most of their time in the unoptimised sanitizer builds.
constexpr std::array<std::uint8_t, 512> kCounter = [] {
    std::array<std::uint8_t, 512> counter{};
    for (std::size_t i = 0; i < counter.size(); ++i) {
        counter[i] = static_cast<std::uint8_t>(i);
    }
    return counter;
}();

void PutLe32(std::uint8_t* out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t GetLe32(const std::uint8_t* in)
{
    return std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 |
           std::uint32_t{in[3]} << 24;
}

// Length of the longest strictly increasing subsequence: the blocks that are in order.
std::size_t LongestIncreasing(const std::vector<std::size_t>& values)
{
    std::vector<std::size_t> tails;
    for (std::size_t value : values) {
        auto it = std::lower_bound(tails.begin(), tails.end(), value);
        if (it == tails.end()) {
            tails.push_back(value);
        } else {
            *it = value;
        }
    }
    return tails.size();
}

}  // namespace

void StampBlock(std::span<std::uint8_t> block, Stamp stamp)
{
    std::memcpy(block.data(), kMagic, sizeof kMagic);
    PutLe32(block.data() + 4, stamp.step);
    PutLe32(block.data() + 8, stamp.block);
    for (std::size_t i = kStampBytes; i < block.size();) {
        const std::size_t run = std::min(kCounter.size() / 2, block.size() - i);
        std::memcpy(block.data() + i, kCounter.data() + PatternByte(stamp, i), run);
        i += run;
    }
}

std::optional<Stamp> ReadStamp(std::span<const std::uint8_t> block)
{
    if (block.size() < kStampBytes || std::memcmp(block.data(), kMagic, sizeof kMagic) != 0) {
        return std::nullopt;
    }
    const Stamp stamp{GetLe32(block.data() + 4), GetLe32(block.data() + 8)};
    for (std::size_t i = kStampBytes; i < block.size();) {
        const std::size_t run = std::min(kCounter.size() / 2, block.size() - i);
        if (std::memcmp(block.data() + i, kCounter.data() + PatternByte(stamp, i), run) != 0) {
            return std::nullopt;
        }
        i += run;
    }
    return stamp;
}

void VerifyCounts::add(const VerifyCounts& other)
{
    lost += other.lost;
    duplicated += other.duplicated;
    misplaced += other.misplaced;
    reportedLoss += other.reportedLoss;
    unexpected += other.unexpected;
    unconfirmed += other.unconfirmed;
    blocks += other.blocks;
    filemarks += other.filemarks;
    wrongLength += other.wrongLength;
    misread += other.misread;
    shortWrites += other.shortWrites;
}

nlohmann::json VerifyCounts::toJson() const
{
    return {{"lost", lost},         {"duplicated", duplicated}, {"misplaced", misplaced},
            {"reportedLoss", reportedLoss}, {"unexpected", unexpected}, {"blocks", blocks},
            {"filemarks", filemarks}, {"unconfirmed", unconfirmed}, {"wrongLength", wrongLength},
            {"misread", misread}, {"shortWrites", shortWrites}, {"clean", clean()}};
}

std::optional<std::uint64_t> Ledger::position(const std::string& serial) const
{
    std::lock_guard lock(mutex_);
    auto it = drives_.find(serial);
    return it == drives_.end() ? std::optional<std::uint64_t>(0) : it->second.position;
}

void Ledger::setPosition(const std::string& serial, std::optional<std::uint64_t> position)
{
    std::lock_guard lock(mutex_);
    drives_[serial].position = position;
}

bool Ledger::knows(const std::string& serial) const
{
    std::lock_guard lock(mutex_);
    return drives_.count(serial) != 0;
}

void Ledger::truncateAtPosition(DriveLedger& drive)
{
    // Writing in the middle of the tape ends the data there, as the drive does.
    const std::uint64_t at = drive.position.value_or(drive.entries.size());
    // What is written from here on replaces the marks a failed request may have left here.
    const auto marksFrom = drive.unconfirmedMarks.lower_bound(at);
    if (at < drive.entries.size()) {
        drive.overwrittenMarks.assign(marksFrom, drive.unconfirmedMarks.end());
    }
    drive.unconfirmedMarks.erase(marksFrom, drive.unconfirmedMarks.end());
    if (at < drive.entries.size()) {
        drive.overwrittenAt = at;
        drive.overwritten.assign(drive.entries.begin() + static_cast<std::ptrdiff_t>(at), drive.entries.end());
        drive.entries.resize(at);
    }
    // A position the application learned beyond what it knows it wrote (after a request that
    // failed with part of it on the tape): what it writes now goes there, after objects whose
    // content it does not know.
    while (drive.entries.size() < at) {
        drive.entries.push_back(Entry{false, true, {}, 0});
    }
    drive.position = drive.entries.size();
}

void Ledger::wrote(const std::string& serial, const std::vector<std::pair<Stamp, std::uint32_t>>& blocks)
{
    std::lock_guard lock(mutex_);
    DriveLedger& drive = drives_[serial];
    if (blocks.empty()) {
        return;
    }
    truncateAtPosition(drive);
    for (const auto& [stamp, length] : blocks) {
        drive.entries.push_back(Entry{false, false, stamp, length});
    }
    drive.position = drive.entries.size();
}

void Ledger::wroteFilemarks(const std::string& serial, std::uint32_t count)
{
    std::lock_guard lock(mutex_);
    DriveLedger& drive = drives_[serial];
    if (count == 0) {
        return;
    }
    truncateAtPosition(drive);
    for (std::uint32_t i = 0; i < count; ++i) {
        drive.entries.push_back(Entry{true, false, {}, 0});
    }
    drive.position = drive.entries.size();
}

namespace {

std::set<Stamp> Stamps(const std::vector<sim::hw::Record>& records)
{
    std::set<Stamp> stamps;
    for (const auto& record : records) {
        if (auto stamp = ReadStamp(record.data)) {
            stamps.insert(*stamp);
        }
    }
    return stamps;
}

}  // namespace

void Ledger::failed(const std::string& serial, const sim::hw::TapeDrive* drive, std::size_t lossesBefore)
{
    judgeLosses(serial, drive, lossesBefore, true);
}

void Ledger::succeeded(const std::string& serial, const sim::hw::TapeDrive* drive, std::size_t lossesBefore)
{
    judgeLosses(serial, drive, lossesBefore, false);
}

void Ledger::misread(const std::string& serial, std::uint64_t count)
{
    std::lock_guard lock(mutex_);
    drives_[serial].misread += count;
}

void Ledger::shortWrite(const std::string& serial)
{
    std::lock_guard lock(mutex_);
    ++drives_[serial].shortWrites;
}

void Ledger::judgeLosses(const std::string& serial, const sim::hw::TapeDrive* drive, std::size_t lossesBefore,
                         bool reported)
{
    if (drive == nullptr) {
        return;
    }
    // Read before the ledger's lock is taken: the drive's own lock is never held inside it.
    const std::vector<sim::hw::BufferLoss> losses = drive->bufferLosses();
    // A failed request tells of what was lost before it ended; one that succeeded only shows that
    // nobody told of what was lost before it began. A loss while it ran is for the next request.
    const std::size_t limit = reported ? losses.size() : std::min(lossesBefore, losses.size());
    std::lock_guard lock(mutex_);
    DriveLedger& ledger = drives_[serial];
    for (; ledger.lossesJudged < limit; ++ledger.lossesJudged) {
        const auto& loss = losses[ledger.lossesJudged];
        if (!reported) {
            continue;  // the blocks stay expected on the medium: missing, they count as lost
        }
        const std::set<Stamp> lost = Stamps(loss.records);
        const auto before = ledger.entries.size();
        std::erase_if(ledger.entries,
                      [&](const Entry& entry) { return !entry.filemark && lost.count(entry.stamp) != 0; });
        ledger.reportedLoss += before - ledger.entries.size();
        // The filemarks the drive lost with them (written with IMMED, they stayed in its buffer):
        // the marks the ledger holds from where the loss began, as many as were lost.
        std::uint64_t marks = static_cast<std::uint64_t>(
            std::count_if(loss.records.begin(), loss.records.end(), [](const auto& r) { return r.isFilemark(); }));
        for (std::size_t i = std::min<std::size_t>(loss.object, ledger.entries.size());
             marks != 0 && i < ledger.entries.size();) {
            if (ledger.entries[i].filemark) {
                ledger.entries.erase(ledger.entries.begin() + static_cast<std::ptrdiff_t>(i));
                --marks;
            } else {
                ++i;
            }
        }
        // Everything written from where the last overwrite began is gone, and the loss began
        // there or before it (blocks of a failed write waited in the buffer ahead of it): the drive
        // never wrote a byte of it to the medium, which still holds what the application had
        // written there before (a filemark it wrote over, say).
        if (before != ledger.entries.size() && !ledger.overwritten.empty() &&
            loss.object <= ledger.overwrittenAt && ledger.entries.size() == ledger.overwrittenAt) {
            // Whether it does depends on how far the drive got: a reset drops the buffer before any
            // of it is written, while a write that fails on the medium ends the data there. What
            // comes back may be there, once and in order, or not at all.
            for (Entry entry : ledger.overwritten) {
                entry.uncertain = true;
                ledger.entries.push_back(entry);
            }
            ledger.overwritten.clear();
            // And the marks failed requests may have left there.
            for (const auto& [at, count] : ledger.overwrittenMarks) {
                ledger.unconfirmedMarks[at] += count;
            }
            ledger.overwrittenMarks.clear();
        }
    }
}

void Ledger::failedWrite(const std::string& serial, const std::vector<Stamp>& unconfirmed)
{
    std::lock_guard lock(mutex_);
    DriveLedger& drive = drives_[serial];
    drive.unconfirmed.insert(unconfirmed.begin(), unconfirmed.end());
    if (!drive.position) {
        return;
    }
    for (std::size_t i = *drive.position; i < drive.entries.size(); ++i) {
        drive.entries[i].uncertain = true;
    }
}

void Ledger::failedFilemarks(const std::string& serial, std::uint32_t count)
{
    failedWrite(serial, {});
    std::lock_guard lock(mutex_);
    DriveLedger& drive = drives_[serial];
    if (drive.position) {
        drive.unconfirmedMarks[std::min<std::uint64_t>(*drive.position, drive.entries.size())] += count;
    }
}

VerifyCounts Ledger::verify(const std::string& serial, const sim::hw::TapeDrive& drive) const
{
    DriveLedger expected;
    {
        std::lock_guard lock(mutex_);
        if (auto it = drives_.find(serial); it != drives_.end()) {
            expected = it->second;
        }
    }
    // What the drive holds: the medium with what it acknowledged and still buffers where the
    // buffer will put it when the drive next writes it.
    const std::vector<sim::hw::Record> actual = drive.logicalRecords();
    VerifyCounts counts;
    counts.reportedLoss = expected.reportedLoss;
    counts.misread = expected.misread;
    counts.shortWrites = expected.shortWrites;
    std::map<Stamp, std::size_t> expectedIndex;
    std::vector<std::uint64_t> expectedFile;     // filemarks before each expected entry
    std::vector<std::uint64_t> expectedFileMin;  // of them, those no failed write may have ended
    std::vector<std::uint64_t> expectedFileMax;  // and with the marks failed requests may have left
    std::uint64_t files = 0;
    std::uint64_t certainFiles = 0;
    std::uint64_t uncertainFilemarks = 0;
    // Filemarks of requests the application was told failed may be on the tape.
    std::uint64_t possibleMarks = 0;
    auto unconfirmedMarksAt = [&](std::uint64_t index) {
        auto it = expected.unconfirmedMarks.find(index);
        return it == expected.unconfirmedMarks.end() ? std::uint64_t{0} : it->second;
    };
    for (std::size_t i = 0; i < expected.entries.size(); ++i) {
        possibleMarks += unconfirmedMarksAt(i);
        expectedFile.push_back(files);
        expectedFileMin.push_back(certainFiles);
        expectedFileMax.push_back(files + possibleMarks);
        if (expected.entries[i].unknown) {
            continue;
        }
        if (expected.entries[i].filemark) {
            ++files;
            ++counts.filemarks;
            if (expected.entries[i].uncertain) {
                ++uncertainFilemarks;
            } else {
                ++certainFiles;
            }
        } else {
            expectedIndex[expected.entries[i].stamp] = i;
            ++counts.blocks;
        }
    }

    possibleMarks += unconfirmedMarksAt(expected.entries.size());

    std::map<Stamp, std::size_t> occurrences;
    std::vector<std::size_t> order;                // expected indices of stamped blocks, in medium order
    std::vector<std::uint64_t> actualFile;         // filemarks before each of them on the medium
    std::uint64_t actualFilemarks = 0;
    for (const auto& record : actual) {
        if (record.isFilemark()) {
            ++actualFilemarks;
            continue;
        }
        const auto stamp = ReadStamp(record.data);
        if (!stamp) {
            continue;  // written by a pass-through request or another program: not ours to judge
        }
        auto found = expectedIndex.find(*stamp);
        if (found == expectedIndex.end()) {
            if (expected.unconfirmed.count(*stamp) == 0) {
                ++counts.unexpected;
            } else if (occurrences[*stamp]++ == 0) {
                ++counts.unconfirmed;
            } else {
                ++counts.duplicated;  // a failed write is never repeated on the tape
            }
            continue;
        }
        if (occurrences[*stamp]++ == 0) {
            order.push_back(found->second);
            actualFile.push_back(actualFilemarks);
            // A stamp and an intact pattern say nothing of the length: a 1024-byte block written
            // as a 512-byte record is its first half, and the other half is gone.
            if (record.data.size() != expected.entries[found->second].length) {
                ++counts.wrongLength;
            }
        }
    }
    for (const auto& entry : expected.entries) {
        if (entry.filemark || entry.unknown) {
            continue;
        }
        const std::size_t seen = occurrences.count(entry.stamp) != 0 ? occurrences.at(entry.stamp) : 0;
        if (seen == 0) {
            // Lost without the application having been told (see failed()); after a failed write
            // before it, the application knows the data may end there.
            if (!entry.uncertain) {
                ++counts.lost;
            }
        } else if (seen > 1) {
            counts.duplicated += seen - 1;
        }
    }
    counts.misplaced = order.size() - LongestIncreasing(order);
    for (std::size_t i = 0; i < order.size(); ++i) {
        // A block in order but behind a different number of filemarks is in the wrong file
        // (filemarks a failed write may have ended may be missing before it).
        if (actualFile[i] < expectedFileMin[order[i]] || actualFile[i] > expectedFileMax[order[i]]) {
            ++counts.misplaced;
        }
    }
    const std::uint64_t certainFilemarks = counts.filemarks - uncertainFilemarks;
    if (actualFilemarks < certainFilemarks) {
        counts.lost += certainFilemarks - actualFilemarks;
    } else if (actualFilemarks > counts.filemarks + possibleMarks) {
        counts.duplicated += actualFilemarks - counts.filemarks - possibleMarks;
    }
    return counts;
}

nlohmann::json MediumToJson(const sim::hw::TapeDrive& drive)
{
    nlohmann::json records = nlohmann::json::array();
    for (const auto& record : drive.records()) {
        if (record.isFilemark()) {
            records.push_back({{"type", "filemark"}, {"len", 0}, {"stamp", nullptr}});
            continue;
        }
        const auto stamp = ReadStamp(record.data);
        records.push_back({{"type", "data"},
                           {"len", record.data.size()},
                           {"stamp", stamp ? nlohmann::json(stamp->text()) : nlohmann::json(nullptr)}});
    }
    return records;
}

}  // namespace vorkasim
