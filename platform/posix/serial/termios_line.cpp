// A COM port's device as a terminal: termios, the modem-line ioctls and the
// driver's counters, opened exclusively and raw at once.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <new>

#include "platform/posix/serial/comm_file.h"

namespace serial {

namespace {

// The device numbers of pseudo-terminals' terminal sides (Linux's devices.txt).
const unsigned kPtySlaveFirstMajor = 136;
const unsigned kPtySlaveLastMajor = 143;

class TermiosLine : public CommLine {
 public:
  TermiosLine(int fd, bool outputQueue) : fd_(fd), outputQueue_(outputQueue) {}

  ssize_t Read(BYTE* buffer, size_t size) override { return read(fd_, buffer, size); }
  ssize_t Write(const BYTE* bytes, size_t size) override { return write(fd_, bytes, size); }
  bool Configure(const LineSettings& line, Guard&) override { return WriteLineSettings(fd_, line); }
  bool GetLines(int* lines) override { return ioctl(fd_, TIOCMGET, lines) == 0; }
  bool SetLines(int bits, bool on, Guard&) override {
    return ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
  }
  bool SetBreak(bool on, Guard&) override { return ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0; }
  bool StopOutput(bool stop) override { return tcflow(fd_, stop ? TCOOFF : TCOON) == 0; }
  bool Purge(bool input, bool output) override {
    return tcflush(fd_, input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH) == 0;
  }
  bool Drain(Guard& lock) override;
  size_t InputWaiting() override { return Waiting(FIONREAD); }
  size_t OutputWaiting() override { return Waiting(TIOCOUTQ); }
  bool Counts(serial_icounter_struct* counts) override {
    return ioctl(fd_, TIOCGICOUNT, counts) == 0;
  }
  void Close() override {
    ioctl(fd_, TIOCNXCL);
    close(fd_);
    fd_ = -1;
  }

 private:
  size_t Waiting(unsigned long request) {
    int queued = 0;
    return ioctl(fd_, request, &queued) == 0 ? static_cast<size_t>(queued) : 0;
  }

  int fd_;
  bool outputQueue_;  // false for a pseudo-terminal, which has none to drain
};

bool TermiosLine::Drain(Guard& lock) {
  // A pseudo-terminal has no output queue: what was written is at its far side.
  if (!outputQueue_) return true;
  // Nothing queued in the driver: done, without the three calls of a drain
  // (every write of the link is followed by a flush).
  if (Waiting(TIOCOUTQ) == 0) return true;
  // The drain may take long: on a copy of the descriptor, without the mutex.
  const int fd = dup(fd_);
  lock.unlock();
  if (fd < 0) return false;
  const bool drained = tcdrain(fd) == 0;
  const int error = errno;
  close(fd);
  errno = error;
  return drained;
}

// The terminal side of a pseudo-terminal: what is written to it is at the
// other side when the write returns.
bool IsPseudoTerminal(int fd) {
  struct stat device = {};
  if (fstat(fd, &device) != 0 || !S_ISCHR(device.st_mode)) return false;
  const unsigned kind = major(device.st_rdev);
  return kind >= kPtySlaveFirstMajor && kind <= kPtySlaveLastMajor;
}

// Takes the device for this handle alone and makes it raw; 0 or the error.
DWORD TakeDevice(int fd, LineSettings& line) {
  if (!isatty(fd)) return ERROR_NOT_SUPPORTED;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) return ERROR_ACCESS_DENIED;
  DWORD error = 0;
  if (!ReadLineSettings(fd, line)) {
    error = ErrorOf(errno);
  } else {
    // A COM port is never a cooked terminal: raw at once, at its present settings.
    if (line.baudRate == 0) line.baudRate = 9600;  // not the hang-up rate
    if (!WriteLineSettings(fd, line)) error = ErrorOf(errno);
  }
  if (error != 0) ioctl(fd, TIOCNXCL);
  return error;
}

}  // namespace

DWORD OpenTerminal(const char* path, CommFile& file) {
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  // A serial device without its hardware answers the open with EIO.
  if (fd < 0) return errno == EIO ? ERROR_FILE_NOT_FOUND : ErrorOf(errno);
  LineSettings line = {};
  const DWORD error = TakeDevice(fd, line);
  if (error == 0) file.line.reset(new (std::nothrow) TermiosLine(fd, !IsPseudoTerminal(fd)));
  if (error != 0 || file.line == nullptr) {
    if (error == 0) ioctl(fd, TIOCNXCL);
    close(fd);
    return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
  }
  file.fd = fd;
  file.dcb = DcbOf(line);
  file.modemLines = ioctl(fd, TIOCMGET, &file.lines) == 0;
  // A three-wire line starts as a terminal does when opened: DTR and RTS up.
  if (!file.modemLines) file.lines = TIOCM_DTR | TIOCM_RTS;
  file.counters = ioctl(fd, TIOCGICOUNT, &file.counts) == 0;
  return 0;
}

}  // namespace serial
