// The tests' system functions under Windows.
#include "tests/support/test_platform.h"

// clang-format off
#include "platform/platform.h"
#include <tlhelp32.h>
// clang-format on

HINSTANCE ProgramModule() { return GetModuleHandleA(nullptr); }

bool HandleIsOpen(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != FALSE;
}

int ThreadsOfThisProcess() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

std::vector<DWORD> ThreadIdsOfThisProcess() {
  std::vector<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
  }
  CloseHandle(snapshot);
  return ids;
}

ThreadWatch::ThreadWatch(HANDLE thread, DWORD threadId) : copy_(nullptr), threadId_(threadId) {
  DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &copy_, SYNCHRONIZE, FALSE, 0);
}

// The handle taken at once keeps the id from passing to a later thread.
ThreadWatch::ThreadWatch(DWORD threadId)
    : copy_(OpenThread(SYNCHRONIZE, FALSE, threadId)),
      threadId_(threadId),
      goneBeforeWatched_(copy_ == nullptr) {}

ThreadWatch::~ThreadWatch() {
  if (copy_ != nullptr) CloseHandle(copy_);
}

bool ThreadWatch::Ended(DWORD timeoutMs) {
  if (goneBeforeWatched_) return true;
  return copy_ != nullptr && WaitForSingleObject(copy_, timeoutMs) == WAIT_OBJECT_0;
}

void* LoadModule(const char* path) { return LoadLibraryA(path); }

void* ModuleFunction(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

bool UnloadModule(void* module) { return FreeLibrary(static_cast<HMODULE>(module)) != FALSE; }

void SetExportedEvent(void* event) { SetEvent(event); }
void ResetExportedEvent(void* event) { ResetEvent(event); }
bool ExportedEventIsSet(void* event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
