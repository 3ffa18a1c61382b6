// Which device a COM name stands for (com_names.h).
#include "platform/posix/serial/com_names.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace {

// The COM number of "\\.\COMn" or "COMn"; 0 for any other name.
unsigned ComNumber(const char* name) {
  if (strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (strncasecmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return 0;
  unsigned number = 0;
  for (const char* digit = name + 3; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9' || number > 99999) return 0;
    number = number * 10 + static_cast<unsigned>(*digit - '0');
  }
  return number;
}

}  // namespace

bool ComDevicePath(const char* name, char* path, size_t size) {
  if (name[0] == '/') {
    const int length = snprintf(path, size, "%s", name);
    return length > 0 && static_cast<size_t>(length) < size;
  }
  const unsigned number = ComNumber(name);
  if (number == 0) return false;
  char variable[32];
  snprintf(variable, sizeof variable, "SERCHAN32_COM%u", number);
  const char* mapped = getenv(variable);
  const int length = mapped != nullptr && mapped[0] != '\0'
                         ? snprintf(path, size, "%s", mapped)
                         : snprintf(path, size, "/dev/ttyS%u", number - 1);
  return length > 0 && static_cast<size_t>(length) < size;
}
