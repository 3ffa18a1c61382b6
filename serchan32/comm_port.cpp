// A port's life: construction, open, configuration, purge, close, destruction.
#include "serchan32/comm_port.h"

#include <initializer_list>

#include "serchan32/comm_device.h"
#include "serchan32/trace.h"

namespace {

const DWORD kQueueSize = 4096;
const DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
const DWORD kWriteTimeoutConstantMs = 2000;
const int kCloseReportLength = 2048;

// An open step failed: report it, close what was opened, yield 3.
PortStatus FailOpen(CommPort& port, const char* apiName) {
  ReportDeviceError(port, apiName);
  ClosePort(port);
  return kPortNotOpen;
}

char ParityLetter(BYTE parity) {
  static const char kLetters[] = "NOEMS";
  return parity < 5 ? kLetters[parity] : '?';
}

const char* StopBitsText(BYTE stopBits) {
  static const char* const kTexts[] = {"1", "1.5", "2"};
  return stopBits < 3 ? kTexts[stopBits] : "?";
}

}  // namespace

void ReportApiError(const char* apiName, const char* portName, DWORD errorCode) {
  device::ObserveApiError(apiName, portName, errorCode);
}

void ReportPortError(const CommPort& port, const char* apiName, DWORD errorCode) {
  if (Tracing()) {
    char text[256];
    trace_file::ErrorText(errorCode, text, sizeof text);
    TraceLine(port.channel, "ERROR", "%s on %s: error %u: %s", apiName, port.portName,
              static_cast<unsigned>(errorCode), text);
  }
  ReportApiError(apiName, port.portName, errorCode);
}

void ReportDeviceError(const CommPort& port, const char* apiName) {
  ReportPortError(port, apiName, device::GetLastError());
}

void ResetCounters(CommPort& port) {
  for (DWORD& counter : port.counters) counter = 0;
}

CommPort::CommPort(const PortSettings& portSettings, unsigned dataBits, int parityCode,
                   unsigned stopCode, PortStatus& status, int channelIndex, const char* devicePath)
    : channel(channelIndex),
      handle(INVALID_HANDLE_VALUE),
      readLock(),
      writeLock(),
      openLock(),
      watcherThread(nullptr),
      watcherThreadId(0),
      stopEvent(nullptr),
      watcherStartedEvent(nullptr),
      watcherDoneEvent(nullptr),
      watcherReleaseEvent(nullptr),
      closingUnderLoaderLock(false),
      stopRequested(0),
      eventMask(EV_ERR),
      dcb(),
      timeouts(),
      writeOverlapped(),
      readOverlapped(),
      waitOverlapped(),
      dsrChangedEvent(nullptr),
      rlsdChangedEvent(nullptr),
      breakEvent(nullptr),
      lineErrorEvent(nullptr),
      portName(),
      description(),
      counters(),
      settings(portSettings),
      watchMask(0) {
  HANDLE* const events[] = {&writeOverlapped.hEvent, &readOverlapped.hEvent,
                            &waitOverlapped.hEvent,  &dsrChangedEvent,
                            &rlsdChangedEvent,       &breakEvent,
                            &lineErrorEvent,         &stopEvent,
                            &watcherStartedEvent,    &watcherDoneEvent,
                            &watcherReleaseEvent};
  bool eventsMade = true;
  for (HANDLE* event : events) {
    *event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (*event == nullptr) eventsMade = false;
  }
  InitializeCriticalSection(&readLock);
  InitializeCriticalSection(&writeLock);
  InitializeCriticalSection(&openLock);
  if (devicePath != nullptr && devicePath[0] != '\0') {
    lstrcpynA(portName, devicePath, sizeof portName);
  } else {
    wsprintfA(portName, "COM%u", static_cast<unsigned>(((settings.portNumber - 1) & 0xFF) + 1));
  }

  // A port without its events could neither wait nor be stopped: it is not opened.
  if (!eventsMade) {
    ReportPortError(*this, "CreateEvent", GetLastError());
    ClosePort(*this);
    status = kPortNotOpen;
    return;
  }
  status = OpenPort(*this);
  if (status == kPortOk)
    status = ConfigurePort(*this, portSettings, dataBits, parityCode, stopCode);
}

