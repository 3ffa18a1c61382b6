// The library's entry point.
#include "serchan32/channel_table.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) AttachLibrary(instance);
  // No reserved pointer: FreeLibrary, not the end of the process.
  if (reason == DLL_PROCESS_DETACH) DetachLibrary(reserved == nullptr);
  return TRUE;
}
