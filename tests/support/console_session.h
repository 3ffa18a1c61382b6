// A program run with its standard input and output on pipes, driven as a
// person at a terminal would drive it: wait for a prompt, then type. Native
// (Linux) test support; the Windows programs run under the project's Wine.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class ConsoleSession {
 public:
  // Starts argv[0] (a path) with argv; its standard error goes to /dev/null,
  // so the output holds the program's standard output alone.
  explicit ConsoleSession(const std::vector<std::string>& argv);
  // Kills and reaps the program if it still runs.
  ~ConsoleSession();
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;

  // Waits until the output after the last match contains `text`; then true,
  // and the output through it counts as matched. False on time-out or when
  // the output ends first.
  bool Expect(const std::string& text, int timeoutMs);
  // Writes to the program's standard input (nothing once it is closed).
  void Send(const std::string& bytes);
  void CloseInput();
  // The exit status (128 + the signal for a killed program), or -1 after a
  // time-out, when the program is then killed. Reads the output meanwhile.
  int WaitExit(int timeoutMs);
  // All output read so far, and the part after the last match.
  const std::string& Output() const { return output_; }
  std::string Unmatched() const { return output_.substr(matched_); }

 private:
  // Reads what the program wrote, waiting at most timeoutMs: the number of
  // bytes read, 0 if none came, -1 at the output's end.
  int ReadSome(int timeoutMs);

  pid_t pid_ = -1;
  int input_ = -1;
  int output_fd_ = -1;
  bool output_ended_ = false;
  std::string output_;
  size_t matched_ = 0;
};

// The command that runs a Windows program under the project's Wine
// (tools/wine-run of this repository).
std::vector<std::string> WineCommand(const std::string& exe,
                                     const std::vector<std::string>& args = {});
// A program of the Windows build tree (its bin/ folder).
std::string WindowsProgram(const std::string& name);
// This repository's root.
std::string RepoRoot();
