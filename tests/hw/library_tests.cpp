// A tape library with two drives reached over two control paths: what the
// changer reports, how cartridges move (into a drive that then sees its medium,
// back only after the drive has ejected it), the ground truth of where every
// cartridge is, unit attentions per initiator, and faults on the control paths.
#include "hw_fixture.h"

#include "sim/hw/library.h"
#include "sim/hw/nt_status.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace hwtest {
namespace {

std::vector<uint8_t> move(uint16_t from, uint16_t to, uint16_t transport = 0) {
  return {0xA5, 0, static_cast<uint8_t>(transport >> 8), static_cast<uint8_t>(transport),
          static_cast<uint8_t>(from >> 8), static_cast<uint8_t>(from), static_cast<uint8_t>(to >> 8),
          static_cast<uint8_t>(to), 0, 0, 0, 0};
}

std::vector<uint8_t> readElementStatus(uint8_t type, uint16_t start, uint16_t count, bool volTag, uint32_t length) {
  return {0xB8, static_cast<uint8_t>((volTag ? 0x10 : 0) | type), static_cast<uint8_t>(start >> 8),
          static_cast<uint8_t>(start), static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count), 0,
          static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), 0, 0};
}

uint16_t be16(const std::vector<uint8_t>& d, std::size_t at) { return static_cast<uint16_t>((d.at(at) << 8) | d.at(at + 1)); }

// Element descriptors of a READ ELEMENT STATUS answer: address, full, volume tag.
struct Reported {
  uint16_t address;
  bool full;
  std::string volume;
  std::optional<uint16_t> source;
};
std::vector<Reported> parseElements(const std::vector<uint8_t>& d) {
  std::vector<Reported> out;
  std::size_t at = 8;
  while (at + 8 <= d.size()) {
    const bool volTag = d[at + 1] & 0x80;
    const uint16_t length = be16(d, at + 2);
    const uint32_t bytes = (uint32_t{d[at + 5]} << 16) | (uint32_t{d[at + 6]} << 8) | d[at + 7];
    std::size_t e = at + 8;
    at = e + bytes;
    for (; e + length <= at && e + length <= d.size(); e += length) {
      Reported r{be16(d, e), (d[e + 2] & 0x01) != 0, {}, std::nullopt};
      if (d[e + 9] & 0x80) r.source = be16(d, e + 10);
      if (volTag) {
        r.volume.assign(reinterpret_cast<const char*>(&d[e + 12]), 32);
        while (!r.volume.empty() && r.volume.back() == ' ') r.volume.pop_back();
      }
      out.push_back(r);
    }
  }
  return out;
}

class Library : public testing::Test {
 protected:
  Library() {
    san.addAdapter("hba0");
    san.addAdapter("hba1");
    for (int i = 0; i < 2; ++i) {
      DriveConfig c;
      c.identity.serial = "DRV000" + std::to_string(i);
      c.medium.reset();  // empty drives: cartridges come from the library
      drives.push_back(&san.addDrive(c));
    }
    LibraryConfig config;
    config.identity.serial = "LIB0001";
    config.identity.wwnn = 0x5ABCDEF000000100ull;
    config.slots = 6;
    config.ieSlots = 2;
    config.drives = drives;
    config.volumes = {"VOL001L9", "VOL002L9", "VOL003L9"};
    library = &san.addLibrary(config);
    a.path = &san.connect(0, 0, 7, 0, *library, 0);
    b.path = &san.connect(1, 0, 7, 0, *library, 1);
    driveHost.path = &san.connect(0, 0, 3, 0, *drives[0], 0);
  }
  void SetUp() override {
    a.drainAttentions();
    b.drainAttentions();
    driveHost.drainAttentions();
  }
  std::string where(const std::string& volume) {
    auto e = library->findVolume(volume);
    return e ? elementName(e->type, e->index) : "nowhere";
  }

  San san;
  std::vector<TapeDrive*> drives;
  TapeLibrary* library = nullptr;
  Host a;
  Host b;
  Host driveHost;
};

