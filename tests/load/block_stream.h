// Numbered, checksummed blocks for streaming over a line: how a sender makes
// them and how a receiver tells loss, duplication and corruption apart.
//
// A block: 0xA5 0x5A, the stream's number, flags, the sequence number (4
// bytes), the payload's length (2 bytes), the payload, and a CRC-32 of all
// the bytes before it; numbers little-endian. Both sides compute every
// block's length and payload from its stream and sequence number, so a
// receiver knows what each block must hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

const size_t kBlockHeaderSize = 10;
const size_t kBlockTrailerSize = 4;
const uint8_t kBlockLast = 0x01;  // flag: the stream's last block

uint32_t Crc32(const uint8_t* bytes, size_t count);

// Block seq of a stream: 1 to maxPayload bytes of payload (maxPayload at
// most 65535), flagged as given.
std::vector<uint8_t> MakeBlock(uint8_t stream, uint32_t seq, uint8_t flags, unsigned maxPayload);

// What a receiver has seen of one stream.
struct StreamTally {
  uint64_t bytes = 0;         // every byte taken in
  uint64_t blocks = 0;        // intact blocks, each the first time it came
  uint64_t blockBytes = 0;    // the bytes of those blocks
  uint64_t lost = 0;          // sequence numbers skipped
  uint64_t duplicated = 0;    // intact blocks that came again, or came late
  uint64_t corrupted = 0;     // stretches of bytes that formed no intact block,
                              // and blocks whose payload is not their own
  uint64_t skippedBytes = 0;  // the bytes of those stretches
  bool lastSeen = false;      // the block flagged last has come
};

// Takes in one stream's bytes as they come, in pieces of any size.
class BlockReceiver {
 public:
  BlockReceiver(uint8_t stream, unsigned maxPayload);

  void Take(const uint8_t* bytes, size_t count);
  // How many bytes the next block needs before it can be judged: a reader
  // that asks for no more never reads past the block's end.
  size_t Wanted() const;
  // Intact blocks judged so far, whether in order, late, duplicated or with
  // a payload not their own.
  uint64_t Judged() const { return judged_; }
  const StreamTally& Tally() const { return tally_; }

 private:
  void JudgeWhatIsHere();
  void Skip();

  uint8_t stream_;
  unsigned maxPayload_;
  std::vector<uint8_t> pending_;
  uint32_t expected_ = 0;
  uint64_t judged_ = 0;
  bool inBadStretch_ = false;
  StreamTally tally_;
};
