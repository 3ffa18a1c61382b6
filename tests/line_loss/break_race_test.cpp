// The break event racing the calls it interrupts: set from another thread at
// a random moment before, during or after a byte read, a block read (by
// count, by end character, by length) or a delay, while the far end may send
// the bytes the read waits for at another random moment. Every call must end
// with one of its own results, in no more than its time-out and a margin;
// a break that ended a call must have been reset by it, and one that came
// too late to end it must still be set. After each read a marker byte from
// the far end must be the next byte read: no aborted read is left pending to
// take it.
//
//   break_race_tests [--iterations N]     (LINE_LOSS_RACE_ITERATIONS wins)
//
// The seed is printed; LINE_LOSS_RACE_SEED repeats a run. The port is
// LINE_LOSS_PORT, with its far end at the bed's far<N> (on_bed_pair.sh).
// Under Windows the calls go to serchan32.dll; natively the library's code is
// linked in (CMakeLists.txt says why).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "serchan32/serchan32.h"
#include "tests/support/far_end.h"
#include "tests/support/test_platform.h"
#if defined(LINE_LOSS_LIBRARY_LINKED_IN)
#include "serchan32/channel_table.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

const unsigned kShortestTimeoutMs = 3;
const unsigned kLongestTimeoutMs = 20;
const unsigned kInterByteMs = 50;  // the library's inter-byte time-out
// What a call may take beyond its time-out, and a break beyond its setting.
const double kMarginMs = 1000;
// A call that takes this much longer than it may is taken as hung.
const long long kHangMs = 10000;
const BYTE kEndOfBlock = '\r';

int g_iterations = 1000;

enum Op { kReadByte, kReadBlock, kReadEob, kReadLength, kDelay, kOpCount };
const char* const kOpNames[kOpCount] = {"ReadByte", "ReadBlock", "ReadBlock_EOB",
                                        "ReadBlock_Length", "Delay"};

enum Outcome { kBroken, kTimedOut, kRead, kOutcomeCount };

// One iteration, drawn from the seed.
struct Plan {
  Op op;
  unsigned timeoutMs;
  double breakAtMs;  // from the call's planned start; before it when negative
  unsigned bytes;    // that the far end sends during the call; 0 for none
  double bytesAtMs;
};

Plan Draw(std::mt19937& random) {
  Plan plan = {};
  plan.op = static_cast<Op>(std::uniform_int_distribution<int>(0, kOpCount - 1)(random));
  plan.timeoutMs =
      std::uniform_int_distribution<unsigned>(kShortestTimeoutMs, kLongestTimeoutMs)(random);
  const double t = plan.timeoutMs;
  plan.breakAtMs = std::uniform_real_distribution<double>(-0.2 * t, 1.2 * t)(random);
  if (plan.op != kDelay && std::bernoulli_distribution(0.5)(random)) {
    plan.bytes = plan.op == kReadByte ? 1 : std::uniform_int_distribution<unsigned>(1, 3)(random);
    plan.bytesAtMs = std::uniform_real_distribution<double>(0, 1.2 * t)(random);
  }
  return plan;
}

// The bytes of a plan: letters, the last one the end character for an
// end-of-block read.
std::vector<BYTE> BytesOf(const Plan& plan) {
  std::vector<BYTE> bytes;
  for (unsigned i = 0; i < plan.bytes; ++i) bytes.push_back(static_cast<BYTE>('a' + i));
  if (plan.op == kReadEob && !bytes.empty()) bytes.back() = kEndOfBlock;
  return bytes;
}

// The documented results: a call the break ended, one that ran its time
// out, and a read that got its bytes.
int BrokenResult(Op op) { return op == kReadEob || op == kReadLength ? 0 : -1; }
int TimedOutResult(Op op) { return op == kDelay ? 0 : BrokenResult(op); }
int ReadResult(const Plan& plan) { return plan.op == kReadByte ? 0 : static_cast<int>(plan.bytes); }

