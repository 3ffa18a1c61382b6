#include "tests/readertest/scripted_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "dump/dump.h"
#include "readertest/program_state.h"

ScriptedConsole Screen;

void ResetScripts() {
  Reader = ScriptedReader();
  Screen = ScriptedConsole();
  std::memset(&Program, 0, sizeof Program);
}

extern "C" {

namespace {
void Append(const char* format, va_list values) {
  char text[4096];
  std::vsnprintf(text, sizeof text, format, values);
  Screen.screen += text;
}
}  // namespace

int ConPrint(const char* format, ...) {
  va_list values;
  va_start(values, format);
  Append(format, values);
  va_end(values);
  return 0;
}

int ConStatus(const char* format, ...) {
  va_list values;
  va_start(values, format);
  Append(format, values);
  va_end(values);
  return 0;
}

void ConWrite(const char* text) { Screen.screen += text; }
void ConEchoInput(const char*) {}
void ConBanner(const char* text) { Screen.screen += text; }
int ConOpen(int) { return 0; }

void ConHexDump(const void* buffer, int length, int) {
  const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
  char hex[4];
  Screen.screen += "[";
  for (int i = 0; i < length; ++i) {
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", bytes[i]);
    Screen.screen += hex;
  }
  Screen.screen += "]\n";
}

int ConReadLine(char* buffer, int size) {
  if (Screen.lines.empty()) {
    ADD_FAILURE() << "a line was read that the test did not script";
    buffer[0] = '\0';
    return 0;
  }
  std::snprintf(buffer, size, "%s", Screen.lines.front().c_str());
  Screen.lines.pop_front();
  return 0;
}

int ConReadHex(unsigned char* buffer, int capacity, unsigned* lengthOut) {
  *lengthOut = 0;
  if (Screen.hexLines.empty()) {
    ADD_FAILURE() << "hex input was read that the test did not script";
    return 0;
  }
  const Bytes typed = Screen.hexLines.front();
  Screen.hexLines.pop_front();
  if (typed.size() > static_cast<size_t>(capacity)) return 0;
  if (!typed.empty()) std::memcpy(buffer, typed.data(), typed.size());
  *lengthOut = static_cast<unsigned>(typed.size());
  return static_cast<int>(typed.size());
}

int ConKeyPressed(void) {
  ++Screen.polls;
  return !Screen.keys.empty() && Screen.keys.front().atPoll <= Screen.polls ? 1 : 0;
}

int ConGetKey(void) {
  ++Screen.waits;
  if (Screen.keys.empty()) {
    ADD_FAILURE() << "a key was awaited that the test did not script";
    return 27;
  }
  const int key = Screen.keys.front().code;
  Screen.polls = std::max(Screen.polls, Screen.keys.front().atPoll);
  Screen.keys.pop_front();
  return key;
}

void ConFlushKeys(void) {
  while (!Screen.keys.empty() && Screen.keys.front().atPoll <= Screen.polls)
    Screen.keys.pop_front();
}

void ConGetSize(int* columns, int* rows) {
  *columns = 80;
  *rows = Screen.rows;
}

void ConSetColor(int attribute) { Screen.colors.push_back(attribute); }
void ConResetColor(void) { Screen.colors.push_back(-1); }

}  // extern "C"
