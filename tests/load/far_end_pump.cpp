#include "tests/load/far_end_pump.h"

#include <errno.h>
#include <stdlib.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

namespace {

// After Stop, the far end serves on until the line has been quiet this long.
const int kQuietMs = 200;
const int kPollMs = 20;

}  // namespace

std::unique_ptr<FarEndPump> FarEndPump::Echo(int master) {
  return std::unique_ptr<FarEndPump>(new FarEndPump(master, false, 0, 1));
}

std::unique_ptr<FarEndPump> FarEndPump::Blocks(int master, int slot, unsigned maxPayload) {
  return std::unique_ptr<FarEndPump>(new FarEndPump(master, true, slot, maxPayload));
}

FarEndPump::FarEndPump(int master, bool blocks, int slot, unsigned maxPayload)
    : master_(master),
      blocks_(blocks),
      slot_(slot),
      maxPayload_(maxPayload),
      receiver_(HostStream(slot), maxPayload) {
  thread_ = std::thread([this] { Serve(); });
}

FarEndPump::~FarEndPump() { Stop(); }

void FarEndPump::Stop() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

FarEndCounts FarEndPump::Counts() {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

void FarEndPump::Answer() {
  const uint64_t judged = receiver_.Judged();
  while (answered_ < judged && !lastSent_) {
    ++answered_;
    // Host block k asks for the far end's blocks up to k + kFarWindow.
    const uint64_t through = answered_ - 1 + kFarWindow;
    while (counts_.blocksOut <= through) {
      // The answer to the host's last block ends with the far end's last.
      const bool last =
          receiver_.Tally().lastSeen && answered_ == judged && counts_.blocksOut == through;
      const std::vector<uint8_t> block =
          MakeBlock(FarStream(slot_), static_cast<uint32_t>(counts_.blocksOut),
                    last ? kBlockLast : 0, maxPayload_);
      out_.insert(out_.end(), block.begin(), block.end());
      ++counts_.blocksOut;
      if (last) {
        lastSent_ = true;
        break;
      }
    }
  }
}

void FarEndPump::Serve() {
  int quietMs = 0;
  for (;;) {
    pollfd ready = {master_, static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0};
    const int polled = poll(&ready, 1, kPollMs);
    if (polled == 0) {
      quietMs += kPollMs;
      if (stop_ && out_.empty() && quietMs >= kQuietMs) return;
      continue;
    }
    quietMs = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    if (ready.revents & POLLIN) {
      uint8_t chunk[4096];
      const ssize_t got = read(master_, chunk, sizeof chunk);
      if (got > 0) {
        counts_.bytesIn += static_cast<uint64_t>(got);
        if (!blocks_) {
          out_.insert(out_.end(), chunk, chunk + got);
        } else {
          if (lastSent_ && counts_.error.empty()) counts_.error = "bytes after the last block";
          receiver_.Take(chunk, static_cast<size_t>(got));
          counts_.received = receiver_.Tally();
          Answer();
        }
      } else if (got < 0 && errno != EAGAIN && errno != EINTR && counts_.error.empty()) {
        counts_.error = std::string("read: ") + strerror(errno);
      }
    }
    if (!out_.empty() && (ready.revents & POLLOUT)) {
      const ssize_t put = write(master_, out_.data(), out_.size());
      if (put > 0) {
        counts_.bytesOut += static_cast<uint64_t>(put);
        out_.erase(out_.begin(), out_.begin() + put);
      } else if (put < 0 && errno != EAGAIN && errno != EINTR && counts_.error.empty()) {
        counts_.error = std::string("write: ") + strerror(errno);
      }
    }
    // A line whose slave is gone reports a hang-up at once: not a busy loop.
    if ((ready.revents & (POLLHUP | POLLERR)) && !(ready.revents & POLLIN)) {
      poll(nullptr, 0, kPollMs);
    }
  }
}

LoadFarEnds::LoadFarEnds(Serving serving, const std::string& linkDirectory)
    : namedByEnvironment_(linkDirectory.empty()) {
  for (int slot = 0; slot < kLoadChannels; ++slot) {
    const std::string com = std::to_string(kRelLoad[slot]);
    ptys_[slot] = std::make_unique<PtyPair>();
    if (!ptys_[slot]->IsOpen()) {
      error_ = "no pseudo-terminal pair for COM" + com;
    } else if (namedByEnvironment_) {
      setenv(("SERCHAN32_COM" + com).c_str(), ptys_[slot]->SlavePath().c_str(), 1);
    } else if (!ptys_[slot]->LinkAs(linkDirectory + "/rel" + com)) {
      error_ = "cannot link " + linkDirectory + "/rel" + com;
    }
    if (!error_.empty()) break;
    far_[slot] = serving == Serving::kBlocks
                     ? FarEndPump::Blocks(ptys_[slot]->Master(), slot, kLoadMaxPayload)
                     : FarEndPump::Echo(ptys_[slot]->Master());
  }
}

LoadFarEnds::~LoadFarEnds() {
  for (int slot = 0; slot < kLoadChannels; ++slot) {
    far_[slot].reset();
    if (namedByEnvironment_) unsetenv(("SERCHAN32_COM" + std::to_string(kRelLoad[slot])).c_str());
  }
}

void LoadFarEnds::StopAll() {
  for (std::unique_ptr<FarEndPump>& far : far_) {
    if (far) far->RequestStop();
  }
  for (std::unique_ptr<FarEndPump>& far : far_) {
    if (far) far->Stop();
  }
}
