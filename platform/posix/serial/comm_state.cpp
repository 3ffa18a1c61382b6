// Line settings as a DCB, and the time-outs.
#include <errno.h>
#include <sys/ioctl.h>

#include "platform/posix/serial/comm_file.h"

namespace serial {

// The DCB of a device as first opened, from its line settings.
DCB DcbOf(const LineSettings& line) {
  DCB dcb = {};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = line.baudRate;
  dcb.fBinary = 1;
  dcb.fParity = line.checkParity ? 1 : 0;
  dcb.fOutxCtsFlow = line.rtsCtsFlow ? 1 : 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = line.rtsCtsFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutX = line.xonXoffOut ? 1 : 0;
  dcb.fInX = line.xonXoffIn ? 1 : 0;
  dcb.ByteSize = line.dataBits;
  dcb.Parity = line.parity;
  dcb.StopBits = line.twoStopBits ? TWOSTOPBITS : ONESTOPBIT;
  dcb.XonChar = line.xonChar;
  dcb.XoffChar = line.xoffChar;
  return dcb;
}

}  // namespace serial

using namespace serial;

extern "C" {

// The DCB as last set (or as the device was found): a pseudo-terminal keeps
// neither character size nor parity in its termios, so they are not read back.
BOOL WINAPI GetCommState(HANDLE handle, LPDCB dcb) {
  DeviceCall call(handle);
  if (!call) return FALSE;
  CommFile* file = call.file();
  *dcb = file->dcb;
  return TRUE;
}

BOOL WINAPI SetCommState(HANDLE handle, LPDCB dcb) {
  DeviceCall call(handle);
  if (!call) return FALSE;
  CommFile* file = call.file();
  Guard& lock = call.lock();
  // 1.5 stop bits exist only with five data bits on a few UARTs; termios has none.
  if (dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
      (dcb->StopBits != ONESTOPBIT && dcb->StopBits != TWOSTOPBITS) ||
      ((dcb->fOutX || dcb->fInX) && dcb->XonChar == dcb->XoffChar)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  LineSettings line = {};
  line.baudRate = dcb->BaudRate;
  line.dataBits = dcb->ByteSize;
  line.parity = dcb->Parity;
  line.twoStopBits = dcb->StopBits == TWOSTOPBITS;
  line.checkParity = dcb->fParity != 0 && dcb->Parity != NOPARITY;
  line.rtsCtsFlow = dcb->fOutxCtsFlow != 0 || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE;
  line.xonXoffOut = dcb->fOutX != 0;
  line.xonXoffIn = dcb->fInX != 0;
  line.xonChar = dcb->XonChar;
  line.xoffChar = dcb->XoffChar;
  if (!file->line->Configure(line, lock) ||
      !ChangeLines(*file, lock, TIOCM_DTR, dcb->fDtrControl != DTR_CONTROL_DISABLE) ||
      (!line.rtsCtsFlow &&
       !ChangeLines(*file, lock, TIOCM_RTS, dcb->fRtsControl != RTS_CONTROL_DISABLE))) {
    return Fail(ErrorOf(errno));
  }
  file->dcb = *dcb;
  file->dcb.DCBlength = sizeof(DCB);
  return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
  DeviceCall call(handle);
  if (!call) return FALSE;
  CommFile* file = call.file();
  if (timeouts->ReadIntervalTimeout == MAXDWORD &&
      timeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
      timeouts->ReadTotalTimeoutConstant == MAXDWORD) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  file->timeouts = *timeouts;
  return TRUE;
}

}  // extern "C"
