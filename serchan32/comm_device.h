// The port's seam to the system: every call a CommPort makes on its COM device,
// and on the start of its watcher thread, with the Win32 signatures.
//
// The library binds these to the system (comm_device_system.cpp). Tests
// bind a scripted device instead (tests/support/scripted_device.cpp) that can
// fail any call, report line errors and modem changes, and complete overlapped
// operations later from another thread. Nothing else in the library knows
// which device it talks to.
#pragma once

#include <string>

#include "platform/platform.h"

namespace device {

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue);
BOOL PurgeComm(HANDLE handle, DWORD flags);
BOOL GetCommState(HANDLE handle, LPDCB dcb);
BOOL SetCommState(HANDLE handle, LPDCB dcb);
BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts);
BOOL SetCommMask(HANDLE handle, DWORD mask);
BOOL WaitCommEvent(HANDLE handle, LPDWORD mask, LPOVERLAPPED overlapped);
BOOL ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT stat);
BOOL GetCommModemStatus(HANDLE handle, LPDWORD status);
BOOL EscapeCommFunction(HANDLE handle, DWORD function);
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped);
BOOL GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD done, BOOL wait);
BOOL CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped);
BOOL FlushFileBuffers(HANDLE handle);
BOOL CloseHandle(HANDLE handle);

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE entry,
                    LPVOID argument, DWORD flags, LPDWORD threadId);
BOOL SetThreadPriority(HANDLE thread, int priority);
DWORD ResumeThread(HANDLE thread);

// The error number of the last failed call above.
DWORD GetLastError();

// Where COM port `port` (1 to 256) leads where the library's system maps COM
// names itself (natively): the device, and where that came from
// ("SERCHAN32_COM3", "FILE:LINE" of the ports file, "default"). False when it
// leads nowhere (*source says why), and false with *source empty where the
// system keeps its own COM names (Windows).
bool ComPortDevice(unsigned port, std::string* device, std::string* source);

// Why the calling thread's last CreateFileA of a port on a server failed: the
// server's own words ("Port already in use") or what failed; empty when that
// open was not of such a port or did not fail.
std::string LastOpenRefusal();

// Diagnostics that the library produces and keeps nowhere: the failed call of
// ReportApiError and the statistics text built at close. The library's own
// binding drops them; tests observe them.
void ObserveApiError(const char* apiName, const char* portName, DWORD errorCode);
void ObserveCloseReport(const char* portName, const char* text);

}  // namespace device
