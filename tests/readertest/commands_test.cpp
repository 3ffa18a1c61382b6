// The commands against a scripted reader and console: what they send, what
// they show, what they return, and the waits they end on.
#include <gtest/gtest.h>

#include <algorithm>

#include "readertest/commands.h"
#include "readertest/program_state.h"
#include "tests/readertest/scripted_reader.h"

namespace {

// A two-slot reader: card-present bits, ATRs, a request's answer. A card
// powered down leaves its slot at the pollsToRemove-th status poll after.
struct FakeReader {
  bool present[2] = {true, false};
  int pollsToRemove = 1;
  int removing[2] = {0, 0};
  Bytes atr = {0x3B, 0x02, 0x14, 0x50};
  Bytes requestAnswer = Bytes(30, 0x11);

  Bytes operator()(unsigned char command, const Bytes& data) {
    const int slot = command & 0x80 ? 1 : 0;
    switch (command) {
      case 0x01:
        for (int i = 0; i < 2; ++i) {
          if (removing[i] > 0 && --removing[i] == 0) present[i] = false;
        }
        return ResponseFrame(0, {BYTE(present[0]), BYTE(present[1])});
      case 0x04:
        return ResponseFrame(0, {1, 0});
      case 0x3F:
        return ResponseFrame(0, data);
      case 0x41:
      case 0x81:
        return ResponseFrame(0, atr);
      case 0x42:
      case 0x82:
        return ResponseFrame(0, {0x90, 0x00});
      case 0x43:
      case 0x83:
        return ResponseFrame(0, requestAnswer);
      case 0x44:
      case 0x84:
        if (present[slot]) removing[slot] = pollsToRemove;
        return ResponseFrame(0, {});
    }
    return {0xFF};
  }
};

class Commands : public ::testing::Test {
 protected:
  void SetUp() override { Restart(); }
  // A fresh console, link and reader.
  void Restart() {
    ResetScripts();
    reader = FakeReader();
    AnswerWith([this](unsigned char command, const Bytes& data) { return reader(command, data); });
  }
  int Run(int (*handler)(ArgList*), const char* line) {
    ArgList args(line);
    return handler(&args);
  }
  std::vector<unsigned char> Sent() const {
    std::vector<unsigned char> commands;
    for (const Bytes& frame : Reader.frames) commands.push_back(frame[0]);
    return commands;
  }
  bool Shows(const std::string& text) const {
    return Screen.screen.find(text) != std::string::npos;
  }

  FakeReader reader;
};

size_t Pauses(const std::string& screen) {
  size_t count = 0;
  for (size_t at = screen.find("Нажмите любую"); at != std::string::npos;
       at = screen.find("Нажмите любую", at + 1))
    ++count;
  return count;
}

TEST_F(Commands, HelpPagesByTheConsoleRows) {
  struct Case {
    int rows;
    size_t pauses;
  } cases[] = {{25, 0}, {13, 0}, {12, 1}, {8, 1}, {6, 3}, {3, 0}, {1, 0}, {0, 0}};
  for (const Case& c : cases) {
    ResetScripts();
    Screen.rows = c.rows;
    for (int i = 0; i < 9; ++i) Screen.Type('x');
    EXPECT_EQ(Run(Help, "help"), 1);
    EXPECT_EQ(Pauses(Screen.screen), c.pauses) << c.rows << " rows";
    EXPECT_EQ(Screen.waits, static_cast<int>(c.pauses)) << c.rows << " rows";
  }
  // Eight rows page after the fifth entry.
  ResetScripts();
  Screen.rows = 8;
  Screen.Type('x');
  Run(Help, "help");
  const std::string& s = Screen.screen;
  EXPECT_LT(s.find("  insert - "), s.find("Нажмите любую"));
  EXPECT_GT(s.find("     com - APDU Command"), s.find("Нажмите любую"));
  EXPECT_EQ(s.find("    quit - Выход из программы\n"), 0u);
}

TEST_F(Commands, ReaderNumbersOtherThanZeroAndOneAreRefused) {
  for (const char* line : {"insert 2", "off -1", "com 2048", "req 7"}) {
    ResetScripts();
    ArgList args(line);
    int (*handler)(ArgList*) = line[0] == 'i'   ? Insert
                               : line[0] == 'o' ? Off
                               : line[0] == 'c' ? Com
                                                : Req;
    EXPECT_EQ(handler(&args), 0) << line;
    EXPECT_TRUE(Reader.frames.empty()) << line;
    EXPECT_TRUE(Shows("0 или 1")) << line;
  }
}

TEST_F(Commands, ReaderNumberAskedForWhenNotGiven) {
  Screen.lines.push_back("1");
  Screen.Type(27, 2);
  EXPECT_EQ(Run(Insert, "insert"), 0);  // the lower slot is empty: ESC leaves
  EXPECT_TRUE(Shows("Введите № ридера (0-ВЕРХНИЙ/1-НИЖНИЙ) : "));
  Restart();
  Screen.lines.push_back("abc");  // no number: reader 0
  Screen.hexLines.push_back({0x00, 0xC0, 0x00, 0x00, 0x02});
  EXPECT_EQ(Run(Req, "req"), 1);
  EXPECT_TRUE(Shows("Введите № ридера (0-USER/1-SAM) : "));
  EXPECT_EQ(Sent(), (std::vector<unsigned char>{0x43}));
}

TEST_F(Commands, InsertShowsTheAtrOfACardPresent) {
  EXPECT_EQ(Run(Insert, "insert 0 ignored"), 1);
  EXPECT_EQ(Sent(), (std::vector<unsigned char>{0x01, 0x41}));
  EXPECT_TRUE(Shows("ВСТАВЬТЕ карту в ВЕРХНИЙ ридер (Для выхода нажмите ESC)\r"));
  EXPECT_TRUE(Shows("ATR[3B 02 14 50]\n"));
  // The prompt is erased with as many blanks as it had characters.
  const std::string blank(
      std::string("ВСТАВЬТЕ карту в ВЕРХНИЙ ридер (Для выхода нажмите ESC)").size(), ' ');
  EXPECT_TRUE(Shows(blank + "\r"));

  reader.atr = {0x3B, 0x00};
  EXPECT_EQ(Run(Insert, "insert 0"), 0);  // shown, but no ATR
  EXPECT_TRUE(Shows("ATR[3B 00]\n"));
}

TEST_F(Commands, InsertWaitsDiscardingKeysUntilEsc) {
  Screen.Type('a', 3);
  Screen.Type(27, 6);
  EXPECT_EQ(Run(Insert, "insert 1"), 0);
  EXPECT_TRUE(Shows("НИЖНИЙ"));
  const std::vector<unsigned char> sent = Sent();
  EXPECT_GE(sent.size(), 6u);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x81), 0);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x01), static_cast<long>(sent.size()));
}

