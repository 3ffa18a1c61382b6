// The byte codes of a Unix terminal: the keys it sends, as the key codes the
// library delivers, and the colour sequences it is sent. Plain C++, no system
// calls.
#pragma once

#include <cstddef>

// What the bytes at the front of a terminal's input are.
struct TerminalKey {
  enum Kind {
    kKey,         // a key: `code`, taking `length` bytes
    kNotAKey,     // an escape sequence (arrow, function key): `length` bytes to drop
    kIncomplete,  // the start of either; more bytes may make it whole
  };
  Kind kind;
  size_t length;
  unsigned char code;  // code page 1251
};

// Decodes the key at the front of `bytes`. ESC alone is key 27; ESC [ ... and
// ESC O ... sequences are not keys; ESC before another key (a terminal's Alt)
// is that key. Characters come as UTF-8 and become their code page 1251 code
// ('?' for one that 1251 lacks, or for a malformed byte); DEL, which a
// terminal's Backspace sends, becomes 8 as on a Windows console. With `more`
// false, no more bytes are coming: nothing is then incomplete, unless `count`
// is 0.
TerminalKey DecodeTerminalKey(const unsigned char* bytes, size_t count, bool more);

// Room enough for any colour sequence, with its terminating NUL.
const size_t kColourSequenceSize = 24;

// The ANSI SGR sequence for a Windows console attribute: the low nibble the
// foreground, the next the background (bits 1 blue, 2 green, 4 red,
// 8 intense), 0x4000 reverse video and 0x8000 underline. Writes it to `out`,
// which must hold kColourSequenceSize chars, and returns its length. Safe in
// a signal handler.
size_t ColourSequence(int attribute, char* out);

// The sequence that gives a terminal its own colours back.
const char kColourReset[] = "\033[0m";
