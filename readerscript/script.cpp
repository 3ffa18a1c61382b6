// The script parser.
#include "readerscript/script.h"

#include <cctype>
#include <cstring>

#include "readerlink/reader_commands.h"

namespace readerscript {

namespace {

struct VerbName {
  const char* name;
  Verb verb;
};

const VerbName kVerbs[] = {{"version", Verb::kVersion}, {"insert", Verb::kInsert},
                           {"off", Verb::kOff},         {"com", Verb::kCom},
                           {"req", Verb::kReq},         {"stat", Verb::kStat},
                           {"echo", Verb::kEcho},       {"delay", Verb::kDelay}};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    size_t end = i;
    while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
    if (end > i) words.push_back(text.substr(i, end - i));
    i = end;
  }
  return words;
}

}  // namespace

bool Number(const std::string& word, unsigned low, unsigned high, unsigned* value) {
  if (word.empty() || word.size() > 10) return false;
  unsigned long long n = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  if (n < low || n > high) return false;
  *value = static_cast<unsigned>(n);
  return true;
}

namespace {

// Hex bytes from the words given, blanks between them or not.
bool HexBytes(const std::vector<std::string>& words, std::vector<uint8_t>* bytes,
              std::string* why) {
  std::string digits;
  for (const std::string& word : words) digits += word;
  if (digits.empty()) {
    *why = "no APDU given";
    return false;
  }
  for (char c : digits) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      *why = std::string("bad hex: '") + c + "' is not a hex digit";
      return false;
    }
  }
  if (digits.size() % 2 != 0) {
    *why = "bad hex: an odd number of digits";
    return false;
  }
  bytes->clear();
  for (size_t i = 0; i < digits.size(); i += 2)
    bytes->push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return true;
}

// One line's command; false with the reason when it is not one.
bool ParseStep(const std::string& written, Step* step, std::string* why) {
  // The expectation is everything from its '='.
  const size_t equals = written.find('=');
  const std::vector<std::string> words = Words(written.substr(0, equals));
  step->expects = equals != std::string::npos;
  const std::string word = Lower(words[0]);
  const VerbName* found = nullptr;
  for (const VerbName& v : kVerbs) {
    if (word == v.name) found = &v;
  }
  if (found == nullptr) {
    *why = "unknown command \"" + words[0] + "\"";
    return false;
  }
  step->verb = found->verb;
  const size_t args = words.size() - 1;
  const bool takesExpect =
      step->verb == Verb::kCom || step->verb == Verb::kReq || step->verb == Verb::kStat;
  if (step->expects && !takesExpect) {
    *why = word + " takes no expectation";
    return false;
  }
  if (step->expects && !ParsePattern(written.substr(equals + 1), &step->expected, why)) {
    *why = "bad expectation: " + *why;
    return false;
  }
  auto reader = [&]() {
    unsigned n = 0;
    if (args < 1 || !Number(words[1], 0, 1, &n)) {
      *why = word + ": the reader must be 0 or 1";
      return false;
    }
    step->reader = static_cast<int>(n);
    return true;
  };
  switch (step->verb) {
    case Verb::kVersion:
    case Verb::kStat:
      if (args == 0) return true;
      *why = word + " takes no arguments";
      return false;
    case Verb::kInsert:
    case Verb::kOff:
      if (!reader()) return false;
      step->number = kDefaultCardTimeoutMs;
      if (args == 1 || (args == 2 && Number(words[2], 0, kMaxMs, &step->number))) return true;
      *why = word + " N [TIMEOUT_MS]: the time-out must be 0 to " + std::to_string(kMaxMs);
      return false;
    case Verb::kCom:
    case Verb::kReq: {
      if (!reader()) return false;
      if (!HexBytes(std::vector<std::string>(words.begin() + 2, words.end()), &step->apdu, why))
        return false;
      const ApduKind kind = step->verb == Verb::kCom ? ApduKind::kCommand : ApduKind::kRequest;
      const size_t needed = ApduLength(kind, step->apdu.data(), step->apdu.size());
      if (step->apdu.size() == needed) return true;
      *why = word + " needs " + std::to_string(needed) + " bytes" +
             (needed > kApduHeaderSize ? " (5 + " + std::to_string(step->apdu[4]) + " by its fifth)"
                                       : " (an APDU header)") +
             ", got " + std::to_string(step->apdu.size());
      return false;
    }
    case Verb::kEcho:
      if (args == 2 && Number(words[1], 1, kMaxEchoCount, &step->number) &&
          Number(words[2], 1, kMaxEchoData + 1, &step->max))
        return true;
      *why = "echo COUNT MAX: COUNT 1 to " + std::to_string(kMaxEchoCount) + ", MAX 1 to " +
             std::to_string(kMaxEchoData + 1);
      return false;
    case Verb::kDelay:
      if (args == 1 && Number(words[1], 0, kMaxMs, &step->number)) return true;
      *why = "delay MS: MS 0 to " + std::to_string(kMaxMs);
      return false;
  }
  return false;
}

}  // namespace

void ParseScript(const std::string& path, const std::string& text, Script* script,
                 std::vector<std::string>* errors) {
  script->path = path;
  script->steps.clear();
  unsigned lineNumber = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++lineNumber;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    const size_t last = line.find_last_not_of(" \t\r");
    Step step{};
    step.line = lineNumber;
    step.written = line.substr(first, last - first + 1);
    std::string why;
    if (step.written[0] == '=') {
      why = "an expectation without a command";
    } else if (step.written.find_first_of("\r\f\v") != std::string::npos ||
               std::strlen(step.written.c_str()) != step.written.size()) {
      why = "a control character in the line";
    } else if (ParseStep(step.written, &step, &why)) {
      script->steps.push_back(step);
      continue;
    }
    errors->push_back(path + ":" + std::to_string(lineNumber) + ": " + why);
  }
}

std::string StepText(const Step& step) {
  std::string text;
  for (const VerbName& v : kVerbs) {
    if (v.verb == step.verb) text = v.name;
  }
  switch (step.verb) {
    case Verb::kInsert:
    case Verb::kOff:
      text += " " + std::to_string(step.reader);
      if (step.number != kDefaultCardTimeoutMs) text += " " + std::to_string(step.number);
      break;
    case Verb::kCom:
    case Verb::kReq:
      text += " " + std::to_string(step.reader) + " " + HexText(step.apdu.data(), step.apdu.size());
      break;
    case Verb::kEcho:
      text += " " + std::to_string(step.number) + " " + std::to_string(step.max);
      break;
    case Verb::kDelay:
      text += " " + std::to_string(step.number);
      break;
    case Verb::kVersion:
    case Verb::kStat:
      break;
  }
  if (step.expects) text += " " + PatternText(step.expected);
  return text;
}

}  // namespace readerscript
