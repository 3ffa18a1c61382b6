// The line vanishing under the library: the far side of the port's
// pseudo-terminal closes while a read waits, while a write is under way or
// while the channel is idle; and, the other way a USB adapter goes, the
// device node goes with it. The exports must fail promptly with their own
// codes, the watcher thread must end, the channel must still close, and a
// new open must work once the far side is back.
//
// The test makes the pseudo-terminals and drives the library through the
// probe (line_probe.cpp) on pipes: the native one (LINE_LOSS_BUILD=native,
// COM64 through SERCHAN32_COM64) or the Windows one under Wine (COM60, which
// the project's prefix maps to build/bed/rel60): the bed's rel_line_vanish.
//
// "Promptly" is measured here, from the moment the far side is closed to the
// probe's answer: it must come within kPromptMs, a fifth of the reads' own
// time-out (and far below the write's, over two minutes at 9600 baud).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bed_ports.h"
#include "tests/support/console_session.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kReadTimeoutMs = 15000;
const int kPromptMs = 3000;
// The far side closes this long after the probe has started the call.
const int kVanishAfterMs = 300;
// A write longer than a pseudo-terminal holds (about 12 KB here), so that it
// is under way when the far side goes.
const int kLongWrite = 65535;

bool Native() {
  const char* build = std::getenv("LINE_LOSS_BUILD");
  return build != nullptr && std::string(build) == "native";
}

int Com() { return kRelLineVanish[Native() ? 1 : 0]; }

std::string LinkPath() { return RepoRoot() + "/build/bed/rel" + std::to_string(Com()); }

// Of the threads an open brings, those that belong to the device itself and
// end only at close: natively the termios device's I/O thread. Under Wine the
// port's are the watcher and Wine's own comm-event wait, which ends with it.
size_t DeviceThreads() { return Native() ? 1 : 0; }

