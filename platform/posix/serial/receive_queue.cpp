// The receive queue, as a serial driver keeps it.
#include <errno.h>
#include <string.h>

#include <algorithm>

#include "platform/posix/serial/comm_file.h"

namespace serial {

namespace {

// Moves the queued bytes to the queue's front.
void MoveToFront(CommFile& file) {
  memmove(file.inQueue.data(), file.inQueue.data() + file.inStart, Queued(file));
  file.inEnd -= file.inStart;
  file.inStart = 0;
}

// With the mutex held: takes what the device holds into the receive queue,
// as far as it has room, in one read. False on a device error (errno set);
// `ended` when the line has ended.
bool FillQueue(CommFile& file, bool& ended) {
  if (file.inStart == file.inEnd || file.inEnd == file.inQueue.size()) MoveToFront(file);
  if (file.inEnd == file.inQueue.size()) return true;  // full: taken from first
  const ssize_t got =
      file.line->Read(file.inQueue.data() + file.inEnd, file.inQueue.size() - file.inEnd);
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

}  // namespace

size_t Queued(const CommFile& file) { return file.inEnd - file.inStart; }

void TakeInput(CommFile& file) {
  bool ended = false;
  for (;;) {
    const size_t queued = Queued(file);
    if (!FillQueue(file, ended) || ended || Queued(file) == queued) return;
  }
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
    if (transfer.interval != 0) transfer.lastByte = object_table::NowMs();
  }
  return true;
}

}  // namespace serial

using namespace serial;

extern "C" {

// The receive queue takes the size asked for (within bounds), keeping what
// it holds.
BOOL WINAPI SetupComm(HANDLE handle, DWORD inQueue, DWORD) {
  DeviceCall call(handle);
  if (!call) return FALSE;
  CommFile* file = call.file();
  const size_t size = std::max(std::min(size_t{inQueue}, kInQueueMax), kInQueueMin);
  if (size < Queued(*file)) return TRUE;
  MoveToFront(*file);
  file->inQueue.resize(size);
  return TRUE;
}

}  // extern "C"
