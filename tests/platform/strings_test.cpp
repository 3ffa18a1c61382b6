// LoadStringA over a table made from a resource script at build time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "tests/platform/test_strings.h"

namespace {

std::string Load(UINT id, int size = 256) {
  char buffer[256];
  std::memset(buffer, 'x', sizeof buffer);
  const int length = LoadStringA(nullptr, id, buffer, size);
  EXPECT_EQ(static_cast<size_t>(length), std::strlen(buffer));
  return buffer;
}

TEST(Strings, IdsByNameAndByNumber) {
  EXPECT_EQ("abc", Load(IDS_SHORT));
  EXPECT_EQ("by number", Load(42));
  EXPECT_EQ("a;b [c] {d} $e", Load(IDS_PUNCTUATION));
}

TEST(Strings, EscapesAndDoubledQuotesAreTheirCharacters) {
  EXPECT_EQ("tab\there\nand \"quoted\" \\ end", Load(IDS_ESCAPES));
}

TEST(Strings, TextsAreCodePage1251) { EXPECT_EQ("\xCF\xEE\xF0\xF2", Load(IDS_RUSSIAN)); }

TEST(Strings, TruncatedToTheBufferWithItsTerminator) {
  EXPECT_EQ("ab", Load(IDS_SHORT, 3));
  EXPECT_EQ("abc", Load(IDS_SHORT, 4));
  EXPECT_EQ("", Load(IDS_SHORT, 1));
  char buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(0, LoadStringA(nullptr, IDS_SHORT, buffer, 0));
  EXPECT_EQ('x', buffer[0]);  // no room, nothing written
  EXPECT_EQ(0, LoadStringA(nullptr, IDS_SHORT, nullptr, 10));
}

TEST(Strings, MissingIdGivesAnEmptyText) { EXPECT_EQ("", Load(3)); }

TEST(Strings, OnlyTheIdsLowWordCounts) { EXPECT_EQ("abc", Load(0x10000 | IDS_SHORT)); }

}  // namespace
