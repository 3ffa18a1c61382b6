// Typed hex lines and the hex dump layout.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dump/hex_text.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Parses into a buffer pre-filled with 0xEE; `untouched` tells whether the
// buffer still holds only that after a failed parse.
struct Parsed {
  bool ok;
  Bytes bytes;
  bool untouched;
};

Parsed Parse(const std::string& line, size_t capacity) {
  std::vector<unsigned char> buffer(capacity + 8, 0xEE);
  size_t count = 12345;
  Parsed result;
  result.ok = ParseHexLine(line.data(), line.size(), buffer.data(), capacity, &count);
  result.untouched = Bytes(buffer.size(), 0xEE) == buffer;
  if (result.ok) {
    result.bytes.assign(buffer.begin(), buffer.begin() + count);
    for (size_t i = count; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << "byte " << i;
  } else {
    EXPECT_EQ(count, 12345u) << "count stored on failure";
  }
  return result;
}

TEST(ParseHexLine, AcceptsEverySpellingOfTheSameBytes) {
  const Bytes select = {0x00, 0xA4, 0x04, 0x00};
  for (const char* line : {"00 A4 04 00", "00A40400", "00a40400", "00A4 04 00", " 00\tA4  0400 ",
                           "\t\t00a4\t04\t00"}) {
    const Parsed parsed = Parse(line, 8);
    EXPECT_TRUE(parsed.ok) << line;
    EXPECT_EQ(parsed.bytes, select) << line;
  }
}

TEST(ParseHexLine, DecodesEveryDigit) {
  const Parsed parsed = Parse("0123456789abcdefABCDEF", 16);
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.bytes,
            (Bytes{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0xEF}));
}

TEST(ParseHexLine, RejectsBadLinesWithoutWriting) {
  for (const char* line : {"", "   ", "\t", "0", "00 A", "ABC", "00 A4 0", "0G", "00,A4", "00-A4",
                           "00\r", "0x10", "00 A4 04 00 zz", "\xC0\xC1"}) {
    const Parsed parsed = Parse(line, 8);
    EXPECT_FALSE(parsed.ok) << "[" << line << "]";
    EXPECT_TRUE(parsed.untouched) << "[" << line << "]";
  }
}

TEST(ParseHexLine, HoldsAtMostTheCapacity) {
  EXPECT_TRUE(Parse("01 02 03 04", 4).ok);
  EXPECT_EQ(Parse("01020304", 4).bytes.size(), 4u);
  const Parsed over = Parse("01 02 03 04 05", 4);
  EXPECT_FALSE(over.ok);
  EXPECT_TRUE(over.untouched);
  EXPECT_FALSE(Parse("01", 0).ok);
}

TEST(ParseHexLine, TakesALongLine) {
  std::string line;
  Bytes expected;
  for (int i = 0; i < 1024; ++i) {
    static const char kDigits[] = "0123456789ABCDEF";
    line += kDigits[i >> 4 & 0xF];
    line += kDigits[i & 0xF];
    line += ' ';
    expected.push_back(static_cast<unsigned char>(i));
  }
  const Parsed parsed = Parse(line, 1024);
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.bytes, expected);
  EXPECT_FALSE(Parse(line, 1023).ok);
}

std::string Line(const Bytes& bytes, unsigned long offset) {
  char line[kHexDumpLineSize];
  std::fill(line, line + sizeof line, '#');
  const size_t length = FormatHexDumpLine(bytes.data(), bytes.size(), offset, line);
  EXPECT_LT(length, kHexDumpLineSize);
  EXPECT_EQ(line[length], '\0');
  return std::string(line, length);
}

TEST(FormatHexDumpLine, FullLine) {
  Bytes bytes = {0x00, 0xA4, 0x04, 0x00, 0x07, 'A',  'b', 'z',
                 ' ',  '~',  0x7F, 0x80, 0xFF, 0x1F, '0', '9'};
  EXPECT_EQ(Line(bytes, 0x20),
            "0020  00 A4 04 00 07 41 62 7A 20 7E 7F 80 FF 1F 30 39  .....Abz ~....09\n");
}

TEST(FormatHexDumpLine, ShortLineKeepsTheColumns) {
  EXPECT_EQ(Line({0x90, 0x00, 'O', 'K'}, 0x10),
            "0010  90 00 4F 4B" + std::string(12 * 3, ' ') + "  ..OK\n");
  EXPECT_EQ(Line({'x'}, 0), "0000  78" + std::string(45, ' ') + "  x\n");
}

TEST(FormatHexDumpLine, OffsetGrowsPastFourDigits) {
  EXPECT_EQ(Line({0x01}, 0xFFF0).substr(0, 6), "FFF0  ");
  EXPECT_EQ(Line({0x01}, 0x10000).substr(0, 7), "10000  ");
  EXPECT_EQ(Line({0x01}, 0xFFFFFFF0ul).substr(0, 10), "FFFFFFF0  ");
}

TEST(FormatHexDumpLine, TakesNoMoreThanOneLineOfBytes) {
  EXPECT_EQ(Line(Bytes(40, 'a'), 0),
            "0000  61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61  aaaaaaaaaaaaaaaa\n");
}

}  // namespace