TEST_F(Commands, OffPowersDownThenWaitsForTheCardToGo) {
  reader.present[1] = true;
  reader.pollsToRemove = 4;
  EXPECT_EQ(Run(Off, "off 1"), 1);
  EXPECT_EQ(Sent(), (std::vector<unsigned char>{0x84, 0x01, 0x01, 0x01, 0x01}));
  EXPECT_TRUE(Shows("ВЫНЬТЕ КАРТУ\r"));

  // A failed power-down shows no prompt.
  ResetScripts();
  Reader.answer = [](const Bytes&) { return Bytes{0xFF}; };
  EXPECT_EQ(Run(Off, "off 0"), 0);
  EXPECT_EQ(Screen.screen, " ОШИБКА: принят NAK\n");
}

TEST_F(Commands, ComSendsHeaderAndDataReqTheHeaderOnly) {
  Screen.hexLines.push_back({0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00});
  EXPECT_EQ(Run(Com, "com 0"), 1);
  ASSERT_EQ(Reader.frames.size(), 1u);
  EXPECT_EQ(Bytes(Reader.frames[0].begin(), Reader.frames[0].end() - 2),
            (Bytes{0x42, 0x00, 0x07, 0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}));
  EXPECT_TRUE(Shows("[00 A4 04 00 02 3F 00]\n[90 00]\n"));

  Screen.hexLines.push_back({0x00, 0xA4, 0x04, 0x00, 0x02});
  EXPECT_EQ(Run(Req, "req 1"), 1);
  EXPECT_EQ(Bytes(Reader.frames[1].begin(), Reader.frames[1].end() - 2),
            (Bytes{0x83, 0x00, 0x05, 0x00, 0xA4, 0x04, 0x00, 0x02}));

  // Only what was typed this time is sent: a length that does not match is
  // refused, saying why, and nothing goes to the reader (the buffer still
  // holds the 7 bytes above).
  const struct {
    int (*command)(ArgList*);
    const char* line;
    Bytes typed;
    const char* said;
  } refused[] = {
      {Com, "com 0", {0x80, 0xCA, 0x9F, 0x7F}, "нужно не меньше 5 байт, введено 4\n"},
      {Com,
       "com 0",
       {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F},
       "нужно 7 байт (5 + 2 по пятому байту), введено 6\n"},
      {Com,
       "com 1",
       {0x00, 0xB0, 0x00, 0x00, 0x00, 0x01},
       "нужно 5 байт (5 + 0 по пятому байту), введено 6\n"},
      {Req,
       "req 0",
       {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00},
       "нужно 5 байт (заголовок APDU), введено 7\n"},
      {Req, "req 0", {0x00, 0xC0}, "нужно 5 байт (заголовок APDU), введено 2\n"},
  };
  for (const auto& c : refused) {
    Screen.screen.clear();
    Screen.hexLines.push_back(c.typed);
    EXPECT_EQ(Run(c.command, c.line), 0);
    EXPECT_TRUE(Shows(std::string("Ошибка ввода: ") + c.said)) << Screen.screen;
  }
  EXPECT_EQ(Reader.frames.size(), 2u);

  Screen.hexLines.push_back({});
  Screen.screen.clear();
  EXPECT_EQ(Run(Com, "com 0"), 0);
  EXPECT_TRUE(Shows("Ошибка ввода"));
  EXPECT_EQ(Reader.frames.size(), 2u);
}

