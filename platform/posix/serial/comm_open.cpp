// Opening a COM port: the device for its name, taken for this handle alone,
// raw at once; and its close.
#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <new>

#include "platform/posix/serial/com_names.h"
#include "platform/posix/serial/comm_file.h"

namespace serial {

namespace {

// The device numbers of pseudo-terminals' terminal sides (Linux's devices.txt).
const unsigned kPtySlaveFirstMajor = 136;
const unsigned kPtySlaveLastMajor = 143;

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

// The terminal side of a pseudo-terminal: what is written to it is at the
// other side when the write returns.
bool IsPseudoTerminal(int fd) {
  struct stat device = {};
  if (fstat(fd, &device) != 0 || !S_ISCHR(device.st_mode)) return false;
  const unsigned kind = major(device.st_rdev);
  return kind >= kPtySlaveFirstMajor && kind <= kPtySlaveLastMajor;
}

void DestroyDevice(KernelObject* object) { delete static_cast<CommFile*>(object); }

const ObjectType kCommFileType = {ObjectKind::kCommFile, CloseDevice, DestroyDevice, PollForReads,
                                  ServiceReads};

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

}  // namespace serial

using namespace serial;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
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
  const bool taken = error == 0;
  CommFile* file = nullptr;
  int wake = -1;
  int poller = -1;
  HANDLE handle = nullptr;
  if (taken) {
    file = new (std::nothrow) CommFile();
    wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    poller = epoll_create1(EPOLL_CLOEXEC);
    epoll_event waking = {EPOLLIN, {}};
    waking.data.fd = wake;
    epoll_event device = {EPOLLET, {}};
    device.data.fd = fd;
    if (file == nullptr || wake < 0 || poller < 0 ||
        epoll_ctl(poller, EPOLL_CTL_ADD, wake, &waking) != 0 ||
        epoll_ctl(poller, EPOLL_CTL_ADD, fd, &device) != 0) {
      error = ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  if (error == 0) {
    file->fd = fd;
    file->wake = wake;
    file->poller = poller;
    file->watched = EPOLLET;
    file->dcb = DcbOf(line);
    file->outputQueue = !IsPseudoTerminal(fd);
    file->modemLines = ioctl(fd, TIOCMGET, &file->lines) == 0;
    // A three-wire line starts as a terminal does when opened: DTR and RTS up.
    if (!file->modemLines) file->lines = TIOCM_DTR | TIOCM_RTS;
    file->counters = ioctl(fd, TIOCGICOUNT, &file->counts) == 0;
    handle = object_table::Insert(file, &kCommFileType);
    if (handle == nullptr) error = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (error != 0) {
    if (taken) ioctl(fd, TIOCNXCL);  // TakeDevice gives it back when it fails
    if (wake >= 0) close(wake);
    if (poller >= 0) close(poller);
    delete file;
    close(fd);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  if (pthread_create(&file->ioThread, nullptr, IoThreadMain, file) != 0) {
    ::CloseHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  file->ioThreadStarted = true;
  return handle;
}

}  // extern "C"
