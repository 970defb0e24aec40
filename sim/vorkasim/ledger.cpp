#include "ledger.h"

#include <algorithm>
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

// The pattern repeats every 256 bytes: one period of it, so that a block is filled and
// checked with memcpy and memcmp a period at a time rather than byte by byte (a soak stamps
// and reads back every block of every job).
class PatternPeriod {
public:
    explicit PatternPeriod(Stamp stamp)
    {
        for (std::size_t i = 0; i < sizeof bytes_; ++i) {
            bytes_[i] = PatternByte(stamp, i);
        }
    }
    // The pattern from block offset `offset` on, to the end of its period.
    const std::uint8_t* at(std::size_t offset) const { return bytes_ + offset % sizeof bytes_; }
    // How many bytes from `offset` the period covers before `end`.
    std::size_t run(std::size_t offset, std::size_t end) const
    {
        return std::min(sizeof bytes_ - offset % sizeof bytes_, end - offset);
    }

private:
    std::uint8_t bytes_[256];
};

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
    const PatternPeriod period(stamp);
    for (std::size_t i = kStampBytes; i < block.size();) {
        const std::size_t n = period.run(i, block.size());
        std::memcpy(block.data() + i, period.at(i), n);
        i += n;
    }
}

std::optional<Stamp> ReadStamp(std::span<const std::uint8_t> block)
{
    if (block.size() < kStampBytes || std::memcmp(block.data(), kMagic, sizeof kMagic) != 0) {
        return std::nullopt;
    }
    const Stamp stamp{GetLe32(block.data() + 4), GetLe32(block.data() + 8)};
    const PatternPeriod period(stamp);
    for (std::size_t i = kStampBytes; i < block.size();) {
        const std::size_t n = period.run(i, block.size());
        if (std::memcmp(block.data() + i, period.at(i), n) != 0) {
            return std::nullopt;
        }
        i += n;
    }
    return stamp;
}

nlohmann::json VerifyCounts::toJson() const
{
    return {{"lost", lost},         {"duplicated", duplicated}, {"misplaced", misplaced},
            {"reportedLoss", reportedLoss}, {"unexpected", unexpected}, {"blocks", blocks},
            {"filemarks", filemarks}, {"unconfirmed", unconfirmed}, {"clean", clean()}};
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

void Ledger::failed(const std::string& serial, const sim::hw::TapeDrive* drive)
{
    const std::vector<sim::hw::BufferLoss> losses =
        drive != nullptr ? drive->bufferLosses() : std::vector<sim::hw::BufferLoss>{};
    std::lock_guard lock(mutex_);
    DriveLedger& ledger = drives_[serial];
    for (const auto& loss : losses) {
        const std::set<Stamp> lost = Stamps(loss.records);
        const auto before = ledger.entries.size();
        std::erase_if(ledger.entries,
                      [&](const Entry& entry) { return !entry.filemark && lost.count(entry.stamp) != 0; });
        ledger.reportedLoss += before - ledger.entries.size();
        // Everything written from where the last overwrite began is gone, and the loss began
        // there: the drive never wrote a byte of it to the medium, which still holds what the
        // application had written there before (a filemark it wrote over, say).
        if (before != ledger.entries.size() && !ledger.overwritten.empty() &&
            loss.object == ledger.overwrittenAt && ledger.entries.size() == ledger.overwrittenAt) {
            // Whether it does depends on how far the drive got: a reset drops the buffer before any
            // of it is written, while a write that fails on the medium ends the data there. What
            // comes back may be there, once and in order, or not at all.
            for (Entry entry : ledger.overwritten) {
                entry.uncertain = true;
                ledger.entries.push_back(entry);
            }
            ledger.overwritten.clear();
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
    std::map<Stamp, std::size_t> expectedIndex;
    std::vector<std::uint64_t> expectedFile;     // filemarks before each expected entry
    std::vector<std::uint64_t> expectedFileMin;  // of them, those no failed write may have ended
    std::uint64_t files = 0;
    std::uint64_t certainFiles = 0;
    std::uint64_t uncertainFilemarks = 0;
    for (std::size_t i = 0; i < expected.entries.size(); ++i) {
        expectedFile.push_back(files);
        expectedFileMin.push_back(certainFiles);
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
        if (actualFile[i] < expectedFileMin[order[i]] || actualFile[i] > expectedFile[order[i]]) {
            ++counts.misplaced;
        }
    }
    const std::uint64_t certainFilemarks = counts.filemarks - uncertainFilemarks;
    if (actualFilemarks < certainFilemarks) {
        counts.lost += certainFilemarks - actualFilemarks;
    } else if (actualFilemarks > counts.filemarks) {
        counts.duplicated += actualFilemarks - counts.filemarks;
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
