#include "tests/load/block_stream.h"

#include <algorithm>

namespace {

const uint8_t kMagic0 = 0xA5;
const uint8_t kMagic1 = 0x5A;

// The payload generator of one block: xorshift32 from the stream and number.
class BlockBytes {
 public:
  BlockBytes(uint8_t stream, uint32_t seq)
      : state_((stream + 1u) * 0x9E3779B1u ^ (seq + 1u) * 0x85EBCA77u ^ 0x2545F491u) {
    if (state_ == 0) state_ = 1;
  }
  uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }

 private:
  uint32_t state_;
};

void PutLe(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t GetLe(const uint8_t* bytes, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

}  // namespace

uint32_t Crc32(const uint8_t* bytes, size_t count) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::vector<uint8_t> MakeBlock(uint8_t stream, uint32_t seq, uint8_t flags, unsigned maxPayload) {
  BlockBytes generator(stream, seq);
  const unsigned length = 1 + generator.Next() % maxPayload;
  std::vector<uint8_t> block = {kMagic0, kMagic1, stream, flags};
  block.reserve(kBlockHeaderSize + length + kBlockTrailerSize);
  PutLe(block, seq, 4);
  PutLe(block, length, 2);
  for (unsigned i = 0; i < length; ++i) block.push_back(static_cast<uint8_t>(generator.Next()));
  PutLe(block, Crc32(block.data(), block.size()), 4);
  return block;
}

BlockReceiver::BlockReceiver(uint8_t stream, unsigned maxPayload)
    : stream_(stream), maxPayload_(maxPayload) {}

void BlockReceiver::Take(const uint8_t* bytes, size_t count) {
  tally_.bytes += count;
  pending_.insert(pending_.end(), bytes, bytes + count);
  JudgeWhatIsHere();
}

size_t BlockReceiver::Wanted() const {
  if (pending_.size() < kBlockHeaderSize) return kBlockHeaderSize - pending_.size();
  const size_t length = GetLe(pending_.data() + 8, 2);
  return kBlockHeaderSize + length + kBlockTrailerSize - pending_.size();
}

// A byte that cannot begin a block: dropped, and the stretch it belongs to
// counted once.
void BlockReceiver::Skip() {
  if (!inBadStretch_) ++tally_.corrupted;
  inBadStretch_ = true;
  ++tally_.skippedBytes;
  pending_.erase(pending_.begin());
}

void BlockReceiver::JudgeWhatIsHere() {
  while (!pending_.empty()) {
    if (pending_[0] != kMagic0 || (pending_.size() > 1 && pending_[1] != kMagic1)) {
      Skip();
      continue;
    }
    if (pending_.size() < kBlockHeaderSize) return;
    const uint32_t length = GetLe(pending_.data() + 8, 2);
    if (pending_[2] != stream_ || length == 0 || length > maxPayload_) {
      Skip();
      continue;
    }
    const size_t size = kBlockHeaderSize + length + kBlockTrailerSize;
    if (pending_.size() < size) return;
    const uint8_t* block = pending_.data();
    if (Crc32(block, size - kBlockTrailerSize) != GetLe(block + size - kBlockTrailerSize, 4)) {
      Skip();
      continue;
    }

    inBadStretch_ = false;
    ++judged_;
    const uint8_t flags = block[3];
    const uint32_t seq = GetLe(block + 4, 4);
    const std::vector<uint8_t> own = MakeBlock(stream_, seq, flags, maxPayload_);
    if (own.size() != size || !std::equal(own.begin(), own.end(), pending_.begin())) {
      ++tally_.corrupted;
    } else if (seq < expected_) {
      ++tally_.duplicated;
    } else {
      tally_.lost += seq - expected_;
      expected_ = seq + 1;
      ++tally_.blocks;
      tally_.blockBytes += size;
      if (flags & kBlockLast) tally_.lastSeen = true;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(size));
  }
}
