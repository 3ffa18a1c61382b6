// The device behind an open COM port, as the driver's files use it: a
// terminal through termios and the modem-line ioctls (termios_line.cpp), or
// a port on a server through RFC 2217 over TCP (rfc2217_device.h). The
// driver's files keep the Win32 side (queues, overlapped operations, events,
// the three-wire rule); a line does what the device does.
//
// Every call is made with the port's mutex held. Failures return false, or
// -1 as the system calls do, with errno set. The calls given the lock may
// let it go while they wait (a drain, a server's answer), and take it again.
#pragma once

#include <linux/serial.h>
#include <sys/types.h>

#include <memory>
#include <mutex>

#include "platform/posix/serial/line_settings.h"

namespace serial {

using Guard = std::unique_lock<std::mutex>;

class CommLine {
 public:
  virtual ~CommLine() = default;

  // Input as read(2) gives it: a count, 0 once the line has ended, or -1
  // (EAGAIN: nothing yet).
  virtual ssize_t Read(BYTE* buffer, size_t size) = 0;
  // Output as write(2) takes it.
  virtual ssize_t Write(const BYTE* bytes, size_t size) = 0;
  virtual bool Configure(const LineSettings& line, Guard& lock) = 0;
  // Modem lines as TIOCM_ bits; the device has none when GetLines fails.
  virtual bool GetLines(int* lines) = 0;
  virtual bool SetLines(int bits, bool on, Guard& lock) = 0;
  virtual bool SetBreak(bool on, Guard& lock) = 0;
  // Output stopped as if XOFF had come, or started again.
  virtual bool StopOutput(bool stop) = 0;
  // Discards what waits to be read, to be sent, or both.
  virtual bool Purge(bool input, bool output) = 0;
  // Returns once what was written has left.
  virtual bool Drain(Guard& lock) = 0;
  // Bytes waiting in the device beyond the receive queue, and to be sent.
  virtual size_t InputWaiting() = 0;
  virtual size_t OutputWaiting() = 0;
  // The device's line-error counters; false where it keeps none.
  virtual bool Counts(serial_icounter_struct* counts) = 0;
  // Lets the device go: the handle is being closed.
  virtual void Close() = 0;

  // A line that reports its own changes (a server's notifications) is read
  // whenever it has input and sends what it holds back as it can; it has
  // neither to be polled for them nor watched only while a read pends.
  virtual bool Reports() const { return false; }
  // Such a line's connection has gone: it reads no more and writes nothing.
  virtual bool Gone() const { return false; }
  // It holds bytes that the connection has not taken yet, and sends them.
  virtual bool Unsent() const { return false; }
  virtual void SendUnsent() {}
};

struct CommFile;

// Opens the device of a path, or of an rfc2217:// address, for a new port
// (comm_open.cpp): its line, descriptor, DCB, lines and counters into
// `file`. 0, or the Win32 error.
DWORD OpenTerminal(const char* path, CommFile& file);
DWORD OpenRemotePort(const char* address, CommFile& file);

}  // namespace serial
