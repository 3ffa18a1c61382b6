// The output calls over ShowText, the same in every build: formatted
// printing, status lines, plain texts, the banner and the hex dump.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "dump/console_core.h"
#include "dump/dump.h"
#include "dump/hex_text.h"

namespace {

int FormatAndWrite(const char* format, va_list args) {
  if (format == nullptr) return 0;
  va_list again;
  va_copy(again, args);
  char local[512];
  const int length = vsnprintf(local, sizeof local, format, args);
  int result = length;
  if (length < 0) {
    result = 0;
  } else if (static_cast<size_t>(length) < sizeof local) {
    ShowText(local, length, kTextCodePage);
  } else {
    std::unique_ptr<char[]> text(new (std::nothrow) char[length + 1]);
    if (text) {
      vsnprintf(text.get(), length + 1, format, again);
      ShowText(text.get(), length, kTextCodePage);
    } else {
      result = 0;
    }
  }
  va_end(again);
  return result;
}

}  // namespace

// ConStatus is this function under a second name (dump.def exports it so
// from the DLL): status lines end in "\r" and are rewritten in place by the
// next one, which the carriage return does on a console and on a terminal
// reading a pipe, so they need nothing of their own.
int ConPrint(const char* format, ...) {
  EnsureOpen();
  va_list args;
  va_start(args, format);
  const int result = FormatAndWrite(format, args);
  va_end(args);
  return result;
}

#if !defined(_WIN32)
int ConStatus(const char* format, ...) __attribute__((alias("ConPrint")));
#endif

void ConWrite(const char* text) {
  EnsureOpen();
  if (text != nullptr) ShowText(text, strlen(text), kTextCodePage);
}

// The typed lines are on the screen already: the console or terminal echoes
// them, and ConReadLine echoes those it takes from a pipe.
void ConEchoInput(const char*) {}

void ConBanner(const char* text) {
  EnsureOpen();
  if (text != nullptr) ShowText(text, strlen(text), kBannerCodePage);
}

void ConHexDump(const void* buffer, int length, int) {
  EnsureOpen();
  if (buffer == nullptr || length <= 0) return;
  const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
  // The dump starts a line of its own, after a label such as "ATR".
  if (OutputMidLine()) ShowText("\n", 1, kTextCodePage);
  char line[kHexDumpLineSize];
  for (size_t offset = 0; offset < static_cast<size_t>(length); offset += kHexDumpBytesPerLine) {
    size_t count = static_cast<size_t>(length) - offset;
    if (count > kHexDumpBytesPerLine) count = kHexDumpBytesPerLine;
    const size_t lineLength = FormatHexDumpLine(bytes + offset, count, offset, line);
    ShowText(line, lineLength, kTextCodePage);
  }
}
