// The console library in a Unix terminal: the probe run in a tmux pane, by
// Wine (dump_probe.exe, which gets a console over the terminal) or natively
// (over libdump.so), as DUMP_PROBE_BUILD says. Keys go in as tmux sends them
// from a keyboard, the screen is read back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "tests/dump/probe_command.h"
#include "tests/dump/tmux_pane.h"
#include "tests/support/console_session.h"

namespace {

// The Wine server, if it is not up yet, started here rather than in the
// pane, whose terminal ends with the test.
void PrepareWine() {
  static bool prepared = false;
  if (prepared || NativeProbe()) return;
  ConsoleSession wine(WineCommand("cmd", {"/c", "exit"}));
  wine.CloseInput();
  prepared = wine.WaitExit(TmuxPane::kWaitMs) == 0;
}

// The probe in a 100x30 pane, which stays after the probe ends, with its
// exit status.
std::string ProbeInPane() {
  PrepareWine();
  return ShellLine(ProbeCommand()) + "; echo \"[exit $?]\"; exec sleep 600";
}

class Terminal : public TmuxPane {
 public:
  Terminal() : TmuxPane(ProbeInPane()) {}
};

TEST(Terminal, EscapeAndCharacterKeys) {
  Terminal terminal;
  ASSERT_TRUE(terminal.started());
  ASSERT_TRUE(terminal.Command("key"));
  ASSERT_TRUE(terminal.Expect("press a key\n"));
  terminal.Keys({"Escape"});
  EXPECT_TRUE(terminal.Expect("key 27\n")) << terminal.screen();

  // Arrows, function keys and the like are not keys; the letter after is.
  ASSERT_TRUE(terminal.Command("key"));
  ASSERT_TRUE(terminal.Expect("press a key\n"));
  for (const char* key : {"Up", "Left", "F1", "F5", "Home", "PageDown", "x"}) terminal.Keys({key});
  EXPECT_TRUE(terminal.Expect("key 120\n")) << terminal.screen();

  // A Russian letter comes as its code page 1251 code.
  ASSERT_TRUE(terminal.Command("key"));
  ASSERT_TRUE(terminal.Expect("press a key\n"));
  terminal.Keys({"-l", "Я"});
  EXPECT_TRUE(terminal.Expect("key 223\n")) << terminal.screen();

  // A loop that runs until a key stops at ESC, which then is the key.
  ASSERT_TRUE(terminal.Command("poll"));
  ASSERT_TRUE(terminal.Expect("waiting for a key\n"));
  terminal.Keys({"Escape"});
  EXPECT_TRUE(terminal.Expect("pressed 1 1\nkey 27\n")) << terminal.screen();
}

TEST(Terminal, PressedAndFlush) {
  Terminal terminal;
  ASSERT_TRUE(terminal.started());
  ASSERT_TRUE(terminal.Command("pressed"));
  EXPECT_TRUE(terminal.Expect("pressed 0\n")) << terminal.screen();
  ASSERT_TRUE(terminal.Command("flush"));
  ASSERT_TRUE(terminal.Expect("type ahead\n"));
  terminal.Keys({"-l", "abc"});
  EXPECT_TRUE(terminal.Expect("flushed, pressed 0\n")) << terminal.screen();
  ASSERT_TRUE(terminal.Command("key"));
  ASSERT_TRUE(terminal.Expect("press a key\n"));
  terminal.Keys({"k"});
  EXPECT_TRUE(terminal.Expect("key 107\n")) << terminal.screen();
  ASSERT_TRUE(terminal.Command("quit"));
  EXPECT_TRUE(terminal.Expect("bye\n[exit 3]")) << terminal.screen();
}

TEST(Terminal, LinesEditedAndEchoedByTheConsole) {
  Terminal terminal;
  ASSERT_TRUE(terminal.started());
  ASSERT_TRUE(terminal.Command("line 8"));
  ASSERT_TRUE(terminal.Expect("text: "));
  terminal.Type("Привет мир");
  EXPECT_TRUE(terminal.Expect("Привет мир\n[Привет ] 7\nguard ok\n")) << terminal.screen();

  ASSERT_TRUE(terminal.Command("line 32"));
  ASSERT_TRUE(terminal.Expect("text: "));
  terminal.Keys({"-l", "abcx"});
  terminal.Keys({"BSpace"});
  terminal.Type("d");
  EXPECT_TRUE(terminal.Expect("[abcd] 4\nguard ok\n")) << terminal.screen();

  ASSERT_TRUE(terminal.Command("hex 4"));
  ASSERT_TRUE(terminal.Expect("bytes: "));
  terminal.Type("01 0203");
  EXPECT_TRUE(terminal.Expect("count 3 3\n0000  01 02 03")) << terminal.screen();
  ASSERT_TRUE(terminal.Command("hex 2"));
  ASSERT_TRUE(terminal.Expect("bytes: "));
  terminal.Type("01 02 03");
  EXPECT_TRUE(terminal.Expect("count 0 0\nguard ok\n")) << terminal.screen();
}

TEST(Terminal, OutputSizeAndColour) {
  Terminal terminal;
  ASSERT_TRUE(terminal.started());
  ASSERT_TRUE(terminal.Command("print"));
  EXPECT_TRUE(terminal.Expect("Привет, мир! 42 -7 4000000000 AB 07 [12   ]\n"))
      << terminal.screen();
  ASSERT_TRUE(terminal.Command("banner"));
  EXPECT_TRUE(terminal.Expect("\n░▒▓█ 2004\n")) << terminal.screen();
  ASSERT_TRUE(terminal.Command("size"));
  EXPECT_TRUE(terminal.Expect("size 100 30\n")) << terminal.screen();
  // Each status line overwrote the one before; shorter text leaves nothing of
  // the longer line under it.
  ASSERT_TRUE(terminal.Command("status"));
  EXPECT_TRUE(terminal.Expect("Шаг 3 из 3\n")) << terminal.screen();
  EXPECT_EQ(terminal.screen().find("Шаг 1"), std::string::npos) << terminal.screen();
  ASSERT_TRUE(terminal.Command("rewrite"));
  EXPECT_TRUE(terminal.Expect(" ERR=3")) << terminal.screen();
  EXPECT_EQ(terminal.screen().find("LenOut"), std::string::npos) << terminal.screen();
  // The colour is shown at once across its line: blanks after the text may
  // keep it.
  ASSERT_TRUE(terminal.Command("color"));
  EXPECT_TRUE(terminal.Expect("green plain")) << terminal.screen();
  const std::string colours = terminal.ScreenWithColours();
  const size_t word = colours.find("green");
  ASSERT_NE(word, std::string::npos) << colours;
  if (NativeProbe()) {
    // Black on bright green as ANSI colours, then the terminal's own.
    EXPECT_NE(colours.find("\x1b[30m\x1b[102mgreen\x1b[39m\x1b[49m plain"), std::string::npos)
        << colours;
  } else {
    // The coloured word is set off by an attribute, the rest is back to the
    // colours found at start.
    EXPECT_EQ(colours[word - 1], 'm') << colours;
    EXPECT_EQ(colours.find("plain", word), colours.find("m plain", word) + 2) << colours;
  }
  // A line's colour set after it shows on it at once, while a key is awaited.
  ASSERT_TRUE(terminal.Command("verdict"));
  ASSERT_TRUE(terminal.Expect("Verdict")) << terminal.screen();
  const std::string verdict = terminal.ScreenWithColours();
  const size_t line = verdict.rfind("Verdict");
  ASSERT_NE(line, std::string::npos) << verdict;
  if (NativeProbe()) {
    EXPECT_EQ(verdict.rfind("\x1b[30m\x1b[102m", line) + 11, line) << verdict;
  } else {
    EXPECT_EQ(verdict[line - 1], 'm') << verdict;
  }
  terminal.Keys({"x"});
  EXPECT_TRUE(terminal.Expect("key 120\n")) << terminal.screen();
}

TEST(Terminal, SequencesDoNotCountAsPressed) {
  Terminal terminal;
  ASSERT_TRUE(terminal.started());
  ASSERT_TRUE(terminal.Command("poll"));
  ASSERT_TRUE(terminal.Expect("waiting for a key\n"));
  for (const char* key : {"Up", "F1", "F5", "PageDown", "Home", "S-Left", "C-Right"}) {
    terminal.Keys({key});
  }
  // The probe asks for a key every 10 ms meanwhile.
  usleep(400 * 1000);
  EXPECT_EQ(terminal.Screen().find("pressed"), std::string::npos) << terminal.Screen();
  terminal.Keys({"Escape"});
  EXPECT_TRUE(terminal.Expect("pressed 1 1\nkey 27\n")) << terminal.screen();
}

// Keys as a console gives them, whatever bytes the terminal sends: Alt+x is
// x, Backspace 8, Enter 13; Ctrl+S and Ctrl+Q are keys, not flow control; a
// character 1251 lacks is '?'.
TEST(Terminal, KeysAsAConsoleGivesThem) {
  Terminal terminal;
  ASSERT_TRUE(terminal.started());
  EXPECT_TRUE(terminal.KeyIs({"M-x"}, 'x')) << terminal.screen();
  EXPECT_TRUE(terminal.KeyIs({"BSpace"}, 8)) << terminal.screen();
  EXPECT_TRUE(terminal.KeyIs({"Enter"}, 13)) << terminal.screen();
  EXPECT_TRUE(terminal.KeyIs({"Tab"}, 9)) << terminal.screen();
  EXPECT_TRUE(terminal.KeyIs({"C-s"}, 19)) << terminal.screen();
  EXPECT_TRUE(terminal.KeyIs({"C-q"}, 17)) << terminal.screen();
  EXPECT_TRUE(terminal.KeyIs({"-l", "ё"}, 0xB8)) << terminal.screen();
  EXPECT_TRUE(terminal.KeyIs({"-l", "№"}, 0xB9)) << terminal.screen();
  EXPECT_TRUE(terminal.KeyIs({"-l", "中"}, '?')) << terminal.screen();
}

// Keys typed while the program reads none wait, and begin the next line read,
// echoed then.
TEST(Terminal, KeysTypedAheadBeginTheNextLine) {
  Terminal terminal;
  ASSERT_TRUE(terminal.started());
  ASSERT_TRUE(terminal.Command("busy 2000"));
  // Typed while the probe reads nothing: the next command, and the start of
  // the line that command reads, with a Backspace.
  terminal.Type("line 16");
  terminal.Keys({"-l", "ab"});
  terminal.Keys({"BSpace"});
  terminal.Keys({"-l", "Жc"});
  ASSERT_TRUE(terminal.Expect("done\nprobe> line 16\ntext: aЖc")) << terminal.screen();
  terminal.Type("d");
  EXPECT_TRUE(terminal.Expect("[aЖcd] 4\nguard ok\n")) << terminal.screen();
}

}  // namespace
