// The key calls and the line reader under Windows: each serves a console or
// a pipe, echoes the lines it takes from a pipe as a terminal would have, and
// ends the process when the input has ended with nothing left to deliver.
//
// Win32 used here: ExitProcess.
#include "dump/console_state.h"
#include "dump/dump.h"

namespace {

[[noreturn]] void EndOfInput() { ExitProcess(0); }

}  // namespace

InputLine ReadInputLine(char* line, size_t capacity) {
  ConsoleState& state = Console();
  InputLine result = state.inputIsConsole ? ConsoleReadLine(state, line, capacity)
                                          : PipeReadLine(state, line, capacity);
  if (result.ended) EndOfInput();
  if (!state.inputIsConsole) {
    WriteText(line, result.length, kTextCodePage);
    WriteText("\n", 1, kTextCodePage);
  }
  return result;
}

int ConKeyPressed() {
  EnsureOpen();
  ConsoleState& state = Console();
  return state.inputIsConsole ? ConsoleKeyWaiting(state) : PipeKeyWaiting(state);
}

int ConGetKey() {
  EnsureOpen();
  ConsoleState& state = Console();
  unsigned char key = 0;
  const bool got = state.inputIsConsole ? ConsoleTakeKey(state, &key) : PipeTakeKey(state, &key);
  if (!got) EndOfInput();
  return key;
}

void ConFlushKeys() {
  EnsureOpen();
  ConsoleState& state = Console();
  if (state.inputIsConsole) {
    ConsoleFlushKeys(state);
  } else {
    PipeFlushKeys(state);
  }
}