CommPort::~CommPort() {
  ClosePort(*this);
  for (HANDLE event :
       {stopEvent, breakEvent, rlsdChangedEvent, dsrChangedEvent, writeOverlapped.hEvent,
        readOverlapped.hEvent, waitOverlapped.hEvent, lineErrorEvent, watcherStartedEvent,
        watcherDoneEvent, watcherReleaseEvent}) {
    if (event != nullptr) CloseHandle(event);
  }
  DeleteCriticalSection(&readLock);
  DeleteCriticalSection(&writeLock);
  DeleteCriticalSection(&openLock);
}

PortStatus OpenPort(CommPort& port) {
  CriticalSectionLock lock(port.openLock);
  if (port.handle != INVALID_HANDLE_VALUE) return kPortAlreadyOpen;
  ResetCounters(port);
  port.watcherThread = nullptr;

  // A COM port by its device name; a port opened by path by the path itself.
  char path[sizeof port.portName + 4];
  if (port.portName[0] == '/') {
    lstrcpyA(path, port.portName);
  } else {
    wsprintfA(path, "\\\\.\\%s", port.portName);
  }
  port.handle = device::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
  if (port.handle == INVALID_HANDLE_VALUE) return FailOpen(port, "CreateFile");
  if (device::SetupComm(port.handle, kQueueSize, kQueueSize) != TRUE) {
    return FailOpen(port, "SetupComm");
  }
  if (device::PurgeComm(port.handle, kPurgeAll) != TRUE) return FailOpen(port, "PurgeComm");
  port.dcb.DCBlength = sizeof(DCB);
  if (device::GetCommState(port.handle, &port.dcb) != TRUE) return FailOpen(port, "GetCommState");
  if (!device::SetCommMask(port.handle, port.eventMask)) return FailOpen(port, "SetCommMask");

  // Without a watcher the port still reads and writes; it only counts no line
  // errors and signals no modem changes. So these steps are never fatal.
  ResetEvent(port.watcherStartedEvent);
  ResetEvent(port.watcherDoneEvent);
  ResetEvent(port.watcherReleaseEvent);
  port.watcherThread = device::CreateThread(nullptr, 0, WatcherThreadEntry, &port, CREATE_SUSPENDED,
                                            &port.watcherThreadId);
  if (port.watcherThread == nullptr) ReportDeviceError(port, "CreateThread");
  if (!device::SetThreadPriority(port.watcherThread, THREAD_PRIORITY_HIGHEST)) {
    ReportDeviceError(port, "SetThreadPriority");
  }
  if (device::ResumeThread(port.watcherThread) == 0xFFFFFFFF) {
    ReportDeviceError(port, "ResumeThread");
    // A watcher that never ran cannot be stopped at close: it is let go
    // suspended, never to touch the port.
    if (port.watcherThread != nullptr) {
      CloseHandle(port.watcherThread);
      port.watcherThread = nullptr;
    }
  }
  // A new thread starts under the loader's lock: until it runs, neither an
  // unload of the library nor the end of the process may come.
  if (port.watcherThread != nullptr) {
    HANDLE starts[2] = {port.watcherStartedEvent, port.watcherThread};
    WaitForMultipleObjects(2, starts, FALSE, INFINITE);
  }
  return kPortOk;
}

