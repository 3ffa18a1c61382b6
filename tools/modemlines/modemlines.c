/*
 * modemlines: LD_PRELOAD library that gives pseudo-terminals modem control
 * lines.  Linux answers TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC/TIOCMIWAIT on a
 * pty with ENOTTY, so Wine's GetCommModemStatus, EscapeCommFunction and
 * WaitCommEvent fail on a pty mapped as a COM port.  We wrap ioctl and
 * __ioctl_time64 (what 32-bit code built with 64-bit time calls) and, only
 * when the real call fails with ENOTTY on a pty slave, answer from kept lines:
 *
 *  - a pty named by a symlink $MODEMLINES_DIR/comN keeps its lines in the
 *    8-byte file $MODEMLINES_DIR/comN.lines: uint32 LE "far" word (DSR, CTS,
 *    CAR, RNG, driven by the other end) then uint32 LE "host" word (DTR, RTS,
 *    driven by the port's owner).  The file is read on every query and only
 *    the host word is ever written, so another process may change the far
 *    word at any moment;
 *  - any other pty gets in-memory lines per fd: DSR, CTS and CAR on, DTR and
 *    RTS as last set.
 *
 * Everything else goes to the real ioctl untouched.  The fallback path uses
 * no malloc and holds a spinlock only with all signals blocked, so it is safe
 * from any thread and tolerable from a signal handler.
 */
#undef _TIME_BITS /* we define ioctl itself: keep the header from renaming it */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define FAR_LINES (TIOCM_DSR | TIOCM_CTS | TIOCM_CAR | TIOCM_RNG)
#define HOST_LINES (TIOCM_DTR | TIOCM_RTS)
#define SLOTS 64
#define PATH_MAX_LEN 256

typedef int (*ioctl_fn)(int, unsigned long, ...);

int ioctl(int fd, unsigned long req, ...);
int __ioctl_time64(int fd, unsigned long req, ...);

/* Last resort when neither libc entry point can be found. */
static int sys_ioctl(int fd, unsigned long req, ...) {
  va_list ap;
  va_start(ap, req);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return (int)syscall(SYS_ioctl, fd, req, arg);
}

static ioctl_fn real_ioctl_fn, real_ioctl_time64_fn;

/* Finds the next definition of name (or else of other) once, then caches it. */
static ioctl_fn resolve(ioctl_fn* cache, const char* name, const char* other) {
  ioctl_fn f = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
  if (f) return f;
  void* p = dlsym(RTLD_NEXT, name);
  if (!p) p = dlsym(RTLD_NEXT, other);
  if (p)
    memcpy(&f, &p, sizeof f);
  else
    f = sys_ioctl;
  __atomic_store_n(cache, f, __ATOMIC_RELEASE);
  return f;
}

/* One tracked pty fd. */
struct slot {
  int used;
  int fd;
  char pts[64];             /* /proc/self/fd link it was looked up for */
  char lines[PATH_MAX_LEN]; /* state file, or "" for in-memory lines */
  unsigned host;            /* in-memory DTR/RTS */
};

static struct slot slots[SLOTS];
static unsigned next_evict;
static int table_lock;

static void lock_table(sigset_t* saved) {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, saved);
  while (__atomic_exchange_n(&table_lock, 1, __ATOMIC_ACQUIRE)) sched_yield();
}

static void unlock_table(const sigset_t* saved) {
  __atomic_store_n(&table_lock, 0, __ATOMIC_RELEASE);
  pthread_sigmask(SIG_SETMASK, saved, NULL);
}

/* Appends src to dst (capacity cap); returns 0 if it did not fit. */
static int append(char* dst, size_t cap, const char* src) {
  size_t n = strlen(dst), m = strlen(src);
  if (n + m >= cap) return 0;
  memcpy(dst + n, src, m + 1);
  return 1;
}

