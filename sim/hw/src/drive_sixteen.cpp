// The 16-byte forms of the data commands: READ(16), WRITE(16), WRITE FILEMARKS(16) and
// SPACE(16). The first three name the logical object they start at; the drive moves there
// first when it stands elsewhere, then acts as the 6-byte form with the same flags and
// count. SPACE(16) carries a 64-bit count; this drive spaces at most 2^23 - 1 objects at
// once, as its 6-byte form does, and refuses more with ILLEGAL REQUEST.
#include "drive_impl.h"
#include "sense.h"

namespace sim::hw {

bool TapeDrive::Impl::isSixteenByteData(uint8_t op) {
  return op == opcode::kRead16 || op == opcode::kWrite16 || op == opcode::kWriteFilemarks16 ||
         op == opcode::kSpace16;
}

void TapeDrive::Impl::sixteen(Exchange& x) {
  const uint8_t op = x.cdb[0];
  uint8_t six[6] = {};
  std::optional<uint64_t> start;
  if (op == opcode::kSpace16) {
    if (x.cdb[12] != 0 || x.cdb[13] != 0) return check(x, invalidCdbField(12));  // no parameter list
    const auto count = static_cast<int64_t>(be64(&x.cdb[4]));
    if (count < -0x800000 || count > 0x7FFFFF) return check(x, invalidCdbField(4));
    six[0] = opcode::kSpace6;
    six[1] = x.cdb[1] & 0x0F;
    const auto c = static_cast<uint32_t>(count);
    six[2] = static_cast<uint8_t>(c >> 16);
    six[3] = static_cast<uint8_t>(c >> 8);
    six[4] = static_cast<uint8_t>(c);
  } else {
    if (x.cdb[3] != 0) return check(x, invalidCdbField(3));  // one partition only
    six[0] = op == opcode::kRead16 ? opcode::kRead6 : op == opcode::kWrite16 ? opcode::kWrite6 : opcode::kWriteFilemarks6;
    six[1] = static_cast<uint8_t>(x.cdb[1] & (op == opcode::kWrite16 ? 0x01 : 0x03));
    six[2] = x.cdb[12];
    six[3] = x.cdb[13];
    six[4] = x.cdb[14];
    start = be64(&x.cdb[4]);
  }
  Exchange y{x.id, x.ini, std::span<const uint8_t>(six, sizeof six), x.cmd, x.res, x.injected};
  if (start) {
    // Unit attentions, reservations and motion are checked as for the 6-byte form, then
    // the drive moves to the named object when it is not there already.
    if (!admit(y)) return;
    if (!loaded(y)) return;
    if (positionInfo().object != *start) {
      flush();
      locateTo(y, *start);
      if (y.failed()) return;
    }
    perform(y);
  } else {
    dispatch(y);
  }
  x.awaitMotion = y.awaitMotion;
}

}  // namespace sim::hw
