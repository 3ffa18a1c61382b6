// Opening a COM port on a server: the TCP connection (a few seconds at
// most), the opening of its telnet stream, and the server's refusal, whose
// words are kept for the caller (remote_port.h).
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "platform/posix/serial/comm_file.h"
#include "platform/posix/serial/remote_port.h"
#include "platform/posix/serial/rfc2217_device.h"

namespace serial {

using namespace rfc2217;

namespace {

const uint64_t kConnectMs = 3000;
// A connection lost without a word ends too: probes after 5 s without
// traffic, every 2 s, 3 unanswered; or data unacknowledged for 20 s.
const int kKeepIdleS = 5;
const int kKeepIntervalS = 2;
const int kKeepCount = 3;
const unsigned kUnacknowledgedMs = 20000;
const size_t kMaxRefusal = 200;  // within what LastRemoteRefusal keeps

// Waits for a non-blocking connect until `until`; 0 or the error.
int Connected(int fd, const addrinfo& address, uint64_t until) {
  if (connect(fd, address.ai_addr, address.ai_addrlen) == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  for (;;) {
    const uint64_t now = object_table::NowMs();
    if (now >= until) return ETIMEDOUT;
    pollfd writable = {fd, POLLOUT, 0};
    const int ready = poll(&writable, 1, static_cast<int>(until - now));
    if (ready > 0) break;
    if (ready == 0) return ETIMEDOUT;
    if (errno != EINTR) return errno;
  }
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

void SetOption(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof value);
}

// A non-blocking socket connected to the server, or -1 with `why` said.
int Connect(const std::string& host, const std::string& port, std::string* why) {
  const std::string where =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int lookup = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (lookup != 0) {
    *why = host + ": " + gai_strerror(lookup);
    return -1;
  }
  const uint64_t until = object_table::NowMs() + kConnectMs;
  int fd = -1;
  int error = ETIMEDOUT;
  for (const addrinfo* address = found; address != nullptr && fd < 0; address = address->ai_next) {
    fd = socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      error = errno;
      continue;
    }
    error = Connected(fd, *address, until);
    if (error != 0) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) {
    *why = where + ": " + strerror(error);
    return -1;
  }
  // Each command and each byte goes at once, as on a serial line.
  SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleS);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalS);
  SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepCount);
  SetOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, kUnacknowledgedMs);
  return fd;
}

// What a refusing server said, as one line of text.
std::string Refusal(const std::string& said, const std::string& address) {
  std::string text;
  for (const char c : said) {
    const bool blank = static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    if (blank && (text.empty() || text.back() == ' ')) continue;
    text.push_back(blank ? ' ' : c);
    if (text.size() == kMaxRefusal) break;
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text.empty() ? address + " closed the connection" : text;
}

}  // namespace

bool Rfc2217Line::Handshake() {
  stream_.Open(&out_);
  Ask(kSetBaudRate, LongValue(0));  // 0 asks for the value in force
  Ask(kSetDataSize, ByteValue(0));
  Ask(kSetParity, ByteValue(0));
  Ask(kSetStopSize, ByteValue(0));
  Ask(kSetControl, ByteValue(kFlowQuery));
  Ask(kSetControl, ByteValue(kDtrQuery));
  Ask(kSetControl, ByteValue(kRtsQuery));
  AppendCommand(kSetLineStateMask, ByteValue(kLineErrors), &out_);
  AppendCommand(kSetModemStateMask, ByteValue(0xFF), &out_);
  const Clock::time_point until = Clock::now() + kAnswerTime;
  for (;;) {
    Send();
    if (gone_ || (Settled() && (modemKnown_ || !HasModemLines()))) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) break;
    pollfd ready = {fd_, static_cast<short>(POLLIN | (Unsent() ? POLLOUT : 0)), 0};
    poll(&ready, 1, static_cast<int>(left.count()) + 1);
    TakeAhead();
  }
  GiveUpWaiting();
  // A server without the com port option answers no command: none is waited for.
  if (!stream_.ComPortAgreed()) silent_ = ~0u;
  return !gone_;
}

// While the stream is opened nobody reads yet: the data that comes is kept.
// A server that refuses the client says why and closes: all it said is read.
void Rfc2217Line::TakeAhead() {
  BYTE chunk[4096];
  while (!gone_ && ahead_.size() < kHeldBack) {
    const ssize_t got = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (got <= 0) {
      LetGo();
      return;
    }
    const size_t data = Take(chunk, static_cast<size_t>(got), chunk);
    ahead_.insert(ahead_.end(), chunk, chunk + data);
  }
}

LineSettings Rfc2217Line::Found() const {
  LineSettings line = {};
  line.baudRate = baud_ != 0 ? baud_ : 9600;
  line.dataBits = dataSize_ >= 5 && dataSize_ <= 8 ? dataSize_ : 8;
  line.parity = parity_ >= 1 && parity_ <= 5 ? static_cast<BYTE>(parity_ - 1) : NOPARITY;
  line.twoStopBits = stopSize_ == 2;
  line.rtsCtsFlow = flow_ == kHardwareFlow;
  line.xonXoffOut = flow_ == kXonXoffFlow;
  line.xonChar = 0x11;
  line.xoffChar = 0x13;
  return line;
}

DWORD OpenRemotePort(const char* address, CommFile& file) {
  std::string host;
  std::string port;
  if (!ParseRemotePort(address, &host, &port)) {
    SetRemoteRefusal(std::string(address) + " is not rfc2217://HOST:PORT");
    return ERROR_FILE_NOT_FOUND;
  }
  std::string why;
  const int fd = Connect(host, port, &why);
  if (fd < 0) {
    SetRemoteRefusal(why);
    return ERROR_FILE_NOT_FOUND;
  }
  std::unique_ptr<Rfc2217Line> line(new (std::nothrow) Rfc2217Line(fd, file.wake));
  if (line == nullptr) {
    close(fd);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  // A server that will not serve this client says why and closes: the port
  // is busy, or the client not allowed.
  if (!line->Handshake()) {
    SetRemoteRefusal(Refusal(line->Received(), address));
    return ERROR_ACCESS_DENIED;
  }
  file.fd = fd;
  file.dcb = DcbOf(line->Found());
  file.modemLines = line->HasModemLines();
  // A three-wire line starts as a terminal does when opened: DTR and RTS up.
  file.lines = TIOCM_DTR | TIOCM_RTS;
  if (file.modemLines) line->GetLines(&file.lines);
  file.counters = line->Counts(&file.counts);
  file.reports = true;
  file.line = std::move(line);
  return 0;
}

}  // namespace serial
