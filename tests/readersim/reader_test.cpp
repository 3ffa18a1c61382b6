// The reader's command handling, faults on the wire, resynchronisation,
// card arrivals and control lines, all on a simulated clock.
#include <gtest/gtest.h>

#include "readersim/control.h"
#include "readersim/reader.h"

namespace readersim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes cmd(uint8_t code, Bytes data = {}) { return encode(Frame{code, std::move(data)}); }
Bytes reply(uint8_t status, Bytes data = {}) { return encode(Frame{status, std::move(data)}); }

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    r.slot[0].present = true;
    r.slot[1].present = true;
    reader_start(r, now);
  }

  // Feeds bytes at the current time; returns everything sent, in order.
  Bytes feed(const Bytes& bytes) {
    Output out;
    reader_feed(r, bytes.data(), bytes.size(), now, out);
    return collect(out);
  }
  Bytes tick() {
    Output out;
    reader_tick(r, now, out);
    return collect(out);
  }
  Bytes collect(const Output& out) {
    Bytes all;
    for (const Send& s : out.sends) {
      last_at = s.at_ms;
      all.insert(all.end(), s.bytes.begin(), s.bytes.end());
    }
    return all;
  }
  void control(const std::string& line) {
    const ControlResult c = run_control(r, line, now);
    ASSERT_TRUE(c.ok) << c.message;
  }

  Reader r;
  int64_t now = 1000;
  int64_t last_at = -1;
};

// --- commands ---

TEST_F(ReaderTest, VersionStatusEcho) {
  r.config.version = {1, 5};
  EXPECT_EQ(feed({0x04, 0x00, 0x00, 0x41, 0xC1}), reply(0x00, {0x01, 0x05}));
  r.config.version = {0x01};
  EXPECT_EQ(feed({0x04, 0x00, 0x00, 0x41, 0xC1}), reply(0x00, {0x01}));
  EXPECT_EQ(feed(cmd(0x01)), reply(0x00, {0x01, 0x01}));
  slot_remove(r, 0, now);
  EXPECT_EQ(feed(cmd(0x01)), reply(0x00, {0x00, 0x01}));
  EXPECT_EQ(feed(cmd(0x3F, {1, 2, 3, 0xFF})), reply(0x00, {1, 2, 3, 0xFF}));
}

TEST_F(ReaderTest, PowerUpApduPowerDownBothSlots) {
  r.slot[1].atr = {0x3B, 0x00, 0x11};
  for (int s = 0; s < 2; ++s) {
    const uint8_t base = s ? 0x80 : 0x40;
    const Bytes get = {0x00, 0xC0, 0x00, 0x00, 0x1C};
    EXPECT_EQ(feed(cmd(base | 3, get)), reply(0x00, {0x69, 0x85})) << s;
    EXPECT_EQ(feed(cmd(base | 1)), reply(0x00, r.slot[s].atr)) << s;
    const Bytes a = feed(cmd(base | 3, get));
    ASSERT_EQ(a.size(), 5u + 30u) << s;
    EXPECT_EQ(a[2], 30);
    EXPECT_EQ(a[3 + 28], 0x90);
    EXPECT_EQ(feed(cmd(base | 2, {0x00, 0xA4, 0x04, 0x00, 0x01, 0x3F})), reply(0x00, {0x90, 0x00}));
    EXPECT_EQ(feed(cmd(base | 2, {0x00, 0x12, 0x00, 0x00, 0x00})), reply(0x00, {0x6D, 0x00}));
    EXPECT_EQ(feed(cmd(base | 4)), reply(0x00));
    EXPECT_EQ(feed(cmd(base | 3, get)), reply(0x00, {0x69, 0x85})) << s;
    EXPECT_TRUE(r.slot[s].present);
  }
}

TEST_F(ReaderTest, EmptySlot) {
  slot_remove(r, 1, now);
  EXPECT_EQ(feed(cmd(0x81)), reply(0x01));
  EXPECT_EQ(feed(cmd(0x83, {0x00, 0xC0, 0x00, 0x00, 0x1C})), reply(0x00, {0x6F, 0x00}));
}

