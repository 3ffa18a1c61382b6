// The traffic report of a port: bytes moved and line errors by kind.
#include "serchan32/comm_port.h"
#include "serchan32/report_strings.h"

HINSTANCE LibraryModule = nullptr;

namespace {

const int kStringLength = 256;
const int kWorkingLength = 4096;

// Appends one formatted line; the lines are short and the working text has
// room for every line the report can hold.
template <typename... Values>
void AppendLine(char* working, int& used, const char* format, Values... values) {
  char line[1025];
  int length = wsprintfA(line, format, values...);
  if (length > 0 && used + length < kWorkingLength) {
    lstrcpyA(working + used, line);
    used += length;
  }
}

void LoadLabel(UINT id, char* label) {
  if (LoadStringA(LibraryModule, id, label, kStringLength) <= 0) label[0] = '\0';
}

}  // namespace

DWORD* BuildReport(const CommPort& port, DWORD* counterCopy, int maxLength, char* text) {
  if (text != nullptr) {
    char working[kWorkingLength] = "";
    int used = 0;
    char label[kStringLength];
    LoadLabel(IDS_BYTES_SENT, label);
    AppendLine(working, used, "%-20.20s = %u\n", label, port.counters[kBytesSent]);
    LoadLabel(IDS_BYTES_RECEIVED, label);
    AppendLine(working, used, "%-20.20s = %u\n", label, port.counters[kBytesReceived]);

    DWORD errorSum = 0;
    for (int i = kRxOverErrors; i < kCounterCount; ++i) errorSum += port.counters[i];
    if (errorSum != 0) {
      LoadLabel(IDS_ERRORS, label);
      AppendLine(working, used, "%s\n", label);
      for (int i = kRxOverErrors; i < kCounterCount; ++i) {
        if (port.counters[i] == 0) continue;
        LoadLabel(IDS_CE_RXOVER + (i - kRxOverErrors), label);
        AppendLine(working, used, "%-32.32s = %u\n", label, port.counters[i]);
      }
    }
    if (maxLength > 0) lstrcpynA(text, working, maxLength);
  }
  for (int i = 0; i < kCounterCount; ++i) counterCopy[i] = port.counters[i];
  return counterCopy;
}
