// Medium access commands: reading, writing, spacing, locating, position, erase,
// verify, load/unload and medium-removal prevention.
//
// Positions are logical object numbers: every block and every filemark is one
// object; end-of-data (EOD) is the number of objects on the medium.
#include <algorithm>

#include "drive_impl.h"

namespace sim::hw {
namespace {

constexpr uint8_t kAscNoAdditional = 0x00;
constexpr uint8_t kAscqFilemark = 0x01;
constexpr uint8_t kAscqEndOfMedium = 0x02;
constexpr uint8_t kAscqBeginningOfMedium = 0x04;
constexpr uint8_t kAscqEndOfData = 0x05;

Sense filemarkSense(int32_t residual) {
  Sense s = makeSense(sense_key::kNoSense, kAscNoAdditional, kAscqFilemark);
  s.filemark = true;
  s.information = residual;
  return s;
}

Sense endOfDataSense(std::optional<int32_t> residual) {
  Sense s = makeSense(sense_key::kBlankCheck, kAscNoAdditional, kAscqEndOfData);
  s.information = residual;
  return s;
}

Sense beginningOfMediumSense(std::optional<int32_t> residual) {
  Sense s = makeSense(sense_key::kNoSense, kAscNoAdditional, kAscqBeginningOfMedium);
  s.eom = true;
  s.information = residual;
  return s;
}

Sense incorrectLengthSense(int32_t residual) {
  Sense s = makeSense(sense_key::kNoSense, kAscNoAdditional, 0x00);
  s.ili = true;
  s.information = residual;
  return s;
}

Sense earlyWarningSense() {
  Sense s = makeSense(sense_key::kNoSense, kAscNoAdditional, kAscqEndOfMedium);
  s.eom = true;
  s.information = 0;
  return s;
}

Sense volumeOverflowSense(int32_t residual) {
  Sense s = makeSense(sense_key::kVolumeOverflow, kAscNoAdditional, kAscqEndOfMedium);
  s.eom = true;
  s.information = residual;
  return s;
}

const Sense kWriteProtected = makeSense(sense_key::kDataProtect, 0x27, 0x00);

// A deferred error fault acted out on an initiator without buffering fails the
// command itself, with a write error unless the fault names its sense.
Fault currentFailure(const Fault& f) {
  Fault out = f;
  if (f.kind == FaultKind::DeferredError && f.status == 0 && (f.senseKey | f.asc | f.ascq) == 0) {
    out.senseKey = sense_key::kMediumError;
    out.asc = 0x0C;
  }
  return out;
}

}  // namespace

uint32_t TapeDrive::Impl::protectionBytes(const Initiator& ini, bool forWrite) const {
  const LbpSettings& lbp = mode(ini).lbp;
  if (lbp.method == 0) return 0;
  return (forWrite ? lbp.write : lbp.read) ? lbp.length : 0;
}

void TapeDrive::Impl::testUnitReady(Exchange& x) { loaded(x); }

void TapeDrive::Impl::rewind(Exchange& x) {
  if (!loaded(x)) return;
  const uint64_t from = pos;
  pos = 0;
  positionKnown = true;
  startMotion(x, from, travelTime(from, 0));
}

void TapeDrive::Impl::read(Exchange& x, bool reverse) {
  const bool fixed = x.cdb[1] & 0x01;
  const bool sili = x.cdb[1] & 0x02;
  if (fixed && sili) return check(x, invalidCdbField(1, 1));
  if (!loaded(x)) return;
  if (positionLost(x)) return;
  readBlocks(x, reverse, fixed, sili, be24(&x.cdb[2]), true);
}

// Reads (or, without `deliver`, verifies) `count` fixed blocks or one variable
// block in either direction, with the filemark, EOD, BOP and incorrect-length
// rules of sequential-access devices. In fixed mode the INFORMATION field is the
// number of blocks not read; in variable mode it is the requested length minus
// the block's length (negative for an overlength block).
void TapeDrive::Impl::readBlocks(Exchange& x, bool reverse, bool fixed, bool sili, uint32_t count,
                                 bool deliver) {
  const uint32_t blockLength = mode(x.ini).blockLength;
  if (fixed && blockLength == 0) return check(x, invalidCdbField(1, 0));
  if (count == 0) return;
  const bool byteOrderNormal = reverse && (x.cdb[1] & 0x04);
  const uint32_t pi = protectionBytes(x.ini, false);
  const auto& recs = medium->records();

  // The block as it travels to the initiator: protection information appended,
  // bytes reversed for READ REVERSE unless BYTORD asks for normal order.
  auto wire = [&](const Record& r) {
    std::vector<uint8_t> w(r.data);
    if (pi) {
      w.resize(w.size() + 4);
      putBe32(&w[r.data.size()], r.crc);
    }
    if (reverse && !byteOrderNormal) std::reverse(w.begin(), w.end());
    return w;
  };

  std::vector<uint8_t> out;
  const uint32_t blocks = fixed ? count : 1;
  // A transfer that breaks off after k blocks (only reads deliver data).
  const Fault* broken = deliver && x.injected && x.injected->kind == FaultKind::PartialTransfer ? x.injected : nullptr;
  auto breakOff = [&](int32_t residual) {
    const std::size_t n = out.size();
    sendData(x, std::move(out), n);
    if (broken->status != 0) {
      x.res.transportStatus = broken->status;
      return;
    }
    Sense s = (broken->senseKey | broken->asc | broken->ascq) ? makeSense(broken->senseKey, broken->asc, broken->ascq)
                                                              : makeSense(sense_key::kAbortedCommand, 0, 0);
    s.information = residual;
    check(x, s);
  };
  for (uint32_t done = 0; done < blocks; ++done) {
    const int32_t residual = fixed ? static_cast<int32_t>(count - done) : static_cast<int32_t>(count);
    if (broken && done == broken->k) return breakOff(residual);
    if (!reverse && pos == medium->endOfData()) {
      check(x, endOfDataSense(residual));
      break;
    }
    if (reverse && pos == 0) {
      check(x, beginningOfMediumSense(residual));
      break;
    }
    const uint64_t index = reverse ? pos - 1 : pos;
    const Record& r = recs[index];
    // Forward the head ends after the object; in reverse, on its BOP side.
    pos = reverse ? index : index + 1;
    if (r.isFilemark()) {
      check(x, filemarkSense(residual));
      break;
    }
    if (fixed) {
      if (r.data.size() != blockLength) {
        check(x, incorrectLengthSense(residual));
        break;
      }
      if (deliver) {
        auto w = wire(r);
        out.insert(out.end(), w.begin(), w.end());
      }
      continue;
    }
    auto w = wire(r);
    const std::size_t actual = w.size();
    if (deliver) {
      w.resize(std::min<std::size_t>(actual, count));
      out = std::move(w);
    }
    if (actual > count || (actual < count && !sili))
      check(x, incorrectLengthSense(static_cast<int32_t>(count) - static_cast<int32_t>(actual)));
  }
  // Every block moved, and then the transfer still broke off.
  if (broken && !x.failed()) return breakOff(0);
  if (deliver) {
    const std::size_t n = out.size();
    sendData(x, std::move(out), n);
  }
}

void TapeDrive::Impl::write(Exchange& x) {
  const bool fixed = x.cdb[1] & 0x01;
  const uint32_t count = be24(&x.cdb[2]);
  const uint32_t blockLength = mode(x.ini).blockLength;
  if (fixed && blockLength == 0) return check(x, invalidCdbField(1, 0));
  if (!loaded(x)) return;
  if (medium->writeProtected()) return check(x, kWriteProtected);
  if (positionLost(x)) return;
  const bool buffered = buffering(x.ini);
  if (!buffered) flush();  // written data stays in order
  if (count == 0) return;

  const uint32_t pi = protectionBytes(x.ini, true);
  uint32_t blocks = 1;
  std::size_t payload = 0;
  if (fixed) {
    blocks = count;
    payload = blockLength;
  } else {
    if (count <= pi || count - pi > cfg.limits.maximum || count - pi < cfg.limits.minimum)
      return check(x, invalidCdbField(2));
    payload = count - pi;
  }
  const std::size_t wireLength = payload + pi;
  if (x.cmd.dataOut.size() < wireLength * blocks) return check(x, invalidCdbField(2));

  // A deferred error fault lets the whole command into the buffer; every other
  // directive (and a deferred error without buffering) stops after k blocks.
  const bool deferredFault = x.injected && x.injected->kind == FaultKind::DeferredError && buffered;
  const bool brokenFault = x.injected && !deferredFault;
  uint32_t limit = blocks;
  if (brokenFault) limit = std::min<uint32_t>(blocks, x.injected->k);

  auto residualAfter = [&](uint32_t written) {
    return fixed ? static_cast<int32_t>(blocks - written) : static_cast<int32_t>(written ? 0 : count);
  };
  uint32_t written = 0;
  std::optional<Sense> error;
  for (; written < limit; ++written) {
    const auto w = x.cmd.dataOut.subspan(written * wireLength, wireLength);
    const auto data = w.first(payload);
    // Checksummed once: the same CRC checks the host's protection information and stays
    // with the block as the drive's own.
    const uint32_t crc = crc32c(data);
    if (pi && be32(&w[payload]) != crc) {
      error = makeSense(sense_key::kAbortedCommand, 0x10, 0x01);  // logical block guard check failed
      error->information = residualAfter(written);
      break;
    }
    if (logicalBytesBefore(pos) + payload > medium->config().capacityBytes) {
      error = volumeOverflowSense(residualAfter(written));
      break;
    }
    if (buffered) {
      drainFor(payload);
      bufferObject(Record{RecordKind::Data, {data.begin(), data.end()}, crc, pi != 0});
      continue;
    }
    // Writing anywhere but at EOD drops everything after the write position.
    if (written == 0) medium->truncate(pos);
    medium->append(Record{RecordKind::Data, {data.begin(), data.end()}, crc, pi != 0});
    ++pos;
  }
  x.res.dataOutTransferred = static_cast<uint32_t>(written * wireLength);
  if (error) return check(x, *error);
  if (deferredFault) return failBufferedWrite(x, *x.injected, written, x.injected->k);
  if (brokenFault) return failInjected(x, currentFailure(*x.injected), residualAfter(written));
  if (logicalBytesBefore(pos) >= medium->earlyWarningAt()) check(x, earlyWarningSense());
}

// Without IMMED the command returns only when everything buffered before it,
// and its own filemarks, are on the medium: WRITE FILEMARKS with a count of 0
// is the host's way to flush the buffer.
void TapeDrive::Impl::writeFilemarks(Exchange& x) {
  if (x.cdb[1] & 0x02) return check(x, invalidCdbField(1, 1));  // setmarks are not supported
  const bool immediate = x.cdb[1] & 0x01;
  const bool buffered = buffering(x.ini);
  // In unbuffered mode there is nothing to return early from.
  if (immediate && !buffered) return check(x, invalidCdbField(1, 0));
  if (!loaded(x)) return;
  if (medium->writeProtected()) return check(x, kWriteProtected);
  if (positionLost(x)) return;
  const uint32_t count = be24(&x.cdb[2]);
  if (!buffered || !immediate) flush();
  if (count == 0) return;
  const bool deferredFault = x.injected && x.injected->kind == FaultKind::DeferredError && buffered;
  const bool brokenFault = x.injected && !deferredFault;
  const uint32_t limit = brokenFault ? std::min(count, x.injected->k) : count;
  for (uint32_t i = 0; i < limit; ++i) {
    if (buffered) {
      drainFor(0);
      bufferObject(Record{RecordKind::Filemark, {}, 0, false});
      continue;
    }
    if (i == 0) medium->truncate(pos);
    medium->appendFilemark();
    ++pos;
  }
  if (deferredFault) {
    failBufferedWrite(x, *x.injected, limit, x.injected->k);
    // Waiting for the flush, this command is the one that hears of the failure.
    if (!immediate) {
      flush();
      reportDeferred(x);
    }
    return;
  }
  if (buffered && !immediate) flush();
  if (brokenFault) return failInjected(x, currentFailure(*x.injected), static_cast<int32_t>(count - limit));
  if (logicalBytesBefore(pos) >= medium->earlyWarningAt()) check(x, earlyWarningSense());
}

void TapeDrive::Impl::space(Exchange& x) {
  const uint8_t code = x.cdb[1] & 0x07;
  if (code > 3) return check(x, invalidCdbField(1, 2));  // setmarks and reserved codes
  if (!loaded(x)) return;
  // Only spacing to end-of-data finds its way from an unknown position.
  if (code != 3 && positionLost(x)) return;
  const uint64_t from = pos;
  spaceBy(x, code);
  positionKnown = true;
  startMotion(x, from, travelTime(from, pos));
}

void TapeDrive::Impl::spaceBy(Exchange& x, uint8_t code) {
  const int32_t count = sbe24(&x.cdb[2]);
  const uint64_t eod = medium->endOfData();
  const auto& recs = medium->records();

  switch (code) {
    case 0: {  // blocks: a filemark stops the motion
      if (count > 0) {
        for (int32_t i = 0; i < count; ++i) {
          if (pos == eod) return check(x, endOfDataSense(count - i));
          const bool mark = recs[pos].isFilemark();
          ++pos;
          if (mark) return check(x, filemarkSense(count - i));
        }
      } else {
        const int32_t n = -count;
        for (int32_t i = 0; i < n; ++i) {
          if (pos == 0) return check(x, beginningOfMediumSense(n - i));
          --pos;
          if (recs[pos].isFilemark()) return check(x, filemarkSense(n - i));
        }
      }
      return;
    }
    case 1: {  // filemarks
      const uint64_t before = medium->filemarksBefore(pos);
      if (count > 0) {
        const uint64_t target = medium->positionOfFile(before + static_cast<uint64_t>(count));
        if (target > eod) {
          const uint64_t available = medium->filemarksBefore(eod) - before;
          pos = eod;
          return check(x, endOfDataSense(count - static_cast<int32_t>(available)));
        }
        pos = target;
      } else if (count < 0) {
        const uint64_t n = static_cast<uint64_t>(-static_cast<int64_t>(count));
        if (n > before) {
          pos = 0;
          return check(x, beginningOfMediumSense(static_cast<int32_t>(n - before)));
        }
        // Stop on the BOP side of the n-th filemark behind the head.
        pos = medium->positionOfFile(before - n + 1) - 1;
      }
      return;
    }
    case 2: {  // sequential filemarks: the first run of |count| consecutive marks
      if (count > 0) {
        int32_t run = 0;
        for (uint64_t i = pos; i < eod; ++i) {
          run = recs[i].isFilemark() ? run + 1 : 0;
          if (run == count) {
            pos = i + 1;
            return;
          }
        }
        pos = eod;
        return check(x, endOfDataSense(std::nullopt));
      }
      if (count < 0) {
        int32_t run = 0;
        for (uint64_t i = pos; i-- > 0;) {
          run = recs[i].isFilemark() ? run + 1 : 0;
          if (run == -count) {
            pos = i;
            return;
          }
        }
        pos = 0;
        return check(x, beginningOfMediumSense(std::nullopt));
      }
      return;
    }
    default:  // end of data
      pos = eod;
      return;
  }
}

void TapeDrive::Impl::locateTo(Exchange& x, uint64_t object) {
  positionKnown = true;
  const uint64_t eod = medium->endOfData();
  if (object > eod) {
    pos = eod;
    return check(x, endOfDataSense(std::nullopt));
  }
  pos = object;
}

void TapeDrive::Impl::locate10(Exchange& x) {
  const bool changePartition = x.cdb[1] & 0x02;
  if (changePartition && x.cdb[8] != 0) return check(x, invalidCdbField(8));  // one partition only
  if (!loaded(x)) return;
  const uint64_t from = pos;
  locateTo(x, be32(&x.cdb[3]));
  startMotion(x, from, travelTime(from, pos));
}

void TapeDrive::Impl::locate16(Exchange& x) {
  const uint8_t destType = (x.cdb[1] >> 3) & 0x07;
  const bool changePartition = x.cdb[1] & 0x02;
  if (changePartition && x.cdb[3] != 0) return check(x, invalidCdbField(3));
  if (destType != 0 && destType != 1 && destType != 3) return check(x, invalidCdbField(1, 3));
  if (!loaded(x)) return;
  const uint64_t from = pos;
  const uint64_t id = be64(&x.cdb[4]);
  switch (destType) {
    case 0: locateTo(x, id); break;
    case 1: locateTo(x, medium->positionOfFile(id)); break;  // start of logical file `id`
    default: pos = medium->endOfData(); positionKnown = true; break;
  }
  startMotion(x, from, travelTime(from, pos));
}

std::vector<uint8_t> readPositionData(uint8_t form, const TapePosition& p, bool endOfPartition) {
  // The first location is the host's position; the last is the next object
  // the drive will write from its buffer to the medium.
  const uint64_t last = p.object - p.bufferedObjects;
  const uint8_t flags = p.known ? static_cast<uint8_t>((p.beginningOfMedium ? 0x80 : 0) | (endOfPartition ? 0x40 : 0) |
                                                       (p.beyondEarlyWarning ? 0x01 : 0))
                                : 0;
  std::vector<uint8_t> d;
  if (form == 0x06) {  // long form
    d.assign(32, 0);
    d[0] = flags;
    if (!p.known) {
      d[0] |= 0x0C;  // MPU, LONU
    } else {
      putBe64(&d[8], p.object);
      putBe64(&d[16], p.file);
    }
  } else if (form == 0x08) {  // extended form
    d.assign(32, 0);
    d[0] = flags;
    putBe16(&d[2], 0x1C);
    putBe24(&d[5], static_cast<uint32_t>(std::min<uint64_t>(p.bufferedObjects, 0xFFFFFF)));
    if (!p.known) {
      d[0] |= 0x04;  // LOLU
    } else {
      putBe64(&d[8], p.object);
      putBe64(&d[16], last);
    }
    putBe64(&d[24], p.bufferedBytes);
  } else {  // short form; a block location beyond 32 bits is a position error
    d.assign(20, 0);
    d[0] = flags;
    if (!p.known) {
      d[0] |= 0x04;  // LOLU
    } else if (p.object > 0xFFFFFFFFull) {
      d[0] |= 0x02;  // PERR: the locations do not fit their fields and are not reported
    } else {
      putBe32(&d[4], static_cast<uint32_t>(p.object));
      putBe32(&d[8], static_cast<uint32_t>(last));
    }
    putBe24(&d[13], static_cast<uint32_t>(std::min<uint64_t>(p.bufferedObjects, 0xFFFFFF)));
    putBe32(&d[16], static_cast<uint32_t>(std::min<uint64_t>(p.bufferedBytes, 0xFFFFFFFF)));
  }
  return d;
}

void TapeDrive::Impl::readPosition(Exchange& x) {
  const uint8_t form = x.cdb[1] & 0x1F;
  if (form != 0x00 && form != 0x01 && form != 0x06 && form != 0x08) return check(x, invalidCdbField(1, 4));
  if (!loaded(x)) return;
  const bool endOfPartition = logicalBytesBefore(std::min(pos, logicalEndOfData())) >= medium->config().capacityBytes;
  std::vector<uint8_t> d = readPositionData(form, positionInfo(), endOfPartition);
  const std::size_t allocation = form == 0x08 ? be16(&x.cdb[7]) : d.size();
  sendData(x, std::move(d), allocation);
}

// The data from the position on is gone at once; a long erase then keeps the
// tape moving to the end of the partition for a while.
void TapeDrive::Impl::erase(Exchange& x) {
  const bool longErase = x.cdb[1] & 0x01;
  if (!loaded(x)) return;
  if (medium->writeProtected()) return check(x, kWriteProtected);
  if (positionLost(x)) return;
  medium->truncate(pos);
  if (longErase) startMotion(x, pos, cfg.motion.perCommand + cfg.motion.longErase);
}

void TapeDrive::Impl::verify(Exchange& x) {
  const bool vte = x.cdb[1] & 0x20;
  const bool byteCompare = x.cdb[1] & 0x02;
  const bool fixed = x.cdb[1] & 0x01;
  if (byteCompare) return check(x, invalidCdbField(1, 1));
  if (!loaded(x)) return;
  if (positionLost(x)) return;
  if (vte) {
    // Every object up to EOD is checked; stored CRCs always match their data,
    // so protection-method verification (VLBPM) passes as well.
    pos = medium->endOfData();
    return;
  }
  readBlocks(x, false, fixed, false, be24(&x.cdb[2]), false);
}

// With a load or unload time the cartridge takes that long to thread or unthread;
// IMMED returns once the command is accepted, otherwise the caller waits.
void TapeDrive::Impl::loadUnload(Exchange& x) {
  const bool immediate = x.cdb[1] & 0x01;
  const bool load = x.cdb[4] & 0x01;
  const bool eot = x.cdb[4] & 0x04;
  if (load && eot) return check(x, invalidCdbField(4, 2));
  if (state == MediumState::Absent) return check(x, makeSense(sense_key::kNotReady, 0x3A, 0x00));
  auto takeTime = [&](bool loadIt) {
    startLoad(x.id, loadIt, !immediate, false);
    if (loading && loading->waited) x.awaitMotion = loading->serial;
  };
  if (load) {
    if (state == MediumState::Unloaded) return takeTime(true);
    pos = 0;
    positionKnown = true;
    return;
  }
  const bool prevented = std::any_of(initiators.begin(), initiators.end(),
                                     [](const Initiator& i) { return i.preventRemoval; });
  if (prevented) return check(x, makeSense(sense_key::kIllegalRequest, 0x53, 0x02));
  pos = 0;
  positionKnown = true;
  if (state == MediumState::Loaded) takeTime(false);
}

void TapeDrive::Impl::preventAllow(Exchange& x) {
  const uint8_t prevent = x.cdb[4] & 0x03;
  if (prevent > 1) return check(x, invalidCdbField(4, 1));
  x.ini.preventRemoval = prevent == 1;
}

}  // namespace sim::hw
