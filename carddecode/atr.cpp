// The ATR's structure: TS, T0, the chain of interface byte groups each TDi
// announces, K historical bytes, and the TCK when a T other than 0 is named.
#include "carddecode/atr.h"

#include <cstdio>

namespace carddecode {
namespace {

void SetName(char kind, unsigned group, char* name) {
  std::snprintf(name, sizeof(InterfaceByte::name), "T%c%u", kind, group);
}

}  // namespace

Atr DecodeAtr(const uint8_t* bytes, size_t count) {
  Atr atr{};
  atr.convention = Convention::kUnknown;
  atr.tck = Tck::kMissing;
  if (count == 0) return atr;
  atr.ts = bytes[0];
  if (atr.ts == 0x3B) atr.convention = Convention::kDirect;
  if (atr.ts == 0x3F) atr.convention = Convention::kInverse;
  size_t at = 1;
  bool chainKnown = false;  // every TDi announced has arrived
  bool tckDue = false;      // some TDi names a T other than 0
  uint8_t check = 0;        // XOR from T0 on
  if (at < count) {
    atr.t0 = bytes[at++];
    check = atr.t0;
    atr.historicalAnnounced = atr.t0 & 0x0F;
    uint8_t y = atr.t0;  // its high nibble: which of TAi..TDi follow
    for (unsigned group = 1;; ++group) {
      bool cut = false;
      for (unsigned k = 0; k < 4; ++k) {
        if (((y >> (4 + k)) & 1) == 0) continue;
        cut = at >= count;
        if (cut) break;
        InterfaceByte byte{};
        SetName("ABCD"[k], group, byte.name);
        byte.value = bytes[at++];
        check ^= byte.value;
        atr.interface.push_back(byte);
      }
      if (cut) break;
      if ((y & 0x80) == 0) {
        if (group == 1) atr.protocols |= 1;  // no TD1: T=0 only
        chainKnown = true;
        break;
      }
      y = atr.interface.back().value;
      const unsigned t = y & 0x0F;
      if (t != 15) atr.protocols |= 1u << t;  // T=15 only qualifies global bytes
      if (t != 0) tckDue = true;
      if (group == kLastAtrGroup) {
        chainKnown = true;
        break;
      }
    }
  }
  if (chainKnown) {
    while (atr.historical.size() < atr.historicalAnnounced && at < count) {
      atr.historical.push_back(bytes[at]);
      check ^= bytes[at++];
    }
    atr.tckExpected = check;
    if (!tckDue) {
      atr.tck = Tck::kAbsent;
    } else if (atr.historical.size() == atr.historicalAnnounced && at < count) {
      atr.tckValue = bytes[at++];
      atr.tck = atr.tckValue == atr.tckExpected ? Tck::kGood : Tck::kWrong;
    }
  }
  atr.complete =
      chainKnown && atr.historical.size() == atr.historicalAnnounced && atr.tck != Tck::kMissing;
  atr.length = at;
  atr.extra = count - at;
  return atr;
}

}  // namespace carddecode