TEST_F(Library, IdentifiesItselfAsAMediumChangerWithItsSerialAndNames) {
  CommandResult r = a.send({0x12, 0, 0, 0, 96, 0}, 96);
  ASSERT_TRUE(r.good());
  EXPECT_EQ(r.dataIn[0], kPeripheralMediumChanger);
  EXPECT_EQ(std::string(r.dataIn.begin() + 8, r.dataIn.begin() + 16), "VORKA   ");
  EXPECT_EQ(std::string(r.dataIn.begin() + 16, r.dataIn.begin() + 32), "VIRTUAL LIBRARY ");

  r = a.send({0x12, 1, 0x80, 0, 64, 0}, 64);
  ASSERT_TRUE(r.good());
  EXPECT_EQ(std::string(r.dataIn.begin() + 4, r.dataIn.end()), "LIB0001");

  // The device identification page names the logical unit and the port each path reaches.
  CommandResult pa = a.send({0x12, 1, 0x83, 0x01, 0x00, 0}, 256);
  CommandResult pb = b.send({0x12, 1, 0x83, 0x01, 0x00, 0}, 256);
  ASSERT_TRUE(pa.good() && pb.good());
  EXPECT_EQ(pa.dataIn[1], 0x83);
  EXPECT_NE(pa.dataIn, pb.dataIn) << "different target ports";
  EXPECT_EQ(a.path->targetPortName(), library->portName(0));
}

TEST_F(Library, ReportsItsElementAddressAssignment) {
  CommandResult r = a.send({0x1A, 0x08, 0x1D, 0, 255, 0}, 255);
  ASSERT_TRUE(r.good());
  ASSERT_EQ(r.dataIn.size(), 24u);
  const std::size_t p = 4;
  EXPECT_EQ(r.dataIn[p], 0x1D);
  EXPECT_EQ(be16(r.dataIn, p + 2), 0) << "first transport";
  EXPECT_EQ(be16(r.dataIn, p + 4), 1);
  EXPECT_EQ(be16(r.dataIn, p + 6), 4096) << "first storage";
  EXPECT_EQ(be16(r.dataIn, p + 8), 6);
  EXPECT_EQ(be16(r.dataIn, p + 10), 16) << "first import/export";
  EXPECT_EQ(be16(r.dataIn, p + 12), 2);
  EXPECT_EQ(be16(r.dataIn, p + 14), 256) << "first data transfer";
  EXPECT_EQ(be16(r.dataIn, p + 16), 2);
}

TEST_F(Library, ReadElementStatusShowsTheCartridgesWithTheirVolumeTags) {
  CommandResult r = a.send(readElementStatus(0, 0, 0xFFFF, true, 4096), 4096);
  ASSERT_TRUE(r.good());
  const auto all = parseElements(r.dataIn);
  ASSERT_EQ(all.size(), 1u + 2 + 2 + 6);
  EXPECT_EQ(be16(r.dataIn, 2), all.size());
  std::vector<std::string> slotVolumes;
  for (const Reported& e : all)
    if (e.address >= 4096) slotVolumes.push_back(e.full ? e.volume : "-");
  EXPECT_EQ(slotVolumes, (std::vector<std::string>{"VOL001L9", "VOL002L9", "VOL003L9", "-", "-", "-"}));

  // One type from an address on; a short buffer still tells the full size.
  r = a.send(readElementStatus(2, 4097, 2, false, 4096), 4096);
  ASSERT_TRUE(r.good());
  const auto two = parseElements(r.dataIn);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].address, 4097);
  r = a.send(readElementStatus(0, 0, 0xFFFF, true, 16), 16);
  ASSERT_TRUE(r.good());
  EXPECT_EQ(r.dataIn.size(), 16u);
  EXPECT_GT((uint32_t{r.dataIn[6]} << 8 | r.dataIn[7]), 16u) << "byte count of the whole report";
}

