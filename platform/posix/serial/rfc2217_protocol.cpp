// The telnet stream of a serial port on a server (rfc2217_protocol.h).
#include "platform/posix/serial/rfc2217_protocol.h"

#include <string.h>

namespace rfc2217 {

namespace {

// Where an option stands, for one side.
const uint8_t kOff = 0;
const uint8_t kOn = 1;
const uint8_t kAsked = 2;    // asked for by the client, not answered yet
const uint8_t kRefused = 3;  // refused by the client: never answered again

bool WeDo(uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}
bool TheyMay(uint8_t option) { return option == kBinary || option == kSuppressGoAhead; }

void AppendNegotiation(uint8_t verb, uint8_t option, std::string* out) {
  const char bytes[] = {static_cast<char>(kIac), static_cast<char>(verb),
                        static_cast<char>(option)};
  out->append(bytes, sizeof bytes);
}

void AppendEscaped(uint8_t byte, std::string* out) {
  if (byte == kIac) out->push_back(static_cast<char>(kIac));
  out->push_back(static_cast<char>(byte));
}

}  // namespace

void AppendData(const uint8_t* bytes, size_t size, std::string* out) {
  out->reserve(out->size() + size);
  for (size_t i = 0; i < size; ++i) AppendEscaped(bytes[i], out);
}

void AppendCommand(uint8_t code, const std::string& value, std::string* out) {
  out->push_back(static_cast<char>(kIac));
  out->push_back(static_cast<char>(kSb));
  out->push_back(static_cast<char>(kComPort));
  AppendEscaped(code, out);
  for (const char byte : value) AppendEscaped(static_cast<uint8_t>(byte), out);
  out->push_back(static_cast<char>(kIac));
  out->push_back(static_cast<char>(kSe));
}

std::string ByteValue(uint8_t value) { return std::string(1, static_cast<char>(value)); }

std::string LongValue(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (24 - 8 * i));
  return bytes;
}

uint32_t LongOf(const std::string& value) {
  if (value.size() != 4) return 0;
  uint32_t number = 0;
  for (const char byte : value) number = number << 8 | static_cast<uint8_t>(byte);
  return number;
}

Stream::Stream() {
  memset(ours_, kOff, sizeof ours_);
  memset(theirs_, kOff, sizeof theirs_);
}

void Stream::Open(std::string* out) {
  ours_[kBinary] = kAsked;
  theirs_[kBinary] = kAsked;
  ours_[kComPort] = kAsked;
  AppendNegotiation(kWill, kBinary, out);
  AppendNegotiation(kDo, kBinary, out);
  AppendNegotiation(kWill, kComPort, out);
}

bool Stream::ComPortAgreed() const { return ours_[kComPort] == kOn; }

// The byte after an IAC outside a subnegotiation (IAC IAC is data, and is
// taken before this).
void Stream::TakeCommand(uint8_t byte) {
  state_ = State::kData;
  if (byte >= kWill && byte <= kDont) {
    verb_ = byte;
    state_ = State::kOption;
  } else if (byte == kSb) {
    state_ = State::kSubOption;
  }
  // Any other command (NOP, GA, a stray SE, ...) means nothing to a port.
}

// A request from the server: answered only when it changes the option's
// state; an option the client does not take part in is refused once.
void Stream::Negotiate(uint8_t verb, uint8_t option, std::string* out) {
  const bool ours = verb == kDo || verb == kDont;
  uint8_t& state = ours ? ours_[option] : theirs_[option];
  const uint8_t yes = ours ? kWill : kDo;
  const uint8_t no = ours ? kWont : kDont;
  if (verb == kDo || verb == kWill) {
    if (state == kAsked) {
      state = kOn;
    } else if (state == kOff) {
      const bool taken = ours ? WeDo(option) : TheyMay(option);
      state = taken ? kOn : kRefused;
      AppendNegotiation(taken ? yes : no, option, out);
    }
  } else if (state == kOn) {
    state = kOff;
    AppendNegotiation(no, option, out);
  } else if (state == kAsked) {
    state = kOff;
  }
}

size_t Stream::Receive(const uint8_t* bytes, size_t size, uint8_t* data,
                       std::vector<Subnegotiation>* subnegotiations, std::string* out) {
  size_t count = 0;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t byte = bytes[i];
    switch (state_) {
      case State::kData:
        if (byte == kIac) {
          state_ = State::kCommand;
        } else {
          data[count++] = byte;
        }
        break;
      case State::kCommand:
        if (byte == kIac) {
          data[count++] = byte;
          state_ = State::kData;
        } else {
          TakeCommand(byte);
        }
        break;
      case State::kOption:
        Negotiate(verb_, byte, out);
        state_ = State::kData;
        break;
      case State::kSubOption:
        subOption_ = byte;
        sub_.clear();
        state_ = State::kSub;
        break;
      case State::kSub:
      case State::kSubCommand:
        if (state_ == State::kSub && byte == kIac) {
          state_ = State::kSubCommand;
        } else if (state_ == State::kSub || byte == kIac) {
          if (sub_.size() <= kMaxValue) sub_.push_back(static_cast<char>(byte));
          state_ = State::kSub;
        } else if (byte == kSe) {
          if (subOption_ == kComPort && !sub_.empty()) {
            subnegotiations->push_back({static_cast<uint8_t>(sub_[0]), sub_.substr(1), count});
          }
          state_ = State::kData;
        } else {
          // IAC and a command inside a subnegotiation: it was cut short, and
          // is dropped; the command stands on its own.
          TakeCommand(byte);
        }
        break;
    }
  }
  return count;
}

}  // namespace rfc2217
