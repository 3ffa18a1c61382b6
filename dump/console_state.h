// The console library's state under Windows and the parts that serve it:
// output (console_output.cpp), keys and lines from a console
// (console_input.cpp) or from a pipe or a file (pipe_input.cpp), set up by
// ConOpen (console_open.cpp).
#pragma once

#include <cstddef>

#include "dump/console_core.h"
#include "platform/platform.h"

// Bytes read ahead from a piped standard input, waiting to be taken as keys.
const size_t kPipeBufferSize = 64 * 1024;

struct PipeInput {
  HANDLE source;  // standard input
  HANDLE ready;   // manual reset: set while bytes wait or the input has ended
  HANDLE room;    // manual reset: set while the buffer has room for more
  CRITICAL_SECTION lock;
  unsigned char bytes[kPipeBufferSize];  // a ring: `count` bytes from `head`
  size_t head;
  size_t count;
  bool ended;
  bool keyShown;  // ConKeyPressed reported the first byte, and it has not been taken
};

// The one state record. Its handles live as long as the process: the reader
// thread uses them until the end.
struct ConsoleState {
  bool opened;
  HANDLE input;
  HANDLE output;
  bool inputIsConsole;
  bool outputIsConsole;
  DWORD inputModeAtOpen;
  DWORD rawInputMode;  // keys one by one, no echo
  WORD attributeAtOpen;
  bool midLine;  // the last text written did not end its line
  PipeInput pipe;
  ScreenLine screen;
};

// The input's device is the console (console_input.cpp).
void OpenConsoleInput(ConsoleState& state);

// Starts the reader thread over state.pipe.source (which may be null: then
// the input has ended at once).
void OpenPipeInput(ConsoleState& state);
