// Reads and writes: at once when they can, else pending until a thread that
// waits for the read's event, or the I/O thread, completes them; purges,
// cancels and flushes.
#include <errno.h>

#include <algorithm>

#include "platform/posix/serial/comm_file.h"

namespace serial {

namespace {

// A new transfer with the time-outs that apply to it.
Transfer NewTransfer(const CommFile& file, LPOVERLAPPED overlapped, BYTE* buffer, DWORD length,
                     bool isRead) {
  Transfer transfer = {};
  transfer.overlapped = overlapped;
  transfer.buffer = buffer;
  transfer.length = length;
  transfer.deadline = object_table::kNoDeadline;
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
  // The clock is read only for a transfer with a time-out. As the table's
  // deadlines: a millisecond more, so as never to end early.
  if (total != 0 || transfer.interval != 0) transfer.lastByte = object_table::NowMs();
  if (total != 0) transfer.deadline = transfer.lastByte + total + 1;
  return transfer;
}

// A read with MAXDWORD as its interval and no totals returns what is there.
bool ReadsAtOnce(const COMMTIMEOUTS& t) {
  return t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
         t.ReadTotalTimeoutConstant == 0;
}

// Starts a read or write on the device: at once if it can complete at once,
// else pending. Returns the Win32 result of ReadFile or WriteFile.
// A transfer that completes at once leaves its event to the caller to set
// (in `toSet`) once the device's mutex is let go.
BOOL StartTransfer(CommFile& file, Guard& lock, BYTE* buffer, DWORD length, LPDWORD done,
                   LPOVERLAPPED overlapped, bool isRead, HANDLE& toSet) {
  if (done != nullptr) *done = 0;
  OVERLAPPED own = {};  // for a call without one: it waits here for the end
  LPOVERLAPPED used = overlapped != nullptr ? overlapped : &own;
  std::deque<Transfer>& queue = isRead ? file.reads : file.writes;
  // The event is reset only for a transfer that fails or pends: one that
  // completes at once leaves it set either way.
  used->Internal = ERROR_IO_PENDING;
  used->InternalHigh = 0;
  Transfer transfer = NewTransfer(file, used, buffer, length, isRead);
  if (queue.empty()) {
    bool ended = false;
    if (!Move(file, transfer, isRead, ended)) {
      used->Internal = ErrorOf(errno);
      if (used->hEvent != nullptr) ResetEvent(used->hEvent);
      return Fail(static_cast<DWORD>(used->Internal));
    }
    const bool complete = ended || transfer.done == transfer.length ||
                          (isRead && ReadsAtOnce(file.timeouts)) ||
                          (isRead && transfer.firstBytesEnd && transfer.done > 0);
    if (complete) {
      // Nobody can be waiting for an operation that has not returned yet.
      used->InternalHigh = transfer.done;
      used->Internal = 0;
      toSet = used->hEvent;
      if (done != nullptr) *done = transfer.done;
      return TRUE;
    }
  }
  queue.push_back(transfer);
  // A read with an event is completed by whoever waits for the event; the
  // I/O thread looks again for anything else.
  if (isRead && used->hEvent != nullptr) {
    object_table::PendOnEvent(used->hEvent, &file);
  } else if (used->hEvent != nullptr) {
    ResetEvent(used->hEvent);
  }
  if (!isRead || used->hEvent == nullptr || transfer.deadline != object_table::kNoDeadline ||
      transfer.interval != 0 || file.hungUp)
    Wake(file);
  if (overlapped != nullptr) return Fail(ERROR_IO_PENDING);
  file.completed.wait(lock, [&] { return own.Internal != ERROR_IO_PENDING; });
  if (done != nullptr) *done = static_cast<DWORD>(own.InternalHigh);
  return own.Internal == 0 ? TRUE : Fail(static_cast<DWORD>(own.Internal));
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

uint64_t NextDue(const Transfer& transfer) {
  uint64_t next = transfer.deadline;
  if (transfer.interval != 0 && transfer.done > 0 &&
      transfer.lastByte + transfer.interval + 1 < next)
    next = transfer.lastByte + transfer.interval + 1;
  return next;
}

bool ReadIsComplete(const Transfer& read, uint64_t now) {
  if (read.done == read.length) return true;
  if (read.firstBytesEnd && read.done > 0) return true;
  if (read.deadline != object_table::kNoDeadline && now >= read.deadline) return true;
  return read.interval != 0 && read.done > 0 && now - read.lastByte > read.interval;
}

// Moves bytes between the device and a transfer; false on a device error
// (errno set). A read that meets the end of the line moves nothing.
bool Move(CommFile& file, Transfer& transfer, bool isRead, bool& ended) {
  ended = false;
  if (transfer.done == transfer.length) return true;
  if (isRead) return MoveIn(file, transfer, ended);
  const ssize_t moved =
      file.line->Write(transfer.buffer + transfer.done, transfer.length - transfer.done);
  if (moved > 0) {
    transfer.done += static_cast<DWORD>(moved);
    return true;
  }
  if (moved == 0) {
    ended = isRead;
    return true;
  }
  return errno == EAGAIN || errno == EINTR;
}

// With the mutex held: completes what the device allows of the pending reads
// or writes, and those whose time is up.
void ServiceSide(CommFile& file, bool isRead) {
  const uint64_t now = object_table::NowMs();
  std::deque<Transfer>& queue = isRead ? file.reads : file.writes;
  while (!queue.empty()) {
    Transfer& transfer = queue.front();
    bool ended = false;
    if (!Move(file, transfer, isRead, ended)) {
      Complete(file, transfer.overlapped, ErrorOf(errno), transfer.done);
    } else if (ended || transfer.done == transfer.length ||
               (isRead && ReadIsComplete(transfer, now)) || (!isRead && now >= transfer.deadline)) {
      Complete(file, transfer.overlapped, 0, transfer.done);
    } else {
      break;
    }
    queue.pop_front();
  }
}

void ServiceTransfers(CommFile& file) {
  ServiceSide(file, true);
  ServiceSide(file, false);
}

bool ReadsForThread(const CommFile& file) {
  for (const Transfer& read : file.reads) {
    if (read.overlapped->hEvent == nullptr) return true;
  }
  return false;
}

void AbortAll(CommFile& file, std::deque<Transfer>& queue) {
  for (const Transfer& transfer : queue) {
    Complete(file, transfer.overlapped, ERROR_OPERATION_ABORTED, transfer.done);
  }
  queue.clear();
}

}  // namespace serial

using namespace serial;

extern "C" {

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD done,
                     LPOVERLAPPED overlapped) {
  if (ReadFromQueue(handle, static_cast<BYTE*>(buffer), length, done, overlapped)) return TRUE;
  DeviceCall call(handle);
  if (!call) return FALSE;
  CommFile* file = call.file();
  Guard& lock = call.lock();
  HANDLE toSet = nullptr;
  const BOOL started =
      StartTransfer(*file, lock, static_cast<BYTE*>(buffer), length, done, overlapped, true, toSet);
  if (toSet != nullptr) call.EndSetting(toSet);
  return started;
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD done,
                      LPOVERLAPPED overlapped) {
  DeviceCall call(handle);
  if (!call) return FALSE;
  CommFile* file = call.file();
  Guard& lock = call.lock();
  HANDLE toSet = nullptr;
  // The buffer is only ever read from on the write side.
  BYTE* bytes = const_cast<BYTE*>(static_cast<const BYTE*>(buffer));
  const BOOL started = StartTransfer(*file, lock, bytes, length, done, overlapped, false, toSet);
  if (toSet != nullptr) call.EndSetting(toSet);
  return started;
}

BOOL WINAPI GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD done, BOOL wait) {
  // An operation that has ended has its result in the OVERLAPPED, where
  // Windows reads it too: the device is not looked at again.
  const DWORD ended = EndedWith(overlapped);
  if (ended != ERROR_IO_PENDING) {
    *done = static_cast<DWORD>(overlapped->InternalHigh);
    return ended == 0 ? TRUE : Fail(ended);
  }
  DeviceCall call(handle);
  if (!call) return FALSE;
  CommFile* file = call.file();
  Guard& lock = call.lock();
  // A pending read ends with what the device holds now, as if it had been
  // completed in the background.
  if (overlapped->Internal == ERROR_IO_PENDING) ServiceSide(*file, true);
  if (overlapped->Internal == ERROR_IO_PENDING && !wait) {
    *done = static_cast<DWORD>(overlapped->InternalHigh);
    return Fail(ERROR_IO_INCOMPLETE);
  }
  // As under Windows, the wait is for the operation's event when it has one:
  // a read's event is the one a waiting thread completes it through.
  while (overlapped->Internal == ERROR_IO_PENDING && overlapped->hEvent != nullptr) {
    lock.unlock();
    const DWORD waited = WaitForSingleObject(overlapped->hEvent, INFINITE);
    lock.lock();
    if (waited != WAIT_OBJECT_0) break;
  }
  file->completed.wait(lock, [&] { return overlapped->Internal != ERROR_IO_PENDING; });
  *done = static_cast<DWORD>(overlapped->InternalHigh);
  return overlapped->Internal == 0 ? TRUE : Fail(static_cast<DWORD>(overlapped->Internal));
}

BOOL WINAPI CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
  DeviceCall call(handle);
  if (!call) return FALSE;
  CommFile* file = call.file();
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

BOOL WINAPI PurgeComm(HANDLE handle, DWORD flags) {
  DeviceCall call(handle);
  if (!call) return FALSE;
  CommFile* file = call.file();
  if (flags & ~kPurgeFlags) return Fail(ERROR_INVALID_PARAMETER);
  // The I/O thread looks again only when what it waits for has changed.
  const bool pending = !file->reads.empty() || !file->writes.empty();
  if (flags & PURGE_RXABORT) AbortAll(*file, file->reads);
  if (flags & PURGE_TXABORT) AbortAll(*file, file->writes);
  if (flags & PURGE_RXCLEAR) file->inStart = file->inEnd = 0;
  if ((flags & (PURGE_RXCLEAR | PURGE_TXCLEAR)) != 0 &&
      !file->line->Purge((flags & PURGE_RXCLEAR) != 0, (flags & PURGE_TXCLEAR) != 0)) {
    return Fail(ErrorOf(errno));
  }
  if (pending) Wake(*file);
  return TRUE;
}

// Waits until the bytes written so far have left: pending writes first, then
// the driver's queue.
BOOL WINAPI FlushFileBuffers(HANDLE handle) {
  DeviceCall call(handle);
  if (!call) return FALSE;
  CommFile* file = call.file();
  Guard& lock = call.lock();
  file->completed.wait(lock, [&] { return file->writes.empty() || file->closing; });
  if (file->closing) return Fail(ERROR_INVALID_HANDLE);
  return file->line->Drain(lock) ? TRUE : Fail(ErrorOf(errno));
}

}  // extern "C"
