// The POSIX serial driver behind the Win32 COM calls of win32_api.h: a COM
// port is a terminal device, driven through termios and the modem-line
// ioctls, or a port on a server reached through RFC 2217 (remote_port.h),
// each behind the same line interface (comm_line.h), with Win32's overlapped
// semantics kept by the waiting threads and one I/O thread per open device.
// What the driver's files share.
//
// Which device: "\\.\COMn" is the path in SERCHAN32_COM<n> when that is set
// (a serial device, a pseudo-terminal, a link to one, or rfc2217://HOST:PORT),
// else its line in the ports file, else /dev/ttyS<n-1> (com_names.h). A
// terminal is opened exclusively: TIOCEXCL keeps other programs out, and an
// flock also holds against a second open by this process or by root, whom
// TIOCEXCL lets through.
//
// The device keeps the port's receive queue, as a serial driver does (its
// size is SetupComm's): whatever the terminal holds is taken in one read, and
// reads are served from the queue first, so a one-byte read whose byte is
// queued makes no system call. ClearCommError counts the queued bytes with
// the terminal's; PURGE_RXCLEAR empties both.
//
// Reads and writes complete at once when the bytes are there (or when the
// driver takes them all), with their event set; otherwise they pend. A read
// with an event is completed by the thread that waits for the event: the
// table's waits poll the device with the wait's other events (ObjectType's
// pollFor and service), so the waiting thread wakes once, for the byte, and
// takes it itself. The I/O thread, waiting on the device and a wake-up
// counter, completes everything else: writes the driver could not take yet,
// time-outs, reads without an event (it watches input only while one pends),
// and the comm-event wait. Read time-outs follow COMMTIMEOUTS (all zero:
// until every byte asked for has come); a write time-out completes the
// write short. Purges and CancelIoEx end pending operations with ERROR_OPERATION_ABORTED; so does
// closing the handle.
//
// A device that hangs up (the far side of a pseudo-terminal closed, a USB
// adapter unplugged, a server's connection ended) has no events left to
// wait for: the pending comm-event wait fails with ERROR_GEN_FAILURE, and so
// does every wait after it, as Windows fails the waits of a device that has
// gone.
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
#pragma once

#include <linux/serial.h>
#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/kernel_object.h"
#include "platform/posix/serial/comm_line.h"
#include "platform/posix/serial/line_settings.h"

namespace serial {

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
  std::unique_ptr<CommLine> line;
  int fd = -1;           // the line's descriptor, polled for its input
  bool reports = false;  // the line reports its own changes (CommLine::Reports)
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

// One driver call on an open device, the prelude every call opens with:
// the device behind the handle held by a reference and its mutex held, from
// the call's start to its end. False, with ERROR_INVALID_HANDLE as the last
// error, when the handle names no device or the device is closing.
class DeviceCall {
 public:
  explicit DeviceCall(HANDLE handle)
      : file_(static_cast<CommFile*>(object_table::Hold(handle, ObjectKind::kCommFile))) {
    if (file_ == nullptr) return;
    lock_ = Guard(file_->mutex);
    if (!file_->closing) return;
    lock_.unlock();
    object_table::Release(file_);
    file_ = nullptr;
    SetLastError(ERROR_INVALID_HANDLE);
  }
  ~DeviceCall() {
    if (file_ == nullptr) return;
    if (lock_.owns_lock()) lock_.unlock();
    object_table::Release(file_);
  }
  DeviceCall(const DeviceCall&) = delete;
  DeviceCall& operator=(const DeviceCall&) = delete;

  explicit operator bool() const { return file_ != nullptr; }
  CommFile* file() const { return file_; }
  Guard& lock() { return lock_; }
  // Lets the mutex go, then sets the event and lets the device go under one
  // hold of the table's lock (the lock order is device, then table).
  void EndSetting(HANDLE event) {
    lock_.unlock();
    object_table::SetEventAndRelease(event, file_);
    file_ = nullptr;
  }

 private:
  CommFile* file_;
  Guard lock_;
};

// comm_file.cpp: errors and the end of operations.
DWORD ErrorOf(int error);
BOOL Fail(DWORD error);
// Wakes the I/O thread to look at the device's state again.
void Wake(CommFile& file);
// Ends an operation: its byte count, then its result (published last, so
// that a reader of the OVERLAPPED without the device's mutex sees both), then
// its event.
void Complete(CommFile& file, LPOVERLAPPED overlapped, DWORD error, DWORD bytes);
// The result of an operation, or ERROR_IO_PENDING; safe without the mutex.
DWORD EndedWith(const OVERLAPPED* overlapped);
void StartOperation(LPOVERLAPPED overlapped);

// comm_events.cpp, with the mutex held: the line's events.
DWORD TakeCounts(CommFile& file);
bool Monitoring(const CommFile& file);
void Watch(CommFile& file);
void FailWaitOfHungUpDevice(CommFile& file);

// receive_queue.cpp, with the mutex held.
size_t Queued(const CommFile& file);
bool MoveIn(CommFile& file, Transfer& transfer, bool& ended);
// Takes what a line that reports its own changes holds into the receive
// queue, as far as it has room: its notifications are seen as it is read.
void TakeInput(CommFile& file);

// transfers.cpp, with the mutex held. Move: bytes between the device and a
// transfer; false on a device error (errno set).
bool Move(CommFile& file, Transfer& transfer, bool isRead, bool& ended);
bool ReadIsComplete(const Transfer& read, uint64_t now);
// When a transfer's time-out falls due (kNoDeadline: never).
uint64_t NextDue(const Transfer& transfer);
void ServiceSide(CommFile& file, bool isRead);
void ServiceTransfers(CommFile& file);
// A pending read that has no event is the I/O thread's to complete.
bool ReadsForThread(const CommFile& file);
void AbortAll(CommFile& file, std::deque<Transfer>& queue);

// read_waits.cpp: the waits' side of a device (ObjectType::pollFor and
// service; they take the mutex), and ReadFile's way without the device's
// reference and mutex for a read that the queue holds whole (false, nothing
// done, for any other).
bool PollForReads(KernelObject* object, pollfd* watch, uint64_t* next);
void ServiceReads(KernelObject* object);
bool ReadFromQueue(HANDLE handle, BYTE* buffer, DWORD length, LPDWORD done,
                   LPOVERLAPPED overlapped);

// io_thread.cpp: the device's I/O thread.
void* IoThreadMain(void* argument);

// modem_lines.cpp, with the mutex held: sets or clears modem-line bits.
bool ChangeLines(CommFile& file, Guard& lock, int bits, bool on);

// comm_state.cpp: the DCB of a device as first opened.
DCB DcbOf(const LineSettings& line);

}  // namespace serial
