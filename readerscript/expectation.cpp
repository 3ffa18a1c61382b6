// Parsing and matching of expected answers.
#include "readerscript/expectation.h"

namespace readerscript {

namespace {

const char kDigits[] = "0123456789ABCDEF";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ByteMatches(const PatternByte& item, uint8_t byte) { return (byte & item.mask) == item.value; }

}  // namespace

bool ParsePattern(const std::string& text, Pattern* pattern, std::string* why) {
  pattern->clear();
  std::string digits;  // the hex digits and '?' of the byte being read
  for (char c : text) {
    if (c == ' ' || c == '\t') continue;
    if (c == '*') {
      if (!digits.empty()) {
        *why = "'*' inside a byte";
        return false;
      }
      // Two runs in a row match what one does.
      if (pattern->empty() || !pattern->back().anyRun) pattern->push_back({true, 0, 0});
      continue;
    }
    if (c != '?' && HexDigit(c) < 0) {
      *why = std::string("'") + c + "' is neither a hex digit, '?' nor '*'";
      return false;
    }
    digits += c;
    if (digits.size() < 2) continue;
    PatternByte item{false, 0, 0};
    for (int half = 0; half < 2; ++half) {
      const int shift = half == 0 ? 4 : 0;
      if (digits[half] == '?') continue;
      item.value = static_cast<uint8_t>(item.value | HexDigit(digits[half]) << shift);
      item.mask = static_cast<uint8_t>(item.mask | 0xF << shift);
    }
    pattern->push_back(item);
    digits.clear();
  }
  if (!digits.empty()) {
    *why = "an odd number of hex digits";
    return false;
  }
  if (pattern->empty()) *pattern = {{true, 0, 0}, {false, 0x90, 0xFF}, {false, 0x00, 0xFF}};
  return true;
}

bool Matches(const Pattern& pattern, const uint8_t* answer, size_t count) {
  // Glob matching with backtracking to the last run only: linear in practice
  // and never worse than pattern length times answer length.
  size_t p = 0, a = 0;
  size_t runAt = pattern.size(), runFrom = 0;
  while (a < count) {
    if (p < pattern.size() && pattern[p].anyRun) {
      runAt = p++;
      runFrom = a;
    } else if (p < pattern.size() && ByteMatches(pattern[p], answer[a])) {
      ++p;
      ++a;
    } else if (runAt < pattern.size()) {
      p = runAt + 1;
      a = ++runFrom;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p].anyRun) ++p;
  return p == pattern.size();
}

std::string PatternText(const Pattern& pattern) {
  std::string text = "=";
  for (const PatternByte& item : pattern) {
    if (text.size() > 1) text += ' ';
    if (item.anyRun) {
      text += '*';
      continue;
    }
    text += (item.mask & 0xF0) != 0 ? kDigits[item.value >> 4] : '?';
    text += (item.mask & 0x0F) != 0 ? kDigits[item.value & 0xF] : '?';
  }
  return text;
}

std::string HexText(const uint8_t* bytes, size_t count) {
  std::string text;
  text.reserve(count * 3);
  for (size_t i = 0; i < count; ++i) {
    if (i != 0) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

}  // namespace readerscript
