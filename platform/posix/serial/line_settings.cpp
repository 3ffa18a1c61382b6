// Line settings through termios2 (TCGETS2 / TCSETS2), which takes any rate.
#include "platform/posix/serial/line_settings.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace {

const tcflag_t kSizeFlags[] = {CS5, CS6, CS7, CS8};

// The standard rates keep their own codes, which programs that read the older
// termios understand; any other rate is BOTHER with the rate itself.
const struct {
  DWORD rate;
  tcflag_t code;
} kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t RateCode(DWORD rate) {
  for (const auto& standard : kStandardRates) {
    if (standard.rate == rate) return standard.code;
  }
  return BOTHER;
}

}  // namespace

bool ReadLineSettings(int fd, LineSettings& line) {
  termios2 settings = {};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  const tcflag_t flags = settings.c_cflag;
  line.baudRate = settings.c_ospeed;
  line.dataBits = 8;
  for (int i = 0; i < 4; ++i) {
    if ((flags & CSIZE) == kSizeFlags[i]) line.dataBits = static_cast<BYTE>(5 + i);
  }
  if (!(flags & PARENB)) {
    line.parity = NOPARITY;
  } else if (flags & CMSPAR) {
    line.parity = (flags & PARODD) ? MARKPARITY : SPACEPARITY;
  } else {
    line.parity = (flags & PARODD) ? ODDPARITY : EVENPARITY;
  }
  line.twoStopBits = (flags & CSTOPB) != 0;
  line.checkParity = (settings.c_iflag & INPCK) != 0;
  line.rtsCtsFlow = (flags & CRTSCTS) != 0;
  line.xonXoffOut = (settings.c_iflag & IXON) != 0;
  line.xonXoffIn = (settings.c_iflag & IXOFF) != 0;
  line.xonChar = static_cast<char>(settings.c_cc[VSTART]);
  line.xoffChar = static_cast<char>(settings.c_cc[VSTOP]);
  return true;
}

bool WriteLineSettings(int fd, const LineSettings& line) {
  termios2 settings = {};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  // Raw: every byte as it comes, breaks dropped from the data (the driver
  // still counts them), nothing done to output, no signals, no echo.
  settings.c_iflag &= ~static_cast<tcflag_t>(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                             IXON | IXOFF | IXANY | INPCK | IGNPAR);
  settings.c_iflag |= IGNBRK;
  if (line.checkParity) settings.c_iflag |= INPCK;
  if (line.xonXoffOut) settings.c_iflag |= IXON;
  if (line.xonXoffIn) settings.c_iflag |= IXOFF;
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  // The port watches its modem lines itself: they never hang the line up.
  settings.c_cflag &=
      ~static_cast<tcflag_t>(CBAUD | CIBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  settings.c_cflag |= RateCode(line.baudRate) | CREAD | CLOCAL | kSizeFlags[line.dataBits - 5];
  settings.c_ispeed = line.baudRate;
  settings.c_ospeed = line.baudRate;
  switch (line.parity) {
    case ODDPARITY:
      settings.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      settings.c_cflag |= PARENB;
      break;
    case MARKPARITY:
      settings.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      settings.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (line.twoStopBits) settings.c_cflag |= CSTOPB;
  if (line.rtsCtsFlow) settings.c_cflag |= CRTSCTS;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  settings.c_cc[VSTART] = static_cast<cc_t>(line.xonChar);
  settings.c_cc[VSTOP] = static_cast<cc_t>(line.xoffChar);
  return ioctl(fd, TCSETS2, &settings) == 0;
}
