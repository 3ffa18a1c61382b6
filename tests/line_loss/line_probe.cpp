// The library's exports one command at a time, for a test that drives the
// line from outside (line_vanish_test.cpp): libserchan32.so natively,
// serchan32.dll under Wine. Commands come one a line on standard input;
// each is answered with one line
//
//   = <command> <result> <milliseconds the call took> [what it read]
//
// and a call that may wait is announced first with "- started <command>".
// The threads that an open brings (its watcher, and any the device runs for
// the port) are followed until the next open.
//
//   open COM BAUD          check_rlsd ON        readbyte TIMEOUT
//   readblock TIMEOUT N    eob TIMEOUT CHAR     length TIMEOUT N
//   send N (SendBlock_0)   sendshort N (SendBlock)
//   flush   queue   rts ON   delay MS   breakevent   close
//   alive WAIT TARGET: waits up to WAIT ms until at most TARGET of the open's
//     threads are left; answers "= alive <left> <ms>"
//   quit
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "serchan32/serchan32.h"
#include "tests/support/test_platform.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

struct Probe {
  int index = -1;
  std::vector<std::unique_ptr<ThreadWatch>> threads;  // those the last open brought
  unsigned char buffer[1024] = {};
};

// The threads of the last open that are still running.
int ThreadsLeft(Probe& probe) {
  return static_cast<int>(std::count_if(probe.threads.begin(), probe.threads.end(),
                                        [](const auto& watch) { return !watch->Ended(0); }));
}

// Bytes 'a' to 'z' over and over: what send writes.
void FillPattern(unsigned char* bytes, unsigned count) {
  for (unsigned i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>('a' + i % 26);
}

std::string Open(Probe& probe, unsigned com, unsigned baud) {
  const std::vector<DWORD> before = ThreadIdsOfThisProcess();
  const auto start = Clock::now();
  const int result = XRT_M_Comm_OpenChannel(com, baud, &probe.index);
  const long ms = ElapsedMs(start);
  probe.threads.clear();
  for (DWORD id : ThreadIdsOfThisProcess()) {
    if (std::find(before.begin(), before.end(), id) == before.end()) {
      probe.threads.push_back(std::make_unique<ThreadWatch>(id));
    }
  }
  std::ostringstream reply;
  reply << "= open " << result << " " << ms << " " << probe.index << " " << probe.threads.size();
  return reply.str();
}

std::string Alive(Probe& probe, long waitMs, int target) {
  const auto start = Clock::now();
  int left = ThreadsLeft(probe);
  while (left > target && ElapsedMs(start) < waitMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    left = ThreadsLeft(probe);
  }
  return "= alive " + std::to_string(left) + " " + std::to_string(ElapsedMs(start));
}

// Runs one command; false for quit.
bool Run(Probe& probe, const std::string& line) {
  std::istringstream words(line);
  std::string command;
  words >> command;
  if (command.empty()) return true;
  if (command == "quit") return false;
  if (command == "open") {
    unsigned com = 0;
    unsigned baud = 0;
    words >> com >> baud;
    Say(Open(probe, com, baud));
    return true;
  }
  if (command == "alive") {
    long waitMs = 0;
    int target = 0;
    words >> waitMs >> target;
    Say(Alive(probe, waitMs, target));
    return true;
  }

  unsigned a = 0;
  unsigned b = 0;
  words >> a >> b;
  const bool waits = command == "readbyte" || command == "readblock" || command == "eob" ||
                     command == "length" || command == "send" || command == "sendshort" ||
                     command == "delay";
  if (waits) Say("- started " + command);
  const int index = probe.index;
  unsigned char* buffer = probe.buffer;
  std::string read;
  int result = 0;
  const auto start = Clock::now();
  if (command == "check_rlsd") {
    result = XRT_M_Comm_Check_RLSD(index, static_cast<int>(a));
  } else if (command == "readbyte") {
    buffer[0] = 0;
    result = XRT_M_Comm_ReadByte(index, buffer, a);
    if (result == 0) read = std::to_string(buffer[0]);
  } else if (command == "readblock") {
    result = XRT_M_Comm_ReadBlock(index, buffer, a, std::min(b, 1000u));
  } else if (command == "eob") {
    result = XRT_M_Comm_ReadBlock_EOB(index, buffer, a, static_cast<int>(b));
  } else if (command == "length") {
    result = XRT_M_Comm_ReadBlock_Length(index, buffer, a, b);
  } else if (command == "send" || command == "sendshort") {
    std::vector<unsigned char> bytes(a);
    FillPattern(bytes.data(), a);
    result = command == "send" ? XRT_M_Comm_SendBlock_0(index, bytes.data(), a)
                               : XRT_M_Comm_SendBlock(index, bytes.data(), a);
  } else if (command == "flush") {
    result = XRT_M_Comm_FlushBuffers(index);
  } else if (command == "queue") {
    unsigned queued = 0;
    result = XRT_M_Comm_CheckRecvQueue(index, &queued);
    read = std::to_string(queued);
  } else if (command == "rts") {
    result = XRT_M_Comm_RTS(index, static_cast<int>(a));
  } else if (command == "delay") {
    result = XRT_M_Comm_Delay(index, a);
  } else if (command == "breakevent") {
    void* event = nullptr;
    result = XRT_M_Comm_GetBreakEvent(index, &event);
  } else if (command == "close") {
    result = XRT_M_Comm_CloseChannel(index);
  } else {
    Say("= unknown " + command);
    return true;
  }
  const long ms = ElapsedMs(start);
  Say("= " + command + " " + std::to_string(result) + " " + std::to_string(ms) +
      (read.empty() ? "" : " " + read));
  return true;
}

}  // namespace

int main() {
  Probe probe;
  char line[256];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!Run(probe, text)) break;
  }
  // Whatever is still open is closed here, not left to the unload.
  if (probe.index >= 0) XRT_M_Comm_CloseChannel(probe.index);
  return 0;
}
