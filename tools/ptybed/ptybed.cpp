// ptybed: stands in for pairs of serial ports joined by a null-modem cable.
//
//   ptybed DIR N [N ...]
//   ptybed --start PIDFILE DIR N [N ...]
//   ptybed --stop PIDFILE
//
// For each COM number N it makes two pseudo-terminals: side A, which Wine
// opens as COMN through DIR/comN, and side B, the far end a test opens
// directly through DIR/farN.  Bytes are relayed between the two masters in
// both directions.  DIR/comN.lines holds the modem lines read by the
// modemlines preload: far word DSR|CTS|CAR, host word 0 at start.
//
// Both slaves stay open here for the whole run, so their termios settings
// survive a user closing and reopening them and the masters never see EIO.
// Prints "ready" once everything exists; runs until stdin ends, a "quit"
// line, SIGTERM or SIGINT; then removes what it created and exits 0.
// Errors go to stderr with exit code 2.
//
// --start runs it in the background, for a test fixture: once everything
// exists it prints "ready", writes its process id to PIDFILE and returns,
// leaving the bed running on its own (standard handles on /dev/null) until
// SIGTERM or SIGINT. A bed still named by PIDFILE is stopped first. --stop
// ends the bed that PIDFILE names and returns once it has cleaned up.

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
int g_wake[2] = {-1, -1};  // self-pipe: signal handler -> poll loop

void on_signal(int) {
  g_stop = 1;
  char c = 0;
  if (write(g_wake[1], &c, 1) < 0) {
  }
}

std::runtime_error sys_error(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

void set_flags(int fd, int fd_flags, int fl_flags) {
  if (fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | fd_flags) < 0 ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | fl_flags) < 0)
    throw sys_error("fcntl");
}

// Bytes on their way from one master to the other.
struct Buffer {
  char data[16384];
  size_t begin = 0, end = 0;
  bool empty() const { return begin == end; }
  bool full() const { return begin == 0 && end == sizeof data; }
  // Makes room at the back by moving unsent bytes to the front.
  void compact() {
    std::memmove(data, data + begin, end - begin);
    end -= begin;
    begin = 0;
  }
};

struct Pty {
  int master = -1, slave = -1;
  std::string path;
  bool resting = false;  // master reported EIO/EOF: skip it for one short poll
};

// Opens a pty pair and puts the slave in raw mode with the given VMIN.
Pty open_pty(cc_t vmin) {
  Pty p;
  p.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (p.master < 0) throw sys_error("posix_openpt");
  set_flags(p.master, FD_CLOEXEC, O_NONBLOCK);
  char name[128];
  if (grantpt(p.master) != 0 || unlockpt(p.master) != 0 ||
      ptsname_r(p.master, name, sizeof name) != 0)
    throw sys_error("grantpt/unlockpt/ptsname");
  p.path = name;
  p.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (p.slave < 0) throw sys_error("open " + p.path);
  termios t;
  if (tcgetattr(p.slave, &t) != 0) throw sys_error("tcgetattr " + p.path);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = vmin;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(p.slave, TCSANOW, &t) != 0) throw sys_error("tcsetattr " + p.path);
  return p;
}

// Files this run made, removed at exit only if still the ones it made.
struct Created {
  std::string path;
  dev_t dev;
  ino_t ino;
};
std::vector<Created> g_created;

// Moves tmp over path atomically and records the result for removal at exit.
void install(const std::string& tmp, const std::string& path) {
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    int e = errno;
    unlink(tmp.c_str());
    errno = e;
    throw sys_error("rename to " + path);
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) throw sys_error("lstat " + path);
  g_created.push_back({path, st.st_dev, st.st_ino});
}

std::string tmp_name(const std::string& path) { return path + ".tmp" + std::to_string(getpid()); }

void make_symlink(const std::string& target, const std::string& path) {
  std::string tmp = tmp_name(path);
  unlink(tmp.c_str());
  if (symlink(target.c_str(), tmp.c_str()) != 0) throw sys_error("symlink " + tmp);
  install(tmp, path);
}

void put_le32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void make_lines_file(const std::string& path) {
  unsigned char w[8];
  put_le32(w, TIOCM_DSR | TIOCM_CTS | TIOCM_CAR);
  put_le32(w + 4, 0);
  std::string tmp = tmp_name(path);
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw sys_error("create " + tmp);
  ssize_t n = write(fd, w, sizeof w);
  int e = n < 0 ? errno : EIO;
  close(fd);
  if (n != static_cast<ssize_t>(sizeof w)) {
    unlink(tmp.c_str());
    errno = e;
    throw sys_error("write " + tmp);
  }
  install(tmp, path);
}

