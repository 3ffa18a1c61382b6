// The readers a run is for: the port list, every reader's run in a thread of
// its own on a channel of its own, the summary and the exit status.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "readerscript/runner.h"
#include "readerscript/script.h"

namespace readerscript {

enum Exit { kAllMet = 0, kExpectationFailed = 1, kLinkFailure = 2, kUsageError = 3 };

// serchan32 serves eight channels: one reader each.
enum : size_t { kMaxReaders = 8 };

struct ReaderResult {
  unsigned port = 0;
  int opened = 0;                     // serchan32's result for the open; 0 when it opened
  std::vector<ScriptResult> scripts;  // one per script, in order
  LinkCounts counts;
  double seconds = 0;  // from the open to the close
};

// "3", "COM3" or a list of them, "3,COM4,com5": at most kMaxReaders ports
// from 1 to 255, none twice. False after saying what is wrong.
bool ParsePorts(const std::string& text, std::vector<unsigned>* ports);

// Runs every script on the reader at each port, each reader in a thread of
// its own, all at once; with more than one reader the transcript's lines and
// the report's testsuites carry the port. A reader whose port cannot be opened
// fails alone: each of its scripts ends in a link failure at its first line.
std::vector<ReaderResult> RunReaders(const std::vector<unsigned>& ports, unsigned baud,
                                     const std::vector<Script>& scripts, const RunOptions& options);

// The summary: one reader's line as it has always been (none when its port
// did not open), or a line per reader after its port and a total line.
void PrintSummary(const std::vector<ReaderResult>& readers, double seconds);

// The worst reader's: a link failure (a port not opened too) over a failed
// expectation over every expectation met.
Exit ExitStatus(const std::vector<ReaderResult>& readers);

}  // namespace readerscript
