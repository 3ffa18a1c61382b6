// Hexadecimal text for typed byte strings and dumps.
#include "dump/hex_text.h"

namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

const char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

bool ParseHexLine(const char* text, size_t length, unsigned char* bytes, size_t capacity,
                  size_t* count) {
  // First pass: check the whole line and count, so that a bad line leaves the
  // caller's buffer as it was.
  size_t total = 0;
  size_t digitsInToken = 0;
  for (size_t i = 0; i < length; ++i) {
    if (IsBlank(text[i])) {
      if (digitsInToken % 2 != 0) return false;
      digitsInToken = 0;
    } else if (HexDigitValue(text[i]) >= 0) {
      ++digitsInToken;
      if (digitsInToken % 2 == 0) ++total;
    } else {
      return false;
    }
  }
  if (digitsInToken % 2 != 0 || total == 0 || total > capacity) return false;

  size_t stored = 0;
  int high = -1;
  for (size_t i = 0; i < length; ++i) {
    if (IsBlank(text[i])) continue;
    const int value = HexDigitValue(text[i]);
    if (high < 0) {
      high = value;
    } else {
      bytes[stored++] = static_cast<unsigned char>(high << 4 | value);
      high = -1;
    }
  }
  *count = stored;
  return true;
}

size_t FormatHexDumpLine(const unsigned char* bytes, size_t count, unsigned long offset,
                         char* line) {
  if (count > kHexDumpBytesPerLine) count = kHexDumpBytesPerLine;
  size_t n = 0;
  int digits = 4;
  while (digits < 8 && (offset >> (4 * digits)) != 0) ++digits;
  for (int d = digits - 1; d >= 0; --d) line[n++] = kHexDigits[(offset >> (4 * d)) & 0xF];
  line[n++] = ' ';
  for (size_t i = 0; i < kHexDumpBytesPerLine; ++i) {
    line[n++] = ' ';
    line[n++] = i < count ? kHexDigits[bytes[i] >> 4] : ' ';
    line[n++] = i < count ? kHexDigits[bytes[i] & 0xF] : ' ';
  }
  line[n++] = ' ';
  line[n++] = ' ';
  for (size_t i = 0; i < count; ++i) {
    line[n++] = bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
  }
  line[n++] = '\n';
  line[n] = '\0';
  return n;
}
