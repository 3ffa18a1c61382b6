// Diagnostics of the real device binding, kept for the tests to read.
#pragma once

#include <string>
#include <vector>

std::vector<std::string> RecordedApiErrors();  // "api port code" lines
void ClearRecordedDiagnostics();
