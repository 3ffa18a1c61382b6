// Errors, and the start and end of operations.
#include <errno.h>
#include <unistd.h>

#include "platform/posix/serial/comm_file.h"

namespace serial {

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

void Wake(CommFile& file) {
  const uint64_t one = 1;
  if (write(file.wake, &one, sizeof one) < 0) {
    // The counter is full, so the thread has a wake-up waiting already.
  }
}

// Ends an operation: its result into the OVERLAPPED, then its event.
void Complete(CommFile& file, LPOVERLAPPED overlapped, DWORD error, DWORD bytes) {
  overlapped->InternalHigh = bytes;
  __atomic_store_n(&overlapped->Internal, error, __ATOMIC_RELEASE);
  if (overlapped->hEvent != nullptr) SetEvent(overlapped->hEvent);
  file.completed.notify_all();
}

DWORD EndedWith(const OVERLAPPED* overlapped) {
  return static_cast<DWORD>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE));
}

void StartOperation(LPOVERLAPPED overlapped) {
  overlapped->Internal = ERROR_IO_PENDING;
  overlapped->InternalHigh = 0;
  if (overlapped->hEvent != nullptr) ResetEvent(overlapped->hEvent);
}

}  // namespace serial
