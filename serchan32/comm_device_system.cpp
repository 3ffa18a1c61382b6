// The library's binding of the port seam: the system's Win32 calls, Windows' own or
// natively the POSIX layer's (its serial driver for the COM calls).
#include "serchan32/comm_device.h"

#if !defined(_WIN32)
#include "platform/posix/serial/com_names.h"
#include "platform/posix/serial/remote_port.h"
#endif

namespace device {

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile) {
  return ::CreateFileA(path, access, shareMode, security, disposition, flags, templateFile);
}
BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
  return ::SetupComm(handle, inQueue, outQueue);
}
BOOL PurgeComm(HANDLE handle, DWORD flags) { return ::PurgeComm(handle, flags); }
BOOL GetCommState(HANDLE handle, LPDCB dcb) { return ::GetCommState(handle, dcb); }
BOOL SetCommState(HANDLE handle, LPDCB dcb) { return ::SetCommState(handle, dcb); }
BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
  return ::SetCommTimeouts(handle, timeouts);
}
BOOL SetCommMask(HANDLE handle, DWORD mask) { return ::SetCommMask(handle, mask); }
BOOL WaitCommEvent(HANDLE handle, LPDWORD mask, LPOVERLAPPED overlapped) {
  return ::WaitCommEvent(handle, mask, overlapped);
}
BOOL ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT stat) {
  return ::ClearCommError(handle, errors, stat);
}
BOOL GetCommModemStatus(HANDLE handle, LPDWORD status) {
  return ::GetCommModemStatus(handle, status);
}
BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
  return ::EscapeCommFunction(handle, function);
}
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped) {
  return ::ReadFile(handle, buffer, length, done, overlapped);
}
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED overlapped) {
  return ::WriteFile(handle, buffer, length, done, overlapped);
}
BOOL GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD done, BOOL wait) {
  return ::GetOverlappedResult(handle, overlapped, done, wait);
}
BOOL CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) { return ::CancelIoEx(handle, overlapped); }
BOOL FlushFileBuffers(HANDLE handle) { return ::FlushFileBuffers(handle); }
BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE entry,
                    LPVOID argument, DWORD flags, LPDWORD threadId) {
  return ::CreateThread(security, stackSize, entry, argument, flags, threadId);
}
BOOL SetThreadPriority(HANDLE thread, int priority) {
  return ::SetThreadPriority(thread, priority);
}
DWORD ResumeThread(HANDLE thread) { return ::ResumeThread(thread); }

DWORD GetLastError() { return ::GetLastError(); }

bool ComPortDevice(unsigned port, std::string* device, std::string* source) {
#if defined(_WIN32)
  (void)port;
  device->clear();
  source->clear();
  return false;
#else
  const ComMapping mapping = MapComPort(port);
  *device = mapping.device;
  switch (mapping.source) {
    case ComSource::kVariable:
    case ComSource::kPortsFile:
      *source = mapping.where;
      return true;
    case ComSource::kDefault:
      *source = "default";
      return true;
    case ComSource::kWrongLine:
      break;
  }
  *source = mapping.where + ": " + mapping.why;
  return false;
#endif
}

std::string LastOpenRefusal() {
#if defined(_WIN32)
  return "";
#else
  return LastRemoteRefusal();
#endif
}

}  // namespace device
