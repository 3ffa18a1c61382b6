// Script files: one command a line, checked whole before anything is sent.
//
//   version                      the firmware version query
//   insert N [TIMEOUT_MS]        wait for a card in reader N, power it up
//   off N [TIMEOUT_MS]           power it down, wait until it has gone
//   com N HEX [=EXPECT]          an APDU with data (5 + its fifth byte)
//   req N HEX [=EXPECT]          an APDU header (5 bytes)
//   stat [=EXPECT]               both readers' card-present status
//   echo COUNT MAX               COUNT echoes of random data shorter than MAX
//   delay MS
//
// Blank lines and '#' comments are ignored; words in any case; hex in either
// case, with or without blanks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "readerscript/expectation.h"

namespace readerscript {

enum class Verb { kVersion, kInsert, kOff, kCom, kReq, kStat, kEcho, kDelay };

enum : unsigned {
  kDefaultCardTimeoutMs = 10000,
  kMaxMs = 3600000,     // the longest wait or delay a script may ask for
  kMaxEchoData = 1024,  // an echo frame's data, at most
  kMaxEchoCount = 1000000,
};

struct Step {
  Verb verb;
  unsigned line;              // 1-based line in its file
  std::string written;        // the line as written, without comment and outer blanks
  int reader;                 // insert, off, com, req
  unsigned number;            // insert/off: time-out; echo: count; delay: ms
  unsigned max;               // echo: data shorter than this
  std::vector<uint8_t> apdu;  // com, req
  bool expects;
  Pattern expected;
};

struct Script {
  std::string path;
  std::vector<Step> steps;
};

// Parses the text of one script file. Each fault found goes to *errors as
// "path:line: why"; the script is usable only when none was added.
void ParseScript(const std::string& path, const std::string& text, Script* script,
                 std::vector<std::string>* errors);

// A decimal number of at most 10 digits in [low, high], as the script's and
// the command line's numbers are written.
bool Number(const std::string& word, unsigned low, unsigned high, unsigned* value);

// The step written plainly: lower-case word, hex as "00 A4 ...", the pattern.
std::string StepText(const Step& step);

}  // namespace readerscript
