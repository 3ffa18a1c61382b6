// The terminal's modes, and giving the terminal back as ConOpen found it
// (its mode, and its own colours) on every way out: the end of the process
// or of the library (the state record's destructor), and the signals that
// end it, which then take their default action. A stop (Ctrl+Z) gives the
// terminal back too, and the process takes it again when it goes on.
#include <errno.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "dump/posix_state.h"
#include "dump/terminal_codes.h"

namespace {

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

const struct termios& ModeSettings(const ConsoleState& state, int mode) {
  if (mode == kModeRaw) return state.rawMode;
  if (mode == kModeLine) return state.lineMode;
  return state.modeAtOpen;
}

// Sets the terminal's mode again and sends the colour in use, once the
// process goes on after a stop. In the background it leaves the mode for a
// later continue in the foreground: there, setting it would stop it again.
void Resume(ConsoleState& state) {
  if (state.finished) return;
  const int input = state.input.fd;
  const int mode = state.stoppedMode != kModeAtOpen ? state.stoppedMode : state.mode;
  if (state.inputIsTerminal && mode != kModeAtOpen && tcgetpgrp(input) == getpgrp()) {
    state.stoppedMode = kModeAtOpen;
    state.mode = mode;
    tcsetattr(input, TCSANOW, &ModeSettings(state, mode));
  }
  if (state.colourSet && state.outputIsTerminal) {
    char sequence[kColourSequenceSize];
    WriteAll(state.output, sequence, ColourSequence(state.colour, sequence));
  }
}

void EndBySignal(int signal) {
  const int savedErrno = errno;
  ConsoleState& state = Console();
  RestoreTerminal(state);
  state.finished = true;
  // The default action, which ends the process, follows once this returns.
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  raise(signal);
  errno = savedErrno;
}

void StopBySignal(int) {
  const int savedErrno = errno;
  ConsoleState& state = Console();
  if (state.mode != kModeAtOpen) state.stoppedMode = state.mode;
  const bool coloured = state.colourSet;
  RestoreTerminal(state);
  // Stops here, by the default action, until continued.
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  struct sigaction own;
  sigaction(SIGTSTP, &action, &own);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  raise(SIGTSTP);
  sigaction(SIGTSTP, &own, nullptr);
  state.colourSet = coloured;
  Resume(state);
  errno = savedErrno;
}

// Continued after a stop that did not come through StopBySignal (SIGSTOP),
// or in the foreground after going on in the background: the shell may have
// reset the terminal meanwhile.
void ContinueBySignal(int) {
  const int savedErrno = errno;
  Resume(Console());
  errno = savedErrno;
}

// Installs `handler` for `signal` unless the program handles or ignores it.
void InstallIfDefault(int signal, void (*handler)(int), const sigset_t& mask) {
  struct sigaction current;
  if (sigaction(signal, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) return;
  struct sigaction action = {};
  action.sa_handler = handler;
  action.sa_mask = mask;
  action.sa_flags = SA_RESTART;
  sigaction(signal, &action, nullptr);
}

void UninstallIfOwn(int signal, void (*handler)(int)) {
  struct sigaction current;
  if (sigaction(signal, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != handler) return;
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
}

}  // namespace

ConsoleState::~ConsoleState() {
  RestoreTerminal(*this);
  finished = true;
  // Should the library be unloaded, its handlers must not stay behind.
  for (const int signal : kEndingSignals) UninstallIfOwn(signal, EndBySignal);
  UninstallIfOwn(SIGTSTP, StopBySignal);
  UninstallIfOwn(SIGCONT, ContinueBySignal);
}

void InstallRestoreHandlers() {
  // A handler runs with the others held, so that it is not cut short by one.
  sigset_t mask;
  sigemptyset(&mask);
  for (const int signal : kEndingSignals) sigaddset(&mask, signal);
  sigaddset(&mask, SIGTSTP);
  for (const int signal : kEndingSignals) InstallIfDefault(signal, EndBySignal, mask);
  InstallIfDefault(SIGTSTP, StopBySignal, mask);
  InstallIfDefault(SIGCONT, ContinueBySignal, mask);
}

void SetTerminalMode(ConsoleState& state, TerminalMode mode) {
  if (!state.inputIsTerminal || state.finished || state.mode == mode) return;
  // The mode is recorded first, so that a signal arriving meanwhile finds
  // the terminal's mode given back or set again as it should.
  state.mode = mode;
  state.stoppedMode = kModeAtOpen;
  tcsetattr(state.input.fd, TCSANOW, &ModeSettings(state, mode));
}

void RestoreTerminal(ConsoleState& state) {
  if (state.colourSet && state.outputIsTerminal) {
    state.colourSet = 0;
    WriteAll(state.output, kColourReset, sizeof kColourReset - 1);
  }
  if (state.inputIsTerminal && state.mode != kModeAtOpen) {
    state.mode = kModeAtOpen;
    tcsetattr(state.input.fd, TCSANOW, &state.modeAtOpen);
  }
}
