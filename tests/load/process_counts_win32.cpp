// A process's holdings under Windows: its handles in the system's handle
// table (GetProcessHandleCount gives 0 under Wine 8), its threads, the busy
// blocks of its heaps (the C runtime's, which malloc and new use, apart from
// the others) and its working set.
#include <windows.h>
// clang-format off
#include <psapi.h>
// clang-format on

#include <malloc.h>

#include <vector>

#include "tests/load/process_counts.h"
#include "tests/support/test_platform.h"

namespace {

// SystemHandleInformation (16) of NtQuerySystemInformation: every handle of
// every process.
struct HandleEntry {
  ULONG ownerProcessId;
  BYTE objectType;
  BYTE flags;
  USHORT value;
  PVOID object;
  ULONG access;
};
struct HandleTable {
  ULONG count;
  HandleEntry entries[1];
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
const ULONG kSystemHandleInformation = 16;
const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

long Handles() {
  auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<BYTE> buffer(1 << 16);
  for (;;) {
    ULONG needed = 0;
    const LONG status =
        query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == kInfoLengthMismatch) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != 0) return -1;
    const HandleTable& table = *reinterpret_cast<const HandleTable*>(buffer.data());
    long count = 0;
    for (ULONG i = 0; i < table.count; ++i) {
      if (table.entries[i].ownerProcessId == GetCurrentProcessId()) ++count;
    }
    return count;
  }
}

long long BusyBytes(HANDLE heap) {
  long long busy = 0;
  if (!HeapLock(heap)) return -1;
  PROCESS_HEAP_ENTRY entry = {};
  while (HeapWalk(heap, &entry)) {
    if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
  }
  HeapUnlock(heap);
  return busy;
}

}  // namespace

ProcessCounts CountProcess() {
  ProcessCounts counts;
  counts.handles = Handles();
  counts.threads = ThreadsOfThisProcess();
  const HANDLE runtimeHeap = reinterpret_cast<HANDLE>(_get_heap_handle());
  HANDLE heaps[64];
  const DWORD heapCount = GetProcessHeaps(64, heaps);
  counts.systemHeapBytes = 0;
  for (DWORD i = 0; i < heapCount && i < 64; ++i) {
    const long long busy = BusyBytes(heaps[i]);
    if (heaps[i] == runtimeHeap) {
      counts.heapBytes = busy;
    } else {
      counts.systemHeapBytes += busy;
    }
  }
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
    counts.residentKb = static_cast<long long>(memory.WorkingSetSize / 1024);
    counts.peakKb = static_cast<long long>(memory.PeakWorkingSetSize / 1024);
  }
  return counts;
}
