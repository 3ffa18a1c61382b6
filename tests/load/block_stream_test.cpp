// The load's judge: a receiver tells a lost block, a duplicated one and
// corrupted bytes apart, finds the next block after damage, and takes its
// bytes in pieces of any size; and a close report reads back into the
// numbers it was built from.
#include <gtest/gtest.h>

#include <vector>

#include "serchan32/comm_port.h"
#include "tests/load/block_stream.h"
#include "tests/load/close_report.h"
#include "tests/support/test_platform.h"

namespace {

const uint8_t kStream = 5;
const unsigned kMaxPayload = 64;

std::vector<uint8_t> Blocks(const std::vector<uint32_t>& seqs, uint8_t lastFlags = 0) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < seqs.size(); ++i) {
    const uint8_t flags = i + 1 == seqs.size() ? lastFlags : 0;
    const std::vector<uint8_t> block = MakeBlock(kStream, seqs[i], flags, kMaxPayload);
    bytes.insert(bytes.end(), block.begin(), block.end());
  }
  return bytes;
}

StreamTally Judge(const std::vector<uint8_t>& bytes, size_t piece = 4096) {
  BlockReceiver receiver(kStream, kMaxPayload);
  for (size_t at = 0; at < bytes.size(); at += piece) {
    receiver.Take(bytes.data() + at, std::min(piece, bytes.size() - at));
  }
  return receiver.Tally();
}

TEST(BlockReceiverTest, AnIntactStreamIsAllBlocksInOrder) {
  const std::vector<uint8_t> bytes = Blocks({0, 1, 2, 3}, kBlockLast);
  for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}}) {
    const StreamTally tally = Judge(bytes, piece);
    EXPECT_EQ(4u, tally.blocks) << piece;
    EXPECT_EQ(bytes.size(), tally.bytes);
    EXPECT_EQ(bytes.size(), tally.blockBytes);
    EXPECT_EQ(0u, tally.lost + tally.duplicated + tally.corrupted + tally.skippedBytes);
    EXPECT_TRUE(tally.lastSeen);
  }
}

TEST(BlockReceiverTest, LossDuplicationAndCorruptionAreToldApart) {
  StreamTally lost = Judge(Blocks({0, 1, 3, 4}));
  EXPECT_EQ(1u, lost.lost);
  EXPECT_EQ(0u, lost.duplicated + lost.corrupted);
  EXPECT_EQ(4u, lost.blocks);

  StreamTally duplicated = Judge(Blocks({0, 1, 1, 2}));
  EXPECT_EQ(1u, duplicated.duplicated);
  EXPECT_EQ(0u, duplicated.lost + duplicated.corrupted);
  EXPECT_EQ(3u, duplicated.blocks);

  std::vector<uint8_t> flipped = Blocks({0, 1, 2});
  flipped[MakeBlock(kStream, 0, 0, kMaxPayload).size() + kBlockHeaderSize] ^= 0x10;
  StreamTally corrupted = Judge(flipped);
  EXPECT_EQ(1u, corrupted.corrupted);
  EXPECT_EQ(0u, corrupted.duplicated);
  EXPECT_EQ(2u, corrupted.blocks);  // block 1 fails its check; block 2 is found again
  EXPECT_EQ(1u, corrupted.lost);
  EXPECT_EQ(MakeBlock(kStream, 1, 0, kMaxPayload).size(), corrupted.skippedBytes);
}

TEST(BlockReceiverTest, ALostByteIsCorruptionAndTheNextBlockIsFoundAgain) {
  std::vector<uint8_t> bytes = Blocks({0, 1, 2, 3});
  bytes.erase(bytes.begin() +
              static_cast<std::ptrdiff_t>(MakeBlock(kStream, 0, 0, kMaxPayload).size()) + 3);
  const StreamTally tally = Judge(bytes, 1);
  EXPECT_EQ(1u, tally.corrupted);
  EXPECT_EQ(3u, tally.blocks);
  EXPECT_EQ(1u, tally.lost);
}

TEST(BlockReceiverTest, ABlockWithAValidChecksumButAnotherPayloadIsCorrupted) {
  // Block 1's number on block 0's payload, checksummed afresh.
  std::vector<uint8_t> forged = MakeBlock(kStream, 0, 0, kMaxPayload);
  forged[4] = 1;
  const uint32_t crc = Crc32(forged.data(), forged.size() - kBlockTrailerSize);
  for (int i = 0; i < 4; ++i) forged[forged.size() - 4 + i] = static_cast<uint8_t>(crc >> (8 * i));
  std::vector<uint8_t> bytes = Blocks({0});
  bytes.insert(bytes.end(), forged.begin(), forged.end());
  const StreamTally tally = Judge(bytes);
  EXPECT_EQ(1u, tally.corrupted);
  EXPECT_EQ(1u, tally.blocks);
}

TEST(BlockReceiverTest, WantedNeverReachesPastTheBlock) {
  const std::vector<uint8_t> bytes = Blocks({0, 1, 2});
  BlockReceiver receiver(kStream, kMaxPayload);
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t wanted = receiver.Wanted();
    ASSERT_LE(at + wanted, bytes.size());
    receiver.Take(bytes.data() + at, wanted);
    at += wanted;
  }
  EXPECT_EQ(3u, receiver.Tally().blocks);
  EXPECT_EQ(3u, receiver.Judged());
}

TEST(CloseReportTest, ReadsBackTheCountersItWasBuiltFrom) {
  LibraryModule = ProgramModule();
  PortSettings settings = {};
  settings.portNumber = 199;  // mapped to no device: the port only holds the counters
  PortStatus status = 0;
  CommPort port(settings, 8, NOPARITY, ONESTOPBIT, status);
  port.counters[kBytesSent] = 4294967295u;
  port.counters[kBytesReceived] = 17;
  char text[2048];
  DWORD copy[kCounterCount];
  BuildReport(port, copy, sizeof text, text);
  ReportedCounts counts = ReadCloseReport(text);
  EXPECT_TRUE(counts.bytesLines);
  EXPECT_EQ(4294967295u, counts.sent);
  EXPECT_EQ(17u, counts.received);
  EXPECT_TRUE(counts.otherLines.empty());

  port.counters[kFrameErrors] = 2;
  BuildReport(port, copy, sizeof text, text);
  counts = ReadCloseReport(text);
  EXPECT_TRUE(counts.bytesLines);
  EXPECT_EQ(2u, counts.otherLines.size());  // the errors' heading and the framing errors
}

}  // namespace
