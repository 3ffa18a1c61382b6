// What the calls shared by every build of dump (text_output.cpp,
// line_calls.cpp) take from the build's own files: Windows (console_*.cpp,
// pipe_input.cpp, key_input.cpp) or POSIX (posix_*.cpp).
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
// Whether the last text written did not end its line.
bool OutputMidLine();

// One line taken from the input: `length` bytes kept (code page 1251, CR and
// LF dropped), `cut` when the line was longer and its rest was discarded.
struct InputLine {
  bool ended;  // nothing was left to read
  size_t length;
  bool cut;
};

// Reads a line into `line` (at most `capacity` bytes, no NUL added). A line
// taken from a pipe or a file is echoed, as a terminal would have shown it.
// With the input ended and nothing left, ends the process with exit code 0.
InputLine ReadInputLine(char* line, size_t capacity);
