// Window messages: a POSIX thread has no message queue, so there is never a
// message to peek at or to dispatch.
#include "platform/posix/win32_api.h"

extern "C" {

BOOL WINAPI PeekMessageA(LPMSG, HWND, UINT, UINT, UINT) { return FALSE; }

LRESULT WINAPI DispatchMessageA(const MSG*) { return 0; }

}  // extern "C"
