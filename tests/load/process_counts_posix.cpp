// A process's holdings natively: /proc/self/fd and /proc/self/task, the main
// heap's bytes in use (mallinfo2) and the resident set (/proc/self/status).
#include <dirent.h>
#include <malloc.h>

#include <fstream>

#include "tests/load/process_counts.h"
#include "tests/support/test_platform.h"

namespace {

// Entries of a /proc directory, without "." and "..".
long Entries(const char* path) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return -1;
  long count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

long long StatusKb(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) {
      return std::stoll(line.substr(field.size() + 1));
    }
  }
  return -1;
}

}  // namespace

ProcessCounts CountProcess() {
  ProcessCounts counts;
  // The directory being read is itself one open descriptor.
  const long descriptors = Entries("/proc/self/fd");
  counts.handles = descriptors < 0 ? -1 : descriptors - 1;
  counts.threads = ThreadsOfThisProcess();
  counts.heapBytes = static_cast<long long>(mallinfo2().uordblks);
  counts.residentKb = StatusKb("VmRSS");
  counts.peakKb = StatusKb("VmHWM");
  return counts;
}
