// A terminal device's line settings through termios2, which takes any baud
// rate. Apart from the device file because the kernel's termios2 header and
// the C library's <termios.h> cannot be included together.
#pragma once

#include "platform/platform.h"

struct LineSettings {
  DWORD baudRate;
  BYTE dataBits;  // 5 to 8
  BYTE parity;    // NOPARITY to SPACEPARITY
  bool twoStopBits;
  bool checkParity;  // received parity errors are marked
  bool rtsCtsFlow;
  bool xonXoffOut;  // XON/XOFF received stop and start transmission
  bool xonXoffIn;   // XON/XOFF are sent as the receive side fills
  char xonChar;
  char xoffChar;
};

// Reads the device's settings; false with errno set.
bool ReadLineSettings(int fd, LineSettings& line);
// Puts the device in raw mode with these settings; false with errno set.
bool WriteLineSettings(int fd, const LineSettings& line);
