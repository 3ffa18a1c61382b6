// The card in one slot of the reader and its answers to APDUs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace readersim {

// Status words the model answers with.
constexpr uint16_t kSwOk = 0x9000;
constexpr uint16_t kSwWrongLength = 0x6700;  // APDU shorter/longer than its header says
constexpr uint16_t kSwNotPowered = 0x6985;   // card present but not powered up
constexpr uint16_t kSwNoCard = 0x6F00;       // slot empty
constexpr uint16_t kSwInsUnknown = 0x6D00;   // instruction not supported

constexpr uint8_t kInsGetResponse = 0xC0;
constexpr uint8_t kInsSelect = 0xA4;

// 3B 02 14 50: direct convention, two historical bytes.
std::vector<uint8_t> default_atr();

struct Card {
  bool present = false;
  bool powered = false;
  std::vector<uint8_t> atr = default_atr();
  // When set, the powered card answers every well-formed APDU with these bytes.
  std::vector<uint8_t> fixed_answer;
};

// Byte i of every GET RESPONSE answer.
uint8_t response_byte(size_t i);

// The answer (data then SW1 SW2) to an APDU: CLA INS P1 P2 P3 and, when
// with_data is set, P3 data bytes following the header.
std::vector<uint8_t> card_apdu(const Card& card, const std::vector<uint8_t>& apdu, bool with_data);

}  // namespace readersim
