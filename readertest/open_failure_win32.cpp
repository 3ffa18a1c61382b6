// Windows: the port is the device \\.\COMn; the reason is the system's
// message for the error its open gives.
#include <cstdio>
#include <cstring>

#include "dump/dump.h"
#include "platform/platform.h"
#include "readertest/open_failure.h"

void ExplainOpenFailure(unsigned port) {
  char path[32];
  // The library's own mapping of the number to a port name.
  wsprintfA(path, "\\\\.\\COM%u", ((port - 1) & 0xFF) + 1);
  HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  if (device != INVALID_HANDLE_VALUE) {
    CloseHandle(device);
    ConPrint("Устройство %s открывается, но не принимает скорость или настройки линии\n", path);
    return;
  }
  const DWORD error = GetLastError();
  char reason[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                 reason, sizeof reason, nullptr);
  size_t length = std::strlen(reason);
  while (length > 0 && (reason[length - 1] == '\n' || reason[length - 1] == '\r' ||
                        reason[length - 1] == ' ' || reason[length - 1] == '.'))
    reason[--length] = '\0';
  ConPrint("Устройство %s: %s (ошибка %lu)\n", path, length > 0 ? reason : "?",
           static_cast<unsigned long>(error));
}
