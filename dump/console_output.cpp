// Output under Windows: texts converted from their code page and written to
// standard output, colours and the window size.
//
// Win32 used here: MultiByteToWideChar, WideCharToMultiByte, WriteConsoleW,
// WriteFile, GetConsoleScreenBufferInfo, SetConsoleTextAttribute,
// FillConsoleOutputAttribute.
#include <memory>
#include <new>

#include "dump/console_state.h"
#include "dump/dump.h"

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

}  // namespace

void WriteText(const char* text, size_t length, unsigned codePage) {
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

bool OutputMidLine() { return Console().midLine; }

bool OutputIsScreen() { return Console().outputIsConsole; }

void ClearToLineEnd(size_t columns) {
  static const char kBlanks[] = "                                ";
  for (size_t left = columns; left > 0;) {
    const size_t part = left < sizeof kBlanks - 1 ? left : sizeof kBlanks - 1;
    WriteText(kBlanks, part, kTextCodePage);
    left -= part;
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

// The colour is shown at once: the line it belongs to takes it across the
// whole width of the screen buffer.
void ConSetColor(int attribute) {
  EnsureOpen();
  ConsoleState& state = Console();
  if (!state.outputIsConsole) return;
  SetConsoleTextAttribute(state.output, static_cast<WORD>(attribute));
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(state.output, &info)) return;
  bool ended = false;
  const bool lineAbove = LineToPaint(&ended) != nullptr && ended;
  COORD start = {0, info.dwCursorPosition.Y};
  if (lineAbove && start.Y > 0) --start.Y;
  DWORD painted = 0;
  FillConsoleOutputAttribute(state.output, static_cast<WORD>(attribute),
                             static_cast<DWORD>(info.dwSize.X), start, &painted);
}

void ConResetColor() {
  EnsureOpen();
  ConsoleState& state = Console();
  if (state.outputIsConsole) SetConsoleTextAttribute(state.output, state.attributeAtOpen);
}