TEST_F(Library, AMoveIntoADriveLoadsItAndTheDriveMustEjectBeforeItComesBack) {
  ASSERT_TRUE(a.send(move(4096, 256)).good());
  EXPECT_EQ(where("VOL001L9"), "drive:0");
  EXPECT_EQ(drives[0]->mediumState(), MediumState::Loaded);
  // The drive sees its new medium: a unit attention, then it reads and writes.
  EXPECT_TRUE(hasSense(driveHost.testUnitReady(), sense_key::kUnitAttention, 0x28, 0x00));
  EXPECT_TRUE(driveHost.testUnitReady().good());
  const std::vector<uint8_t> block = pattern(512, 3);
  ASSERT_TRUE(driveHost.write(false, 512, block).good());

  // Loaded: the picker cannot take it.
  EXPECT_TRUE(hasSense(a.send(move(256, 4099)), sense_key::kIllegalRequest, 0x53, 0x02));
  EXPECT_EQ(where("VOL001L9"), "drive:0");
  ASSERT_TRUE(driveHost.loadUnload(false).good());
  ASSERT_TRUE(a.send(move(256, 4099)).good());
  EXPECT_EQ(where("VOL001L9"), "slot:3");
  EXPECT_EQ(drives[0]->mediumState(), MediumState::Absent);

  // The written block travels with the cartridge: back in the other drive it is there.
  ASSERT_TRUE(b.send(move(4099, 257)).good());
  bool carriesBlock = false;
  drives[1]->withMedium([&](const Medium* m) { carriesBlock = m && m->records().size() == 1 && m->records()[0].data == block; });
  EXPECT_TRUE(carriesBlock);

  // Where it came from is reported with the element.
  auto status = parseElements(a.send(readElementStatus(4, 256, 2, true, 1024), 1024).dataIn);
  ASSERT_EQ(status.size(), 2u);
  EXPECT_TRUE(status[1].full);
  EXPECT_EQ(status[1].volume, "VOL001L9");
  EXPECT_EQ(status[1].source, 4099);
  EXPECT_EQ(library->moves().size(), 3u);
}

TEST_F(Library, RefusedMovesChangeNothing) {
  const auto before = library->elements();
  EXPECT_TRUE(hasSense(a.send(move(4099, 4100)), sense_key::kIllegalRequest, 0x3B, 0x0E)) << "source empty";
  EXPECT_TRUE(hasSense(a.send(move(4096, 4097)), sense_key::kIllegalRequest, 0x3B, 0x0D)) << "destination full";
  EXPECT_TRUE(hasSense(a.send(move(4096, 5000)), sense_key::kIllegalRequest, 0x21, 0x01)) << "no such element";
  EXPECT_TRUE(hasSense(a.send(move(4096, 4100, 16)), sense_key::kIllegalRequest, 0x21, 0x01)) << "not a transport";
  EXPECT_TRUE(hasSense(a.send({0xA6, 0, 0, 0, 0x10, 0, 0x10, 1, 0x10, 2, 0, 0}), sense_key::kIllegalRequest, 0x20,
                       0x00))
      << "no exchange with one picker";
  const auto after = library->elements();
  ASSERT_EQ(before.size(), after.size());
  for (std::size_t i = 0; i < before.size(); ++i) EXPECT_EQ(before[i].volume, after[i].volume) << i;
  EXPECT_TRUE(library->moves().empty());
}

TEST_F(Library, UnitAttentionsBelongToEachInitiator) {
  // An operator imports a cartridge: every control path hears of it once.
  MediumConfig tape;
  tape.label = "NEW001L9";
  ASSERT_TRUE(library->operatorImport(0, std::make_unique<Medium>(tape)));
  EXPECT_TRUE(hasSense(a.testUnitReady(), sense_key::kUnitAttention, 0x28, 0x01));
  EXPECT_TRUE(a.testUnitReady().good());
  EXPECT_EQ(library->pendingUnitAttentions(b.path->initiator()), std::vector<std::string>{"28/01"});
  // INQUIRY does not consume it.
  EXPECT_TRUE(b.send({0x12, 0, 0, 0, 36, 0}, 36).good());
  EXPECT_TRUE(hasSense(b.send(move(16, 4100)), sense_key::kUnitAttention, 0x28, 0x01)) << "the move is not done";
  EXPECT_EQ(where("NEW001L9"), "ie:0");
  EXPECT_TRUE(b.send(move(16, 4100)).good());
  EXPECT_EQ(where("NEW001L9"), "slot:4");

  // A reset through one path: every initiator gets 29/00; nothing moves.
  ASSERT_EQ(a.path->logicalUnitReset(), 0u);
  EXPECT_TRUE(hasSense(a.testUnitReady(), sense_key::kUnitAttention, 0x29, 0x00));
  EXPECT_TRUE(hasSense(b.testUnitReady(), sense_key::kUnitAttention, 0x29, 0x00));
  EXPECT_EQ(where("NEW001L9"), "slot:4");
}

