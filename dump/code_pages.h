// Code pages 1251 and 866 and UTF-8, for the builds that convert texts
// themselves. Plain C++, no system calls.
#pragma once

#include <cstddef>

// What a malformed or unknown character becomes.
const unsigned kReplacementCharacter = 0xFFFD;

// The Unicode character of a byte in code page 1251 or 866 (`codePage`, any
// other number is taken as 1251). Bytes below 0x80 are ASCII in both.
unsigned UnicodeOfByte(unsigned char byte, unsigned codePage);

// The code page 1251 byte of a Unicode character, '?' for one it lacks.
unsigned char CodePage1251Of(unsigned character);

// Room enough for any character's UTF-8.
const size_t kUtf8CharacterMax = 4;

// Writes the UTF-8 of a character (at most U+10FFFF, not a surrogate) to
// `out`, which must hold kUtf8CharacterMax bytes; returns its length.
size_t EncodeUtf8(unsigned character, char* out);

// Writes the UTF-8 of `length` bytes of text in code page `codePage` to
// `out`, which must hold length * kUtf8CharacterMax bytes; returns its length.
size_t EncodeUtf8Text(const char* text, size_t length, unsigned codePage, char* out);

// Decodes the UTF-8 character at the front of `bytes`: returns the number of
// bytes it takes and stores the character. A malformed, overlong or surrogate
// sequence takes the bytes up to where it went wrong (at least one) and gives
// kReplacementCharacter. Returns 0 when the `count` bytes end inside a
// character that is well-formed so far.
size_t DecodeUtf8(const unsigned char* bytes, size_t count, unsigned* character);
