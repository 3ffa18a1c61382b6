// The trace: one line per event of every channel, switched on from outside.
//
// SERCHAN32_TRACE=FILE (or "-" for standard error) in the environment when
// the library is loaded appends lines to FILE:
//
//   <seconds since load, 6 decimals> ch<index> <WORD> <details>
//
// OPEN, CLOSE and REPORT (the traffic report built at close), TX and RX for
// each block written or read ("TX 5 : 04 00 00 41 C1"), FAIL for an export
// that fails (with its result and why), ERROR for a failed system call (the
// name the error hook gets, the error number and its text), LINE for line
// errors, MODEM for modem-line changes, BREAK for the break event ending a
// read or a delay. ch- marks a line of no channel. Lines are written whole,
// one write each, so channels and threads interleave whole lines. After
// SERCHAN32_TRACE_MAX bytes (default 64 MiB) one line says the trace stopped.
// Unset, the library only looks at the variable once, at load; the trace never
// changes a result, and a file that cannot be opened is said once on standard
// error and then ignored.
#pragma once

#include "platform/platform.h"

// Set once at load, before any channel exists; read by every trace point.
extern bool TraceEnabled;

inline bool Tracing() { return TraceEnabled; }

// At load: reads the environment and opens the trace. At unload: closes it.
void TraceStart();
void TraceStop();

// A line of events; the details as printf formats them, on one line.
void TraceLine(int channel, const char* word, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
// A block of bytes: "<WORD> <count> : XX XX ...".
void TraceBlock(int channel, const char* word, const BYTE* bytes, DWORD count);

// What the trace's file backend gives it (trace_file_win32.cpp,
// trace_file_posix.cpp).
namespace trace_file {
// A handle for appending to the file at path ("-": standard error), or null.
void* Open(const char* path);
bool Write(void* file, const char* bytes, size_t count);
void Close(void* file);
// The value of an environment variable into value (size bytes); false when unset.
bool Environment(const char* name, char* value, size_t size);
// A monotonic clock in microseconds.
unsigned long long NowMicros();
// The system's text for an error number of GetLastError, one line.
void ErrorText(DWORD code, char* text, size_t size);
}  // namespace trace_file
