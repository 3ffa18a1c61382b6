#include "readersim/card.h"

namespace readersim {
namespace {

std::vector<uint8_t> sw(uint16_t word) {
  return {static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
}

}  // namespace

std::vector<uint8_t> default_atr() { return {0x3B, 0x02, 0x14, 0x50}; }

bool parse_card_kind(const std::string& text, CardKind& kind) {
  if (text == "default") {
    kind = CardKind::kDefault;
  } else if (text == "iso") {
    kind = CardKind::kIso;
  } else {
    return false;
  }
  return true;
}

const char* card_kind_name(CardKind kind) { return kind == CardKind::kIso ? "iso" : "default"; }

void card_power_up(Card& card) {
  card.powered = true;
  card.iso = IsoSession{};
}

uint8_t response_byte(size_t i) { return static_cast<uint8_t>(i); }

std::vector<uint8_t> card_apdu(Card& card, const std::vector<uint8_t>& apdu, bool with_data) {
  if (!card.present) return sw(kSwNoCard);
  if (!card.powered) return sw(kSwNotPowered);
  if (apdu.size() < 5) return sw(kSwWrongLength);
  const size_t p3 = apdu[4];
  if (apdu.size() != (with_data ? 5 + p3 : 5)) return sw(kSwWrongLength);
  if (!card.fixed_answer.empty()) return card.fixed_answer;
  if (card.kind == CardKind::kIso) return iso_apdu(card.iso, apdu, with_data);
  switch (apdu[1]) {
    case kInsGetResponse: {
      const size_t le = p3 == 0 ? 256 : p3;
      std::vector<uint8_t> out;
      out.reserve(le + 2);
      for (size_t i = 0; i < le; ++i) out.push_back(response_byte(i));
      out.push_back(0x90);
      out.push_back(0x00);
      return out;
    }
    case kInsSelect:
      return sw(kSwOk);
    default:
      return sw(kSwInsUnknown);
  }
}

}  // namespace readersim
