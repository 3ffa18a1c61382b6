// A COM port on a server, over its TCP connection (rfc2217_device.h): what
// comes in and what goes out.
#include "platform/posix/serial/rfc2217_device.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace serial {

using namespace rfc2217;

Rfc2217Line::Rfc2217Line(int fd, int wake) : fd_(fd), wake_(wake) {}

Rfc2217Line::~Rfc2217Line() {
  if (fd_ >= 0) close(fd_);
}

ssize_t Rfc2217Line::Read(BYTE* buffer, size_t size) {
  if (!ahead_.empty()) {
    const size_t take = std::min(size, ahead_.size());
    memcpy(buffer, ahead_.data(), take);
    ahead_.erase(ahead_.begin(), ahead_.begin() + static_cast<ptrdiff_t>(take));
    return static_cast<ssize_t>(take);
  }
  // What came may be commands alone: read on until data or nothing more.
  while (!gone_ && !closed_) {
    const ssize_t got = recv(fd_, buffer, size, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return -1;
    if (got <= 0) {
      LetGo();
      break;
    }
    const size_t data = Take(buffer, static_cast<size_t>(got), buffer);
    if (data > 0) return static_cast<ssize_t>(data);
  }
  return 0;
}

// Decodes what the server sent: its data (in place), answers and notifications.
size_t Rfc2217Line::Take(const BYTE* bytes, size_t size, BYTE* data) {
  subs_.clear();
  size_t count = stream_.Receive(bytes, size, data, &subs_, &out_);
  size_t dropped = 0;
  bool news = false;
  bool answered = false;
  for (const Subnegotiation& sub : subs_) {
    if (sub.code == kPurgeData + kAnswer && purgesOwed_ > 0) {
      --purgesOwed_;
      if (dropThrough_ > 0 && --dropThrough_ == 0) dropped = sub.dataBefore;
    }
    Heed(sub, &news, &answered);
  }
  if (dropThrough_ > 0) {
    if (Clock::now() < dropUntil_) {
      dropped = count;
    } else {
      // The server does not answer purges: none is waited for again.
      purgesOwed_ = dropThrough_ = 0;
      purgeSilent_ = true;
    }
  }
  if (dropped > 0) {
    memmove(data, data + dropped, count - dropped);
    count -= dropped;
  }
  Send();  // what the negotiation called for
  if (answered) changed_.notify_all();
  if (news) Signal();
  return count;
}

ssize_t Rfc2217Line::Write(const BYTE* bytes, size_t size) {
  if (!Usable()) return -1;
  Send();
  const size_t unsent = out_.size() - outStart_;
  if (unsent >= kHeldBack) {
    errno = EAGAIN;
    return -1;
  }
  const size_t take = std::min(size, kHeldBack - unsent);
  AppendData(bytes, take, &out_);
  Send();
  if (!Usable()) return -1;
  return static_cast<ssize_t>(take);
}

// Sends what the connection takes; the I/O thread sends the rest as it can.
void Rfc2217Line::Send() {
  while (Unsent() && !gone_ && !closed_) {
    const ssize_t sent =
        send(fd_, out_.data() + outStart_, out_.size() - outStart_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      outStart_ += static_cast<size_t>(sent);
    } else if (sent < 0 && errno == EAGAIN) {
      if (!unsentSignalled_) Signal();
      unsentSignalled_ = true;
      break;
    } else if (sent == 0 || errno != EINTR) {
      LetGo();
    }
  }
  if (Unsent() && !gone_) {
    if (outStart_ >= kHeldBack) {
      out_.erase(0, outStart_);
      outStart_ = 0;
    }
    return;
  }
  if (!out_.empty()) {
    out_.clear();
    outStart_ = 0;
    changed_.notify_all();
  }
  unsentSignalled_ = false;
}

bool Rfc2217Line::Drain(Guard& lock) {
  Send();
  changed_.wait(lock, [this] { return !Unsent() || gone_ || closed_; });
  return Usable();
}

// The server lets the port go once it has seen the connection end, and
// refuses another client until then: the close waits (a second at most) for
// the server's end of the connection, so that the port opens again at once.
void Rfc2217Line::Close() {
  Send();
  closed_ = true;
  if (!gone_ && !Unsent() && shutdown(fd_, SHUT_WR) == 0) {
    const Clock::time_point until = Clock::now() + kAnswerTime;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      pollfd readable = {fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count()) + 1) == 0) break;
      BYTE rest[4096];
      const ssize_t got = recv(fd_, rest, sizeof rest, MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) break;
    }
  }
  close(fd_);
  fd_ = -1;
  changed_.notify_all();
}

bool Rfc2217Line::Usable() const {
  if (closed_ || gone_) errno = closed_ ? EBADF : EIO;
  return !closed_ && !gone_;
}

// The connection ended or was reset: the device has gone.
void Rfc2217Line::LetGo() {
  gone_ = true;
  Signal();
  changed_.notify_all();
}

// Wakes the I/O thread: a notification to hand on, a connection gone, or
// bytes that only it can send.
void Rfc2217Line::Signal() {
  const uint64_t one = 1;
  if (!closed_ && wake_ >= 0 && write(wake_, &one, sizeof one) < 0) {
    // The counter is full, so the thread has a wake-up waiting already.
  }
}

}  // namespace serial
