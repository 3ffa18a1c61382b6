// Output: texts converted from their code page and written to standard
// output, formatted printing, the hex dump, colours and the window size.
//
// Win32 used here: MultiByteToWideChar, WideCharToMultiByte, WriteConsoleW,
// WriteFile, GetConsoleScreenBufferInfo, SetConsoleTextAttribute.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "dump/console_state.h"
#include "dump/dump.h"
#include "dump/hex_text.h"

namespace {

// A buffer on the stack for the usual short text, on the heap for a longer one.
template <typename T, size_t kLocal>
class TextBuffer {
 public:
  explicit TextBuffer(size_t size) {
    if (size > kLocal) heap_.reset(new (std::nothrow) T[size]);
    data_ = size > kLocal ? heap_.get() : local_;
  }
  T* data() { return data_; }  // null if a long text found no memory

 private:
  T local_[kLocal];
  std::unique_ptr<T[]> heap_;
  T* data_;
};

void WriteBytes(HANDLE output, const char* bytes, size_t length) {
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile(output, bytes, static_cast<DWORD>(length), &written, nullptr) || written == 0) {
      return;  // a closed pipe: the text is lost, as it would be on a closed terminal
    }
    bytes += written;
    length -= written;
  }
}

void WriteWide(HANDLE output, const wchar_t* text, size_t length) {
  while (length > 0) {
    DWORD written = 0;
    if (!WriteConsoleW(output, text, static_cast<DWORD>(length), &written, nullptr) ||
        written == 0) {
      return;
    }
    text += written;
    length -= written;
  }
}

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
    WriteText(local, length, kTextCodePage);
  } else {
    std::unique_ptr<char[]> text(new (std::nothrow) char[length + 1]);
    if (text) {
      vsnprintf(text.get(), length + 1, format, again);
      WriteText(text.get(), length, kTextCodePage);
    } else {
      result = 0;
    }
  }
  va_end(again);
  return result;
}

}  // namespace

void WriteText(const char* text, size_t length, UINT codePage) {
  ConsoleState& state = Console();
  if (length == 0 || state.output == nullptr || state.output == INVALID_HANDLE_VALUE) return;
  state.midLine = text[length - 1] != '\n';
  const int wideLength =
      MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), nullptr, 0);
  if (wideLength <= 0) return;
  TextBuffer<wchar_t, 512> wide(wideLength);
  if (wide.data() == nullptr) return;
  MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), wide.data(), wideLength);
  if (state.outputIsConsole) {
    WriteWide(state.output, wide.data(), wideLength);
    return;
  }
  const int utf8Length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
  if (utf8Length <= 0) return;
  TextBuffer<char, 1024> utf8(utf8Length);
  if (utf8.data() == nullptr) return;
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, utf8.data(), utf8Length, nullptr,
                      nullptr);
  WriteBytes(state.output, utf8.data(), utf8Length);
}

int ConPrint(const char* format, ...) {
  EnsureOpen();
  va_list args;
  va_start(args, format);
  const int result = FormatAndWrite(format, args);
  va_end(args);
  return result;
}

// Status lines end in "\r" and are rewritten in place by the next one; the
// carriage return does that on a console and on a terminal reading a pipe.
int ConStatus(const char* format, ...) {
  EnsureOpen();
  va_list args;
  va_start(args, format);
  const int result = FormatAndWrite(format, args);
  va_end(args);
  return result;
}

void ConWrite(const char* text) {
  EnsureOpen();
  if (text != nullptr) WriteText(text, strlen(text), kTextCodePage);
}

// The typed lines are on the screen already: the console echoes them, and
// ConReadLine echoes those it takes from a pipe.
void ConEchoInput(const char*) {}

void ConBanner(const char* text) {
  EnsureOpen();
  if (text != nullptr) WriteText(text, strlen(text), kBannerCodePage);
}

void ConHexDump(const void* buffer, int length, int) {
  EnsureOpen();
  if (buffer == nullptr || length <= 0) return;
  const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
  // The dump starts a line of its own, after a label such as "ATR".
  if (Console().midLine) WriteText("\n", 1, kTextCodePage);
  char line[kHexDumpLineSize];
  for (size_t offset = 0; offset < static_cast<size_t>(length); offset += kHexDumpBytesPerLine) {
    size_t count = static_cast<size_t>(length) - offset;
    if (count > kHexDumpBytesPerLine) count = kHexDumpBytesPerLine;
    const size_t lineLength = FormatHexDumpLine(bytes + offset, count, offset, line);
    WriteText(line, lineLength, kTextCodePage);
  }
}

void ConGetSize(int* columns, int* rows) {
  EnsureOpen();
  ConsoleState& state = Console();
  int width = 80;
  int height = 25;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (state.outputIsConsole && GetConsoleScreenBufferInfo(state.output, &info)) {
    width = info.srWindow.Right - info.srWindow.Left + 1;
    height = info.srWindow.Bottom - info.srWindow.Top + 1;
  }
  if (columns != nullptr) *columns = width;
  if (rows != nullptr) *rows = height;
}

void ConSetColor(int attribute) {
  EnsureOpen();
  ConsoleState& state = Console();
  if (state.outputIsConsole) SetConsoleTextAttribute(state.output, static_cast<WORD>(attribute));
}

void ConResetColor() {
  EnsureOpen();
  ConsoleState& state = Console();
  if (state.outputIsConsole) SetConsoleTextAttribute(state.output, state.attributeAtOpen);
}
