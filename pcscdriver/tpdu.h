// An application's APDU as this reader's T=0 commands carry it. The reader
// takes TPDUs: an APDU command (header and P3 data bytes) or an APDU request
// (header, P3 the length asked for). GET RESPONSE after 61xx and the resend
// after 6Cxx are left to the application, as with every TPDU-level T=0 reader.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace pcscdriver {

enum class ApduCase { kRefused, kCase1, kCase2, kCase3, kCase4 };

struct Tpdu {
  ApduCase apduCase = ApduCase::kRefused;
  bool request = false;  // an APDU request; else an APDU command
  uint8_t bytes[5 + 255] = {};
  size_t length = 0;
  const char* why = "";  // why it was refused
};

// Case 1 (CLA INS P1 P2): a command with P3 = 00 added. Case 2 (header and
// Le): a request. Case 3 (header, Lc, Lc bytes): a command. Case 4 (case 3
// and Le): a command without the Le byte. Shorter than 4 bytes, extended
// length (Lc = 00 with more bytes after it) or an Lc that disagrees with the
// length: refused, and nothing is to be sent.
Tpdu MapApdu(const uint8_t* apdu, size_t length);

}  // namespace pcscdriver
