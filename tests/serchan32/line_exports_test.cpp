// The library on real COM ports (serchan32.dll under Wine, libserchan32.so
// natively): eight test-bed pseudo-terminals with modem lines, through the
// exported functions.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "serchan32/serchan32.h"
#include "tests/support/far_end.h"
#include "tests/support/test_platform.h"
#include "tests/support/trace_lines.h"

namespace {

const int kFirstCom = 20;

class LineExportsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int i = 0; i < 8; ++i) XRT_M_Comm_CloseChannel(i);
  }

  int Open(int com, unsigned baud = 115200) {
    int index = -5;
    EXPECT_EQ(0, XRT_M_Comm_OpenChannel(com, baud, &index)) << "COM" << com;
    return index;
  }

  unsigned char buffer_[300] = {};
};

TEST_F(LineExportsTest, EightChannelsAtOnceEachWithItsOwnLine) {
  std::unique_ptr<FarEnd> peer[8];
  int index[8];
  for (int i = 0; i < 8; ++i) {
    peer[i] = std::make_unique<FarEnd>(kFirstCom + i);
    ASSERT_TRUE(peer[i]->IsOpen());
    index[i] = Open(kFirstCom + i);
    ASSERT_EQ(i, index[i]);
  }
  int ninth = 0;
  EXPECT_EQ(SERCHAN32_BAD_CHANNEL, XRT_M_Comm_OpenChannel(kFirstCom + 8, 9600, &ninth));
  EXPECT_EQ(-1, ninth);

  for (int i = 0; i < 8; ++i) {
    std::string text = "channel " + std::to_string(i) + " to COM" + std::to_string(kFirstCom + i);
    ASSERT_EQ(0, XRT_M_Comm_SendBlock_0(
                     index[i], reinterpret_cast<const unsigned char*>(text.data()), text.size()));
  }
  for (int i = 0; i < 8; ++i) {
    std::string text = "channel " + std::to_string(i) + " to COM" + std::to_string(kFirstCom + i);
    std::vector<BYTE> got = peer[i]->Read(text.size(), 5000);
    EXPECT_EQ(text, std::string(got.begin(), got.end()));
    std::vector<BYTE> back = {BYTE('A' + i), BYTE(0x80 + i)};
    ASSERT_TRUE(peer[i]->Write(back));
  }
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(2, XRT_M_Comm_ReadBlock(index[i], buffer_, 5000, 2)) << i;
    EXPECT_EQ('A' + i, buffer_[0]);
    EXPECT_EQ(0x80 + i, buffer_[1]);
  }
}

TEST_F(LineExportsTest, BytesArriveIntactBothWays) {
  FarEnd peer(kFirstCom);
  const int index = Open(kFirstCom);
  std::vector<BYTE> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<BYTE>(i);
  ASSERT_EQ(0, XRT_M_Comm_SendBlock_0(index, all.data(), 256));
  EXPECT_EQ(all, peer.Read(256, 5000));
  ASSERT_TRUE(peer.Write(all));
  std::vector<BYTE> got(256);
  ASSERT_EQ(256, XRT_M_Comm_ReadBlock(index, got.data(), 5000, 256));
  EXPECT_EQ(all, got);
}

TEST_F(LineExportsTest, ReadsByCountByEndCharacterAndByLength) {
  FarEnd peer(kFirstCom + 1);
  const int index = Open(kFirstCom + 1);
  ASSERT_TRUE(peer.Write({'O', 'K', '\r', 'n', 'e', 'x', 't', '1', '2', '3'}));
  EXPECT_EQ(3, XRT_M_Comm_ReadBlock_EOB(index, buffer_, 5000, '\r'));
  EXPECT_STREQ("OK\r", reinterpret_cast<char*>(buffer_));
  EXPECT_EQ(4, XRT_M_Comm_ReadBlock_Length(index, buffer_, 5000, 4));
  EXPECT_STREQ("next", reinterpret_cast<char*>(buffer_));
  EXPECT_EQ(3, XRT_M_Comm_ReadBlock(index, buffer_, 5000, 3));
  EXPECT_EQ(0, std::memcmp(buffer_, "123", 3));
  unsigned char byte = 0;
  ASSERT_TRUE(peer.Write({0x5A}));
  EXPECT_EQ(0, XRT_M_Comm_ReadByte(index, &byte, 5000));
  EXPECT_EQ(0x5A, byte);
}

TEST_F(LineExportsTest, AfterATimedOutReadTheNextByteGoesToTheNextRead) {
  FarEnd peer(kFirstCom + 2);
  const int index = Open(kFirstCom + 2);
  for (int round = 0; round < 3; ++round) {
    unsigned char byte = 0;
    EXPECT_EQ(SERCHAN32_FAILED, XRT_M_Comm_ReadByte(index, &byte, 50));
    ASSERT_TRUE(peer.Write({BYTE(0x30 + round), BYTE(0x40 + round)}));
    ASSERT_EQ(2, XRT_M_Comm_ReadBlock(index, buffer_, 5000, 2));
    EXPECT_EQ(0x30 + round, buffer_[0]);
    EXPECT_EQ(0x40 + round, buffer_[1]);
  }
}

