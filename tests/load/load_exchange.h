// The exchange of a channel under load between the host (channel_load.h)
// and the far end (far_end_pump.h).
//
// The host sends its block k, then reads the far end's block k. The far end
// answers host block k with its blocks up to k + kFarWindow, so that it is
// always ahead and both directions carry data at once; it sends nothing
// before the host's first block, so that nothing meets the purge of the
// port's open. When the time is up the host flags its block last; the far
// end's answer to it ends with its own last block, and the host reads on
// until that one has come.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "bed_ports.h"

// The load's lines: the bed's rel_load ports, COM60..COM67, one channel each.
const int kLoadChannels = 8;
static_assert(sizeof kRelLoad / sizeof kRelLoad[0] == kLoadChannels, "one port per channel");

const unsigned kFarWindow = 2;
const unsigned kLoadMaxPayload = 256;

// The streams of the channel at position `slot` (0..7) of a load.
inline uint8_t HostStream(int slot) { return static_cast<uint8_t>(2 * slot); }
inline uint8_t FarStream(int slot) { return static_cast<uint8_t>(2 * slot + 1); }

// The time a load runs: the environment variable LOAD_SECONDS when set,
// else the given default.
inline double LoadSeconds(double fallback) {
  const char* text = std::getenv("LOAD_SECONDS");
  const double seconds = text != nullptr ? std::atof(text) : 0;
  return seconds > 0 ? seconds : fallback;
}
