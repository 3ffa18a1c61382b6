#include "tests/e2e/reader_programs.h"

#include <gtest/gtest.h>

#include <cstdlib>

bool NativeBuild() {
  const char* build = std::getenv("READERTEST_E2E_BUILD");
  return build != nullptr && std::string(build) == "native";
}

std::string SimulatorLink(int port) { return RepoRoot() + "/build/bed/sim" + std::to_string(port); }

namespace {

// The command with its standard input taken from a file.
std::vector<std::string> FromFile(const std::vector<std::string>& argv, const std::string& input) {
  std::vector<std::string> shell = {"/bin/sh", "-c", "f=$1; shift; exec \"$@\" < \"$f\"", "sh",
                                    input};
  shell.insert(shell.end(), argv.begin(), argv.end());
  return shell;
}

}  // namespace

std::unique_ptr<ConsoleSession> StartReaderTest(int port, const std::vector<std::string>& args,
                                                const std::string& input) {
  std::vector<std::string> argv;
  if (!NativeBuild()) {
    argv = WineCommand(WindowsProgram("readertest.exe"), args);
  } else {
#ifdef READERTEST_NATIVE_BIN
    // The native library finds the port's device in the environment.
    argv = {"/usr/bin/env", "SERCHAN32_COM" + std::to_string(port) + "=" + SimulatorLink(port),
            READERTEST_NATIVE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
#else
    ADD_FAILURE() << "no native readertest in this build";
    argv = {"/bin/false"};
#endif
  }
  return std::make_unique<ConsoleSession>(input.empty() ? argv : FromFile(argv, input));
}
