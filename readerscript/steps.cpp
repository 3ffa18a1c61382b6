// What each script command does on the reader, and how it is checked.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "carddecode/atr.h"
#include "carddecode/status_words.h"
#include "readerlink/reader_commands.h"
#include "readerscript/runner.h"

namespace readerscript {

namespace {

using Clock = std::chrono::steady_clock;

enum : unsigned { kResponseCapacity = 2048, kPollPauseMs = 20 };

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Milliseconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "(%.1f ms)", seconds * 1000);
  return text;
}

// One step's run: the reader's operations into one buffer, and the result
// being made.
class StepRun {
 public:
  StepRun(int channel, LinkCounts* counts) : channel_(channel), counts_(counts) {}

  // Runs one of the reader's operations (readerlink/reader_commands.h) with
  // its own arguments on the channel into the answer buffer, timed, keeping
  // what it gave; false after it made the step a link failure.
  template <typename Operation, typename... Args>
  bool Run(Operation operation, Args... args) {
    const Clock::time_point start = Clock::now();
    reply = operation(channel_, args..., answer, kResponseCapacity);
    exchangeSeconds = SecondsSince(start);
    const int link = reply.link;
    if (link == kLinkOk) return true;
    counts_->nak += link == kLinkNak;
    counts_->crc += link == kLinkCrc;
    counts_->timeout += link == kLinkTimeout;
    result.outcome = Outcome::kLinkError;
    result.message = std::string("link failure: ") + LinkResultText(link);
    result.lines.push_back(std::string("< ") + LinkResultText(link) + "  " +
                           Milliseconds(exchangeSeconds));
    return false;
  }
  void Answered(const std::string& note) {
    std::string line = "< " + AnswerText();
    if (reply.status != 0) {
      char text[16];
      std::snprintf(text, sizeof text, "  status %02X", reply.status);
      line += text;
    }
    if (!note.empty()) line += "  [" + note + "]";
    result.lines.push_back(line + "  " + Milliseconds(exchangeSeconds));
  }
  void Fail(const std::string& why) {
    result.outcome = Outcome::kFailed;
    result.message = why;
  }
  // Checks the answer against the step's pattern, when it has one.
  void Check(const Step& step) {
    if (!step.expects) return;
    if (Matches(step.expected, answer, reply.length)) {
      result.outcome = Outcome::kPassed;
      return;
    }
    result.expected = PatternText(step.expected);
    result.received = AnswerText();
    Fail("expected " + result.expected + ", received " + result.received);
  }

  std::string AnswerText() const {
    return reply.length != 0 ? HexText(answer, reply.length) : "(no data)";
  }

  ReaderAnswer reply;  // the last operation's
  BYTE answer[kResponseCapacity];
  double exchangeSeconds = 0;
  StepResult result;

 private:
  int channel_;
  LinkCounts* counts_;
};

// Polls the card-present bit of the step's reader until it is `wanted` or the
// step's time-out has passed; false when the step failed on the way.
bool WaitForCard(StepRun& run, const Step& step, bool wanted) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    if (!run.Run(ReaderSlots)) return false;
    if (run.reply.length <= static_cast<WORD>(step.reader)) {
      run.Fail("the status answer has " + std::to_string(run.reply.length) + " bytes");
      return false;
    }
    if (CardIn(run.reply, run.answer, step.reader) == wanted) return true;
    if (SecondsSince(start) * 1000 >= step.number) {
      run.Fail(std::string(wanted ? "no card in" : "the card is still in") + " reader " +
               std::to_string(step.reader) + " after " + std::to_string(step.number) + " ms");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollPauseMs));
  }
}

void Insert(StepRun& run, const Step& step) {
  if (!WaitForCard(run, step, true)) return;
  if (!run.Run(ReaderPowerUp, step.reader)) return;
  if (!AtrAccepted(run.reply)) {
    char why[64];
    std::snprintf(why, sizeof why, "no ATR (status %02X, %u bytes)", run.reply.status,
                  unsigned{run.reply.length});
    run.Answered("");
    run.Fail(why);
    return;
  }
  run.Answered("");
  const carddecode::Atr atr = carddecode::DecodeAtr(run.answer, run.reply.length);
  for (const std::string& line : carddecode::AtrDetails(atr))
    run.result.lines.push_back("  " + line);
  run.result.outcome = Outcome::kPassed;
  if (atr.convention == carddecode::Convention::kUnknown || !atr.complete ||
      atr.tck == carddecode::Tck::kWrong || atr.tck == carddecode::Tck::kMissing)
    run.Fail("the ATR is not valid: " + carddecode::AtrSummary(atr));
}

