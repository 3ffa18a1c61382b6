// Writing the JUnit XML report.
#include "readerscript/junit.h"

#include <cstdio>

namespace readerscript {

namespace {

// Text for an attribute or element: markup characters escaped; control
// characters and bytes beyond ASCII (a script's lines are ASCII; a path may
// be in any code page) are written as '?', so that every parser takes the
// file as UTF-8.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char byte : text) {
    const unsigned char c = static_cast<unsigned char>(byte);
    switch (c) {
      case '&':
        out += "&amp;";
        continue;
      case '<':
        out += "&lt;";
        continue;
      case '>':
        out += "&gt;";
        continue;
      case '"':
        out += "&quot;";
        continue;
      case '\'':
        out += "&apos;";
        continue;
      case '\n':
        out += "&#10;";
        continue;
      case '\t':
        out += "&#9;";
        continue;
      default:
        break;
    }
    out += c < 0x20 || c >= 0x7F ? '?' : static_cast<char>(c);
  }
  return out;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", seconds);
  return text;
}

// The file name without its folders: the test cases' class name.
std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string JUnitReport(const std::vector<ScriptResult>& results) {
  unsigned tests = 0, failures = 0, errors = 0, skipped = 0;
  double seconds = 0;
  std::string suites;
  for (const ScriptResult& result : results) {
    unsigned suiteFailures = 0, suiteErrors = 0, suiteSkipped = 0;
    // With several readers, the port tells their suites and cases apart.
    const std::string reader = result.reader.empty() ? "" : result.reader + " ";
    std::string cases;
    for (size_t i = 0; i < result.steps.size(); ++i) {
      const StepResult& step = result.steps[i];
      cases += "    <testcase classname=\"" + Escaped(reader + BaseName(result.script->path)) +
               "\" name=\"" + Escaped(result.script->steps[i].written) + "\" time=\"" +
               Seconds(step.seconds) + "\"";
      switch (step.outcome) {
        case Outcome::kFailed:
          ++suiteFailures;
          cases += ">\n      <failure type=\"expectation\" message=\"" + Escaped(step.message) +
                   "\">" +
                   Escaped(step.expected.empty()
                               ? step.message
                               : "expected: " + step.expected + "\nreceived: " + step.received) +
                   "</failure>\n    </testcase>\n";
          break;
        case Outcome::kLinkError:
          ++suiteErrors;
          cases += ">\n      <error type=\"link\" message=\"" + Escaped(step.message) + "\">" +
                   Escaped(step.message) + "</error>\n    </testcase>\n";
          break;
        case Outcome::kNotRun:
          ++suiteSkipped;
          cases +=
              ">\n      <skipped message=\"not run: the script stopped at an earlier "
              "failure\"/>\n    </testcase>\n";
          break;
        case Outcome::kDone:
        case Outcome::kPassed:
          cases += "/>\n";
          break;
      }
    }
    const std::string count = std::to_string(result.steps.size());
    suites += "  <testsuite name=\"" + Escaped(reader + result.script->path) + "\" tests=\"" +
              count + "\" failures=\"" + std::to_string(suiteFailures) + "\" errors=\"" +
              std::to_string(suiteErrors) + "\" skipped=\"" + std::to_string(suiteSkipped) +
              "\" time=\"" + Seconds(result.seconds) + "\">\n" + cases + "  </testsuite>\n";
    tests += static_cast<unsigned>(result.steps.size());
    failures += suiteFailures;
    errors += suiteErrors;
    skipped += suiteSkipped;
    seconds += result.seconds;
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"readerscript\" tests=\"" +
         std::to_string(tests) + "\" failures=\"" + std::to_string(failures) + "\" errors=\"" +
         std::to_string(errors) + "\" skipped=\"" + std::to_string(skipped) + "\" time=\"" +
         Seconds(seconds) + "\">\n" + suites + "</testsuites>\n";
}

}  // namespace readerscript
