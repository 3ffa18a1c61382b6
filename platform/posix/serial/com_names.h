// Which device a COM port is on POSIX: serchan32 opens it, and the reader
// console names it when it cannot be opened.
#pragma once

#include <stddef.h>

// The device that a COM name ("\\.\COMn" or "COMn") names: the path in the
// environment variable SERCHAN32_COM<n> when that is set, else /dev/ttyS<n-1>.
// An absolute path names itself. False for any other name, or a path that
// does not fit in size characters.
bool ComDevicePath(const char* name, char* path, size_t size);
