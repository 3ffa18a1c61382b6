// A terminal's keys into key codes, and console attributes into colours.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dump/terminal_codes.h"

namespace {

const unsigned char* Bytes(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// The keys in `text`, all of it there is: what is not a key dropped.
std::vector<int> Keys(const std::string& text) {
  std::vector<int> keys;
  size_t at = 0;
  while (at < text.size()) {
    const TerminalKey key = DecodeTerminalKey(Bytes(text) + at, text.size() - at, false);
    EXPECT_NE(key.kind, TerminalKey::kIncomplete) << testing::PrintToString(text);
    EXPECT_GT(key.length, 0u) << testing::PrintToString(text);
    if (key.kind == TerminalKey::kIncomplete || key.length == 0) break;
    if (key.kind == TerminalKey::kKey) keys.push_back(key.code);
    at += key.length;
  }
  return keys;
}

using KeyList = std::vector<int>;

// What xterm, tmux and the Linux console send for arrows, function and
// editing keys, with and without modifiers.
const char* const kSequences[] = {
    "\x1b[A",  "\x1b[B",    "\x1b[C",    "\x1b[D",     "\x1bOA",   "\x1bOD",  "\x1b[H",
    "\x1b[F",  "\x1bOH",    "\x1b[1~",   "\x1b[4~",    "\x1b[2~",  "\x1b[3~", "\x1b[5~",
    "\x1b[6~", "\x1bOP",    "\x1bOS",    "\x1b[15~",   "\x1b[24~", "\x1b[[A", "\x1b[[E",
    "\x1b[Z",  "\x1b[1;5C", "\x1b[1;2P", "\x1b[15;3~", "\x1bO2P",
};

TEST(TerminalKeys, LoneEscapeIsAKeyOnceNothingFollows) {
  const TerminalKey waiting = DecodeTerminalKey(Bytes("\x1b"), 1, true);
  EXPECT_EQ(waiting.kind, TerminalKey::kIncomplete);
  const TerminalKey key = DecodeTerminalKey(Bytes("\x1b"), 1, false);
  EXPECT_EQ(key.kind, TerminalKey::kKey);
  EXPECT_EQ(key.code, 27);
  EXPECT_EQ(key.length, 1u);
  EXPECT_EQ(Keys("\x1b\x1b"), (KeyList{27, 27}));
}

TEST(TerminalKeys, SequencesAreNotKeys) {
  for (const std::string sequence : kSequences) {
    const TerminalKey whole = DecodeTerminalKey(Bytes(sequence), sequence.size(), true);
    EXPECT_EQ(whole.kind, TerminalKey::kNotAKey) << testing::PrintToString(sequence);
    EXPECT_EQ(whole.length, sequence.size()) << testing::PrintToString(sequence);
    // Nor the keys around them, nor ESC before one.
    EXPECT_EQ(Keys("a" + sequence + "b"), (KeyList{'a', 'b'})) << testing::PrintToString(sequence);
    EXPECT_EQ(Keys("\x1b" + sequence + "\x1b"), (KeyList{27, 27}))
        << testing::PrintToString(sequence);
  }
}

TEST(TerminalKeys, SequenceArrivingInPiecesWaitsThenIsDroppedIfCut) {
  for (const std::string sequence : kSequences) {
    for (size_t cut = 2; cut < sequence.size(); ++cut) {
      EXPECT_EQ(DecodeTerminalKey(Bytes(sequence), cut, true).kind, TerminalKey::kIncomplete)
          << testing::PrintToString(sequence) << " cut to " << cut;
      // With nothing more coming, a cut sequence is neither ESC nor text.
      EXPECT_EQ(Keys(sequence.substr(0, cut)), KeyList{})
          << testing::PrintToString(sequence) << " cut to " << cut;
    }
  }
}

TEST(TerminalKeys, SequenceBrokenOffIsDroppedUpToThere) {
  EXPECT_EQ(Keys("\x1b[1\x1b[Ax"), KeyList{'x'});
  EXPECT_EQ(Keys("\x1b[1\rx"), (KeyList{'\r', 'x'}));
}

TEST(TerminalKeys, EscapeBeforeAKeyIsThatKey) {
  EXPECT_EQ(Keys("\x1bx"), KeyList{'x'});
  EXPECT_EQ(Keys("\x1b\r"), KeyList{'\r'});
  EXPECT_EQ(Keys("\x1b\xd0\xaf"), KeyList{0xDF});
  EXPECT_EQ(DecodeTerminalKey(Bytes("\x1b\xd0"), 2, true).kind, TerminalKey::kIncomplete);
}

TEST(TerminalKeys, CharactersAsTheirCodePage1251Codes) {
  EXPECT_EQ(Keys("aZ0 ~"), (KeyList{'a', 'Z', '0', ' ', '~'}));
  EXPECT_EQ(Keys("\r\n\t\x03\x13"), (KeyList{13, 10, 9, 3, 19}));
  EXPECT_EQ(Keys("Я"), KeyList{0xDF});
  EXPECT_EQ(Keys("ёЁ"), (KeyList{0xB8, 0xA8}));
  EXPECT_EQ(Keys("€№"), (KeyList{0x88, 0xB9}));
  // Characters 1251 lacks, and bytes that are not UTF-8.
  EXPECT_EQ(Keys("中ä😀"), (KeyList{'?', '?', '?'}));
  EXPECT_EQ(Keys("\xff\x80z"), (KeyList{'?', '?', 'z'}));
}

TEST(TerminalKeys, CharacterArrivingInPiecesWaits) {
  const TerminalKey waiting = DecodeTerminalKey(Bytes("\xd0"), 1, true);
  EXPECT_EQ(waiting.kind, TerminalKey::kIncomplete);
  const TerminalKey cut = DecodeTerminalKey(Bytes("\xe2\x82"), 2, false);
  EXPECT_EQ(cut.kind, TerminalKey::kKey);
  EXPECT_EQ(cut.code, '?');
  EXPECT_EQ(cut.length, 2u);
}

TEST(TerminalKeys, BackspaceAsOnAConsole) { EXPECT_EQ(Keys("\x7f\b"), (KeyList{8, 8})); }

std::string Colour(int attribute) {
  char sequence[kColourSequenceSize];
  const size_t length = ColourSequence(attribute, sequence);
  EXPECT_EQ(sequence[length], '\0');
  return std::string(sequence, length);
}

TEST(Colours, AttributesAsSgrSequences) {
  EXPECT_EQ(Colour(0xA0), "\x1b[0;30;102m");  // black on bright green
  EXPECT_EQ(Colour(0xC0), "\x1b[0;30;101m");  // black on bright red
  EXPECT_EQ(Colour(0x07), "\x1b[0;37;40m");   // grey on black
  EXPECT_EQ(Colour(0x1F), "\x1b[0;97;44m");   // white on blue
  EXPECT_EQ(Colour(0x4E), "\x1b[0;93;41m");   // yellow on red
  EXPECT_EQ(Colour(0x35), "\x1b[0;35;46m");   // magenta on cyan
  EXPECT_EQ(Colour(0xC001), "\x1b[0;34;40;4;7m");
}

TEST(Colours, EveryAttributeHasItsColours) {
  // Windows' colour numbers (1 blue, 2 green, 4 red) as ANSI's (1 red,
  // 2 green, 4 blue).
  const int ansi[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  for (int attribute = 0; attribute < 0x100; ++attribute) {
    const int fg = attribute & 0xF;
    const int bg = attribute >> 4;
    const std::string expected = "\x1b[0;" + std::to_string((fg & 8 ? 90 : 30) + ansi[fg & 7]) +
                                 ";" + std::to_string((bg & 8 ? 100 : 40) + ansi[bg & 7]) + "m";
    EXPECT_EQ(Colour(attribute), expected) << attribute;
    EXPECT_LT(expected.size(), kColourSequenceSize);
  }
}

}  // namespace
