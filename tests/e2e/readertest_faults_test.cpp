// The reader console against a faulty reader, end to end: every fault the
// simulator can put on an answer, against every command that exchanges
// frames, must give the message the link result calls for and the prompt
// back, within the link's own time-outs; a long echo run with a random share
// of faulted answers must count each one where it belongs; and a line that
// vanishes must leave the program usable or let it end cleanly.
//
// The cases run in lanes, one simulator and one readertest per COM port
// (the bed's sim_readertest_faults row), because most of their time is spent waiting out the
// link's 5 s time-outs. READERTEST_E2E_BUILD=native runs the native build,
// otherwise readertest.exe runs under Wine.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bed_ports.h"
#include "tests/e2e/reader_programs.h"
#include "tests/support/console_session.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kRoot = RepoRoot();
const std::string kPrompt = "\nEnter command->";
const std::string kHexPrompt = " Введите команду в HEX формате :";
const char kEsc[] = "\x1b";
const auto& kPorts = kSimReadertestFaults;

// A failed answer is given up after the first byte's 5000 ms at most; the
// data block may take another 5000 ms. Waits below this did not sit out a
// time-out; waits above it did.
const int kTimeoutShownMs = 4500;
// Hang guard for one command with one failing exchange: both of the link's
// time-outs and a wide margin for a loaded machine.
const int kGuardMs = 25000;
// A late answer (the slow fault) lands 6000 ms after its command, 1000 ms
// after the host gave up; this long after the give-up it is in the input.
const int kLateAnswerLandsMs = 1500;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// --- link results and their messages ---

enum Outcome { kOk = 0, kNak = 1, kCrc = 2, kTimeout = 3 };

const char* const kLinkMessages[] = {
    " УСПЕШНОЕ ВЫПОЛНЕНИЕ\n", " ОШИБКА: принят NAK\n", " ОШИБКА: несовпадение CRC\n",
    " ОШИБКА: TIME-OUT при приеме пакета\n", " ОШИБКА: НЕИЗВЕСТНАЯ\n"};

// The output reports `outcome` once and no other link result; a good
// exchange reports nothing.
void ExpectReported(const std::string& output, Outcome outcome) {
  for (int code = 0; code < 5; ++code) {
    const size_t want = outcome != kOk && code == outcome ? 1 : 0;
    EXPECT_EQ(Occurrences(output, kLinkMessages[code]), want) << "message " << code << " in:\n"
                                                              << output;
  }
}

// A fault the simulator puts on answers, and what the host makes of it.
struct Kind {
  std::string fault;  // the words after "fault"
  Outcome outcome;
  bool late;  // the answer still comes, after the host gave up
};

// A time-out is waited out unless the cut answer has no data: then only the
// CRC byte's 100 ms are.
bool WaitsOut(const Kind& kind, bool answerHasData) {
  return kind.outcome == kTimeout && (kind.fault != "cut" || answerHasData);
}

const Kind kNakKind{"nak", kNak, false};
const Kind kCrcKind{"crc", kCrc, false};
const Kind kLongKind{"long", kCrc, false};        // a length beyond the buffer counts as CRC
const Kind kGarbageKind{"garbage", kCrc, false};  // 5A A5 3C: status 5A, length 42300
const Kind kCutKind{"cut", kTimeout, false};
const Kind kSilentKind{"silent", kTimeout, false};
const Kind kSlowKind{"slow", kTimeout, true};
const Kind kInTimeKind{"delay 1500", kOk, false};  // late, but within the time-out

// --- the simulator ---

class Simulator {
 public:
  Simulator(int port, const std::vector<std::string>& options) : link_(SimulatorLink(port)) {
    log_ = kRoot + "/build/bed/sim" + std::to_string(port) + ".faults.log";
    std::remove(log_.c_str());
    // Its pid first, so that a test can kill it; control acks come on stderr.
    std::vector<std::string> argv = {
        "/bin/sh",     "-c",     "echo \"pid $$\"; exec \"$0\" \"$@\" 2>&1",
        READERSIM_BIN, "--link", SimulatorLink(port),
        "--log",       log_};
    argv.insert(argv.end(), options.begin(), options.end());
    session_ = std::make_unique<ConsoleSession>(argv);
    EXPECT_TRUE(session_->Expect("/dev/pts/", 10000)) << session_->Output();
    const size_t at = session_->Output().find("pid ");
    if (at != std::string::npos) pid_ = std::atoi(session_->Output().c_str() + at + 4);
  }
  ~Simulator() {
    if (!gone_) session_->Send("quit\n");
    session_->WaitExit(5000);
  }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  void Control(const std::string& line) {
    const size_t from = session_->Output().size();
    session_->Send(line + "\n");
    EXPECT_TRUE(session_->Expect("ok: ", 5000)) << line << "\n" << session_->Output();
    EXPECT_FALSE(Contains(session_->Output().substr(from), "error: ")) << line << "\n"
                                                                       << session_->Output();
  }
  // Ends the simulator at once (SIGKILL) or through its quit line: either
  // way its pseudo-terminal closes under the host.
  void Kill() {
    ASSERT_GT(pid_, 0);
    kill(pid_, SIGKILL);
    EXPECT_EQ(session_->WaitExit(5000), 128 + SIGKILL);
    gone_ = true;
    // Killed, it leaves its link behind; the pseudo-terminal's number is
    // soon another's, and nothing may follow the link there.
    unlink(link_.c_str());
  }
  void Quit() {
    session_->Send("quit\n");
    EXPECT_EQ(session_->WaitExit(5000), 0);
    gone_ = true;
  }

