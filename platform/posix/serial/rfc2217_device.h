// A COM port on a server (remote_port.h): the line over a TCP connection
// that speaks telnet with the com port option (rfc2217_protocol.h).
//
// Settings, DTR, RTS and break are commands that the server answers; the
// call that sends one waits for the answer, with the port's mutex let go,
// while whoever reads the connection (the I/O thread, which always watches
// it) takes the answer in. An answer that does not come within a second is
// waited for no longer, and that command's answers never again. A purge of
// received data drops what the server sent before its answer to the purge,
// as it was on its way already. The server's modem-state and line-state
// notifications set the lines and count line errors, and wake the I/O thread
// to hand them to the comm-event wait. A connection that ends or is reset
// is a device that has gone: reads end without a byte, writes fail. Closing
// waits for the server's end of the connection, as the server refuses the
// next client until it has let the port go.
//
// Its files: rfc2217_open.cpp (the connection and the opening of the
// stream), rfc2217_device.cpp (what comes in and goes out),
// rfc2217_commands.cpp (commands and the server's answers).
#pragma once

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <string>
#include <vector>

#include "platform/posix/serial/comm_line.h"
#include "platform/posix/serial/rfc2217_protocol.h"

namespace serial {

// How long an answer of the server is waited for.
const std::chrono::milliseconds kAnswerTime(1000);
// How much is held for the server when the connection takes no more, and of
// the data that comes while the stream is opened.
const size_t kHeldBack = 64 * 1024;
// The line errors that the server is asked to notify.
const uint8_t kLineErrors = rfc2217::kBreakDetected | rfc2217::kFramingError |
                            rfc2217::kParityError | rfc2217::kOverrunError;

class Rfc2217Line : public CommLine {
 public:
  // Over a connected non-blocking socket, which it owns; `wake` is the I/O
  // thread's wake-up counter.
  Rfc2217Line(int fd, int wake);
  ~Rfc2217Line() override;
  Rfc2217Line(const Rfc2217Line&) = delete;
  Rfc2217Line& operator=(const Rfc2217Line&) = delete;

  // Opens the telnet stream, asks for the port's settings and waits (a
  // second at most) for the answers. False when the server ended the
  // connection instead: Received() then holds what it said.
  bool Handshake();
  std::string Received() const { return std::string(ahead_.begin(), ahead_.end()); }
  // The settings as the server gave them (or the usual ones where it did not).
  LineSettings Found() const;
  // The server reports DTR, and so has modem lines: a port whose server
  // cannot tell is a three-wire line.
  bool HasModemLines() const { return dtr_ == rfc2217::kDtrOn || dtr_ == rfc2217::kDtrOff; }

  ssize_t Read(BYTE* buffer, size_t size) override;
  ssize_t Write(const BYTE* bytes, size_t size) override;
  bool Configure(const LineSettings& line, Guard& lock) override;
  bool GetLines(int* lines) override;
  bool SetLines(int bits, bool on, Guard& lock) override;
  bool SetBreak(bool on, Guard& lock) override;
  bool StopOutput(bool stop) override;
  bool Purge(bool input, bool output) override;
  bool Drain(Guard& lock) override;
  size_t InputWaiting() override { return ahead_.size(); }
  size_t OutputWaiting() override { return out_.size() - outStart_; }
  bool Counts(serial_icounter_struct* counts) override;
  void Close() override;
  bool Reports() const override { return true; }
  bool Gone() const override { return gone_; }
  bool Unsent() const override { return outStart_ < out_.size(); }
  void SendUnsent() override { Send(); }

 private:
  using Clock = std::chrono::steady_clock;

  size_t Take(const BYTE* bytes, size_t size, BYTE* data);
  void Heed(const rfc2217::Subnegotiation& sub, bool* news, bool* answered);
  void TakeAhead();
  void Send();
  void Ask(uint8_t command, const std::string& value);
  bool Await(Guard& lock);
  bool Settled() const;
  void GiveUpWaiting();
  bool Usable() const;
  void LetGo();
  void Signal();

  int fd_;
  int wake_;
  rfc2217::Stream stream_;
  std::vector<rfc2217::Subnegotiation> subs_;
  std::string out_;  // bytes for the server; [outStart_, end) not sent yet
  size_t outStart_ = 0;
  bool unsentSignalled_ = false;
  std::vector<BYTE> ahead_;          // data that came while the stream was opened
  std::condition_variable changed_;  // an answer came, all was sent, or the line went
  unsigned awaiting_[rfc2217::kCommandCount] = {};
  unsigned silent_ = 0;       // a bit per command whose answer once did not come
  unsigned purgesOwed_ = 0;   // purge answers still to come
  unsigned dropThrough_ = 0;  // of those, the one after which data counts again
  Clock::time_point dropUntil_;
  bool purgeSilent_ = false;
  int modem_ = 0;  // TIOCM_ bits of the last modem-state notification
  bool modemKnown_ = false;
  int host_ = 0;  // DTR and RTS as last set
  serial_icounter_struct counts_ = {};
  uint32_t baud_ = 0;  // the server's answers, 0 where none came
  uint8_t dataSize_ = 0;
  uint8_t parity_ = 0;
  uint8_t stopSize_ = 0;
  uint8_t flow_ = 0;
  uint8_t dtr_ = 0;
  uint8_t rts_ = 0;
  bool gone_ = false;
  bool closed_ = false;
};

}  // namespace serial
