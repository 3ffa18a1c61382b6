#include "tests/support/recorded_diagnostics.h"

#include <mutex>

#include "serchan32/comm_device.h"

namespace {
std::mutex mutex;
std::vector<std::string> apiErrors;
std::vector<CloseReport> closeReports;
}  // namespace

std::vector<std::string> RecordedApiErrors() {
  std::lock_guard<std::mutex> lock(mutex);
  return apiErrors;
}

std::vector<CloseReport> RecordedCloseReports() {
  std::lock_guard<std::mutex> lock(mutex);
  return closeReports;
}

void ClearRecordedDiagnostics() {
  std::lock_guard<std::mutex> lock(mutex);
  apiErrors.clear();
  closeReports.clear();
}

namespace device {

void ObserveApiError(const char* apiName, const char* portName, DWORD errorCode) {
  std::lock_guard<std::mutex> lock(mutex);
  apiErrors.push_back(std::string(apiName) + " " + portName + " " + std::to_string(errorCode));
}

void ObserveCloseReport(const char* portName, const char* text) {
  std::lock_guard<std::mutex> lock(mutex);
  closeReports.push_back({portName, text});
}

}  // namespace device
