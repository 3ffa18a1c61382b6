// Output on POSIX: texts converted from their code page to UTF-8 and written
// to standard output (a terminal, a pipe or a file alike), colours as ANSI
// sequences on a terminal, and the terminal's size.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "dump/code_pages.h"
#include "dump/dump.h"
#include "dump/posix_state.h"
#include "dump/terminal_codes.h"

namespace {

// While it lives, a write to a pipe whose reader has gone fails instead of
// ending the process with SIGPIPE: the text is lost, as under Windows. The
// signal such a write raises is taken back, unless one was waiting already.
class PipeSignalHeld {
 public:
  PipeSignalHeld() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    waiting_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &mask_);
  }
  ~PipeSignalHeld() {
    sigset_t pending;
    if (!waiting_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      const struct timespec now = {0, 0};
      sigtimedwait(&pipe_, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
  }
  PipeSignalHeld(const PipeSignalHeld&) = delete;
  PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

 private:
  sigset_t pipe_;
  sigset_t mask_;
  bool waiting_;
};

}  // namespace

void WriteAll(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, bytes, length);
    if (written > 0) {
      bytes += written;
      length -= static_cast<size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && errno == EAGAIN) {
      // An output left non-blocking by another program: wait for room.
      struct pollfd room = {fd, POLLOUT, 0};
      if (poll(&room, 1, -1) < 0 && errno != EINTR) return;
    } else {
      return;
    }
  }
}

void WriteText(const char* text, size_t length, unsigned codePage) {
  ConsoleState& state = Console();
  if (length == 0 || state.output < 0) return;
  state.midLine = text[length - 1] != '\n';
  PipeSignalHeld held;
  const size_t kPart = 1024;
  char utf8[kPart * kUtf8CharacterMax];
  for (size_t from = 0; from < length; from += kPart) {
    const size_t part = length - from < kPart ? length - from : kPart;
    WriteAll(state.output, utf8, EncodeUtf8Text(text + from, part, codePage, utf8));
  }
}

bool OutputMidLine() { return Console().midLine; }

bool OutputIsScreen() { return Console().outputIsTerminal; }

void ClearToLineEnd(size_t) {
  ConsoleState& state = Console();
  if (state.outputIsTerminal) WriteAll(state.output, "\033[K", 3);
}

void ConGetSize(int* columns, int* rows) {
  EnsureOpen();
  ConsoleState& state = Console();
  int width = 80;
  int height = 25;
  struct winsize size;
  if (state.outputIsTerminal && ioctl(state.output, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 &&
      size.ws_row > 0) {
    width = size.ws_col;
    height = size.ws_row;
  }
  if (columns != nullptr) *columns = width;
  if (rows != nullptr) *rows = height;
}

// The colour is shown at once: the line it belongs to is written again in it
// and cleared to its end, which fills the rest of the line with the colour.
void ConSetColor(int attribute) {
  EnsureOpen();
  ConsoleState& state = Console();
  if (!state.outputIsTerminal) return;
  char sequence[kColourSequenceSize];
  const size_t length = ColourSequence(attribute, sequence);
  state.colour = attribute;
  state.colourSet = 1;
  int columns = 0;
  ConGetSize(&columns, nullptr);
  bool ended = false;
  const ScreenText* line = LineToPaint(&ended);
  // A line that wrapped cannot be found by going one line up; without a
  // line to repaint, the colour fills the rest of the cursor's line.
  if (line == nullptr || line->length >= static_cast<size_t>(columns)) {
    WriteAll(state.output, sequence, length);
    WriteAll(state.output, "\033[K", 3);
    return;
  }
  WriteAll(state.output, ended ? "\033[A\r" : "\r", ended ? 4 : 1);
  WriteAll(state.output, sequence, length);
  char utf8[kScreenLineMax * kUtf8CharacterMax];
  WriteAll(state.output, utf8, EncodeUtf8Text(line->bytes, line->length, line->codePage, utf8));
  WriteAll(state.output, ended ? "\033[K\r\n" : "\033[K", ended ? 5 : 3);
}

void ConResetColor() {
  EnsureOpen();
  ConsoleState& state = Console();
  if (!state.outputIsTerminal) return;
  state.colourSet = 0;
  WriteAll(state.output, kColourReset, sizeof kColourReset - 1);
}
