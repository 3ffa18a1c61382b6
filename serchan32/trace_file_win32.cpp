// The trace's file under Windows: a handle opened for appending and shared,
// written with one WriteFile a line; the performance counter; the system's
// message texts.
#include <cstdio>
#include <cstring>

#include "serchan32/trace.h"

namespace trace_file {

namespace {

struct File {
  HANDLE handle;
  bool owned;
};

}  // namespace

void* Open(const char* path) {
  if (std::strcmp(path, "-") == 0) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    return error == nullptr || error == INVALID_HANDLE_VALUE ? nullptr : new File{error, false};
  }
  HANDLE handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return handle == INVALID_HANDLE_VALUE ? nullptr : new File{handle, true};
}

bool Write(void* file, const char* bytes, size_t count) {
  DWORD written = 0;
  return WriteFile(static_cast<File*>(file)->handle, bytes, static_cast<DWORD>(count), &written,
                   nullptr) != 0 &&
         written == count;
}

void Close(void* file) {
  File* f = static_cast<File*>(file);
  if (f != nullptr && f->owned) CloseHandle(f->handle);
  delete f;
}

bool Environment(const char* name, char* value, size_t size) {
  const DWORD length = GetEnvironmentVariableA(name, value, static_cast<DWORD>(size));
  return length != 0 && length < size;
}

unsigned long long NowMicros() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  const unsigned long long ticks = static_cast<unsigned long long>(count.QuadPart);
  const unsigned long long perSecond = static_cast<unsigned long long>(frequency.QuadPart);
  return ticks / perSecond * 1000000 + ticks % perSecond * 1000000 / perSecond;
}

void ErrorText(DWORD code, char* text, size_t size) {
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, text, static_cast<DWORD>(size), nullptr);
  if (length == 0) {
    std::snprintf(text, size, "unknown error");
    return;
  }
  // One line: the message's own line ends become blanks, the last ones go.
  size_t end = length;
  while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ')) --end;
  text[end] = '\0';
  for (size_t i = 0; i < end; ++i) {
    if (text[i] == '\r' || text[i] == '\n') text[i] = ' ';
  }
}

}  // namespace trace_file
