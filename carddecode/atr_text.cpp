// The ATR's texts: the one-line summary and the lines of its details.
#include <cstdio>
#include <cstdlib>

#include "carddecode/atr.h"

namespace carddecode {
namespace {

// Fi and the card's f max (MHz) by FI, Di by DI; 0 and null mark RFU values.
const unsigned kFi[16] = {372, 372, 558, 744,  1116, 1488, 1860, 0,
                          0,   512, 768, 1024, 1536, 2048, 0,    0};
const char* const kFmax[16] = {"4",     "5", "6",   "8",  "12", "16", "20",    nullptr,
                               nullptr, "5", "7.5", "10", "15", "20", nullptr, nullptr};
const unsigned kDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

std::string Hex(uint8_t byte) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

std::string Number(size_t value) { return std::to_string(value); }

std::string Count(size_t value, const char* thing) {
  return Number(value) + " " + thing + (value == 1 ? "" : "s");
}

const InterfaceByte* Find(const Atr& atr, const char* name) {
  for (const InterfaceByte& byte : atr.interface) {
    if (std::string(byte.name) == name) return &byte;
  }
  return nullptr;
}

std::string FiDiText(uint8_t ta1) {
  const unsigned fi = kFi[ta1 >> 4], di = kDi[ta1 & 0x0F];
  return (fi != 0 ? "Fi=" + Number(fi) : "Fi=RFU") + (di != 0 ? " Di=" + Number(di) : " Di=RFU");
}

std::string ProtocolList(unsigned protocols) {
  std::string text;
  for (unsigned t = 0; t < 16; ++t) {
    if ((protocols >> t) & 1) text += (text.empty() ? "T=" : " T=") + Number(t);
  }
  return text;
}

// "TA2 TD2" for the high nibble of T0 or of TD(group - 1).
std::string Announced(uint8_t y, unsigned group) {
  std::string text;
  for (unsigned k = 0; k < 4; ++k) {
    if ((y >> (4 + k)) & 1) {
      text += std::string(text.empty() ? "T" : " T") + "ABCD"[k] + Number(group);
    }
  }
  return text;
}

std::string Follow(const std::string& names) {
  return names + (names.find(' ') == std::string::npos ? " follows" : " follow");
}

std::string ConventionText(const Atr& atr) {
  switch (atr.convention) {
    case Convention::kDirect:
      return "direct convention";
    case Convention::kInverse:
      return "inverse convention";
    default:
      return "TS " + Hex(atr.ts) + " not a known convention";
  }
}

// What TDi says: the T of the next group and which of its bytes follow.
std::string TdMeaning(uint8_t value, unsigned group) {
  const unsigned t = value & 0x0F;
  const std::string next = Announced(value, group + 1);
  return "T=" + Number(t) + (t == 15 ? " (global bytes)" : "") + ", " +
         (next.empty()             ? "no more interface bytes"
          : group == kLastAtrGroup ? next + " not decoded (too many groups)"
                                   : Follow(next));
}

std::string FirstGroupMeaning(char kind, uint8_t value) {
  if (kind == 'A') {
    const char* fmax = kFmax[value >> 4];
    return FiDiText(value) + (fmax != nullptr ? ", f max " + std::string(fmax) + " MHz" : "");
  }
  if (kind == 'B') {
    return value == 0 ? "no programming voltage (deprecated)"
                      : "programming voltage PI1=" + Number(value & 0x1F) +
                            " II=" + Number((value >> 5) & 3) + " (deprecated)";
  }
  return "extra guard time N=" + Number(value) + (value == 255 ? " (minimum guard time)" : "");
}

std::string SecondGroupMeaning(char kind, uint8_t value) {
  if (kind == 'A') {
    return "specific mode T=" + Number(value & 0x0F) +
           ((value & 0x80) != 0 ? ", cannot change mode" : ", can change mode") +
           ((value & 0x10) != 0 ? ", implicit Fi Di" : ", Fi Di from TA1");
  }
  if (kind == 'B') return "programming voltage PI2=" + Number(value) + " (deprecated)";
  return "work waiting integer WI=" + Number(value) + " for T=0" + (value == 0 ? " (RFU)" : "");
}

// Groups 3 on: their meaning depends on the T the TD before them named.
std::string LaterGroupMeaning(char kind, unsigned t, uint8_t value) {
  if (t == 1) {
    if (kind == 'A') {
      return "IFSC " + Number(value) + " bytes" + (value == 0 || value == 255 ? " (RFU)" : "");
    }
    if (kind == 'B') return "BWI=" + Number(value >> 4) + " CWI=" + Number(value & 0x0F);
    return std::string("error detection ") + ((value & 1) != 0 ? "CRC" : "LRC") +
           ((value & 0xFE) != 0 ? " (other bits RFU)" : "");
  }
  if (t == 15) {
    if (kind == 'A') {
      static const char* const kClockStop[4] = {"not supported", "state L", "state H",
                                                "no preference"};
      std::string classes;
      for (unsigned bit = 0; bit < 6; ++bit) {
        if ((value >> bit) & 1) classes += std::string(" ") + "ABCDEF"[bit];
      }
      return "global: clock stop " + std::string(kClockStop[value >> 6]) + ", class" +
             (classes.empty() ? " none" : classes);
    }
    if (kind == 'B') {
      if (value == 0) return "global: contact C6 not used";
      return (value & 0x80) != 0 ? "global: proprietary use of contact C6"
                                 : "global: standard use of contact C6";
    }
    return "global, RFU";
  }
  if (t == 0) return "RFU for T=0";
  return "specific to T=" + Number(t);
}

}  // namespace

std::string AtrSummary(const Atr& atr) {
  if (atr.length == 0) return "ATR: no bytes";
  std::string text = "ATR: " + ConventionText(atr);
  if (atr.protocols != 0) text += ", " + ProtocolList(atr.protocols);
  const InterfaceByte* ta1 = Find(atr, "TA1");
  if (ta1 != nullptr) {
    text += ", " + FiDiText(ta1->value);
  } else if (atr.length > 1 && (atr.t0 & 0x10) == 0) {
    text += ", Fi=372 Di=1";
  }
  if (const InterfaceByte* tc1 = Find(atr, "TC1")) text += ", N=" + Number(tc1->value);
  if (atr.length > 1) {
    text += ", ";
    if (atr.historical.size() < atr.historicalAnnounced)
      text += Number(atr.historical.size()) + " of ";
    text += Count(atr.historicalAnnounced, "historical byte");
  }
  switch (atr.tck) {
    case Tck::kAbsent:
      text += ", no TCK";
      break;
    case Tck::kGood:
      text += ", TCK correct";
      break;
    case Tck::kWrong:
      text += ", TCK wrong (" + Hex(atr.tckValue) + ", expected " + Hex(atr.tckExpected) + ")";
      break;
    case Tck::kMissing:
      text += ", TCK missing";
      break;
  }
  if (!atr.complete) text += ", cut short after " + Count(atr.length, "byte");
  if (atr.extra != 0) text += ", " + Count(atr.extra, "extra byte") + " after it";
  return text;
}

std::vector<std::string> AtrDetails(const Atr& atr) {
  std::vector<std::string> lines;
  if (atr.length == 0) return {"no ATR bytes"};
  lines.push_back("TS " + Hex(atr.ts) + ": " +
                  (atr.convention == Convention::kUnknown ? "not a known convention (3B, 3F)"
                                                          : ConventionText(atr)));
  if (atr.length > 1) {
    const std::string first = Announced(atr.t0, 1);
    lines.push_back("T0 " + Hex(atr.t0) + ": " +
                    (first.empty() ? "no interface bytes" : Follow(first)) + ", " +
                    Count(atr.historicalAnnounced, "historical byte"));
    if ((atr.t0 & 0x10) == 0) lines.push_back("no TA1: Fi=372 Di=1 (default)");
  }
  unsigned t = 0;  // named by the last TD
  for (const InterfaceByte& byte : atr.interface) {
    const char kind = byte.name[1];
    const unsigned group = static_cast<unsigned>(std::atoi(byte.name + 2));
    std::string meaning;
    if (kind == 'D') {
      meaning = TdMeaning(byte.value, group);
      t = byte.value & 0x0F;
    } else if (group == 1) {
      meaning = FirstGroupMeaning(kind, byte.value);
    } else if (group == 2) {
      meaning = SecondGroupMeaning(kind, byte.value);
    } else {
      meaning = LaterGroupMeaning(kind, t, byte.value);
    }
    lines.push_back(std::string(byte.name) + " " + Hex(byte.value) + ": " + meaning);
  }
  if (atr.protocols != 0) {
    const bool implied = atr.length > 1 && (atr.t0 & 0x80) == 0;
    lines.push_back("protocols: " + ProtocolList(atr.protocols) + (implied ? " (no TD1)" : ""));
  }
  if (atr.length > 1) {
    std::string hex, ascii;
    for (uint8_t byte : atr.historical) {
      hex += " " + Hex(byte);
      ascii += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
    }
    if (atr.historical.empty()) {
      lines.push_back(atr.historicalAnnounced == 0 ? "no historical bytes"
                                                   : "no historical bytes received");
    } else {
      const bool cut = atr.historical.size() < atr.historicalAnnounced;
      lines.push_back("historical bytes" +
                      (cut ? " (" + Number(atr.historical.size()) + " received)" : "") + ":" + hex +
                      " \"" + ascii + "\"");
      const uint8_t category = atr.historical[0];
      const char* kind = category == 0x00   ? "compact-TLV, status in the last three bytes"
                         : category == 0x10 ? "compact-TLV, DIR data reference next"
                         : category == 0x80 ? "compact-TLV"
                                            : "proprietary";
      lines.push_back("category indicator " + Hex(category) + ": " + kind);
    }
  }
  switch (atr.tck) {
    case Tck::kAbsent:
      lines.push_back("no TCK (only T=0 offered)");
      break;
    case Tck::kGood:
      lines.push_back("TCK " + Hex(atr.tckValue) + ": correct");
      break;
    case Tck::kWrong:
      lines.push_back("TCK " + Hex(atr.tckValue) + ": wrong, expected " + Hex(atr.tckExpected));
      break;
    case Tck::kMissing:
      lines.push_back("TCK missing");
      break;
  }
  if (!atr.complete) {
    lines.push_back("cut short after " + Count(atr.length, "byte") + ": more are announced");
  }
  if (atr.extra != 0) lines.push_back(Count(atr.extra, "extra byte") + " after the ATR");
  return lines;
}

}  // namespace carddecode
