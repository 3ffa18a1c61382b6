// A tmux pane, driven through the tmux command line.
#include "tests/dump/tmux_pane.h"

#include <unistd.h>

#include "tests/dump/probe_command.h"
#include "tests/support/console_session.h"

namespace {

// Each pane has a server of its own.
std::string NewSocket() {
  static int serial = 0;
  return "/tmp/dump-terminal-" + std::to_string(getpid()) + "-" + std::to_string(serial++) +
         ".socket";
}

}  // namespace

TmuxPane::TmuxPane(const std::string& command, int columns, int rows) : socket_(NewSocket()) {
  // Whatever the user's shell, the command is read by /bin/sh.
  started_ = Tmux({"new-session", "-d", "-x", std::to_string(columns), "-y", std::to_string(rows),
                   "-s", "probe", "exec /bin/sh -c " + ShellQuoted(command)});
}

TmuxPane::~TmuxPane() {
  Tmux({"kill-server"});
  unlink(socket_.c_str());
}

void TmuxPane::Keys(const std::vector<std::string>& keys) {
  std::vector<std::string> args = {"send-keys", "-t", "probe"};
  args.insert(args.end(), keys.begin(), keys.end());
  Tmux(args);
}

void TmuxPane::Type(const std::string& line) {
  Keys({"-l", line});
  Keys({"Enter"});
}

bool TmuxPane::Expect(std::string text) {
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

bool TmuxPane::Command(const std::string& line) {
  if (!Expect("probe> ")) return false;
  Type(line);
  return Expect(line + "\n");
}

bool TmuxPane::KeyIs(const std::vector<std::string>& keys, int code) {
  if (!Command("key") || !Expect("press a key\n")) return false;
  Keys(keys);
  return Expect("key " + std::to_string(code) + "\n");
}

std::string TmuxPane::Device() {
  std::string device;
  Tmux({"display-message", "-p", "-t", "probe", "#{pane_tty}"}, &device);
  while (!device.empty() && device.back() == '\n') device.pop_back();
  return device;
}

bool TmuxPane::Tmux(const std::vector<std::string>& args, std::string* output) {
  std::vector<std::string> argv = {"/usr/bin/env", "tmux", "-u", "-f", "/dev/null", "-S", socket_};
  argv.insert(argv.end(), args.begin(), args.end());
  ConsoleSession tmux(argv);
  const int status = tmux.WaitExit(kWaitMs);
  if (output != nullptr) *output = tmux.Output();
  return status == 0;
}

std::string TmuxPane::Capture(bool colours) {
  std::string text;
  std::vector<std::string> args = {"capture-pane", "-p", "-J", "-S", "-", "-t", "probe"};
  if (colours) args.push_back("-e");
  Tmux(args, &text);
  return text;
}
