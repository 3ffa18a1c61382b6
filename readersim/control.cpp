#include "readersim/control.h"

#include <cctype>
#include <sstream>

namespace readersim {

std::vector<std::string> split_words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

bool parse_number(const std::string& text, int64_t low, int64_t high, int64_t& value) {
  if (text.empty() || text.size() > 12) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < low || v > high) return false;
  value = v;
  return true;
}

bool parse_hex(const std::string& text, std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':') {
      if (high >= 0) return false;  // a lone digit before a separator
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    const int d = std::isdigit(static_cast<unsigned char>(c))
                      ? c - '0'
                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | d));
      high = -1;
    }
  }
  if (high >= 0 || out.empty()) return false;
  bytes = std::move(out);
  return true;
}

bool parse_rate(const std::string& text, int64_t& rate) {
  // PERCENT with up to four decimals and an optional '%': 1%, 0.5, 100%.
  std::string digits = text;
  if (!digits.empty() && digits.back() == '%') digits.pop_back();
  const size_t dot = digits.find('.');
  const std::string whole = digits.substr(0, dot);
  const std::string part = dot == std::string::npos ? "" : digits.substr(dot + 1);
  int64_t units = 0, fraction = 0;
  if (!parse_number(whole, 0, 100, units)) return false;
  if (dot != std::string::npos && (part.size() > 4 || !parse_number(part, 0, 9999, fraction))) {
    return false;
  }
  for (size_t i = part.size(); i < 4; ++i) fraction *= 10;
  const int64_t value = units * (kRateScale / 100) + fraction;
  if (value <= 0 || value > kRateScale) return false;
  rate = value;
  return true;
}

std::string rate_text(int64_t rate) {
  std::string text = std::to_string(rate / (kRateScale / 100));
  int64_t fraction = rate % (kRateScale / 100);
  if (fraction != 0) {
    std::string digits = std::to_string(fraction + kRateScale / 100).substr(1);
    while (digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text + "%";
}

bool parse_fault(const std::vector<std::string>& words, Fault& fault, std::string& error) {
  if (words.empty()) {
    error = "fault needs a kind";
    return false;
  }
  static const struct {
    const char* name;
    FaultKind kind;
  } kinds[] = {{"off", FaultKind::kNone},    {"nak", FaultKind::kNak},
               {"crc", FaultKind::kCrc},     {"silent", FaultKind::kSilent},
               {"cut", FaultKind::kCut},     {"garbage", FaultKind::kGarbage},
               {"delay", FaultKind::kDelay}, {"slow", FaultKind::kDelay},
               {"long", FaultKind::kLong},   {"random", FaultKind::kRandom}};
  Fault f;
  bool found = false;
  for (const auto& k : kinds) {
    if (words[0] == k.name) {
      f.kind = k.kind;
      found = true;
    }
  }
  if (!found) {
    error = "unknown fault kind '" + words[0] + "'";
    return false;
  }
  size_t i = 1;
  if (f.kind == FaultKind::kNone) {
    if (words.size() != 1) {
      error = "fault off takes no arguments";
      return false;
    }
    fault = f;
    return true;
  }
  if (f.kind == FaultKind::kRandom) {
    if (i >= words.size() || !parse_rate(words[i], f.rate)) {
      error = "fault random needs PERCENT (above 0, at most 100, e.g. 1% or 0.25)";
      return false;
    }
    ++i;
    if (i < words.size() && words[i] == "seed") {
      int64_t seed = 0;
      if (i + 1 >= words.size() || !parse_number(words[i + 1], 0, 999999999999, seed)) {
        error = "seed needs N (a whole number)";
        return false;
      }
      f.seed = static_cast<uint64_t>(seed);
      i += 2;
    }
    if (i != words.size()) {
      error = "unexpected '" + words[i] + "' (fault random takes PERCENT [seed N])";
      return false;
    }
    f.state = f.seed;
    fault = f;
    return true;
  }
  if (words[0] == "delay") {
    if (i >= words.size() || !parse_number(words[i], 0, 600000, f.delay_ms)) {
      error = "fault delay needs MS (0..600000)";
      return false;
    }
    ++i;
  }
  if (i < words.size() && words[i] == "once") {
    f.once = true;
    ++i;
  } else if (i < words.size() && words[i] == "every") {
    if (i + 1 >= words.size() || !parse_number(words[i + 1], 1, 1000000000, f.every)) {
      error = "every needs N (1 or more)";
      return false;
    }
    i += 2;
  }
  if (i != words.size()) {
    error = "unexpected '" + words[i] + "'";
    return false;
  }
  fault = f;
  return true;
}

namespace {

bool parse_slot(const std::vector<std::string>& w, int& slot) {
  int64_t v = 0;
  if (w.size() < 2 || !parse_number(w[1], 0, kSlots - 1, v)) return false;
  slot = static_cast<int>(v);
  return true;
}

ControlResult fail(const std::string& message) {
  ControlResult r;
  r.message = "error: " + message;
  return r;
}

ControlResult done(const std::string& message) {
  ControlResult r;
  r.ok = true;
  r.message = "ok: " + message;
  return r;
}

}  // namespace

ControlResult run_control(Reader& reader, const std::string& line, int64_t now_ms) {
  const std::vector<std::string> w = split_words(line);
  if (w.empty()) return fail("empty command");
  const std::string& cmd = w[0];
  int slot = 0;
  if (cmd == "quit" && w.size() == 1) {
    ControlResult r = done("quit");
    r.quit = true;
    return r;
  }
  if (cmd == "insert" || cmd == "remove") {
    if (w.size() != 2 || !parse_slot(w, slot)) return fail(cmd + " needs a slot 0 or 1");
    if (cmd == "insert") {
      slot_insert(reader, slot);
    } else {
      slot_remove(reader, slot, now_ms);
    }
    return done(cmd + " " + w[1]);
  }
  if (cmd == "atr") {
    if (w.size() < 3 || !parse_slot(w, slot)) return fail("atr needs a slot 0 or 1 and HEX");
    std::string text;
    for (size_t i = 2; i < w.size(); ++i) text += w[i] + " ";
    std::vector<uint8_t> atr;
    if (!parse_hex(text, atr) || atr.size() > 255) return fail("atr HEX must be 1..255 bytes");
    reader.slot[slot].atr = atr;
    return done("atr " + w[1] + " " + hex(atr));
  }
  if (cmd == "card") {
    CardKind kind = CardKind::kDefault;
    if (w.size() != 3 || !parse_slot(w, slot) || !parse_card_kind(w[2], kind)) {
      return fail("card needs a slot 0 or 1 and default or iso");
    }
    // A new card in place of the old one: its session starts afresh.
    reader.slot[slot].kind = kind;
    reader.slot[slot].iso = IsoSession{};
    return done("card " + w[1] + " " + card_kind_name(kind));
  }
  if (cmd == "fault") {
    std::string error;
    Fault f;
    if (!parse_fault(std::vector<std::string>(w.begin() + 1, w.end()), f, error)) {
      return fail(error);
    }
    reader.fault = f;
    std::string how = fault_name(f.kind);
    if (f.kind == FaultKind::kDelay) how += " " + std::to_string(f.delay_ms) + " ms";
    if (f.kind == FaultKind::kRandom) {
      how += " " + rate_text(f.rate) + " seed " + std::to_string(f.seed);
    } else if (f.kind != FaultKind::kNone) {
      how += f.once ? " once" : " every " + std::to_string(f.every);
    }
    return done("fault " + how);
  }
  return fail("unknown command '" + cmd + "'");
}

}  // namespace readersim
