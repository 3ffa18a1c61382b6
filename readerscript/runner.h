// Running scripts on an open channel: the transcript as it goes, and the
// results that the summary and the JUnit report are made from.
#pragma once

#include <string>
#include <vector>

#include "readerscript/script.h"

namespace readerscript {

enum class Outcome {
  kDone,       // ran; it had nothing to check
  kPassed,     // ran and met its expectation
  kFailed,     // an expectation was not met
  kLinkError,  // no answer, NAK, CRC
  kNotRun,     // the script had stopped before it
};

struct StepResult {
  Outcome outcome = Outcome::kNotRun;
  double seconds = 0;
  std::vector<std::string> lines;  // the transcript after the command's own line
  std::string message;             // why it failed
  std::string expected, received;  // a mismatched answer
};

struct LinkCounts {
  unsigned nak = 0, crc = 0, timeout = 0;
};

struct RunOptions {
  bool quiet = false;      // only failed commands in the transcript
  bool keepGoing = false;  // run the rest of a script after a failure
  std::string prefix;      // before each transcript line: "[COM3] " with several readers
};

struct ScriptResult {
  const Script* script = nullptr;
  std::vector<StepResult> steps;  // one per step, in order
  double seconds = 0;
  std::string reader;  // "COM3" with several readers: the report's suite names it
};

// Runs one step on the channel (the exchanges, waits and checks); the link
// failures it meets are added to *counts.
StepResult RunStep(int channel, const Step& step, LinkCounts* counts);

// Writes a line and its end to standard output in one call: stdio locks the
// stream for each call, so the lines of readers running at once never mix.
void PrintLine(const std::string& line);

// Runs a script's steps in order, writing the transcript to standard output.
// It stops at the first failed step unless options.keepGoing.
ScriptResult RunScript(int channel, const Script& script, const RunOptions& options,
                       LinkCounts* counts);

}  // namespace readerscript
