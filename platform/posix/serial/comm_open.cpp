// Opening a COM port: its device (a terminal, or a port on a server), its
// I/O thread, and its close.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "platform/posix/serial/com_names.h"
#include "platform/posix/serial/comm_file.h"
#include "platform/posix/serial/remote_port.h"

namespace serial {

namespace {

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
  file.line->Close();
  close(file.wake);
  close(file.poller);
  file.fd = -1;
  file.wake = -1;
  file.poller = -1;
}

void DestroyDevice(KernelObject* object) { delete static_cast<CommFile*>(object); }

const ObjectType kCommFileType = {ObjectKind::kCommFile, CloseDevice, DestroyDevice, PollForReads,
                                  ServiceReads};

// The I/O thread's epoll: the wake-up counter, and the device edge-triggered.
bool MakePoller(CommFile& file) {
  file.poller = epoll_create1(EPOLL_CLOEXEC);
  epoll_event waking = {EPOLLIN, {}};
  waking.data.fd = file.wake;
  epoll_event device = {EPOLLET, {}};
  device.data.fd = file.fd;
  file.watched = EPOLLET;
  return file.poller >= 0 && epoll_ctl(file.poller, EPOLL_CTL_ADD, file.wake, &waking) == 0 &&
         epoll_ctl(file.poller, EPOLL_CTL_ADD, file.fd, &device) == 0;
}

}  // namespace

}  // namespace serial

using namespace serial;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  SetRemoteRefusal("");
  char path[4096];
  if (name == nullptr || !ComDevicePath(name, path, sizeof path)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::unique_ptr<CommFile> file(new (std::nothrow) CommFile());
  if (file == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  file->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  DWORD error = file->wake < 0       ? ERROR_NOT_ENOUGH_MEMORY
                : IsRemotePort(path) ? OpenRemotePort(path, *file)
                                     : OpenTerminal(path, *file);
  if (error == 0 && !MakePoller(*file)) error = ERROR_NOT_ENOUGH_MEMORY;
  HANDLE handle = nullptr;
  if (error == 0) {
    handle = object_table::Insert(file.get(), &kCommFileType);
    if (handle == nullptr) error = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (error != 0) {
    if (file->line != nullptr) file->line->Close();
    if (file->wake >= 0) close(file->wake);
    if (file->poller >= 0) close(file->poller);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  // The table owns the device now; closing the handle ends it.
  CommFile* opened = file.release();
  if (pthread_create(&opened->ioThread, nullptr, IoThreadMain, opened) != 0) {
    ::CloseHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  opened->ioThreadStarted = true;
  return handle;
}

}  // extern "C"
