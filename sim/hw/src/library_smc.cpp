// The medium changer's commands: identification, REQUEST SENSE, the element
// address assignment mode page, READ ELEMENT STATUS, MOVE MEDIUM, INITIALIZE
// ELEMENT STATUS, POSITION TO ELEMENT, PREVENT ALLOW MEDIUM REMOVAL and
// RESERVE/RELEASE(6).
#include <algorithm>
#include <cstring>

#include "library_impl.h"

namespace sim::hw {
namespace {

constexpr uint8_t kPageElementAddressAssignment = 0x1D;
constexpr uint8_t kPageAll = 0x3F;
constexpr std::size_t kVolumeTagLength = 36;

Sense invalidElementAddress() { return makeSense(sense_key::kIllegalRequest, 0x21, 0x01); }
Sense sourceEmpty() { return makeSense(sense_key::kIllegalRequest, 0x3B, 0x0E); }
Sense destinationFull() { return makeSense(sense_key::kIllegalRequest, 0x3B, 0x0D); }
Sense mediumRemovalPrevented() { return makeSense(sense_key::kIllegalRequest, 0x53, 0x02); }

}  // namespace

void TapeLibrary::Impl::inquiry(LibraryExchange& x) {
  std::vector<uint8_t> d;
  Sense error;
  if (!inquiryData(x.cdb, InquiryShape{kPeripheralMediumChanger, 0x00, 0x00}, cfg.identity, wwnn, x.ini.targetPort, &d,
                   &error)) {
    return check(x, error);
  }
  sendData(x, std::move(d), be16(&x.cdb[3]));
}

void TapeLibrary::Impl::requestSense(LibraryExchange& x) {
  if (x.cdb[1] & 0x01) return check(x, invalidCdbField(1, 0));  // descriptor format not supported
  Sense s;
  if (auto ua = x.ini.unitAttentions.take()) s = ua->sense();
  sendData(x, encodeSense(s), x.cdb[4]);
}

void TapeLibrary::Impl::modeSense(LibraryExchange& x, bool ten) {
  const uint8_t pc = x.cdb[2] >> 6;
  const uint8_t page = x.cdb[2] & 0x3F;
  const std::size_t allocation = ten ? be16(&x.cdb[7]) : x.cdb[4];
  if (pc == 3) return check(x, makeSense(sense_key::kIllegalRequest, 0x39, 0x00));  // saved values
  if (page != kPageElementAddressAssignment && page != kPageAll) return check(x, invalidCdbField(2, 5));

  std::vector<uint8_t> p(20, 0);
  p[0] = kPageElementAddressAssignment;
  p[1] = 0x12;
  if (pc != 1) {  // nothing is changeable
    const ElementAddressing& a = cfg.addressing;
    putBe16(&p[2], a.firstTransport);
    putBe16(&p[4], 1);
    putBe16(&p[6], a.firstStorage);
    putBe16(&p[8], cfg.slots);
    putBe16(&p[10], a.firstImportExport);
    putBe16(&p[12], cfg.ieSlots);
    putBe16(&p[14], a.firstDataTransfer);
    putBe16(&p[16], static_cast<uint32_t>(cfg.drives.size()));
  }
  std::vector<uint8_t> d(ten ? 8 : 4, 0);  // header without block descriptors
  d.insert(d.end(), p.begin(), p.end());
  if (ten)
    putBe16(&d[0], static_cast<uint32_t>(d.size() - 2));
  else
    d[0] = static_cast<uint8_t>(d.size() - 1);
  sendData(x, std::move(d), allocation);
}

// One page per element type that has elements to report, each element with a
// 12-byte descriptor plus the primary volume tag when VOLTAG asks for it.
void TapeLibrary::Impl::readElementStatus(LibraryExchange& x) {
  const uint8_t typeCode = x.cdb[1] & 0x0F;
  const bool volTag = x.cdb[1] & 0x10;
  const uint16_t start = static_cast<uint16_t>(be16(&x.cdb[2]));
  const uint32_t wanted = be16(&x.cdb[4]);
  const std::size_t allocation = be24(&x.cdb[7]);
  if (typeCode > static_cast<uint8_t>(ElementType::DataTransfer)) return check(x, invalidCdbField(1, 3));

  std::vector<const Element*> chosen;
  for (const Element& e : elements) {
    if (typeCode != 0 && static_cast<uint8_t>(e.type) != typeCode) continue;
    if (e.address < start || chosen.size() >= wanted) continue;
    chosen.push_back(&e);
  }
  if (chosen.empty()) return check(x, invalidElementAddress());
  std::sort(chosen.begin(), chosen.end(), [](const Element* a, const Element* b) { return a->address < b->address; });

  const std::size_t descriptorLength = 12 + (volTag ? kVolumeTagLength : 0);
  std::vector<uint8_t> d(8, 0);
  putBe16(&d[0], chosen.front()->address);
  putBe16(&d[2], static_cast<uint32_t>(chosen.size()));
  for (std::size_t i = 0; i < chosen.size();) {
    const ElementType type = chosen[i]->type;
    std::size_t j = i;
    while (j < chosen.size() && chosen[j]->type == type) ++j;
    std::vector<uint8_t> page(8, 0);
    page[0] = static_cast<uint8_t>(type);
    page[1] = volTag ? 0x80 : 0x00;  // PVOLTAG
    putBe16(&page[2], static_cast<uint32_t>(descriptorLength));
    putBe24(&page[5], static_cast<uint32_t>(descriptorLength * (j - i)));
    for (; i < j; ++i) {
      const Element& e = *chosen[i];
      std::vector<uint8_t> desc(descriptorLength, 0);
      putBe16(&desc[0], e.address);
      const bool isFull = full(e);
      uint8_t flags = isFull ? 0x01 : 0x00;                            // FULL
      if (e.type == ElementType::ImportExport) flags |= 0x02 | 0x30;   // IMPEXP, EXENAB, INENAB
      if (e.type != ElementType::Transport) flags |= 0x08;             // ACCESS
      if (e.exception) {
        flags |= 0x04;  // EXCEPT, with the condition as ASC/ASCQ
        desc[4] = e.exception->first;
        desc[5] = e.exception->second;
      }
      desc[2] = flags;
      if (e.type == ElementType::DataTransfer) desc[6] = 0x80;         // NOT BUS: the drive is on the SAN
      if (isFull && e.source) {
        desc[9] = 0x80;  // SVALID
        putBe16(&desc[10], *e.source);
      }
      if (volTag && isFull) {
        const std::string label = volumeOf(e);
        putPadded(&desc[12], 32, label);
      }
      page.insert(page.end(), desc.begin(), desc.end());
    }
    d.insert(d.end(), page.begin(), page.end());
  }
  putBe24(&d[5], static_cast<uint32_t>(d.size() - 8));
  sendData(x, std::move(d), allocation);
}

bool TapeLibrary::Impl::doorBlocksMove(const Element& source, const Element& destination) const {
  return ieDoorOpen && (source.type == ElementType::ImportExport || destination.type == ElementType::ImportExport);
}

void TapeLibrary::Impl::moveMedium(LibraryExchange& x) {
  const uint16_t transport = static_cast<uint16_t>(be16(&x.cdb[2]));
  const uint16_t from = static_cast<uint16_t>(be16(&x.cdb[4]));
  const uint16_t to = static_cast<uint16_t>(be16(&x.cdb[6]));
  if (x.cdb[10] & 0x01) return check(x, invalidCdbField(10, 0));  // INVERT: single-sided media
  Element* picker = find(transport);
  if (transport != 0 && (picker == nullptr || picker->type != ElementType::Transport))
    return check(x, invalidElementAddress());
  picker = find(cfg.addressing.firstTransport);
  Element* source = find(from);
  Element* destination = find(to);
  if (source == nullptr || destination == nullptr) return check(x, invalidElementAddress());
  if (!full(*source)) return check(x, sourceEmpty());
  if (source == destination) return;
  if (full(*destination)) return check(x, destinationFull());
  if (doorBlocksMove(*source, *destination)) return check(x, makeSense(sense_key::kNotReady, 0x04, 0x03));
  // A cartridge left in the picker must be taken out of it first.
  const bool viaPicker = source != picker && destination != picker;
  if (viaPicker && picker->medium) return check(x, makeSense(sense_key::kNotReady, 0x04, 0x03));

  std::unique_ptr<Medium> medium;
  if (source->drive != nullptr) {
    // The drive must have ejected the cartridge before the picker can take it.
    medium = source->drive->takeCartridge();
    if (!medium) return check(x, mediumRemovalPrevented());
  } else {
    medium = std::move(source->medium);
  }
  source->source.reset();
  if (source == picker) picker->exception.reset();
  const std::string volume = medium->label();
  if (viaPicker) {
    // On its way the cartridge is in the picker: that is where a ground-truth look finds it, and
    // where a failing robot leaves it.
    picker->medium = std::move(medium);
    picker->source = from;
    const std::optional<Fault> drop = takePickerFault(x);
    runRobot(x.lock, cfg.robot.move);
    if (drop) {
      const Fault& f = *drop;
      const bool given = f.senseKey | f.asc | f.ascq;
      const uint8_t asc = given ? f.asc : 0x15;   // mechanical positioning error
      const uint8_t ascq = given ? f.ascq : 0x01;
      picker->exception = std::make_pair(asc, ascq);
      return check(x, makeSense(given && f.senseKey ? f.senseKey : sense_key::kHardwareError, asc, ascq));
    }
    medium = std::move(picker->medium);
    picker->source.reset();
  } else {
    runRobot(x.lock, cfg.robot.move);
  }
  if (destination->drive != nullptr) {
    medium = destination->drive->insertCartridge(std::move(medium));
    if (medium) {  // an operator filled the drive meanwhile: the cartridge goes back
      if (source->drive != nullptr)
        medium = source->drive->insertCartridge(std::move(medium));
      else if (!source->medium)
        source->medium = std::move(medium);
      if (medium) {  // the source was filled too: the picker keeps it
        picker->medium = std::move(medium);
        picker->source = from;
      }
      return check(x, destinationFull());
    }
  } else {
    destination->medium = std::move(medium);
  }
  destination->source = from;
  destination->exception.reset();
  moves.push_back(MoveRecord{x.id, from, to, volume});
}

void TapeLibrary::Impl::initializeElementStatus(LibraryExchange& x) {
  // The inventory finds what the ground truth already holds; it only takes the robot's time.
  runRobot(x.lock, cfg.robot.inventory);
}

void TapeLibrary::Impl::positionToElement(LibraryExchange& x) {
  const uint16_t transport = static_cast<uint16_t>(be16(&x.cdb[2]));
  const uint16_t to = static_cast<uint16_t>(be16(&x.cdb[4]));
  Element* picker = find(transport);
  if (transport != 0 && (picker == nullptr || picker->type != ElementType::Transport))
    return check(x, invalidElementAddress());
  if (find(to) == nullptr) return check(x, invalidElementAddress());
  runRobot(x.lock, cfg.robot.position);
}

void TapeLibrary::Impl::preventAllow(LibraryExchange& x) {
  const uint8_t prevent = x.cdb[4] & 0x03;
  if (prevent > 1) return check(x, invalidCdbField(4, 1));
  x.ini.preventRemoval = prevent == 1;
}

void TapeLibrary::Impl::reserve(LibraryExchange& x) {
  if (x.cdb[1] & 0x01) return check(x, invalidCdbField(1, 0));  // element reservations are not offered
  reserveHolder = x.id;
}

void TapeLibrary::Impl::release(LibraryExchange& x) {
  if (reserveHolder == x.id) reserveHolder.reset();
}

}  // namespace sim::hw
