// The transmit queue: pacing and ordering, on explicit times.
#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

#include "readersim/line.h"

namespace readersim {
namespace {

TEST(Line, ByteTime) {
  EXPECT_EQ(byte_time_ns(9600), 1041667);
  EXPECT_EQ(byte_time_ns(921600), 10851);
}

TEST(Line, UnpacedGoesAtOnce) {
  PacedQueue tx;
  paced_push(tx, 100, {1, 2, 3});
  EXPECT_EQ(tx.due_us, (std::deque<int64_t>{100, 100, 100}));
}

TEST(Line, PacedFractionalByteTimesAddUp) {
  PacedQueue tx;
  tx.byte_ns = 10851;
  paced_push(tx, 0, std::vector<uint8_t>(100, 0));
  EXPECT_EQ(tx.due_us.front(), 11);
  EXPECT_EQ(tx.due_us.back(), 1086);  // 100 x 10.851 us, not 100 x 11
}

TEST(Line, PacedBytesSpacedAndBackToBack) {
  PacedQueue tx;
  tx.byte_ns = 1000000;
  paced_push(tx, 0, {1, 2});
  paced_push(tx, 500, {3});  // the line is still busy with the first answer
  EXPECT_EQ(tx.due_us, (std::deque<int64_t>{1000, 2000, 3000}));
}

TEST(Line, DelayedAnswerHoldsBackLaterOnes) {
  PacedQueue tx;
  paced_push(tx, 6000, {1});
  paced_push(tx, 10, {2});
  EXPECT_EQ(tx.due_us, (std::deque<int64_t>{6000, 6000}));
}

TEST(Line, WritesOnlyDueBytes) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  Fd rd(p[0]), wr(p[1]);
  PacedQueue tx;
  tx.byte_ns = 10000;
  paced_push(tx, 0, {0xA1, 0xA2, 0xA3});
  std::string error;
  ASSERT_TRUE(tx_write(tx, wr.get(), 25, error)) << error;
  uint8_t buf[8];
  ASSERT_EQ(::read(rd.get(), buf, sizeof buf), 2);
  EXPECT_EQ(buf[1], 0xA2);
  EXPECT_EQ(paced_next_due(tx), 30);
  ASSERT_TRUE(tx_write(tx, wr.get(), 30, error));
  ASSERT_EQ(::read(rd.get(), buf, sizeof buf), 1);
  EXPECT_EQ(buf[0], 0xA3);
  EXPECT_EQ(paced_next_due(tx), -1);
}

TEST(Line, PacedCommandArrivesAtItsLastByte) {
  PacedQueue rx;
  rx.byte_ns = 100000;
  paced_push(rx, 1000, {1, 2, 3});  // a pty delivers the whole frame at once
  std::vector<uint8_t> arrived;
  int64_t last_due = -1;
  EXPECT_EQ(paced_take(rx, 1199, arrived, last_due), 1u);
  EXPECT_EQ(last_due, 1100);
  EXPECT_EQ(paced_next_due(rx), 1200);
  EXPECT_EQ(paced_take(rx, 1350, arrived, last_due), 2u);
  EXPECT_EQ(last_due, 1300);
  EXPECT_EQ(arrived, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(paced_next_due(rx), -1);
}

TEST(Line, FdOwnership) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  {
    Fd a(p[0]);
    Fd b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_TRUE(b);
  }
  Fd w(p[1]);
  // The read end is closed: writing now fails (SIGPIPE is ignored here).
  signal(SIGPIPE, SIG_IGN);
  EXPECT_LT(::write(w.get(), "x", 1), 0);
}

}  // namespace
}  // namespace readersim
