// POSIX: the port is the device its COM name maps to (SERCHAN32_COM<n> or
// /dev/ttyS<n-1>); the reason is the system's for opening or locking it as
// the library does.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>

#include "dump/dump.h"
#include "platform/posix/serial/com_names.h"
#include "readertest/open_failure.h"

void ExplainOpenFailure(unsigned port) {
  char name[32];
  std::snprintf(name, sizeof name, "COM%u", ((port - 1) & 0xFF) + 1);
  char path[4096];
  if (!ComDevicePath(name, path, sizeof path)) {
    ConPrint("Устройство %s: нет такого порта\n", name);
    return;
  }
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    ConPrint("Устройство %s: %s\n", path, strerror(errno));
    return;
  }
  if (!isatty(fd)) {
    ConPrint("Устройство %s: не последовательный порт\n", path);
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ConPrint("Устройство %s: %s\n", path, strerror(EBUSY));
  } else {
    ConPrint("Устройство %s открывается, но не принимает скорость или настройки линии\n", path);
  }
  close(fd);
}
