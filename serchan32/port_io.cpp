// A port's data path: the one-byte overlapped read that every read is built
// on, the block read, the block write and the modem-line check.
#include "serchan32/comm_device.h"
#include "serchan32/comm_port.h"
#include "serchan32/trace.h"

namespace {

const DWORD kPurgeRxAbort = PURGE_RXABORT;
const DWORD kPurgeRxAbortClear = PURGE_RXABORT | PURGE_RXCLEAR;
const DWORD kPurgeTx = PURGE_TXABORT | PURGE_TXCLEAR;

// Makes sure the pending one-byte read is over before the next one reuses its
// buffer and OVERLAPPED. On Windows the purge has ended it already; Wine's
// purge leaves it queued to take the next byte, so it is cancelled and its
// end awaited.
void EndPendingRead(CommPort& port) {
  if (device::CancelIoEx(port.handle, &port.readOverlapped)) {
    DWORD transferred = 0;
    device::GetOverlappedResult(port.handle, &port.readOverlapped, &transferred, TRUE);
  }
}

// Aborts the receive side after a failed or interrupted read.
PortStatus AbortRead(CommPort& port, PortStatus status, bool clear = false) {
  if (clear) device::PurgeComm(port.handle, kPurgeRxAbortClear);
  device::PurgeComm(port.handle, kPurgeRxAbort);
  EndPendingRead(port);
  return status;
}

PortStatus FailWrite(CommPort& port, const char* apiName) {
  ReportDeviceError(port, apiName);
  CountPendingLineErrors(port);  // what the failure left behind
  device::PurgeComm(port.handle, kPurgeTx);
  return kPortWriteFailed;
}

// Ends a read for the event at this index of its wait list, below the byte's.
PortStatus EndedByEvent(CommPort& port, DWORD index) {
  switch (index) {
    case 0:
      ResetEvent(port.breakEvent);
      if (Tracing()) TraceLine(port.channel, "BREAK", "read ended by the break event");
      return AbortRead(port, kPortBreak);
    case 1:
      return AbortRead(port, kPortReadFailed, true);
    case 2:
      return AbortRead(port, kPortDsrLost);
    default:
      return AbortRead(port, kPortCarrierLost);
  }
}

// A terminator is active when positive as a 16-bit signed value; its low
// byte is compared, so 0x100 stands for the byte 0.
bool Ends(short terminator, BYTE byte) {
  return terminator > 0 && static_cast<BYTE>(terminator & 0xFF) == byte;
}

}  // namespace

PortStatus ReadOneByte(CommPort& port, BYTE* buffer, DWORD timeoutMs) {
  // Lower index wins: break, line error, DSR change, carrier change, the byte.
  HANDLE waits[5] = {port.breakEvent, port.lineErrorEvent, port.dsrChangedEvent,
                     port.rlsdChangedEvent, port.readOverlapped.hEvent};
  ResetEvent(port.lineErrorEvent);

  DWORD transferred = 0;
  if (!device::ReadFile(port.handle, buffer, 1, &transferred, &port.readOverlapped)) {
    if (device::GetLastError() != ERROR_IO_PENDING) {
      ReportDeviceError(port, "ReadFile");
      CountPendingLineErrors(port);  // what the failure left behind
      return kPortReadFailed;
    }
    const DWORD signalled = WaitForMultipleObjects(5, waits, FALSE, timeoutMs);
    switch (signalled) {
      case WAIT_OBJECT_0:
      case WAIT_OBJECT_0 + 1:
      case WAIT_OBJECT_0 + 2:
      case WAIT_OBJECT_0 + 3:
        return EndedByEvent(port, signalled - WAIT_OBJECT_0);
      case WAIT_OBJECT_0 + 4:
        if (!device::GetOverlappedResult(port.handle, &port.readOverlapped, &transferred, FALSE)) {
          ReportDeviceError(port, "GetOverlappedResult (OFFSET_RECV_EVENT)");
          return kPortReadFailed;
        }
        break;
      case WAIT_TIMEOUT:
        return AbortRead(port, kPortTimeout);
      default: {
        DWORD error = GetLastError();
        device::PurgeComm(port.handle, kPurgeRxAbort);
        ReportPortError(port, "WaitForMultipleObjects", error);
        return AbortRead(port, kPortReadFailed);
      }
    }
  }
  // A byte that arrived together with one of the events is discarded. One
  // look at all four, lowest index first, as the wait would take them: under
  // Wine each look is a server round trip, paid for every byte.
  const DWORD signalled = WaitForMultipleObjects(4, waits, FALSE, 0);
  if (signalled < WAIT_OBJECT_0 + 4) return EndedByEvent(port, signalled - WAIT_OBJECT_0);
  // With zero read time-outs a read completes only with its byte; a line that
  // has gone away can end it with none, and no byte is made up for it.
  if (transferred == 0) return kPortReadFailed;
  ++port.counters[kBytesReceived];
  return kPortOk;
}

