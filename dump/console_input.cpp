// Keys and lines from a console: keys from its input records, lines from its
// own line editor (which also echoes them).
//
// Win32 used here: GetConsoleMode, SetConsoleMode, PeekConsoleInputW,
// ReadConsoleInputW, WaitForSingleObject, ReadConsoleW, FlushConsoleInputBuffer,
// WideCharToMultiByte, ExitProcess.
#include "dump/console_state.h"

namespace {

// A key press that is a character, or ESC: Wine's terminal console reports a
// lone ESC with no character. Key releases, shift keys, arrows and function
// keys, and mouse, focus and size records are not keys.
bool IsKey(const INPUT_RECORD& record) {
  if (record.EventType != KEY_EVENT) return false;
  const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
  return key.bKeyDown && (key.uChar.UnicodeChar != 0 || key.wVirtualKeyCode == VK_ESCAPE);
}

unsigned char KeyCode(const KEY_EVENT_RECORD& key) {
  if (key.uChar.UnicodeChar == 0) return 27;  // ESC, see IsKey
  char code = '?';
  WideCharToMultiByte(kTextCodePage, 0, &key.uChar.UnicodeChar, 1, &code, 1, nullptr, nullptr);
  return static_cast<unsigned char>(code);
}

}  // namespace

void OpenConsoleInput(ConsoleState& state) {
  // Keys one by one without echo; window and mouse records are not wanted.
  // Processed input stays on, so that Ctrl+C still ends the program.
  state.rawInputMode =
      (state.inputModeAtOpen & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_WINDOW_INPUT |
                                 ENABLE_MOUSE_INPUT | ENABLE_VIRTUAL_TERMINAL_INPUT)) |
      ENABLE_PROCESSED_INPUT;
  SetConsoleMode(state.input, state.rawInputMode);
}

bool InputIsDevice(const ConsoleState& state) { return state.inputIsConsole; }

void EndOfInput() { ExitProcess(0); }

bool DeviceKeyWaiting(ConsoleState& state) {
  // Records that are not keys are dropped on the way, keys never.
  for (;;) {
    INPUT_RECORD record;
    DWORD count = 0;
    if (!PeekConsoleInputW(state.input, &record, 1, &count)) return true;  // input gone
    if (count == 0) return false;
    if (IsKey(record)) return true;
    if (!ReadConsoleInputW(state.input, &record, 1, &count)) return true;
  }
}

bool DeviceTakeKey(ConsoleState& state, unsigned char* key) {
  for (;;) {
    if (WaitForSingleObject(state.input, INFINITE) != WAIT_OBJECT_0) return false;
    INPUT_RECORD record;
    DWORD count = 0;
    if (!ReadConsoleInputW(state.input, &record, 1, &count)) return false;
    if (count == 1 && IsKey(record)) {
      *key = KeyCode(record.Event.KeyEvent);
      return true;
    }
  }
}

InputLine DeviceReadLine(ConsoleState& state, char* line, size_t capacity) {
  SetConsoleMode(state.input, state.rawInputMode | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                  ENABLE_PROCESSED_INPUT);
  InputLine result = {false, 0, false};
  // The editor hands a line longer than the buffer over in parts: read up to
  // its end, keeping what fits.
  bool complete = false;
  while (!complete) {
    wchar_t wide[1024];
    DWORD read = 0;
    if (!ReadConsoleW(state.input, wide, 1024, &read, nullptr) || read == 0) {
      result.ended = result.length == 0 && !result.cut;
      break;
    }
    char bytes[1024];
    const int count = WideCharToMultiByte(kTextCodePage, 0, wide, static_cast<int>(read), bytes,
                                          sizeof bytes, nullptr, nullptr);
    for (int i = 0; i < count; ++i) {
      if (bytes[i] == '\n') {
        complete = true;
        break;
      }
      if (bytes[i] == '\r') continue;
      if (result.length < capacity) {
        line[result.length++] = bytes[i];
      } else {
        result.cut = true;
      }
    }
  }
  SetConsoleMode(state.input, state.rawInputMode);
  return result;
}

void DeviceFlushKeys(ConsoleState& state) { FlushConsoleInputBuffer(state.input); }