PortStatus ConfigurePort(CommPort& port, const PortSettings& settings, unsigned dataBits,
                         int parityCode, unsigned stopCode) {
  port.settings = settings;
  DCB& dcb = port.dcb;
  dcb.BaudRate = settings.baudRate;
  dcb.ByteSize = static_cast<BYTE>(dataBits);
  dcb.Parity = static_cast<BYTE>(parityCode);
  dcb.StopBits = static_cast<BYTE>(stopCode);
  dcb.fBinary = 1;
  dcb.fParity = parityCode >= 0 ? 1 : 0;
  dcb.fOutxDsrFlow = settings.dtrDsrFlow & 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = dcb.fOutxDsrFlow;
  if (dcb.fOutxDsrFlow) {
    port.eventMask |= EV_DSR;
  } else {
    port.eventMask &= ~static_cast<DWORD>(EV_DSR);
  }
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fOutxCtsFlow = settings.ctsRtsFlow & 1;
  dcb.fRtsControl = dcb.fOutxCtsFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  if (device::SetCommState(port.handle, &dcb) != TRUE) {
    ReportDeviceError(port, "SetCommState");
    return kPortCallFailed;
  }

  // Reads time out through the port's own waits: the read fields stay 0.
  if (settings.baudRate == 0) return kPortCallFailed;
  port.timeouts.WriteTotalTimeoutConstant = kWriteTimeoutConstantMs;
  port.timeouts.WriteTotalTimeoutMultiplier = 19200 / settings.baudRate;
  device::SetCommTimeouts(port.handle, &port.timeouts);

  if (!device::SetCommMask(port.handle, port.eventMask)) {
    ReportDeviceError(port, "SetCommMask");
    return kPortCallFailed;
  }
  wsprintfA(port.description, "%u %u,%c,%s DTR-DSR=%s CTS-RTS=%s",
            static_cast<unsigned>(dcb.BaudRate), static_cast<unsigned>(dcb.ByteSize),
            ParityLetter(dcb.Parity), StopBitsText(dcb.StopBits),
            settings.dtrDsrFlow ? "ON" : "OFF", settings.ctsRtsFlow ? "ON" : "OFF");
  return kPortOk;
}

PortStatus PurgePort(CommPort& port) {
  if (device::PurgeComm(port.handle, kPurgeAll) == TRUE) return kPortOk;
  ReportDeviceError(port, "PurgeComm");
  return kPortCallFailed;
}

PortStatus ClosePort(CommPort& port) {
  CriticalSectionLock lock(port.openLock);
  if (port.watcherThread != nullptr) {
    // The watcher leaves whether it sits in WaitCommEvent or in its own wait.
    port.stopRequested = 1;
    device::SetCommMask(port.handle, 0);
    SetEvent(port.stopEvent);
    // The watcher leaves its loop and waits to be released. Released, it
    // ends and is waited for. While the library is being unloaded a thread
    // cannot end, so it is ended by an APC of ExitThread instead and never
    // runs this module's code again. At process exit it is gone already.
    HANDLE ends[2] = {port.watcherDoneEvent, port.watcherThread};
    if (WaitForMultipleObjects(2, ends, FALSE, INFINITE) == WAIT_OBJECT_0) {
      if (port.closingUnderLoaderLock) {
        QueueUserAPC(reinterpret_cast<PAPCFUNC>(reinterpret_cast<void*>(&ExitThread)),
                     port.watcherThread, 0);
      } else {
        SetEvent(port.watcherReleaseEvent);
        WaitForSingleObject(port.watcherThread, INFINITE);
      }
    }
    CloseHandle(port.watcherThread);
    port.watcherThread = nullptr;
  }
  if (port.handle != INVALID_HANDLE_VALUE) {
    device::EscapeCommFunction(port.handle, CLRDTR);
    device::PurgeComm(port.handle, kPurgeAll);
    device::CloseHandle(port.handle);
    port.handle = INVALID_HANDLE_VALUE;

    DWORD snapshot[kCounterCount];
    char text[kCloseReportLength];
    BuildReport(port, snapshot, kCloseReportLength, text);
    device::ObserveCloseReport(port.portName, text);
    if (Tracing()) {
      TraceLine(port.channel, "CLOSE", "%s", port.portName);
      TraceLine(port.channel, "REPORT", "%s", text);
    }
  }
  lstrcpyA(port.portName, "????");
  return kPortOk;
}
