// The console library's state on POSIX and the parts that serve it: output
// (posix_output.cpp), the bytes of standard input and keys and lines from a
// pipe or a file (posix_input.cpp), keys and lines from a terminal
// (posix_terminal.cpp), the terminal's modes and their restore on every way
// out (posix_restore.cpp), set up by ConOpen (posix_open.cpp).
#pragma once

#include <signal.h>
#include <termios.h>

#include <cstddef>

#include "dump/console_core.h"

// Bytes read from standard input, waiting to be taken as keys or lines.
const size_t kInputBufferSize = 64 * 1024;

// How long after the last byte of an ESC, or of the start of a sequence or a
// character, more is waited for before the bytes are taken as they are.
const int kEscapeWaitMs = 40;

struct InputBytes {
  int fd;  // -1 when standard input is not open
  unsigned char bytes[kInputBufferSize];
  size_t start;  // the waiting bytes are [start, end)
  size_t end;
  bool ended;            // the input has ended (what waits may still be taken)
  bool keyShown;         // a pipe's first byte was reported as a key and not taken
  long long lastByteMs;  // when bytes last came in
};

// The line editor of a terminal (posix_line_editor.cpp).
struct LineEditor;

// Which of its modes the terminal is in.
enum TerminalMode : int { kModeAtOpen, kModeRaw, kModeLine };

// The one state record. It gives the terminal back at the end of the process
// (or of the library, if it is unloaded); the signal handlers read it too.
struct ConsoleState {
  ~ConsoleState();

  bool opened;
  volatile sig_atomic_t finished;  // given back for good: left alone from then on
  int output;                      // -1 when standard output is not open
  bool inputIsTerminal;
  bool outputIsTerminal;
  bool midLine;  // the last text written did not end its line
  struct termios modeAtOpen;
  struct termios rawMode;             // keys one by one, no echo; signals still work
  struct termios lineMode;            // the line editor's, while it reads a line
  volatile sig_atomic_t mode;         // a TerminalMode: the one the terminal is in
  volatile sig_atomic_t stoppedMode;  // the one to take again after a stop
  volatile sig_atomic_t colourSet;    // a colour was sent and not reset
  volatile sig_atomic_t colour;       // the attribute of that colour
  InputBytes input;
  ScreenLine screen;
  LineEditor* editor;  // made when the first line is read from the terminal
};

long long NowMs();

// posix_restore.cpp: the terminal's modes, and giving the terminal back.
// Installs the handlers that restore the terminal on the signals that end or
// stop the process (those not handled or ignored already).
void InstallRestoreHandlers();
void SetTerminalMode(ConsoleState& state, TerminalMode mode);
// Puts the terminal's mode as ConOpen found it, and its colours. Safe in a
// signal handler.
void RestoreTerminal(ConsoleState& state);

// posix_input.cpp: the bytes of standard input.
// Waits at most `timeoutMs` (-1: without end) for input and reads what there
// is, as much as the buffer has room for; marks the end of input.
void FillInput(InputBytes& input, int timeoutMs);
inline size_t WaitingBytes(const InputBytes& input) { return input.end - input.start; }
inline const unsigned char* FirstByte(const InputBytes& input) { return input.bytes + input.start; }
void DropBytes(InputBytes& input, size_t count);

// posix_terminal.cpp: the input's device is the terminal.
void OpenTerminalInput(ConsoleState& state);

// posix_line_editor.cpp: a line typed and edited on the terminal.
InputLine EditLineOnTerminal(ConsoleState& state, char* line, size_t capacity);

// posix_output.cpp: writes all of `length` bytes to `fd`, waiting while it is
// full, and gives up at an error. Safe in a signal handler.
void WriteAll(int fd, const char* bytes, size_t length);