  // The log's entries (time stamps cut off) after the last one that begins
  // with `marker`, or all of them.
  std::vector<std::string> LogSince(const std::string& marker = "") const {
    std::vector<std::string> entries;
    std::ifstream log(log_);
    std::string line;
    while (std::getline(log, line)) {
      const size_t first = line.find(' ');
      const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
      if (second == std::string::npos) continue;
      std::string text = line.substr(second + 1);
      if (!marker.empty() && text.compare(0, marker.size(), marker) == 0) {
        entries.clear();
        continue;
      }
      entries.push_back(text);
    }
    return entries;
  }
  // The command frames received after the marker, as their command bytes.
  std::vector<std::string> CommandsSince(const std::string& marker) const {
    std::vector<std::string> commands;
    for (const std::string& entry : LogSince(marker)) {
      if (entry.compare(0, 4, "in  ") != 0 || Contains(entry, "discarded") ||
          Contains(entry, "abandoned") || Contains(entry, "bad CRC"))
        continue;
      commands.push_back(entry.substr(4, 2));
    }
    return commands;
  }

 private:
  std::string log_;
  std::string link_;
  std::unique_ptr<ConsoleSession> session_;
  pid_t pid_ = -1;
  bool gone_ = false;
};

// --- the program ---

std::unique_ptr<ConsoleSession> ReaderTest(int port, const std::vector<std::string>& args) {
  std::vector<std::string> all = {std::to_string(port), "115200"};
  all.insert(all.end(), args.begin(), args.end());
  return StartReaderTest(port, all);
}

// readertest at its first prompt.
std::unique_ptr<ConsoleSession> Interactive(int port) {
  auto program = ReaderTest(port, {});
  EXPECT_TRUE(program->Expect(kPrompt, 30000)) << program->Output();
  return program;
}

// Under Wine 8, readertest.exe is, about once in 300 exits, killed inside
// Wine by SIGSEGV or SIGKILL as it ends: a thread that Wine starts for the
// port's event wait takes the termination signal before it is set up. A job
// whose program Wine killed so runs once more (RunOnPorts); a second such
// exit fails, as does every other status.
thread_local bool exitRaceMayRetry = false;
thread_local bool exitRaceSeen = false;

// The program ended with the exit code given.
void ExpectExit(ConsoleSession& program, int expected = 0) {
  const int status = program.WaitExit(10000);
  const bool signalled = status == 128 + SIGSEGV || status == 128 + SIGKILL;
  if (signalled && !NativeBuild() && exitRaceMayRetry) {
    exitRaceSeen = true;
    return;
  }
  EXPECT_EQ(status, expected) << (signalled
                                      ? "ended by signal " + std::to_string(status - 128) +
                                            (NativeBuild() ? ""
                                                           : " (the exit race inside Wine, again)")
                                      : std::string());
}

// One typed command: what it printed up to the next prompt, and how long it
// took from its last input.
struct Typed {
  bool prompt = false;  // the prompt came back within the guard
  std::string output;
  long long ms = 0;
};

// The part of the output from `from` through the last match.
std::string Matched(const ConsoleSession& program, size_t from) {
  const size_t end = program.Output().size() - program.Unmatched().size();
  return end > from ? program.Output().substr(from, end - from) : std::string();
}

Typed Type(ConsoleSession& program, const std::string& line, const std::string& hex = "",
           int guardMs = kGuardMs) {
  Typed typed;
  const size_t from = program.Output().size();
  program.Send(line + "\n");
  if (!hex.empty()) {
    if (!program.Expect(kHexPrompt, 10000)) {
      typed.output = program.Output().substr(from);
      return typed;
    }
    program.Send(hex + "\n");
  }
  const Clock::time_point start = Clock::now();
  typed.prompt = program.Expect(kPrompt, guardMs);
  typed.ms = MsSince(start);
  typed.output = typed.prompt ? Matched(program, from) : program.Output().substr(from);
  return typed;
}

// The status line field that shows N exchanges made: "N=%-5u LEN=".
std::string EchoCount(unsigned n) {
  std::string count = std::to_string(n);
  if (count.size() < 5) count.resize(5, ' ');
  return "N=" + count + " LEN=";
}

struct EchoCounters {
  unsigned n = 0, length = 0, ok = 0, nak = 0, crc = 0, timeouts = 0;
  bool found = false;
};

