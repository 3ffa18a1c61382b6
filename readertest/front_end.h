// The reader console's start-up and its interactive command loop.
#pragma once

#include "readertest/arg_list.h"

// The program's exit status: 0 after quit, the end of input or a passed
// complex test; 1 when the port cannot be opened, the reader's version cannot
// be read or the complex test failed; 2 for a wrong command line or an
// unknown command word.
enum ExitStatus { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

// Runs the program from its command line to its end and returns its exit
// status; the caller then ends the process with it. (quit and the end of
// input end the process themselves, with 0.)
int RunReaderTest();

// Reads and runs typed commands until an unknown command word.
void CommandLoop();
