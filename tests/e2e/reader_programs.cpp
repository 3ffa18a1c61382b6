#include "tests/e2e/reader_programs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "bed_ports.h"

bool NativeBuild() {
  const char* build = std::getenv("READERTEST_E2E_BUILD");
  return build != nullptr && std::string(build) == "native";
}

int E2ePort() {
  const char* port = std::getenv("READERTEST_E2E_PORT");
  return port != nullptr ? std::atoi(port) : kSimDefault[0];
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

// A program of the build under test, COM `port` being the simulator's link.
std::vector<std::string> ProgramCommand(const std::string& name, const char* nativeBinary, int port,
                                        const std::vector<std::string>& args) {
  if (!NativeBuild()) return WineCommand(WindowsProgram(name + ".exe"), args);
  if (nativeBinary == nullptr) {
    ADD_FAILURE() << "no native " << name << " in this build";
    return {"/bin/false"};
  }
  // The native library finds the port's device in the environment.
  std::vector<std::string> argv = {
      "/usr/bin/env", "SERCHAN32_COM" + std::to_string(port) + "=" + SimulatorLink(port),
      nativeBinary};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

#ifdef READERTEST_NATIVE_BIN
const char* const kReaderTest = READERTEST_NATIVE_BIN;
#else
const char* const kReaderTest = nullptr;
#endif
#ifdef READERSCRIPT_NATIVE_BIN
const char* const kReaderScript = READERSCRIPT_NATIVE_BIN;
#else
const char* const kReaderScript = nullptr;
#endif

}  // namespace

std::unique_ptr<ConsoleSession> StartReaderTest(int port, const std::vector<std::string>& args,
                                                const std::string& input) {
  const std::vector<std::string> argv = ProgramCommand("readertest", kReaderTest, port, args);
  return std::make_unique<ConsoleSession>(input.empty() ? argv : FromFile(argv, input));
}

std::unique_ptr<ConsoleSession> StartReaderScript(int port, const std::vector<std::string>& args,
                                                  const std::vector<std::string>& environment) {
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", "/usr/bin/env"};
  argv.insert(argv.end(), environment.begin(), environment.end());
  for (const std::string& arg : ProgramCommand("readerscript", kReaderScript, port, args))
    argv.push_back(arg);
  return std::make_unique<ConsoleSession>(argv);
}

Simulator::Simulator(const std::vector<std::string>& options, int port) {
  ::mkdir((RepoRoot() + "/build/bed").c_str(), 0755);
  log_ = RepoRoot() + "/build/bed/sim" + std::to_string(port) + ".log";
  std::remove(log_.c_str());
  // Control acknowledgements come on stderr: merged, a test can wait for them.
  std::vector<std::string> argv = {"/bin/sh",     "-c",     "exec \"$0\" \"$@\" 2>&1",
                                   READERSIM_BIN, "--link", SimulatorLink(port),
                                   "--log",       log_};
  argv.insert(argv.end(), options.begin(), options.end());
  session_ = std::make_unique<ConsoleSession>(argv);
  EXPECT_TRUE(session_->Expect("/dev/pts/", 10000)) << session_->Output();
}

Simulator::~Simulator() {
  session_->Send("quit\n");
  session_->WaitExit(5000);
}

void Simulator::Control(const std::string& line) {
  session_->Send(line + "\n");
  EXPECT_TRUE(session_->Expect("ok: " + line, 5000)) << session_->Output();
}

std::vector<std::string> Simulator::Frames() const {
  std::vector<std::string> frames;
  std::ifstream log(log_);
  std::string line;
  while (std::getline(log, line)) {
    const size_t in = line.find(" in  ");
    const size_t bar = line.find(" | ");
    if (in == std::string::npos || bar == std::string::npos) continue;
    if (line.find("discarded") != std::string::npos || line.find("abandoned") != std::string::npos)
      continue;
    std::string hex = line.substr(in + 5, bar - in - 5);
    frames.push_back(hex.size() > 6 ? hex.substr(0, hex.size() - 6) : hex);
  }
  return frames;
}

size_t Simulator::Count(const std::string& command) const {
  size_t count = 0;
  for (const std::string& frame : Frames()) count += frame.compare(0, 2, command) == 0;
  return count;
}
