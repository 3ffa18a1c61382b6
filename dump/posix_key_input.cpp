// The key calls and the line reader on POSIX: each serves a terminal or a
// pipe, echoes the lines it takes from a pipe as a terminal would have, and
// ends the process when the input has ended with nothing left to deliver.
#include <cstdlib>

#include "dump/dump.h"
#include "dump/posix_state.h"

namespace {

// The terminal is given back on the way out, by the state record.
[[noreturn]] void EndOfInput() { exit(0); }

}  // namespace

InputLine ReadInputLine(char* line, size_t capacity) {
  ConsoleState& state = Console();
  InputLine result = state.inputIsTerminal ? TerminalReadLine(state, line, capacity)
                                           : PipeReadLine(state, line, capacity);
  if (result.ended) EndOfInput();
  if (!state.inputIsTerminal) {
    WriteText(line, result.length, kTextCodePage);
    WriteText("\n", 1, kTextCodePage);
  }
  return result;
}

int ConKeyPressed() {
  EnsureOpen();
  ConsoleState& state = Console();
  return state.inputIsTerminal ? TerminalKeyWaiting(state) : PipeKeyWaiting(state);
}

int ConGetKey() {
  EnsureOpen();
  ConsoleState& state = Console();
  unsigned char key = 0;
  const bool got = state.inputIsTerminal ? TerminalTakeKey(state, &key) : PipeTakeKey(state, &key);
  if (!got) EndOfInput();
  return key;
}

void ConFlushKeys() {
  EnsureOpen();
  ConsoleState& state = Console();
  if (state.inputIsTerminal) {
    TerminalFlushKeys(state);
  } else {
    PipeFlushKeys(state);
  }
}
