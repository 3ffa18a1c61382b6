// The card in one slot of the reader and its answers to APDUs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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
constexpr uint8_t kInsReadBinary = 0xB0;

// The iso card's two files: the MF and a transparent EF under it.
constexpr uint16_t kFidMf = 0x3F00;
constexpr uint16_t kFidDir = 0x2F00;

// 3B 02 14 50: direct convention, two historical bytes.
std::vector<uint8_t> default_atr();

// default: the fixed answers below; iso: a T=0 file-system card (iso_card.cpp).
enum class CardKind { kDefault, kIso };

// What an iso card keeps between APDUs; a power-up starts it afresh.
struct IsoSession {
  uint16_t current = kFidMf;     // the selected file
  std::vector<uint8_t> waiting;  // data for the next command, if a GET RESPONSE
};

struct Card {
  bool present = false;
  bool powered = false;
  std::vector<uint8_t> atr = default_atr();
  // When set, the powered card answers every well-formed APDU with these bytes.
  std::vector<uint8_t> fixed_answer;
  CardKind kind = CardKind::kDefault;
  IsoSession iso;
};

// "default" or "iso".
bool parse_card_kind(const std::string& text, CardKind& kind);
const char* card_kind_name(CardKind kind);

// Powers the card up (also a warm reset): its session starts afresh.
void card_power_up(Card& card);

// Byte i of every GET RESPONSE answer of the default card.
uint8_t response_byte(size_t i);

// The answer (data then SW1 SW2) to an APDU: CLA INS P1 P2 P3 and, when
// with_data is set, P3 data bytes following the header.
std::vector<uint8_t> card_apdu(Card& card, const std::vector<uint8_t>& apdu, bool with_data);

// The iso card's answer to a well-formed APDU of a powered card.
std::vector<uint8_t> iso_apdu(IsoSession& session, const std::vector<uint8_t>& apdu,
                              bool with_data);
// The iso card's FCP template of a file (kFidMf or kFidDir).
std::vector<uint8_t> iso_fcp(uint16_t fid);
// The content of EF 2F00: an EF.DIR naming one application, padded with FF.
const std::vector<uint8_t>& iso_ef_bytes();

}  // namespace readersim