TEST_F(ReaderTest, PowerDownRemoves) {
  r.config.remove_on_power_down = true;
  feed(cmd(0x41));
  EXPECT_EQ(feed(cmd(0x44)), reply(0x00));
  EXPECT_FALSE(r.slot[0].present);
  EXPECT_EQ(feed(cmd(0x01)), reply(0x00, {0x00, 0x01}));
  EXPECT_EQ(feed(cmd(0x41)), reply(0x01));
}

TEST_F(ReaderTest, UnknownCommandAndBadCrcNak) {
  EXPECT_EQ(feed(cmd(0x05)), Bytes{0xFF});
  EXPECT_EQ(feed(cmd(0x45)), Bytes{0xFF});
  EXPECT_EQ(feed({0x04, 0x00, 0x00, 0xC1, 0x41}), Bytes{0xFF});
}

TEST_F(ReaderTest, SeveralFramesInOneRead) {
  Bytes both = cmd(0x04);
  const Bytes echo = cmd(0x3F, {9});
  both.insert(both.end(), echo.begin(), echo.end());
  Bytes want = reply(0x00, {1, 0});
  const Bytes e = reply(0x00, {9});
  want.insert(want.end(), e.begin(), e.end());
  EXPECT_EQ(feed(both), want);
}

TEST_F(ReaderTest, FrameSplitAcrossReads) {
  const Bytes f = cmd(0x3F, Bytes(300, 0x77));
  for (size_t i = 0; i + 1 < f.size(); ++i) {
    ASSERT_TRUE(feed({f[i]}).empty()) << i;
    now += 1;
  }
  EXPECT_EQ(feed({f.back()}), reply(0x00, Bytes(300, 0x77)));
}

TEST_F(ReaderTest, LongestEcho) {
  const Bytes data(65535, 0x5A);
  EXPECT_EQ(feed(cmd(0x3F, data)), reply(0x00, data));
}

// --- faults on the wire ---

TEST_F(ReaderTest, FaultNak) {
  control("fault nak");
  EXPECT_EQ(feed(cmd(0x04)), Bytes{0xFF});
  EXPECT_EQ(feed(cmd(0x04)), Bytes{0xFF});
}

TEST_F(ReaderTest, FaultCrcSwapsBytes) {
  control("fault crc once");
  Bytes want = reply(0x00, {1, 0});
  std::swap(want[5], want[6]);
  ASSERT_NE(want[5], want[6]);
  EXPECT_EQ(feed(cmd(0x04)), want);
  EXPECT_EQ(feed(cmd(0x04)), reply(0x00, {1, 0}));
}

TEST_F(ReaderTest, FaultCrcAlwaysBreaksFrame) {
  // Whatever the answer, the faulted frame must fail the host's CRC check.
  control("fault crc");
  for (int i = 0; i < 300; ++i) {
    const Bytes a = feed(cmd(0x3F, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)}));
    EXPECT_EQ(decode(a.data(), a.size()).status, Decode::kBadCrc) << i;
  }
}

TEST_F(ReaderTest, FaultSilentCutGarbageLong) {
  const Bytes full = reply(0x00, {1, 0});
  control("fault silent once");
  EXPECT_TRUE(feed(cmd(0x04)).empty());
  control("fault cut once");
  EXPECT_EQ(feed(cmd(0x04)), Bytes(full.begin(), full.begin() + 3));
  control("fault garbage once");
  Bytes g = kGarbageBytes;
  g.insert(g.end(), full.begin(), full.end());
  EXPECT_EQ(feed(cmd(0x04)), g);
  EXPECT_NE(g[0], 0x00);  // the host takes the first junk byte as the status
  control("fault long once");
  EXPECT_EQ(feed(cmd(0x04)), (Bytes{0x00, 0x08, 0x01}));
  EXPECT_EQ(feed(cmd(0x04)), full);
}

