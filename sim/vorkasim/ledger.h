// What the application was told it wrote, drive by drive, and the check of a drive's
// medium against it (the ground truth of the simulated drives).
//
// Every data block vorkasim writes starts with a stamp of its origin: "VKS1", the
// number of the step that wrote it and the block's index within that step (both
// 32-bit little-endian); the rest of the block is a pattern derived from the stamp,
// so a block read back can be compared byte for byte.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim::hw {
class TapeDrive;
}

namespace vorkasim {

struct Stamp {
    std::uint32_t step = 0;
    std::uint32_t block = 0;
    auto operator<=>(const Stamp&) const = default;
    std::string text() const { return std::to_string(step) + "." + std::to_string(block); }
};

constexpr std::size_t kStampBytes = 12;

// Fills `block` (at least kStampBytes long) with the stamp and its pattern.
void StampBlock(std::span<std::uint8_t> block, Stamp stamp);
// The stamp of a block that carries one with an intact pattern; nullopt otherwise.
std::optional<Stamp> ReadStamp(std::span<const std::uint8_t> block);

struct VerifyCounts {
    std::uint64_t lost = 0;          // told written, not on the medium, and never reported
    std::uint64_t duplicated = 0;    // on the medium more than once (or filemarks beyond those written)
    std::uint64_t misplaced = 0;     // on the medium once, but out of order or in the wrong file
    std::uint64_t reportedLoss = 0;  // lost inside the drive, and the application was told
    std::uint64_t unexpected = 0;    // stamped blocks on the medium the application was never told it wrote
    std::uint64_t unconfirmed = 0;   // blocks of writes the application was told failed, on the medium once
    std::uint64_t blocks = 0;        // blocks the application was told it wrote (as they stand now)
    std::uint64_t filemarks = 0;
    std::uint64_t wrongLength = 0;   // on the medium once, as a record of another length than written
    std::uint64_t misread = 0;       // blocks a read returned that are not the drive's records there
    std::uint64_t shortWrites = 0;   // writes told they succeeded that wrote fewer bytes than asked
    bool clean() const
    {
        return lost == 0 && duplicated == 0 && misplaced == 0 && unexpected == 0 && wrongLength == 0 &&
               misread == 0 && shortWrites == 0;
    }
    void add(const VerifyCounts& other);
    nlohmann::json toJson() const;
};

class Ledger {
public:
    // The application's view of the tape position of a drive; nullopt when it does not know it.
    std::optional<std::uint64_t> position(const std::string& serial) const;
    void setPosition(const std::string& serial, std::optional<std::uint64_t> position);
    // Blocks (stamps with their lengths) or filemarks the application was told it wrote at
    // the drive's position: whatever the ledger held from there on is overwritten.
    void wrote(const std::string& serial, const std::vector<std::pair<Stamp, std::uint32_t>>& blocks);
    void wroteFilemarks(const std::string& serial, std::uint32_t count);
    // A request on the drive ended; `lossesBefore` is the drive's bufferLossCount() when it began.
    // Blocks the drive acknowledged and then lost (a reset with them in its write buffer, a
    // deferred write error) are the application's to hear of on the request during which they
    // were lost or, when that one succeeded, on the next (a deferred error is told on the command
    // after it): when that request failed, they are reported losses, no longer expected on the
    // medium; when it succeeded, nobody told the application, and missing they count as lost
    // however later requests end.
    void failed(const std::string& serial, const sim::hw::TapeDrive* drive, std::size_t lossesBefore);
    void succeeded(const std::string& serial, const sim::hw::TapeDrive* drive, std::size_t lossesBefore);
    // A read returned `count` blocks that are not what the drive holds there.
    void misread(const std::string& serial, std::uint64_t count);
    // A write was told it succeeded with fewer bytes written than it asked.
    void shortWrite(const std::string& serial);
    // A write request failed at the ledger's position, after the blocks the application was told
    // of: the rest of its blocks may or may not have reached the tape, and a write ends the data
    // where it lands. What the ledger held from there on may be gone, and those of `unconfirmed`
    // that are on the medium were sent by the application; neither is a fault. Each may still be
    // there only once and in order.
    void failedWrite(const std::string& serial, const std::vector<Stamp>& unconfirmed);
    // A write of `count` filemarks failed at the ledger's position: some of them may be on the
    // tape (the drive wrote them before it failed), and they may have ended the data there.
    void failedFilemarks(const std::string& serial, std::uint32_t count);
    bool knows(const std::string& serial) const;

    VerifyCounts verify(const std::string& serial, const sim::hw::TapeDrive& drive) const;

private:
    struct Entry {
        bool filemark = false;
        bool unknown = false;  // an object the application knows is there, not what it is
        Stamp stamp;
        std::uint32_t length = 0;
        bool uncertain = false;  // a failed write at or before it may have ended the data
    };
    struct DriveLedger {
        std::vector<Entry> entries;
        std::optional<std::uint64_t> position = 0;
        std::uint64_t reportedLoss = 0;
        std::uint64_t misread = 0;
        std::uint64_t shortWrites = 0;
        std::size_t lossesJudged = 0;  // of the drive's buffer losses (oldest first), those judged
        std::set<Stamp> unconfirmed;  // blocks of failed write requests the application was not told of
        // Filemarks of failed write-filemarks requests that may stand before the entry of the key.
        std::map<std::uint64_t, std::uint64_t> unconfirmedMarks;
        // What the last write into the middle of the recorded data replaced, and where: when the
        // drive loses everything written from there on before any of it reached the medium (and
        // the application is told), the medium still holds what was there.
        std::uint64_t overwrittenAt = 0;
        std::vector<Entry> overwritten;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> overwrittenMarks;  // of unconfirmedMarks
    };
    void truncateAtPosition(DriveLedger& drive);
    void judgeLosses(const std::string& serial, const sim::hw::TapeDrive* drive, std::size_t lossesBefore,
                     bool reported);

    mutable std::mutex mutex_;
    std::map<std::string, DriveLedger> drives_;
};

// The drive's records as the final report lists them: [{"type", "len", "stamp"}].
nlohmann::json MediumToJson(const sim::hw::TapeDrive& drive);

}  // namespace vorkasim