// The last echo status line of the output: each rewrites the one before or
// follows an error line.
EchoCounters LastEchoCounters(const std::string& output) {
  EchoCounters c;
  const size_t r = output.rfind("\rN="), n = output.rfind("\nN=");
  const size_t last = r == std::string::npos ? n : n == std::string::npos ? r : std::max(r, n);
  if (last == std::string::npos) return c;
  c.found = std::sscanf(output.c_str() + last + 1, "N=%u LEN=%u OK=%u NAK=%u CRC=%u TO=%u", &c.n,
                        &c.length, &c.ok, &c.nak, &c.crc, &c.timeouts) == 6;
  return c;
}

unsigned Counted(const EchoCounters& c, Outcome outcome) {
  switch (outcome) {
    case kOk:
      return c.ok;
    case kNak:
      return c.nak;
    case kCrc:
      return c.crc;
    case kTimeout:
      return c.timeouts;
  }
  return 0;
}

// Elapsed time fits the fault: a waited-out time-out takes at least the
// first byte's time-out, nothing else does.
void ExpectTime(const Typed& typed, bool waitsOut, long long atLeastMs = 0) {
  if (waitsOut) {
    EXPECT_GE(typed.ms, kTimeoutShownMs);
  } else {
    EXPECT_LT(typed.ms, kTimeoutShownMs) << "waited out a time-out the answer did not call for";
    EXPECT_GE(typed.ms, atLeastMs);
  }
}

// --- lanes ---