TEST_F(ReaderTest, FaultDelay) {
  control("fault delay 6000 once");
  EXPECT_EQ(feed(cmd(0x04)), reply(0x00, {1, 0}));
  EXPECT_EQ(last_at, now + 6000);
  feed(cmd(0x04));
  EXPECT_EQ(last_at, now);
  control("fault slow");
  feed(cmd(0x04));
  EXPECT_GT(last_at, now + 5000);
}

TEST_F(ReaderTest, FaultEveryThird) {
  control("fault nak every 3");
  std::vector<bool> nak;
  for (int i = 0; i < 7; ++i) nak.push_back(feed(cmd(0x04)) == Bytes{0xFF});
  EXPECT_EQ(nak, (std::vector<bool>{false, false, true, false, false, true, false}));
  control("fault off");
  EXPECT_EQ(feed(cmd(0x04)), reply(0x00, {1, 0}));
}

// The kinds a random fault chose for `count` echo answers, in order
// (kNone for an answer left alone).
std::vector<FaultKind> random_run(Reader& r, int count, int64_t now) {
  std::vector<FaultKind> kinds;
  for (int i = 0; i < count; ++i) {
    Output out;
    const Bytes frame = cmd(0x3F, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
    reader_feed(r, frame.data(), frame.size(), now, out);
    EXPECT_EQ(out.sends.size(), 1u);
    if (out.sends.empty()) return kinds;
    const Send& s = out.sends[0];
    kinds.push_back(s.fault);
    // Each drawn kind shapes the answer as the fixed fault of that kind does.
    const Bytes good = reply(0x00, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
    switch (s.fault) {
      case FaultKind::kNone:
        EXPECT_EQ(s.bytes, good);
        break;
      case FaultKind::kNak:
        EXPECT_EQ(s.bytes, Bytes{0xFF});
        break;
      case FaultKind::kCrc:
        EXPECT_EQ(decode(s.bytes.data(), s.bytes.size()).status, Decode::kBadCrc);
        break;
      case FaultKind::kSilent:
        EXPECT_TRUE(s.bytes.empty());
        break;
      case FaultKind::kCut:
        EXPECT_EQ(s.bytes, Bytes(good.begin(), good.begin() + 3));
        break;
      case FaultKind::kGarbage:
        EXPECT_EQ(Bytes(s.bytes.begin(), s.bytes.begin() + 3), kGarbageBytes);
        break;
      case FaultKind::kLong:
        EXPECT_EQ(s.bytes, (Bytes{0x00, 0x08, 0x01}));
        break;
      default:
        ADD_FAILURE() << "a random fault drew " << fault_name(s.fault);
    }
  }
  return kinds;
}

TEST_F(ReaderTest, FaultRandomRateKindsAndSeed) {
  control("fault random 10% seed 7");
  const std::vector<FaultKind> first = random_run(r, 3000, now);
  int faulted = 0;
  int per_kind[6] = {};
  for (FaultKind k : first) {
    if (k == FaultKind::kNone) continue;
    ++faulted;
    for (int i = 0; i < 6; ++i) per_kind[i] += k == kRandomKinds[i];
  }
  // 300 expected; five standard deviations (16.4) either way.
  EXPECT_GT(faulted, 218);
  EXPECT_LT(faulted, 382);
  for (int i = 0; i < 6; ++i) EXPECT_GT(per_kind[i], 20) << fault_name(kRandomKinds[i]);
  // The random fault stays set; the same seed set again replays the run.
  EXPECT_EQ(r.fault.kind, FaultKind::kRandom);
  control("fault random 10% seed 7");
  EXPECT_EQ(random_run(r, 3000, now), first);
  control("fault random 10% seed 8");
  EXPECT_NE(random_run(r, 3000, now), first);
}

TEST_F(ReaderTest, FaultRandomAtItsBounds) {
  control("fault random 100%");
  for (FaultKind k : random_run(r, 50, now)) EXPECT_NE(k, FaultKind::kNone);
  control("fault random 0.01%");
  int faulted = 0;
  for (FaultKind k : random_run(r, 2000, now)) faulted += k != FaultKind::kNone;
  EXPECT_LT(faulted, 6);
  // Bad frames still get their plain NAK.
  control("fault random 100%");
  Bytes bad = cmd(0x04);
  bad.back() ^= 1;
  Output out;
  reader_feed(r, bad.data(), bad.size(), now, out);
  ASSERT_EQ(out.sends.size(), 1u);
  EXPECT_EQ(out.sends[0].bytes, Bytes{0xFF});
  EXPECT_EQ(out.sends[0].fault, FaultKind::kNone);
}

TEST_F(ReaderTest, FaultLeavesNakForBadFrameAlone) {
  control("fault garbage");
  EXPECT_EQ(feed(cmd(0x07)), Bytes{0xFF});
}

// --- resynchronisation ---

TEST_F(ReaderTest, GarbageThenQuietThenFrame) {
  // Junk whose "length" claims more than follows: it waits, is abandoned
  // after the frame gap, and the next frame is answered normally.
  EXPECT_TRUE(feed({0x99, 0x12, 0x34, 0x56}).empty());
  now += kFrameGapMs;
  EXPECT_TRUE(tick().empty());
  EXPECT_TRUE(r.in.empty());
  now += 1;
  EXPECT_EQ(feed(cmd(0x04)), reply(0x00, {1, 0}));
}

TEST_F(ReaderTest, GarbageGluedToFrame) {
  // Junk and a frame in one burst: the junk swallows the frame into its
  // claimed length; once the line is quiet the frame is found inside.
  Bytes burst = {0x42, 0x00};
  const Bytes v = cmd(0x04);
  burst.insert(burst.end(), v.begin(), v.end());
  EXPECT_TRUE(feed(burst).empty());
  now += kFrameGapMs;
  EXPECT_EQ(tick(), reply(0x00, {1, 0}));
  EXPECT_TRUE(r.in.empty());
}

TEST_F(ReaderTest, BadCrcLeftoversDiscarded) {
  // A frame whose length byte was hit: it ends early with a bad CRC, and the
  // rest of it must not be read as frames of its own, even where a piece of
  // its data looks like one (here 04 00 00 41 C1).
  Bytes f = cmd(0x3F, {0x04, 0x00, 0x00, 0x41, 0xC1, 0x01, 0x00, 0x00});
  f[2] = 0x01;
  EXPECT_EQ(feed(f), Bytes{0xFF});
  now += kQuietGapMs;
  EXPECT_TRUE(tick().empty());
  EXPECT_FALSE(r.hunting);
  EXPECT_EQ(feed(cmd(0x01)), reply(0x00, {1, 1}));
}

TEST_F(ReaderTest, BadCrcLeftoversInLaterReadDiscarded) {
  EXPECT_EQ(feed({0x3F, 0x00, 0x01, 0x10, 0x00, 0x00}), Bytes{0xFF});
  now += 5;
  EXPECT_TRUE(feed({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}).empty());
  now += kQuietGapMs;
  EXPECT_TRUE(tick().empty());
  EXPECT_TRUE(r.in.empty());
  EXPECT_EQ(feed(cmd(0x04)), reply(0x00, {1, 0}));
}

TEST_F(ReaderTest, RetryRightAfterNakIsAnswered) {
  EXPECT_EQ(feed({0x04, 0x00, 0x00, 0xC1, 0x41, 0x13}), Bytes{0xFF});
  now += 1;  // well inside the quiet gap
  EXPECT_EQ(feed(cmd(0x04)), reply(0x00, {1, 0}));
  EXPECT_FALSE(r.hunting);
}

TEST_F(ReaderTest, CutShortFrameThenNext) {
  const Bytes f = cmd(0x42, {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00});
  EXPECT_TRUE(feed(Bytes(f.begin(), f.begin() + 6)).empty());
  now += kFrameGapMs - 1;
  EXPECT_TRUE(tick().empty());
  EXPECT_FALSE(r.in.empty());
  now += 1;
  EXPECT_TRUE(tick().empty());
  EXPECT_TRUE(r.in.empty());
  EXPECT_EQ(feed(cmd(0x04)), reply(0x00, {1, 0}));
}

TEST_F(ReaderTest, HugeClaimedLengthNoOverflow) {
  EXPECT_TRUE(feed({0x3F, 0xFF, 0xFF, 0x00}).empty());
  EXPECT_EQ(reader_deadline(r), now + kFrameGapMs);
  now += kFrameGapMs;
  tick();
  EXPECT_TRUE(r.in.empty());
  EXPECT_EQ(reader_deadline(r), -1);
}

TEST_F(ReaderTest, NoiseNeverWedges) {
  // Pseudo-random bytes in random chunks, with gaps; afterwards the reader
  // must answer a clean frame.
  uint32_t x = 12345;
  for (int round = 0; round < 200; ++round) {
    Bytes chunk;
    const int n = 1 + static_cast<int>((x >> 8) % 64);
    for (int i = 0; i < n; ++i) {
      x = x * 1103515245 + 12345;
      chunk.push_back(static_cast<uint8_t>(x >> 16));
    }
    feed(chunk);
    now += (x >> 4) % 3 == 0 ? kFrameGapMs : 1;
    tick();
  }
  now += kFrameGapMs;
  tick();
  now += kFrameGapMs;
  tick();
  EXPECT_EQ(feed(cmd(0x04)), reply(0x00, {1, 0}));
}

// --- card arrivals ---

TEST_F(ReaderTest, InsertAfter) {
  r.config.insert_after_ms = 500;
  r.config.remove_on_power_down = true;
  feed(cmd(0x44));
  EXPECT_EQ(feed(cmd(0x01)), reply(0x00, {0, 1}));
  EXPECT_EQ(reader_deadline(r), now + 500);
  now += 499;
  tick();
  EXPECT_EQ(feed(cmd(0x01)), reply(0x00, {0, 1}));
  now += 1;
  tick();
  EXPECT_EQ(feed(cmd(0x01)), reply(0x00, {1, 1}));
  EXPECT_FALSE(r.slot[0].powered);
}

TEST_F(ReaderTest, InsertAfterAtStart) {
  Reader fresh;
  fresh.config.insert_after_ms = 100;
  fresh.slot[0].present = true;
  reader_start(fresh, 0);
  EXPECT_EQ(fresh.insert_due_ms[0], -1);
  EXPECT_EQ(fresh.insert_due_ms[1], 100);
}

// --- control lines ---

TEST_F(ReaderTest, ControlInsertRemoveAtr) {
  control("remove 1");
  EXPECT_FALSE(r.slot[1].present);
  control("insert 1");
  EXPECT_TRUE(r.slot[1].present);
  control("atr 0 3B:9F:01");
  EXPECT_EQ(feed(cmd(0x41)), reply(0x00, {0x3B, 0x9F, 0x01}));
  control("atr 1 3B 02 14 51");
  EXPECT_EQ(r.slot[1].atr, (Bytes{0x3B, 0x02, 0x14, 0x51}));
}

TEST_F(ReaderTest, ControlCardKindAndPowerCycle) {
  const Bytes select = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00};
  const Bytes read = {0x00, 0xB0, 0x00, 0x00, 0x02};
  control("card 1 iso");
  feed(cmd(0x81));
  EXPECT_EQ(feed(cmd(0x82, select)), reply(0x00, {0x61, 0x10}));
  EXPECT_EQ(feed(cmd(0x83, read)), reply(0x00, {0x61, 0x1B, 0x90, 0x00}));  // the EF.DIR's start
  // A power cycle makes the MF current again and drops the waiting FCP.
  EXPECT_EQ(feed(cmd(0x82, select)), reply(0x00, {0x61, 0x10}));
  feed(cmd(0x84));
  feed(cmd(0x81));
  EXPECT_EQ(feed(cmd(0x83, {0x00, 0xC0, 0x00, 0x00, 0x10})), reply(0x00, {0x69, 0x85}));
  EXPECT_EQ(feed(cmd(0x83, read)), reply(0x00, {0x69, 0x86}));
  control("card 1 default");
  EXPECT_EQ(feed(cmd(0x82, select)), reply(0x00, {0x90, 0x00}));
}

TEST(Control, Errors) {
  Reader r;
  for (const char* bad : {"insert",
                          "insert 2",
                          "remove x",
                          "atr 0",
                          "atr 0 3B0",
                          "atr 0 zz",
                          "card 0",
                          "card 2 iso",
                          "card 0 bogus",
                          "fault",
                          "fault bogus",
                          "fault nak every",
                          "fault nak every 0",
                          "fault delay",
                          "fault delay 10 twice",
                          "fault off now",
                          "quit now",
                          "frobnicate",
                          "fault random",
                          "fault random 0",
                          "fault random 0%",
                          "fault random 101%",
                          "fault random 100.5",
                          "fault random 1.23456",
                          "fault random .5",
                          "fault random 1.%",
                          "fault random x%",
                          "fault random 1% seed",
                          "fault random 1% seed x",
                          "fault random 1% once",
                          "fault random 1% seed 7 every 2"}) {
    const ControlResult c = run_control(r, bad, 0);
    EXPECT_FALSE(c.ok) << bad;
    EXPECT_EQ(c.message.rfind("error: ", 0), 0u) << bad;
  }
  EXPECT_EQ(r.fault.kind, FaultKind::kNone);
  EXPECT_TRUE(run_control(r, "quit", 0).quit);
}

TEST(Control, FaultWords) {
  Fault f;
  std::string error;
  ASSERT_TRUE(parse_fault({"delay", "6000", "once"}, f, error)) << error;
  EXPECT_EQ(f.kind, FaultKind::kDelay);
  EXPECT_EQ(f.delay_ms, 6000);
  EXPECT_TRUE(f.once);
  ASSERT_TRUE(parse_fault({"cut", "every", "4"}, f, error)) << error;
  EXPECT_EQ(f.kind, FaultKind::kCut);
  EXPECT_EQ(f.every, 4);
  EXPECT_FALSE(f.once);
  ASSERT_TRUE(parse_fault({"random", "1%", "seed", "7"}, f, error)) << error;
  EXPECT_EQ(f.kind, FaultKind::kRandom);
  EXPECT_EQ(f.rate, kRateScale / 100);
  EXPECT_EQ(f.seed, 7u);
  EXPECT_EQ(f.state, 7u);
  ASSERT_TRUE(parse_fault({"random", "0.25"}, f, error)) << error;
  EXPECT_EQ(f.rate, kRateScale / 400);
  EXPECT_EQ(f.seed, 1u);
  ASSERT_TRUE(parse_fault({"random", "100%"}, f, error)) << error;
  EXPECT_EQ(f.rate, kRateScale);
  ASSERT_TRUE(parse_fault({"random", "0.0001%"}, f, error)) << error;
  EXPECT_EQ(f.rate, 1);
}

TEST(Control, FaultRandomAcknowledged) {
  Reader r;
  EXPECT_EQ(run_control(r, "fault random 1% seed 7", 0).message, "ok: fault random 1% seed 7");
  EXPECT_EQ(run_control(r, "fault random 0.250", 0).message, "ok: fault random 0.25% seed 1");
  EXPECT_EQ(run_control(r, "fault random 12.0501%", 0).message, "ok: fault random 12.0501% seed 1");
  EXPECT_EQ(r.fault.kind, FaultKind::kRandom);
  EXPECT_EQ(run_control(r, "fault off", 0).message, "ok: fault off");
  EXPECT_EQ(r.fault.kind, FaultKind::kNone);
}

}  // namespace
}  // namespace readersim
