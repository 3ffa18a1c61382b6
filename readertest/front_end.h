// The reader console's start-up and its interactive command loop.
#pragma once

#include "readertest/arg_list.h"

// Runs the program from its command line to its end; the caller then ends
// the process.
void RunReaderTest();

// Reads and runs typed commands until an unknown command word.
void CommandLoop();