int Call(int index, const Plan& plan, BYTE* buffer) {
  switch (plan.op) {
    case kReadByte:
      return XRT_M_Comm_ReadByte(index, buffer, plan.timeoutMs);
    case kReadBlock:
      return XRT_M_Comm_ReadBlock(index, buffer, plan.timeoutMs, std::max(plan.bytes, 1u));
    case kReadEob:
      return XRT_M_Comm_ReadBlock_EOB(index, buffer, plan.timeoutMs, kEndOfBlock);
    case kReadLength:
      return XRT_M_Comm_ReadBlock_Length(index, buffer, plan.timeoutMs, std::max(plan.bytes, 1u));
    default:
      return XRT_M_Comm_Delay(index, plan.timeoutMs);
  }
}

double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

Clock::time_point After(Clock::time_point start, double ms) {
  return start + std::chrono::microseconds(static_cast<long long>(ms * 1000));
}

// The other thread: the break and the bytes, each at its moment, in order.
// setAtMs is when the break was about to be set.
void Disturb(const Plan& plan, Clock::time_point start, void* breakEvent, FarEnd& farEnd,
             const std::vector<BYTE>& bytes, double& setAtMs) {
  const bool breakFirst = bytes.empty() || plan.breakAtMs <= plan.bytesAtMs;
  for (int step = 0; step < 2; ++step) {
    if ((step == 0) == breakFirst) {
      std::this_thread::sleep_until(After(start, plan.breakAtMs));
      setAtMs = MsBetween(start, Clock::now());
      SetExportedEvent(breakEvent);
    } else if (!bytes.empty()) {
      std::this_thread::sleep_until(After(start, plan.bytesAtMs));
      farEnd.Write(bytes);
    }
  }
}

// Ends the process when a call outlives its deadline: a hang must not wait
// for the test's own time-out to be seen.
class HangGuard {
 public:
  HangGuard() : thread_([this] { Watch(); }) {}
  ~HangGuard() {
    stop_ = true;
    thread_.join();
  }
  HangGuard(const HangGuard&) = delete;
  HangGuard& operator=(const HangGuard&) = delete;

