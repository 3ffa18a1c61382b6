// Hexadecimal text: typed lines of bytes and the hex dump layout. Plain C++,
// no system calls, so every build of dump shares it.
#pragma once

#include <cstddef>

// Decodes a line of hexadecimal bytes: tokens separated by blanks (spaces,
// tabs), each token an even number of hex digits of either case, so "00 A4",
// "00A4" and "00a4 04" all work. On success stores the bytes and their number
// and returns true. An empty line, any other character, a token with an odd
// digit count or more than `capacity` bytes fail, and then nothing is written.
bool ParseHexLine(const char* text, size_t length, unsigned char* bytes, size_t capacity,
                  size_t* count);

// One line of a hex dump holds this many bytes.
const size_t kHexDumpBytesPerLine = 16;
// Room enough for any line FormatHexDumpLine makes, with its terminating NUL.
const size_t kHexDumpLineSize = 96;

// Formats up to kHexDumpBytesPerLine bytes found at `offset`, as
//   "0010  00 A4 04 00 ...  ..ab\n"
// the offset in at least four hex digits, the bytes in hex (a short last line
// padded so the columns stay aligned), then the bytes as characters, '.' for
// any that is not printable ASCII. `line` must hold kHexDumpLineSize chars;
// returns the length written, without the NUL.
size_t FormatHexDumpLine(const unsigned char* bytes, size_t count, unsigned long offset,
                         char* line);
