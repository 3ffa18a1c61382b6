// CRC-16/ARC and the frame codec.
#include <gtest/gtest.h>

#include <cstring>

#include "readersim/frame.h"

namespace readersim {
namespace {

TEST(Crc, CheckValue) {
  const char* text = "123456789";
  EXPECT_EQ(crc16(reinterpret_cast<const uint8_t*>(text), std::strlen(text)), 0xBB3D);
}

TEST(Crc, ContinuesAcrossCalls) {
  const uint8_t bytes[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc16(bytes + 4, 5, crc16(bytes, 4)), 0xBB3D);
}

TEST(Frame, VersionRequestBytes) {
  Frame f;
  f.code = 0x04;
  EXPECT_EQ(encode(f), (std::vector<uint8_t>{0x04, 0x00, 0x00, 0x41, 0xC1}));
}

TEST(Frame, RoundTripEmpty) {
  const std::vector<uint8_t> wire = encode(Frame{0x3F, {}});
  const DecodeResult r = decode(wire.data(), wire.size());
  ASSERT_EQ(r.status, Decode::kOk);
  EXPECT_EQ(r.size, 5u);
  EXPECT_EQ(r.frame.code, 0x3F);
  EXPECT_TRUE(r.frame.data.empty());
}

TEST(Frame, RoundTripLongest) {
  Frame f;
  f.code = 0x3F;
  for (size_t i = 0; i < 65535; ++i) f.data.push_back(static_cast<uint8_t>(i * 31));
  const std::vector<uint8_t> wire = encode(f);
  ASSERT_EQ(wire.size(), 65540u);
  EXPECT_EQ(wire[1], 0xFF);
  EXPECT_EQ(wire[2], 0xFF);
  const DecodeResult r = decode(wire.data(), wire.size());
  ASSERT_EQ(r.status, Decode::kOk);
  EXPECT_EQ(r.frame.data, f.data);
}

TEST(Frame, LengthIsBigEndian) {
  Frame f{0x42, std::vector<uint8_t>(0x0102, 0xAA)};
  const std::vector<uint8_t> wire = encode(f);
  EXPECT_EQ(wire[1], 0x01);
  EXPECT_EQ(wire[2], 0x02);
}

TEST(Frame, CutShortIsIncomplete) {
  const std::vector<uint8_t> wire = encode(Frame{0x42, {0, 0xA4, 4, 0, 2, 0x3F, 0}});
  for (size_t n = 0; n < wire.size(); ++n) {
    const DecodeResult r = decode(wire.data(), n);
    EXPECT_EQ(r.status, Decode::kIncomplete) << n;
    EXPECT_EQ(r.size, n < 3 ? 0u : wire.size()) << n;
  }
}

TEST(Frame, BadCrcAnyByte) {
  const std::vector<uint8_t> good = encode(Frame{0x3F, {1, 2, 3}});
  for (size_t i = 0; i < good.size(); ++i) {
    std::vector<uint8_t> bad = good;
    bad[i] ^= 0x10;
    const DecodeResult r = decode(bad.data(), bad.size());
    // Flipping a length byte changes the frame's size instead.
    if (i == 1 || i == 2) {
      EXPECT_NE(r.status, Decode::kOk) << i;
    } else {
      EXPECT_EQ(r.status, Decode::kBadCrc) << i;
    }
  }
}

TEST(Frame, SwappedCrcIsBad) {
  std::vector<uint8_t> wire = {0x04, 0x00, 0x00, 0xC1, 0x41};
  EXPECT_EQ(decode(wire.data(), wire.size()).status, Decode::kBadCrc);
}

}  // namespace
}  // namespace readersim