void Off(StepRun& run, const Step& step) {
  const Clock::time_point start = Clock::now();
  if (!run.Run(ReaderPowerDown, step.reader)) return;
  if (!WaitForCard(run, step, false)) return;
  run.result.lines.push_back("< card out of reader " + std::to_string(step.reader) + "  " +
                             Milliseconds(SecondsSince(start)));
  run.result.outcome = Outcome::kPassed;
}

void Apdu(StepRun& run, const Step& step) {
  const ApduKind kind = step.verb == Verb::kCom ? ApduKind::kCommand : ApduKind::kRequest;
  const std::vector<uint8_t>& apdu = step.apdu;
  if (!run.Run(ReaderApdu, step.reader, kind, apdu.data(), static_cast<WORD>(apdu.size()))) return;
  run.Answered(carddecode::StatusWordText(run.answer, run.reply.length));
  run.Check(step);
}

void Version(StepRun& run) {
  if (!run.Run(ReaderVersion)) return;
  if (!VersionReadable(run.reply)) {
    run.Answered("");
    run.Fail("the version answer has " + std::to_string(run.reply.length) + " bytes");
    return;
  }
  char version[32];
  std::snprintf(version, sizeof version, "version %u.%02u", run.answer[0], run.answer[1]);
  run.Answered(version);
  run.result.outcome = Outcome::kPassed;
}

void Stat(StepRun& run, const Step& step) {
  if (!run.Run(ReaderSlots)) return;
  std::string note;
  for (int reader = 0; reader < int{kSlotCount} && reader < run.reply.length; ++reader) {
    if (!note.empty()) note += ", ";
    note += "reader " + std::to_string(reader) +
            (CardIn(run.reply, run.answer, reader) ? ": card" : ": no card");
  }
  run.Answered(note);
  run.Check(step);
}

// COUNT frames of random data, each shorter than MAX; every one must come
// back as sent. The first link failure ends the run: the line is in doubt.
void Echo(StepRun& run, const Step& step) {
  std::minstd_rand random(step.line);
  std::vector<uint8_t> data;
  unsigned intact = 0;
  const Clock::time_point start = Clock::now();
  for (unsigned i = 0; i < step.number; ++i) {
    data.resize(random() % step.max);
    for (uint8_t& byte : data) byte = static_cast<uint8_t>(random());
    const uint8_t* sent = data.empty() ? nullptr : data.data();
    if (!run.Run(ReaderEcho, sent, static_cast<WORD>(data.size()))) {
      run.result.message +=
          " at echo " + std::to_string(i + 1) + " of " + std::to_string(step.number);
      return;
    }
    intact += run.reply.length == data.size() && std::equal(data.begin(), data.end(), run.answer);
  }
  run.result.lines.push_back("< " + std::to_string(intact) + " of " + std::to_string(step.number) +
                             " echoed intact  " + Milliseconds(SecondsSince(start)));
  run.result.outcome = Outcome::kPassed;
  if (intact != step.number)
    run.Fail(std::to_string(step.number - intact) + " of " + std::to_string(step.number) +
             " echoes came back altered");
}

}  // namespace

StepResult RunStep(int channel, const Step& step, LinkCounts* counts) {
  StepRun run(channel, counts);
  run.result.outcome = Outcome::kDone;
  const Clock::time_point start = Clock::now();
  switch (step.verb) {
    case Verb::kVersion:
      Version(run);
      break;
    case Verb::kInsert:
      Insert(run, step);
      break;
    case Verb::kOff:
      Off(run, step);
      break;
    case Verb::kCom:
    case Verb::kReq:
      Apdu(run, step);
      break;
    case Verb::kStat:
      Stat(run, step);
      break;
    case Verb::kEcho:
      Echo(run, step);
      break;
    case Verb::kDelay:
      std::this_thread::sleep_for(std::chrono::milliseconds(step.number));
      break;
  }
  run.result.seconds = SecondsSince(start);
  return run.result;
}

}  // namespace readerscript
