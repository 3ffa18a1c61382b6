#include "tests/load/channel_load.h"

#include <chrono>
#include <vector>

#include "serchan32/serchan32.h"

namespace {

using Clock = std::chrono::steady_clock;

// A block's bytes wait at most this long: the far end sent them long before.
const unsigned kReadTimeoutMs = 5000;

void Failed(ChannelLoad& load, const char* call, int result) {
  if (load.failedCalls++ == 0) load.firstFailure = std::string(call) + " " + std::to_string(result);
}

// Reads until the far end's next block has been judged; false when a read
// fails.
bool ReadFarBlock(int index, BlockReceiver& receiver, std::vector<unsigned char>& buffer,
                  ChannelLoad& load) {
  const uint64_t judged = receiver.Judged();
  while (receiver.Judged() == judged) {
    const size_t wanted = receiver.Wanted();
    if (buffer.size() < wanted) buffer.resize(wanted);
    const int got =
        XRT_M_Comm_ReadBlock(index, buffer.data(), kReadTimeoutMs, static_cast<unsigned>(wanted));
    if (got <= 0) {
      Failed(load, "XRT_M_Comm_ReadBlock", got);
      return false;
    }
    receiver.Take(buffer.data(), static_cast<size_t>(got));
  }
  return true;
}

}  // namespace

ChannelLoad RunChannelLoad(int index, int slot, double seconds, unsigned maxPayload) {
  ChannelLoad load;
  BlockReceiver receiver(FarStream(slot), maxPayload);
  std::vector<unsigned char> buffer(kBlockHeaderSize + maxPayload + kBlockTrailerSize);
  const Clock::time_point start = Clock::now();
  const Clock::time_point end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  for (uint32_t seq = 0;; ++seq) {
    const bool last = Clock::now() >= end;
    const std::vector<uint8_t> block =
        MakeBlock(HostStream(slot), seq, last ? kBlockLast : 0, maxPayload);
    const int sent =
        XRT_M_Comm_SendBlock_0(index, block.data(), static_cast<unsigned>(block.size()));
    if (sent != 0) {
      Failed(load, "XRT_M_Comm_SendBlock_0", sent);
      break;
    }
    ++load.blocksSent;
    load.bytesSent += block.size();
    if (!ReadFarBlock(index, receiver, buffer, load)) break;
    if (last) {
      while (!receiver.Tally().lastSeen && ReadFarBlock(index, receiver, buffer, load)) {
      }
      break;
    }
  }
  load.received = receiver.Tally();
  load.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return load;
}
