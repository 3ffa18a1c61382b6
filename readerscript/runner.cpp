// Running a script: the transcript, stopping at a failure, the step times.
#include "readerscript/runner.h"

#include <chrono>
#include <cstdio>

namespace readerscript {

void PrintLine(const std::string& line) { std::fputs((line + '\n').c_str(), stdout); }

ScriptResult RunScript(int channel, const Script& script, const RunOptions& options,
                       LinkCounts* counts) {
  ScriptResult result;
  result.script = &script;
  result.steps.resize(script.steps.size());
  const auto start = std::chrono::steady_clock::now();
  if (!options.quiet) PrintLine(options.prefix + "== " + script.path);
  for (size_t i = 0; i < script.steps.size(); ++i) {
    const Step& step = script.steps[i];
    const std::string command = options.prefix + "> " + StepText(step);
    // The command shows before a wait for a card, so a person sees what is awaited.
    if (!options.quiet) {
      PrintLine(command);
      std::fflush(stdout);
    }
    StepResult& ran = result.steps[i];
    ran = RunStep(channel, step, counts);
    const bool failed = ran.outcome == Outcome::kFailed || ran.outcome == Outcome::kLinkError;
    if (options.quiet && failed) PrintLine(command);
    if (!options.quiet || failed) {
      for (const std::string& line : ran.lines) PrintLine(options.prefix + line);
    }
    if (failed) {
      PrintLine(options.prefix + (ran.outcome == Outcome::kFailed ? "FAIL " : "ERROR ") +
                script.path + ":" + std::to_string(step.line) + ": " + ran.message);
    }
    std::fflush(stdout);
    if (failed && !options.keepGoing) break;
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

}  // namespace readerscript
