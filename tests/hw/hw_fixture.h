// A small SAN for the tests: one drive reached by two paths on two adapters,
// and a host-side helper that sends raw CDBs the way a base driver would.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <numeric>
#include <span>
#include <vector>

#include "sim/hw/san.h"

namespace hwtest {

using namespace sim::hw;

inline std::vector<uint8_t> pattern(std::size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

inline uint32_t be32(const std::vector<uint8_t>& d, std::size_t at) {
  return (uint32_t{d.at(at)} << 24) | (uint32_t{d.at(at + 1)} << 16) | (uint32_t{d.at(at + 2)} << 8) | d.at(at + 3);
}

inline uint64_t be64(const std::vector<uint8_t>& d, std::size_t at) {
  return (uint64_t{be32(d, at)} << 32) | be32(d, at + 4);
}

inline void putBe64(std::vector<uint8_t>& d, std::size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) d[at + i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}

// Sends CDBs through one path.
struct Host {
  Path* path = nullptr;

  CommandResult send(std::vector<uint8_t> cdb, uint32_t dataIn = 0, std::span<const uint8_t> out = {}) {
    return path->execute(Command{cdb, out, dataIn});
  }
  static std::vector<uint8_t> six(uint8_t op, uint8_t b1, uint32_t count24, uint8_t b5 = 0) {
    return {op, b1, static_cast<uint8_t>(count24 >> 16), static_cast<uint8_t>(count24 >> 8),
            static_cast<uint8_t>(count24), b5};
  }
  CommandResult testUnitReady() { return send({0x00, 0, 0, 0, 0, 0}); }
  CommandResult rewind() { return send({0x01, 0, 0, 0, 0, 0}); }
  CommandResult requestSense() { return send({0x03, 0, 0, 0, 18, 0}, 18); }
  CommandResult write(bool fixed, uint32_t count, std::span<const uint8_t> data) {
    return send(six(0x0A, fixed ? 1 : 0, count), 0, data);
  }
  CommandResult read(bool fixed, bool sili, uint32_t count, uint32_t buffer) {
    return send(six(0x08, static_cast<uint8_t>((fixed ? 1 : 0) | (sili ? 2 : 0)), count), buffer);
  }
  CommandResult readReverse(bool fixed, uint32_t count, uint32_t buffer) {
    return send(six(0x0F, fixed ? 1 : 0, count), buffer);
  }
  CommandResult writeFilemarks(uint32_t count) { return send(six(0x10, 0, count)); }
  // code: 0 blocks, 1 filemarks, 2 sequential filemarks, 3 end of data
  CommandResult space(uint8_t code, int32_t count) { return send(six(0x11, code, static_cast<uint32_t>(count) & 0xFFFFFF)); }
  CommandResult locate10(uint32_t block) {
    return send({0x2B, 0, 0, static_cast<uint8_t>(block >> 24), static_cast<uint8_t>(block >> 16),
                 static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block), 0, 0, 0});
  }
  CommandResult locate16(uint8_t destType, uint64_t id) {
    std::vector<uint8_t> cdb(16, 0);
    cdb[0] = 0x92;
    cdb[1] = static_cast<uint8_t>(destType << 3);
    putBe64(cdb, 4, id);
    return send(cdb);
  }
  CommandResult readPosition(uint8_t form) {
    return send({0x34, form, 0, 0, 0, 0, 0, 0, form == 8 ? uint8_t{32} : uint8_t{0}, 0}, 32);
  }
  uint64_t position() {
    const CommandResult r = readPosition(6);
    EXPECT_TRUE(r.good());
    return r.dataIn.size() >= 16 ? be64(r.dataIn, 8) : ~0ull;
  }
  // MODE SELECT(6) with only a block descriptor.
  CommandResult setBlockLength(uint32_t length) {
    const std::vector<uint8_t> list = {0, 0, 0x10, 8, 0, 0, 0, 0, 0, static_cast<uint8_t>(length >> 16),
                                       static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    return send({0x15, 0x10, 0, 0, static_cast<uint8_t>(list.size()), 0}, 0, list);
  }
  CommandResult erase() { return send({0x19, 0, 0, 0, 0, 0}); }
  CommandResult loadUnload(bool load) { return send({0x1B, 0, 0, 0, static_cast<uint8_t>(load ? 1 : 0), 0}); }
  CommandResult preventRemoval(bool prevent) { return send({0x1E, 0, 0, 0, static_cast<uint8_t>(prevent ? 1 : 0), 0}); }
  CommandResult reserve6() { return send({0x16, 0, 0, 0, 0, 0}); }
  CommandResult release6() { return send({0x17, 0, 0, 0, 0, 0}); }
  CommandResult prOut(uint8_t action, uint8_t type, uint64_t key, uint64_t serviceKey) {
    std::vector<uint8_t> list(24, 0);
    putBe64(list, 0, key);
    putBe64(list, 8, serviceKey);
    return send({0x5F, action, type, 0, 0, 0, 0, 0, 24, 0}, 0, list);
  }
  CommandResult prIn(uint8_t action) { return send({0x5E, action, 0, 0, 0, 0, 0, 0x01, 0x00, 0}, 256); }
  // Clears whatever unit attentions are pending for this initiator.
  void drainAttentions() {
    for (int i = 0; i < 8; ++i) {
      const CommandResult r = requestSense();
      ASSERT_TRUE(r.good());
      if (decodeSense(r.dataIn).key != sense_key::kUnitAttention) return;
    }
  }
};

inline testing::AssertionResult hasSense(const CommandResult& r, uint8_t key, uint8_t asc, uint8_t ascq) {
  if (!r.delivered()) return testing::AssertionFailure() << "transport failure 0x" << std::hex << r.transportStatus;
  if (r.scsiStatus != kScsiCheckCondition)
    return testing::AssertionFailure() << "status 0x" << std::hex << int(r.scsiStatus) << ", not CHECK CONDITION";
  const SenseInfo s = decodeSense(r.sense);
  if (!s.present) return testing::AssertionFailure() << "no fixed-format sense";
  if (s.key != key || s.asc != asc || s.ascq != ascq)
    return testing::AssertionFailure() << std::hex << "sense " << int(s.key) << "/" << int(s.asc) << "/"
                                       << int(s.ascq);
  return testing::AssertionSuccess();
}

class TwoPathDrive : public testing::Test {
 public:
  static DriveConfig defaultConfig() {
    DriveConfig c;
    c.identity.serial = "HU1234567890ABCDEFGHIJKLMNOPQRST";
    c.identity.wwnn = 0x5ABCDEF0001234A0ull;
    return c;
  }
  // The same drive keeping each login's mode parameters its own.
  static DriveConfig perLoginConfig() {
    DriveConfig c = defaultConfig();
    c.modePages = ModePagePolicy::PerLogin;
    return c;
  }

 protected:
  explicit TwoPathDrive(DriveConfig config = defaultConfig()) {
    san.addAdapter("hba0");
    san.addAdapter("hba1");
    drive = &san.addDrive(std::move(config));
    pathA = &san.connect(0, 0, 3, 0, *drive, 0);
    pathB = &san.connect(1, 0, 5, 0, *drive, 1);
    a.path = pathA;
    b.path = pathB;
  }
  void SetUp() override {
    a.drainAttentions();
    b.drainAttentions();
  }
  // Ground truth: sizes of the records, -1 for a filemark.
  std::vector<long> layout() const {
    std::vector<long> out;
    for (const Record& r : drive->records()) out.push_back(r.isFilemark() ? -1 : static_cast<long>(r.data.size()));
    return out;
  }

  San san;
  TapeDrive* drive = nullptr;
  Path* pathA = nullptr;
  Path* pathB = nullptr;
  Host a;
  Host b;
};

}  // namespace hwtest
