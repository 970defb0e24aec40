// Several paths driving one drive from several threads at once: every command
// runs whole, the medium stays consistent, nothing is lost or doubled.
#include <atomic>
#include <thread>

#include "hw_fixture.h"

namespace hwtest {
namespace {

class Concurrency : public testing::Test {
 protected:
  void SetUp() override {
    DriveConfig c;
    c.identity.serial = "CONCURRENT0001";
    c.powerOnAttention = false;
    drive = &san.addDrive(std::move(c));
    for (uint8_t i = 0; i < 4; ++i) {
      san.addAdapter();
      hosts.push_back(Host{&san.connect(i, 0, 2, 0, *drive, i % 2)});
    }
  }
  San san;
  TapeDrive* drive = nullptr;
  std::vector<Host> hosts;
};

// Block `seq` of writer `w`: a header naming both, then a pattern of their own.
std::vector<uint8_t> tagged(uint8_t w, uint16_t seq) {
  std::vector<uint8_t> b = pattern(64 + w * 13 + seq % 7, static_cast<uint8_t>(w * 31 + seq));
  b[0] = w;
  b[1] = static_cast<uint8_t>(seq >> 8);
  b[2] = static_cast<uint8_t>(seq);
  return b;
}

TEST_F(Concurrency, WritersOnEveryPathKeepEveryBlockWhole) {
  constexpr int kBlocks = 150;
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (uint8_t w = 0; w < 4; ++w) {
    threads.emplace_back([&, w] {
      for (uint16_t seq = 0; seq < kBlocks; ++seq) {
        const auto block = tagged(w, seq);
        ASSERT_TRUE(hosts[w].write(false, static_cast<uint32_t>(block.size()), block).good());
      }
    });
  }
  std::thread observer([&] {
    while (!done.load()) {
      const auto pos = drive->position();
      ASSERT_TRUE(pos);
      EXPECT_EQ(pos->object, pos->endOfData) << "writers only ever append";
      drive->dumpMedium();
    }
  });
  for (auto& t : threads) t.join();
  done = true;
  observer.join();

  const auto recs = drive->records();
  ASSERT_EQ(recs.size(), 4u * kBlocks);
  int next[4] = {0, 0, 0, 0};
  for (const Record& r : recs) {
    ASSERT_FALSE(r.isFilemark());
    const uint8_t w = r.data[0];
    ASSERT_LT(w, 4);
    const uint16_t seq = static_cast<uint16_t>((r.data[1] << 8) | r.data[2]);
    EXPECT_EQ(seq, next[w]++) << "each writer's blocks appear once, in order";
    EXPECT_EQ(r.data, tagged(w, seq));
    EXPECT_EQ(r.crc, crc32c(r.data));
  }
  EXPECT_EQ(hosts[0].position(), 4u * kBlocks);
}

TEST_F(Concurrency, ReadersShareOnePositionAndEachBlockIsReadOnce) {
  constexpr uint32_t kBlocks = 200;
  ASSERT_TRUE(hosts[0].setBlockLength(256).good());
  std::vector<uint8_t> data(kBlocks * 256);
  for (uint32_t i = 0; i < kBlocks; ++i) data[i * 256] = static_cast<uint8_t>(i), data[i * 256 + 1] = static_cast<uint8_t>(i >> 8);
  ASSERT_TRUE(hosts[0].write(true, kBlocks, data).good());
  ASSERT_TRUE(hosts[0].rewind().good());

  std::vector<std::vector<uint32_t>> seen(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      Host& h = hosts[t];
      h.drainAttentions();  // the block size the first path set is every path's, and each hears of it
      ASSERT_TRUE(h.setBlockLength(256).good());
      for (;;) {
        const CommandResult r = h.read(true, false, 1, 256);
        if (!r.good()) {
          EXPECT_TRUE(hasSense(r, sense_key::kBlankCheck, 0x00, 0x05));
          return;
        }
        seen[t].push_back(r.dataIn[0] | (r.dataIn[1] << 8));
      }
    });
  }
  for (auto& t : threads) t.join();
  std::vector<uint32_t> all;
  for (const auto& s : seen) {
    EXPECT_TRUE(std::is_sorted(s.begin(), s.end()));
    all.insert(all.end(), s.begin(), s.end());
  }
  std::sort(all.begin(), all.end());
  std::vector<uint32_t> expected(kBlocks);
  std::iota(expected.begin(), expected.end(), 0u);
  EXPECT_EQ(all, expected);
}

TEST_F(Concurrency, PathsFightingOverAReservationLeaveOneConsistentHolder) {
  std::vector<std::thread> threads;
  for (uint8_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      Host& h = hosts[t];
      const uint64_t mine = 0x100 + t;
      // Like any initiator, retry a command that met a unit attention (another
      // path preempted this one meanwhile).
      auto retried = [&](auto&& command) {
        CommandResult r = command();
        for (int n = 0; n < 4 && decodeSense(r.sense).key == sense_key::kUnitAttention; ++n) r = command();
        return r;
      };
      for (int i = 0; i < 50; ++i) {
        // REGISTER AND IGNORE EXISTING KEY always succeeds.
        ASSERT_TRUE(retried([&] { return h.prOut(6, 0, 0, mine); }).good());
        const uint64_t victim = 0x100 + (t + 1 + i % 3) % 4;
        // PREEMPT: conflicts when this path lost its registration in between or
        // the victim holds none.
        const CommandResult r = retried([&] { return h.prOut(4, 3, mine, victim); });
        EXPECT_TRUE(r.good() || r.scsiStatus == kScsiReservationConflict);
        retried([&] { return h.prOut(1, 3, mine, 0); });  // RESERVE, when free
      }
    });
  }
  for (auto& t : threads) t.join();
  const ReservationState s = drive->reservations();
  if (s.persistentHolder) {
    const bool holderRegistered = std::any_of(s.registrations.begin(), s.registrations.end(),
                                              [&](const auto& reg) { return reg.first == *s.persistentHolder; });
    EXPECT_TRUE(holderRegistered) << "a reservation is always held by a registered path";
  }
}

}  // namespace
}  // namespace hwtest
