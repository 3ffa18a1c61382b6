// One open COM port of the library: its record, its life (open, configure,
// purge, close) and the operations that the other port files add to it.
#pragma once

#include <atomic>

#include "platform/platform.h"
#include "serchan32/port_status.h"

// What the creator of a port passes in; the port keeps a copy.
struct PortSettings {
  DWORD reserved0;
  DWORD reserved1;
  DWORD portNumber;  // the N of "COM%u"
  DWORD baudRate;
  DWORD dtrDsrFlow;
  DWORD ctsRtsFlow;
  DWORD reserved6;
  DWORD signalLineErrors;  // nonzero: receive line errors set lineErrorEvent
};

// The port's counters, in report order.
enum PortCounter {
  kBytesSent,
  kBytesReceived,
  kRxOverErrors,
  kOverrunErrors,
  kParityErrors,
  kFrameErrors,
  kBreakErrors,
  kTxFullErrors,
  kModeErrors,
  kCounterCount
};

struct CommPort {
  // Constructs the port and opens and configures its device at once; status
  // receives the outcome. The object exists whatever the status, and its
  // destruction closes whatever was opened.
  // channel: the channel table's index of the port, for its trace lines.
  // devicePath: natively, a device to open by its path instead of the COM
  // port of settings.portNumber; null for that port.
  CommPort(const PortSettings& settings, unsigned dataBits, int parityCode, unsigned stopCode,
           PortStatus& status, int channel = -1, const char* devicePath = nullptr);
  ~CommPort();
  CommPort(const CommPort&) = delete;
  CommPort& operator=(const CommPort&) = delete;

  const int channel;           // the channel's index, or -1
  HANDLE handle;               // INVALID_HANDLE_VALUE while the device is not open
  CRITICAL_SECTION readLock;   // read path's line check against the watcher's events
  CRITICAL_SECTION writeLock;  // one block write at a time
  CRITICAL_SECTION openLock;   // open and close
  HANDLE watcherThread;
  DWORD watcherThreadId;
  HANDLE stopEvent;
  // Set by the watcher as it starts and as it leaves its loop; then close
  // releases it to end (port_watcher.cpp).
  HANDLE watcherStartedEvent;
  HANDLE watcherDoneEvent;
  HANDLE watcherReleaseEvent;
  // Set when the port is closed while the library is unloaded with it open:
  // its watcher can then neither end nor run this module's code again.
  bool closingUnderLoaderLock;
  std::atomic<LONG> stopRequested;
  DWORD eventMask;  // for SetCommMask: EV_ERR, plus EV_DSR with DTR/DSR flow control
  DCB dcb;
  COMMTIMEOUTS timeouts;
  OVERLAPPED writeOverlapped;
  OVERLAPPED readOverlapped;
  OVERLAPPED waitOverlapped;
  HANDLE dsrChangedEvent;
  HANDLE rlsdChangedEvent;
  HANDLE breakEvent;  // set only by the application, to abort reads and delays
  HANDLE lineErrorEvent;
  char portName[256];  // "COMn", or the device's path when opened by path
  char description[128];
  DWORD counters[kCounterCount];
  PortSettings settings;
  // The mask that a pending WaitCommEvent fills in. The driver may write it at
  // any moment until the wait ends, so it lives here, not on the watcher's stack.
  DWORD watchMask;
};

// Holds a critical section for a scope.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CRITICAL_SECTION& section) : section_(section) {
    EnterCriticalSection(&section_);
  }
  ~CriticalSectionLock() { LeaveCriticalSection(&section_); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CRITICAL_SECTION& section_;
};

// Life of the port (comm_port.cpp).
PortStatus OpenPort(CommPort& port);
PortStatus ConfigurePort(CommPort& port, const PortSettings& settings, unsigned dataBits,
                         int parityCode, unsigned stopCode);
PortStatus PurgePort(CommPort& port);
PortStatus ClosePort(CommPort& port);
void ResetCounters(CommPort& port);

// The error hook: every failing system call of a port reports here. It has no
// effect; the values reach only the device seam's observer.
void ReportApiError(const char* apiName, const char* portName, DWORD errorCode);
// ReportApiError for a failed call of the port, with the error number given,
// and its trace line.
void ReportPortError(const CommPort& port, const char* apiName, DWORD errorCode);
// ReportPortError for a failed call of the port's device, with its error number.
void ReportDeviceError(const CommPort& port, const char* apiName);

// The data path (port_io.cpp). Terminators are active when positive as
// 16-bit signed values; their low byte is compared.
PortStatus ReadOneByte(CommPort& port, BYTE* buffer, DWORD timeoutMs);
PortStatus ReadBlock(CommPort& port, BYTE* buffer, DWORD count, DWORD* outCount,
                     DWORD firstTimeoutMs, DWORD nextTimeoutMs, short terminator1,
                     short terminator2);
PortStatus WriteBlock(CommPort& port, const BYTE* buffer, DWORD length);
PortStatus CheckModemLines(CommPort& port, DWORD& dsrOk, DWORD& rlsdOk);

// The watcher thread and line-error accounting (port_watcher.cpp).
DWORD WINAPI WatcherThreadEntry(LPVOID port);
void WatchPort(CommPort& port);
void CountLineErrors(CommPort& port, DWORD errors);
// Takes the device's pending error mask (ClearCommError) and counts it.
void CountPendingLineErrors(CommPort& port);
void SignalModemChange(CommPort& port, DWORD eventMask, DWORD modemStatus);

// The traffic report (port_report.cpp). Fills counterCopy (nine values) and,
// unless text is null, at most maxLength characters of text with the NUL.
DWORD* BuildReport(const CommPort& port, DWORD* counterCopy, int maxLength, char* text);

// The library's own module, whose string table the report loads; null means
// the program's own module.
extern HINSTANCE LibraryModule;