// Holds a port for one job. Other build trees of this checkout share
// build/bed, and so the simulators' links: a run there waits for the port
// instead of taking the link from under this one.
class PortLock {
 public:
  explicit PortLock(int port) {
    const std::string path = kRoot + "/build/bed/sim" + std::to_string(port) + ".lock";
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~PortLock() {
    if (fd_ >= 0) close(fd_);
  }
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;

 private:
  int fd_ = -1;
};

struct Job {
  std::string name;
  std::function<void(int port)> run;
};

// Runs the jobs on the four ports, one at a time on each, in their order.
void RunOnPorts(const std::vector<Job>& jobs) {
  std::atomic<size_t> next{0};
  std::vector<std::thread> lanes;
  for (int port : kPorts) {
    lanes.emplace_back([&jobs, &next, port] {
      for (size_t i = next++; i < jobs.size(); i = next++) {
        SCOPED_TRACE(jobs[i].name + " on COM" + std::to_string(port));
        PortLock lock(port);
        exitRaceMayRetry = true;
        exitRaceSeen = false;
        jobs[i].run(port);
        exitRaceMayRetry = false;
        if (exitRaceSeen) {
          std::printf("%s on COM%d: Wine killed the program at its exit; the job runs again\n",
                      jobs[i].name.c_str(), port);
          jobs[i].run(port);
        }
      }
    });
  }
  for (std::thread& lane : lanes) lane.join();
}

// ============================================================================
// The version query at start-up. (No answer at all is an e2e case already.)

void VersionAtStart(const Kind& kind, int port) {
  Simulator reader(port, {"--fault", kind.fault + " once"});
  auto program = ReaderTest(port, {});
  ASSERT_TRUE(program->Expect(" Kestrix Bench\n", 30000)) << program->Output();
  const Clock::time_point start = Clock::now();
  if (kind.outcome == kOk) {
    ASSERT_TRUE(program->Expect("Версия программного обеспечения ридера 1.00\n", kGuardMs))
        << program->Output();
    ASSERT_TRUE(program->Expect(kPrompt, 10000)) << program->Output();
    EXPECT_GE(MsSince(start), 1400);
    program->Send("quit\n");
    ExpectExit(*program);
    ExpectReported(program->Output(), kOk);
    return;
  }
  ASSERT_TRUE(program->Expect(kLinkMessages[kind.outcome], kGuardMs)) << program->Output();
  Typed typed;
  typed.ms = MsSince(start);
  ExpectTime(typed, WaitsOut(kind, true));
  // A failed version query ends the program, with status 1.
  ExpectExit(*program, 1);
  ExpectReported(program->Output(), kind.outcome);
  EXPECT_FALSE(Contains(program->Output(), "Версия программного"));
  EXPECT_FALSE(Contains(program->Output(), "Enter command"));
  EXPECT_EQ(reader.CommandsSince(""), std::vector<std::string>{"04"});
}

TEST(Version, EveryFaultOnTheFirstAnswer) {
  std::vector<Job> jobs;
  for (const Kind& kind :
       {kSlowKind, kCutKind, kInTimeKind, kNakKind, kCrcKind, kLongKind, kGarbageKind}) {
    jobs.push_back(
        {"version, fault " + kind.fault, [kind](int port) { VersionAtStart(kind, port); }});
  }
  RunOnPorts(jobs);
}

// ============================================================================
// The commands at the prompt, each kind of fault in a lane of its own.

struct CardCase {
  const char* line;     // the command typed
  const char* hex;      // typed at the hex prompt, or empty
  const char* when;     // the answer the fault hits: the command's first or second
  bool answerHasData;   // the faulted answer carries data
  const char* shown;    // shown before the failing exchange, or empty
  const char* success;  // what a good run shows
  const char* erased;   // the blank line that erases a prompt line after a failure, or empty
};

const char kInsertUpper[] = "ВСТАВЬТЕ карту в ВЕРХНИЙ ридер (Для выхода нажмите ESC)\r";
const char kInsertLower[] = "ВСТАВЬТЕ карту в НИЖНИЙ ридер (Для выхода нажмите ESC)\r";
const char kRemove[] = "ВЫНЬТЕ КАРТУ\r";

// Blanks as many as the characters of the prompt line (its UTF-8 text less
// the "\r"), then "\r".
std::string BlankFor(const std::string& shown) {
  size_t characters = 0;
  for (unsigned char c : shown) characters += (c & 0xC0) != 0x80;
  return std::string(characters - 1, ' ') + "\r";
}

// Before each: both cards in their slots, unpowered.
const CardCase kCardCases[] = {
    // insert: the card-present poll, then (the second answer) the power-up.
    {"insert 0", "", "once", true, kInsertUpper, "ATR\n0000  3B 02 14 50", kInsertUpper},
    {"insert 1", "", "every 2", true, kInsertLower, "ATR\n0000  3B 02 14 50", kInsertLower},
    // off: the power-down, which answers no data and before which nothing is
    // shown, then the poll until the card is out.
    {"off 0", "", "once", false, "", kRemove, ""},
    {"off 1", "", "every 2", true, kRemove, kRemove, kRemove},
    // com shows the bytes it sends before the exchange; the unpowered
    // card's refusal is the good answer.
    {"com 0", "00 A4 04 00 02 3F 00", "once", true, "0000  00 A4 04 00 02 3F 00", "0000  69 85",
     ""},
    {"req 1", "00 C0 00 00 1C", "once", true, "", "0000  69 85", ""},
};

// After a case: the link answers right again, a late or cut-short answer
// before it discarded by the flush that opens each exchange.
void ExpectRecovered(Simulator& reader, ConsoleSession& program) {
  reader.Control("fault off");
  reader.Control("insert 1");
  const Typed typed = Type(program, "req 1", "00 C0 00 00 02");
  ASSERT_TRUE(typed.prompt) << typed.output;
  ExpectReported(typed.output, kOk);
  EXPECT_TRUE(Contains(typed.output, "\n0000  69 85 ")) << typed.output;
}

void CardCommand(const Kind& kind, const CardCase& c, Simulator& reader, ConsoleSession& program) {
  SCOPED_TRACE(std::string(c.line) + ", fault " + kind.fault + " " + c.when);
  reader.Control("insert 0");
  reader.Control("insert 1");
  reader.Control("fault " + kind.fault + " " + c.when);
  const Typed typed = Type(program, c.line, c.hex);
  ASSERT_TRUE(typed.prompt) << "no prompt within " << kGuardMs << " ms:\n" << typed.output;
  ExpectReported(typed.output, kind.outcome);
  if (kind.outcome == kOk) {
    EXPECT_TRUE(Contains(typed.output, c.success)) << typed.output;
    ExpectTime(typed, false, 1400);
  } else {
    const std::string& out = typed.output;
    if (std::string(c.success) != c.shown) {
      EXPECT_FALSE(Contains(out, c.success)) << out;
    }
    if (*c.shown != '\0') {
      EXPECT_LT(out.find(c.shown), out.find(kLinkMessages[kind.outcome])) << out;
    }
    if (std::string(c.line).compare(0, 3, "off") == 0 && *c.shown == '\0') {
      EXPECT_FALSE(Contains(out, kRemove)) << "a prompt shown before the power-down:\n" << out;
    }
    // A prompt line still standing is erased after the message.
    if (*c.erased != '\0') {
      const size_t message = out.find(kLinkMessages[kind.outcome]);
      EXPECT_NE(out.find(BlankFor(c.erased), message), std::string::npos) << out;
    }
    ExpectTime(typed, WaitsOut(kind, c.answerHasData));
  }
  if (kind.late) std::this_thread::sleep_for(std::chrono::milliseconds(kLateAnswerLandsMs));
  ExpectRecovered(reader, program);
}

// stat: a failed poll gives its error line, and the polling goes on.
void StatCommand(const Kind& kind, Simulator& reader, ConsoleSession& program) {
  SCOPED_TRACE("stat, fault " + kind.fault + " once");
  reader.Control("insert 0");
  reader.Control("insert 1");
  reader.Control("fault " + kind.fault + " once");
  const size_t from = program.Output().size();
  program.Send("stat\n");
  const std::string error = " ERR=" + std::to_string(kind.outcome) + " LenIn=0 LenOut=0\n";
  if (kind.outcome != kOk) {
    ASSERT_TRUE(program.Expect(error, kGuardMs)) << program.Output().substr(from);
  }
  // Two more status lines: at least one from a poll after the failed one.
  ASSERT_TRUE(program.Expect("0->01  1->01\r", kGuardMs)) << program.Output().substr(from);
  ASSERT_TRUE(program.Expect("0->01  1->01\r", kGuardMs)) << program.Output().substr(from);
  program.Send("x");
  ASSERT_TRUE(program.Expect(kPrompt, kGuardMs)) << program.Output().substr(from);
  const std::string out = Matched(program, from);
  EXPECT_EQ(Occurrences(out, " ERR="), kind.outcome == kOk ? 0u : 1u) << out;
  ExpectReported(out, kOk);  // stat prints error lines, never the link's messages
  ExpectRecovered(reader, program);
}

// echo: a failed exchange gives its error line and one count in its column.
void EchoCommand(const Kind& kind, Simulator& reader, ConsoleSession& program) {
  SCOPED_TRACE("echo, fault " + kind.fault + " once");
  reader.Control("fault " + kind.fault + " once");
  const size_t from = program.Output().size();
  program.Send("echo 16\n");
  ASSERT_TRUE(program.Expect(EchoCount(6), kGuardMs)) << program.Output().substr(from);
  program.Send("x");
  ASSERT_TRUE(program.Expect(kPrompt, kGuardMs)) << program.Output().substr(from);
  const std::string out = Matched(program, from);
  const EchoCounters c = LastEchoCounters(out);
  ASSERT_TRUE(c.found) << out;
  EXPECT_EQ(c.n, c.ok + c.nak + c.crc + c.timeouts) << out;
  const unsigned failed = kind.outcome == kOk ? 0 : 1;
  EXPECT_EQ(c.ok, c.n - failed) << out;
  EXPECT_EQ(Occurrences(out, " ERR="), failed) << out;
  if (failed != 0) {
    EXPECT_EQ(Counted(c, kind.outcome), 1u) << out;
    EXPECT_TRUE(Contains(out, " ERR=" + std::to_string(kind.outcome) + " LenIn=")) << out;
    EXPECT_TRUE(Contains(out, " LenOut=0\n")) << out;
  }
  ExpectReported(out, kOk);
  ExpectRecovered(reader, program);
}

// One program on one simulator: the card commands, or stat and echo, each
// against one kind of fault.
void CardLane(const Kind& kind, int port) {
  Simulator reader(port, {"--remove-on-power-down"});
  auto program = Interactive(port);
  for (const CardCase& c : kCardCases) CardCommand(kind, c, reader, *program);
  program->Send("quit\n");
  ExpectExit(*program);
}

void LoopLane(const Kind& kind, int port) {
  Simulator reader(port, {"--remove-on-power-down"});
  auto program = Interactive(port);
  StatCommand(kind, reader, *program);
  EchoCommand(kind, reader, *program);
  program->Send("quit\n");
  ExpectExit(*program);
}

TEST(Commands, EveryFaultOnEveryCommand) {
  std::vector<Job> jobs;
  // The lanes that wait out time-outs first.
  for (const Kind& kind : {kSlowKind, kSilentKind, kCutKind, kInTimeKind, kNakKind, kCrcKind,
                           kLongKind, kGarbageKind}) {
    jobs.push_back(
        {"card commands, fault " + kind.fault, [kind](int port) { CardLane(kind, port); }});
  }
  for (const Kind& kind : {kSlowKind, kSilentKind, kCutKind, kInTimeKind, kNakKind, kCrcKind,
                           kLongKind, kGarbageKind}) {
    jobs.push_back(
        {"stat and echo, fault " + kind.fault, [kind](int port) { LoopLane(kind, port); }});
  }
  RunOnPorts(jobs);
}

// ============================================================================
// The complex test in its loop: each pass with a fault on one of its answers.
// A pass's answers: 1 version, 2 poll, 3 power-up, 4 APDU, 5 power-down and
// 6 poll for the upper slot, then 7 to 11 the same for the lower one.

struct Pass {
  int answer;  // the answer faulted (its place in the pass), or 0 for none
  Kind kind;
};

void ComplexTestLane(const std::vector<Pass>& passes, int port) {
  Simulator reader(port, {"--remove-on-power-down"});
  std::unique_ptr<ConsoleSession> program;
  for (const Pass& pass : passes) {
    const std::string fault =
        pass.answer == 0 ? "fault off"
                         : "fault " + pass.kind.fault + " every " + std::to_string(pass.answer);
    SCOPED_TRACE("pass with " + fault);
    reader.Control("insert 0");
    reader.Control("insert 1");
    reader.Control(fault);
    const size_t from = program ? program->Output().size() : 0;
    if (!program) {
      program = ReaderTest(port, {"TC"});
    } else {
      program->Send(kEsc);
    }
    const bool good = pass.answer == 0 || pass.kind.outcome == kOk;
    const std::string verdict = good ? "Kestrix УСПЕШНО протестирован (Для выхода нажмите ESC)\n"
                                     : "ОШИБКА при тестировании Kestrix (Для выхода нажмите ESC)\n";
    ASSERT_TRUE(program->Expect(verdict, 30000 + kGuardMs)) << program->Output().substr(from);
    const std::string out = Matched(*program, from);
    ExpectReported(out, good ? kOk : pass.kind.outcome);
    EXPECT_EQ(Contains(out, "Версия программного обеспечения ридера 1.00"), pass.answer != 1)
        << out;
    // The first failure ends the pass: the reader got the failing answer's
    // command last. A good pass makes all eleven exchanges.
    const std::vector<std::string> commands = reader.CommandsSince("control: fault");
    const std::vector<std::string> all = {"04", "01", "41", "43", "44", "01",
                                          "01", "81", "83", "84", "01"};
    const size_t made = good ? all.size() : static_cast<size_t>(pass.answer);
    EXPECT_EQ(commands, std::vector<std::string>(all.begin(), all.begin() + made));
    if (pass.kind.late && !good) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kLateAnswerLandsMs));
    }
  }
  // The end of input ends the loop in its wait for ESC; a failed pass fails it.
  program->CloseInput();
  bool failed = false;
  for (const Pass& pass : passes) failed |= pass.answer != 0 && pass.kind.outcome != kOk;
  ExpectExit(*program, failed ? 1 : 0);
}

