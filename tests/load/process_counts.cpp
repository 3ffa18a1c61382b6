#include "tests/load/process_counts.h"

std::string Describe(const ProcessCounts& counts) {
  return "handles=" + std::to_string(counts.handles) +
         " threads=" + std::to_string(counts.threads) +
         " heap=" + std::to_string(counts.heapBytes) +
         (counts.systemHeapBytes >= 0 ? " system heaps=" + std::to_string(counts.systemHeapBytes)
                                      : std::string()) +
         " resident=" + std::to_string(counts.residentKb) +
         "kB peak=" + std::to_string(counts.peakKb) + "kB";
}
