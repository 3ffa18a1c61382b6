// The library's binding of the port seam on POSIX: a COM port is a terminal
// device, driven through termios and the modem-line ioctls, with Win32's
// overlapped semantics kept by one I/O thread per open device.
//
// Which device: "\\.\COMn" is the path in SERCHAN32_COM<n> when that is set
// (a serial device, a pseudo-terminal, or a link to one), else
// /dev/ttyS<n-1>. It is opened exclusively: TIOCEXCL keeps other programs
// out, and an flock also holds against a second open by this process or by
// root, whom TIOCEXCL lets through.
//
// The device keeps the port's receive queue, as a serial driver does (its
// size is SetupComm's): whatever the terminal holds is taken in one read, and
// reads are served from the queue first, so a one-byte read whose byte is
// queued makes no system call. ClearCommError counts the queued bytes with
// the terminal's; PURGE_RXCLEAR empties both.
//
// Reads and writes complete at once when the bytes are there (or when the
// driver takes them all), with their event set; otherwise they pend, and the
// I/O thread, waiting on the device and a wake-up counter, completes them into
// the caller's buffer and sets the OVERLAPPED's event. The device is watched
// edge-triggered for input all the time, so a read that pends needs no
// wake-up of the thread (one byte per read makes that the common case): the
// bytes that end it arrive as a new edge. Read time-outs follow
// COMMTIMEOUTS (all zero: until every byte asked for has come); a write
// time-out completes the write short. Purges and CancelIoEx end pending
// operations with ERROR_OPERATION_ABORTED; so does closing the handle.
//
// A device that hangs up (the far side of a pseudo-terminal closed, a USB
// adapter unplugged) has no events left to wait for: the pending comm-event
// wait fails with ERROR_GEN_FAILURE, and so does every wait after it, as
// Windows fails the waits of a device that has gone.
//
// Modem lines: a device whose driver has no modem-line ioctls, as a
// pseudo-terminal has none, is taken as a three-wire line: DSR, CTS and the
// carrier are on and never change, and DTR and RTS are set and remembered.
// Other devices report their real lines. Their changes are seen by reading
// the lines every few milliseconds while the event mask asks for them
// (TIOCMIWAIT cannot be woken for a close on every driver).
//
// Line errors come from the driver's counters (TIOCGICOUNT) where it keeps
// them: each count that grew gives its CE_ bit to ClearCommError, and
// EV_ERR (frame, parity, overrun, receive queue overflow) or EV_BREAK to the
// comm-event wait. SetCommMask ends a pending WaitCommEvent with mask 0, as
// Windows does. A wait with an empty mask pends until the mask is set again.
#include "platform/posix/com_names.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <vector>

#include "platform/posix/kernel_object.h"
#include "serchan32/comm_device.h"
#include "serchan32/comm_line_posix.h"

