// A tape cartridge and its content: the ground truth of what is written on it,
// record by record, whatever the drivers above believe.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim::hw {

enum class RecordKind : uint8_t { Data, Filemark };

struct Record {
  RecordKind kind = RecordKind::Data;
  std::vector<uint8_t> data;  // the logical block (without protection information)
  uint32_t crc = 0;           // CRC32C of data, kept as the drive's protection information
  bool writtenWithProtection = false;  // the block arrived with logical block protection

  bool isFilemark() const noexcept { return kind == RecordKind::Filemark; }
  bool operator==(const Record&) const = default;
};

struct MediumConfig {
  std::string label = "VORKA0L5";
  uint64_t capacityBytes = 1ull << 30;     // data bytes that fit (filemarks take none)
  uint64_t earlyWarningBytes = 1ull << 20; // size of the early-warning zone before the end
  bool writeProtected = false;
};

// Not thread-safe by itself: a medium inside a drive is only touched under the
// drive's lock; a medium outside any drive has one owner.
class Medium {
 public:
  explicit Medium(MediumConfig config = {});

  const MediumConfig& config() const noexcept { return config_; }
  const std::string& label() const noexcept { return config_.label; }
  bool writeProtected() const noexcept { return config_.writeProtected; }
  void setWriteProtected(bool on) noexcept { config_.writeProtected = on; }

  const std::vector<Record>& records() const noexcept { return records_; }
  // Logical object number of end-of-data (= number of records).
  uint64_t endOfData() const noexcept { return records_.size(); }
  // Data bytes in the records before `object` (object <= endOfData()).
  uint64_t bytesBefore(uint64_t object) const { return bytesPrefix_.at(object); }
  // Filemarks before `object`: the logical file number at that position.
  uint64_t filemarksBefore(uint64_t object) const { return filemarksPrefix_.at(object); }
  // Position just after the n-th filemark (n >= 1), or BOP for n == 0;
  // endOfData() + 1 when there are fewer than n filemarks.
  uint64_t positionOfFile(uint64_t n) const;
  // Early warning starts when this many data bytes are on the medium.
  uint64_t earlyWarningAt() const noexcept;

  // Everything at and after `object` is lost (a write in the middle, an erase).
  void truncate(uint64_t object);
  void appendData(std::span<const uint8_t> bytes, bool withProtection);
  void appendFilemark();
  // A record the drive already holds, moved onto the medium as it is: a buffered block was
  // copied and checksummed once when the drive took it in, and the medium keeps that copy.
  void append(Record record);

  // One line per record: "0: data 512 bytes crc=1a2b3c4d", "1: filemark".
  std::string dump() const;

 private:
  MediumConfig config_;
  std::vector<Record> records_;
  std::vector<uint64_t> bytesPrefix_{0};
  std::vector<uint64_t> filemarksPrefix_{0};
};

uint32_t crc32c(std::span<const uint8_t> bytes) noexcept;

}  // namespace sim::hw
