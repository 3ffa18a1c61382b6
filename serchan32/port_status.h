// The result of every port operation: the one table of codes.
#pragma once

using PortStatus = unsigned;

enum : PortStatus {
  kPortOk = 0,           // byte read, block complete, write complete, purge done, lines good
  kPortTerminator = 1,   // block read ended on a terminator character
  kPortAlreadyOpen = 2,  // open found the device already open
  kPortNotOpen = 3,      // the port is not open, or opening it failed
  kPortWriteFailed = 4,  // write failed with a system error
  kPortWriteShort = 5,   // write completed with fewer bytes than asked
  kPortReadFailed = 6,   // line error signalled, or a read, wait or result call failed
  kPortTimeout = 7,      // time-out
  kPortDsrLost = 8,      // DSR is off, or changed during the read
  kPortCarrierLost = 9,  // carrier (RLSD) is off, or changed during the read
  kPortBreak = 10,       // the break event was set: read aborted by the caller
  kPortCallFailed = 11,  // a modem-status, purge or configuration call failed
};
