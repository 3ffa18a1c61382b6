// The system interface of the toolkit's code.
//
// The code is written against a small subset of Win32, and only this subset:
//   types        HANDLE, DWORD, BOOL, LONG, BYTE, WORD, UINT, HINSTANCE, DCB,
//                COMMTIMEOUTS, COMSTAT, OVERLAPPED, CRITICAL_SECTION, MSG
//   events       CreateEventA, SetEvent, ResetEvent, CloseHandle,
//                WaitForSingleObject, WaitForMultipleObjects
//   threads      CreateThread (CREATE_SUSPENDED), SetThreadPriority, ResumeThread,
//                SignalObjectAndWait (alertable), QueueUserAPC of ExitThread
//   locks        InitializeCriticalSection, EnterCriticalSection,
//                LeaveCriticalSection, DeleteCriticalSection
//   text         wsprintfA, lstrcpyA, lstrcpynA, CompareStringA, LoadStringA,
//                _snprintf, _splitpath, _makepath
//   messages     PeekMessageA, DispatchMessageA
//   heaps        HeapCreate, HeapAlloc, HeapFree, HeapDestroy
//   process      GetCommandLineA, ExitProcess
//   errors       GetLastError, SetLastError
// The COM device calls go through serchan32/comm_device.h, never directly.
//
// Under Windows this is <windows.h> itself; elsewhere the POSIX layer in
// platform/posix/ provides the same declarations (platform/posix/README.md).
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include "platform/posix/win32_api.h"
#endif