TEST_F(Library, PreventionLocksTheImportExportDoorAndAResetLiftsIt) {
  ASSERT_TRUE(a.send({0x1E, 0, 0, 0, 1, 0}).good());
  ASSERT_TRUE(a.send(move(4096, 16)).good()) << "the picker may still use the element";
  EXPECT_EQ(library->operatorExport(0), nullptr) << "the operator may not";
  EXPECT_TRUE(library->removalPrevented());
  library->reset();
  EXPECT_FALSE(library->removalPrevented());
  auto out = library->operatorExport(0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->label(), "VOL001L9");
  EXPECT_EQ(where("VOL001L9"), "nowhere");
}

TEST_F(Library, AReservationKeepsTheOtherControlPathOut) {
  ASSERT_TRUE(a.send({0x16, 0, 0, 0, 0, 0}).good());
  EXPECT_EQ(b.send(move(4096, 4100)).scsiStatus, kScsiReservationConflict);
  EXPECT_TRUE(b.send({0x12, 0, 0, 0, 36, 0}, 36).good()) << "INQUIRY still answers";
  EXPECT_EQ(where("VOL001L9"), "slot:0");
  ASSERT_TRUE(a.send({0x17, 0, 0, 0, 0, 0}).good());
  EXPECT_TRUE(b.send(move(4096, 4100)).good());
}

TEST_F(Library, AControlPathDownFailsInTheTransportWhileTheOtherPathMoves) {
  Fault down;
  down.kind = FaultKind::PathDown;
  a.path->injectFault(down);
  CommandResult r = a.send(move(4096, 256));
  EXPECT_EQ(r.transportStatus, kStatusDeviceNotConnected);
  EXPECT_EQ(where("VOL001L9"), "slot:0");
  EXPECT_TRUE(b.send(move(4096, 256)).good());
  EXPECT_EQ(where("VOL001L9"), "drive:0");
  a.path->clearFaults();
  EXPECT_TRUE(hasSense(a.testUnitReady(), sense_key::kUnitAttention, 0x29, 0x07)) << "the new login hears of the old";
  EXPECT_TRUE(a.testUnitReady().good());
}

TEST_F(Library, ALostLoginTakesItsReservationAndDoorLockWithIt) {
  const std::vector<uint8_t> reserve{0x16, 0, 0, 0, 0, 0}, prevent{0x1E, 0, 0, 0, 1, 0};
  ASSERT_TRUE(a.send(reserve).good());
  ASSERT_TRUE(a.send(prevent).good());
  Fault down;
  down.kind = FaultKind::PathDown;
  a.path->injectFault(down);
  EXPECT_TRUE(b.send(move(4096, 256)).good()) << "the reservation went with the login";
  EXPECT_TRUE(library->operatorExport(0) == nullptr) << "nothing is in the import/export element";
  EXPECT_TRUE(library->operatorImport(0, std::make_unique<Medium>(MediumConfig{}))) << "the door is no longer locked";
}

TEST_F(Library, ALostCompletionLeavesTheMoveDoneAndARetryFindsTheSourceEmpty) {
  Fault lost;
  lost.kind = FaultKind::FailCommands;
  lost.status = kStatusIoTimeout;
  lost.executed = true;
  lost.opcode = 0xA5;
  a.path->injectFault(lost);
  EXPECT_EQ(a.send(move(4096, 256)).transportStatus, kStatusIoTimeout);
  EXPECT_EQ(where("VOL001L9"), "drive:0") << "the library did the move";
  EXPECT_TRUE(hasSense(b.send(move(4096, 256)), sense_key::kIllegalRequest, 0x3B, 0x0E));
  EXPECT_EQ(library->moves().size(), 1u) << "moved exactly once";
}

