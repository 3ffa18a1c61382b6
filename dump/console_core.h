// What the calls shared by every build of dump (text_output.cpp,
// key_input.cpp, line_calls.cpp) take from the build's own files: Windows
// (console_*.cpp, pipe_input.cpp) or POSIX (posix_*.cpp).
#pragma once

#include <cstddef>

// Code pages of the texts given to the library.
const unsigned kTextCodePage = 1251;
const unsigned kBannerCodePage = 866;

// Opens the console if the caller has not (ConOpen is meant to come first).
void EnsureOpen();

// Writes text in the given code page to standard output. Each call reaches
// the output before it returns.
void WriteText(const char* text, size_t length, unsigned codePage);

// The screen's line as the library wrote it (screen_line.cpp): to pad a line
// written over one that a "\r" went back on (on a screen only: a pipe or a
// file gets the texts as they are), and to repaint a line in a colour. Texts are kept in their code
// page, cut at kScreenLineMax bytes.
const size_t kScreenLineMax = 512;
struct ScreenText {
  char bytes[kScreenLineMax];
  size_t length;
  bool cut;    // longer than what is kept
  bool typed;  // a line of input, shown as it was typed
  unsigned codePage;
};
struct ScreenLine {
  size_t column;      // characters since the line began or a "\r" went back
  size_t width;       // how far the line reached before a "\r" went back
  ScreenText line;    // the line being written
  ScreenText before;  // the line ended last
};
ScreenLine& Screen();  // each build's state holds it
// WriteText that keeps the screen line and pads over a rewritten one; every
// output call writes through it.
void ShowText(const char* text, size_t length, unsigned codePage);
// A line of input: `echoed` when a console or a terminal showed it and went
// on to the next line itself, else it is shown here, as it would have been.
void LineTyped(const char* text, size_t length, bool echoed);
// The line a colour set now belongs to: the one being written, or, at the
// start of a line, the one the program wrote last (`ended`). Null when that
// line is not kept whole or was typed: the colour then starts where the
// cursor is.
const ScreenText* LineToPaint(bool* ended);
// Whether the last text written did not end its line.
bool OutputMidLine();
// Whether standard output is a screen (a console, a terminal) rather than a
// pipe or a file.
bool OutputIsScreen();
// Clears the screen's line from the cursor on, over `columns` characters at
// least: blanks on a console, an erase sequence on a terminal.
void ClearToLineEnd(size_t columns);

// One line taken from the input: `length` bytes kept (code page 1251, CR and
// LF dropped), `cut` when the line was longer and its rest was discarded.
struct InputLine {
  bool ended;  // nothing was left to read
  size_t length;
  bool cut;
};

// Each build's console state (console_state.h, posix_state.h).
struct ConsoleState;
ConsoleState& Console();

// The input as the key calls see it: the build's own device (a console, a
// terminal) or a pipe or a file, whose every byte is a key.
bool InputIsDevice(const ConsoleState& state);
bool DeviceKeyWaiting(ConsoleState& state);
// Waits for a key; false when the input is gone.
bool DeviceTakeKey(ConsoleState& state, unsigned char* key);
InputLine DeviceReadLine(ConsoleState& state, char* line, size_t capacity);
void DeviceFlushKeys(ConsoleState& state);
bool PipeKeyWaiting(ConsoleState& state);                   // also true once the input has ended
bool PipeTakeKey(ConsoleState& state, unsigned char* key);  // false: the input ended
InputLine PipeReadLine(ConsoleState& state, char* line, size_t capacity);
void PipeFlushKeys(ConsoleState& state);
// Ends the process with exit code 0 (the terminal given back on the way).
[[noreturn]] void EndOfInput();

// Reads a line into `line` (at most `capacity` bytes, no NUL added). A line
// taken from a pipe or a file is echoed, as a terminal would have shown it.
// With the input ended and nothing left, ends the process with exit code 0.
InputLine ReadInputLine(char* line, size_t capacity);