namespace {

// How often modem lines and error counters are read while the mask asks for them.
const int kLinePollMs = 5;

// The receive queue's size until SetupComm asks for another, and its bounds.
const size_t kInQueueDefault = 4096;
const size_t kInQueueMin = 64;
const size_t kInQueueMax = 1 << 20;

// What the comm-event waits of a hung-up device fail with: EIO's error.
const DWORD kHungUpError = ERROR_GEN_FAILURE;

const DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
const DWORD kErrorEvents = EV_ERR | EV_BREAK;
const DWORD kPurgeFlags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// A read or write that has not completed: the caller's OVERLAPPED and buffer.
struct Transfer {
  LPOVERLAPPED overlapped;
  BYTE* buffer;
  DWORD length;
  DWORD done;
  uint64_t deadline;   // of the total time-out; kNoDeadline for none
  DWORD interval;      // read interval time-out; 0 for none
  uint64_t lastByte;   // when the last byte came
  bool firstBytesEnd;  // the read ends with the first bytes that come
};

struct CommFile : KernelObject {
  int fd = -1;
  int wake = -1;         // eventfd: a change for the I/O thread to look at
  int poller = -1;       // epoll of the I/O thread: wake, and the device edge-triggered
  uint32_t watched = 0;  // the device's epoll events as last set
  pthread_t ioThread = {};
  bool ioThreadStarted = false;
  std::mutex mutex;
  std::condition_variable completed;  // an operation has completed
  bool closing = false;
  bool hungUp = false;  // the device reported a hang-up: it is polled no more
  bool modemLines = false;
  int lines = 0;  // TIOCM_ bits: last read, or DTR and RTS as set on a three-wire line
  bool counters = false;
  serial_icounter_struct counts = {};
  DWORD errors = 0;  // CE_ bits that ClearCommError has not taken
  DCB dcb = {};
  COMMTIMEOUTS timeouts = {};
  DWORD mask = 0;
  DWORD history = 0;  // events of the mask since the last wait took them
  // The receive queue, as a serial driver keeps it: whatever the device holds
  // is taken in one read, and reads are served from here first.
  std::vector<BYTE> inQueue = std::vector<BYTE>(kInQueueDefault);
  size_t inStart = 0;  // the queued bytes are [inStart, inEnd)
  size_t inEnd = 0;
  std::deque<Transfer> reads;
  std::deque<Transfer> writes;
  LPOVERLAPPED waitOverlapped = nullptr;  // the pending comm-event wait
  LPDWORD waitMask = nullptr;
};

using Guard = std::unique_lock<std::mutex>;

DWORD ErrorOf(int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOTTY:
      return ERROR_NOT_SUPPORTED;
    case ENOMEM:
    case EMFILE:
    case ENFILE:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The device behind a handle, held for the length of one call.
class Device {
 public:
  explicit Device(HANDLE handle)
      : file_(static_cast<CommFile*>(object_table::Hold(handle, ObjectKind::kCommFile))) {}
  ~Device() {
    if (file_ != nullptr) object_table::Release(file_);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Null (with the last error set) when the handle names no open device.
  CommFile* get() const { return file_; }

 private:
  CommFile* file_;
};

void Wake(CommFile& file) {
  const uint64_t one = 1;
  if (write(file.wake, &one, sizeof one) < 0) {
    // The counter is full, so the thread has a wake-up waiting already.
  }
}

// Ends an operation: its result into the OVERLAPPED, then its event.
void Complete(CommFile& file, LPOVERLAPPED overlapped, DWORD error, DWORD bytes) {
  overlapped->InternalHigh = bytes;
  overlapped->Internal = error;
  if (overlapped->hEvent != nullptr) SetEvent(overlapped->hEvent);
  file.completed.notify_all();
}

void StartOperation(LPOVERLAPPED overlapped) {
  overlapped->Internal = ERROR_IO_PENDING;
  overlapped->InternalHigh = 0;
  if (overlapped->hEvent != nullptr) ResetEvent(overlapped->hEvent);
}

// With the mutex held: the errors counted since the last look, into
// file.errors; the events they make.
DWORD TakeCounts(CommFile& file) {
  if (!file.counters) return 0;
  serial_icounter_struct now = {};
  if (ioctl(file.fd, TIOCGICOUNT, &now) != 0) return 0;
  const serial_icounter_struct& was = file.counts;
  DWORD errors = 0;
  if (now.frame != was.frame) errors |= CE_FRAME;
  if (now.parity != was.parity) errors |= CE_RXPARITY;
  if (now.overrun != was.overrun) errors |= CE_OVERRUN;
  if (now.buf_overrun != was.buf_overrun) errors |= CE_RXOVER;
  if (now.brk != was.brk) errors |= CE_BREAK;
  file.counts = now;
  file.errors |= errors;
  DWORD events = 0;
  if (errors & (CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_RXOVER)) events |= EV_ERR;
  if (errors & CE_BREAK) events |= EV_BREAK;
  return events;
}

// With the mutex held: the modem-line changes since the last look, as events.
DWORD TakeLineChanges(CommFile& file) {
  if (!file.modemLines) return 0;
  int now = 0;
  if (ioctl(file.fd, TIOCMGET, &now) != 0) return 0;
  const int changed = now ^ file.lines;
  file.lines = now;
  DWORD events = 0;
  if (changed & TIOCM_CTS) events |= EV_CTS;
  if (changed & TIOCM_DSR) events |= EV_DSR;
  if (changed & TIOCM_CAR) events |= EV_RLSD;
  if (changed & TIOCM_RNG) events |= EV_RING;
  return events;
}

bool Monitoring(const CommFile& file) {
  return (file.modemLines && (file.mask & kModemEvents)) ||
         (file.counters && (file.mask & kErrorEvents));
}

// With the mutex held: looks at the lines and counters, and ends the pending
// wait if an event of the mask has come.
void Watch(CommFile& file) {
  const DWORD events = TakeLineChanges(file) | TakeCounts(file);
  file.history |= events & file.mask;
  if (file.waitOverlapped != nullptr && file.history != 0) {
    *file.waitMask = file.history;
    file.history = 0;
    LPOVERLAPPED overlapped = file.waitOverlapped;
    file.waitOverlapped = nullptr;
    file.waitMask = nullptr;
    Complete(file, overlapped, 0, 0);
  }
}

// With the mutex held: ends the pending wait of a device that has hung up.
void FailWaitOfHungUpDevice(CommFile& file) {
  if (!file.hungUp || file.waitOverlapped == nullptr) return;
  LPOVERLAPPED overlapped = file.waitOverlapped;
  file.waitOverlapped = nullptr;
  file.waitMask = nullptr;
  Complete(file, overlapped, kHungUpError, 0);
}

bool ReadIsComplete(const Transfer& read, uint64_t now) {
  if (read.done == read.length) return true;
  if (read.firstBytesEnd && read.done > 0) return true;
  if (read.deadline != object_table::kNoDeadline && now >= read.deadline) return true;
  return read.interval != 0 && read.done > 0 && now - read.lastByte > read.interval;
}

// A new transfer with the time-outs that apply to it.
Transfer NewTransfer(const CommFile& file, LPOVERLAPPED overlapped, BYTE* buffer, DWORD length,
                     bool isRead) {
  Transfer transfer = {};
  transfer.overlapped = overlapped;
  transfer.buffer = buffer;
  transfer.length = length;
  transfer.deadline = object_table::kNoDeadline;
  transfer.lastByte = object_table::NowMs();
  const COMMTIMEOUTS& t = file.timeouts;
  uint64_t total = 0;
  if (isRead) {
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
      transfer.firstBytesEnd = true;
      total = t.ReadTotalTimeoutConstant;
    } else {
      total = uint64_t{t.ReadTotalTimeoutMultiplier} * length + t.ReadTotalTimeoutConstant;
      transfer.interval = t.ReadIntervalTimeout;
    }
  } else {
    total = uint64_t{t.WriteTotalTimeoutMultiplier} * length + t.WriteTotalTimeoutConstant;
  }
  // As the table's deadlines: a millisecond more, so as never to end early.
  if (total != 0) transfer.deadline = transfer.lastByte + total + 1;
  return transfer;
}

// A read with MAXDWORD as its interval and no totals returns what is there.
bool ReadsAtOnce(const COMMTIMEOUTS& t) {
  return t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
         t.ReadTotalTimeoutConstant == 0;
}

size_t Queued(const CommFile& file) { return file.inEnd - file.inStart; }

// With the mutex held: takes what the device holds into the receive queue,
// as far as it has room, in one read. False on a device error (errno set);
// `ended` when the line has ended.
bool FillQueue(CommFile& file, bool& ended) {
  if (file.inStart == file.inEnd) {
    file.inStart = file.inEnd = 0;
  } else if (file.inEnd == file.inQueue.size()) {
    memmove(file.inQueue.data(), file.inQueue.data() + file.inStart, Queued(file));
    file.inEnd -= file.inStart;
    file.inStart = 0;
  }
  if (file.inEnd == file.inQueue.size()) return true;  // full: taken from first
  const ssize_t got =
      read(file.fd, file.inQueue.data() + file.inEnd, file.inQueue.size() - file.inEnd);
  if (got > 0) {
    file.inEnd += static_cast<size_t>(got);
    return true;
  }
  if (got == 0) {
    ended = true;
    return true;
  }
  return errno == EAGAIN || errno == EINTR;
}

// Serves a read from the receive queue, refilling it from the device while
// the read wants more and the device has it. False on a device error.
bool MoveIn(CommFile& file, Transfer& transfer, bool& ended) {
  while (transfer.done < transfer.length) {
    if (Queued(file) == 0) {
      if (!FillQueue(file, ended)) return false;
      if (Queued(file) == 0) return true;  // nothing there yet, or the line ended
    }
    const size_t take = std::min(Queued(file), size_t{transfer.length - transfer.done});
    memcpy(transfer.buffer + transfer.done, file.inQueue.data() + file.inStart, take);
    file.inStart += take;
    transfer.done += static_cast<DWORD>(take);
    transfer.lastByte = object_table::NowMs();
  }
  return true;
}

// Moves bytes between the device and a transfer; false on a device error
// (errno set). A read that meets the end of the line moves nothing.
bool Move(CommFile& file, Transfer& transfer, bool isRead, bool& ended) {
  ended = false;
  if (transfer.done == transfer.length) return true;
  if (isRead) return MoveIn(file, transfer, ended);
  const ssize_t moved =
      write(file.fd, transfer.buffer + transfer.done, transfer.length - transfer.done);
  if (moved > 0) {
    transfer.done += static_cast<DWORD>(moved);
    transfer.lastByte = object_table::NowMs();
    return true;
  }
  if (moved == 0) {
    ended = isRead;
    return true;
  }
  return errno == EAGAIN || errno == EINTR;
}

// With the mutex held: completes what the device allows of the pending reads
// and writes, and those whose time is up.
void ServiceTransfers(CommFile& file) {
  const uint64_t now = object_table::NowMs();
  for (int side = 0; side < 2; ++side) {
    const bool isRead = side == 0;
    std::deque<Transfer>& queue = isRead ? file.reads : file.writes;
    while (!queue.empty()) {
      Transfer& transfer = queue.front();
      bool ended = false;
      if (!Move(file, transfer, isRead, ended)) {
        Complete(file, transfer.overlapped, ErrorOf(errno), transfer.done);
      } else if (ended || transfer.done == transfer.length ||
                 (isRead && ReadIsComplete(transfer, now)) ||
                 (!isRead && now >= transfer.deadline)) {
        Complete(file, transfer.overlapped, 0, transfer.done);
      } else {
        break;
      }
      queue.pop_front();
    }
  }
}

void AbortAll(CommFile& file, std::deque<Transfer>& queue) {
  for (const Transfer& transfer : queue) {
    Complete(file, transfer.overlapped, ERROR_OPERATION_ABORTED, transfer.done);
  }
  queue.clear();
}

// With the mutex held: how long the I/O thread may sleep, in ms (-1: until woken).
int PollTimeout(const CommFile& file) {
  uint64_t next = object_table::kNoDeadline;
  for (const Transfer& read : file.reads) {
    if (read.deadline < next) next = read.deadline;
    if (read.interval != 0 && read.done > 0 && read.lastByte + read.interval + 1 < next) {
      next = read.lastByte + read.interval + 1;
    }
  }
  for (const Transfer& write : file.writes) {
    if (write.deadline < next) next = write.deadline;
  }
  int timeout = -1;
  if (next != object_table::kNoDeadline) {
    const uint64_t now = object_table::NowMs();
    timeout = next <= now ? 0 : next - now > 60000 ? 60000 : static_cast<int>(next - now);
  }
  if (Monitoring(file) && (timeout < 0 || timeout > kLinePollMs)) timeout = kLinePollMs;
  return timeout;
}

void* IoThreadMain(void* argument) {
  CommFile& file = *static_cast<CommFile*>(argument);
  Guard lock(file.mutex);
  while (!file.closing) {
    // Output space is asked for only while writes wait for it.
    const uint32_t wanted = EPOLLIN | EPOLLET | (file.writes.empty() ? 0u : uint32_t{EPOLLOUT});
    if (!file.hungUp && wanted != file.watched) {
      epoll_event device = {wanted, {}};
      device.data.fd = file.fd;
      if (epoll_ctl(file.poller, EPOLL_CTL_MOD, file.fd, &device) == 0) file.watched = wanted;
    }
    const int timeout = PollTimeout(file);
    lock.unlock();
    epoll_event ready[2];
    const int count = epoll_wait(file.poller, ready, 2, timeout);
    bool hangUp = false;
    for (int i = 0; i < count; ++i) {
      if (ready[i].data.fd == file.wake) {
        uint64_t wakes = 0;
        if (read(file.wake, &wakes, sizeof wakes) < 0) {
          // Another look at the state costs nothing: it is taken below anyway.
        }
      } else if (ready[i].events & (EPOLLHUP | EPOLLERR)) {
        hangUp = true;
      }
    }
    lock.lock();
    if (file.closing) break;
    if (hangUp && !file.hungUp) {
      file.hungUp = true;
      epoll_ctl(file.poller, EPOLL_CTL_DEL, file.fd, nullptr);
    }
    ServiceTransfers(file);
    Watch(file);
    FailWaitOfHungUpDevice(file);
  }
  return nullptr;
}

// Sets (or clears) modem-line bits: on the device, or remembered on a
// three-wire line. False with errno set.
bool ChangeLines(CommFile& file, int bits, bool on) {
  if (file.modemLines) return ioctl(file.fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
  file.lines = on ? (file.lines | bits) : (file.lines & ~bits);
  return true;
}

void CloseDevice(KernelObject* object) {
  CommFile& file = *static_cast<CommFile*>(object);
  {
    Guard lock(file.mutex);
    file.closing = true;
    AbortAll(file, file.reads);
    AbortAll(file, file.writes);
    if (file.waitOverlapped != nullptr) {
      Complete(file, file.waitOverlapped, ERROR_OPERATION_ABORTED, 0);
      file.waitOverlapped = nullptr;
    }
  }
  if (file.ioThreadStarted) {
    Wake(file);
    pthread_join(file.ioThread, nullptr);
  }
  Guard lock(file.mutex);
  ioctl(file.fd, TIOCNXCL);
  close(file.fd);
  close(file.wake);
  close(file.poller);
  file.fd = -1;
  file.wake = -1;
  file.poller = -1;
}

void DestroyDevice(KernelObject* object) { delete static_cast<CommFile*>(object); }

const ObjectType kCommFileType = {ObjectKind::kCommFile, CloseDevice, DestroyDevice};

// The DCB of a device as first opened, from its line settings.
DCB DcbOf(const LineSettings& line) {
  DCB dcb = {};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = line.baudRate;
  dcb.fBinary = 1;
  dcb.fParity = line.checkParity ? 1 : 0;
  dcb.fOutxCtsFlow = line.rtsCtsFlow ? 1 : 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = line.rtsCtsFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutX = line.xonXoffOut ? 1 : 0;
  dcb.fInX = line.xonXoffIn ? 1 : 0;
  dcb.ByteSize = line.dataBits;
  dcb.Parity = line.parity;
  dcb.StopBits = line.twoStopBits ? TWOSTOPBITS : ONESTOPBIT;
  dcb.XonChar = line.xonChar;
  dcb.XoffChar = line.xoffChar;
  return dcb;
}

// Starts a read or write on the device: at once if it can complete at once,
// else pending. Returns the Win32 result of ReadFile or WriteFile.
BOOL StartTransfer(CommFile& file, Guard& lock, BYTE* buffer, DWORD length, LPDWORD done,
                   LPOVERLAPPED overlapped, bool isRead) {
  if (done != nullptr) *done = 0;
  if (file.closing) return Fail(ERROR_INVALID_HANDLE);
  OVERLAPPED own = {};  // for a call without one: it waits here for the end
  LPOVERLAPPED used = overlapped != nullptr ? overlapped : &own;
  std::deque<Transfer>& queue = isRead ? file.reads : file.writes;
  StartOperation(used);
  Transfer transfer = NewTransfer(file, used, buffer, length, isRead);
  if (queue.empty()) {
    bool ended = false;
    if (!Move(file, transfer, isRead, ended)) {
      used->Internal = ErrorOf(errno);
      return Fail(static_cast<DWORD>(used->Internal));
    }
    const bool complete = ended || transfer.done == transfer.length ||
                          (isRead && ReadsAtOnce(file.timeouts)) ||
                          (isRead && transfer.firstBytesEnd && transfer.done > 0);
    if (complete) {
      Complete(file, used, 0, transfer.done);
      if (done != nullptr) *done = transfer.done;
      return TRUE;
    }
  }
  queue.push_back(transfer);
  // A read without time-outs waits for the device's next edge; anything else
  // changes what the I/O thread waits for.
  if (!isRead || transfer.deadline != object_table::kNoDeadline || transfer.interval != 0 ||
      file.hungUp)
    Wake(file);
  if (overlapped != nullptr) return Fail(ERROR_IO_PENDING);
  file.completed.wait(lock, [&] { return own.Internal != ERROR_IO_PENDING; });
  if (done != nullptr) *done = static_cast<DWORD>(own.InternalHigh);
  return own.Internal == 0 ? TRUE : Fail(static_cast<DWORD>(own.Internal));
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

bool FindAndAbort(CommFile& file, std::deque<Transfer>& queue, LPOVERLAPPED overlapped) {
  bool found = false;
  for (auto it = queue.begin(); it != queue.end();) {
    if (overlapped == nullptr || it->overlapped == overlapped) {
      Complete(file, it->overlapped, ERROR_OPERATION_ABORTED, it->done);
      it = queue.erase(it);
      found = true;
    } else {
      ++it;
    }
  }
  return found;
}

}  // namespace

namespace device {

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  char path[4096];
  if (name == nullptr || !ComDevicePath(name, path, sizeof path)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // A serial device without its hardware answers the open with EIO.
    SetLastError(errno == EIO ? ERROR_FILE_NOT_FOUND : ErrorOf(errno));
    return INVALID_HANDLE_VALUE;
  }
  LineSettings line = {};
  DWORD error = TakeDevice(fd, line);
  CommFile* file = nullptr;
  int wake = -1;
  int poller = -1;
  if (error == 0) {
    file = new (std::nothrow) CommFile();
    wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    poller = epoll_create1(EPOLL_CLOEXEC);
    epoll_event waking = {EPOLLIN, {}};
    waking.data.fd = wake;
    epoll_event device = {EPOLLIN | EPOLLET, {}};
    device.data.fd = fd;
    if (file == nullptr || wake < 0 || poller < 0 ||
        epoll_ctl(poller, EPOLL_CTL_ADD, wake, &waking) != 0 ||
        epoll_ctl(poller, EPOLL_CTL_ADD, fd, &device) != 0) {
      error = ERROR_NOT_ENOUGH_MEMORY;
      ioctl(fd, TIOCNXCL);
    }
  }
  if (error != 0) {
    if (wake >= 0) close(wake);
    if (poller >= 0) close(poller);
    delete file;
    close(fd);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  file->fd = fd;
  file->wake = wake;
  file->poller = poller;
  file->watched = EPOLLIN | EPOLLET;
  file->dcb = DcbOf(line);
  file->modemLines = ioctl(fd, TIOCMGET, &file->lines) == 0;
  // A three-wire line starts as a terminal does when opened: DTR and RTS up.
  if (!file->modemLines) file->lines = TIOCM_DTR | TIOCM_RTS;
  file->counters = ioctl(fd, TIOCGICOUNT, &file->counts) == 0;
  HANDLE handle = object_table::Insert(file, &kCommFileType);
  if (pthread_create(&file->ioThread, nullptr, IoThreadMain, file) != 0) {
    ::CloseHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  file->ioThreadStarted = true;
  return handle;
}

// The receive queue takes the size asked for (within bounds), keeping what
// it holds.
BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD) {
  Device device(handle);
  CommFile* file = device.get();
  if (file == nullptr) return FALSE;
  Guard lock(file->mutex);
  const size_t size = std::max(std::min(size_t{inQueue}, kInQueueMax), kInQueueMin);
  if (size < Queued(*file)) return TRUE;
  memmove(file->inQueue.data(), file->inQueue.data() + file->inStart, Queued(*file));
  file->inEnd -= file->inStart;
  file->inStart = 0;
  file->inQueue.resize(size);
  return TRUE;
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
  Device device(handle);
  CommFile* file = device.get();
  if (file == nullptr) return FALSE;
  if (flags & ~kPurgeFlags) return Fail(ERROR_INVALID_PARAMETER);
  Guard lock(file->mutex);
  if (file->closing) return Fail(ERROR_INVALID_HANDLE);
  if (flags & PURGE_RXABORT) AbortAll(*file, file->reads);
  if (flags & PURGE_TXABORT) AbortAll(*file, file->writes);
  if (flags & PURGE_RXCLEAR) {
    file->inStart = file->inEnd = 0;
    if (tcflush(file->fd, TCIFLUSH) != 0) return Fail(ErrorOf(errno));
  }
  if ((flags & PURGE_TXCLEAR) && tcflush(file->fd, TCOFLUSH) != 0) return Fail(ErrorOf(errno));
  Wake(*file);
  return TRUE;
}

// The DCB as last set (or as the device was found): a pseudo-terminal keeps
// neither character size nor parity in its termios, so they are not read back.
BOOL GetCommState(HANDLE handle, LPDCB dcb) {
  Device device(handle);
  CommFile* file = device.get();
  if (file == nullptr) return FALSE;
  Guard lock(file->mutex);
  *dcb = file->dcb;
  return TRUE;
}

BOOL SetCommState(HANDLE handle, LPDCB dcb) {
  Device device(handle);
  CommFile* file = device.get();
  if (file == nullptr) return FALSE;
  // 1.5 stop bits exist only with five data bits on a few UARTs; termios has none.
  if (dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
      (dcb->StopBits != ONESTOPBIT && dcb->StopBits != TWOSTOPBITS) ||
      ((dcb->fOutX || dcb->fInX) && dcb->XonChar == dcb->XoffChar)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  LineSettings line = {};
  line.baudRate = dcb->BaudRate;
  line.dataBits = dcb->ByteSize;
  line.parity = dcb->Parity;
  line.twoStopBits = dcb->StopBits == TWOSTOPBITS;
  line.checkParity = dcb->fParity != 0 && dcb->Parity != NOPARITY;
  line.rtsCtsFlow = dcb->fOutxCtsFlow != 0 || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE;
  line.xonXoffOut = dcb->fOutX != 0;
  line.xonXoffIn = dcb->fInX != 0;
  line.xonChar = dcb->XonChar;
  line.xoffChar = dcb->XoffChar;
  Guard lock(file->mutex);
  if (file->closing) return Fail(ERROR_INVALID_HANDLE);
  if (!WriteLineSettings(file->fd, line) ||
      !ChangeLines(*file, TIOCM_DTR, dcb->fDtrControl != DTR_CONTROL_DISABLE) ||
      (!line.rtsCtsFlow &&
       !ChangeLines(*file, TIOCM_RTS, dcb->fRtsControl != RTS_CONTROL_DISABLE))) {
    return Fail(ErrorOf(errno));
  }
  file->dcb = *dcb;
  file->dcb.DCBlength = sizeof(DCB);
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
  Device device(handle);
  CommFile* file = device.get();
  if (file == nullptr) return FALSE;
  if (timeouts->ReadIntervalTimeout == MAXDWORD &&
      timeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
      timeouts->ReadTotalTimeoutConstant == MAXDWORD) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  Guard lock(file->mutex);
  file->timeouts = *timeouts;
  return TRUE;
}

BOOL SetCommMask(HANDLE handle, DWORD mask) {
  Device device(handle);
  CommFile* file = device.get();
  if (file == nullptr) return FALSE;
  Guard lock(file->mutex);
  if (file->closing) return Fail(ERROR_INVALID_HANDLE);
  // What happened before counts under the old mask; the new one starts afresh.
  TakeLineChanges(*file);
  TakeCounts(*file);
  file->mask = mask;
  file->history = 0;
  if (file->waitOverlapped != nullptr) {
    *file->waitMask = 0;
    Complete(*file, file->waitOverlapped, 0, 0);
    file->waitOverlapped = nullptr;
    file->waitMask = nullptr;
  }
  Wake(*file);
  return TRUE;
}

BOOL WaitCommEvent(HANDLE handle, LPDWORD mask, LPOVERLAPPED overlapped) {
  Device device(handle);
  CommFile* file = device.get();
  if (file == nullptr) return FALSE;
  Guard lock(file->mutex);
  if (file->closing) return Fail(ERROR_INVALID_HANDLE);
  if (file->waitOverlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (file->hungUp) return Fail(kHungUpError);
  OVERLAPPED own = {};
  LPOVERLAPPED used = overlapped != nullptr ? overlapped : &own;
  StartOperation(used);
  file->waitOverlapped = used;
  file->waitMask = mask;
  Watch(*file);
  if (file->waitOverlapped == nullptr) return TRUE;  // an event had come already
  Wake(*file);
  if (overlapped != nullptr) return Fail(ERROR_IO_PENDING);
  file->completed.wait(lock, [&] { return own.Internal != ERROR_IO_PENDING; });
  return own.Internal == 0 ? TRUE : Fail(static_cast<DWORD>(own.Internal));
}

BOOL ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT stat) {
  Device device(handle);
  CommFile* file = device.get();
  if (file == nullptr) return FALSE;
  Guard lock(file->mutex);
  if (file->closing) return Fail(ERROR_INVALID_HANDLE);
  file->history |= TakeCounts(*file) & file->mask;
  if (errors != nullptr) *errors = file->errors;
  file->errors = 0;
  if (stat != nullptr) {
    *stat = COMSTAT();
    int queued = 0;
    stat->cbInQue = static_cast<DWORD>(Queued(*file));
    if (ioctl(file->fd, FIONREAD, &queued) == 0) stat->cbInQue += static_cast<DWORD>(queued);
    if (ioctl(file->fd, TIOCOUTQ, &queued) == 0) stat->cbOutQue = static_cast<DWORD>(queued);
    for (const Transfer& write : file->writes) stat->cbOutQue += write.length - write.done;
  }
  return TRUE;
}

BOOL GetCommModemStatus(HANDLE handle, LPDWORD status) {
  Device device(handle);
  CommFile* file = device.get();
  if (file == nullptr) return FALSE;
  Guard lock(file->mutex);
  if (file->closing) return Fail(ERROR_INVALID_HANDLE);
  if (!file->modemLines) {
    *status = MS_DSR_ON | MS_CTS_ON | MS_RLSD_ON;
    return TRUE;
  }
  int lines = 0;
  if (ioctl(file->fd, TIOCMGET, &lines) != 0) return Fail(ErrorOf(errno));
  *status = ((lines & TIOCM_CTS) ? MS_CTS_ON : 0) | ((lines & TIOCM_DSR) ? MS_DSR_ON : 0) |
            ((lines & TIOCM_RNG) ? MS_RING_ON : 0) | ((lines & TIOCM_CAR) ? MS_RLSD_ON : 0);
  return TRUE;
}

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
  Device device(handle);
  CommFile* file = device.get();
  if (file == nullptr) return FALSE;
  Guard lock(file->mutex);
  if (file->closing) return Fail(ERROR_INVALID_HANDLE);
  bool done = false;
  switch (function) {
    case SETDTR:
    case CLRDTR:
      done = ChangeLines(*file, TIOCM_DTR, function == SETDTR);
      break;
    case SETRTS:
    case CLRRTS:
      done = ChangeLines(*file, TIOCM_RTS, function == SETRTS);
      break;
    case SETBREAK:
    case CLRBREAK:
      done = ioctl(file->fd, function == SETBREAK ? TIOCSBRK : TIOCCBRK) == 0;
      break;
    case SETXOFF:
    case SETXON:
      done = tcflow(file->fd, function == SETXOFF ? TCOOFF : TCOON) == 0;
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  return done ? TRUE : Fail(ErrorOf(errno));
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped) {
  Device device(handle);
  CommFile* file = device.get();
  if (file == nullptr) return FALSE;
  Guard lock(file->mutex);
  return StartTransfer(*file, lock, static_cast<BYTE*>(buffer), length, done, overlapped, true);
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped) {
  Device device(handle);
  CommFile* file = device.get();
  if (file == nullptr) return FALSE;
  Guard lock(file->mutex);
  // The buffer is only ever read from on the write side.
  BYTE* bytes = const_cast<BYTE*>(static_cast<const BYTE*>(buffer));
  return StartTransfer(*file, lock, bytes, length, done, overlapped, false);
}

BOOL GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD done, BOOL wait) {
  Device device(handle);
  CommFile* file = device.get();
  if (file == nullptr) return FALSE;
  Guard lock(file->mutex);
  if (overlapped->Internal == ERROR_IO_PENDING && !wait) {
    *done = static_cast<DWORD>(overlapped->InternalHigh);
    return Fail(ERROR_IO_INCOMPLETE);
  }
  file->completed.wait(lock, [&] { return overlapped->Internal != ERROR_IO_PENDING; });
  *done = static_cast<DWORD>(overlapped->InternalHigh);
  return overlapped->Internal == 0 ? TRUE : Fail(static_cast<DWORD>(overlapped->Internal));
}

BOOL CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
  Device device(handle);
  CommFile* file = device.get();
  if (file == nullptr) return FALSE;
  Guard lock(file->mutex);
  bool found = FindAndAbort(*file, file->reads, overlapped);
  found = FindAndAbort(*file, file->writes, overlapped) || found;
  if (file->waitOverlapped != nullptr &&
      (overlapped == nullptr || overlapped == file->waitOverlapped)) {
    Complete(*file, file->waitOverlapped, ERROR_OPERATION_ABORTED, 0);
    file->waitOverlapped = nullptr;
    file->waitMask = nullptr;
    found = true;
  }
  if (!found) return Fail(ERROR_NOT_FOUND);
  Wake(*file);
  return TRUE;
}

// Waits until the bytes written so far have left: pending writes first, then
// the driver's queue.
BOOL FlushFileBuffers(HANDLE handle) {
  Device device(handle);
  CommFile* file = device.get();
  if (file == nullptr) return FALSE;
  Guard lock(file->mutex);
  file->completed.wait(lock, [&] { return file->writes.empty() || file->closing; });
  if (file->closing) return Fail(ERROR_INVALID_HANDLE);
  // Nothing queued in the driver: done, without the three calls of a drain
  // (every write of the link is followed by a flush).
  int queued = 0;
  if (ioctl(file->fd, TIOCOUTQ, &queued) == 0 && queued == 0) return TRUE;
  // The drain may take long: on a copy of the descriptor, without the mutex.
  const int fd = dup(file->fd);
  lock.unlock();
  if (fd < 0) return Fail(ErrorOf(errno));
  const bool drained = tcdrain(fd) == 0;
  const int error = errno;
  close(fd);
  return drained ? TRUE : Fail(ErrorOf(error));
}

BOOL CloseHandle(HANDLE handle) {
  {
    Device device(handle);
    if (device.get() == nullptr) return FALSE;
  }
  return ::CloseHandle(handle);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE entry,
                    LPVOID argument, DWORD flags, LPDWORD threadId) {
  return ::CreateThread(security, stackSize, entry, argument, flags, threadId);
}
BOOL SetThreadPriority(HANDLE thread, int priority) {
  return ::SetThreadPriority(thread, priority);
}
DWORD ResumeThread(HANDLE thread) { return ::ResumeThread(thread); }

DWORD GetLastError() { return ::GetLastError(); }

}  // namespace device
