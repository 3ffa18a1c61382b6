// rfc2217::Stream (platform/posix/serial/rfc2217_protocol.cpp), the telnet
// stream of a port on a server, over any bytes a server may send. The first
// input byte chooses whether the client opened the stream first (bit 0);
// the rest is the server's stream. Checked for every input:
// - the data is the stream with IAC IAC taken as 0xFF and every command
//   removed, and the com port option's subnegotiations are the stream's, as
//   the reference reading below (written from the telnet rules) finds them;
// - the same comes out whether the stream is taken whole, decoded in place,
//   or one byte at a time;
// - every reply is IAC WILL/WONT to a DO/DONT, or IAC DO/DONT to a
//   WILL/WONT, at most one per request, agreeing only to the options the
//   client takes part in; and a request repeated gets no second reply;
// - data and commands written with AppendData and AppendCommand (the input
//   read as such, see RoundTrip) read back as they were written.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/serial/rfc2217_protocol.h"
#include "tests/fuzz/fuzz_check.h"

namespace rfc2217 {

bool operator==(const Subnegotiation& a, const Subnegotiation& b) {
  return a.code == b.code && a.value == b.value && a.dataBefore == b.dataBefore;
}

}  // namespace rfc2217

using namespace rfc2217;

namespace {

// At most this many different requests are repeated after a stream.
const size_t kRepeated = 32;

struct Decoded {
  std::string data;
  std::vector<Subnegotiation> subnegotiations;  // dataBefore counted from the first byte
  std::string replies;
  size_t requests = 0;  // WILL, WONT, DO and DONT received
};

// The stream read whole, by the telnet rules: IAC IAC is 0xFF; IAC and a
// verb take an option byte; IAC SB runs to IAC SE, IAC IAC inside being 0xFF,
// and any other IAC inside cuts it short, the command after it standing on
// its own; other commands are two bytes; what is cut off at the end is
// nothing.
Decoded Reference(const uint8_t* bytes, size_t size) {
  Decoded out;
  size_t i = 0;
  while (i < size) {
    if (bytes[i] != kIac) {
      out.data.push_back(static_cast<char>(bytes[i++]));
      continue;
    }
    if (i + 1 == size) break;
    const uint8_t command = bytes[i + 1];
    if (command == kIac) {
      out.data.push_back(static_cast<char>(kIac));
      i += 2;
    } else if (command >= kWill && command <= kDont) {
      if (i + 2 < size) ++out.requests;
      i += 3;
    } else if (command == kSb) {
      if (i + 2 >= size) break;
      const uint8_t option = bytes[i + 2];
      std::string sub;
      size_t k = i + 3;
      bool ended = false;
      while (k < size && !ended) {
        if (bytes[k] != kIac) {
          sub.push_back(static_cast<char>(bytes[k++]));
        } else if (k + 1 == size) {
          k = size;
        } else if (bytes[k + 1] == kIac) {
          sub.push_back(static_cast<char>(kIac));
          k += 2;
        } else {
          ended = true;
        }
      }
      if (!ended) break;
      if (bytes[k + 1] == kSe) {
        if (option == kComPort && !sub.empty()) {
          out.subnegotiations.push_back(
              {static_cast<uint8_t>(sub[0]), sub.substr(1, kMaxValue), out.data.size()});
        }
        i = k + 2;
      } else {
        i = k;  // the IAC that cut it short starts a command
      }
    } else {
      i += 2;
    }
  }
  return out;
}

// The stream taken in pieces of `piece` bytes (0: whole), decoded into a
// buffer of its own or in place.
Decoded Take(bool opened, const uint8_t* bytes, size_t size, size_t piece, bool inPlace) {
  Stream stream;
  Decoded out;
  std::string opening;
  if (opened) stream.Open(&opening);
  // In heap blocks of their exact size, so that ASan sees a write past them.
  std::unique_ptr<uint8_t[]> in(new uint8_t[size + 1]);
  std::unique_ptr<uint8_t[]> data(new uint8_t[size + 1]);
  if (size != 0) std::memcpy(in.get(), bytes, size);
  for (size_t at = 0; at < size;) {
    const size_t length = piece == 0 ? size : std::min(piece, size - at);
    uint8_t* into = inPlace ? in.get() + at : data.get();
    std::vector<Subnegotiation> subnegotiations;
    const size_t count =
        stream.Receive(in.get() + at, length, into, &subnegotiations, &out.replies);
    FUZZ_CHECK(count <= length);
    for (Subnegotiation& sub : subnegotiations) {
      FUZZ_CHECK(sub.dataBefore <= count);
      sub.dataBefore += out.data.size();
      out.subnegotiations.push_back(sub);
    }
    out.data.append(reinterpret_cast<const char*>(into), count);
    at += length;
  }
  return out;
}

bool Agrees(uint8_t verb) { return verb == kWill || verb == kDo; }

// Each reply answers a request: IAC WILL/WONT to DO/DONT, IAC DO/DONT to
// WILL/WONT, agreeing only to what the client takes part in. After the whole
// stream, a request of it repeated gets no reply the second time it stands
// on its own (the first time it may end what the stream was in the middle of).
void CheckReplies(bool opened, const uint8_t* bytes, size_t size, const std::string& replies,
                  size_t requests) {
  FUZZ_CHECK(replies.size() % 3 == 0);
  FUZZ_CHECK(replies.size() / 3 <= requests);
  for (size_t i = 0; i < replies.size(); i += 3) {
    const uint8_t verb = static_cast<uint8_t>(replies[i + 1]);
    const uint8_t option = static_cast<uint8_t>(replies[i + 2]);
    FUZZ_CHECK(static_cast<uint8_t>(replies[i]) == kIac);
    FUZZ_CHECK(verb >= kWill && verb <= kDont);
    if (Agrees(verb)) {
      FUZZ_CHECK(option == kBinary || option == kSuppressGoAhead ||
                 (verb == kWill && option == kComPort));
    }
  }
  Stream after;
  std::string more;
  std::vector<Subnegotiation> ignored;
  if (opened) after.Open(&more);
  std::unique_ptr<uint8_t[]> data(new uint8_t[size + 1]);
  after.Receive(bytes, size, data.get(), &ignored, &more);
  bool seen[4][256] = {};
  size_t repeated = 0;
  for (size_t i = 0; i + 2 < size && repeated < kRepeated; ++i) {
    if (bytes[i] != kIac || bytes[i + 1] < kWill || bytes[i + 1] > kDont) continue;
    bool& done = seen[bytes[i + 1] - kWill][bytes[i + 2]];
    if (done) continue;
    done = true;
    ++repeated;
    Stream stream = after;
    const uint8_t request[] = {kIac, bytes[i + 1], bytes[i + 2]};
    uint8_t none[3];
    for (int time = 0; time < 2; ++time) stream.Receive(request, 3, none, &ignored, &more);
    more.clear();
    stream.Receive(request, 3, none, &ignored, &more);
    FUZZ_CHECK(more.empty());
  }
}

// The input read as what a server writes: 0xFA, a code and a length byte
// start a command with a value of (length % 8) bytes; any other byte is
// data. Written with the encoders, it reads back the same.
void RoundTrip(const uint8_t* bytes, size_t size) {
  std::string wire;
  Decoded written;
  for (size_t i = 0; i < size;) {
    if (bytes[i] == kSb && i + 2 < size) {
      const size_t length = std::min<size_t>(bytes[i + 2] % 8, size - i - 3);
      const std::string value(reinterpret_cast<const char*>(bytes) + i + 3, length);
      AppendCommand(bytes[i + 1], value, &wire);
      written.subnegotiations.push_back({bytes[i + 1], value, written.data.size()});
      i += 3 + length;
    } else {
      AppendData(bytes + i, 1, &wire);
      written.data.push_back(static_cast<char>(bytes[i++]));
    }
  }
  const Decoded read =
      Take(false, reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), 0, false);
  FUZZ_CHECK(read.data == written.data);
  FUZZ_CHECK(read.subnegotiations == written.subnegotiations);
  FUZZ_CHECK(read.replies.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool opened = (data[0] & 1) != 0;
  const uint8_t* stream = data + 1;
  const size_t length = size - 1;

  const Decoded whole = Take(opened, stream, length, 0, false);
  const Decoded expected = Reference(stream, length);
  FUZZ_CHECK(whole.data == expected.data);
  FUZZ_CHECK(whole.subnegotiations == expected.subnegotiations);

  for (const bool inPlace : {false, true}) {
    for (const size_t piece : {size_t{1}, size_t{2}, size_t{7}, size_t{0}}) {
      const Decoded again = Take(opened, stream, length, piece, inPlace);
      FUZZ_CHECK(again.data == whole.data);
      FUZZ_CHECK(again.subnegotiations == whole.subnegotiations);
      FUZZ_CHECK(again.replies == whole.replies);
    }
  }
  CheckReplies(opened, stream, length, whole.replies, expected.requests);
  RoundTrip(stream, length);
  return 0;
}
