// Diagnostics of the real device binding, kept for the tests to read.
#pragma once

#include <string>
#include <vector>

std::vector<std::string> RecordedApiErrors();  // "api port code" lines

// The statistics text of each port closed, in the order of closing.
struct CloseReport {
  std::string portName;
  std::string text;
};
std::vector<CloseReport> RecordedCloseReports();
void ClearRecordedDiagnostics();
