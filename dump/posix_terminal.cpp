// Keys and lines from a terminal. Keys come raw (no line editing, no echo;
// Ctrl+C still interrupts), decoded from UTF-8 and escape sequences into code
// page 1251 codes; a lone ESC is told from the start of a sequence by waiting
// a little for what follows. For a line the terminal edits and echoes it
// itself, in its canonical mode.
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
const unsigned char kBackspace = 8;

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

// The terminal in its line mode while it lives, then in raw mode again.
class LineModeHeld {
 public:
  explicit LineModeHeld(ConsoleState& state) : state_(state) { SetTerminalMode(state_, kModeLine); }
  ~LineModeHeld() { SetTerminalMode(state_, kModeRaw); }
  LineModeHeld(const LineModeHeld&) = delete;
  LineModeHeld& operator=(const LineModeHeld&) = delete;

 private:
  ConsoleState& state_;
};

// A line being put together from terminal bytes: keys as they decode, ESC
// and CR dropped, the rest kept as far as there is room.
class LineBuilder {
 public:
  LineBuilder(char* line, size_t capacity) : line_(line), capacity_(capacity) {}

  void Add(unsigned char code) {
    if (code == kEsc || code == '\r') return;
    if (result_.length < capacity_) {
      line_[result_.length++] = static_cast<char>(code);
    } else {
      result_.cut = true;
    }
  }
  // Takes back the last byte kept (a Backspace typed ahead); false if none.
  bool Erase() {
    if (result_.length == 0) return false;
    --result_.length;
    return true;
  }
  // Bytes of the terminal, up to where a key might go on in the next ones.
  void Decode(const unsigned char* bytes, size_t count, bool more, size_t* used) {
    *used = 0;
    while (*used < count) {
      const TerminalKey key = DecodeTerminalKey(bytes + *used, count - *used, more);
      if (key.kind == TerminalKey::kIncomplete) return;
      if (key.kind == TerminalKey::kKey) Add(key.code);
      *used += key.length;
    }
  }
  const InputLine& result() const { return result_; }

 private:
  char* line_;
  size_t capacity_;
  InputLine result_ = {false, 0, false};
};

// Echoes a key typed ahead, in raw mode, where the terminal did not.
void EchoTypedAhead(const ConsoleState& state, unsigned char code) {
  char utf8[kUtf8CharacterMax];
  WriteAll(state.input.fd, utf8, EncodeUtf8(UnicodeOfByte(code, kTextCodePage), utf8));
}

// Keys typed before the line was asked for begin it, as a console's line
// editor takes them: echoed now, Backspace taken into account. True when an
// Enter among them ended the line; the keys after it stay.
bool TakeTypedAhead(ConsoleState& state, LineBuilder& line) {
  InputBytes& input = state.input;
  while (WaitingBytes(input) > 0) {
    const TerminalKey key = DecodeTerminalKey(FirstByte(input), WaitingBytes(input), false);
    DropBytes(input, key.length);
    if (key.kind != TerminalKey::kKey) continue;
    if (key.code == '\r' || key.code == '\n') {
      WriteAll(input.fd, "\r\n", 2);
      return true;
    }
    if (key.code == kBackspace) {
      if (line.Erase()) WriteAll(input.fd, "\b \b", 3);
    } else if (key.code >= 0x20 || key.code == '\t') {
      line.Add(key.code);
      EchoTypedAhead(state, key.code);
    }
  }
  return false;
}

// The line with the input found ended.
InputLine EndedLine(const LineBuilder& line, bool any) {
  InputLine result = line.result();
  result.ended = !any;
  return result;
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

  struct termios& line = state.lineMode;
  line = state.modeAtOpen;
  line.c_iflag |= ICRNL | IUTF8;
  line.c_iflag &= ~(INLCR | IGNCR);
  line.c_lflag |= ICANON | ECHO | ECHOE | ECHOK;
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
  LineBuilder builder(line, capacity);
  FillInput(input, 0);
  bool any = WaitingBytes(input) > 0;
  if (TakeTypedAhead(state, builder)) return builder.result();
  if (input.ended) return EndedLine(builder, any);
  LineModeHeld lineMode(state);
  unsigned char bytes[1024];
  size_t count = 0;  // bytes of a character or a sequence that a read cut in two
  for (;;) {
    struct pollfd ready = {input.fd, POLLIN, 0};
    if (poll(&ready, 1, -1) < 0 && errno == EINTR) continue;
    const ssize_t got = read(input.fd, bytes + count, sizeof bytes - count);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    size_t used = 0;
    if (got <= 0) {
      // Ctrl+D on an empty line, or a hang-up: the end of the input. A line
      // begun is still a line.
      input.ended = true;
      builder.Decode(bytes, count, false, &used);
      return EndedLine(builder, any);
    }
    any = true;
    const size_t end = count + static_cast<size_t>(got);
    size_t lineEnd = count;
    while (lineEnd < end && bytes[lineEnd] != '\n') ++lineEnd;
    if (lineEnd < end) {
      builder.Decode(bytes, lineEnd, false, &used);
      // A canonical read ends with the line; should more have come, it waits
      // as keys.
      for (size_t i = lineEnd + 1; i < end && input.end < kInputBufferSize; ++i) {
        input.bytes[input.end++] = bytes[i];
        input.lastByteMs = NowMs();
      }
      return builder.result();
    }
    builder.Decode(bytes, end, true, &used);
    count = end - used;
    for (size_t i = 0; i < count; ++i) bytes[i] = bytes[used + i];
    if (count == sizeof bytes) count = 0;  // no key is that long
  }
}

void DeviceFlushKeys(ConsoleState& state) {
  tcflush(state.input.fd, TCIFLUSH);
  DropBytes(state.input, WaitingBytes(state.input));
}
