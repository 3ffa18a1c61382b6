// DecodeAtr, AtrSummary and AtrDetails (carddecode/atr.cpp) over any bytes
// as an ATR. Checked for every input:
// - length + extra is the byte count, and bytes follow the ATR only when it
//   is complete;
// - the interface bytes are the bytes after T0 in order, named T[A-D]i with
//   groups rising, and the historical bytes come right after them, no more
//   than T0 announces (all of them when complete);
// - when complete, TS, T0, the interface bytes, the historical bytes and the
//   TCK (when present) make up exactly length bytes;
// - a TCK received is the ATR's last byte, and it is good exactly when the
//   XOR from T0 through it is zero; fixed to tckExpected it is good;
// - the first length bytes alone decode to the same record, with no extra;
// - the summary and every detail line are ASCII text, not empty, no newline.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "carddecode/atr.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using carddecode::Atr;
using carddecode::Tck;

// The bytes in a heap block of their exact size, so that ASan sees a read past them.
Atr DecodeCopy(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[size]);
  if (size != 0) std::memcpy(block.get(), data, size);
  return carddecode::DecodeAtr(block.get(), size);
}

bool Same(const Atr& a, const Atr& b) {
  if (a.interface.size() != b.interface.size()) return false;
  for (size_t i = 0; i < a.interface.size(); ++i) {
    if (std::strcmp(a.interface[i].name, b.interface[i].name) != 0) return false;
    if (a.interface[i].value != b.interface[i].value) return false;
  }
  return a.complete == b.complete && a.convention == b.convention && a.protocols == b.protocols &&
         a.historical == b.historical && a.historicalAnnounced == b.historicalAnnounced &&
         a.tck == b.tck && a.tckValue == b.tckValue && a.tckExpected == b.tckExpected &&
         a.extra == b.extra && a.length == b.length && a.ts == b.ts && a.t0 == b.t0;
}

void CheckText(const std::string& text) {
  FUZZ_CHECK(!text.empty());
  for (char c : text) FUZZ_CHECK(c >= 0x20 && c < 0x7F);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Atr atr = DecodeCopy(data, size);
  FUZZ_CHECK(atr.length + atr.extra == size);
  if (atr.extra != 0) FUZZ_CHECK(atr.complete);
  FUZZ_CHECK((atr.protocols >> 15) == 0);

  // Interface bytes: consecutive after T0, named by kind and rising group.
  unsigned lastGroup = 1;
  char lastKind = 'A' - 1;
  for (size_t i = 0; i < atr.interface.size(); ++i) {
    const carddecode::InterfaceByte& byte = atr.interface[i];
    FUZZ_CHECK(2 + i < atr.length && byte.value == data[2 + i]);
    FUZZ_CHECK(byte.name[0] == 'T' && byte.name[1] >= 'A' && byte.name[1] <= 'D');
    const unsigned group = static_cast<unsigned>(std::atoi(byte.name + 2));
    FUZZ_CHECK(std::to_string(group) == byte.name + 2);
    FUZZ_CHECK(group > lastGroup || (group == lastGroup && byte.name[1] > lastKind));
    lastGroup = group;
    lastKind = byte.name[1];
  }
  const size_t historicalAt = 2 + atr.interface.size();
  FUZZ_CHECK(atr.historical.size() <= atr.historicalAnnounced);
  for (size_t i = 0; i < atr.historical.size(); ++i) {
    FUZZ_CHECK(historicalAt + i < atr.length && atr.historical[i] == data[historicalAt + i]);
  }

  const bool tckPresent = atr.tck == Tck::kGood || atr.tck == Tck::kWrong;
  if (atr.complete) {
    FUZZ_CHECK(atr.historical.size() == atr.historicalAnnounced);
    FUZZ_CHECK(historicalAt + atr.historicalAnnounced + (tckPresent ? 1 : 0) == atr.length);
  }
  if (tckPresent) {
    FUZZ_CHECK(atr.tckValue == data[atr.length - 1]);
    uint8_t check = 0;
    for (size_t i = 1; i < atr.length; ++i) check ^= data[i];
    FUZZ_CHECK((check == 0) == (atr.tck == Tck::kGood));
    FUZZ_CHECK((atr.tckValue ^ check) == atr.tckExpected);
  }

  const Atr again = DecodeCopy(data, atr.length);
  Atr want = atr;
  want.extra = 0;
  FUZZ_CHECK(Same(again, want));

  if (atr.complete && atr.tck == Tck::kWrong) {
    std::vector<uint8_t> fixed(data, data + atr.length - 1);
    fixed.push_back(atr.tckExpected);
    const Atr good = DecodeCopy(fixed.data(), fixed.size());
    FUZZ_CHECK(good.complete && good.tck == Tck::kGood && good.length == atr.length);
  }

  CheckText(carddecode::AtrSummary(atr));
  const std::vector<std::string> lines = carddecode::AtrDetails(atr);
  FUZZ_CHECK(!lines.empty());
  for (const std::string& line : lines) CheckText(line);
  return 0;
}
