// Control commands, from stdin lines and from the start-up options.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "readersim/reader.h"

namespace readersim {

struct ControlResult {
  bool ok = false;
  bool quit = false;
  std::string message;  // ack or error, one line
};

// Runs one control line: insert N, remove N, atr N HEX, card N KIND, fault ...,
// quit.
ControlResult run_control(Reader& reader, const std::string& line, int64_t now_ms);

// Sets the fault from its words: "KIND [MS] [every N | once]", "random
// PERCENT [seed N]" or "off".
bool parse_fault(const std::vector<std::string>& words, Fault& fault, std::string& error);

// A random fault's rate: PERCENT with up to four decimals and an optional
// '%', above 0 and at most 100, in millionths.
bool parse_rate(const std::string& text, int64_t& rate);
// The rate as the control acknowledgement shows it ("1%", "0.25%").
std::string rate_text(int64_t rate);

// Hex digits, optionally split by spaces or colons, into bytes.
bool parse_hex(const std::string& text, std::vector<uint8_t>& bytes);

// A whole decimal number within [low, high].
bool parse_number(const std::string& text, int64_t low, int64_t high, int64_t& value);

std::vector<std::string> split_words(const std::string& line);

}  // namespace readersim
