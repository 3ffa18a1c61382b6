// The built program on a real pty pair, driven as a host would drive it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "readersim/card.h"
#include "readersim/frame.h"

namespace readersim {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kSafetyMs = 10000;  // only a guard against a hang

// The program as a child with pipes on stdin and stdout.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    int in[2], out[2], err[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::close(err[0]);
      ::close(err[1]);
      ::close(in[0]);
      ::close(in[1]);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> argv;
      static std::string bin = READERSIM_BIN;
      argv.push_back(&bin[0]);
      std::vector<std::string> copy = args;
      for (std::string& a : copy) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
  }
  ~Child() {
    if (stdin_ >= 0) ::close(stdin_);
    if (stdout_ >= 0) ::close(stdout_);
    if (stderr_ >= 0) ::close(stderr_);
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // The first line of stdout.
  std::string first_line() { return read_line(stdout_); }
  // Sends a control line and returns the program's answer to it.
  std::string control(const std::string& line) {
    const std::string l = line + "\n";
    if (::write(stdin_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) return "";
    return read_line(stderr_);
  }
  static std::string read_line(int fd) {
    std::string line;
    char c;
    while (wait_readable(fd) && ::read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  // Closes stdin and waits for the program to exit; its status.
  int close_and_stop(bool quit) {
    if (quit) control("quit");
    ::close(stdin_);
    stdin_ = -1;
    int status = 0;
    if (!quit) ::kill(pid_, SIGTERM);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  static bool wait_readable(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, kSafetyMs) == 1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
};

// The host end of the line.
class Host {
 public:
  explicit Host(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
    struct termios t;
    if (fd_ >= 0 && ::tcgetattr(fd_, &t) == 0) {
      ::cfmakeraw(&t);
      ::tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~Host() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void send(const Bytes& b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), (ssize_t)b.size()); }
  // Reads exactly n bytes, or fewer if the line stays silent for quiet_ms.
  Bytes read(size_t n, int quiet_ms = kSafetyMs) {
    Bytes got;
    while (got.size() < n) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (::poll(&p, 1, quiet_ms) != 1) break;
      uint8_t buf[4096];
      const ssize_t k = ::read(fd_, buf, std::min(sizeof buf, n - got.size()));
      if (k <= 0) break;
      got.insert(got.end(), buf, buf + k);
    }
    return got;
  }
  // One exchange: the answer frame to a command frame.
  Bytes exchange(uint8_t code, const Bytes& data = {}) {
    send(encode(Frame{code, data}));
    Bytes head = read(3);
    if (head.size() < 3) return head;
    Bytes rest = read(((size_t)head[1] << 8 | head[2]) + 2);
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
  }

 private:
  int fd_;
};

Bytes reply(uint8_t status, Bytes data = {}) { return encode(Frame{status, std::move(data)}); }

TEST(Pty, HostSession) {
  Child child({"--version", "1.05", "--cards", "upper", "--atr", "0", "3B021450AA"});
  const std::string path = child.first_line();
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  Host host(path);
  ASSERT_TRUE(host.ok());
  EXPECT_EQ(host.exchange(0x04), reply(0x00, {0x01, 0x05}));
  EXPECT_EQ(host.exchange(0x01), reply(0x00, {0x01, 0x00}));
  EXPECT_EQ(host.exchange(0x41), reply(0x00, {0x3B, 0x02, 0x14, 0x50, 0xAA}));
  EXPECT_EQ(host.exchange(0x81), reply(0x01));
  const Bytes a = host.exchange(0x43, {0x00, 0xC0, 0x00, 0x00, 0x1C});
  ASSERT_EQ(a.size(), 35u);
  EXPECT_EQ(decode(a.data(), a.size()).status, Decode::kOk);
  EXPECT_EQ(a[2], 30);
  EXPECT_EQ(a[3 + 28], 0x90);
  EXPECT_EQ(a[3 + 29], 0x00);
  EXPECT_EQ(host.exchange(0x42, {0x00, 0xA4, 0x04, 0x00, 0x01, 0x3F}), reply(0x00, {0x90, 0x00}));
  const Bytes big(2048, 0xC3);
  EXPECT_EQ(host.exchange(0x3F, big), reply(0x00, big));
  EXPECT_EQ(host.exchange(0x44), reply(0x00));
  EXPECT_EQ(child.close_and_stop(true), 0);
}

TEST(Pty, ControlAndReopen) {
  Child child({"--cards", "none", "--fault", "nak once"});
  const std::string path = child.first_line();
  {
    Host host(path);
    ASSERT_TRUE(host.ok());
    host.send(encode(Frame{0x04, {}}));
    EXPECT_EQ(host.read(1), Bytes{0xFF});
    EXPECT_EQ(host.exchange(0x01), reply(0x00, {0x00, 0x00}));
  }
  // The host closed the line; a new open finds the reader still there.
  child.control("insert 1");
  Host host(path);
  ASSERT_TRUE(host.ok());
  Bytes status;
  for (int i = 0; i < 1000 && status != reply(0x00, {0x00, 0x01}); ++i)
    status = host.exchange(0x01);
  EXPECT_EQ(status, reply(0x00, {0x00, 0x01}));
  child.control("fault cut once");
  host.send(encode(Frame{0x04, {}}));
  EXPECT_EQ(host.read(3), (Bytes{0x00, 0x00, 0x02}));
  // Nothing more came of the cut answer: the next one lines up.
  EXPECT_EQ(host.exchange(0x04), reply(0x00, {0x01, 0x00}));
  // Garbage glued to a frame: the reader finds the frame once the garbage's
  // claimed length runs dry.
  Bytes burst = {0x00, 0x13, 0x37};
  const Bytes echo = encode(Frame{0x3F, {7}});
  burst.insert(burst.end(), echo.begin(), echo.end());
  host.send(burst);
  EXPECT_EQ(host.read(6), reply(0x00, {7}));
  EXPECT_EQ(host.exchange(0x3F, {8}), reply(0x00, {8}));
  // End of stdin does not stop the program; SIGTERM does, cleanly.
  EXPECT_EQ(child.close_and_stop(false), 0);
}

TEST(Pty, LinkLogPace) {
  char dir[] = "/tmp/readersim_test.XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string link = std::string(dir) + "/reader";
  const std::string log = std::string(dir) + "/frames.log";
  ASSERT_EQ(::symlink("/nonexistent", link.c_str()), 0);  // a stale link is replaced
  {
    Child child({"--link", link, "--log", log, "--pace", "--baud", "115200"});
    const std::string path = child.first_line();
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(path, target);
    Host host(link);
    ASSERT_TRUE(host.ok());
    EXPECT_EQ(host.exchange(0x04), reply(0x00, {0x01, 0x00}));
    const Bytes data(600, 0x11);
    EXPECT_EQ(host.exchange(0x3F, data), reply(0x00, data));
    EXPECT_EQ(host.exchange(0x43, {0x00, 0xB0, 0x00, 0x00, 0x00}), reply(0x00, {0x69, 0x85}));
    EXPECT_EQ(child.close_and_stop(true), 0);
  }
  struct stat st;
  EXPECT_NE(::lstat(link.c_str(), &st), 0);  // removed at exit
  std::FILE* f = std::fopen(log.c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  EXPECT_NE(text.find("in  04 00 00 41 C1 | version"), std::string::npos) << text;
  EXPECT_NE(text.find("out 00 00 02 01 00 A0 50 | status 00, 2 data bytes"), std::string::npos);
  EXPECT_NE(text.find("SW 69 85"), std::string::npos);
  ::unlink(log.c_str());
  ::rmdir(dir);
}

TEST(Pty, HelpAndBadOption) {
  EXPECT_EQ(std::system((std::string(READERSIM_BIN) + " --help >/dev/null").c_str()), 0);
  EXPECT_NE(std::system((std::string(READERSIM_BIN) + " --bogus 2>/dev/null").c_str()), 0);
  EXPECT_EQ(std::system((std::string(READERSIM_BIN) + " --card 1 iso --help >/dev/null").c_str()),
            0);
  EXPECT_NE(std::system((std::string(READERSIM_BIN) + " --card 2 iso 2>/dev/null").c_str()), 0);
  EXPECT_NE(std::system((std::string(READERSIM_BIN) + " --fault 'nak twice' 2>/dev/null").c_str()),
            0);
}

}  // namespace
}  // namespace readersim
