// ParseScript (readerscript/script.cpp) over any text, and the patterns it
// finds matched against any bytes. Checked for every input:
// - every fault is reported as "fuzz.rsc:<line>: <why>", in line order;
// - every step parsed is written plainly (StepText) and parsed again into a
//   step written the same way, its pattern included;
// - a pattern written plainly parses to the same pattern; an answer built
//   from a pattern matches it; and matching
//   never reads beyond the answer: the step's own APDU, every prefix of it,
//   and the rest of the input are matched.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "readerscript/script.h"
#include "tests/fuzz/fuzz_check.h"

using namespace readerscript;

namespace {

bool SamePattern(const Pattern& a, const Pattern& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].anyRun != b[i].anyRun || a[i].value != b[i].value || a[i].mask != b[i].mask)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Script script;
  std::vector<std::string> errors;
  ParseScript("fuzz.rsc", text, &script, &errors);

  unsigned lastLine = 0;
  for (const std::string& error : errors) {
    FUZZ_CHECK(error.compare(0, 9, "fuzz.rsc:") == 0);
    const unsigned line = static_cast<unsigned>(std::stoul(error.substr(9)));
    FUZZ_CHECK(line > lastLine);
    FUZZ_CHECK(error.find(": ", 9) != std::string::npos);
    lastLine = line;
  }
  lastLine = 0;
  for (const Step& step : script.steps) {
    FUZZ_CHECK(step.line > lastLine);
    lastLine = step.line;
    FUZZ_CHECK(!step.written.empty() && step.written.find('#') == std::string::npos);

    const std::string plain = StepText(step);
    Script again;
    std::vector<std::string> againErrors;
    ParseScript("again.rsc", plain + "\n", &again, &againErrors);
    FUZZ_CHECK(againErrors.empty() && again.steps.size() == 1);
    FUZZ_CHECK(StepText(again.steps[0]) == plain);
    if (!step.expects) continue;
    FUZZ_CHECK(SamePattern(again.steps[0].expected, step.expected));

    Pattern reparsed;
    std::string why;
    FUZZ_CHECK(ParsePattern(PatternText(step.expected).substr(1), &reparsed, &why));
    FUZZ_CHECK(SamePattern(reparsed, step.expected));
    // An answer built from the pattern (runs empty or of the input's first
    // bytes, wildcard digits filled with the input's bits) matches it.
    std::vector<uint8_t> built;
    for (const PatternByte& item : step.expected) {
      if (item.anyRun) {
        built.insert(built.end(), data, data + (size % 3));
      } else {
        built.push_back(static_cast<uint8_t>(item.value | (size & ~item.mask)));
      }
    }
    FUZZ_CHECK(Matches(step.expected, built.data(), built.size()));
    // Exactly sized copies, so that a read beyond the answer is caught.
    for (size_t n = 0; n <= step.apdu.size(); ++n) {
      const std::vector<uint8_t> answer(step.apdu.begin(), step.apdu.begin() + n);
      Matches(step.expected, answer.data(), answer.size());
    }
    const std::vector<uint8_t> rest(data, data + size);
    Matches(step.expected, rest.data(), rest.size());
  }
  return 0;
}
