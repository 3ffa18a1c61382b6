// readerscript: reader sessions from script files, unattended, with
// expectations, a transcript, a summary and a JUnit report.
//
// Exit status: 0 every expectation met; 1 an expectation failed; 2 a link
// failure (no answer, NAK, CRC, the port cannot be opened); 3 usage or script
// error (nothing sent).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "readerscript/junit.h"
#include "readerscript/runner.h"
#include "readerscript/script.h"
#include "serchan32/serchan32.h"
#include "toolkit_version.h"

namespace {

using namespace readerscript;

enum Exit { kAllMet = 0, kExpectationFailed = 1, kLinkFailure = 2, kUsageError = 3 };

const char kUsage[] =
    "usage: readerscript [--junit FILE] [--quiet] [--keep-going] <COM port> <baud> SCRIPT...\n";

const char kHelp[] =
    R"(
Runs reader sessions from script files on the reader at <COM port> (a number,
or COMn) at <baud>, and checks the answers.

Options:
  --junit FILE   also write a JUnit XML report: one testsuite per script, one
                 testcase per command line
  --quiet        show only the failed commands and the summary
  --keep-going   run the rest of a script after a failed command (by default
                 a script stops at its first failure; the next script runs)
  --version      the version
  --help         this text

Script lines (blank lines and # comments ignored, words in any case, hex with
or without blanks):
  version                  the firmware version query
  insert N [TIMEOUT_MS]    wait until a card is in reader N (0 upper, 1 lower;
                           at most TIMEOUT_MS, default 10000), power it up,
                           show and decode its ATR
  off N [TIMEOUT_MS]       power it down and wait until the card has gone
  com N HEX [EXPECT]       an APDU with data (5 + its fifth byte)
  req N HEX [EXPECT]       an APDU header (5 bytes)
  stat [EXPECT]            the card-present status of both readers
  echo COUNT MAX           COUNT echo exchanges of random data shorter than
                           MAX (at most 1025): each must come back intact
  delay MS
EXPECT is '=' and the expected answer in hex; '?' matches any hex digit and
'*' any run of bytes: =9000, =61??, =* 90 00. A bare '=' means =* 90 00.
Every script is checked whole before anything is sent.

Exit status: 0 every expectation met, 1 an expectation failed, 2 a link
failure (no answer, NAK, CRC; the port cannot be opened), 3 usage or script
error (nothing sent).
)";

struct Arguments {
  std::string junit;
  RunOptions run;
  unsigned port = 0;
  unsigned baud = 0;
  std::vector<std::string> scripts;
};

// Fills *args; false after saying what is wrong. *help when --help was asked.
bool ParseArguments(int argc, char** argv, Arguments* args, bool* help) {
  std::vector<const char*> positional;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (options && a == "--") {
      options = false;
    } else if (options && a == "--help") {
      *help = true;
      return true;
    } else if (options && a == "--version") {
      std::printf("readerscript %s\n", TOOLKIT_VERSION);
      std::exit(kAllMet);
    } else if (options && a == "--quiet") {
      args->run.quiet = true;
    } else if (options && a == "--keep-going") {
      args->run.keepGoing = true;
    } else if (options && a == "--junit") {
      if (++i == argc) {
        std::fprintf(stderr, "readerscript: --junit needs a file name\n");
        return false;
      }
      args->junit = argv[i];
    } else if (options && a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "readerscript: unknown option %s\n", argv[i]);
      return false;
    } else {
      positional.push_back(argv[i]);
    }
  }
  if (positional.size() < 3) {
    std::fprintf(stderr, "readerscript: a COM port, a baud rate and a script are needed\n");
    return false;
  }
  const char* port = positional[0];
  if ((port[0] == 'C' || port[0] == 'c') && (port[1] == 'O' || port[1] == 'o') &&
      (port[2] == 'M' || port[2] == 'm'))
    port += 3;
  if (!Number(port, 1, 255, &args->port)) {
    std::fprintf(stderr, "readerscript: bad COM port \"%s\" (1 to 255, or COM1 to COM255)\n",
                 positional[0]);
    return false;
  }
  if (!Number(positional[1], 1, 999999999, &args->baud)) {
    std::fprintf(stderr, "readerscript: bad baud rate \"%s\"\n", positional[1]);
    return false;
  }
  args->scripts.assign(positional.begin() + 2, positional.end());
  return true;
}

