// The driver's messages, in pcscd's log (its log_msg) when the driver runs in
// pcscd, else on standard error.
#pragma once

namespace pcscdriver {

enum class LogLevel { kDebug = 0, kInfo = 1, kError = 2 };

void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace pcscdriver
