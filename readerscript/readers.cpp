// Several readers at once: a thread and a serchan32 channel for each, the
// summary lines after all have ended.
#include "readerscript/readers.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include "serchan32/serchan32.h"

namespace readerscript {

namespace {

using Clock = std::chrono::steady_clock;

struct Tally {
  unsigned ran = 0, passed = 0, failed = 0, linkErrors = 0;
};

// What a reader's scripts did; nothing for a reader whose port did not open.
Tally Count(const ReaderResult& reader) {
  Tally tally;
  if (reader.opened != 0) return tally;
  for (const ScriptResult& script : reader.scripts) {
    for (const StepResult& step : script.steps) {
      tally.ran += step.outcome != Outcome::kNotRun;
      tally.passed += step.outcome == Outcome::kPassed;
      tally.failed += step.outcome == Outcome::kFailed;
      tally.linkErrors += step.outcome == Outcome::kLinkError;
    }
  }
  return tally;
}

// The summary's figures; with `unopened` not negative (the total's), the
// ports that did not open are link failures too.
std::string Figures(const Tally& tally, const LinkCounts& counts, double seconds,
                    int unopened = -1) {
  const unsigned links =
      counts.nak + counts.crc + counts.timeout + static_cast<unsigned>(std::max(unopened, 0));
  char text[256];
  std::snprintf(text, sizeof text,
                "commands run %u, expectations passed %u, failed %u, link failures %u "
                "(NAK %u, CRC %u, time-out %u",
                tally.ran, tally.passed, tally.failed, links, counts.nak, counts.crc,
                counts.timeout);
  std::string figures = text;
  if (unopened >= 0) figures += ", ports not opened " + std::to_string(unopened);
  std::snprintf(text, sizeof text, "), total %.3f s", seconds);
  return figures + text;
}

void SayOpenFailure(unsigned port, unsigned baud, int result) {
  std::fprintf(stderr, "readerscript: cannot open COM%u at %u baud (serchan32 result %d)\n", port,
               baud, result);
#ifndef _WIN32
  // Which device that was, and why that one.
  char path[4096], source[4096];
  if (XRT_M_Comm_PortDevice(port, path, sizeof path, source, sizeof source) != 0) {
    std::fprintf(stderr, "readerscript: COM%u leads nowhere: %s\n", port, source);
  } else if (std::strcmp(source, "default") == 0) {
    std::fprintf(stderr,
                 "readerscript: COM%u is %s by default (no SERCHAN32_COM%u, no ports-file line)\n",
                 port, path, port);
  } else {
    std::fprintf(stderr, "readerscript: COM%u is %s (from %s)\n", port, path, source);
  }
#endif
}

// A script on a reader whose port did not open: nothing could be sent, so its
// first line is a link failure and the rest are not reached.
ScriptResult NotOpened(const Script& script, unsigned port, unsigned baud, int opened) {
  ScriptResult result;
  result.script = &script;
  result.steps.resize(script.steps.size());
  if (!result.steps.empty()) {
    result.steps[0].outcome = Outcome::kLinkError;
    result.steps[0].message = "link failure: cannot open COM" + std::to_string(port) + " at " +
                              std::to_string(baud) + " baud (serchan32 result " +
                              std::to_string(opened) + ")";
  }
  return result;
}

// One reader's thread: its channel, open for all the scripts in turn.
void RunReader(unsigned baud, const std::vector<Script>& scripts, const RunOptions& options,
               const std::string& name, ReaderResult* reader) {
  int channel = -1;
  reader->opened = XRT_M_Comm_OpenChannel(reader->port, baud, &channel);
  if (reader->opened != 0) {
    SayOpenFailure(reader->port, baud, reader->opened);
    for (const Script& script : scripts)
      reader->scripts.push_back(NotOpened(script, reader->port, baud, reader->opened));
  } else {
    const Clock::time_point start = Clock::now();
    for (const Script& script : scripts)
      reader->scripts.push_back(RunScript(channel, script, options, &reader->counts));
    XRT_M_Comm_CloseChannel(channel);
    reader->seconds = std::chrono::duration<double>(Clock::now() - start).count();
  }
  for (ScriptResult& result : reader->scripts) result.reader = name;
}

}  // namespace

bool ParsePorts(const std::string& text, std::vector<unsigned>* ports) {
  std::vector<std::string> items;
  for (size_t start = 0;;) {
    const size_t comma = text.find(',', start);
    items.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (items.size() > kMaxReaders) {
    std::fprintf(stderr,
                 "readerscript: %zu COM ports; at most %zu readers run at once (serchan32 "
                 "serves %zu channels)\n",
                 items.size(), size_t{kMaxReaders}, size_t{kMaxReaders});
    return false;
  }
  for (const std::string& item : items) {
    std::string number = item;
    if (number.size() >= 3 && std::tolower(static_cast<unsigned char>(number[0])) == 'c' &&
        std::tolower(static_cast<unsigned char>(number[1])) == 'o' &&
        std::tolower(static_cast<unsigned char>(number[2])) == 'm')
      number.erase(0, 3);
    unsigned port = 0;
    if (!Number(number, 1, 255, &port)) {
      std::fprintf(stderr, "readerscript: bad COM port \"%s\" (1 to 255, or COM1 to COM255)\n",
                   item.c_str());
      return false;
    }
    if (std::find(ports->begin(), ports->end(), port) != ports->end()) {
      std::fprintf(stderr, "readerscript: COM%u is given twice\n", port);
      return false;
    }
    ports->push_back(port);
  }
  return true;
}

std::vector<ReaderResult> RunReaders(const std::vector<unsigned>& ports, unsigned baud,
                                     const std::vector<Script>& scripts,
                                     const RunOptions& options) {
  std::vector<ReaderResult> readers(ports.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < ports.size(); ++i) {
    readers[i].port = ports[i];
    // One reader's lines and testsuites are as they have always been.
    const std::string name = ports.size() > 1 ? "COM" + std::to_string(ports[i]) : "";
    RunOptions own = options;
    own.prefix = name.empty() ? "" : "[" + name + "] ";
    threads.emplace_back(RunReader, baud, std::cref(scripts), own, name, &readers[i]);
  }
  for (std::thread& thread : threads) thread.join();
  return readers;
}

void PrintSummary(const std::vector<ReaderResult>& readers, double seconds) {
  if (readers.size() == 1) {
    if (readers[0].opened == 0)
      PrintLine("-- " + Figures(Count(readers[0]), readers[0].counts, readers[0].seconds));
    return;
  }
  Tally total;
  LinkCounts links;
  int unopened = 0;
  for (const ReaderResult& reader : readers) {
    const std::string port = "[COM" + std::to_string(reader.port) + "] -- ";
    if (reader.opened != 0) {
      ++unopened;
      PrintLine(port + "the port cannot be opened: a link failure, nothing sent");
      continue;
    }
    const Tally tally = Count(reader);
    PrintLine(port + Figures(tally, reader.counts, reader.seconds));
    total.ran += tally.ran;
    total.passed += tally.passed;
    total.failed += tally.failed;
    links.nak += reader.counts.nak;
    links.crc += reader.counts.crc;
    links.timeout += reader.counts.timeout;
  }
  PrintLine("-- " + std::to_string(readers.size()) +
            " readers: " + Figures(total, links, seconds, unopened));
}

Exit ExitStatus(const std::vector<ReaderResult>& readers) {
  Exit worst = kAllMet;
  for (const ReaderResult& reader : readers) {
    const Tally tally = Count(reader);
    if (reader.opened != 0 || tally.linkErrors != 0) return kLinkFailure;
    if (tally.failed != 0) worst = kExpectationFailed;
  }
  return worst;
}

}  // namespace readerscript
