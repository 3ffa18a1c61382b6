#include "tests/support/recorded_diagnostics.h"

#include <mutex>

#include "serchan32/comm_device.h"

namespace {
std::mutex mutex;
std::vector<std::string> apiErrors;
}  // namespace

std::vector<std::string> RecordedApiErrors() {
  std::lock_guard<std::mutex> lock(mutex);
  return apiErrors;
}

void ClearRecordedDiagnostics() {
  std::lock_guard<std::mutex> lock(mutex);
  apiErrors.clear();
}

namespace device {

void ObserveApiError(const char* apiName, const char* portName, DWORD errorCode) {
  std::lock_guard<std::mutex> lock(mutex);
  apiErrors.push_back(std::string(apiName) + " " + portName + " " + std::to_string(errorCode));
}

void ObserveCloseReport(const char*, const char*) {}

}  // namespace device
