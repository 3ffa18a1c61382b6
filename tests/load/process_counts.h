// What a process holds of its system at one moment: handles (file
// descriptors natively), threads and memory. One implementation per system
// (process_counts_posix.cpp, process_counts_win32.cpp).
#pragma once

#include <string>

struct ProcessCounts {
  long handles = -1;
  long threads = -1;
  // The bytes that malloc and new have given out and not taken back: those
  // of the program and the library (mallinfo2, or the C runtime's heap).
  long long heapBytes = -1;
  // Windows: the busy bytes of the process's other heaps, where the system
  // allocates for the process (under Wine, its ntdll); natively -1.
  long long systemHeapBytes = -1;
  long long residentKb = -1;  // VmRSS, or the working set
  long long peakKb = -1;      // VmHWM, or the peak working set
};

ProcessCounts CountProcess();

// "handles=... threads=... heap=... [system heaps=...] resident=...kB peak=...kB"
std::string Describe(const ProcessCounts& counts);