  void Arm(long long ms, const std::string& what) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      what_ = what;
    }
    deadline_ = NowMs() + ms;
  }
  void Disarm() { deadline_ = 0; }

 private:
  static long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
  }
  void Watch() {
    while (!stop_) {
      const long long deadline = deadline_;
      if (deadline != 0 && NowMs() > deadline) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::printf("HANG: %s did not return\n", what_.c_str());
        std::fflush(stdout);
        std::_Exit(3);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<long long> deadline_{0};
  std::mutex mutex_;
  std::string what_;
  std::thread thread_;
};

struct Tally {
  int outcomes[kOpCount][kOutcomeCount] = {};
  int breakBeforeCall[kOpCount] = {};
  int breakAfterReturn[kOpCount] = {};  // too late to end the call: still set after it
  double worstOverTimeoutMs[kOpCount] = {};
  double worstBreakLatencyMs[kOpCount] = {};
  int leftoverBytes = 0;
  int violations = 0;
  std::vector<std::string> firstViolations;

  void Violation(int iteration, const Plan& plan, const std::string& what) {
    ++violations;
    if (firstViolations.size() >= 20) return;
    char text[256];
    std::snprintf(text, sizeof text,
                  "iteration %d, %s T=%u ms break at %.1f, %u bytes at %.1f: ", iteration,
                  kOpNames[plan.op], plan.timeoutMs, plan.breakAtMs, plan.bytes, plan.bytesAtMs);
    firstViolations.push_back(text + what);
  }

  void Print(unsigned seed, int iterations) const {
    std::printf("break race: seed %u, %d iterations, time-outs %u..%u ms\n", seed, iterations,
                kShortestTimeoutMs, kLongestTimeoutMs);
    std::printf("%-17s %6s %9s %6s %12s %12s %16s %14s\n", "call", "broken", "timed-out", "read",
                "set-before", "set-after", "worst-over-T-ms", "worst-break-ms");
    for (int op = 0; op < kOpCount; ++op) {
      std::printf("%-17s %6d %9d %6d %12d %12d %16.1f %14.1f\n", kOpNames[op],
                  outcomes[op][kBroken], outcomes[op][kTimedOut], outcomes[op][kRead],
                  breakBeforeCall[op], breakAfterReturn[op], worstOverTimeoutMs[op],
                  worstBreakLatencyMs[op]);
    }
    std::printf("bytes discarded with a break or left after a time-out: %d\n", leftoverBytes);
    std::printf("violations: %d\n", violations);
    std::fflush(stdout);
  }
};

unsigned SeedOfThisRun() {
  if (const char* seed = std::getenv("LINE_LOSS_RACE_SEED")) {
    return static_cast<unsigned>(std::strtoul(seed, nullptr, 10));
  }
  return static_cast<unsigned>(Clock::now().time_since_epoch().count() ^
                               (Clock::now().time_since_epoch().count() >> 32));
}

int PortOfThisRun() {
  const char* port = std::getenv("LINE_LOSS_PORT");
  return port != nullptr ? std::atoi(port) : 0;
}

class BreakRaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(0, PortOfThisRun()) << "LINE_LOSS_PORT names no port";
    far_ = std::make_unique<FarEnd>(PortOfThisRun());
    ASSERT_TRUE(far_->IsOpen()) << "no far end at "
                                << BedPath("far" + std::to_string(PortOfThisRun()));
    ASSERT_EQ(0, XRT_M_Comm_OpenChannel(PortOfThisRun(), 115200, &index_));
    void* event = nullptr;
    ASSERT_EQ(0, XRT_M_Comm_GetBreakEvent(index_, &event));
    breakEvent_ = event;
    // The line carries bytes before the race begins.
    ASSERT_TRUE(far_->Write({'x'}));
    BYTE byte = 0;
    ASSERT_EQ(0, XRT_M_Comm_ReadByte(index_, &byte, 5000));
    ASSERT_EQ('x', byte);
  }
  void TearDown() override { XRT_M_Comm_CloseChannel(index_); }

  // After a read: the far end's marker must be the next byte, after at most
  // the bytes of this iteration that no read took.
  void ExpectMarkerNext(int iteration, const Plan& plan, const std::vector<BYTE>& sent,
                        HangGuard& guard) {
    const BYTE marker = static_cast<BYTE>('0' + iteration % 10);
    far_->Write({marker});
    for (size_t taken = 0; taken <= sent.size(); ++taken) {
      BYTE byte = 0;
      guard.Arm(2000 + kHangMs, "the read of the marker");
      const int result = XRT_M_Comm_ReadByte(index_, &byte, 2000);
      guard.Disarm();
      if (result != 0) {
        tally_.Violation(iteration, plan, "the marker did not come: an aborted read took it?");
        return;
      }
      if (byte == marker) return;
      if (std::find(sent.begin(), sent.end(), byte) == sent.end()) {
        tally_.Violation(iteration, plan, "byte " + std::to_string(byte) + " came from nowhere");
        return;
      }
      ++tally_.leftoverBytes;
    }
    tally_.Violation(iteration, plan, "more bytes than were sent came before the marker");
  }

  // Checks one call's end against its plan and counts it.
  void Judge(int iteration, const Plan& plan, const std::vector<BYTE>& sent, int result,
             const BYTE* buffer, double beganMs, double endedMs, double setAtMs) {
    const Op op = plan.op;
    const double took = endedMs - beganMs;
    const bool consumed = !ExportedEventIsSet(breakEvent_);
    if (setAtMs < beganMs) ++tally_.breakBeforeCall[op];
    double allowed = plan.timeoutMs + kMarginMs;
    if (op == kReadBlock || op == kReadEob || op == kReadLength) allowed += kInterByteMs * 3;
    tally_.worstOverTimeoutMs[op] = std::max(tally_.worstOverTimeoutMs[op], took - plan.timeoutMs);
    if (took > allowed) tally_.Violation(iteration, plan, "took " + std::to_string(took) + " ms");

    if (consumed) {
      const double latency = endedMs - std::max(setAtMs, beganMs);
      tally_.worstBreakLatencyMs[op] = std::max(tally_.worstBreakLatencyMs[op], latency);
      if (result != BrokenResult(op)) {
        tally_.Violation(iteration, plan,
                         "the break was taken, but the result is " + std::to_string(result));
      }
      if (latency > kMarginMs) {
        tally_.Violation(iteration, plan,
                         "ended " + std::to_string(latency) + " ms after the break");
      }
      ++tally_.outcomes[op][kBroken];
      return;
    }
    // The break came too late for this call: it is left set, for the test to reset.
    ++tally_.breakAfterReturn[op];
    ResetExportedEvent(breakEvent_);
    if (!sent.empty() && result == ReadResult(plan)) {
      const bool intact = std::equal(sent.begin(), sent.end(), buffer) &&
                          (op == kReadByte || op == kReadBlock || buffer[sent.size()] == 0);
      if (!intact) tally_.Violation(iteration, plan, "the bytes read are not those sent");
      ++tally_.outcomes[op][kRead];
      return;
    }
    if (result != TimedOutResult(op)) {
      tally_.Violation(iteration, plan, "result " + std::to_string(result) + " without a break");
      return;
    }
    // Time-outs never end early (a millisecond of clock rounding aside).
    if (took < plan.timeoutMs - 1.5) {
      tally_.Violation(iteration, plan,
                       "timed out after " + std::to_string(took) + " ms, without a break");
    }
    ++tally_.outcomes[op][kTimedOut];
  }

  std::unique_ptr<FarEnd> far_;
  int index_ = -1;
  void* breakEvent_ = nullptr;
  Tally tally_;
};