// Reads and checks every script; false (after listing every fault) when any
// cannot be run.
bool LoadScripts(const std::vector<std::string>& paths, std::vector<Script>* scripts) {
  std::vector<std::string> errors;
  scripts->resize(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    std::ifstream file(paths[i], std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file) {
      errors.push_back(paths[i] + ": cannot be read");
      continue;
    }
    ParseScript(paths[i], text.str(), &(*scripts)[i], &errors);
  }
  for (const std::string& error : errors) std::fprintf(stderr, "%s\n", error.c_str());
  if (!errors.empty())
    std::fprintf(stderr, "readerscript: %zu error(s) in the scripts; nothing was sent\n",
                 errors.size());
  return errors.empty();
}

void SayOpenFailure(const Arguments& args, int result) {
  std::fprintf(stderr, "readerscript: cannot open COM%u at %u baud (serchan32 result %d)\n",
               args.port, args.baud, result);
#ifndef _WIN32
  // Which device that was, and why that one.
  char path[4096], source[4096];
  if (XRT_M_Comm_PortDevice(args.port, path, sizeof path, source, sizeof source) != 0) {
    std::fprintf(stderr, "readerscript: COM%u leads nowhere: %s\n", args.port, source);
  } else if (std::strcmp(source, "default") == 0) {
    std::fprintf(stderr,
                 "readerscript: COM%u is %s by default (no SERCHAN32_COM%u, no ports-file line)\n",
                 args.port, path, args.port);
  } else {
    std::fprintf(stderr, "readerscript: COM%u is %s (from %s)\n", args.port, path, source);
  }
#endif
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  bool help = false;
  if (!ParseArguments(argc, argv, &args, &help)) {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  if (help) {
    std::printf("readerscript %s\n", TOOLKIT_VERSION);
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    return kAllMet;
  }
  std::vector<Script> scripts;
  if (!LoadScripts(args.scripts, &scripts)) return kUsageError;
  // The report's file is made before anything is sent, so that a path that
  // cannot be written stops the run as a usage error.
  std::ofstream junit;
  if (!args.junit.empty()) {
    junit.open(args.junit, std::ios::binary | std::ios::trunc);
    if (!junit) {
      std::fprintf(stderr, "readerscript: cannot write the report %s\n", args.junit.c_str());
      return kUsageError;
    }
  }

  int channel = -1;
  const int opened = XRT_M_Comm_OpenChannel(args.port, args.baud, &channel);
  if (opened != 0) {
    SayOpenFailure(args, opened);
    return kLinkFailure;
  }
  const auto start = std::chrono::steady_clock::now();
  LinkCounts counts;
  std::vector<ScriptResult> results;
  unsigned ran = 0, passed = 0, failed = 0, linkErrors = 0;
  for (const Script& script : scripts) {
    results.push_back(RunScript(channel, script, args.run, &counts));
    for (const StepResult& step : results.back().steps) {
      ran += step.outcome != Outcome::kNotRun;
      passed += step.outcome == Outcome::kPassed;
      failed += step.outcome == Outcome::kFailed;
      linkErrors += step.outcome == Outcome::kLinkError;
    }
  }
  XRT_M_Comm_CloseChannel(channel);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "-- commands run %u, expectations passed %u, failed %u, link failures %u "
      "(NAK %u, CRC %u, time-out %u), total %.3f s\n",
      ran, passed, failed, counts.nak + counts.crc + counts.timeout, counts.nak, counts.crc,
      counts.timeout, seconds);
  std::fflush(stdout);
  if (junit.is_open()) {
    junit << JUnitReport(results);
    junit.close();
    if (!junit)
      std::fprintf(stderr, "readerscript: the report %s was not written whole\n",
                   args.junit.c_str());
  }
  if (linkErrors != 0) return kLinkFailure;
  return failed != 0 ? kExpectationFailed : kAllMet;
}
