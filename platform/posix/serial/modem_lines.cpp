// Modem lines: read, and DTR and RTS set, on the device or, on a three-wire
// line, remembered.
#include <errno.h>
#include <sys/ioctl.h>

#include "platform/posix/serial/comm_file.h"

namespace serial {

// Sets (or clears) modem-line bits: on the device, or remembered on a
// three-wire line. False with errno set.
bool ChangeLines(CommFile& file, Guard& lock, int bits, bool on) {
  if (file.modemLines) return file.line->SetLines(bits, on, lock);
  file.lines = on ? (file.lines | bits) : (file.lines & ~bits);
  return true;
}

}  // namespace serial

using namespace serial;

extern "C" {

BOOL WINAPI GetCommModemStatus(HANDLE handle, LPDWORD status) {
  DeviceCall call(handle);
  if (!call) return FALSE;
  CommFile* file = call.file();
  if (!file->modemLines) {
    *status = MS_DSR_ON | MS_CTS_ON | MS_RLSD_ON;
    return TRUE;
  }
  int lines = 0;
  if (!file->line->GetLines(&lines)) return Fail(ErrorOf(errno));
  *status = ((lines & TIOCM_CTS) ? MS_CTS_ON : 0) | ((lines & TIOCM_DSR) ? MS_DSR_ON : 0) |
            ((lines & TIOCM_RNG) ? MS_RING_ON : 0) | ((lines & TIOCM_CAR) ? MS_RLSD_ON : 0);
  return TRUE;
}

BOOL WINAPI EscapeCommFunction(HANDLE handle, DWORD function) {
  DeviceCall call(handle);
  if (!call) return FALSE;
  CommFile* file = call.file();
  Guard& lock = call.lock();
  bool done = false;
  switch (function) {
    case SETDTR:
    case CLRDTR:
      done = ChangeLines(*file, lock, TIOCM_DTR, function == SETDTR);
      break;
    case SETRTS:
    case CLRRTS:
      done = ChangeLines(*file, lock, TIOCM_RTS, function == SETRTS);
      break;
    case SETBREAK:
    case CLRBREAK:
      done = file->line->SetBreak(function == SETBREAK, lock);
      break;
    case SETXOFF:
    case SETXON:
      done = file->line->StopOutput(function == SETXOFF);
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  return done ? TRUE : Fail(ErrorOf(errno));
}

}  // extern "C"
