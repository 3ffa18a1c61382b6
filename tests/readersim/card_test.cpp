// The card model's answers to APDUs.
#include <gtest/gtest.h>

#include "readersim/card.h"

namespace readersim {
namespace {

Card powered() {
  Card c;
  c.present = true;
  c.powered = true;
  return c;
}

TEST(Card, GetResponse28GivesThirtyBytes) {
  const std::vector<uint8_t> a = card_apdu(powered(), {0x00, 0xC0, 0x00, 0x00, 0x1C}, false);
  ASSERT_EQ(a.size(), 30u);
  for (size_t i = 0; i < 28; ++i) EXPECT_EQ(a[i], response_byte(i));
  EXPECT_EQ(a[28], 0x90);
  EXPECT_EQ(a[29], 0x00);
}

TEST(Card, GetResponseLeZeroMeans256) {
  const std::vector<uint8_t> a = card_apdu(powered(), {0x00, 0xC0, 0x00, 0x00, 0x00}, false);
  ASSERT_EQ(a.size(), 258u);
  EXPECT_EQ(a[256], 0x90);
}

TEST(Card, FixedAnswerOnlyWhenPoweredAndWellFormed) {
  Card c = powered();
  c.fixed_answer = std::vector<uint8_t>(28, 0x22);
  EXPECT_EQ(card_apdu(c, {0x00, 0xC0, 0x00, 0x00, 0x1C}, false), c.fixed_answer);
  EXPECT_EQ(card_apdu(c, {0x00, 0xC0, 0x00}, false), (std::vector<uint8_t>{0x67, 0x00}));
  c.powered = false;
  EXPECT_EQ(card_apdu(c, {0x00, 0xC0, 0x00, 0x00, 0x1C}, false),
            (std::vector<uint8_t>{0x69, 0x85}));
}

TEST(Card, SelectWithData) {
  EXPECT_EQ(card_apdu(powered(), {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}, true),
            (std::vector<uint8_t>{0x90, 0x00}));
}

TEST(Card, UnknownInstruction) {
  EXPECT_EQ(card_apdu(powered(), {0x00, 0xB0, 0x00, 0x00, 0x10}, false),
            (std::vector<uint8_t>{0x6D, 0x00}));
}

TEST(Card, WrongLength) {
  EXPECT_EQ(card_apdu(powered(), {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F}, true),
            (std::vector<uint8_t>{0x67, 0x00}));
  EXPECT_EQ(card_apdu(powered(), {0x00, 0xC0, 0x00}, false), (std::vector<uint8_t>{0x67, 0x00}));
  EXPECT_EQ(card_apdu(powered(), {0x00, 0xC0, 0x00, 0x00, 0x02, 0x01}, false),
            (std::vector<uint8_t>{0x67, 0x00}));
}

TEST(Card, UnpoweredAndAbsent) {
  Card c;
  c.present = true;
  EXPECT_EQ(card_apdu(c, {0x00, 0xC0, 0x00, 0x00, 0x1C}, false),
            (std::vector<uint8_t>{0x69, 0x85}));
  c.present = false;
  EXPECT_EQ(card_apdu(c, {0x00, 0xC0, 0x00, 0x00, 0x1C}, false),
            (std::vector<uint8_t>{0x6F, 0x00}));
  // An empty slot wins over a malformed APDU: there is nobody to answer it.
  EXPECT_EQ(card_apdu(c, {}, true), (std::vector<uint8_t>{0x6F, 0x00}));
}

}  // namespace
}  // namespace readersim
