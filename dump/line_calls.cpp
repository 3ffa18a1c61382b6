// The line calls over ReadInputLine, the same in every build: a line of
// text, and a line of hex bytes.
#include <memory>
#include <new>

#include "dump/console_core.h"
#include "dump/dump.h"
#include "dump/hex_text.h"

namespace {

// Typed hex lines are read this long at least: 1024 bytes as "xx " fit.
const size_t kHexLineChars = 4096;
// A longer line than any buffer a caller would pass is not a byte string.
const size_t kHexLineCharsMax = 1 << 20;

}  // namespace

int ConReadLine(char* buffer, int size) {
  EnsureOpen();
  const size_t capacity = buffer != nullptr && size > 0 ? static_cast<size_t>(size) - 1 : 0;
  const InputLine line = ReadInputLine(buffer, capacity);
  if (buffer != nullptr && size > 0) buffer[line.length] = '\0';
  return static_cast<int>(line.length);
}

int ConReadHex(unsigned char* buffer, int capacity, unsigned* lengthOut) {
  EnsureOpen();
  const size_t room = buffer != nullptr && capacity > 0 ? static_cast<size_t>(capacity) : 0;
  size_t lineChars = room * 3 + 16;
  if (lineChars < kHexLineChars) lineChars = kHexLineChars;
  if (lineChars > kHexLineCharsMax) lineChars = kHexLineCharsMax;
  std::unique_ptr<char[]> line(new (std::nothrow) char[lineChars]);
  const InputLine read = ReadInputLine(line.get(), line ? lineChars : 0);
  size_t count = 0;
  if (read.cut || !ParseHexLine(line.get(), read.length, buffer, room, &count)) count = 0;
  if (lengthOut != nullptr) *lengthOut = static_cast<unsigned>(count);
  return static_cast<int>(count);
}
