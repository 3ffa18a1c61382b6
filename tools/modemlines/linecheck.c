/*
 * linecheck DIR N: native check of the modemlines preload against a running
 * ptybed.  Run with LD_PRELOAD set; exits 0 when every check passes.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static int failures;

static void check(int ok, const char* what) {
  printf("linecheck: %s %s\n", ok ? "ok  " : "FAIL", what);
  failures += !ok;
}

static uint32_t word(int lf, off_t off) {
  unsigned char b[4] = {0};
  if (pread(lf, b, 4, off) != 4) return 0xffffffffu;
  return b[0] | b[1] << 8 | b[2] << 16 | (uint32_t)b[3] << 24;
}

static void set_far(int lf, uint32_t v) {
  unsigned char b[4] = {(unsigned char)v, (unsigned char)(v >> 8), (unsigned char)(v >> 16),
                        (unsigned char)(v >> 24)};
  if (pwrite(lf, b, 4, 0) != 4) check(0, "write far word");
}

/* Reads n bytes, waiting up to 2 s for each chunk. */
static int read_n(int fd, char* buf, int n) {
  int have = 0;
  struct pollfd p = {fd, POLLIN, 0};
  while (have < n && poll(&p, 1, 2000) == 1) {
    ssize_t r = read(fd, buf + have, (size_t)(n - have));
    if (r <= 0) break;
    have += (int)r;
  }
  return have;
}

static int get(int fd) {
  int m = -1;
  return ioctl(fd, TIOCMGET, &m) == 0 ? m : -1;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: linecheck DIR N\n");
    return 2;
  }
  char com[512], far[512], lines[512];
  snprintf(com, sizeof com, "%s/com%s", argv[1], argv[2]);
  snprintf(far, sizeof far, "%s/far%s", argv[1], argv[2]);
  snprintf(lines, sizeof lines, "%s/com%s.lines", argv[1], argv[2]);
  int fd = open(com, O_RDWR | O_NOCTTY), ffd = open(far, O_RDWR | O_NOCTTY),
      lf = open(lines, O_RDWR);
  if (fd < 0 || ffd < 0 || lf < 0) {
    perror("open");
    return 2;
  }
  const int base = TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
  int m, bit = TIOCM_DTR;

  check(get(fd) == base, "TIOCMGET gives DSR|CTS|CAR from the lines file");
  check(ioctl(fd, TIOCMBIS, &bit) == 0 && word(lf, 4) == TIOCM_DTR,
        "TIOCMBIS DTR sets the host word");
  check(get(fd) == (base | TIOCM_DTR), "TIOCMGET shows DTR");
  m = TIOCM_RTS | TIOCM_DSR;
  check(ioctl(fd, TIOCMSET, &m) == 0 && word(lf, 4) == TIOCM_RTS, "TIOCMSET keeps only DTR/RTS");
  bit = TIOCM_RTS;
  check(ioctl(fd, TIOCMBIC, &bit) == 0 && word(lf, 4) == 0, "TIOCMBIC RTS clears it");
  check(word(lf, 0) == (uint32_t)base, "far word untouched");
  set_far(lf, TIOCM_CTS | TIOCM_RNG);
  check(get(fd) == (TIOCM_CTS | TIOCM_RNG), "far word change is seen at once");
  set_far(lf, base);

  /* TIOCMIWAIT returns once CTS drops, changed by another process. */
  pid_t child = fork();
  if (child == 0) {
    struct timespec t = {0, 100 * 1000000};
    nanosleep(&t, NULL);
    set_far(lf, TIOCM_DSR | TIOCM_CAR);
    _exit(0);
  }
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  int r = ioctl(fd, TIOCMIWAIT, (unsigned long)(TIOCM_CTS | TIOCM_DSR));
  clock_gettime(CLOCK_MONOTONIC, &t1);
  double waited = (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
  waitpid(child, NULL, 0);
  check(r == 0 && waited > 0.05 && waited < 5.0 && !(get(fd) & TIOCM_CTS),
        "TIOCMIWAIT wakes on CTS change");
  set_far(lf, base);

  /* A pty outside the directory gets in-memory lines. */
  int mfd = posix_openpt(O_RDWR | O_NOCTTY);
  int sfd = mfd >= 0 && grantpt(mfd) == 0 && unlockpt(mfd) == 0
                ? open(ptsname(mfd), O_RDWR | O_NOCTTY)
                : -1;
  bit = TIOCM_RTS;
  check(sfd >= 0 && get(sfd) == base, "other pty: DSR|CTS|CAR, DTR/RTS off");
  check(ioctl(sfd, TIOCMBIS, &bit) == 0 && get(sfd) == (base | TIOCM_RTS),
        "other pty: RTS kept in memory");
  check(get(fd) == base, "other pty does not touch the COM lines");

  /* Everything else behaves as without the preload. */
  int nul = open("/dev/null", O_RDWR);
  errno = 0;
  check(ioctl(nul, TIOCMGET, &m) == -1 && errno == ENOTTY, "non-tty still gets ENOTTY");
  errno = 0;
  check(ioctl(mfd, TIOCMGET, &m) == -1 && errno == ENOTTY, "pty master still gets ENOTTY");
  struct termios tio;
  check(tcgetattr(fd, &tio) == 0, "other requests pass through");

  /* Bytes relayed both ways. */
  char buf[8] = {0};
  check(write(fd, "ping", 4) == 4 && read_n(ffd, buf, 4) == 4, "com -> far");
  check(write(ffd, "pong", 4) == 4 && read_n(fd, buf + 4, 4) == 4, "far -> com");
  check(memcmp(buf, "pingpong", 8) == 0, "bytes intact");
  return failures ? 1 : 0;
}
