// The driver's side of the waits that complete reads (waits.cpp holds the
// table's side and says how the two meet): what a wait for a read's event
// polls, how the read is then completed, and a read that its queued bytes
// complete at once.
#include <string.h>

#include <algorithm>

#include "platform/posix/serial/comm_file.h"

namespace serial {

// The device's side of a wait for a read's event (ObjectType::pollFor).
bool PollForReads(KernelObject* object, pollfd* watch, uint64_t* next) {
  CommFile& file = *static_cast<CommFile*>(object);
  Guard lock(file.mutex);
  if (file.closing || file.reads.empty()) return false;
  *watch = {file.fd, POLLIN, 0};
  for (const Transfer& read : file.reads) *next = std::min(*next, NextDue(read));
  return true;
}

void ServiceReads(KernelObject* object) {
  CommFile& file = *static_cast<CommFile*>(object);
  Guard lock(file.mutex);
  if (!file.closing) ServiceSide(file, true);
}

// A read whose bytes are all queued, with none pending before it, completes
// under the table's lock alone: the device's mutex is only tried, so the
// lock order (device, then table) is kept.
bool ReadFromQueue(HANDLE handle, BYTE* buffer, DWORD length, LPDWORD done,
                   LPOVERLAPPED overlapped) {
  object_table::Lock lock;
  CommFile* file = static_cast<CommFile*>(object_table::Find(handle, ObjectKind::kCommFile));
  if (file == nullptr || length == 0 || !file->mutex.try_lock()) return false;
  std::lock_guard<std::mutex> held(file->mutex, std::adopt_lock);
  if (file->closing || !file->reads.empty() || Queued(*file) < length) return false;
  memcpy(buffer, file->inQueue.data() + file->inStart, length);
  file->inStart += length;
  if (done != nullptr) *done = length;
  if (overlapped == nullptr) return true;
  overlapped->InternalHigh = length;
  overlapped->Internal = 0;
  object_table::SignalEvent(overlapped->hEvent, true);
  return true;
}

}  // namespace serial
