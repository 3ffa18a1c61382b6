// Reading the lines of serchan32's trace (SERCHAN32_TRACE) in tests:
// "<seconds>.<6 digits> ch<index or -> <WORD>[ <details>]".
#pragma once

#include <cctype>
#include <string>

struct TraceLine {
  std::string channel;  // "0" to "7", or "-"
  std::string word;     // OPEN, TX, RX, FAIL, ...
  std::string details;  // what follows the word and its blank
};

// Splits a well-formed line; false for anything else.
inline bool ParseTraceLine(const std::string& line, TraceLine* parsed) {
  auto digits = [&](size_t from) {
    size_t at = from;
    while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) ++at;
    return at - from;
  };
  const size_t whole = digits(0);
  if (whole == 0 || whole >= line.size() || line[whole] != '.') return false;
  if (digits(whole + 1) != 6 || line.compare(whole + 7, 3, " ch") != 0) return false;
  const size_t channel = whole + 10;
  if (channel + 2 >= line.size() || line[channel + 1] != ' ') return false;
  if (line[channel] != '-' && (line[channel] < '0' || line[channel] > '7')) return false;
  size_t end = channel + 2;
  while (end < line.size() && std::isupper(static_cast<unsigned char>(line[end]))) ++end;
  if (end == channel + 2 || (end < line.size() && line[end] != ' ')) return false;
  parsed->channel = line.substr(channel, 1);
  parsed->word = line.substr(channel + 2, end - channel - 2);
  parsed->details = end < line.size() ? line.substr(end + 1) : "";
  return true;
}

// A TX or RX line's details, "<count> :" and that many " XX" upper-case hex
// bytes and nothing after them.
inline bool BlockDetailsWhole(const std::string& details) {
  const size_t colon = details.find(" :");
  if (colon == 0 || colon == std::string::npos) return false;
  for (size_t i = 0; i < colon; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(details[i]))) return false;
  }
  const std::string bytes = details.substr(colon + 2);
  if (bytes.size() != std::stoul(details.substr(0, colon)) * 3) return false;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    if (bytes[i] != ' ' || !std::isxdigit(static_cast<unsigned char>(bytes[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(bytes[i + 2])) ||
        std::islower(static_cast<unsigned char>(bytes[i + 1])) ||
        std::islower(static_cast<unsigned char>(bytes[i + 2])))
      return false;
  }
  return true;
}
