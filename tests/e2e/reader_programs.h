// The programs the end-to-end tests run: readertest and readerscript of the
// build under test (the Windows ones under Wine, or with
// READERTEST_E2E_BUILD=native the native ones) against readersim on the link
// of a COM port.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/console_session.h"

// READERTEST_E2E_BUILD=native: the native build is under test.
bool NativeBuild();

// The COM port of the running group of tests (READERTEST_E2E_PORT).
int E2ePort();

// The link readersim makes for COM `port`: build/bed/simN, which the Wine
// prefix maps as that port.
std::string SimulatorLink(int port);

// readertest with these arguments, COM `port` being the simulator's link
// (natively through SERCHAN32_COMn); its standard input the file `input`
// when one is given, else a pipe.
std::unique_ptr<ConsoleSession> StartReaderTest(int port, const std::vector<std::string>& args,
                                                const std::string& input = "");

// readerscript with these arguments, COM `port` being the simulator's link;
// its standard error merged into the output; `environment` ("NAME=value")
// added to its own.
std::unique_ptr<ConsoleSession> StartReaderScript(int port, const std::vector<std::string>& args,
                                                  const std::vector<std::string>& environment = {});

// The reader simulator behind a COM port, with its frame log.
class Simulator {
 public:
  explicit Simulator(const std::vector<std::string>& options, int port = E2ePort());
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // A control line, once the simulator has acknowledged it.
  void Control(const std::string& line);
  // The frames the reader received, as hex without their CRC bytes.
  std::vector<std::string> Frames() const;
  // The frames whose command byte is the one given ("41").
  size_t Count(const std::string& command) const;

 private:
  std::string log_;
  std::unique_ptr<ConsoleSession> session_;
};