TEST_F(LineExportsTest, DroppedCarrierEndsACheckedRead) {
  FarEnd peer(kFirstCom + 3);
  const int index = Open(kFirstCom + 3);
  ASSERT_EQ(0, XRT_M_Comm_Check_RLSD(index, 1));
  ASSERT_TRUE(peer.Write({'a', '\r'}));
  EXPECT_EQ(2, XRT_M_Comm_ReadBlock_EOB(index, buffer_, 5000, '\r'));
  ASSERT_TRUE(peer.SetFarLines(kLineDsr | kLineCts));
  EXPECT_EQ(SERCHAN32_CARRIER_LOST, XRT_M_Comm_ReadBlock_EOB(index, buffer_, 5000, '\r'));
  ASSERT_TRUE(peer.Write({'b', '\r'}));
  EXPECT_EQ(2, XRT_M_Comm_ReadBlock_EOB(index, buffer_, 5000, '\r'));  // the check is off now
}

TEST_F(LineExportsTest, RtsFollowsTheCaller) {
  FarEnd peer(kFirstCom + 4);
  const int index = Open(kFirstCom + 4);
  EXPECT_EQ(0, XRT_M_Comm_RTS(index, 0));
  EXPECT_EQ(0u, peer.HostLines() & kLineRts);
  EXPECT_EQ(0, XRT_M_Comm_RTS(index, 1));
  EXPECT_EQ(kLineRts, peer.HostLines() & kLineRts);
}

// The break event as a caller has it (natively an eventfd's descriptor), set
// from another thread: it ends a delay and a read waiting for bytes.
TEST_F(LineExportsTest, BreakEventSetFromAnotherThread) {
  FarEnd peer(kFirstCom);
  const int index = Open(kFirstCom);
  void* event = nullptr;
  ASSERT_EQ(0, XRT_M_Comm_GetBreakEvent(index, &event));
  for (const bool delay : {true, false}) {
    const auto start = std::chrono::steady_clock::now();
    std::thread setter([event] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      SetExportedEvent(event);
    });
    EXPECT_EQ(SERCHAN32_FAILED, delay ? XRT_M_Comm_Delay(index, 20000)
                                      : XRT_M_Comm_ReadBlock(index, buffer_, 20000, 4));
    setter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(ExportedEventIsSet(event));
  }
  // The channel reads on afterwards.
  ASSERT_TRUE(peer.Write({0x42}));
  EXPECT_EQ(1, XRT_M_Comm_ReadBlock(index, buffer_, 5000, 1));
  EXPECT_EQ(0x42, buffer_[0]);
}

TEST_F(LineExportsTest, PortThatDoesNotExistLeavesTheSlotFree) {
  int index = 0;
  EXPECT_EQ(SERCHAN32_BAD_CHANNEL, XRT_M_Comm_OpenChannel(199, 9600, &index));
  EXPECT_EQ(-1, index);
  EXPECT_EQ(0, Open(kFirstCom + 5));
}

// Run with SERCHAN32_TRACE set (the serchan32_line_trace test): eight
// channels written and read from eight threads at once leave only whole,
// well-formed lines, each block's bytes on its own line.
TEST_F(LineExportsTest, TracedChannelsWriteWholeLines) {
  const char* path = std::getenv("SERCHAN32_TRACE");
  if (path == nullptr) GTEST_SKIP() << "SERCHAN32_TRACE is not set";
  std::ifstream before(path, std::ios::binary | std::ios::ate);
  const std::streamoff start = before ? static_cast<std::streamoff>(before.tellg()) : 0;
  const int kBlocks = 100;
  std::unique_ptr<FarEnd> peer[8];
  for (int i = 0; i < 8; ++i) {
    peer[i] = std::make_unique<FarEnd>(kFirstCom + i);
    ASSERT_EQ(i, Open(kFirstCom + i));
    ASSERT_TRUE(peer[i]->Write(std::vector<BYTE>(kBlocks, BYTE(i))));
  }
  std::thread threads[8];
  for (int i = 0; i < 8; ++i) {
    threads[i] = std::thread([i] {
      unsigned char block[32];
      for (int n = 0; n < kBlocks; ++n) {
        std::memset(block, 0xA0 + i, sizeof block);
        XRT_M_Comm_SendBlock_0(i, block, 1 + n % 32);
        XRT_M_Comm_ReadBlock(i, block, 5000, 1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::ifstream trace(path, std::ios::binary);
  trace.seekg(start);
  int blocks[8][2] = {};
  std::string line;
  while (std::getline(trace, line)) {
    TraceLine parsed;
    ASSERT_TRUE(ParseTraceLine(line, &parsed)) << line;
    if (parsed.word != "TX" && parsed.word != "RX") continue;
    EXPECT_TRUE(BlockDetailsWhole(parsed.details)) << line;
    ASSERT_NE("-", parsed.channel) << line;
    ++blocks[std::stoi(parsed.channel)][parsed.word == "TX" ? 0 : 1];
  }
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(kBlocks, blocks[i][0]) << "TX lines of ch" << i;
    EXPECT_EQ(kBlocks, blocks[i][1]) << "RX lines of ch" << i;
  }
}

}  // namespace
