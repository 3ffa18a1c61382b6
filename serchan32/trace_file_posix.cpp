// The trace's file natively: a descriptor opened for appending, written with
// one write() a line; the monotonic clock; texts for the error numbers the
// POSIX layer gives.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serchan32/trace.h"

namespace trace_file {

namespace {

struct File {
  int fd;
  bool owned;
};

}  // namespace

void* Open(const char* path) {
  if (std::strcmp(path, "-") == 0) return new File{STDERR_FILENO, false};
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  return fd < 0 ? nullptr : new File{fd, true};
}

bool Write(void* file, const char* bytes, size_t count) {
  const int fd = static_cast<File*>(file)->fd;
  while (count != 0) {
    const ssize_t n = ::write(fd, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

void Close(void* file) {
  File* f = static_cast<File*>(file);
  if (f != nullptr && f->owned) ::close(f->fd);
  delete f;
}

bool Environment(const char* name, char* value, size_t size) {
  const char* text = std::getenv(name);
  if (text == nullptr) return false;
  std::snprintf(value, size, "%s", text);
  return true;
}

unsigned long long NowMicros() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<unsigned long long>(now.tv_sec) * 1000000 +
         static_cast<unsigned long long>(now.tv_nsec) / 1000;
}

void ErrorText(DWORD code, char* text, size_t size) {
  const char* meaning = "unknown error";
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      meaning = "The system cannot find the file specified.";
      break;
    case ERROR_ACCESS_DENIED:
      meaning = "Access is denied.";
      break;
    case ERROR_INVALID_HANDLE:
      meaning = "The handle is invalid.";
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
      meaning = "Not enough memory resources are available to process this command.";
      break;
    case ERROR_GEN_FAILURE:
      meaning = "A device attached to the system is not functioning.";
      break;
    case ERROR_NOT_SUPPORTED:
      meaning = "The request is not supported.";
      break;
    case ERROR_INVALID_PARAMETER:
      meaning = "The parameter is incorrect.";
      break;
    case ERROR_OPERATION_ABORTED:
      meaning =
          "The I/O operation has been aborted because of either a thread exit or an "
          "application request.";
      break;
    case ERROR_IO_INCOMPLETE:
      meaning = "Overlapped I/O event is not in a signaled state.";
      break;
    case ERROR_IO_PENDING:
      meaning = "Overlapped I/O operation is in progress.";
      break;
    case ERROR_NOT_FOUND:
      meaning = "Element not found.";
      break;
    default:
      break;
  }
  std::snprintf(text, size, "%s", meaning);
}

}  // namespace trace_file
