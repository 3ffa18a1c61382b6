// The telnet stream of a serial port on a server: telnet (RFC 854) with the
// com port option (RFC 2217). What the client sends, and what it makes of
// what the server sends: data, option negotiation and the com port option's
// subnegotiations, 0xFF doubled as IAC IAC in data and in values alike. No
// I/O and no clock: bytes in, bytes and subnegotiations out.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace rfc2217 {

// Telnet's command bytes.
const uint8_t kIac = 255;
const uint8_t kDont = 254;
const uint8_t kDo = 253;
const uint8_t kWont = 252;
const uint8_t kWill = 251;
const uint8_t kSb = 250;
const uint8_t kSe = 240;

// The options the client takes part in.
const uint8_t kBinary = 0;
const uint8_t kSuppressGoAhead = 3;
const uint8_t kComPort = 44;

// The com port option's commands as the client sends them; the server
// answers each with its code + kAnswer, and notifies with the NOTIFY codes
// + kAnswer.
enum Command : uint8_t {
  kSignature = 0,
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kNotifyLineState = 6,
  kNotifyModemState = 7,
  kFlowControlSuspend = 8,
  kFlowControlResume = 9,
  kSetLineStateMask = 10,
  kSetModemStateMask = 11,
  kPurgeData = 12,
};
const uint8_t kAnswer = 100;
const size_t kCommandCount = 13;

// SET-CONTROL's values: flow control (outbound, or both ways), break, DTR, RTS.
const uint8_t kFlowQuery = 0;
const uint8_t kNoFlow = 1;
const uint8_t kXonXoffFlow = 2;
const uint8_t kHardwareFlow = 3;
const uint8_t kBreakOn = 5;
const uint8_t kBreakOff = 6;
const uint8_t kDtrQuery = 7;
const uint8_t kDtrOn = 8;
const uint8_t kDtrOff = 9;
const uint8_t kRtsQuery = 10;
const uint8_t kRtsOn = 11;
const uint8_t kRtsOff = 12;

// NOTIFY-MODEMSTATE's lines and NOTIFY-LINESTATE's errors.
const uint8_t kCarrierDetect = 0x80;
const uint8_t kRingIndicator = 0x40;
const uint8_t kDataSetReady = 0x20;
const uint8_t kClearToSend = 0x10;
const uint8_t kBreakDetected = 0x10;
const uint8_t kFramingError = 0x08;
const uint8_t kParityError = 0x04;
const uint8_t kOverrunError = 0x02;

// PURGE-DATA's values: what the server received from the line, what it has
// still to send on it, both.
const uint8_t kPurgeReceived = 1;
const uint8_t kPurgeToSend = 2;
const uint8_t kPurgeBoth = 3;

// A subnegotiation of the com port option as the server sent it: its code,
// its value with 0xFF undoubled (the first kMaxValue bytes), and how many
// data bytes of the same Receive came before it.
const size_t kMaxValue = 64;
struct Subnegotiation {
  uint8_t code;
  std::string value;
  size_t dataBefore;
};

// Appends data for the other side, each 0xFF doubled.
void AppendData(const uint8_t* bytes, size_t size, std::string* out);
// Appends IAC SB COM-PORT-OPTION code value IAC SE, 0xFF doubled: a client's
// command, or with the code + kAnswer a server's answer.
void AppendCommand(uint8_t code, const std::string& value, std::string* out);
// Values of one byte, and of four in network order (the baud rate).
std::string ByteValue(uint8_t value);
std::string LongValue(uint32_t value);
// A four-byte value as a number; 0 for a value of another length.
uint32_t LongOf(const std::string& value);

// The stream from the server as it comes, read after read, and the client's
// side of the option negotiation. The client offers BINARY both ways and the
// com port option, accepts SUPPRESS-GO-AHEAD both ways and refuses any other
// option. It answers a request only when it changes an option's state, and
// refuses an option once, so that no negotiation loops.
class Stream {
 public:
  Stream();

  // The client's opening: WILL and DO BINARY, WILL COM-PORT-OPTION.
  void Open(std::string* out);
  // Takes bytes from the server: their data goes to `data` (which may be
  // `bytes` itself: a byte in makes at most a byte out), the com port
  // option's subnegotiations to `subnegotiations`, and the replies that the
  // server's negotiation calls for to `out`. Returns the count of data bytes.
  size_t Receive(const uint8_t* bytes, size_t size, uint8_t* data,
                 std::vector<Subnegotiation>* subnegotiations, std::string* out);
  // The server has agreed to the com port option.
  bool ComPortAgreed() const;

 private:
  enum class State : uint8_t { kData, kCommand, kOption, kSubOption, kSub, kSubCommand };
  void TakeCommand(uint8_t byte);
  void Negotiate(uint8_t verb, uint8_t option, std::string* out);

  State state_ = State::kData;
  uint8_t verb_ = 0;
  uint8_t subOption_ = 0;
  std::string sub_;      // the subnegotiation so far: code, then value
  uint8_t ours_[256];    // what the client does (DO, DONT)
  uint8_t theirs_[256];  // what the server does (WILL, WONT)
};

}  // namespace rfc2217
