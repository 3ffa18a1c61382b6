// Expected answers: hex bytes in which '?' matches any hex digit and '*' any
// run of bytes (none included), as in "=61??" or "=* 90 00".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace readerscript {

struct PatternByte {
  bool anyRun;    // '*': any number of bytes
  uint8_t value;  // the bits that must match
  uint8_t mask;   // which bits must match (0xF0 for "6?", 0 for "??")
};

using Pattern = std::vector<PatternByte>;

// The text after the '=' (blanks anywhere are ignored); an empty text means
// "* 90 00". False with the reason when the text is not a pattern.
bool ParsePattern(const std::string& text, Pattern* pattern, std::string* why);

// Whether the answer matches the pattern whole.
bool Matches(const Pattern& pattern, const uint8_t* answer, size_t count);

// The pattern written plainly: "=* 90 00", "=61 ??".
std::string PatternText(const Pattern& pattern);

// Bytes as upper-case hex separated by single blanks.
std::string HexText(const uint8_t* bytes, size_t count);

}  // namespace readerscript
