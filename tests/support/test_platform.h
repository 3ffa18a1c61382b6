// What the tests need of their system beyond the platform layer: the
// program's own module, whether a handle is still open, the process's
// threads, and loading a library at run time. One implementation per system
// (test_platform_win32.cpp, test_platform_posix.cpp).
#pragma once

#include <vector>

#include "platform/platform.h"

// The module whose string table a test's reports load: the test program.
HINSTANCE ProgramModule();

// Whether the handle still names an object of this process.
bool HandleIsOpen(HANDLE handle);

// The threads this process has now.
int ThreadsOfThisProcess();
// Their ids.
std::vector<DWORD> ThreadIdsOfThisProcess();

// One thread, followed whatever becomes of the handle it was made from.
class ThreadWatch {
 public:
  ThreadWatch(HANDLE thread, DWORD threadId);
  // A thread of this process known by its id alone; one that has ended
  // before it is watched counts as ended.
  explicit ThreadWatch(DWORD threadId);
  ~ThreadWatch();
  ThreadWatch(const ThreadWatch&) = delete;
  ThreadWatch& operator=(const ThreadWatch&) = delete;

  // Whether the thread has ended, waiting for it at most timeoutMs.
  bool Ended(DWORD timeoutMs);

 private:
  HANDLE copy_;  // Windows: a handle of its own to the thread
  DWORD threadId_;
  bool goneBeforeWatched_ = false;
};

// The break event as XRT_M_Comm_GetBreakEvent hands it out (a HANDLE under
// Windows, an eventfd's descriptor natively): set, reset, and whether it is set.
void SetExportedEvent(void* event);
void ResetExportedEvent(void* event);
bool ExportedEventIsSet(void* event);

// A library loaded at run time and its functions; null when it cannot be had.
void* LoadModule(const char* path);
void* ModuleFunction(void* module, const char* name);
bool UnloadModule(void* module);
