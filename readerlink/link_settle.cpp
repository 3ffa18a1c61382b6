// Bringing the link back in step after a failed exchange (reader_link.h).
#include <atomic>
#include <chrono>
#include <cstring>

#include "readerlink/reader_link.h"
#include "serchan32/serchan32.h"

namespace {

using Clock = std::chrono::steady_clock;

enum : unsigned { kTokenSize = 8, kSettleMs = 5000 };
enum : unsigned { kFrameSize = 3 + kTokenSize + 2 };

// A token that no earlier echo of this process carried: a count, mixed with
// the clock so that another process's tokens differ too.
void NextToken(BYTE* token) {
  static std::atomic<unsigned long long> count{0};
  unsigned long long value =
      static_cast<unsigned long long>(Clock::now().time_since_epoch().count()) *
          0x9E3779B97F4A7C15ull +
      ++count;
  for (unsigned i = 0; i < kTokenSize; ++i, value >>= 8) token[i] = static_cast<BYTE>(value);
}

// The last kFrameSize bytes received are the echo's whole answer frame: any
// status, the token's length, the token and a right CRC.
bool IsEchoAnswer(const BYTE* frame, const BYTE* token) {
  if (frame[1] != 0 || frame[2] != kTokenSize || std::memcmp(frame + 3, token, kTokenSize) != 0)
    return false;
  const WORD crc = Crc16Update(0, frame, 3 + kTokenSize);
  return frame[3 + kTokenSize] == static_cast<BYTE>(crc) &&
         frame[4 + kTokenSize] == static_cast<BYTE>(crc >> 8);
}

}  // namespace

bool LinkSettle(int channel, bool* sent) {
  BYTE token[kTokenSize];
  NextToken(token);
  const bool written = LinkSend(channel, kEcho, token, kTokenSize);
  if (sent != nullptr) *sent = written;
  if (!written) return false;
  // A window of the last bytes received, searched after each byte.
  BYTE window[kFrameSize] = {};
  unsigned received = 0;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kSettleMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return false;
    BYTE byte = 0;
    if (XRT_M_Comm_ReadBlock(channel, &byte, static_cast<unsigned>(left.count()), 1) != 1)
      return false;
    std::memmove(window, window + 1, kFrameSize - 1);
    window[kFrameSize - 1] = byte;
    if (++received >= kFrameSize && IsEchoAnswer(window, token)) return true;
  }
}