TEST_F(Commands, EchoBoundsItsFramesAndStopsOnAKey) {
  EXPECT_EQ(Run(Echo, "echo 0"), 0);
  EXPECT_TRUE(Reader.frames.empty());

  Screen.Type('q', 20);
  EXPECT_EQ(Run(Echo, "echo 1"), 1);
  EXPECT_EQ(Reader.frames.size(), 19u);
  for (const Bytes& frame : Reader.frames) EXPECT_EQ(frame.size(), 5u);
  EXPECT_TRUE(Shows("N=1     LEN=0     OK=1     NAK=0     CRC=0     TO=0    \r"));
  EXPECT_TRUE(Screen.keys.empty());

  // A maximum beyond the command buffer still sends only what it holds.
  Restart();
  Screen.Type('q', 200);
  EXPECT_EQ(Run(Echo, "echo 70000"), 1);
  size_t longest = 0;
  for (const Bytes& frame : Reader.frames) longest = std::max(longest, frame.size() - 5);
  EXPECT_LE(longest, 1024u);
  EXPECT_GT(longest, 700u);

  // A key already waiting: no exchange at all.
  ResetScripts();
  Screen.Type('q');
  EXPECT_EQ(Run(Echo, "echo 10"), 1);
  EXPECT_TRUE(Reader.frames.empty());
}

TEST_F(Commands, EchoCountsFailures) {
  Reader.answer = [](const Bytes&) { return Bytes{}; };
  Screen.Type('q', 2);
  EXPECT_EQ(Run(Echo, "echo 1"), 1);
  EXPECT_TRUE(
      Shows(" ERR=3 LenIn=0 LenOut=0\nN=1     LEN=0     OK=0     NAK=0     CRC=0     TO=1    \r"));
}

TEST_F(Commands, StatShowsBothSlots) {
  reader.present[0] = false;
  reader.present[1] = true;
  Screen.Type('q', 2);
  EXPECT_EQ(Run(Stat, "stat"), 1);
  EXPECT_TRUE(Shows("0->00  1->01\r"));
  EXPECT_EQ(Sent(), (std::vector<unsigned char>{0x01}));
}

TEST_F(Commands, ComplexTestPassAndFailVerdicts) {
  reader.present[1] = true;
  reader.pollsToRemove = 2;
  // Typed after the inserts' flushes: a key that is not ESC, then ESC.
  Screen.Type('x', 1);
  Screen.Type(27, 2);
  EXPECT_EQ(ComplexTest(nullptr), 1);
  EXPECT_EQ(Sent(), (std::vector<unsigned char>{0x04, 0x01, 0x41, 0x43, 0x44, 0x01, 0x01, 0x01,
                                                0x81, 0x83, 0x84, 0x01, 0x01}));
  EXPECT_TRUE(Shows("Kestrix УСПЕШНО протестирован (Для выхода нажмите ESC)\n"));
  EXPECT_EQ(Screen.colors, (std::vector<int>{0xA0, -1}));
  EXPECT_EQ(Screen.waits, 2);  // the other key was discarded

  // A 28-byte answer has no status word: the pass fails, the card stays.
  Restart();
  reader.present[1] = true;
  reader.requestAnswer = Bytes(28, 0x22);
  Screen.Type(27, 1);
  EXPECT_EQ(ComplexTest(nullptr), 0);
  EXPECT_EQ(Sent(), (std::vector<unsigned char>{0x04, 0x01, 0x41, 0x43}));
  EXPECT_TRUE(Shows("ОШИБКА при тестировании Kestrix (Для выхода нажмите ESC)\n"));
  EXPECT_EQ(Screen.colors, (std::vector<int>{0xC0, -1}));
}

TEST_F(Commands, ComplexTestEscAtTheFirstInsertSkipsTheLowerSlot) {
  reader.present[0] = false;
  Screen.Type(27, 3);  // leaves the insert wait
  Screen.Type(27, 3);  // leaves the verdict
  EXPECT_EQ(ComplexTest(nullptr), 0);
  const std::vector<unsigned char> sent = Sent();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x81), 0);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x41), 0);
}

}  // namespace