void remove_created() {
  for (const Created& c : g_created) {
    struct stat st;
    if (lstat(c.path.c_str(), &st) == 0 && st.st_dev == c.dev && st.st_ino == c.ino)
      unlink(c.path.c_str());
  }
  g_created.clear();
}

// One COM port: side A (Wine's), side B (the far end) and the bytes in flight.
struct Port {
  unsigned num = 0;
  Pty a, b;
  Buffer a_to_b, b_to_a;
};

// Reads what master src has into buf; false only when the read gave EIO/EOF.
bool pull(Pty& src, Buffer& buf) {
  if (buf.end == sizeof buf.data) buf.compact();
  if (buf.end == sizeof buf.data) return true;
  ssize_t n = read(src.master, buf.data + buf.end, sizeof buf.data - buf.end);
  if (n > 0) {
    buf.end += static_cast<size_t>(n);
    return true;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  if (n < 0 && errno != EIO) throw sys_error("read " + src.path + " master");
  return false;
}

// Writes what it can of buf to master dst; false only when the write gave EIO.
bool push(Pty& dst, Buffer& buf) {
  ssize_t n = write(dst.master, buf.data + buf.begin, buf.end - buf.begin);
  if (n > 0) {
    buf.begin += static_cast<size_t>(n);
    if (buf.empty()) buf.begin = buf.end = 0;
    return true;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  if (n < 0 && errno != EIO) throw sys_error("write " + dst.path + " master");
  return false;
}

// Handles one line from stdin; returns false when it asks to stop.
bool command(std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
    line.pop_back();
  size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos) return true;
  line.erase(0, start);
  if (line == "quit") return false;
  std::fprintf(stderr, "ptybed: unknown command: %s\n", line.c_str());
  return true;
}

unsigned parse_com(const char* s) {
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(s, &end, 10);
  if (!*s || *s < '0' || *s > '9' || *end || errno || v < 1 || v > 256)
    throw std::runtime_error(std::string("bad COM number '") + s + "' (want 1..256)");
  return static_cast<unsigned>(v);
}

// The process id PIDFILE names, if that process is a ptybed still running.
pid_t running_bed(const std::string& pidfile) {
  FILE* f = std::fopen(pidfile.c_str(), "r");
  if (!f) return 0;
  long pid = 0;
  int got = std::fscanf(f, "%ld", &pid);
  std::fclose(f);
  if (got != 1 || pid <= 0) return 0;
  std::string proc = "/proc/" + std::to_string(pid) + "/stat";
  f = std::fopen(proc.c_str(), "r");
  if (!f) return 0;
  char name[64] = "", state = 0;
  got = std::fscanf(f, "%*d (%63[^)]) %c", name, &state);
  std::fclose(f);
  if (got != 2 || std::strcmp(name, "ptybed") != 0 || state == 'Z') return 0;
  return static_cast<pid_t>(pid);
}

int stop_bed(const std::string& pidfile) {
  pid_t pid = running_bed(pidfile);
  if (pid > 0 && kill(pid, SIGTERM) == 0) {
    // Not our child: wait until it has gone (or is a zombie), 10 s at most.
    for (int i = 0; i < 1000 && running_bed(pidfile) == pid; i++) usleep(10000);
    if (running_bed(pidfile) == pid) throw std::runtime_error("the bed did not stop in 10 s");
  }
  unlink(pidfile.c_str());
  return 0;
}

// Leaves the bed running in a process of its own; the caller returns at once.
void detach(const std::string& pidfile, const std::string& dir) {
  std::fflush(stdout);
  pid_t child = fork();
  if (child < 0) throw sys_error("fork");
  if (child > 0) {
    std::string tmp = tmp_name(pidfile), text = std::to_string(child) + "\n";
    FILE* f = std::fopen(tmp.c_str(), "w");
    bool written = f && std::fputs(text.c_str(), f) >= 0;
    if (f && std::fclose(f) != 0) written = false;
    if (!written || rename(tmp.c_str(), pidfile.c_str()) != 0) {
      kill(child, SIGTERM);
      throw sys_error("write " + pidfile);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    _exit(0);  // the files are the child's now
  }
  setsid();
  int null_in = open("/dev/null", O_RDONLY);
  std::string log_path = dir + "/ptybed.log";
  int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
  if (null_in < 0 || log < 0 || dup2(null_in, 0) < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0)
    _exit(2);
  close(null_in);
  close(log);
}

int run(int argc, char** argv) {
  std::string pidfile;
  if (argc == 3 && std::strcmp(argv[1], "--stop") == 0) return stop_bed(argv[2]);
  if (argc > 2 && std::strcmp(argv[1], "--start") == 0) {
    pidfile = argv[2];
    stop_bed(pidfile);
    argc -= 2;
    argv += 2;
  }
  if (argc < 3)
    throw std::runtime_error(
        "usage: ptybed DIR N [N ...] | ptybed --start PIDFILE DIR N [N ...] | ptybed --stop "
        "PIDFILE");
  std::string dir = argv[1];
  if (!pidfile.empty() && mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
    throw sys_error("mkdir " + dir);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw std::runtime_error("not a directory: " + dir);

  std::vector<Port> ports;
  std::set<unsigned> seen;
  for (int i = 2; i < argc; i++) {
    unsigned n = parse_com(argv[i]);
    if (!seen.insert(n).second)
      throw std::runtime_error("COM number given twice: " + std::to_string(n));
  }
  ports.resize(seen.size());

  if (pipe(g_wake) != 0) throw sys_error("pipe");
  set_flags(g_wake[0], FD_CLOEXEC, O_NONBLOCK);
  set_flags(g_wake[1], FD_CLOEXEC, O_NONBLOCK);
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  size_t k = 0;
  for (unsigned n : seen) {
    Port& p = ports[k++];
    p.num = n;
    p.a = open_pty(1);
    p.b = open_pty(0);
    std::string base = dir + "/com" + std::to_string(n);
    make_symlink(p.a.path, base);
    make_symlink(p.b.path, dir + "/far" + std::to_string(n));
    make_lines_file(base + ".lines");
  }

  bool stdin_open = true, watch_stdin = pidfile.empty();
  if (watch_stdin) {
    std::printf("ready\n");
    std::fflush(stdout);
  } else {
    detach(pidfile, dir);
  }

  std::string input;
  std::vector<pollfd> fds;
  while (!g_stop && stdin_open) {
    fds.clear();
    fds.push_back({g_wake[0], POLLIN, 0});
    fds.push_back({watch_stdin ? STDIN_FILENO : -1, POLLIN, 0});
    bool resting = false;
    for (Port& p : ports) {
      // Master A reads into a_to_b and writes out b_to_a; master B the other way.
      short ea =
          static_cast<short>((p.a_to_b.full() ? 0 : POLLIN) | (p.b_to_a.empty() ? 0 : POLLOUT));
      short eb =
          static_cast<short>((p.b_to_a.full() ? 0 : POLLIN) | (p.a_to_b.empty() ? 0 : POLLOUT));
      fds.push_back({p.a.resting ? -1 : p.a.master, ea, 0});
      fds.push_back({p.b.resting ? -1 : p.b.master, eb, 0});
      resting = resting || p.a.resting || p.b.resting;
      p.a.resting = p.b.resting = false;
    }
    if (poll(fds.data(), fds.size(), resting ? 10 : -1) < 0) {
      if (errno == EINTR) continue;
      throw sys_error("poll");
    }
    if (fds[0].revents) {
      char drain[64];
      while (read(g_wake[0], drain, sizeof drain) > 0) {
      }
    }
    if (fds[1].revents) {
      char chunk[512];
      ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
      if (n <= 0 && !(n < 0 && errno == EINTR)) stdin_open = false;
      for (ssize_t i = 0; i < n && stdin_open; i++) {
        if (chunk[i] != '\n') {
          input += chunk[i];
          continue;
        }
        stdin_open = command(input);
        input.clear();
      }
    }
    for (size_t i = 0; i < ports.size(); i++) {
      Port& p = ports[i];
      short ra = fds[2 + 2 * i].revents, rb = fds[3 + 2 * i].revents;
      if (ra & (POLLIN | POLLHUP | POLLERR)) p.a.resting |= !pull(p.a, p.a_to_b);
      if (rb & (POLLIN | POLLHUP | POLLERR)) p.b.resting |= !pull(p.b, p.b_to_a);
      // Forward at once what was just read, and whatever a master now has room for.
      if (!p.a_to_b.empty() && ((rb & POLLOUT) || (ra & POLLIN)))
        p.b.resting |= !push(p.b, p.a_to_b);
      if (!p.b_to_a.empty() && ((ra & POLLOUT) || (rb & POLLIN)))
        p.a.resting |= !push(p.a, p.b_to_a);
    }
  }
  remove_created();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed stdio fd would otherwise be taken by the first pty we open.
  for (int fd = 0; fd <= 2; fd++)
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", fd ? O_WRONLY : O_RDONLY) != fd) return 2;
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    remove_created();
    std::fprintf(stderr, "ptybed: %s\n", e.what());
    return 2;
  }
}
