// The console state and ConOpen, which finds out what standard input and
// output are and prepares each: a console, or a pipe or a file.
//
// Win32 used here: GetStdHandle, GetConsoleMode, GetConsoleScreenBufferInfo.
#include "dump/console_state.h"
#include "dump/dump.h"

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
  state.input = GetStdHandle(STD_INPUT_HANDLE);
  state.output = GetStdHandle(STD_OUTPUT_HANDLE);

  DWORD mode = 0;
  CONSOLE_SCREEN_BUFFER_INFO info;
  state.outputIsConsole =
      GetConsoleMode(state.output, &mode) && GetConsoleScreenBufferInfo(state.output, &info);
  if (state.outputIsConsole) state.attributeAtOpen = info.wAttributes;

  state.inputIsConsole = GetConsoleMode(state.input, &state.inputModeAtOpen) != 0;
  if (state.inputIsConsole) {
    OpenConsoleInput(state);
  } else {
    state.pipe.source = state.input == INVALID_HANDLE_VALUE ? nullptr : state.input;
    OpenPipeInput(state);
  }
  return 1;
}
