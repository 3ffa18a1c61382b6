// The driver's messages (driver_log.h).
#include "pcscdriver/driver_log.h"

#include <stdarg.h>
#include <stdio.h>

// pcscd's own logger; absent when the driver is loaded by something else.
extern "C" void log_msg(int priority, const char* format, ...) __attribute__((weak));

namespace pcscdriver {

void Log(LogLevel level, const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (log_msg != nullptr) {
    log_msg(static_cast<int>(level), "ifd-serchan: %s", text);
  } else {
    fprintf(stderr, "ifd-serchan: %s\n", text);
  }
}

}  // namespace pcscdriver
