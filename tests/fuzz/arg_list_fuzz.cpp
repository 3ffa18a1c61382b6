// ArgList (readertest/arg_list.cpp) over any line. The input up to its first
// NUL byte is the line (a C string ends there). Checked for every line:
// - the count is not negative and is at most (length + 1) / 2: every token
//   but the last takes a character or an opening quote plus its delimiter,
//   the last at least one character;
// - the tokens are exactly those of the reference tokenizer below, written
//   from the tokenizer's documented rules, and start at the same places in the copy;
// - each token is NUL-terminated inside the copy, the tokens follow one
//   another without overlapping, and items outside 0..count-1 are null;
// - no token holds a blank unless it was opened by a quote, and a quoted one
//   holds no quote;
// - the line is rebuilt exactly from the tokens and what lies between them:
//   before a token only blanks and, for a quoted one, its opening quote;
//   after a token its delimiter (a blank, or the closing quote), unless the
//   line ended first;
// - the source is not changed;
// - quoting again: each token without a quote written as "token", each one
//   with a quote (never quoted, so without blanks, not empty and not starting
//   with a quote) written bare, joined by blanks, splits into the same tokens.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "readertest/arg_list.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

struct Token {
  std::string text;
  size_t offset;  // where it starts in the line
  bool quoted;
};

// The tokenizer's rules read plainly: blanks are spaces only; a token opened by a quote
// runs to the next quote or to the end, both quotes dropped; any other token
// runs to the next blank. A quote alone at the very end is an empty token.
std::vector<Token> ReferenceTokens(const std::string& line) {
  std::vector<Token> tokens;
  size_t i = 0;
  const size_t n = line.size();
  while (i < n) {
    if (line[i] == ' ') {
      ++i;
      continue;
    }
    if (line[i] == '"') {
      const size_t close = line.find('"', i + 1);
      const size_t end = close == std::string::npos ? n : close;
      tokens.push_back({line.substr(i + 1, end - i - 1), i + 1, true});
      i = end + 1;
    } else {
      const size_t blank = line.find(' ', i);
      const size_t end = blank == std::string::npos ? n : blank;
      tokens.push_back({line.substr(i, end - i), i, false});
      i = end + 1;
    }
  }
  return tokens;
}

std::vector<std::string> Split(const std::string& line) {
  ArgList list(line.c_str());
  std::vector<std::string> tokens;
  for (int i = 0; i < list.Count(); ++i) {
    FUZZ_CHECK(list.Item(i) != nullptr);
    tokens.push_back(list.Item(i));
  }
  return tokens;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const void* nul = std::memchr(data, 0, size);
  const size_t length = nul != nullptr ? static_cast<const uint8_t*>(nul) - data : size;
  const std::string line(reinterpret_cast<const char*>(data), length);
  // The source in a block of its exact size, terminator included.
  std::unique_ptr<char[]> source(new char[length + 1]);
  std::memcpy(source.get(), line.data(), length);
  source[length] = '\0';

  const std::vector<Token> expected = ReferenceTokens(line);
  ArgList list(source.get());
  FUZZ_CHECK(std::memcmp(source.get(), line.data(), length) == 0 && source[length] == '\0');

  const int count = list.Count();
  FUZZ_CHECK(count >= 0);
  FUZZ_CHECK(static_cast<size_t>(count) <= (length + 1) / 2);
  FUZZ_CHECK(static_cast<size_t>(count) == expected.size());
  FUZZ_CHECK(list.Item(-1) == nullptr && list.Item(count) == nullptr);
  FUZZ_CHECK(list.Item(count + 1) == nullptr && list.Item(INT_MIN) == nullptr);
  FUZZ_CHECK(list.Item(INT_MAX) == nullptr);
  if (count == 0) return 0;

  const char* const copy = list.text;
  FUZZ_CHECK(copy != nullptr && copy != source.get());
  std::string rebuilt;
  size_t next = 0;  // the first character of the line not accounted for yet
  for (int i = 0; i < count; ++i) {
    const char* item = list.Item(i);
    FUZZ_CHECK(item != nullptr);
    FUZZ_CHECK(item >= copy && item <= copy + length);
    const size_t offset = static_cast<size_t>(item - copy);
    // Its terminator lies inside the copy (at copy[length] at the latest).
    const void* end = std::memchr(item, 0, length + 1 - offset);
    FUZZ_CHECK(end != nullptr);
    const size_t size = static_cast<size_t>(static_cast<const char*>(end) - item);
    const Token& want = expected[static_cast<size_t>(i)];
    FUZZ_CHECK(offset == want.offset);
    FUZZ_CHECK(size == want.text.size() && std::memcmp(item, want.text.data(), size) == 0);
    FUZZ_CHECK(std::memcmp(item, line.data() + offset, size) == 0);

    const bool quoted = offset > 0 && line[offset - 1] == '"' && offset - 1 >= next;
    FUZZ_CHECK(quoted == want.quoted);
    if (std::memchr(item, ' ', size) != nullptr) FUZZ_CHECK(quoted);
    if (quoted) FUZZ_CHECK(std::memchr(item, '"', size) == nullptr);

    // Between the last token's end and this one: blanks, then the quote.
    const size_t gapEnd = quoted ? offset - 1 : offset;
    FUZZ_CHECK(gapEnd >= next);
    for (size_t k = next; k < gapEnd; ++k) FUZZ_CHECK(line[k] == ' ');
    rebuilt.append(gapEnd - next, ' ');
    if (quoted) rebuilt += '"';
    rebuilt.append(item, size);
    next = offset + size;
    if (next < length) {
      // Its delimiter: where the copy was cut.
      FUZZ_CHECK(line[next] == (quoted ? '"' : ' '));
      rebuilt += line[next];
      ++next;
    }
    if (i + 1 < count) FUZZ_CHECK(list.Item(i + 1) > item + size);
  }
  for (size_t k = next; k < length; ++k) FUZZ_CHECK(line[k] == ' ');
  rebuilt.append(length - std::min(next, length), ' ');
  FUZZ_CHECK(rebuilt == line);

  std::string requoted;
  std::vector<std::string> tokens;
  for (int i = 0; i < count; ++i) {
    const std::string token = list.Item(i);
    tokens.push_back(token);
    if (i > 0) requoted += ' ';
    if (token.find('"') == std::string::npos) {
      requoted += '"' + token + '"';
    } else {
      FUZZ_CHECK(!expected[static_cast<size_t>(i)].quoted);
      FUZZ_CHECK(token.find(' ') == std::string::npos && token[0] != '"');
      requoted += token;
    }
  }
  FUZZ_CHECK(Split(requoted) == tokens);
  return 0;
}
