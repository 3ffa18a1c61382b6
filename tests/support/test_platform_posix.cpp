// The tests' system functions on POSIX: threads are followed in
// /proc/self/task by the kernel's id, which CreateThread gives as the
// thread's id, and libraries are loaded with dlopen.
#include <dirent.h>
#include <dlfcn.h>
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/support/test_platform.h"

// Every module links its own string table, so no module needs naming.
HINSTANCE ProgramModule() { return nullptr; }

bool HandleIsOpen(HANDLE handle) { return WaitForSingleObject(handle, 0) != WAIT_FAILED; }

int ThreadsOfThisProcess() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(tasks);
  return count;
}

std::vector<DWORD> ThreadIdsOfThisProcess() {
  std::vector<DWORD> ids;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return ids;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ids.push_back(static_cast<DWORD>(std::stoul(entry->d_name)));
  }
  closedir(tasks);
  return ids;
}

ThreadWatch::ThreadWatch(HANDLE, DWORD threadId) : copy_(nullptr), threadId_(threadId) {}

ThreadWatch::ThreadWatch(DWORD threadId) : copy_(nullptr), threadId_(threadId) {}

ThreadWatch::~ThreadWatch() {}

bool ThreadWatch::Ended(DWORD timeoutMs) {
  const std::string task = "/proc/self/task/" + std::to_string(threadId_);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (access(task.c_str(), F_OK) != 0) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void* LoadModule(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }

void* ModuleFunction(void* module, const char* name) { return dlsym(module, name); }

bool UnloadModule(void* module) { return dlclose(module) == 0; }

namespace {
int DescriptorOf(void* event) { return static_cast<int>(reinterpret_cast<intptr_t>(event)); }
}  // namespace

void SetExportedEvent(void* event) { eventfd_write(DescriptorOf(event), 1); }
void ResetExportedEvent(void* event) {
  eventfd_t value;
  eventfd_read(DescriptorOf(event), &value);
}
bool ExportedEventIsSet(void* event) {
  struct pollfd ready = {DescriptorOf(event), POLLIN, 0};
  return poll(&ready, 1, 0) == 1;
}
