// Line errors and modem-line changes as comm events: the event mask, the
// wait for an event, and ClearCommError.
#include <sys/ioctl.h>

#include "platform/posix/serial/comm_file.h"

namespace serial {

namespace {

// With the mutex held: the modem-line changes since the last look, as events.
DWORD TakeLineChanges(CommFile& file) {
  if (!file.modemLines) return 0;
  int now = 0;
  if (!file.line->GetLines(&now)) return 0;
  const int changed = now ^ file.lines;
  file.lines = now;
  DWORD events = 0;
  if (changed & TIOCM_CTS) events |= EV_CTS;
  if (changed & TIOCM_DSR) events |= EV_DSR;
  if (changed & TIOCM_CAR) events |= EV_RLSD;
  if (changed & TIOCM_RNG) events |= EV_RING;
  return events;
}

}  // namespace

// With the mutex held: the errors counted since the last look, into
// file.errors; the events they make.
DWORD TakeCounts(CommFile& file) {
  if (!file.counters) return 0;
  serial_icounter_struct now = {};
  if (!file.line->Counts(&now)) return 0;
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

// A line that reports its changes itself is never polled for them.
bool Monitoring(const CommFile& file) {
  if (file.reports) return false;
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

}  // namespace serial

using namespace serial;

extern "C" {

BOOL WINAPI SetCommMask(HANDLE handle, DWORD mask) {
  DeviceCall call(handle);
  if (!call) return FALSE;
  CommFile* file = call.file();
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

BOOL WINAPI WaitCommEvent(HANDLE handle, LPDWORD mask, LPOVERLAPPED overlapped) {
  DeviceCall call(handle);
  if (!call) return FALSE;
  CommFile* file = call.file();
  Guard& lock = call.lock();
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

BOOL WINAPI ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT stat) {
  DeviceCall call(handle);
  if (!call) return FALSE;
  CommFile* file = call.file();
  // What a reporting line holds is counted once it is in the receive queue,
  // and may complete a pending read that its waiter would not see now.
  if (file->reports) {
    TakeInput(*file);
    ServiceSide(*file, true);
  }
  file->history |= TakeCounts(*file) & file->mask;
  if (errors != nullptr) *errors = file->errors;
  file->errors = 0;
  if (stat != nullptr) {
    *stat = COMSTAT();
    stat->cbInQue = static_cast<DWORD>(Queued(*file) + file->line->InputWaiting());
    stat->cbOutQue = static_cast<DWORD>(file->line->OutputWaiting());
    for (const Transfer& write : file->writes) stat->cbOutQue += write.length - write.done;
  }
  return TRUE;
}

}  // extern "C"
