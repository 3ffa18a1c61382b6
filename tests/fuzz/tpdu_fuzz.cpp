// MapApdu (pcscdriver/tpdu.cpp): any bytes an application hands pcscd as an
// APDU. Checked for every input:
// - refused exactly when shorter than 4 bytes, extended (Lc = 00 and more
//   bytes), or of a length that its Lc byte does not give; a refusal says why;
// - otherwise the case by the length, and what goes to the reader is what the
//   reader's length rule takes: a request of 5 bytes, or a command of the
//   header and P3 data bytes, at most 260;
// - the bytes sent are the APDU's (case 1 with P3 = 00 added, case 4 without Le).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "pcscdriver/tpdu.h"
#include "tests/fuzz/fuzz_check.h"

using pcscdriver::ApduCase;
using pcscdriver::Tpdu;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // In a heap block of their exact size, so that ASan sees a read past them.
  std::unique_ptr<uint8_t[]> apdu(new uint8_t[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(apdu.get(), data, size);
  const Tpdu tpdu = pcscdriver::MapApdu(size != 0 ? apdu.get() : nullptr, size);

  const size_t lc = size > 4 ? data[4] : 0;
  const bool refused =
      size < 4 || (size > 5 && lc == 0) || (size > 5 && size != 5 + lc && size != 6 + lc);
  FUZZ_CHECK((tpdu.apduCase == ApduCase::kRefused) == refused);
  if (refused) {
    FUZZ_CHECK(tpdu.why != nullptr && tpdu.why[0] != '\0' && tpdu.length == 0);
    return 0;
  }
  const ApduCase expected = size == 4        ? ApduCase::kCase1
                            : size == 5      ? ApduCase::kCase2
                            : size == 5 + lc ? ApduCase::kCase3
                                             : ApduCase::kCase4;
  FUZZ_CHECK(tpdu.apduCase == expected);
  FUZZ_CHECK(tpdu.request == (expected == ApduCase::kCase2));
  FUZZ_CHECK(tpdu.length == (tpdu.request ? 5u : 5u + tpdu.bytes[4]));
  FUZZ_CHECK(tpdu.length <= sizeof tpdu.bytes);
  const size_t copied = size == 4 ? 4 : tpdu.length;
  FUZZ_CHECK(std::memcmp(tpdu.bytes, data, copied) == 0);
  if (size == 4) FUZZ_CHECK(tpdu.bytes[4] == 0);
  return 0;
}
