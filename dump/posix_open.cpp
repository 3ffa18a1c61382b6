// The console state and ConOpen, which finds out what standard input and
// output are and prepares each: a terminal, or a pipe or a file.
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "dump/dump.h"
#include "dump/posix_state.h"

namespace {
ConsoleState state;
}  // namespace

ConsoleState& Console() { return state; }
ScreenLine& Screen() { return state.screen; }

void EnsureOpen() {
  if (!state.opened) ConOpen(0);
}

int ConOpen(int) {
  if (state.opened) return 1;
  state.opened = true;
  struct stat info;
  state.output = fstat(STDOUT_FILENO, &info) == 0 ? STDOUT_FILENO : -1;
  state.outputIsTerminal = state.output >= 0 && isatty(state.output);
  state.input.fd = fstat(STDIN_FILENO, &info) == 0 ? STDIN_FILENO : -1;
  state.input.ended = state.input.fd < 0;
  state.inputIsTerminal = state.input.fd >= 0 && isatty(state.input.fd) &&
                          tcgetattr(state.input.fd, &state.modeAtOpen) == 0;
  // Both the terminal's mode and a colour on it need giving back.
  if (state.inputIsTerminal || state.outputIsTerminal) InstallRestoreHandlers();
  if (state.inputIsTerminal) OpenTerminalInput(state);
  return 1;
}
