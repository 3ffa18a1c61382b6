#include "bench/echo_runs.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

unsigned Crc16(const unsigned char* bytes, unsigned count) {
  unsigned crc = 0;
  for (unsigned i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

}  // namespace

unsigned EchoFrame(unsigned payload, unsigned char* frame) {
  frame[0] = 0x3F;
  frame[1] = static_cast<unsigned char>(payload >> 8);
  frame[2] = static_cast<unsigned char>(payload);
  for (unsigned i = 0; i < payload; ++i) frame[3 + i] = static_cast<unsigned char>(i * 7 + 1);
  const unsigned crc = Crc16(frame, 3 + payload);
  frame[3 + payload] = static_cast<unsigned char>(crc);
  frame[4 + payload] = static_cast<unsigned char>(crc >> 8);
  return 5 + payload;
}

bool ReadEchoAnswer(unsigned payload, ReadPiece read) {
  static unsigned char answer[2048];
  if (!read(answer, 1) || !read(answer + 1, 2)) return false;
  const unsigned answered = unsigned(answer[1]) << 8 | answer[2];
  if (answered != payload) return false;
  return read(answer + 3, answered) && read(answer + 3 + answered, 2);
}

void MeasureEcho(unsigned payload, double seconds, const EchoExchange& exchange) {
  const int kRuns = 5;
  const std::chrono::duration<double> runLength(seconds / kRuns);
  std::vector<double> perExchange;
  unsigned exchanges = 0;
  unsigned failed = 0;
  const double cpuStart = ProcessCpuSeconds();
  for (int run = 0; run < kRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    unsigned count = 0;
    std::chrono::duration<double> took(0);
    do {
      if (!exchange(payload)) ++failed;
      ++count;
      took = std::chrono::steady_clock::now() - start;
    } while (took < runLength);
    perExchange.push_back(took.count() / count);
    exchanges += count;
  }
  const double cpu = (ProcessCpuSeconds() - cpuStart) / exchanges;
  std::sort(perExchange.begin(), perExchange.end());
  std::printf("payload=%u exchanges=%u failed=%u seconds=%.9f cpu=%.9f\n", payload, exchanges,
              failed, perExchange[kRuns / 2], cpu);
  std::fflush(stdout);
}
