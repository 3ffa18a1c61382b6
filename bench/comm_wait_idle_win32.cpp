// A port with nothing but a pending WaitCommEvent for line errors, as the
// library's watcher keeps one on every open port: what that wait alone costs
// an idle process. Usage: comm_wait_idle COMNUMBER SECONDS
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: comm_wait_idle COMNUMBER SECONDS\n");
    return 2;
  }
  char name[32];
  std::snprintf(name, sizeof name, "\\\\.\\COM%d", std::atoi(argv[1]));
  HANDLE device = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "comm_wait_idle: cannot open %s\n", name);
    return 1;
  }
  SetCommMask(device, EV_ERR);
  OVERLAPPED waiting = {};
  waiting.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD events = 0;
  if (!WaitCommEvent(device, &events, &waiting) && GetLastError() != ERROR_IO_PENDING) return 1;
  std::printf("waiting\n");
  std::fflush(stdout);
  WaitForSingleObject(waiting.hEvent, DWORD(std::atof(argv[2]) * 1000));
  CloseHandle(device);
  return 0;
}
