// The probe of the build under test.
#include "tests/dump/probe_command.h"

#include <cstdlib>

#include "tests/support/console_session.h"

bool NativeProbe() {
  const char* build = std::getenv("DUMP_PROBE_BUILD");
  return build != nullptr && std::string(build) == "native";
}

std::vector<std::string> ProbeCommand() {
  if (NativeProbe()) return {DUMP_PROBE_NATIVE};
  return WineCommand(WindowsProgram("dump_probe.exe"));
}

std::string ShellQuoted(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string ShellLine(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) line += (line.empty() ? "" : " ") + ShellQuoted(word);
  return line;
}
