// A detached tmux server of its own with one pane running a shell command:
// keys go in as tmux sends them from a keyboard, the screen is read back.
#pragma once

#include <string>
#include <vector>

class TmuxPane {
 public:
  // Only a guard against a hang.
  static const int kWaitMs = 30000;

  // The pane is `columns` by `rows`; its command runs under /bin/sh.
  explicit TmuxPane(const std::string& command, int columns = 100, int rows = 30);
  ~TmuxPane();
  TmuxPane(const TmuxPane&) = delete;
  TmuxPane& operator=(const TmuxPane&) = delete;

  bool started() const { return started_; }

  // Keys by tmux's names ("Escape", "Up", "Enter") or literal text.
  void Keys(const std::vector<std::string>& keys);
  // Text typed and Enter.
  void Type(const std::string& line);

  // Waits until the screen, after the last match, shows `text`. A captured
  // screen has no blanks at the ends of its lines: nor is the text looked for.
  bool Expect(std::string text);
  // A command typed at the probe's prompt, seen echoed.
  bool Command(const std::string& line);
  // The probe's `key` command with `keys` pressed: true when the probe took
  // them as the key `code`.
  bool KeyIs(const std::vector<std::string>& keys, int code);
  // The screen as last captured, and captured now.
  const std::string& screen() const { return screen_; }
  std::string Screen() { return Capture(false); }
  // The whole pane with its colours as escape sequences.
  std::string ScreenWithColours() { return Capture(true); }
  // The pane's terminal device.
  std::string Device();

 private:
  bool Tmux(const std::vector<std::string>& args, std::string* output = nullptr);
  std::string Capture(bool colours);

  std::string socket_;
  bool started_ = false;
  std::string screen_;
  size_t matched_ = 0;
};
