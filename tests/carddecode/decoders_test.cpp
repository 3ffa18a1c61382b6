// The ATR decoder over ATRs assembled from their structure, and the status
// word texts by class.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "carddecode/atr.h"
#include "carddecode/status_words.h"

namespace carddecode {
namespace {

const int kNone = -1;

// One group of interface bytes: TAi TBi TCi (kNone when absent) and the T its
// TDi names (kNone: no TDi, the chain ends with this group).
struct Group {
  int ta = kNone, tb = kNone, tc = kNone, t = kNone;
};

// TS, T0, the groups (TDi's high nibble set from the next group), the
// historical bytes, and the TCK when a T other than 0 is named, XORed with
// tckFlip so that a wrong one can be made.
std::vector<uint8_t> MakeAtr(uint8_t ts, const std::vector<Group>& groups,
                             const std::vector<uint8_t>& historical, uint8_t tckFlip = 0) {
  auto y = [&](size_t i) {  // which bytes group i (0-based) holds
    if (i >= groups.size()) return 0;
    const Group& g = groups[i];
    return (g.ta != kNone) << 4 | (g.tb != kNone) << 5 | (g.tc != kNone) << 6 | (g.t != kNone) << 7;
  };
  std::vector<uint8_t> atr = {ts, static_cast<uint8_t>(y(0) | historical.size())};
  bool tck = false;
  for (size_t i = 0; i < groups.size(); ++i) {
    for (int value : {groups[i].ta, groups[i].tb, groups[i].tc}) {
      if (value != kNone) atr.push_back(static_cast<uint8_t>(value));
    }
    if (groups[i].t != kNone) atr.push_back(static_cast<uint8_t>(y(i + 1) | groups[i].t));
    tck = tck || (groups[i].t != kNone && groups[i].t != 0);
  }
  atr.insert(atr.end(), historical.begin(), historical.end());
  if (tck) {
    uint8_t check = tckFlip;
    for (size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
    atr.push_back(check);
  }
  return atr;
}

Atr Decode(const std::vector<uint8_t>& bytes) { return DecodeAtr(bytes.data(), bytes.size()); }

const std::vector<uint8_t> kSimAtr = MakeAtr(0x3B, {}, {0x14, 0x50});
// T=1 only: TA1 Fi=512 Di=32, TA3 IFSC 254, TB3 BWI 4 CWI 5.
const std::vector<uint8_t> kT1Atr =
    MakeAtr(0x3B, {{0x96, kNone, kNone, 1}, {kNone, kNone, kNone, 1}, {0xFE, 0x45, kNone, kNone}},
            {'J', 'C', 'O', 'P'});
// T=0 and T=1, inverse, TC1 255.
const std::vector<uint8_t> kBothAtr =
    MakeAtr(0x3F, {{kNone, kNone, 0xFF, 0}, {kNone, kNone, kNone, 1}}, {0x80, 1, 2, 3, 4});

TEST(DecodeAtr, Structures) {
  EXPECT_EQ(kSimAtr, (std::vector<uint8_t>{0x3B, 0x02, 0x14, 0x50}));  // the builder itself
  const std::vector<Group> chain(12, {kNone, kNone, kNone, 1});
  std::vector<uint8_t> extra = kSimAtr;
  extra.insert(extra.end(), {0xAA, 0xBB});
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    Convention convention;
    unsigned protocols;
    size_t interface, historical;
    Tck tck;
    size_t extra;
  } cases[] = {
      {"sim", kSimAtr, Convention::kDirect, 1, 0, 2, Tck::kAbsent, 0},
      {"T=1", kT1Atr, Convention::kDirect, 2, 5, 4, Tck::kGood, 0},
      {"T=0 T=1", kBothAtr, Convention::kInverse, 3, 3, 5, Tck::kGood, 0},
      {"wrong TCK", MakeAtr(0x3B, {{kNone, kNone, kNone, 1}}, {}, 0x5A), Convention::kDirect, 2, 1,
       0, Tck::kWrong, 0},
      {"TS unknown", MakeAtr(0x12, {}, {}), Convention::kUnknown, 1, 0, 0, Tck::kAbsent, 0},
      {"extra", extra, Convention::kDirect, 1, 0, 2, Tck::kAbsent, 2},
      {"long chain", MakeAtr(0x3B, chain, {}), Convention::kDirect, 2, 12, 0, Tck::kGood, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Atr atr = Decode(c.bytes);
    EXPECT_TRUE(atr.complete);
    EXPECT_EQ(atr.convention, c.convention);
    EXPECT_EQ(atr.protocols, c.protocols);
    EXPECT_EQ(atr.interface.size(), c.interface);
    EXPECT_EQ(atr.historical.size(), c.historical);
    EXPECT_EQ(atr.tck, c.tck);
    EXPECT_EQ(atr.extra, c.extra);
    EXPECT_EQ(atr.length + atr.extra, c.bytes.size());
  }
  const Atr wrong = Decode(MakeAtr(0x3B, {{kNone, kNone, kNone, 1}}, {}, 0x5A));
  EXPECT_EQ(wrong.tckValue ^ wrong.tckExpected, 0x5A);
  EXPECT_STREQ(Decode(MakeAtr(0x3B, chain, {})).interface.back().name, "TD12");
}

// Every prefix of kT1Atr (TS T0 TA1 TD1 TD2 TA3 TB3, 4 historical, TCK), in a
// block of its exact size.
TEST(DecodeAtr, CutShort) {
  for (size_t n = 0; n < kT1Atr.size(); ++n) {
    SCOPED_TRACE(n);
    const std::unique_ptr<uint8_t[]> block(new uint8_t[n]);
    std::copy(kT1Atr.begin(), kT1Atr.begin() + n, block.get());
    const Atr atr = DecodeAtr(block.get(), n);
    EXPECT_FALSE(atr.complete);
    EXPECT_EQ(atr.length, n);
    EXPECT_EQ(atr.extra, 0u);
    EXPECT_EQ(atr.tck, Tck::kMissing);
    EXPECT_EQ(atr.interface.size(), n < 7 ? (n < 2 ? 0 : n - 2) : 5);
    EXPECT_EQ(atr.historical.size(), n < 7 ? 0 : n - 7);
    EXPECT_EQ(atr.historicalAnnounced, n < 2 ? 0u : 4u);
  }
  // Only T=0: cut in the historical bytes leaves no TCK to miss.
  const Atr sim = DecodeAtr(kSimAtr.data(), 3);
  EXPECT_FALSE(sim.complete);
  EXPECT_EQ(sim.tck, Tck::kAbsent);
}

TEST(AtrTexts, Summary) {
  std::vector<uint8_t> wrong = kT1Atr;  // its TCK is 1F
  wrong.back() ^= 1;
  wrong.push_back(0);
  const struct {
    std::vector<uint8_t> bytes;
    const char* summary;
  } cases[] = {
      {kSimAtr, "ATR: direct convention, T=0, Fi=372 Di=1, 2 historical bytes, no TCK"},
      {kBothAtr,
       "ATR: inverse convention, T=0 T=1, Fi=372 Di=1, N=255, 5 historical bytes, TCK correct"},
      {wrong,
       "ATR: direct convention, T=1, Fi=512 Di=32, 4 historical bytes, TCK wrong (1E, expected "
       "1F), 1 extra byte after it"},
      {std::vector<uint8_t>(kT1Atr.begin(), kT1Atr.begin() + 9),
       "ATR: direct convention, T=1, Fi=512 Di=32, 2 of 4 historical bytes, TCK missing, cut "
       "short after 9 bytes"},
      {{0x12, 0x00},
       "ATR: TS 12 not a known convention, T=0, Fi=372 Di=1, 0 historical bytes, no TCK"},
      {{}, "ATR: no bytes"},
  };
  for (const auto& c : cases) EXPECT_EQ(AtrSummary(Decode(c.bytes)), c.summary);
}

TEST(AtrTexts, Details) {
  EXPECT_EQ(AtrDetails(Decode(kSimAtr)),
            (std::vector<std::string>{
                "TS 3B: direct convention", "T0 02: no interface bytes, 2 historical bytes",
                "no TA1: Fi=372 Di=1 (default)", "protocols: T=0 (no TD1)",
                "historical bytes: 14 50 \".P\"", "category indicator 14: proprietary",
                "no TCK (only T=0 offered)"}));
  const std::vector<std::string> lines = AtrDetails(Decode(kT1Atr));
  for (const char* line :
       {"T0 94: TA1 TD1 follow, 4 historical bytes", "TA1 96: Fi=512 Di=32, f max 5 MHz",
        "TD1 81: T=1, TD2 follows", "TD2 31: T=1, TA3 TB3 follow", "TA3 FE: IFSC 254 bytes",
        "TB3 45: BWI=4 CWI=5", "TCK 1F: correct"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  }
  const std::vector<std::string> both = AtrDetails(Decode(kBothAtr));
  EXPECT_NE(std::find(both.begin(), both.end(), "category indicator 80: compact-TLV"), both.end());
}

TEST(StatusWordText, Classes) {
  const struct {
    std::vector<uint8_t> answer;
    const char* text;
  } cases[] = {
      {{0x90, 0x00}, "9000 normal processing"},
      {{0x01, 0x02, 0x61, 0x10}, "6110 more data: 16 bytes available"},
      {{0x6C, 0x1C}, "6C1C wrong Le: exact length 28"},
      {{0x62, 0x82},
       "6282 warning, state unchanged: end of file or record reached before reading "
       "Ne bytes"},
      {{0x62, 0x10}, "6210 warning, state unchanged"},
      {{0x63, 0xC2}, "63C2 warning, state changed: counter 2"},
      {{0x65, 0x81}, "6581 execution error, state changed: memory failure"},
      {{0x67, 0x00}, "6700 wrong length"},
      {{0x69, 0x82}, "6982 command not allowed: security status not satisfied"},
      {{0x6A, 0x82}, "6A82 wrong parameters: file or application not found"},
      {{0x6D, 0x00}, "6D00 instruction not supported"},
      {{0x6F, 0x00}, "6F00 no precise diagnosis"},
      {{0x9F, 0x10}, "9F10 proprietary"},
      {{0x12, 0x34}, "1234 unknown status"},
      {{0x90}, "no status word"},
  };
  for (const auto& c : cases) EXPECT_EQ(StatusWordText(c.answer.data(), c.answer.size()), c.text);
}

}  // namespace
}  // namespace carddecode
