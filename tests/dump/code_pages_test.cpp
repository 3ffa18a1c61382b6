// The code page tables and UTF-8 against glibc's iconv.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "dump/code_pages.h"

namespace {

// `bytes` converted by iconv; false when iconv has no conversion for them.
bool Iconv(const char* from, const char* to, const std::string& bytes, std::string* out) {
  iconv_t convert = iconv_open(to, from);
  if (convert == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "iconv cannot convert " << from << " to " << to;
    return false;
  }
  std::string input = bytes;
  char buffer[64];
  char* in = &input[0];
  size_t inLeft = input.size();
  char* outAt = buffer;
  size_t outLeft = sizeof buffer;
  const size_t done = iconv(convert, &in, &inLeft, &outAt, &outLeft);
  iconv_close(convert);
  if (done == static_cast<size_t>(-1) || inLeft != 0) return false;
  out->assign(buffer, outAt);
  return true;
}

std::string Utf8Of(unsigned character) {
  char bytes[kUtf8CharacterMax];
  return std::string(bytes, EncodeUtf8(character, bytes));
}

std::string Utf32Of(unsigned character) {
  std::string bytes;
  for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(character >> shift);
  return bytes;
}

std::string Hex(unsigned value) {
  char text[16];
  snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

TEST(CodePages, AsciiIsTheSameInBoth) {
  for (unsigned byte = 0; byte < 0x80; ++byte) {
    EXPECT_EQ(UnicodeOfByte(static_cast<unsigned char>(byte), 1251), byte);
    EXPECT_EQ(UnicodeOfByte(static_cast<unsigned char>(byte), 866), byte);
  }
}

TEST(CodePages, Table1251IsIconvsWithWindowsPassingTheUndefinedByteThrough) {
  std::vector<unsigned> undefined;
  for (unsigned byte = 0x80; byte <= 0xFF; ++byte) {
    const unsigned character = UnicodeOfByte(static_cast<unsigned char>(byte), 1251);
    std::string expected;
    if (Iconv("CP1251", "UTF-8", std::string(1, static_cast<char>(byte)), &expected)) {
      EXPECT_EQ(Utf8Of(character), expected) << "byte " << Hex(byte);
    } else {
      undefined.push_back(byte);
      EXPECT_EQ(character, byte) << "byte " << Hex(byte);
    }
  }
  EXPECT_EQ(undefined, std::vector<unsigned>{0x98});
}

TEST(CodePages, Table866IsIconvs) {
  for (unsigned byte = 0x80; byte <= 0xFF; ++byte) {
    std::string expected;
    ASSERT_TRUE(Iconv("CP866", "UTF-8", std::string(1, static_cast<char>(byte)), &expected))
        << "byte " << Hex(byte);
    EXPECT_EQ(Utf8Of(UnicodeOfByte(static_cast<unsigned char>(byte), 866)), expected)
        << "byte " << Hex(byte);
  }
}

TEST(CodePages, EveryByteOf1251ComesBack) {
  for (unsigned byte = 0; byte <= 0xFF; ++byte) {
    EXPECT_EQ(CodePage1251Of(UnicodeOfByte(static_cast<unsigned char>(byte), 1251)), byte)
        << "byte " << Hex(byte);
  }
}

// Characters into 1251 as iconv has them, and '?' for those it lacks, over
// the ranges 1251's characters come from.
TEST(CodePages, CharactersInto1251AsIconvHasThem) {
  std::vector<unsigned> characters;
  for (unsigned c = 0x80; c < 0x500; ++c) characters.push_back(c);
  for (unsigned c = 0x2000; c < 0x2200; ++c) characters.push_back(c);
  for (unsigned c : {0x4E2Du, 0xFFFDu, 0x1F600u}) characters.push_back(c);
  for (const unsigned c : characters) {
    if (c == 0x98) continue;  // Windows' own: back to 0x98, see above
    std::string expected;
    const unsigned char byte = CodePage1251Of(c);
    if (Iconv("UTF-32LE", "CP1251", Utf32Of(c), &expected)) {
      EXPECT_EQ(std::string(1, static_cast<char>(byte)), expected) << "character " << Hex(c);
    } else {
      EXPECT_EQ(byte, '?') << "character " << Hex(c);
    }
  }
}

TEST(Utf8, EncodesAsIconvDoes) {
  for (const unsigned c : {0x00u, 0x41u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0x42Fu, 0x2591u, 0xFFFDu,
                           0xFFFFu, 0x10000u, 0x1F600u, 0x10FFFFu}) {
    std::string expected;
    ASSERT_TRUE(Iconv("UTF-32LE", "UTF-8", Utf32Of(c), &expected)) << Hex(c);
    EXPECT_EQ(Utf8Of(c), expected) << Hex(c);
  }
}

TEST(Utf8, DecodesWhatItEncodes) {
  for (unsigned c = 0; c < 0x110000; c += (c < 0x3000 ? 1 : 97)) {
    if (c >= 0xD800 && c < 0xE000) continue;
    const std::string bytes = Utf8Of(c);
    unsigned decoded = 0;
    ASSERT_EQ(
        DecodeUtf8(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &decoded),
        bytes.size())
        << Hex(c);
    ASSERT_EQ(decoded, c);
    // Cut short, it is incomplete, not wrong.
    for (size_t cut = 1; cut < bytes.size(); ++cut) {
      ASSERT_EQ(DecodeUtf8(reinterpret_cast<const unsigned char*>(bytes.data()), cut, &decoded), 0u)
          << Hex(c) << " cut to " << cut;
    }
  }
}

struct Malformed {
  std::string bytes;
  size_t taken;  // what the bad character takes
};

TEST(Utf8, MalformedTakesUpToWhereItWentWrong) {
  const Malformed cases[] = {
      {"\x80", 1},              // a continuation byte alone
      {"\xC0\x80", 1},          // overlong NUL
      {"\xC1\xBF", 1},          // overlong
      {"\xE0\x80\x80", 1},      // overlong
      {"\xED\xA0\x80", 1},      // a surrogate
      {"\xF0\x80\x80\x80", 1},  // overlong
      {"\xF4\x90\x80\x80", 1},  // past U+10FFFF
      {"\xF5\x80\x80\x80", 1},  // no such lead byte
      {"\xFF", 1},
      {"\xE2\x82\x41", 2},  // the A after is a character of its own
      {"\xD0\x20", 1},
  };
  for (const Malformed& bad : cases) {
    unsigned decoded = 0;
    EXPECT_EQ(DecodeUtf8(reinterpret_cast<const unsigned char*>(bad.bytes.data()), bad.bytes.size(),
                         &decoded),
              bad.taken)
        << testing::PrintToString(bad.bytes);
    EXPECT_EQ(decoded, kReplacementCharacter) << testing::PrintToString(bad.bytes);
  }
}

}  // namespace
