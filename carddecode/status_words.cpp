// Status word texts by the classes of ISO/IEC 7816-4.
#include "carddecode/status_words.h"

#include <cstdio>

namespace carddecode {
namespace {

struct Named {
  uint16_t sw;
  const char* text;
};

// The status words named within their class.
const Named kNamed[] = {
    {0x6281, "part of returned data may be corrupted"},
    {0x6282, "end of file or record reached before reading Ne bytes"},
    {0x6283, "selected file deactivated"},
    {0x6284, "file control information not formatted as ISO 7816-4 says"},
    {0x6381, "file filled up by the last write"},
    {0x6581, "memory failure"},
    {0x6881, "logical channel not supported"},
    {0x6882, "secure messaging not supported"},
    {0x6981, "command incompatible with file structure"},
    {0x6982, "security status not satisfied"},
    {0x6983, "authentication method blocked"},
    {0x6984, "reference data not usable"},
    {0x6985, "conditions of use not satisfied"},
    {0x6986, "command not allowed (no current EF)"},
    {0x6A80, "incorrect parameters in the command data field"},
    {0x6A81, "function not supported"},
    {0x6A82, "file or application not found"},
    {0x6A83, "record not found"},
    {0x6A84, "not enough memory space in the file"},
    {0x6A86, "incorrect parameters P1-P2"},
    {0x6A88, "referenced data not found"},
};

// The class's text, then the named meaning of the status word after a colon.
std::string WithDetail(const char* classText, unsigned sw) {
  std::string text = classText;
  for (const Named& named : kNamed) {
    if (named.sw == sw) return text + ": " + named.text;
  }
  return text;
}

std::string Meaning(unsigned sw1, unsigned sw2) {
  const unsigned sw = sw1 << 8 | sw2;
  // SW2 00 stands for 256 where it is a length.
  const std::string length = std::to_string(sw2 == 0 ? 256 : sw2);
  switch (sw1) {
    case 0x61:
      return "more data: " + length + " bytes available";
    case 0x62:
      return WithDetail("warning, state unchanged", sw);
    case 0x63:
      if ((sw2 & 0xF0) == 0xC0)
        return "warning, state changed: counter " + std::to_string(sw2 & 0x0F);
      return WithDetail("warning, state changed", sw);
    case 0x64:
      return "execution error, state unchanged";
    case 0x65:
      return WithDetail("execution error, state changed", sw);
    case 0x66:
      return "security-related error";
    case 0x68:
      return WithDetail("CLA function not supported", sw);
    case 0x69:
      return WithDetail("command not allowed", sw);
    case 0x6A:
      return WithDetail("wrong parameters", sw);
    case 0x6C:
      return "wrong Le: exact length " + length;
  }
  switch (sw) {
    case 0x9000:
      return "normal processing";
    case 0x6700:
      return "wrong length";
    case 0x6B00:
      return "wrong parameters P1-P2";
    case 0x6D00:
      return "instruction not supported";
    case 0x6E00:
      return "class not supported";
    case 0x6F00:
      return "no precise diagnosis";
  }
  return (sw1 & 0xF0) == 0x90 ? "proprietary" : "unknown status";
}

}  // namespace

std::string StatusWordText(const uint8_t* answer, size_t count) {
  if (count < 2) return "no status word";
  const unsigned sw1 = answer[count - 2], sw2 = answer[count - 1];
  char hex[5];
  std::snprintf(hex, sizeof hex, "%02X%02X", sw1, sw2);
  return std::string(hex) + " " + Meaning(sw1, sw2);
}

}  // namespace carddecode
