// The key calls and the line reader: each serves the build's own device (a
// console, a terminal) or a pipe, echoes the lines it takes from a pipe as a
// terminal would have, and ends the process when the input has ended with
// nothing left to deliver.
#include "dump/console_core.h"
#include "dump/dump.h"

InputLine ReadInputLine(char* line, size_t capacity) {
  ConsoleState& state = Console();
  const bool device = InputIsDevice(state);
  InputLine result =
      device ? DeviceReadLine(state, line, capacity) : PipeReadLine(state, line, capacity);
  if (result.ended) EndOfInput();
  LineTyped(line, result.length, device);
  return result;
}

int ConKeyPressed() {
  EnsureOpen();
  ConsoleState& state = Console();
  return InputIsDevice(state) ? DeviceKeyWaiting(state) : PipeKeyWaiting(state);
}

int ConGetKey() {
  EnsureOpen();
  ConsoleState& state = Console();
  unsigned char key = 0;
  const bool got = InputIsDevice(state) ? DeviceTakeKey(state, &key) : PipeTakeKey(state, &key);
  return got ? key : DUMP_INPUT_ENDED;
}

void ConFlushKeys() {
  EnsureOpen();
  ConsoleState& state = Console();
  if (InputIsDevice(state)) {
    DeviceFlushKeys(state);
  } else {
    PipeFlushKeys(state);
  }
}
