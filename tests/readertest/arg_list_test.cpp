// Splitting lines into argument lists.
#include "readertest/arg_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Tokens(const char* line) {
  ArgList list(line);
  std::vector<std::string> tokens;
  for (int i = 0; i < list.Count(); ++i) tokens.push_back(list.Item(i));
  EXPECT_EQ(nullptr, list.Item(list.Count()));
  EXPECT_EQ(nullptr, list.Item(-1));
  return tokens;
}

using Words = std::vector<std::string>;

TEST(ArgListTest, BlanksSeparateAndNeverMakeEmptyTokens) {
  EXPECT_EQ(Words{}, Tokens(""));
  EXPECT_EQ(Words{}, Tokens("     "));
  EXPECT_EQ(Words({"req", "0"}), Tokens("req     0"));
  EXPECT_EQ(Words({"insert", "1"}), Tokens("   insert 1   "));
  EXPECT_EQ(Words({"a\tb", "c"}), Tokens("a\tb c"));  // only the space separates
}

TEST(ArgListTest, QuotesGroupBlanksAndAreDropped) {
  EXPECT_EQ(Words({"say", "two words", "after"}), Tokens("say \"two words\" after"));
  EXPECT_EQ(Words({""}), Tokens("\"\""));
  EXPECT_EQ(Words({"x", "", "y"}), Tokens("x \"\" y"));
  EXPECT_EQ(Words({"ab\"cd", "e"}), Tokens("ab\"cd e"));  // a quote inside a token is a character
  EXPECT_EQ(Words({"quoted", "next"}), Tokens("\"quoted\"next"));
  EXPECT_EQ(Words({"runs to the end "}), Tokens("\"runs to the end "));
  EXPECT_EQ(Words({"QUIT"}), Tokens("\"QUIT\""));
}

TEST(ArgListTest, LoneQuoteAtTheEndIsAnEmptyToken) {
  EXPECT_EQ(Words({"echo", ""}), Tokens("echo \""));
  EXPECT_EQ(Words({""}), Tokens("  \""));
}

TEST(ArgListTest, SourceStaysUnchangedAndTokensLiveWithTheList) {
  const std::string source = "test \"T C\" LOOP";
  ArgList list(source.c_str());
  EXPECT_EQ("test \"T C\" LOOP", source);
  ASSERT_EQ(3, list.Count());
  EXPECT_STREQ("T C", list.Item(1));
  EXPECT_STREQ("LOOP", list.Item(2));
  EXPECT_NE(nullptr, list.heap);
}

TEST(ArgListTest, LongLinesKeepEveryToken) {
  std::string line;
  for (int i = 0; i < 500; ++i) line += std::to_string(i) + "  ";
  std::vector<std::string> tokens = Tokens(line.c_str());
  ASSERT_EQ(500u, tokens.size());
  EXPECT_EQ("499", tokens.back());
}

}  // namespace
