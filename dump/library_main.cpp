// The library's entry point: at the end it gives the console back its input
// mode and colour as ConOpen found them.
//
// Win32 used here: SetConsoleMode, SetConsoleTextAttribute.
#include "dump/console_state.h"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_DETACH) {
    ConsoleState& state = Console();
    if (state.inputIsConsole) SetConsoleMode(state.input, state.inputModeAtOpen);
    if (state.outputIsConsole) SetConsoleTextAttribute(state.output, state.attributeAtOpen);
  }
  return TRUE;
}
