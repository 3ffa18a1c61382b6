// The screen's line as the output calls wrote it (console_core.h). A status
// line ends in "\r" and the next text is written over it: where that text is
// shorter, blanks clear what the old line would leave on a screen, before the
// "\r" or "\n" that ends it. A line left untouched after its "\r" is kept as
// it is.
#include <cstring>

#include "dump/console_core.h"

namespace {

void Keep(ScreenText& text, char byte, unsigned codePage) {
  text.codePage = codePage;
  if (text.length < kScreenLineMax) {
    text.bytes[text.length++] = byte;
  } else {
    text.cut = true;
  }
}

void EndLine(ScreenLine& screen) {
  screen.before = screen.line;
  screen.line.length = 0;
  screen.line.cut = false;
  screen.line.typed = false;
  screen.column = 0;
  screen.width = 0;
}

}  // namespace

void ShowText(const char* text, size_t length, unsigned codePage) {
  ScreenLine& screen = Screen();
  size_t from = 0;
  for (size_t i = 0; i < length; ++i) {
    const char byte = text[i];
    if (byte != '\r' && byte != '\n') {
      ++screen.column;
      Keep(screen.line, byte, codePage);
      continue;
    }
    if (screen.column > 0 && screen.column < screen.width && OutputIsScreen()) {
      WriteText(text + from, i - from, codePage);
      from = i;
      ClearToLineEnd(screen.width - screen.column);
    }
    if (byte == '\n') {
      EndLine(screen);
    } else {
      if (screen.column > screen.width) screen.width = screen.column;
      screen.column = 0;
      Keep(screen.line, byte, codePage);
    }
  }
  WriteText(text + from, length - from, codePage);
}

void LineTyped(const char* text, size_t length, bool echoed) {
  ScreenLine& screen = Screen();
  if (echoed) {
    for (size_t i = 0; i < length; ++i) Keep(screen.line, text[i], screen.line.codePage);
    EndLine(screen);
  } else {
    ShowText(text, length, kTextCodePage);
    ShowText("\n", 1, kTextCodePage);
  }
  screen.before.typed = true;
}

const ScreenText* LineToPaint(bool* ended) {
  const ScreenLine& screen = Screen();
  *ended = screen.line.length == 0;
  const ScreenText& text = *ended ? screen.before : screen.line;
  return text.cut || text.typed ? nullptr : &text;
}
