// What only the native library has in a Unix terminal: the terminal's modes
// (raw for keys, canonical for lines) given back on every way out, escape
// sequences told from ESC, keys a console has that a terminal sends as
// bytes, and ANSI colours only where the output is a terminal. The probe
// runs natively in a tmux pane.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/dump/probe_command.h"
#include "tests/dump/tmux_pane.h"
#include "tests/support/console_session.h"

namespace {

const int kWaitMs = TmuxPane::kWaitMs;

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A folder of its own for what the pane's shell writes.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/dump_native.XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    for (const char* name : {"before", "stopped", "after", "in", "out"})
      unlink((path_ + "/" + name).c_str());
    rmdir(path_.c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The native probe in a pane whose shell notes the terminal's settings before
// the probe starts and after it ends, then its exit status; the probe shows
// its process id first. The shell outlives a Ctrl+C that ends the probe; no
// core file is left by SIGQUIT. With job control, the probe runs as a job of
// its own; once stopped, the shell notes the settings, continues it in the
// background for a second (bg), then in the foreground (fg), as a user at an
// interactive shell would.
class ModesPane {
 public:
  enum Jobs { kNoJobControl, kJobControl };

  explicit ModesPane(Jobs jobs = kNoJobControl)
      : pane_((jobs == kJobControl ? "set -m; " : "ulimit -c 0; trap true INT; ") + Note("before") +
              "; sh -c " + ShellQuoted("echo \"pid $$\"; exec " + ShellLine(ProbeCommand())) +
              "; status=$?; " +
              (jobs == kJobControl
                   ? Note("stopped") + "; echo \"[stopped $status]\"; bg; sleep 1; fg; status=$?; "
                   : "") +
              Note("after") + "; echo \"[exit $status]\"; exec sleep 600") {}

  TmuxPane& pane() { return pane_; }

  // The probe's process id, as its line shows it.
  pid_t Pid() {
    if (!pane_.Expect("pid ") || !pane_.Expect("\n")) return -1;
    const std::string screen = pane_.screen();
    const size_t at = screen.find("pid ");
    return at == std::string::npos ? -1 : atoi(screen.c_str() + at + 4);
  }
  // Waits for the probe's end with `status`; then the settings after it
  // must be those before it.
  void ExpectEndAndSettingsBack(int status) {
    ASSERT_TRUE(pane_.Expect("[exit " + std::to_string(status) + "]")) << pane_.screen();
    const std::string before = ReadFile(dir_.File("before"));
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(ReadFile(dir_.File("after")), before);
  }
  std::string Before() { return ReadFile(dir_.File("before")); }
  std::string Stopped() { return ReadFile(dir_.File("stopped")); }
  // The terminal's settings now.
  bool Modes(struct termios* modes) {
    const int fd = open(pane_.Device().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    const bool got = tcgetattr(fd, modes) == 0;
    close(fd);
    return got;
  }
  // Waits until the terminal is in raw mode.
  bool WaitForRaw() {
    for (int waited = 0; waited < kWaitMs; waited += 50) {
      struct termios modes;
      if (Modes(&modes) && (modes.c_lflag & ICANON) == 0) return true;
      usleep(50 * 1000);
    }
    return false;
  }

 private:
  // The shell command that notes the settings in `file`.
  std::string Note(const char* file) const { return "stty -g > " + ShellQuoted(dir_.File(file)); }

  TempDir dir_;
  TmuxPane pane_;
};

void ExpectRawKeys(ModesPane& probe) {
  struct termios modes;
  ASSERT_TRUE(probe.Modes(&modes));
  EXPECT_EQ(modes.c_lflag & (ICANON | ECHO), 0u) << "keys come one by one, unechoed";
  EXPECT_NE(modes.c_lflag & ISIG, 0u) << "Ctrl+C still interrupts";
  EXPECT_EQ(modes.c_iflag & (ICRNL | IXON), 0u) << "Enter is CR, Ctrl+S a key";
}

// The probe running in its pane; its pid.
void Started(ModesPane& probe, pid_t* pid) {
  ASSERT_TRUE(probe.pane().started());
  *pid = probe.Pid();
  ASSERT_GT(*pid, 0) << probe.pane().screen();
}

// The probe running in its pane and waiting for a key; its pid.
void AtKeyPrompt(ModesPane& probe, pid_t* pid) {
  ASSERT_NO_FATAL_FAILURE(Started(probe, pid));
  ASSERT_TRUE(probe.pane().Command("key"));
  ASSERT_TRUE(probe.pane().Expect("press a key\n"));
}

TEST(NativeModes, RawForKeysEditorForLinesGivenBackAtTheEnd) {
  ModesPane probe;
  TmuxPane& pane = probe.pane();
  pid_t pid = 0;
  ASSERT_NO_FATAL_FAILURE(Started(probe, &pid));
  // At the prompt, a line: the line editor takes keys one by one and echoes
  // them itself; Ctrl+C still interrupts.
  struct termios modes;
  ASSERT_TRUE(probe.Modes(&modes));
  EXPECT_EQ(modes.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_NE(modes.c_lflag & ISIG, 0u);

  ASSERT_TRUE(pane.Command("key"));
  ASSERT_TRUE(pane.Expect("press a key\n"));
  ExpectRawKeys(probe);
  pane.Keys({"k"});
  EXPECT_TRUE(pane.Expect("key 107\n")) << pane.screen();
  ASSERT_TRUE(pane.Command("quit"));
  probe.ExpectEndAndSettingsBack(3);
}

TEST(NativeModes, GivenBackAtTheEndOfInput) {
  ModesPane probe;
  TmuxPane& pane = probe.pane();
  pid_t pid = 0;
  // Raw, Ctrl+D is a key like any other; on an empty line it ends the input.
  ASSERT_NO_FATAL_FAILURE(AtKeyPrompt(probe, &pid));
  pane.Keys({"C-d"});
  EXPECT_TRUE(pane.Expect("key 4\n")) << pane.screen();
  ASSERT_TRUE(pane.Expect("probe> "));
  pane.Keys({"C-d"});
  probe.ExpectEndAndSettingsBack(0);
}

TEST(NativeModes, GivenBackWhenEndedBySignals) {
  for (const int signal : {SIGTERM, SIGHUP, SIGQUIT}) {
    ModesPane probe;
    pid_t pid = 0;
    ASSERT_NO_FATAL_FAILURE(AtKeyPrompt(probe, &pid));
    ExpectRawKeys(probe);
    ASSERT_EQ(kill(pid, signal), 0);
    // Ended by the signal itself, after the terminal was given back.
    probe.ExpectEndAndSettingsBack(128 + signal);
  }
}

TEST(NativeModes, CtrlCInterruptsAndGivesBack) {
  ModesPane probe;
  TmuxPane& pane = probe.pane();
  pid_t pid = 0;
  ASSERT_NO_FATAL_FAILURE(AtKeyPrompt(probe, &pid));
  pane.Keys({"C-c"});
  probe.ExpectEndAndSettingsBack(128 + SIGINT);
}

TEST(NativeModes, GivenBackWhileStoppedTakenAgainInTheForeground) {
  ModesPane probe(ModesPane::kJobControl);
  TmuxPane& pane = probe.pane();
  pid_t pid = 0;
  ASSERT_NO_FATAL_FAILURE(AtKeyPrompt(probe, &pid));
  ExpectRawKeys(probe);
  // Ctrl+Z, as the terminal sends it to the job.
  ASSERT_EQ(kill(pid, SIGTSTP), 0);
  ASSERT_TRUE(pane.Expect("[stopped " + std::to_string(128 + SIGTSTP) + "]")) << pane.screen();
  EXPECT_EQ(probe.Stopped(), probe.Before());
  // Raw mode again once the shell has continued it in the foreground.
  EXPECT_TRUE(probe.WaitForRaw());
  ExpectRawKeys(probe);
  pane.Keys({"k"});
  EXPECT_TRUE(pane.Expect("key 107\n")) << pane.screen();
  ASSERT_TRUE(pane.Command("quit"));
  probe.ExpectEndAndSettingsBack(3);
}

TEST(NativeModes, TakenAgainAfterAStopItDidNotSee) {
  ModesPane probe;
  TmuxPane& pane = probe.pane();
  pid_t pid = 0;
  ASSERT_NO_FATAL_FAILURE(AtKeyPrompt(probe, &pid));
  // Stopped with no chance to react, and the terminal reset meanwhile.
  ASSERT_EQ(kill(pid, SIGSTOP), 0);
  ConsoleSession sane({"/bin/stty", "-F", pane.Device(), "sane"});
  ASSERT_EQ(sane.WaitExit(kWaitMs), 0);
  ASSERT_EQ(kill(pid, SIGCONT), 0);
  EXPECT_TRUE(probe.WaitForRaw());
  ExpectRawKeys(probe);
  pane.Keys({"j"});
  EXPECT_TRUE(pane.Expect("key 106\n")) << pane.screen();
  ASSERT_TRUE(pane.Command("quit"));
  probe.ExpectEndAndSettingsBack(3);
}

// The native probe in a pane, which stays after the probe ends, with its
// exit status.
class Probe : public TmuxPane {
 public:
  explicit Probe(const std::string& redirections = "")
      : TmuxPane(ShellLine(ProbeCommand()) + redirections +
                 "; echo \"[exit $?]\"; exec sleep 600") {}
};

// Lines are edited as a console's line editor edits them: arrows move in
// the line and Up recalls earlier lines; no key prints its sequence.
TEST(NativeKeys, LineEditingAndHistory) {
  Probe probe;
  ASSERT_TRUE(probe.started());
  ASSERT_TRUE(probe.Command("line 32"));
  ASSERT_TRUE(probe.Expect("text: "));
  probe.Keys({"-l", "abc"});
  probe.Keys({"Left", "Left", "Right"});
  probe.Keys({"-l", "Ж"});
  probe.Keys({"Home", "Delete", "End", "F2", "PageUp", "C-Left", "S-F5", "Insert"});
  probe.Keys({"Enter"});
  EXPECT_TRUE(probe.Expect("[bЖc] 3\nguard ok\n")) << probe.screen();
  // Up twice: past the command to the text typed before it.
  ASSERT_TRUE(probe.Command("line 32"));
  ASSERT_TRUE(probe.Expect("text: "));
  probe.Keys({"Up", "Up", "Enter"});
  EXPECT_TRUE(probe.Expect("[bЖc] 3\nguard ok\n")) << probe.screen();
  EXPECT_EQ(probe.screen().find("^["), std::string::npos) << probe.screen();
  EXPECT_EQ(probe.screen().find("~"), std::string::npos) << probe.screen();
}

// ESC and a sequence sent together: ESC is the key, the sequence is not.
// (Wine's console takes such bytes its own way.)
TEST(NativeKeys, EscapeNextToASequence) {
  Probe probe;
  ASSERT_TRUE(probe.started());
  EXPECT_TRUE(probe.KeyIs({"Escape", "Up"}, 27)) << probe.screen();
  EXPECT_TRUE(probe.KeyIs({"Down", "Escape"}, 27)) << probe.screen();
  EXPECT_TRUE(probe.KeyIs({"F2", "Escape", "F3"}, 27)) << probe.screen();
}

TEST(NativeOutput, ColoursAndSizeOnlyOnATerminal) {
  TempDir dir;
  // Standard output a file, the keys from the terminal: no colours, no size.
  Probe probe(" > " + ShellQuoted(dir.File("out")));
  ASSERT_TRUE(probe.started());
  for (const char* command : {"color", "size", "print", "quit"}) probe.Type(command);
  ASSERT_TRUE(probe.Expect("[exit 3]")) << probe.screen();
  EXPECT_EQ(ReadFile(dir.File("out")),
            "probe> green plain\n"
            "probe> size 80 25\n"
            "probe> Привет, мир! 42 -7 4000000000 AB 07 [12   ]\n"
            "probe> bye\n");
}

TEST(NativeOutput, ColoursOnATerminalFedByAFile) {
  TempDir dir;
  std::ofstream(dir.File("in"), std::ios::binary) << "color\nsize\nquit\n";
  Probe probe(" < " + ShellQuoted(dir.File("in")));
  ASSERT_TRUE(probe.started());
  ASSERT_TRUE(probe.Expect("size 100 30\n")) << probe.screen();
  ASSERT_TRUE(probe.Expect("[exit 3]")) << probe.screen();
  const std::string colours = probe.ScreenWithColours();
  EXPECT_NE(colours.find("probe> color\n\x1b[30m\x1b[102mgreen\x1b[39m\x1b[49m plain\n"),
            std::string::npos)
      << colours;
}

TEST(NativeOutput, ColourGivenBackWhenEndedBySignal) {
  ModesPane probe;
  TmuxPane& pane = probe.pane();
  pid_t pid = 0;
  ASSERT_NO_FATAL_FAILURE(Started(probe, &pid));
  ASSERT_TRUE(pane.Command("hold"));
  ASSERT_TRUE(pane.Expect("held"));
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  probe.ExpectEndAndSettingsBack(128 + SIGTERM);
  // Black on bright red, then the terminal's own colours before the shell
  // goes on.
  const std::string colours = pane.ScreenWithColours();
  EXPECT_NE(colours.find("\x1b[30m\x1b[101mheld\x1b[39m\x1b[49m"), std::string::npos) << colours;
}

}  // namespace
