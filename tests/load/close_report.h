// A port's statistics text, as the library builds it at close, read back
// into its numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ReportedCounts {
  bool bytesLines = false;  // the text begins with the two byte lines, labelled
  uint32_t sent = 0;
  uint32_t received = 0;
  std::vector<std::string> otherLines;  // the line errors, when there were any
};

// Reads a report whose labels come from the string table of LibraryModule.
ReportedCounts ReadCloseReport(const std::string& text);
