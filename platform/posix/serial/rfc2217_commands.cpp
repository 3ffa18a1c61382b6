// The server's answers and notifications, and the commands that ask for
// them: line settings, DTR, RTS, break and purges (rfc2217_device.h).
#include <errno.h>
#include <sys/ioctl.h>

#include <algorithm>

#include "platform/posix/serial/rfc2217_device.h"

namespace serial {

using namespace rfc2217;

void Rfc2217Line::Heed(const Subnegotiation& sub, bool* news, bool* answered) {
  const uint8_t value = sub.value.empty() ? 0 : static_cast<uint8_t>(sub.value[0]);
  switch (sub.code) {
    case kSetBaudRate + kAnswer:
      if (sub.value.size() == 4) baud_ = LongOf(sub.value);
      break;
    case kSetDataSize + kAnswer:
      dataSize_ = value;
      break;
    case kSetParity + kAnswer:
      parity_ = value;
      break;
    case kSetStopSize + kAnswer:
      stopSize_ = value;
      break;
    case kSetControl + kAnswer:
      if (value >= kNoFlow && value <= kHardwareFlow) flow_ = value;
      if (value >= kDtrQuery && value <= kDtrOff) dtr_ = value;
      if (value >= kRtsQuery && value <= kRtsOff) rts_ = value;
      break;
    case kNotifyLineState + kAnswer:
      counts_.overrun += (value & kOverrunError) != 0;
      counts_.parity += (value & kParityError) != 0;
      counts_.frame += (value & kFramingError) != 0;
      counts_.brk += (value & kBreakDetected) != 0;
      *news = *news || (value & kLineErrors) != 0;
      break;
    case kNotifyModemState + kAnswer: {
      const int lines =
          ((value & kCarrierDetect) ? TIOCM_CAR : 0) | ((value & kRingIndicator) ? TIOCM_RNG : 0) |
          ((value & kDataSetReady) ? TIOCM_DSR : 0) | ((value & kClearToSend) ? TIOCM_CTS : 0);
      *news = *news || lines != modem_;
      modem_ = lines;
      modemKnown_ = true;
      break;
    }
    default:
      break;
  }
  if (sub.code >= kAnswer && sub.code < kAnswer + kCommandCount &&
      awaiting_[sub.code - kAnswer] > 0) {
    --awaiting_[sub.code - kAnswer];
    *answered = true;
  }
}

void Rfc2217Line::Ask(uint8_t command, const std::string& value) {
  AppendCommand(command, value, &out_);
  if (!(silent_ & (1u << command))) ++awaiting_[command];
}

bool Rfc2217Line::Settled() const {
  return std::all_of(std::begin(awaiting_), std::end(awaiting_),
                     [](unsigned count) { return count == 0; });
}

// Sends what was asked and waits for the answers, the lock let go meanwhile.
bool Rfc2217Line::Await(Guard& lock) {
  Send();
  changed_.wait_until(lock, Clock::now() + kAnswerTime,
                      [this] { return Settled() || gone_ || closed_; });
  GiveUpWaiting();
  return Usable();
}

// Answers still owed now are not waited for: those commands' answers never
// again, unless they may be behind input that nobody has read yet.
void Rfc2217Line::GiveUpWaiting() {
  int unread = 0;
  const bool behind = fd_ >= 0 && ioctl(fd_, FIONREAD, &unread) == 0 && unread > 0;
  for (size_t command = 0; command < kCommandCount; ++command) {
    if (awaiting_[command] != 0 && !behind && !gone_ && !closed_) silent_ |= 1u << command;
    awaiting_[command] = 0;
  }
}

bool Rfc2217Line::Configure(const LineSettings& line, Guard& lock) {
  if (!Usable()) return false;
  Ask(kSetBaudRate, LongValue(line.baudRate));
  Ask(kSetDataSize, ByteValue(line.dataBits));
  Ask(kSetParity, ByteValue(static_cast<uint8_t>(line.parity + 1)));
  Ask(kSetStopSize, ByteValue(line.twoStopBits ? 2 : 1));
  Ask(kSetControl, ByteValue(line.rtsCtsFlow   ? kHardwareFlow
                             : line.xonXoffOut ? kXonXoffFlow
                                               : kNoFlow));
  return Await(lock);
}

bool Rfc2217Line::GetLines(int* lines) {
  *lines = modem_ | host_;
  return true;
}

bool Rfc2217Line::SetLines(int bits, bool on, Guard& lock) {
  if (!Usable()) return false;
  if (bits & TIOCM_DTR) Ask(kSetControl, ByteValue(on ? kDtrOn : kDtrOff));
  if (bits & TIOCM_RTS) Ask(kSetControl, ByteValue(on ? kRtsOn : kRtsOff));
  const int set = bits & (TIOCM_DTR | TIOCM_RTS);
  host_ = on ? host_ | set : host_ & ~set;
  return Await(lock);
}

bool Rfc2217Line::SetBreak(bool on, Guard& lock) {
  if (!Usable()) return false;
  Ask(kSetControl, ByteValue(on ? kBreakOn : kBreakOff));
  return Await(lock);
}

// The protocol has no command that stops the server's output to its line.
bool Rfc2217Line::StopOutput(bool) {
  errno = ENOTTY;
  return false;
}

bool Rfc2217Line::Purge(bool input, bool output) {
  if (!Usable()) return false;
  if (!purgeSilent_) ++purgesOwed_;
  if (input) {
    ahead_.clear();
    if (!purgeSilent_) {
      dropThrough_ = purgesOwed_;
      dropUntil_ = Clock::now() + kAnswerTime;
    }
  }
  AppendCommand(kPurgeData,
                ByteValue(input && output ? kPurgeBoth
                          : input         ? kPurgeReceived
                                          : kPurgeToSend),
                &out_);
  Send();
  return Usable();
}

bool Rfc2217Line::Counts(serial_icounter_struct* counts) {
  *counts = counts_;
  return true;
}

}  // namespace serial
