// The answer to reset (ISO/IEC 7816-3) decoded into its parts, and the texts
// readertest and readerscript print for it. Plain functions, no system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace carddecode {

enum class Convention { kDirect, kInverse, kUnknown };  // TS 3B, 3F, anything else
// Absent: only T=0 offered; missing: the ATR is cut before it.
enum class Tck { kAbsent, kGood, kWrong, kMissing };

// Interface byte names hold two digits: the chain of groups ends at TD99 (an
// ATR holds at most 33 bytes, so real ones never pass group 32).
constexpr unsigned kLastAtrGroup = 99;

struct InterfaceByte {
  char name[5];  // "TA1", "TD2", ... NUL-terminated
  uint8_t value;
};

struct Atr {
  bool complete;  // every byte the structure announces is present
  Convention convention;
  std::vector<InterfaceByte> interface;  // in the order received
  unsigned protocols;  // bit t set when T=t is offered (T=0 implied when TD1 is absent)
  std::vector<uint8_t> historical;  // those received (fewer than announced when cut short)
  unsigned historicalAnnounced;     // K from T0
  Tck tck;
  uint8_t tckValue;     // the TCK byte received (when present)
  uint8_t tckExpected;  // the value that makes the XOR of T0..TCK zero
  size_t extra;         // bytes after the ATR's end
  size_t length;        // bytes decoded
  uint8_t ts;           // TS as received (when length > 0)
  uint8_t t0;           // T0 as received (when length > 1): Y1 and K, for the texts
};

// Decodes an ATR as the reader hands it over (TS first). Never reads past
// count. TS is not checked before the rest is decoded: an unknown one only
// sets the convention to kUnknown. T=15 (global bytes) is no protocol, so it
// sets no bit in protocols, but like any T other than 0 it calls for a TCK.
// The chain of groups ends at group 99: what TD99 announces is not decoded.
Atr DecodeAtr(const uint8_t* bytes, size_t count);

// One line, no newline, e.g.
//   "ATR: direct convention, T=0, Fi=372 Di=1, 2 historical bytes, no TCK"
// naming the convention, the protocols, Fi/Di, N (when TC1 is present), the
// historical bytes and the TCK, then whether the ATR is cut short or
// followed by extra bytes.
std::string AtrSummary(const Atr& atr);

// The decoded ATR as lines (no newlines): TS, T0, each interface byte with
// its meaning, the protocols, the historical bytes, the TCK, and whether the
// ATR is cut short or followed by extra bytes.
std::vector<std::string> AtrDetails(const Atr& atr);

}  // namespace carddecode
