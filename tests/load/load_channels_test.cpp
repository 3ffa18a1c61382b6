// Eight channels at once on COM60..COM67, a thread each, streaming numbered,
// checksummed blocks both ways through the library's exports: no byte lost,
// duplicated or corrupted, the close reports count exactly the bytes moved,
// and they count no line errors.
//
// Natively the test makes the eight pseudo-terminal pairs and serves their
// far ends itself. Under Wine the prefix maps COM60..COM67 to
// build/bed/rel60..rel67, which load_wine_test.cpp links to lines it serves;
// it checks what those far ends received, from the lines printed here.
//
// The time comes from LOAD_SECONDS (default 5 s natively, 4 s under Wine).
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serchan32/channel_table.h"
#include "serchan32/serchan32.h"
#include "tests/load/channel_load.h"
#include "tests/load/close_report.h"
#include "tests/support/recorded_diagnostics.h"
#include "tests/support/test_platform.h"

#if !defined(_WIN32)
#include <stdlib.h>

#include "tests/load/far_end_pump.h"
#endif

namespace {

const unsigned kBaud = 115200;
#if defined(_WIN32)
const double kDefaultSeconds = 4;  // under Wine each byte read costs about 0.3 ms
#else
const double kDefaultSeconds = 5;
#endif

std::string ComName(int slot) { return "COM" + std::to_string(kRelLoad[slot]); }

double KBytesPerSecond(uint64_t bytes, double seconds) {
  return seconds > 0 ? bytes / 1024.0 / seconds : 0;
}

class ChannelLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AttachLibrary(ProgramModule());
    ClearRecordedDiagnostics();
#if !defined(_WIN32)
    ASSERT_EQ("", far_.error());
#endif
  }

  void TearDown() override {
    for (int index = 0; index < kLoadChannels; ++index) XRT_M_Comm_CloseChannel(index);
    DetachLibrary(false);
  }

#if !defined(_WIN32)
  LoadFarEnds far_{LoadFarEnds::Serving::kBlocks};
#endif
};

void PrintFigures(const std::vector<ChannelLoad>& loads) {
  uint64_t allOut = 0;
  uint64_t allIn = 0;
  double longest = 0;
  std::printf("%-6s %12s %12s %8s %8s %8s %10s %10s\n", "port", "bytes out", "bytes in", "blocks",
              "blocks", "seconds", "KB/s out", "KB/s in");
  for (int slot = 0; slot < kLoadChannels; ++slot) {
    const ChannelLoad& load = loads[slot];
    std::printf("%-6s %12llu %12llu %8llu %8llu %8.2f %10.1f %10.1f\n", ComName(slot).c_str(),
                static_cast<unsigned long long>(load.bytesSent),
                static_cast<unsigned long long>(load.received.bytes),
                static_cast<unsigned long long>(load.blocksSent),
                static_cast<unsigned long long>(load.received.blocks), load.seconds,
                KBytesPerSecond(load.bytesSent, load.seconds),
                KBytesPerSecond(load.received.bytes, load.seconds));
    allOut += load.bytesSent;
    allIn += load.received.bytes;
    if (load.seconds > longest) longest = load.seconds;
  }
  std::printf("%-6s %12llu %12llu %8s %8s %8.2f %10.1f %10.1f\n", "all",
              static_cast<unsigned long long>(allOut), static_cast<unsigned long long>(allIn), "",
              "", longest, KBytesPerSecond(allOut, longest), KBytesPerSecond(allIn, longest));
  // One line per channel for a far end that checks from outside (under Wine).
  for (int slot = 0; slot < kLoadChannels; ++slot) {
    std::printf(
        "load %s sent_blocks=%llu sent_bytes=%llu received_blocks=%llu received_bytes=%llu\n",
        ComName(slot).c_str(), static_cast<unsigned long long>(loads[slot].blocksSent),
        static_cast<unsigned long long>(loads[slot].bytesSent),
        static_cast<unsigned long long>(loads[slot].received.blocks),
        static_cast<unsigned long long>(loads[slot].received.bytes));
  }
  std::fflush(stdout);
}

TEST_F(ChannelLoadTest, EightChannelsStreamBothWaysAndTheReportsCountEveryByte) {
  const double seconds = LoadSeconds(kDefaultSeconds);
  int index[kLoadChannels];
  for (int slot = 0; slot < kLoadChannels; ++slot) {
    ASSERT_EQ(0, XRT_M_Comm_OpenChannel(kRelLoad[slot], kBaud, &index[slot])) << ComName(slot);
    ASSERT_EQ(slot, index[slot]);
  }

  std::vector<ChannelLoad> loads(kLoadChannels);
  std::vector<std::thread> threads;
  for (int slot = 0; slot < kLoadChannels; ++slot) {
    threads.emplace_back([&loads, &index, slot, seconds] {
      loads[slot] = RunChannelLoad(index[slot], slot, seconds, kLoadMaxPayload);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int slot = 0; slot < kLoadChannels; ++slot)
    EXPECT_EQ(0, XRT_M_Comm_CloseChannel(index[slot]));
  PrintFigures(loads);
#if !defined(_WIN32)
  for (int slot = 0; slot < kLoadChannels; ++slot) far_[slot].RequestStop();
#endif

  const std::vector<CloseReport> reports = RecordedCloseReports();
  ASSERT_EQ(static_cast<size_t>(kLoadChannels), reports.size());
  for (int slot = 0; slot < kLoadChannels; ++slot) {
    SCOPED_TRACE(ComName(slot));
    const ChannelLoad& load = loads[slot];
    EXPECT_EQ(0, load.failedCalls) << load.firstFailure;
    EXPECT_GT(load.blocksSent, 1u);
    const StreamTally& in = load.received;
    EXPECT_EQ(0u, in.lost);
    EXPECT_EQ(0u, in.duplicated);
    EXPECT_EQ(0u, in.corrupted);
    EXPECT_EQ(0u, in.skippedBytes);
    EXPECT_TRUE(in.lastSeen);
    EXPECT_EQ(load.blocksSent + kFarWindow, in.blocks);
    EXPECT_EQ(in.blockBytes, in.bytes);

    const CloseReport* report = nullptr;
    for (const CloseReport& candidate : reports) {
      if (candidate.portName == ComName(slot)) report = &candidate;
    }
    ASSERT_NE(nullptr, report);
    const ReportedCounts counted = ReadCloseReport(report->text);
    EXPECT_TRUE(counted.bytesLines) << report->text;
    EXPECT_EQ(static_cast<uint32_t>(load.bytesSent), counted.sent);
    EXPECT_EQ(static_cast<uint32_t>(in.bytes), counted.received);
    EXPECT_TRUE(counted.otherLines.empty()) << report->text;  // no line error counted

#if !defined(_WIN32)
    far_[slot].Stop();
    const FarEndCounts far = far_[slot].Counts();
    EXPECT_EQ("", far.error);
    EXPECT_EQ(load.bytesSent, far.bytesIn);
    EXPECT_EQ(load.blocksSent, far.received.blocks);
    EXPECT_EQ(far.received.blockBytes, far.received.bytes);
    EXPECT_EQ(0u, far.received.lost);
    EXPECT_EQ(0u, far.received.duplicated);
    EXPECT_EQ(0u, far.received.corrupted);
    EXPECT_TRUE(far.received.lastSeen);
    EXPECT_EQ(in.bytes, far.bytesOut);
    EXPECT_EQ(in.blocks, far.blocksOut);
#endif
  }
  const std::vector<std::string> errors = RecordedApiErrors();
  EXPECT_TRUE(errors.empty()) << errors.front();
}

}  // namespace
