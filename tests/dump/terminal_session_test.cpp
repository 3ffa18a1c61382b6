// dump.dll in a Unix terminal: dump_probe.exe run by Wine in a tmux pane,
// where Wine gives it a console over the terminal. Keys go in as tmux sends
// them from a keyboard, the screen is read back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/console_session.h"

namespace {

const int kWaitMs = 30000;  // only a guard against a hang

// A detached tmux server of its own, with one 100x30 pane running the probe.
// The Wine server, if it is not up yet, started here rather than in the pane,
// whose terminal ends with the test.
void PrepareWine() {
  static bool prepared = false;
  if (prepared) return;
  ConsoleSession wine(WineCommand("cmd", {"/c", "exit"}));
  wine.CloseInput();
  prepared = wine.WaitExit(kWaitMs) == 0;
}

class Terminal {
 public:
  Terminal() : socket_("/tmp/dump-terminal-" + std::to_string(getpid()) + ".socket") {
    PrepareWine();
    std::string command;
    for (const std::string& word : WineCommand(Win32Program("dump_probe.exe"))) {
      command += "'" + word + "' ";
    }
    // The pane stays after the program ends, with its exit status.
    started_ = Tmux({"new-session", "-d", "-x", "100", "-y", "30", "-s", "probe",
                     command + "; echo \"[exit $?]\"; exec sleep 600"});
  }
  ~Terminal() {
    Tmux({"kill-server"});
    unlink(socket_.c_str());
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  bool started() const { return started_; }

  // Keys by tmux's names ("Escape", "Up", "Enter") or literal text.
  void Keys(const std::vector<std::string>& keys) {
    std::vector<std::string> args = {"send-keys", "-t", "probe"};
    args.insert(args.end(), keys.begin(), keys.end());
    Tmux(args);
  }
  // Text typed and Enter.
  void Type(const std::string& line) {
    Keys({"-l", line});
    Keys({"Enter"});
  }

  // Waits until the screen, after the last match, shows `text`. A captured
  // screen has no blanks at the ends of its lines: nor is the text looked for.
  bool Expect(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    for (int waited = 0; waited < kWaitMs; waited += 50) {
      screen_ = Capture(false);
      const size_t found = screen_.find(text, matched_);
      if (found != std::string::npos) {
        matched_ = found + text.size();
        return true;
      }
      usleep(50 * 1000);
    }
    return false;
  }
  // A command typed at the probe's prompt.
  bool Command(const std::string& line) {
    if (!Expect("probe> ")) return false;
    Type(line);
    return Expect(line + "\n");
  }
  const std::string& screen() const { return screen_; }
  // The whole pane with its colours as escape sequences.
  std::string ScreenWithColours() { return Capture(true); }

 private:
  bool Tmux(const std::vector<std::string>& args, std::string* output = nullptr) {
    std::vector<std::string> argv = {"/usr/bin/env", "tmux", "-u",   "-f",
                                     "/dev/null",    "-S",   socket_};
    argv.insert(argv.end(), args.begin(), args.end());
    ConsoleSession tmux(argv);
    const int status = tmux.WaitExit(kWaitMs);
    if (output != nullptr) *output = tmux.Output();
    return status == 0;
  }
  std::string Capture(bool colours) {
    std::string text;
    std::vector<std::string> args = {"capture-pane", "-p", "-J", "-S", "-", "-t", "probe"};
    if (colours) args.push_back("-e");
    Tmux(args, &text);
    return text;
  }

  std::string socket_;
  bool started_ = false;
  std::string screen_;
  size_t matched_ = 0;
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
  // Each status line overwrote the one before.
  ASSERT_TRUE(terminal.Command("status"));
  EXPECT_TRUE(terminal.Expect("Шаг 3 из 3\n")) << terminal.screen();
  EXPECT_EQ(terminal.screen().find("Шаг 1"), std::string::npos) << terminal.screen();
  ASSERT_TRUE(terminal.Command("color"));
  EXPECT_TRUE(terminal.Expect("green plain\n")) << terminal.screen();
  // The coloured word is set off by an attribute, the rest is back to the
  // colours found at start.
  const std::string colours = terminal.ScreenWithColours();
  const size_t word = colours.find("green");
  ASSERT_NE(word, std::string::npos) << colours;
  EXPECT_EQ(colours[word - 1], 'm') << colours;
  EXPECT_EQ(colours.find("plain", word), colours.find("m plain", word) + 2) << colours;
}

}  // namespace
