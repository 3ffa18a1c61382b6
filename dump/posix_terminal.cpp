// Keys and lines from a terminal. Keys come raw (no line editing, no echo;
// Ctrl+C still interrupts), decoded from UTF-8 and escape sequences into code
// page 1251 codes; a lone ESC is told from the start of a sequence by waiting
// a little for what follows. Lines come from the line editor
// (posix_line_editor.cpp).
#include <errno.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include "dump/code_pages.h"
#include "dump/posix_state.h"
#include "dump/terminal_codes.h"

namespace {

const unsigned char kEsc = 0x1B;

// Whether more of what waits may still come: its last byte is recent.
bool MoreMayCome(const InputBytes& input) {
  return !input.ended && NowMs() - input.lastByteMs < kEscapeWaitMs;
}

// How long to wait for the rest of what waits, or -1 for nothing waiting.
int WaitForRestMs(const InputBytes& input) {
  if (WaitingBytes(input) == 0) return -1;
  const long long left = input.lastByteMs + kEscapeWaitMs - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Drops from the front whatever is not a key; then the front key, if whole.
TerminalKey FrontKey(InputBytes& input) {
  for (;;) {
    const TerminalKey key =
        DecodeTerminalKey(FirstByte(input), WaitingBytes(input), MoreMayCome(input));
    if (key.kind != TerminalKey::kNotAKey) return key;
    DropBytes(input, key.length);
  }
}

}  // namespace

void OpenTerminalInput(ConsoleState& state) {
  struct termios& raw = state.rawMode;
  raw = state.modeAtOpen;
  // Enter is CR, Ctrl+S and Ctrl+Q are keys, as on a console; ISIG stays.
  raw.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON | ISTRIP);
  raw.c_lflag &= ~(ICANON | ECHO | ECHONL | IEXTEN);
  // A read after poll() found bytes returns what there is.
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;

  // The line editor's own mode replaces this when it first reads a line.
  state.lineMode = state.modeAtOpen;
  SetTerminalMode(state, kModeRaw);
}

bool InputIsDevice(const ConsoleState& state) { return state.inputIsTerminal; }

// The terminal is given back on the way out, by the state record.
void EndOfInput() { exit(0); }

bool DeviceKeyWaiting(ConsoleState& state) {
  InputBytes& input = state.input;
  FillInput(input, 0);
  return FrontKey(input).kind == TerminalKey::kKey || (WaitingBytes(input) == 0 && input.ended);
}

bool DeviceTakeKey(ConsoleState& state, unsigned char* key) {
  InputBytes& input = state.input;
  for (;;) {
    const TerminalKey front = FrontKey(input);
    if (front.kind == TerminalKey::kKey) {
      DropBytes(input, front.length);
      *key = front.code;
      return true;
    }
    if (input.ended) return false;  // then nothing is incomplete: nothing waits
    FillInput(input, WaitForRestMs(input));
  }
}

InputLine DeviceReadLine(ConsoleState& state, char* line, size_t capacity) {
  InputBytes& input = state.input;
  FillInput(input, 0);
  if (input.ended && WaitingBytes(input) == 0) return InputLine{true, 0, false};
  return EditLineOnTerminal(state, line, capacity);
}

void DeviceFlushKeys(ConsoleState& state) {
  tcflush(state.input.fd, TCIFLUSH);
  DropBytes(state.input, WaitingBytes(state.input));
}
