// The far end natively: the bed's pseudo-terminal and line file, opened
// directly.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "tests/support/far_end.h"

std::string BedPath(const std::string& name) {
  const char* dir = std::getenv("MODEMLINES_DIR");
  return std::string(dir != nullptr ? dir : "/nonexistent") + "/" + name;
}

FarEnd::FarEnd(int comNumber)
    : linesPath_(BedPath("com" + std::to_string(comNumber) + ".lines")),
      fd_(open(BedPath("far" + std::to_string(comNumber)).c_str(),
               O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
  SetFarLines(kFarLinesOn);
  Drain();
}

bool FarEnd::IsOpen() const { return fd_ >= 0; }

FarEnd::~FarEnd() {
  SetFarLines(kFarLinesOn);
  if (IsOpen()) close(fd_);
}

bool FarEnd::Write(const std::vector<BYTE>& bytes) {
  if (!IsOpen()) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = write(fd_, bytes.data() + done, bytes.size() - done);
    if (written > 0) {
      done += static_cast<size_t>(written);
      continue;
    }
    pollfd writable = {fd_, POLLOUT, 0};
    if (poll(&writable, 1, 5000) <= 0) return false;
  }
  return true;
}

std::vector<BYTE> FarEnd::Read(size_t count, DWORD timeoutMs) {
  std::vector<BYTE> bytes;
  if (!IsOpen()) return bytes;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (bytes.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd readable = {fd_, POLLIN, 0};
    if (poll(&readable, 1, static_cast<int>(left.count())) <= 0) break;
    BYTE chunk[4096];
    const size_t want = count - bytes.size() < sizeof chunk ? count - bytes.size() : sizeof chunk;
    const ssize_t got = read(fd_, chunk, want);
    if (got > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  }
  return bytes;
}

void FarEnd::Drain() {
  while (!Read(4096, 20).empty()) {
  }
}

bool FarEnd::SetFarLines(DWORD lines) {
  const int file = open(linesPath_.c_str(), O_WRONLY | O_CLOEXEC);
  if (file < 0) return false;
  const BYTE word[4] = {BYTE(lines), BYTE(lines >> 8), BYTE(lines >> 16), BYTE(lines >> 24)};
  const bool done = pwrite(file, word, sizeof word, 0) == sizeof word;
  close(file);
  return done;
}

DWORD FarEnd::HostLines() {
  const int file = open(linesPath_.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return 0xFFFFFFFF;
  BYTE words[8];
  const bool done = pread(file, words, sizeof words, 0) == sizeof words;
  close(file);
  if (!done) return 0xFFFFFFFF;
  return DWORD(words[4]) | DWORD(words[5]) << 8 | DWORD(words[6]) << 16 | DWORD(words[7]) << 24;
}
