// Expected-answer patterns: what matches, what does not, what is refused.
#include <gtest/gtest.h>

#include "readerscript/expectation.h"

namespace {

using namespace readerscript;

std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 3)
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

TEST(Expectation, MatchesWholeAnswersOnly) {
  const struct {
    const char* pattern;
    const char* answer;
    bool matches;
  } kCases[] = {
      {"9000", "90 00", true},
      {"9000", "90 00 00", false},
      {"9000", "00 90 00", false},
      {"61??", "61 1C", true},
      {"61??", "62 1C", false},
      {"6?00", "6A 00", true},
      {"?A 82", "6A 82", true},
      {"?A 82", "6B 82", false},
      {"", "00 01 90 00", true},
      {"", "90 00", true},
      {"", "90", false},
      {"", "", false},
      {"* 90 00", "90 00 90 01", false},
      {"*90 00*", "01 90 00 02", true},
      {"01 * 03 * 05", "01 02 03 04 03 05", true},
      {"01 * 03 05", "01 03 04 03 05", true},
      {"01 * 03 05", "01 03 05 06", false},
      {"*", "", true},
      {"**", "01", true},
  };
  for (const auto& c : kCases) {
    Pattern pattern;
    std::string why;
    ASSERT_TRUE(ParsePattern(c.pattern, &pattern, &why)) << c.pattern << ": " << why;
    const std::vector<uint8_t> answer = Bytes(c.answer);
    EXPECT_EQ(Matches(pattern, answer.data(), answer.size()), c.matches)
        << "=" << c.pattern << " against " << c.answer;
  }
}

TEST(Expectation, RefusesWhatIsNoPattern) {
  for (const char* text : {"900", "9G00", "9*000", "90 0", "=9000", "90-00"}) {
    Pattern pattern;
    std::string why;
    EXPECT_FALSE(ParsePattern(text, &pattern, &why)) << text;
    EXPECT_FALSE(why.empty()) << text;
  }
  Pattern pattern;
  std::string why;
  ASSERT_TRUE(ParsePattern(" * 6a ?2 ", &pattern, &why));
  EXPECT_EQ(PatternText(pattern), "=* 6A ?2");
}

}  // namespace
