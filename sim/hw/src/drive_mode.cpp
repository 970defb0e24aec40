// Identification (INQUIRY and its vital product data pages), REQUEST SENSE,
// READ BLOCK LIMITS, mode parameters and the vendor-unique private settings.
//
// Mode parameters: the block descriptor's block length (0 = variable-length
// blocks), the header's buffered mode, the data compression page (0x0F) and the
// control data protection page (0x0A, subpage 0xF0). They are the drive's, or
// each initiator's, as DriveConfig::modePages says; VPD page 0x87 reports which.
#include <algorithm>
#include <cstring>

#include "drive_impl.h"
#include "identity.h"

namespace sim::hw {
namespace {

constexpr uint8_t kPageCompression = 0x0F;
constexpr uint8_t kPageControl = 0x0A;
constexpr uint8_t kSubpageProtection = 0xF0;
constexpr uint8_t kPageAll = 0x3F;
constexpr uint8_t kAllSubpages = 0xFF;
constexpr uint8_t kLbpMethodCrc32c = 0x02;

constexpr uint8_t kVpdSupportedPages = 0x00;
constexpr uint8_t kVpdModePagePolicy = 0x87;

enum class PageControl : uint8_t { Current = 0, Changeable = 1, Default = 2, Saved = 3 };

// VPD page 0x87: one descriptor per mode page the drive has, each with the same policy
// (00b shared, 11b per I_T nexus; MLUS clear: this logical unit's alone).
std::vector<uint8_t> modePagePolicyPage(uint8_t peripheral, ModePagePolicy policy) {
  const uint8_t bits = policy == ModePagePolicy::Shared ? 0x00 : 0x03;
  const std::pair<uint8_t, uint8_t> pages[] = {{kPageControl, kSubpageProtection}, {kPageCompression, 0x00}};
  std::vector<uint8_t> d = {peripheral, kVpdModePagePolicy, 0x00, 0x00};
  for (const auto& [page, subpage] : pages) d.insert(d.end(), {page, subpage, bits, 0x00});
  putBe16(&d[2], static_cast<uint32_t>(d.size() - 4));
  return d;
}

std::vector<uint8_t> compressionPage(const ModeParameters& ini, PageControl pc) {
  std::vector<uint8_t> p(16, 0);
  p[0] = kPageCompression;
  p[1] = 0x0E;
  if (pc == PageControl::Changeable) {
    p[2] = 0x80;  // DCE
    return p;
  }
  const bool on = pc == PageControl::Default ? true : ini.compression;
  p[2] = static_cast<uint8_t>((on ? 0x80 : 0) | 0x40);  // DCE, DCC (compression capable)
  p[3] = 0x80;                                          // DDE
  putBe32(&p[4], 0x00000001);                           // compression algorithm
  putBe32(&p[8], 0x00000001);                           // decompression algorithm
  return p;
}

std::vector<uint8_t> protectionPage(const ModeParameters& ini, PageControl pc) {
  std::vector<uint8_t> p(32, 0);
  p[0] = 0x40 | kPageControl;  // SPF: subpage format
  p[1] = kSubpageProtection;
  putBe16(&p[2], 0x1C);
  if (pc == PageControl::Changeable) {
    p[4] = 0xFF;
    p[5] = 0x3F;
    p[6] = 0xE0;
    return p;
  }
  if (pc == PageControl::Default) return p;
  p[4] = ini.lbp.method;
  p[5] = ini.lbp.length & 0x3F;
  p[6] = static_cast<uint8_t>((ini.lbp.write ? 0x80 : 0) | (ini.lbp.read ? 0x40 : 0) | (ini.lbp.rbdp ? 0x20 : 0));
  return p;
}

}  // namespace

void TapeDrive::Impl::inquiry(Exchange& x) {
  // A sequential-access device with logical block protection (PROTECT) and command queuing (CMDQUE).
  constexpr uint8_t kPeripheral = 0x01;
  const bool evpd = (x.cdb[1] & 0x03) == 0x01;  // and not CMDDT
  std::vector<uint8_t> d;
  Sense error;
  if (evpd && x.cdb[2] == kVpdModePagePolicy) {
    d = modePagePolicyPage(kPeripheral, cfg.modePages);
  } else if (!inquiryData(x.cdb, InquiryShape{kPeripheral, 0x01, 0x02}, cfg.identity, wwnn, x.ini.targetPort, &d,
                          &error)) {
    return check(x, error);
  } else if (evpd && x.cdb[2] == kVpdSupportedPages) {
    d.push_back(kVpdModePagePolicy);  // the list is in ascending order, and 0x87 comes last
    d[3] = static_cast<uint8_t>(d.size() - 4);
  }
  sendData(x, std::move(d), be16(&x.cdb[3]));
}

void TapeDrive::Impl::requestSense(Exchange& x) {
  if (x.cdb[1] & 0x01) return check(x, invalidCdbField(1, 0));  // descriptor format not supported
  Sense s;
  settleMotion();
  if (auto ua = x.ini.unitAttentions.take()) {
    s = ua->sense();
  } else if (auto d = takeDeferred(x.id)) {
    s = *d;
  } else if (loading) {
    // How far the cartridge has come, in 65536ths.
    const auto total = (loading->end - loading->start).count();
    const auto elapsed = (now() - loading->start).count();
    const auto progress = total > 0 ? static_cast<uint16_t>(std::min<int64_t>(elapsed * 65536 / total, 65535)) : 0;
    s = progressSense(0x04, loading->load ? 0x01 : 0x07, progress);
    s.key = sense_key::kNotReady;
  } else if (state != MediumState::Loaded) {
    s = makeSense(sense_key::kNotReady, 0x3A, 0x00);
  } else if (motion) {
    // How far the tape has come, in 65536ths.
    const auto total = (motion->end - motion->start).count();
    const auto elapsed = (now() - motion->start).count();
    const auto progress = total > 0 ? static_cast<uint16_t>(std::min<int64_t>(elapsed * 65536 / total, 65535)) : 0;
    uint8_t ascq = 0x16;  // operation in progress
    if (motion->opcode == opcode::kErase6) ascq = 0x18;
    if (motion->opcode == opcode::kLocate10 || motion->opcode == opcode::kLocate16) ascq = 0x19;
    if (motion->opcode == opcode::kRewind) ascq = 0x1A;
    s = progressSense(0x00, ascq, progress);
  }
  sendData(x, encodeSense(s), x.cdb[4]);
}

void TapeDrive::Impl::readBlockLimits(Exchange& x) {
  std::vector<uint8_t> d(6, 0);
  d[0] = cfg.limits.granularity & 0x1F;
  putBe24(&d[1], cfg.limits.maximum);
  putBe16(&d[4], cfg.limits.minimum);
  sendData(x, std::move(d), 6);
}

void TapeDrive::Impl::modeSense(Exchange& x, bool ten) {
  const bool dbd = x.cdb[1] & 0x08;
  const auto pc = static_cast<PageControl>(x.cdb[2] >> 6);
  const uint8_t page = x.cdb[2] & 0x3F;
  const uint8_t subpage = x.cdb[3];
  const std::size_t allocation = ten ? be16(&x.cdb[7]) : x.cdb[4];
  if (pc == PageControl::Saved) return check(x, makeSense(sense_key::kIllegalRequest, 0x39, 0x00));

  const ModeParameters& current = mode(x.ini);
  std::vector<uint8_t> pages;
  auto add = [&](const std::vector<uint8_t>& p) { pages.insert(pages.end(), p.begin(), p.end()); };
  if (page == kPageCompression && subpage == 0) {
    add(compressionPage(current, pc));
  } else if (page == kPageControl && (subpage == kSubpageProtection || subpage == kAllSubpages)) {
    add(protectionPage(current, pc));
  } else if (page == kPageAll && (subpage == 0 || subpage == kAllSubpages)) {
    add(compressionPage(current, pc));
    if (subpage == kAllSubpages) add(protectionPage(current, pc));
  } else {
    return check(x, invalidCdbField(2));
  }

  std::vector<uint8_t> descriptor;
  if (!dbd) {
    descriptor.assign(8, 0);
    uint32_t length = current.blockLength;
    if (pc == PageControl::Changeable) length = 0xFFFFFF;
    if (pc == PageControl::Default) length = cfg.defaultBlockLength;
    descriptor[0] = (pc == PageControl::Current && state == MediumState::Loaded) ? cfg.densityCode : 0;
    putBe24(&descriptor[5], length);
  }
  const bool writeProtected = state == MediumState::Loaded && medium->writeProtected();
  const uint8_t deviceSpecific = static_cast<uint8_t>((writeProtected ? 0x80 : 0) | (current.bufferedMode << 4));

  std::vector<uint8_t> d(ten ? 8 : 4, 0);
  if (ten) {
    d[3] = deviceSpecific;
    putBe16(&d[6], static_cast<uint32_t>(descriptor.size()));
  } else {
    d[2] = deviceSpecific;
    d[3] = static_cast<uint8_t>(descriptor.size());
  }
  d.insert(d.end(), descriptor.begin(), descriptor.end());
  d.insert(d.end(), pages.begin(), pages.end());
  if (ten)
    putBe16(&d[0], static_cast<uint32_t>(d.size() - 2));
  else
    d[0] = static_cast<uint8_t>(d.size() - 1);
  sendData(x, std::move(d), allocation);
}

void TapeDrive::Impl::modeSelect(Exchange& x, bool ten) {
  const std::size_t length = ten ? be16(&x.cdb[7]) : x.cdb[4];
  if (x.cdb[1] & 0x01) return check(x, invalidCdbField(1, 0));  // saving pages is not supported
  if (length == 0) return;
  // The parameter list comes in its data-out phase before the drive looks at it: a list it rejects
  // has been transferred all the same, as the initiator's transfer count shows.
  x.res.dataOutTransferred = static_cast<uint32_t>(std::min(length, x.cmd.dataOut.size()));
  const Sense listLengthError = makeSense(sense_key::kIllegalRequest, 0x1A, 0x00);
  if (x.cmd.dataOut.size() < length) return check(x, listLengthError);
  const uint8_t* p = x.cmd.dataOut.data();
  const std::size_t header = ten ? 8 : 4;
  if (length < header) return check(x, listLengthError);
  const std::size_t descriptorLength = ten ? be16(&p[6]) : p[3];
  if (descriptorLength != 0 && descriptorLength != 8) return check(x, invalidParameterField(ten ? 7 : 3));
  if (header + descriptorLength > length) return check(x, listLengthError);

  // Validate everything first, then apply: a rejected list changes nothing.
  ModeParameters& current = mode(x.ini);
  ModeParameters next = current;
  // Buffered mode in the header: only a drive with a buffer can change it.
  const uint8_t bufferedMode = (p[ten ? 3 : 2] >> 4) & 0x07;
  if (cfg.buffered) {
    if (bufferedMode > 1) return check(x, invalidParameterField(ten ? 3 : 2, 6));
    next.bufferedMode = bufferedMode;
  }
  if (descriptorLength == 8) {
    const uint8_t* d = p + header;
    const uint8_t density = d[0];
    if (density != 0 && density != 0x7F && density != cfg.densityCode)
      return check(x, invalidParameterField(static_cast<unsigned>(header)));
    const uint32_t blockLength = be24(&d[5]);
    if (blockLength != 0 && (blockLength < cfg.limits.minimum || blockLength > cfg.limits.maximum))
      return check(x, invalidParameterField(static_cast<unsigned>(header + 5)));
    next.blockLength = blockLength;
  }
  std::size_t off = header + descriptorLength;
  while (off < length) {
    if (length - off < 2) return check(x, listLengthError);
    const uint8_t code = p[off] & 0x3F;
    const bool subpageFormat = p[off] & 0x40;
    std::size_t pageLength;
    std::size_t total;
    uint8_t subpage = 0;
    if (subpageFormat) {
      if (length - off < 4) return check(x, listLengthError);
      subpage = p[off + 1];
      pageLength = be16(&p[off + 2]);
      total = 4 + pageLength;
    } else {
      pageLength = p[off + 1];
      total = 2 + pageLength;
    }
    if (off + total > length) return check(x, listLengthError);
    const unsigned at = static_cast<unsigned>(off);
    if (code == kPageCompression && !subpageFormat) {
      if (pageLength != 0x0E) return check(x, invalidParameterField(at + 1));
      next.compression = p[off + 2] & 0x80;
    } else if (code == kPageControl && subpageFormat && subpage == kSubpageProtection) {
      if (pageLength != 0x1C) return check(x, invalidParameterField(at + 2));
      const uint8_t method = p[off + 4];
      const uint8_t piLength = p[off + 5] & 0x3F;
      const uint8_t flags = p[off + 6];
      if (method == 0) {
        // No protection: the protection information length and LBP_W/LBP_R
        // would describe transfers that cannot happen.
        if (piLength != 0) return check(x, invalidParameterField(at + 5));
        if (flags & 0xC0) return check(x, invalidParameterField(at + 6));
      } else if (method == kLbpMethodCrc32c) {
        if (piLength != 4) return check(x, invalidParameterField(at + 5));
      } else {
        return check(x, invalidParameterField(at + 4));
      }
      next.lbp = LbpSettings{method, piLength, (flags & 0x80) != 0, (flags & 0x40) != 0, (flags & 0x20) != 0};
    } else {
      return check(x, invalidParameterField(at));
    }
    off += total;
  }
  if (next == current) return;
  if (current.bufferedMode != 0 && next.bufferedMode == 0) flush();  // unbuffered from now on
  current = next;
  // Every other initiator's commands now run with these parameters too: each hears of it once.
  if (cfg.modePages == ModePagePolicy::Shared) postUnitAttentionToAll(kUaModeParametersChanged, x.id);
}

void TapeDrive::Impl::vendor(Exchange& x) {
  switch (x.cdb[0]) {
    case opcode::kVendorQueryAmu:
      return sendData(x, {x.ini.amu}, 1);
    case opcode::kVendorSetAmu:
      // 0xFF stands for "unknown" in the host's bookkeeping and is not a setting.
      if (x.cdb[2] == 0xFF) return check(x, invalidCdbField(2));
      x.ini.amu = x.cdb[2];
      return;
    case opcode::kVendorQueryDpfFlags: {
      std::vector<uint8_t> d(4);
      putBe32(d.data(), cfg.dpfFlags);
      return sendData(x, std::move(d), 4);
    }
    default:
      cfg.dpfFlags = be32(&x.cdb[2]);
      return;
  }
}

}  // namespace sim::hw