long MsSince(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// One pseudo-terminal pair: the test keeps the master, the library opens the
// slave through the link.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
      Close();
      return;
    }
    slave_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() { Close(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool IsOpen() const { return master_ >= 0; }
  const std::string& SlavePath() const { return slave_; }
  void Close() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  bool Write(const std::string& bytes) {
    return IsOpen() &&
           write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // Up to count bytes, waiting at most timeoutMs for all of them.
  std::string Read(size_t count, int timeoutMs) {
    std::string bytes;
    const auto start = Clock::now();
    while (IsOpen() && bytes.size() < count && MsSince(start) < timeoutMs) {
      pollfd readable = {master_, POLLIN, 0};
      if (poll(&readable, 1, 20) <= 0) continue;
      char chunk[256];
      const ssize_t got = read(master_, chunk, std::min(sizeof chunk, count - bytes.size()));
      if (got > 0) bytes.append(chunk, static_cast<size_t>(got));
    }
    return bytes;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

bool PointLinkAt(const std::string& target) {
  const std::string link = LinkPath();
  const std::string fresh = link + ".new";
  unlink(fresh.c_str());
  return symlink(target.c_str(), fresh.c_str()) == 0 && rename(fresh.c_str(), link.c_str()) == 0;
}

// One answer of the probe: "= <command> <result> <ms> [more...]".
struct Reply {
  std::string command;
  long result = 0;
  long ms = 0;
  std::vector<long> more;
  bool ok = false;  // an answer came, with its command, result and time
};

class Probe {
 public:
  Probe() : session_(Command()) {}
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  // Ends the probe; its exit status (-1 if it had to be killed).
  int Quit() {
    session_.Send("quit\n");
    return session_.WaitExit(10000);
  }
  void Send(const std::string& command) { session_.Send(command + "\n"); }
  bool Started(const std::string& command) {
    return session_.Expect("- started " + command, 20000);
  }
  // The probe's next answer, waiting at most timeoutMs for it.
  Reply Next(int timeoutMs) {
    Reply reply;
    if (!session_.Expect("= ", timeoutMs) || !session_.Expect("\n", timeoutMs)) return reply;
    const std::string& all = session_.Output();
    const size_t end = all.size() - session_.Unmatched().size() - 1;
    const size_t begin = all.rfind("= ", end) + 2;
    std::istringstream words(all.substr(begin, end - begin));
    reply.ok = static_cast<bool>(words >> reply.command >> reply.result >> reply.ms);
    long value = 0;
    while (words >> value) reply.more.push_back(value);
    return reply;
  }
  Reply Ask(const std::string& command, int timeoutMs = 20000) {
    Send(command);
    return Next(timeoutMs);
  }
  std::string Output() const { return session_.Output(); }

 private:
  static std::vector<std::string> Command() {
    if (Native()) return {LINE_PROBE_NATIVE};
    return WineCommand(WindowsProgram("line_probe.exe"));
  }

  ConsoleSession session_;
};

enum class Vanish { kHangUp, kDeviceGone };

struct Case {
  const char* waiting;  // the call under way as the line goes, or "Idle"
  std::string call;     // the probe's command for it
  std::set<long> results;
  Vanish vanish;
};

std::string NameOf(const Case& c) {
  return std::string(c.waiting) + (c.vanish == Vanish::kHangUp ? "_FarSideClosed" : "_DeviceGone");
}

std::string Describe(const ::testing::TestParamInfo<Case>& info) { return NameOf(info.param); }

void PrintTo(const Case& c, std::ostream* out) { *out << NameOf(c); }

// The probe, on a line of the test's own.
class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Native()) setenv(("SERCHAN32_COM" + std::to_string(Com())).c_str(), LinkPath().c_str(), 1);
    ASSERT_TRUE(first_.IsOpen());
    ASSERT_TRUE(PointLinkAt(first_.SlavePath()));
    probe_ = std::make_unique<Probe>();
  }
  void TearDown() override {
    // Nothing crashed: the probe ends as asked, with status 0.
    if (probe_ != nullptr) {
      EXPECT_EQ(0, probe_->Quit()) << probe_->Output();
    }
    unlink(LinkPath().c_str());
  }

  // Opens the channel; checks it is channel 0 with threads of its own.
  void OpenChannel() {
    const Reply open = probe_->Ask("open " + std::to_string(Com()) + " 9600");
    ASSERT_TRUE(open.ok) << probe_->Output();
    ASSERT_EQ(0, open.result) << probe_->Output();
    ASSERT_EQ(2u, open.more.size());
    EXPECT_EQ(0, open.more[0]);
    openThreads_ = static_cast<size_t>(open.more[1]);
    ASSERT_GT(openThreads_, DeviceThreads()) << "no watcher came with the open";
  }

  Pty first_;
  std::unique_ptr<Probe> probe_;
  size_t openThreads_ = 0;
};

class LineVanishTest : public ProbeTest, public ::testing::WithParamInterface<Case> {
 protected:
  // The far side goes: its master closes and, for a device that is gone, the
  // link that named it too.
  void MakeTheLineVanish(Pty& pty) {
    pty.Close();
    if (GetParam().vanish == Vanish::kDeviceGone) unlink(LinkPath().c_str());
  }

  // A call that must end at once with one of the given results.
  void ExpectPrompt(const std::string& call, const std::set<long>& results) {
    const Reply reply = probe_->Ask(call);
    ASSERT_TRUE(reply.ok) << call << ": no answer\n" << probe_->Output();
    EXPECT_TRUE(results.count(reply.result)) << call << " gave " << reply.result;
    EXPECT_LT(reply.ms, kPromptMs) << call;
    results_ += " " + call.substr(0, call.find(' ')) + "=" + std::to_string(reply.result);
    // A delay takes its own time, with or without the line.
    if (call.rfind("delay", 0) != 0 && reply.ms >= slowestMs_) {
      slowestMs_ = reply.ms;
      slowestCall_ = call;
    }
  }

  // The times for the record, one line each.
  void RecordFigure(const std::string& what, long ms) {
    std::printf("figure: %s %s %ld ms\n", NameOf(GetParam()).c_str(), what.c_str(), ms);
  }

  long slowestMs_ = 0;  // of the calls on the line that has gone
  std::string slowestCall_;
  std::string results_;  // what each of them returned
};

TEST_P(LineVanishTest, ExportsFailPromptlyTheWatcherEndsAndTheChannelStillClosesAndReopens) {
  const Case& c = GetParam();
  OpenChannel();
  if (HasFatalFailure()) return;

  // The line works before it goes.
  ASSERT_TRUE(first_.Write("z"));
  const Reply before = probe_->Ask("readbyte 5000");
  ASSERT_EQ(0, before.result) << probe_->Output();
  ASSERT_EQ(std::vector<long>{'z'}, before.more);

  if (c.call.empty()) {
    MakeTheLineVanish(first_);
  } else {
    probe_->Send(c.call);
    ASSERT_TRUE(probe_->Started(c.call.substr(0, c.call.find(' ')))) << probe_->Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(kVanishAfterMs));
    MakeTheLineVanish(first_);
    const auto gone = Clock::now();
    const Reply waited = probe_->Next(kReadTimeoutMs + 20000);
    const long latency = MsSince(gone);
    ASSERT_TRUE(waited.ok) << c.call << ": no answer\n" << probe_->Output();
    EXPECT_TRUE(c.results.count(waited.result)) << c.call << " gave " << waited.result;
    std::printf("results: %s waiting %s=%ld\n", NameOf(c).c_str(), c.call.c_str(), waited.result);
    EXPECT_LT(latency, kPromptMs) << c.call << " ended " << latency << " ms after the line went";
    RecordFigure("waiting call ended after (ms)", latency);
  }

  // The watcher ends; only the device's own threads are left until close.
  const Reply alive =
      probe_->Ask("alive " + std::to_string(kPromptMs) + " " + std::to_string(DeviceThreads()));
  ASSERT_TRUE(alive.ok) << probe_->Output();
  EXPECT_EQ(static_cast<long>(DeviceThreads()), alive.result)
      << "of " << openThreads_ << " threads of the open, " << alive.result << " still run";
  RecordFigure("watcher ended within (ms)", alive.ms);

  // Every export on the line that has gone: its failure code, or what it does
  // without the line, at once.
  ExpectPrompt("readbyte " + std::to_string(kReadTimeoutMs), {-1});
  ExpectPrompt("readblock " + std::to_string(kReadTimeoutMs) + " 4", {-1});
  ExpectPrompt("eob " + std::to_string(kReadTimeoutMs) + " 13", {0});
  ExpectPrompt("length " + std::to_string(kReadTimeoutMs) + " 4", {0});
  ExpectPrompt("send 16", {-1});
  ExpectPrompt("sendshort 16", {-1});
  ExpectPrompt("flush", {0, -1});
  ExpectPrompt("queue", {0, -1});
  ExpectPrompt("rts 1", {0});
  ExpectPrompt("delay 20", {0});
  ExpectPrompt("breakevent", {0});
  // With the carrier checked, an unreadable modem status is a lost carrier
  // (Wine); natively a pseudo-terminal is a three-wire line, carrier on.
  ExpectPrompt("check_rlsd 1", {0});
  ExpectPrompt("eob " + std::to_string(kReadTimeoutMs) + " 13", {0, -12});
  ExpectPrompt("check_rlsd 0", {0});
  RecordFigure("slowest export afterwards (" + slowestCall_ + ")", slowestMs_);
  std::printf("results: %s%s\n", NameOf(GetParam()).c_str(), results_.c_str());

  // The channel closes, and every thread of the open has ended with it.
  const Reply close = probe_->Ask("close");
  EXPECT_EQ(0, close.result) << probe_->Output();
  EXPECT_LT(close.ms, kPromptMs);
  RecordFigure("close", close.ms);
  const Reply closed = probe_->Ask("alive " + std::to_string(kPromptMs) + " 0");
  EXPECT_EQ(0, closed.result) << probe_->Output();

  // A device that is gone cannot be opened, and the slot stays free.
  if (c.vanish == Vanish::kDeviceGone) {
    const Reply refused = probe_->Ask("open " + std::to_string(Com()) + " 9600");
    EXPECT_EQ(-11, refused.result) << probe_->Output();
    ASSERT_EQ(2u, refused.more.size());
    EXPECT_EQ(-1, refused.more[0]);
  }

  // The far side comes back: the same port opens in the same slot and works.
  Pty second;
  ASSERT_TRUE(second.IsOpen());
  ASSERT_TRUE(PointLinkAt(second.SlavePath()));
  OpenChannel();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(second.Write("k"));
  const Reply back = probe_->Ask("readbyte 5000");
  EXPECT_EQ(0, back.result) << probe_->Output();
  EXPECT_EQ(std::vector<long>{'k'}, back.more);
  EXPECT_EQ(0, probe_->Ask("send 3").result);
  EXPECT_EQ("abc", second.Read(3, 5000));
  EXPECT_EQ(0, probe_->Ask("close").result);
}

