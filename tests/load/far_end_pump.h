// The far end of a test's own line, served by a thread of its own on the
// master of a pseudo-terminal pair (pty_pair.h): it echoes what comes, or
// takes the host's block stream and answers it with its own (load_exchange.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/load/block_stream.h"
#include "tests/load/load_exchange.h"
#include "tests/load/pty_pair.h"

struct FarEndCounts {
  uint64_t bytesIn = 0;
  uint64_t bytesOut = 0;
  uint64_t blocksOut = 0;  // block mode
  StreamTally received;    // block mode: the host's stream
  std::string error;       // a failed read or write of the master, or bytes after the end
};

class FarEndPump {
 public:
  // Echoes every byte that comes, as it comes.
  static std::unique_ptr<FarEndPump> Echo(int master);
  // Takes the host stream of load position `slot` and answers it with the
  // far end's stream.
  static std::unique_ptr<FarEndPump> Blocks(int master, int slot, unsigned maxPayload);

  ~FarEndPump();  // stops
  FarEndPump(const FarEndPump&) = delete;
  FarEndPump& operator=(const FarEndPump&) = delete;

  // Lets the thread end once nothing more has come for a moment; Stop
  // waits for that.
  void RequestStop() { stop_ = true; }
  void Stop();
  FarEndCounts Counts();

 private:
  FarEndPump(int master, bool blocks, int slot, unsigned maxPayload);
  void Serve();
  // Block mode: queues the far end's blocks that the host blocks judged since
  // the last call ask for.
  void Answer();

  int master_;
  bool blocks_;
  int slot_;
  unsigned maxPayload_;
  BlockReceiver receiver_;
  uint64_t answered_ = 0;  // host blocks answered
  bool lastSent_ = false;
  std::vector<uint8_t> out_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;  // over counts_
  FarEndCounts counts_;
  std::thread thread_;
};

// The far ends of the load's lines: a pseudo-terminal pair for each, served
// by a pump. The host finds the slave of COMn by the environment variable
// SERCHAN32_COMn (a native host; set for this object's life) or, given a
// directory, by the link DIR/reln (the Wine prefix's COM60..COM67).
class LoadFarEnds {
 public:
  enum class Serving { kEcho, kBlocks };
  explicit LoadFarEnds(Serving serving, const std::string& linkDirectory = "");
  ~LoadFarEnds();  // stops the pumps, then closes the lines
  LoadFarEnds(const LoadFarEnds&) = delete;
  LoadFarEnds& operator=(const LoadFarEnds&) = delete;

  // Empty when every line was made and named; else what failed.
  const std::string& error() const { return error_; }
  FarEndPump& operator[](int slot) { return *far_[slot]; }
  // Asks every pump to stop, then waits for each.
  void StopAll();

 private:
  std::unique_ptr<PtyPair> ptys_[kLoadChannels];
  std::unique_ptr<FarEndPump> far_[kLoadChannels];
  bool namedByEnvironment_;
  std::string error_;
};