/* Puts fd's /proc/self/fd link into out; returns 1 only for a pty slave. */
static int pty_path(int fd, char out[64]) {
  char proc[32] = "/proc/self/fd/", num[12];
  int i = sizeof num - 1;
  unsigned v = (unsigned)fd;
  num[i] = 0;
  do num[--i] = (char)('0' + v % 10);
  while ((v /= 10) && i > 0);
  append(proc, sizeof proc, num + i);
  ssize_t n = readlink(proc, out, 63);
  if (n <= 0) return 0;
  out[n] = 0;
  return strncmp(out, "/dev/pts/", 9) == 0;
}

/* True for names of the form com<digits>. */
static int is_com_name(const char* name) {
  if (strncmp(name, "com", 3) != 0 || !name[3]) return 0;
  for (name += 3; *name; name++)
    if (*name < '0' || *name > '9') return 0;
  return 1;
}

struct dirent64_raw {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

/*
 * Finds the comN entry of $MODEMLINES_DIR that leads to the same pty as fd
 * (same device and inode after following the link) and puts the path of its
 * state file into lines, or "" if there is none.  Uses getdents64 directly
 * so that no memory is allocated.
 */
static void find_lines_file(int fd, char lines[PATH_MAX_LEN]) {
  const char* dir = getenv("MODEMLINES_DIR");
  struct stat me, st;
  lines[0] = 0;
  if (!dir || !*dir || fstat(fd, &me) != 0) return;
  int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return;
  union {
    char bytes[2048];
    struct dirent64_raw align;
  } buf;
  long n;
  while (!lines[0] && (n = syscall(SYS_getdents64, dfd, buf.bytes, sizeof buf.bytes)) > 0) {
    for (long off = 0; off < n;) {
      struct dirent64_raw* d = (struct dirent64_raw*)(buf.bytes + off);
      off += d->d_reclen;
      if (!is_com_name(d->d_name) || fstatat(dfd, d->d_name, &st, 0) != 0) continue;
      if (st.st_dev != me.st_dev || st.st_ino != me.st_ino) continue;
      if (!append(lines, PATH_MAX_LEN, dir) || !append(lines, PATH_MAX_LEN, "/") ||
          !append(lines, PATH_MAX_LEN, d->d_name) || !append(lines, PATH_MAX_LEN, ".lines"))
        lines[0] = 0;
      break;
    }
  }
  close(dfd);
}

/* False when the comN entry behind the state file lines no longer leads to fd's
 * pty (the test bed was restarted and reused the pty name). */
static int still_linked(int fd, const char* lines) {
  char com[PATH_MAX_LEN];
  struct stat me, st;
  size_t n = strlen(lines);
  if (!n) return 1;
  memcpy(com, lines, n - 6); /* drop ".lines" */
  com[n - 6] = 0;
  return fstat(fd, &me) == 0 && stat(com, &st) == 0 && st.st_dev == me.st_dev &&
         st.st_ino == me.st_ino;
}

/* Returns the slot for fd, looking it up afresh if fd is new, now names another
 * pty, or its comN entry moved.  Called with the table locked. */
static struct slot* slot_for(int fd, const char* pts) {
  struct slot* s = NULL;
  for (int i = 0; i < SLOTS && !s; i++)
    if (slots[i].used && slots[i].fd == fd) s = &slots[i];
  if (s && strcmp(s->pts, pts) == 0 && still_linked(fd, s->lines)) return s;
  for (int i = 0; i < SLOTS && !s; i++)
    if (!slots[i].used) s = &slots[i];
  if (!s) s = &slots[next_evict++ % SLOTS];
  s->used = 1;
  s->fd = fd;
  strcpy(s->pts, pts);
  s->host = 0;
  find_lines_file(fd, s->lines);
  return s;
}

static unsigned get_le32(const unsigned char* p) {
  return (unsigned)p[0] | (unsigned)p[1] << 8 | (unsigned)p[2] << 16 | (unsigned)p[3] << 24;
}

static void put_le32(unsigned char* p, unsigned v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
  p[2] = (unsigned char)(v >> 16);
  p[3] = (unsigned char)(v >> 24);
}

/* New host word for a TIOCMSET/TIOCMBIS/TIOCMBIC of bits. */
static unsigned new_host(unsigned cmd, unsigned host, unsigned bits) {
  bits &= HOST_LINES;
  if (cmd == TIOCMSET) return bits;
  if (cmd == TIOCMBIS) return host | bits;
  return host & ~bits;
}

/* Applies TIOCMGET (result in *lines) or TIOCMSET/BIS/BIC (bits in *lines) to the
 * state file.  Returns 0, or -1 with errno. */
static int file_lines(const char* path, unsigned cmd, unsigned* lines) {
  unsigned char w[8];
  int ok = 0, lf = open(path, (cmd == TIOCMGET ? O_RDONLY : O_RDWR) | O_CLOEXEC);
  if (lf < 0) {
    errno = EIO;
    return -1;
  }
  if (cmd == TIOCMGET) {
    if (pread(lf, w, 8, 0) == 8) {
      *lines = (get_le32(w) & FAR_LINES) | (get_le32(w + 4) & HOST_LINES);
      ok = 1;
    }
  } else if (pread(lf, w + 4, 4, 4) == 4) {
    put_le32(w + 4, new_host(cmd, get_le32(w + 4), *lines));
    ok = pwrite(lf, w + 4, 4, 4) == 4;
  }
  close(lf);
  if (!ok) errno = EIO;
  return ok ? 0 : -1;
}

/* Kept-lines version of one TIOCM request on the pty slave fd (link pts). */
static int kept_lines(int fd, const char* pts, unsigned cmd, unsigned* lines) {
  sigset_t saved;
  int r = 0;
  lock_table(&saved);
  struct slot* s = slot_for(fd, pts);
  if (s->lines[0]) {
    r = file_lines(s->lines, cmd, lines);
  } else if (cmd == TIOCMGET) {
    *lines = TIOCM_DSR | TIOCM_CTS | TIOCM_CAR | s->host;
  } else {
    s->host = new_host(cmd, s->host, *lines);
  }
  int e = errno;
  unlock_table(&saved);
  errno = e;
  return r;
}

/* TIOCMIWAIT: waits, polling every millisecond, until a line in mask changes. */
static int wait_lines(int fd, const char* pts, unsigned mask) {
  unsigned first, now;
  struct timespec ms = {0, 1000000};
  if (kept_lines(fd, pts, TIOCMGET, &first) != 0) return -1;
  mask &= FAR_LINES;
  for (;;) {
    nanosleep(&ms, NULL);
    if (kept_lines(fd, pts, TIOCMGET, &now) != 0) return -1;
    if ((now ^ first) & mask) return 0;
  }
}

static int modem_ioctl(ioctl_fn real, int fd, unsigned long req, void* arg) {
  unsigned cmd = (unsigned)req;
  int r = real(fd, req, arg);
  if (r != -1 || errno != ENOTTY) return r;
  if (cmd != TIOCMGET && cmd != TIOCMSET && cmd != TIOCMBIS && cmd != TIOCMBIC && cmd != TIOCMIWAIT)
    return r;
  char pts[64];
  if (!pty_path(fd, pts)) {
    errno = ENOTTY;
    return -1;
  }
  if (cmd == TIOCMIWAIT) return wait_lines(fd, pts, (unsigned)(uintptr_t)arg);
  if (!arg) {
    errno = EFAULT;
    return -1;
  }
  unsigned lines = cmd == TIOCMGET ? 0 : (unsigned)*(int*)arg;
  if (kept_lines(fd, pts, cmd, &lines) != 0) return -1;
  if (cmd == TIOCMGET) *(int*)arg = (int)lines;
  return 0;
}

int ioctl(int fd, unsigned long req, ...) {
  va_list ap;
  va_start(ap, req);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return modem_ioctl(resolve(&real_ioctl_fn, "ioctl", "__ioctl_time64"), fd, req, arg);
}

int __ioctl_time64(int fd, unsigned long req, ...) {
  va_list ap;
  va_start(ap, req);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return modem_ioctl(resolve(&real_ioctl_time64_fn, "__ioctl_time64", "ioctl"), fd, req, arg);
}
