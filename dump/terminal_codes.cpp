// Terminal key sequences in, colour sequences out.
#include "dump/terminal_codes.h"

#include "dump/code_pages.h"

namespace {

const unsigned char kEsc = 0x1B;
const unsigned char kDel = 0x7F;
const unsigned char kBackspace = 8;

TerminalKey Key(unsigned char code, size_t length) { return {TerminalKey::kKey, length, code}; }
TerminalKey NotAKey(size_t length) { return {TerminalKey::kNotAKey, length, 0}; }
TerminalKey Incomplete() { return {TerminalKey::kIncomplete, 0, 0}; }

// A character key: ASCII, or a UTF-8 character.
TerminalKey CharacterKey(const unsigned char* bytes, size_t count, bool more) {
  if (bytes[0] < 0x80) return Key(bytes[0] == kDel ? kBackspace : bytes[0], 1);
  unsigned character = 0;
  const size_t length = DecodeUtf8(bytes, count, &character);
  if (length == 0) return more ? Incomplete() : Key('?', count);
  return Key(CodePage1251Of(character), length);
}

// ESC [ or ESC O, then parameter and intermediate bytes (0x20-0x3F), then a
// final byte (0x40-0x7E). A sequence broken off by any other byte is dropped
// up to there.
TerminalKey EscapeSequence(const unsigned char* bytes, size_t count, bool more) {
  size_t i = 2;
  // The Linux console's F1-F5: ESC [ [ A to ESC [ [ E.
  if (bytes[1] == '[' && count > 2 && bytes[2] == '[') {
    if (count > 3) return NotAKey(4);
    return more ? Incomplete() : NotAKey(count);
  }
  for (; i < count; ++i) {
    const unsigned char byte = bytes[i];
    if (byte >= 0x40 && byte <= 0x7E) return NotAKey(i + 1);
    if (byte < 0x20 || byte > 0x3F) return NotAKey(i);
  }
  return more ? Incomplete() : NotAKey(count);
}

// The ANSI colour number (bits 1 red, 2 green, 4 blue) of a Windows one.
unsigned AnsiColour(unsigned windows) {
  return (windows & 1 ? 4 : 0) | (windows & 2) | (windows & 4 ? 1 : 0);
}

size_t AppendNumber(unsigned number, char* out) {
  char digits[4];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0 && count < sizeof digits);
  for (size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  return count;
}

}  // namespace

TerminalKey DecodeTerminalKey(const unsigned char* bytes, size_t count, bool more) {
  if (count == 0) return Incomplete();
  if (bytes[0] != kEsc) return CharacterKey(bytes, count, more);
  if (count == 1) return more ? Incomplete() : Key(kEsc, 1);
  if (bytes[1] == '[' || bytes[1] == 'O') return EscapeSequence(bytes, count, more);
  if (bytes[1] == kEsc) return Key(kEsc, 1);  // the second ESC starts anew
  TerminalKey key = CharacterKey(bytes + 1, count - 1, more);
  if (key.kind == TerminalKey::kKey) ++key.length;
  return key;
}

size_t ColourSequence(int attribute, char* out) {
  const unsigned foreground = attribute & 0xF;
  const unsigned background = attribute >> 4 & 0xF;
  size_t n = 0;
  out[n++] = '\033';
  out[n++] = '[';
  out[n++] = '0';
  out[n++] = ';';
  n += AppendNumber((foreground & 8 ? 90 : 30) + AnsiColour(foreground), out + n);
  out[n++] = ';';
  n += AppendNumber((background & 8 ? 100 : 40) + AnsiColour(background), out + n);
  if (attribute & 0x8000) {
    out[n++] = ';';
    out[n++] = '4';
  }
  if (attribute & 0x4000) {
    out[n++] = ';';
    out[n++] = '7';
  }
  out[n++] = 'm';
  out[n] = '\0';
  return n;
}