TEST(ComplexTest, AFaultOnEachAnswerOfAPass) {
  // Every answer of a pass faulted once, every kind on some answer; cut both
  // on an answer with data and on the power-down's empty one. Each lane ends
  // with a good pass after its faults.
  const std::vector<Pass> first = {{1, kSlowKind}, {3, kCutKind}, {5, kCutKind},
                                   {7, kLongKind}, {9, kNakKind}, {11, kGarbageKind},
                                   {0, kNakKind}};
  const std::vector<Pass> second = {{2, kNakKind},     {4, kCrcKind},  {6, kSilentKind},
                                    {8, kGarbageKind}, {10, kCrcKind}, {3, kInTimeKind},
                                    {0, kNakKind}};
  RunOnPorts(
      {{"complex test, odd answers", [first](int port) { ComplexTestLane(first, port); }},
       {"complex test, even answers", [second](int port) { ComplexTestLane(second, port); }}});
}

// ============================================================================
// A long echo run with a random share of the answers faulted.

unsigned EnvNumber(const char* name, unsigned fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? static_cast<unsigned>(std::atol(value)) : fallback;
}

std::string EnvText(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

// The run's size and faults come from the environment: the exchanges
// (READERTEST_FAULTS_ECHO_COUNT, 1000 by default), the share of answers
// faulted (READERTEST_FAULTS_ECHO_PERCENT, 1%), the simulator's seed
// (READERTEST_FAULTS_ECHO_SEED, 1) and echo's MAX (READERTEST_FAULTS_ECHO_MAX,
// 64). The long run, natively, from the build tree:
//   READERTEST_E2E_BUILD=native READERTEST_FAULTS_ECHO_COUNT=10000
//   bin/readertest_faults_tests --gtest_filter='RandomEcho.*'
// Its figures are printed, and recorded as the test's properties.
TEST(RandomEcho, EveryExchangeCountedWhereItBelongs) {
  const unsigned target = EnvNumber("READERTEST_FAULTS_ECHO_COUNT", 1000);
  const std::string percent = EnvText("READERTEST_FAULTS_ECHO_PERCENT", "1%");
  const std::string seed = EnvText("READERTEST_FAULTS_ECHO_SEED", "1");
  const unsigned maximum = EnvNumber("READERTEST_FAULTS_ECHO_MAX", 64);
  const int port = kPorts[0];
  PortLock lock(port);
  Simulator reader(port, {});
  auto program = Interactive(port);
  const std::string fault = "fault random " + percent + " seed " + seed;
  reader.Control(fault);
  const Clock::time_point start = Clock::now();
  const size_t from = program->Output().size();
  program->Send("echo " + std::to_string(maximum) + "\n");
  // Every exchange ends within the link's time-outs: 10.4 s for the worst.
  const int budgetMs = static_cast<int>(target) * 300 + 60000;
  ASSERT_TRUE(program->Expect(EchoCount(target), budgetMs))
      << program->Output().substr(from, 4000) << "\n...\n"
      << program->Unmatched().substr(0, 2000);
  program->Send("x");
  ASSERT_TRUE(program->Expect(kPrompt, kGuardMs)) << program->Unmatched();
  const long long ms = MsSince(start);
  const std::string out = Matched(*program, from);
  // The program still answers: quit ends it.
  program->Send("quit\n");
  ExpectExit(*program);

  const EchoCounters c = LastEchoCounters(out);
  ASSERT_TRUE(c.found) << out.substr(out.size() > 2000 ? out.size() - 2000 : 0);
  EXPECT_GE(c.n, target);
  EXPECT_EQ(c.n, c.ok + c.nak + c.crc + c.timeouts);
  EXPECT_EQ(Occurrences(out, " ERR="), c.nak + c.crc + c.timeouts);

  // The simulator's side: the echo frames it got and the answers it faulted.
  unsigned echoes = 0, faulted = 0, foreign = 0;
  std::map<std::string, unsigned> kinds;
  for (const std::string& entry : reader.LogSince("control: " + fault)) {
    if (entry.compare(0, 4, "in  ") == 0) ++(Contains(entry, "| echo ") ? echoes : foreign);
    const size_t at = entry.find(", fault ");
    if (entry.compare(0, 4, "out ") == 0 && at != std::string::npos) {
      ++kinds[entry.substr(at + 8)];
      ++faulted;
    }
  }
  // Frames that no echo sent: another program has the line open too.
  EXPECT_EQ(foreign, 0u) << "frames on the line that echo did not send";
  EXPECT_EQ(echoes, c.n);
  EXPECT_EQ(c.ok, c.n - faulted);
  EXPECT_EQ(c.nak, kinds["nak"]);
  EXPECT_EQ(c.crc, kinds["crc"] + kinds["long"] + kinds["garbage"]);
  EXPECT_EQ(c.timeouts, kinds["silent"] + kinds["cut"]);
  // Nothing but the six kinds of a random fault.
  EXPECT_EQ(faulted, kinds["nak"] + kinds["crc"] + kinds["long"] + kinds["garbage"] +
                         kinds["silent"] + kinds["cut"]);

  std::string drawn;
  for (const auto& k : kinds) drawn += " " + k.first + "=" + std::to_string(k.second);
  std::printf(
      "random echo (%s, MAX %u, %s): N=%u OK=%u NAK=%u CRC=%u TO=%u in %.1f s; readersim faulted "
      "%u of %u answers:%s\n",
      NativeBuild() ? "native" : "wine", maximum, fault.c_str(), c.n, c.ok, c.nak, c.crc,
      c.timeouts, ms / 1000.0, faulted, echoes, drawn.c_str());
  ::testing::Test::RecordProperty("exchanges", static_cast<int>(c.n));
  ::testing::Test::RecordProperty("faulted", static_cast<int>(faulted));
  ::testing::Test::RecordProperty("milliseconds", static_cast<int>(ms));
}

// ============================================================================
// The line vanishing: the simulator killed, or ended, under the program.

// A command on a line that is gone: the time-out message and the prompt.
void ExpectGoneLine(ConsoleSession& program, const std::string& line, const std::string& hex = "") {
  SCOPED_TRACE(line + " on a gone line");
  const Typed typed = Type(program, line, hex);
  ASSERT_TRUE(typed.prompt) << typed.output;
  ExpectReported(typed.output, kTimeout);
}

// stat and echo on a gone line: time-out error lines until a key.
void ExpectGoneLoops(ConsoleSession& program) {
  size_t from = program.Output().size();
  program.Send("stat\n");
  ASSERT_TRUE(program.Expect(" ERR=3 LenIn=0 LenOut=0\n", kGuardMs)) << program.Unmatched();
  program.Send("x");
  ASSERT_TRUE(program.Expect(kPrompt, kGuardMs)) << program.Unmatched();
  ExpectReported(Matched(program, from), kOk);
  from = program.Output().size();
  program.Send("echo 16\n");
  ASSERT_TRUE(program.Expect(EchoCount(3), kGuardMs * 3)) << program.Unmatched();
  program.Send("x");
  ASSERT_TRUE(program.Expect(kPrompt, kGuardMs)) << program.Unmatched();
  const EchoCounters c = LastEchoCounters(Matched(program, from));
  ASSERT_TRUE(c.found);
  EXPECT_EQ(c.timeouts, c.n);
}

// The simulator killed while `command` waits for a card to come or go, its
// `waiting` line shown: the prompt comes back with the time-out reported and
// the waiting line blanked after the message.
void KilledWhileACardIsAwaited(Simulator& reader, ConsoleSession& program,
                               const std::string& command, const std::string& waiting) {
  const size_t from = program.Output().size();
  program.Send(command + "\n");
  ASSERT_TRUE(program.Expect(waiting, 10000)) << program.Unmatched();
  reader.Kill();
  ASSERT_TRUE(program.Expect(kPrompt, kGuardMs)) << program.Unmatched();
  const std::string out = Matched(program, from);
  ExpectReported(out, kTimeout);
  EXPECT_NE(out.find(BlankFor(waiting), out.find(kLinkMessages[kTimeout])), std::string::npos)
      << out;
}

TEST(LineGone, TheProgramReportsItAndStaysUsable) {
  std::vector<Job> jobs;
  jobs.push_back({"killed while an answer is awaited", [](int port) {
                    Simulator reader(port, {});
                    auto program = Interactive(port);
                    reader.Control("fault silent");
                    const size_t from = program->Output().size();
                    program->Send("req 0\n");
                    ASSERT_TRUE(program->Expect(kHexPrompt, 10000));
                    program->Send("00 C0 00 00 02\n");
                    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
                    reader.Kill();
                    const Clock::time_point start = Clock::now();
                    ASSERT_TRUE(program->Expect(kPrompt, kGuardMs)) << program->Unmatched();
                    EXPECT_LT(MsSince(start), 10000);
                    ExpectReported(Matched(*program, from), kTimeout);
                    ExpectGoneLine(*program, "req 0", "00 C0 00 00 02");
                    ExpectGoneLine(*program, "com 1", "00 A4 04 00 02 3F 00");
                    ExpectGoneLine(*program, "insert 0");
                    ExpectGoneLine(*program, "off 1");
                    ExpectGoneLoops(*program);
                    program->Send("quit\n");
                    ExpectExit(*program);
                  }});
  jobs.push_back({"ended while the prompt waits", [](int port) {
                    Simulator reader(port, {});
                    auto program = Interactive(port);
                    reader.Quit();
                    ExpectGoneLine(*program, "insert 1");
                    ExpectGoneLine(*program, "off 0");
                    ExpectGoneLoops(*program);
                    // The complex test typed at the prompt: its version query
                    // fails; the end of input then ends the program.
                    const size_t from = program->Output().size();
                    program->Send("test\n");
                    ASSERT_TRUE(program->Expect("ОШИБКА при тестировании Kestrix", kGuardMs))
                        << program->Unmatched();
                    ExpectReported(Matched(*program, from), kTimeout);
                    program->CloseInput();
                    ExpectExit(*program);
                  }});
  jobs.push_back({"killed while insert waits for a card", [](int port) {
                    Simulator reader(port, {"--cards", "none"});
                    auto program = Interactive(port);
                    ASSERT_NO_FATAL_FAILURE(
                        KilledWhileACardIsAwaited(reader, *program, "insert 0", kInsertUpper));
                    ExpectGoneLine(*program, "insert 0");
                    program->Send("quit\n");
                    ExpectExit(*program);
                  }});
  jobs.push_back({"killed while off waits for the card to go", [](int port) {
                    Simulator reader(port, {});
                    auto program = Interactive(port);
                    ASSERT_NO_FATAL_FAILURE(
                        KilledWhileACardIsAwaited(reader, *program, "off 0", kRemove));
                    program->CloseInput();
                    ExpectExit(*program);
                  }});
  jobs.push_back({"killed during echo", [](int port) {
                    Simulator reader(port, {});
                    auto program = Interactive(port);
                    const size_t from = program->Output().size();
                    program->Send("echo 64\n");
                    ASSERT_TRUE(program->Expect(EchoCount(20), kGuardMs)) << program->Unmatched();
                    reader.Kill();
                    ASSERT_TRUE(program->Expect(" ERR=3 LenIn=", kGuardMs)) << program->Unmatched();
                    program->Send("x");
                    ASSERT_TRUE(program->Expect(kPrompt, kGuardMs)) << program->Unmatched();
                    const EchoCounters c = LastEchoCounters(Matched(*program, from));
                    ASSERT_TRUE(c.found);
                    EXPECT_GE(c.ok, 20u);
                    EXPECT_GE(c.timeouts, 1u);
                    EXPECT_EQ(c.n, c.ok + c.nak + c.crc + c.timeouts);
                    program->Send("quit\n");
                    ExpectExit(*program);
                  }});
  jobs.push_back({"killed during stat", [](int port) {
                    Simulator reader(port, {});
                    auto program = Interactive(port);
                    program->Send("stat\n");
                    ASSERT_TRUE(program->Expect("0->01  1->01\r", 10000)) << program->Unmatched();
                    reader.Kill();
                    ASSERT_TRUE(program->Expect(" ERR=3 LenIn=0 LenOut=0\n", kGuardMs))
                        << program->Unmatched();
                    program->Send("x");
                    ASSERT_TRUE(program->Expect(kPrompt, kGuardMs)) << program->Unmatched();
                    program->Send("quit\n");
                    ExpectExit(*program);
                  }});
  jobs.push_back({"killed in the complex test's loop", [](int port) {
                    Simulator reader(port, {"--cards", "none"});
                    auto program = ReaderTest(port, {"TC"});
                    ASSERT_TRUE(program->Expect(kInsertUpper, 30000)) << program->Output();
                    reader.Kill();
                    ASSERT_TRUE(program->Expect(kLinkMessages[kTimeout], kGuardMs))
                        << program->Unmatched();
                    ASSERT_TRUE(program->Expect("ОШИБКА при тестировании Kestrix", 10000))
                        << program->Unmatched();
                    // The next pass: its version query fails on the gone line.
                    program->Send(kEsc);
                    ASSERT_TRUE(program->Expect(kLinkMessages[kTimeout], kGuardMs))
                        << program->Unmatched();
                    ASSERT_TRUE(program->Expect("ОШИБКА при тестировании Kestrix", 10000))
                        << program->Unmatched();
                    program->CloseInput();
                    ExpectExit(*program, 1);
                  }});
  RunOnPorts(jobs);
}

}  // namespace
