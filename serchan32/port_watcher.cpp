// The watcher thread of a port: follows its comm events, counts line errors
// and signals modem-line changes to the read path.
#include <cstring>

#include "serchan32/comm_device.h"
#include "serchan32/comm_port.h"
#include "serchan32/trace.h"

namespace {

// A wait that ended as aborted although close did not ask for it. Windows ends
// a pending wait with an empty mask when the mask is set again (configure does
// that right after open); Wine aborts it instead. Such a wait is taken as the
// empty mask and restarted once. A second abort with no event between means
// the driver cannot wait at all, and the watcher ends rather than spin.
bool RestartAfterAbort(DWORD error, unsigned& abortsInARow) {
  return error == ERROR_OPERATION_ABORTED && ++abortsInARow == 1;
}

struct LineErrorBit {
  DWORD bit;
  PortCounter counter;
  bool receiveError;  // receive errors also set lineErrorEvent when asked for
};

const LineErrorBit kLineErrorBits[] = {
    {CE_RXOVER, kRxOverErrors, true},   {CE_OVERRUN, kOverrunErrors, true},
    {CE_RXPARITY, kParityErrors, true}, {CE_FRAME, kFrameErrors, true},
    {CE_BREAK, kBreakErrors, true},     {CE_TXFULL, kTxFullErrors, false},
    {CE_MODE, kModeErrors, false},
};

// Ends the pending comm-event wait before the watcher leaves: close frees
// the OVERLAPPED and the mask right after, and a wait that ended later would
// write its result into freed memory. Windows ends the wait at the cancel (or
// has ended it at close's SetCommMask). Wine cannot cancel it and ends it
// only on a poll after a mask change, so a wait that began after close's
// SetCommMask(0) would never end: the mask is set again until it has.
void EndPendingWait(CommPort& port) {
  device::CancelIoEx(port.handle, &port.waitOverlapped);
  const DWORD mask = port.stopRequested ? 0 : port.eventMask;
  DWORD transferred = 0;
  while (!device::GetOverlappedResult(port.handle, &port.waitOverlapped, &transferred, FALSE) &&
         device::GetLastError() == ERROR_IO_INCOMPLETE) {
    device::SetCommMask(port.handle, mask);
    WaitForSingleObject(port.waitOverlapped.hEvent, 20);
  }
}

}  // namespace

DWORD WINAPI WatcherThreadEntry(LPVOID argument) {
  CommPort& port = *static_cast<CommPort*>(argument);
  SetEvent(port.watcherStartedEvent);
  WatchPort(port);
  // Close decides how a stopped thread ends (comm_port.cpp): the done event is
  // set and the release awaited in one call, alertably, so that from here on
  // no code of this module need run unless close releases the thread. A watch
  // that ended by itself (its device failed: the line is gone) ends the thread
  // at once instead: the APC of ExitThread queued here runs in that same wait,
  // right after the done event is set.
  if (!port.stopRequested) {
    QueueUserAPC(reinterpret_cast<PAPCFUNC>(reinterpret_cast<void*>(&ExitThread)),
                 port.watcherThread, 0);
  }
  SignalObjectAndWait(port.watcherDoneEvent, port.watcherReleaseEvent, INFINITE, TRUE);
  return 0;
}

void WatchPort(CommPort& port) {
  HANDLE waits[2] = {port.stopEvent, port.waitOverlapped.hEvent};
  unsigned abortsInARow = 0;
  for (;;) {
    if (port.stopRequested) return;
    port.watchMask = 0;
    if (device::WaitCommEvent(port.handle, &port.watchMask, &port.waitOverlapped)) {
      if (port.stopRequested) return;
    } else {
      DWORD error = device::GetLastError();
      if (error != ERROR_IO_PENDING) {
        if (!port.stopRequested && RestartAfterAbort(error, abortsInARow)) continue;
        ReportDeviceError(port, "WatchPort thread - WaitCommEvent");
        return;
      }
      DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
      if (port.stopRequested || woken != WAIT_OBJECT_0 + 1) {
        const DWORD error = GetLastError();
        EndPendingWait(port);
        if (!port.stopRequested && woken != WAIT_OBJECT_0) {
          ReportPortError(port, "WaitForMultipleObjects", error);
        }
        return;
      }
      DWORD transferred = 0;
      if (!device::GetOverlappedResult(port.handle, &port.waitOverlapped, &transferred, FALSE)) {
        if (RestartAfterAbort(device::GetLastError(), abortsInARow)) continue;
        ReportDeviceError(port, "GetOverlappedResult (OFFSET_RECV_EVENT)");
        return;
      }
    }
    DWORD mask = port.watchMask;
    if (mask == 0) continue;
    abortsInARow = 0;

    if (mask & EV_ERR) {
      CountPendingLineErrors(port);
      continue;
    }
    DWORD modemStatus = 0;
    if (!device::GetCommModemStatus(port.handle, &modemStatus)) {
      ReportDeviceError(port, "WatchPort thread - GetCommModemStatus");
      return;
    }
    SignalModemChange(port, mask, modemStatus);
  }
}

void SignalModemChange(CommPort& port, DWORD eventMask, DWORD modemStatus) {
  if (Tracing()) {
    TraceLine(port.channel, "MODEM", "%s%schanged; CTS %s DSR %s RING %s RLSD %s",
              (eventMask & EV_DSR) ? "DSR " : "", (eventMask & EV_RLSD) ? "RLSD " : "",
              (modemStatus & MS_CTS_ON) ? "on" : "off", (modemStatus & MS_DSR_ON) ? "on" : "off",
              (modemStatus & MS_RING_ON) ? "on" : "off", (modemStatus & MS_RLSD_ON) ? "on" : "off");
  }
  CriticalSectionLock lock(port.readLock);
  if (eventMask & EV_DSR) SetEvent(port.dsrChangedEvent);
  if (eventMask & EV_RLSD) SetEvent(port.rlsdChangedEvent);
}

void CountPendingLineErrors(CommPort& port) {
  DWORD errors = 0;
  COMSTAT stat;
  device::ClearCommError(port.handle, &errors, &stat);
  if (errors != 0) CountLineErrors(port, errors);
}

void CountLineErrors(CommPort& port, DWORD errors) {
  if (Tracing()) {
    static const char* const kNames[] = {"CE_RXOVER", "CE_OVERRUN", "CE_RXPARITY", "CE_FRAME",
                                         "CE_BREAK",  "CE_TXFULL",  "CE_MODE"};
    char names[128] = "";
    for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
      if (errors & kLineErrorBits[i].bit) {
        std::strcat(names, " ");
        std::strcat(names, kNames[i]);
      }
    }
    TraceLine(port.channel, "LINE", "0x%04X%s", static_cast<unsigned>(errors), names);
  }
  for (const LineErrorBit& line : kLineErrorBits) {
    if (!(errors & line.bit)) continue;
    if (line.receiveError && port.settings.signalLineErrors) SetEvent(port.lineErrorEvent);
    ++port.counters[line.counter];
  }
}
