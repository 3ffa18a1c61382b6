// A program on pipes, for native end-to-end tests.
#include "tests/support/console_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

int StatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

ConsoleSession::ConsoleSession(const std::vector<std::string>& argv) {
  // A write to a program that has ended must fail, not end the test.
  signal(SIGPIPE, SIG_IGN);
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(in[0], 0);
    dup2(out[1], 1);
    if (null >= 0) dup2(null, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  output_fd_ = out[0];
  if (pid_ < 0) {
    CloseInput();
    output_ended_ = true;
  }
}

ConsoleSession::~ConsoleSession() {
  CloseInput();
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (output_fd_ >= 0) close(output_fd_);
}

int ConsoleSession::ReadSome(int timeoutMs) {
  if (output_ended_) return -1;
  struct pollfd ready = {output_fd_, POLLIN, 0};
  if (poll(&ready, 1, timeoutMs < 0 ? 0 : timeoutMs) <= 0) return 0;
  char bytes[4096];
  const ssize_t got = read(output_fd_, bytes, sizeof bytes);
  if (got < 0 && errno == EINTR) return 0;
  if (got <= 0) {
    output_ended_ = true;
    return -1;
  }
  output_.append(bytes, got);
  return static_cast<int>(got);
}

bool ConsoleSession::Expect(const std::string& text, int timeoutMs) {
  const long long deadline = NowMs() + timeoutMs;
  for (;;) {
    const size_t found = output_.find(text, matched_);
    if (found != std::string::npos) {
      matched_ = found + text.size();
      return true;
    }
    const long long left = deadline - NowMs();
    if (left <= 0 || ReadSome(static_cast<int>(left)) < 0) return false;
  }
}

void ConsoleSession::Send(const std::string& bytes) {
  size_t sent = 0;
  while (input_ >= 0 && sent < bytes.size()) {
    const ssize_t n = write(input_, bytes.data() + sent, bytes.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += n;
  }
}

void ConsoleSession::CloseInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

int ConsoleSession::WaitExit(int timeoutMs) {
  if (pid_ <= 0) return -1;
  const long long deadline = NowMs() + timeoutMs;
  for (;;) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      // Take what it left in the pipe. Not up to the pipe's end: a process
      // it started may hold the pipe open.
      while (ReadSome(0) > 0) {
      }
      return StatusOf(status);
    }
    const long long left = deadline - NowMs();
    if (left <= 0) break;
    // Keep the pipe drained so the program never blocks on its output.
    if (ReadSome(static_cast<int>(left < 20 ? left : 20)) < 0) {
      struct timespec pause = {0, 10 * 1000000};
      nanosleep(&pause, nullptr);
    }
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return -1;
}

std::string RepoRoot() { return SERCHAN_REPO_ROOT; }

std::string WindowsProgram(const std::string& name) {
  return std::string(SERCHAN_WINDOWS_BUILD) + "/bin/" + name;
}

std::vector<std::string> WineCommand(const std::string& exe, const std::vector<std::string>& args) {
  std::vector<std::string> command = {RepoRoot() + "/tools/wine-run", exe};
  command.insert(command.end(), args.begin(), args.end());
  return command;
}