PortStatus CheckModemLines(CommPort& port, DWORD& dsrOk, DWORD& rlsdOk) {
  DWORD status = 0;
  if (!device::GetCommModemStatus(port.handle, &status)) {
    ReportDeviceError(port, "GetCommModemStatus");
    return kPortCallFailed;
  }
  dsrOk = (port.eventMask & EV_DSR) ? ((status & MS_DSR_ON) ? 1 : 0) : 1;
  rlsdOk = (port.eventMask & EV_RLSD) ? ((status & MS_RLSD_ON) ? 1 : 0) : 1;
  return kPortOk;
}

PortStatus ReadBlock(CommPort& port, BYTE* buffer, DWORD count, DWORD* outCount,
                     DWORD firstTimeoutMs, DWORD nextTimeoutMs, short terminator1,
                     short terminator2) {
  if (port.handle == INVALID_HANDLE_VALUE) return kPortNotOpen;
  *outCount = 0;
  {
    // Under the lock every modem change is seen either here or, through its
    // event, by the byte loop below.
    CriticalSectionLock lock(port.readLock);
    DWORD dsrOk = 0;
    DWORD rlsdOk = 0;
    PortStatus status = CheckModemLines(port, dsrOk, rlsdOk);
    if (status != kPortOk) return status;
    if (!dsrOk) return kPortDsrLost;
    if (!rlsdOk) return kPortCarrierLost;
    ResetEvent(port.dsrChangedEvent);
    ResetEvent(port.rlsdChangedEvent);
  }
  DWORD received = 0;
  PortStatus status = kPortOk;
  while (received < count) {
    status = ReadOneByte(port, buffer + received, received == 0 ? firstTimeoutMs : nextTimeoutMs);
    if (status != kPortOk) break;
    const BYTE byte = buffer[received++];
    if (Ends(terminator1, byte) || Ends(terminator2, byte)) {
      status = kPortTerminator;
      break;
    }
  }
  if (Tracing() && received != 0) TraceBlock(port.channel, "RX", buffer, received);
  // A failed read reports no bytes; one that timed out, those it had.
  if (status == kPortOk || status == kPortTerminator || status == kPortTimeout)
    *outCount = received;
  return status;
}

PortStatus WriteBlock(CommPort& port, const BYTE* buffer, DWORD length) {
  CriticalSectionLock lock(port.writeLock);
  if (port.handle == INVALID_HANDLE_VALUE) return kPortNotOpen;
  DWORD written = 0;
  if (device::WriteFile(port.handle, buffer, length, &written, &port.writeOverlapped)) {
    port.counters[kBytesSent] += written;
    if (Tracing() && written != 0) TraceBlock(port.channel, "TX", buffer, written);
    device::FlushFileBuffers(port.handle);
    return kPortOk;
  }
  if (device::GetLastError() != ERROR_IO_PENDING) return FailWrite(port, "WriteFile");
  DWORD total = 0;
  for (;;) {
    written = 0;
    if (device::GetOverlappedResult(port.handle, &port.writeOverlapped, &written, TRUE)) {
      total += written;
      if (total != length) {
        device::PurgeComm(port.handle, kPurgeTx);
        return kPortWriteShort;
      }
      port.counters[kBytesSent] += total;
      if (Tracing() && total != 0) TraceBlock(port.channel, "TX", buffer, total);
      device::FlushFileBuffers(port.handle);
      return kPortOk;
    }
    if (device::GetLastError() != ERROR_IO_INCOMPLETE) {
      return FailWrite(port, "GetOverlappedResult (W)");
    }
    total += written;
  }
}
