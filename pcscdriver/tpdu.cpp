// Mapping an application's APDU to the reader's T=0 commands (tpdu.h).
#include "pcscdriver/tpdu.h"

#include <string.h>

namespace pcscdriver {

namespace {

enum : size_t { kHeader = 4, kWithP3 = 5 };

Tpdu Refused(const char* why) {
  Tpdu tpdu;
  tpdu.why = why;
  return tpdu;
}

Tpdu Made(ApduCase apduCase, bool request, const uint8_t* apdu, size_t length) {
  Tpdu tpdu;
  tpdu.apduCase = apduCase;
  tpdu.request = request;
  memcpy(tpdu.bytes, apdu, length);
  tpdu.length = length;
  return tpdu;
}

}  // namespace

Tpdu MapApdu(const uint8_t* apdu, size_t length) {
  if (apdu == nullptr || length < kHeader) return Refused("shorter than an APDU header");
  if (length == kHeader) {
    Tpdu tpdu = Made(ApduCase::kCase1, false, apdu, kHeader);
    tpdu.bytes[kHeader] = 0;  // P3 = 00: no data
    tpdu.length = kWithP3;
    return tpdu;
  }
  if (length == kWithP3) return Made(ApduCase::kCase2, true, apdu, kWithP3);
  const size_t lc = apdu[4];
  if (lc == 0) return Refused("extended length: T=0 carries at most 255 bytes of data");
  if (length == kWithP3 + lc) return Made(ApduCase::kCase3, false, apdu, length);
  if (length == kWithP3 + lc + 1) return Made(ApduCase::kCase4, false, apdu, kWithP3 + lc);
  return Refused("its length disagrees with its Lc byte");
}

}  // namespace pcscdriver