TEST_F(BreakRaceTest, EveryCallEndsWithItsOwnResultAndTheEventAsDocumented) {
  const unsigned seed = SeedOfThisRun();
  std::printf("seed %u (LINE_LOSS_RACE_SEED=%u repeats this run), %d iterations\n", seed, seed,
              g_iterations);
  std::fflush(stdout);
  std::mt19937 random(seed);
  HangGuard guard;
  BYTE buffer[300];
  for (int iteration = 0; iteration < g_iterations; ++iteration) {
    const Plan plan = Draw(random);
    const std::vector<BYTE> sent = BytesOf(plan);
    std::memset(buffer, 0xEE, sizeof buffer);
    // The call starts a little after the other thread, so that a break can
    // also come before it.
    const Clock::time_point start = Clock::now() + std::chrono::milliseconds(5);
    double setAtMs = 0;
    std::thread disturber(Disturb, std::cref(plan), start, breakEvent_, std::ref(*far_),
                          std::cref(sent), std::ref(setAtMs));
    std::this_thread::sleep_until(start);
    guard.Arm(plan.timeoutMs + kHangMs, kOpNames[plan.op]);
    const Clock::time_point began = Clock::now();
    const int result = Call(index_, plan, buffer);
    const Clock::time_point ended = Clock::now();
    guard.Disarm();
    disturber.join();
    Judge(iteration, plan, sent, result, buffer, MsBetween(start, began), MsBetween(start, ended),
          setAtMs);
    if (plan.op != kDelay) ExpectMarkerNext(iteration, plan, sent, guard);
  }
  tally_.Print(seed, g_iterations);
  EXPECT_EQ(0, tally_.violations);
  for (const std::string& violation : tally_.firstViolations) ADD_FAILURE() << violation;
  // Each kind of end came up, so the race was run, not missed.
  for (int op = 0; op < kOpCount; ++op) {
    if (g_iterations < 200) break;
    EXPECT_GT(tally_.outcomes[op][kBroken], 0) << kOpNames[op];
    EXPECT_GT(tally_.outcomes[op][kTimedOut], 0) << kOpNames[op];
    if (op != kDelay) {
      EXPECT_GT(tally_.outcomes[op][kRead], 0) << kOpNames[op];
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--iterations") == 0) g_iterations = std::atoi(argv[i + 1]);
  }
  if (const char* iterations = std::getenv("LINE_LOSS_RACE_ITERATIONS")) {
    g_iterations = std::atoi(iterations);
  }
#if defined(LINE_LOSS_LIBRARY_LINKED_IN)
  // The library's code is part of this program: its load and unload too.
  AttachLibrary(nullptr);
  const int result = RUN_ALL_TESTS();
  DetachLibrary(false);
  return result;
#else
  return RUN_ALL_TESTS();
#endif
}
