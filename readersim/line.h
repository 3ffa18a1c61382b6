// The serial line: a pty pair or an existing device, and the queues that put
// answers on it and take commands off it, optionally at the line's own byte
// rate.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace readersim {

// Owns one file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release();
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A symlink that is removed again when this goes.
class Symlink {
 public:
  Symlink() = default;
  ~Symlink();
  Symlink(const Symlink&) = delete;
  Symlink& operator=(const Symlink&) = delete;
  // Points path at target, replacing an old link there.
  bool make(const std::string& target, const std::string& path, std::string& error);

 private:
  std::string path_;
};

struct Line {
  Fd fd;             // the reader's end, non-blocking
  Fd slave_hold;     // a pty's slave, kept open so hosts may close and reopen it
  std::string path;  // what a host opens
};

// A raw pty pair; the host side is at line.path.
bool open_pty(Line& line, int baud, std::string& error);

// An existing serial device, raw, at baud.
bool open_device(Line& line, const std::string& path, int baud, std::string& error);

// Nanoseconds one byte takes on the line: 10 bits at baud.
int64_t byte_time_ns(int baud);

// Bytes with the times they are due: answers to go out, or commands that a
// pty delivered at once but that a real line would still be carrying.
struct PacedQueue {
  int64_t byte_ns = 0;  // > 0: pace bytes at this interval
  std::deque<uint8_t> bytes;
  std::deque<int64_t> due_us;  // when each byte may go
  int64_t last_due_ns = 0;
};

// Queues bytes to go at at_us or later, after whatever is queued already.
void paced_push(PacedQueue& tx, int64_t at_us, const std::vector<uint8_t>& bytes);

// Moves the bytes due by now_us to out (in order); their count. The last
// one's due time goes to last_due_us.
size_t paced_take(PacedQueue& queue, int64_t now_us, std::vector<uint8_t>& out,
                  int64_t& last_due_us);

// Writes the bytes due by now_us. False on a line error other than a full line.
bool tx_write(PacedQueue& tx, int fd, int64_t now_us, std::string& error);

// When the next queued byte is due, or -1 when the queue is empty.
int64_t paced_next_due(const PacedQueue& queue);

}  // namespace readersim
