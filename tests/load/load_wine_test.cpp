// The load and leak tests of the Windows build, under Wine. The project's
// prefix maps COM60..COM67 to build/bed/rel60..rel67; this test links those
// to pseudo-terminal pairs of its own, serves their far ends, and runs the
// Windows test program on them: load_channels_tests.exe against far ends
// that take and answer its block streams (and whose tallies are checked
// here against the figures it prints), load_leaks_tests.exe against far
// ends that echo.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "tests/load/far_end_pump.h"
#include "tests/load/load_exchange.h"
#include "tests/support/console_session.h"

namespace {

// What the Windows load program printed for one port: the load lines of
// load_channels_test.cpp, "load COM60 sent_blocks=.. sent_bytes=.. ...".
std::map<std::string, uint64_t> LoadLine(const std::string& output, const std::string& port) {
  std::map<std::string, uint64_t> fields;
  const std::string head = "load " + port + " ";
  const size_t at = output.find(head);
  if (at == std::string::npos) return fields;
  const size_t begin = at + head.size();
  const size_t end = output.find('\n', begin);
  std::istringstream line(output.substr(begin, end == std::string::npos ? end : end - begin));
  for (std::string field; line >> field;) {
    const size_t equals = field.find('=');
    if (equals != std::string::npos) {
      fields[field.substr(0, equals)] = std::strtoull(field.c_str() + equals + 1, nullptr, 10);
    }
  }
  return fields;
}

class WineLines : public ::testing::Test {
 protected:
  void Serve(LoadFarEnds::Serving serving) {
    far_ = std::make_unique<LoadFarEnds>(serving, RepoRoot() + "/build/bed");
    ASSERT_EQ("", far_->error());
  }

  // Runs the Windows program; its exit status, its output printed.
  int Run(const std::string& program, int timeoutMs) {
    ConsoleSession session(WineCommand(WindowsProgram(program)));
    session.CloseInput();
    const int status = session.WaitExit(timeoutMs);
    output_ = session.Output();
    std::printf("%s", output_.c_str());
    std::fflush(stdout);
    far_->StopAll();
    return status;
  }

  std::unique_ptr<LoadFarEnds> far_;
  std::string output_;
};

TEST_F(WineLines, ChannelLoad) {
  ASSERT_NO_FATAL_FAILURE(Serve(LoadFarEnds::Serving::kBlocks));
  const int timeoutMs = static_cast<int>(LoadSeconds(4) * 1000) + 120000;
  EXPECT_EQ(0, Run("load_channels_tests.exe", timeoutMs));
  for (int slot = 0; slot < kLoadChannels; ++slot) {
    const std::string port = "COM" + std::to_string(kRelLoad[slot]);
    SCOPED_TRACE(port);
    std::map<std::string, uint64_t> host = LoadLine(output_, port);
    ASSERT_EQ(4u, host.size());
    const FarEndCounts far = (*far_)[slot].Counts();
    EXPECT_EQ("", far.error);
    EXPECT_EQ(host["sent_bytes"], far.bytesIn);
    EXPECT_EQ(host["sent_blocks"], far.received.blocks);
    EXPECT_EQ(far.received.blockBytes, far.received.bytes);
    EXPECT_EQ(0u, far.received.lost);
    EXPECT_EQ(0u, far.received.duplicated);
    EXPECT_EQ(0u, far.received.corrupted);
    EXPECT_TRUE(far.received.lastSeen);
    EXPECT_EQ(host["received_bytes"], far.bytesOut);
    EXPECT_EQ(host["received_blocks"], far.blocksOut);
  }
}

TEST_F(WineLines, Leaks) {
  ASSERT_NO_FATAL_FAILURE(Serve(LoadFarEnds::Serving::kEcho));
  EXPECT_EQ(0, Run("load_leaks_tests.exe", 600000));
  for (int slot = 0; slot < kLoadChannels; ++slot) {
    const FarEndCounts far = (*far_)[slot].Counts();
    EXPECT_EQ("", far.error) << slot;
    EXPECT_GT(far.bytesIn, 0u) << slot;
    EXPECT_EQ(far.bytesIn, far.bytesOut) << slot;
  }
}

}  // namespace
