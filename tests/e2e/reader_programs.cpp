#include "tests/e2e/reader_programs.h"

#include <gtest/gtest.h>

#include <cstdlib>

bool NativeBuild() {
  const char* build = std::getenv("READERTEST_E2E_BUILD");
  return build != nullptr && std::string(build) == "native";
}

std::string SimulatorLink(int port) { return RepoRoot() + "/build/bed/sim" + std::to_string(port); }

std::unique_ptr<ConsoleSession> StartReaderTest(int port, const std::vector<std::string>& args) {
  if (!NativeBuild()) {
    return std::make_unique<ConsoleSession>(WineCommand(WindowsProgram("readertest.exe"), args));
  }
#ifdef READERTEST_NATIVE_BIN
  // The native library finds the port's device in the environment.
  std::vector<std::string> argv = {
      "/usr/bin/env", "SERCHAN32_COM" + std::to_string(port) + "=" + SimulatorLink(port),
      READERTEST_NATIVE_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<ConsoleSession>(argv);
#else
  ADD_FAILURE() << "no native readertest in this build";
  return std::make_unique<ConsoleSession>(std::vector<std::string>{"/bin/false"});
#endif
}
