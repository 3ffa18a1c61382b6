// One channel under load, from the library's side, through its exports:
// blocks out with XRT_M_Comm_SendBlock_0 and in with XRT_M_Comm_ReadBlock,
// in the exchange of load_exchange.h.
#pragma once

#include <cstdint>
#include <string>

#include "tests/load/block_stream.h"
#include "tests/load/load_exchange.h"

struct ChannelLoad {
  uint64_t blocksSent = 0;
  uint64_t bytesSent = 0;
  StreamTally received;
  double seconds = 0;  // from the first block out to the far end's last in
  int failedCalls = 0;
  std::string firstFailure;  // the first export that failed, and its result
};

// Runs the exchange on the open channel `index`, at position `slot`, for
// about `seconds`.
ChannelLoad RunChannelLoad(int index, int slot, double seconds, unsigned maxPayload);
