// The programs the end-to-end tests run: readertest of the build under test
// (the Windows one under Wine, or with READERTEST_E2E_BUILD=native the native
// one) against readersim on the link of a COM port.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/console_session.h"

// READERTEST_E2E_BUILD=native: the native build is under test.
bool NativeBuild();

// The link readersim makes for COM `port`: build/bed/simN, which the Wine
// prefix maps as that port.
std::string SimulatorLink(int port);

// readertest with these arguments, COM `port` being the simulator's link
// (natively through SERCHAN32_COMn); its standard input the file `input`
// when one is given, else a pipe.
std::unique_ptr<ConsoleSession> StartReaderTest(int port, const std::vector<std::string>& args,
                                                const std::string& input = "");
