// POSIX: the port is the device its COM name maps to (serchan32 says which,
// and where that came from); the reason is the system's for opening or
// locking it as the library does.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include "dump/dump.h"
#include "readertest/open_failure.h"
#include "serchan32/serchan32.h"

namespace {

// Why the device will not open as a COM port.
std::string Reason(const char* path) {
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return strerror(errno);
  std::string reason;
  if (!isatty(fd)) {
    reason = "не последовательный порт";
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    reason = strerror(EBUSY);
  } else {
    reason = "открывается, но не принимает скорость или настройки линии";
  }
  close(fd);
  return reason;
}

}  // namespace

void ExplainOpenFailure(unsigned port) {
  const unsigned com = ((port - 1) & 0xFF) + 1;
  char path[4096], source[4096];
  if (XRT_M_Comm_PortDevice(port, path, sizeof path, source, sizeof source) != 0) {
    ConPrint("Устройство COM%u: не назначено (%s)\n", com, source);
    return;
  }
  const std::string from =
      std::string(source) == "default" ? "по умолчанию" : "из " + std::string(source);
  ConPrint("Устройство %s (COM%u %s): %s\n", path, com, from.c_str(), Reason(path).c_str());
}
