// readerscript: reader sessions from script files, unattended, with
// expectations, a transcript, a summary and a JUnit report.
//
// Exit status: 0 every expectation met; 1 an expectation failed; 2 a link
// failure (no answer, NAK, CRC, the port cannot be opened); 3 usage or script
// error (nothing sent). With several readers, the worst reader's.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "readerscript/junit.h"
#include "readerscript/readers.h"
#include "readerscript/runner.h"
#include "readerscript/script.h"
#include "toolkit_version.h"

namespace {

using namespace readerscript;

const char kUsage[] =
    "usage: readerscript [--junit FILE] [--quiet] [--keep-going]\n"
    "                    <COM port>[,<COM port>...] <baud> SCRIPT...\n";

const char kHelp[] =
    R"(
Runs reader sessions from script files on the reader at <COM port> (a number,
or COMn) at <baud>, and checks the answers. With a list of ports (3,4,COM5;
at most 8) every script runs on each of their readers at once, a thread each:
the transcript's lines begin with their port ([COM3]), the summary has a line
per reader and a total, the report a testsuite per reader and script
("COM3 x.rsc"). A port that cannot be opened fails its reader alone.

Options:
  --junit FILE   also write a JUnit XML report: one testsuite per script (and
                 reader), one testcase per command line
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
error (nothing sent). With several readers, the worst reader's.
)";

struct Arguments {
  std::string junit;
  RunOptions run;
  std::vector<unsigned> ports;
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
  if (!ParsePorts(positional[0], &args->ports)) return false;
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

  const auto start = std::chrono::steady_clock::now();
  const std::vector<ReaderResult> readers = RunReaders(args.ports, args.baud, scripts, args.run);
  PrintSummary(readers,
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  std::fflush(stdout);
  if (junit.is_open()) {
    std::vector<ScriptResult> results;
    for (const ReaderResult& reader : readers)
      results.insert(results.end(), reader.scripts.begin(), reader.scripts.end());
    junit << JUnitReport(results);
    junit.close();
    if (!junit)
      std::fprintf(stderr, "readerscript: the report %s was not written whole\n",
                   args.junit.c_str());
  }
  return ExitStatus(readers);
}
