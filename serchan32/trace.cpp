// The trace's lines: their time stamps, their assembly, one write each under
// one lock, and the bound on the file's size.
#include "serchan32/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

bool TraceEnabled = false;

namespace {

const unsigned long long kDefaultMaxBytes = 64ull << 20;

// The trace's own state: the file, its lock, where it started and how much of
// its bound is used.
struct TraceState {
  void* file = nullptr;
  CRITICAL_SECTION lock;
  unsigned long long startMicros = 0;
  unsigned long long written = 0;
  unsigned long long maxBytes = kDefaultMaxBytes;
  bool stopped = false;
};

// Made on first use: the library's load may come before this file's
// static initialisation.
TraceState& Trace() {
  static TraceState state;
  return state;
}

// "<seconds> ch<index> <word> " for a line that starts now.
std::string LineStart(int channel, const char* word) {
  const unsigned long long micros = trace_file::NowMicros() - Trace().startMicros;
  char channelText[16] = "-";
  if (channel >= 0) std::snprintf(channelText, sizeof channelText, "%d", channel);
  char head[64];
  std::snprintf(head, sizeof head, "%llu.%06llu ch%s %s", micros / 1000000, micros % 1000000,
                channelText, word);
  return head;
}

// Writes the line whole, or the one line that says the bound is reached.
void Emit(std::string& line) {
  line += '\n';
  EnterCriticalSection(&Trace().lock);
  if (!Trace().stopped) {
    if (Trace().written + line.size() > Trace().maxBytes) {
      line = LineStart(-1, "TRACE") + " stopped: SERCHAN32_TRACE_MAX " +
             std::to_string(Trace().maxBytes) + " bytes reached\n";
      Trace().stopped = true;
    }
    Trace().written += line.size();
    trace_file::Write(Trace().file, line.data(), line.size());
  }
  LeaveCriticalSection(&Trace().lock);
}

}  // namespace

void TraceStart() {
  char path[1024];
  if (!trace_file::Environment("SERCHAN32_TRACE", path, sizeof path) || path[0] == '\0') return;
  Trace().file = trace_file::Open(path);
  if (Trace().file == nullptr) {
    std::fprintf(stderr, "serchan32: SERCHAN32_TRACE: cannot open %s; no trace is written\n", path);
    return;
  }
  char limit[32];
  if (trace_file::Environment("SERCHAN32_TRACE_MAX", limit, sizeof limit)) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(limit, &end, 10);
    if (end != limit && *end == '\0') Trace().maxBytes = value;
  }
  InitializeCriticalSection(&Trace().lock);
  Trace().startMicros = trace_file::NowMicros();
  TraceEnabled = true;
}

void TraceStop() {
  if (!TraceEnabled) return;
  TraceEnabled = false;
  trace_file::Close(Trace().file);
  Trace().file = nullptr;
  DeleteCriticalSection(&Trace().lock);
}

void TraceLine(int channel, const char* word, const char* format, ...) {
  if (!TraceEnabled) return;
  try {
    std::string line = LineStart(channel, word);
    char details[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(details, sizeof details, format, args);
    va_end(args);
    if (details[0] != '\0') line += ' ';
    // Details of several lines (the close report) stay on one: CRs go, line
    // ends become " | ", none at the end.
    for (const char* c = details; *c != '\0'; ++c) {
      if (*c == '\n') {
        line += " | ";
      } else if (*c != '\r') {
        line += *c;
      }
    }
    while (line.size() >= 3 && line.compare(line.size() - 3, 3, " | ") == 0)
      line.resize(line.size() - 3);
    Emit(line);
  } catch (...) {
    // A trace without memory for its line goes without it.
  }
}

void TraceBlock(int channel, const char* word, const BYTE* bytes, DWORD count) {
  if (!TraceEnabled) return;
  static const char kDigits[] = "0123456789ABCDEF";
  try {
    std::string line = LineStart(channel, word);
    line += ' ' + std::to_string(count) + " :";
    line.reserve(line.size() + count * 3 + 1);
    for (DWORD i = 0; i < count; ++i) {
      line += ' ';
      line += kDigits[bytes[i] >> 4];
      line += kDigits[bytes[i] & 0xF];
    }
    Emit(line);
  } catch (...) {
  }
}
