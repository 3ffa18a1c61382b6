// The bytes of standard input, read into the state's buffer when they are
// asked for: poll() tells without blocking whether a pipe, a file or a
// terminal has any, so no reader thread is needed. Keys and lines from a pipe
// or a file: each byte is a key.
#include <errno.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "dump/posix_state.h"

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

void FillInput(InputBytes& input, int timeoutMs) {
  if (input.ended) return;
  if (input.start == input.end) {
    input.start = 0;
    input.end = 0;
  } else if (input.end == kInputBufferSize) {
    memmove(input.bytes, input.bytes + input.start, input.end - input.start);
    input.end -= input.start;
    input.start = 0;
  }
  if (input.end == kInputBufferSize) return;  // full: the bytes there are taken first
  struct pollfd ready = {input.fd, POLLIN, 0};
  if (poll(&ready, 1, timeoutMs) <= 0) return;  // nothing yet, or a signal came
  if ((ready.revents & POLLNVAL) != 0) {
    input.ended = true;
    return;
  }
  const ssize_t got = read(input.fd, input.bytes + input.end, kInputBufferSize - input.end);
  if (got > 0) {
    input.end += static_cast<size_t>(got);
    input.lastByteMs = NowMs();
  } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
    input.ended = true;  // the end of a pipe or a file, or a terminal hung up
  }
}

void DropBytes(InputBytes& input, size_t count) {
  input.start += count < WaitingBytes(input) ? count : WaitingBytes(input);
}

bool PipeKeyWaiting(ConsoleState& state) {
  FillInput(state.input, 0);
  state.input.keyShown = WaitingBytes(state.input) > 0;
  return WaitingBytes(state.input) > 0 || state.input.ended;
}

bool PipeTakeKey(ConsoleState& state, unsigned char* key) {
  InputBytes& input = state.input;
  input.keyShown = false;
  while (WaitingBytes(input) == 0 && !input.ended) FillInput(input, -1);
  if (WaitingBytes(input) == 0) return false;
  *key = *FirstByte(input);
  DropBytes(input, 1);
  return true;
}

InputLine PipeReadLine(ConsoleState& state, char* line, size_t capacity) {
  InputBytes& input = state.input;
  InputLine result = {false, 0, false};
  bool any = false;
  input.keyShown = false;
  for (;;) {
    while (WaitingBytes(input) > 0) {
      any = true;
      const char byte = static_cast<char>(*FirstByte(input));
      DropBytes(input, 1);
      if (byte == '\n') return result;
      if (byte == '\r') continue;
      if (result.length < capacity) {
        line[result.length++] = byte;
      } else {
        result.cut = true;
      }
    }
    if (input.ended) {
      result.ended = !any;  // a last line without LF is still a line
      return result;
    }
    FillInput(input, -1);
  }
}

// Bytes from a pipe or a file are scripted, never stray: only the key that
// ConKeyPressed reported and nobody took (the one that stopped a loop) goes,
// with its line end when it stands alone on its line.
void PipeFlushKeys(ConsoleState& state) {
  InputBytes& input = state.input;
  if (!input.keyShown) return;
  input.keyShown = false;
  const bool lineEnd = *FirstByte(input) == '\n';
  DropBytes(input, 1);
  // A key alone on its line takes its line end with it.
  if (lineEnd) return;
  FillInput(input, 0);
  const size_t waiting = WaitingBytes(input);
  const unsigned char* next = FirstByte(input);
  if (waiting >= 1 && next[0] == '\n') DropBytes(input, 1);
  if (waiting >= 2 && next[0] == '\r' && next[1] == '\n') DropBytes(input, 2);
}
