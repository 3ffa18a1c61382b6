// A minimal host of the echo exchange, as one would write it with termios
// alone: the command frame in one write, each piece of the answer (status,
// length, data, CRC) with one read of the whole piece.
// Usage: piece_host DEVICE BAUD SECONDS PAYLOAD...
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "bench/echo_runs.h"

namespace {

int device = -1;

speed_t SpeedOf(unsigned baud) {
  switch (baud) {
    case 9600:
      return B9600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      // Faster lines than termios names (12 Mbaud): the fastest it does; a
      // pseudo-terminal paces nothing anyway.
      return baud > 921600 ? B4000000 : B0;
  }
}

// Reads exactly count bytes, or fails after a second with nothing coming.
bool ReadPiece(unsigned char* buffer, unsigned count) {
  unsigned done = 0;
  while (done < count) {
    pollfd ready = {device, POLLIN, 0};
    if (poll(&ready, 1, 1000) <= 0) return false;
    const ssize_t got = read(device, buffer + done, count - done);
    if (got <= 0) return false;
    done += unsigned(got);
  }
  return true;
}

bool Exchange(unsigned payload) {
  static unsigned char frame[2048];
  const unsigned length = EchoFrame(payload, frame);
  tcflush(device, TCIFLUSH);
  if (write(device, frame, length) != ssize_t(length)) return false;
  return ReadEchoAnswer(payload, ReadPiece);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: piece_host DEVICE BAUD SECONDS PAYLOAD...\n");
    return 2;
  }
  device = open(argv[1], O_RDWR | O_NOCTTY);
  termios settings;
  if (device < 0 || tcgetattr(device, &settings) != 0) {
    std::fprintf(stderr, "piece_host: cannot open %s\n", argv[1]);
    return 1;
  }
  cfmakeraw(&settings);
  cfsetspeed(&settings, SpeedOf(unsigned(std::atoi(argv[2]))));
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  tcsetattr(device, TCSANOW, &settings);
  const double seconds = std::atof(argv[3]);
  for (int i = 4; i < argc; ++i) MeasureEcho(unsigned(std::atoi(argv[i])), seconds, Exchange);
  close(device);
  return 0;
}