TEST_F(Library, FaultsArmedOnTheLibraryHitEveryPathAndSenseFaultsChangeNothing) {
  Fault hw;
  hw.kind = FaultKind::FailCommands;
  hw.senseKey = sense_key::kHardwareError;
  hw.asc = 0x40;
  hw.ascq = 0x01;
  hw.count = 2;
  library->injectFault(hw);
  EXPECT_TRUE(hasSense(a.send(move(4096, 256)), sense_key::kHardwareError, 0x40, 0x01));
  EXPECT_TRUE(hasSense(b.send(move(4096, 256)), sense_key::kHardwareError, 0x40, 0x01));
  EXPECT_EQ(where("VOL001L9"), "slot:0");
  EXPECT_TRUE(b.send(move(4096, 256)).good());

  Fault gone;
  gone.kind = FaultKind::PathDown;
  library->injectFault(gone);
  EXPECT_FALSE(a.testUnitReady().delivered());
  EXPECT_FALSE(b.testUnitReady().delivered());
  library->clearFaults();
  EXPECT_TRUE(b.testUnitReady().good());
}

TEST(LibraryElementNames, NameEveryTypeByItsIndex) {
  EXPECT_EQ(elementName(ElementType::Storage, 3), "slot:3");
  EXPECT_EQ(elementName(ElementType::DataTransfer, 0), "drive:0");
  EXPECT_EQ(elementName(ElementType::ImportExport, 1), "ie:1");
  EXPECT_EQ(elementName(ElementType::Transport, 0), "transport:0");
  EXPECT_EQ(parseElementName("slot:12"), std::make_pair(ElementType::Storage, 12u));
  EXPECT_FALSE(parseElementName("slot:"));
  EXPECT_FALSE(parseElementName("bin:1"));
  EXPECT_FALSE(parseElementName("slot:-1"));
}

}  // namespace
}  // namespace hwtest

namespace hwtest {
namespace {

// Two initiators shuffle cartridges between slots at once: every cartridge is
// always in exactly one element and every reported success is one recorded move.
TEST(LibraryConcurrency, MovesFromTwoControlPathsNeverLoseOrDuplicateACartridge) {
  San san;
  san.addAdapter("hba0");
  san.addAdapter("hba1");
  LibraryConfig config;
  config.identity.serial = "LIBC";
  config.slots = 12;
  config.volumes = {"A", "B", "C", "D", "E", "F"};
  TapeLibrary& library = san.addLibrary(config);
  Host hosts[2];
  hosts[0].path = &san.connect(0, 0, 7, 0, library, 0);
  hosts[1].path = &san.connect(1, 0, 7, 0, library, 1);
  for (Host& h : hosts) h.drainAttentions();

  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        const uint16_t from = static_cast<uint16_t>(4096 + (i * 5 + t) % 12);
        const uint16_t to = static_cast<uint16_t>(4096 + (i * 7 + 3 * t + 1) % 12);
        const std::vector<uint8_t> cdb{0xA5, 0, 0, 0, static_cast<uint8_t>(from >> 8), static_cast<uint8_t>(from),
                                       static_cast<uint8_t>(to >> 8), static_cast<uint8_t>(to), 0, 0, 0, 0};
        if (hosts[t].send(cdb).good() && from != to) ++succeeded;
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::vector<std::string> volumes;
  for (const ElementState& e : library.elements())
    if (e.full) volumes.push_back(e.volume);
  std::sort(volumes.begin(), volumes.end());
  EXPECT_EQ(volumes, (std::vector<std::string>{"A", "B", "C", "D", "E", "F"}));
  EXPECT_EQ(library.moves().size(), static_cast<std::size_t>(succeeded.load()));
  EXPECT_GT(succeeded.load(), 0);
}

}  // namespace
}  // namespace hwtest
