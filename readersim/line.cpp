#include "readersim/line.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

namespace readersim {

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

int Fd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

Symlink::~Symlink() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

bool Symlink::make(const std::string& target, const std::string& path, std::string& error) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      error = path + " exists and is not a symlink";
      return false;
    }
    ::unlink(path.c_str());
  }
  if (::symlink(target.c_str(), path.c_str()) != 0) {
    error = "symlink " + path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  return true;
}

namespace {

speed_t speed_of(int baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return B0;
  }
}

bool make_raw(int fd, int baud, std::string& error) {
  struct termios t;
  if (::tcgetattr(fd, &t) != 0) {
    error = std::string("tcgetattr: ") + std::strerror(errno);
    return false;
  }
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  const speed_t speed = speed_of(baud);
  if (speed != B0) {
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
  }
  if (::tcsetattr(fd, TCSANOW, &t) != 0) {
    error = std::string("tcsetattr: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool set_nonblocking(int fd, std::string& error) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    error = std::string("fcntl: ") + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool open_pty(Line& line, int baud, std::string& error) {
  Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) {
    error = std::string("posix_openpt: ") + std::strerror(errno);
    return false;
  }
  char name[256];
  if (::ptsname_r(master.get(), name, sizeof name) != 0) {
    error = std::string("ptsname: ") + std::strerror(errno);
    return false;
  }
  Fd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave) {
    error = std::string("open ") + name + ": " + std::strerror(errno);
    return false;
  }
  if (!make_raw(slave.get(), baud, error) || !set_nonblocking(master.get(), error)) return false;
  line.fd = std::move(master);
  line.slave_hold = std::move(slave);
  line.path = name;
  return true;
}

bool open_device(Line& line, const std::string& path, int baud, std::string& error) {
  if (speed_of(baud) == B0) {
    error = "unsupported baud rate " + std::to_string(baud);
    return false;
  }
  Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    error = "open " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!make_raw(fd.get(), baud, error)) return false;
  line.fd = std::move(fd);
  line.path = path;
  return true;
}

int64_t byte_time_ns(int baud) { return baud > 0 ? (10 * 1000000000LL + baud / 2) / baud : 0; }

void paced_push(PacedQueue& queue, int64_t at_us, const std::vector<uint8_t>& bytes) {
  // Answers keep their order: a delayed one holds back those after it, as on
  // a reader that handles one command at a time. Paced times are kept in
  // nanoseconds, so that byte times that are no whole microsecond add up.
  int64_t t = at_us * 1000;
  if (!queue.bytes.empty() || queue.byte_ns > 0) t = std::max(t, queue.last_due_ns);
  for (uint8_t b : bytes) {
    t += queue.byte_ns;
    queue.bytes.push_back(b);
    queue.due_us.push_back((t + 999) / 1000);
  }
  if (!bytes.empty()) queue.last_due_ns = t;
}

size_t paced_take(PacedQueue& queue, int64_t now_us, std::vector<uint8_t>& out,
                  int64_t& last_due_us) {
  size_t due = 0;
  while (due < queue.due_us.size() && queue.due_us[due] <= now_us) ++due;
  if (due > 0) last_due_us = queue.due_us[due - 1];
  const auto end = queue.bytes.begin() + static_cast<std::ptrdiff_t>(due);
  out.insert(out.end(), queue.bytes.begin(), end);
  queue.bytes.erase(queue.bytes.begin(), end);
  queue.due_us.erase(queue.due_us.begin(), queue.due_us.begin() + static_cast<std::ptrdiff_t>(due));
  return due;
}

bool tx_write(PacedQueue& tx, int fd, int64_t now_us, std::string& error) {
  size_t due = 0;
  while (due < tx.due_us.size() && tx.due_us[due] <= now_us) ++due;
  while (due > 0) {
    uint8_t buf[4096];
    const size_t n = std::min(due, sizeof buf);
    std::copy(tx.bytes.begin(), tx.bytes.begin() + static_cast<std::ptrdiff_t>(n), buf);
    const ssize_t w = ::write(fd, buf, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      error = std::string("write: ") + std::strerror(errno);
      return false;
    }
    const auto k = static_cast<std::ptrdiff_t>(w);
    tx.bytes.erase(tx.bytes.begin(), tx.bytes.begin() + k);
    tx.due_us.erase(tx.due_us.begin(), tx.due_us.begin() + k);
    due -= static_cast<size_t>(w);
  }
  return true;
}

int64_t paced_next_due(const PacedQueue& queue) {
  return queue.due_us.empty() ? -1 : queue.due_us.front();
}

}  // namespace readersim