// The line goes and the channel is closed at once, while its watcher may be
// ending by itself: the two meet in every order as the pause between them
// grows, and the close always works and leaves no thread behind.
using LineGoneAtCloseTest = ProbeTest;

TEST_F(LineGoneAtCloseTest, CloseRightAfterTheLineGoesWorksWhateverTheWatcherIsDoing) {
  for (int round = 0; round < 30; ++round) {
    Pty pty;
    ASSERT_TRUE(pty.IsOpen());
    ASSERT_TRUE(PointLinkAt(pty.SlavePath()));
    OpenChannel();
    if (HasFatalFailure()) return;
    pty.Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 10));
    const Reply close = probe_->Ask("close");
    ASSERT_TRUE(close.ok) << "round " << round << ": no answer\n" << probe_->Output();
    EXPECT_EQ(0, close.result) << "round " << round;
    EXPECT_LT(close.ms, kPromptMs) << "round " << round;
    EXPECT_EQ(0, probe_->Ask("alive " + std::to_string(kPromptMs) + " 0").result)
        << "round " << round;
  }
}

const std::string kWait = std::to_string(kReadTimeoutMs);

INSTANTIATE_TEST_SUITE_P(
    EachWaitingCall, LineVanishTest,
    ::testing::Values(
        Case{"ReadByte", "readbyte " + kWait, {-1}, Vanish::kHangUp},
        Case{"ReadBlock", "readblock " + kWait + " 8", {-1}, Vanish::kHangUp},
        Case{"ReadBlockEob", "eob " + kWait + " 13", {0}, Vanish::kHangUp},
        Case{"ReadBlockLength", "length " + kWait + " 8", {0}, Vanish::kHangUp},
        Case{"SendBlock", "send " + std::to_string(kLongWrite), {-1}, Vanish::kHangUp},
        Case{"Idle", "", {}, Vanish::kHangUp},
        Case{"ReadByte", "readbyte " + kWait, {-1}, Vanish::kDeviceGone},
        Case{"ReadBlock", "readblock " + kWait + " 8", {-1}, Vanish::kDeviceGone},
        Case{"SendBlock", "send " + std::to_string(kLongWrite), {-1}, Vanish::kDeviceGone},
        Case{"Idle", "", {}, Vanish::kDeviceGone}),
    Describe);

}  // namespace
