// The library's entry point.
#include "serchan32/comm_port.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) LibraryModule = instance;
  return TRUE;
}
