// The status words that end a card's answers (ISO/IEC 7816-4) as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace carddecode {

// The status word that ends an APDU answer (its last two bytes) as
// "9000 normal processing": four upper-case hex digits, a blank, the meaning
// by class, with the common status words of each class named, e.g.
// "6110 more data: 16 bytes available", "6C1C wrong Le: exact length 28",
// "6A82 wrong parameters: file or application not found". Other 9xxx are
// "proprietary", anything else not defined "unknown status". Fewer than 2
// bytes: "no status word".
std::string StatusWordText(const uint8_t* answer, size_t count);

}  // namespace carddecode
