// Bytes per second through XRT_M_Comm_SendBlock_0 and XRT_M_Comm_ReadBlock on
// a test-bed pseudo-terminal pair, for several block sizes. Prints one table
// row per size; the median of several runs of each.
#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "bed_ports.h"
#include "serchan32/serchan32.h"
#include "tests/support/far_end.h"

namespace {

const int kCom = kBedPairs[0];  // the test bed's first pair
const int kRuns = 5;

double Seconds(LARGE_INTEGER start, LARGE_INTEGER end) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Sends `total` bytes in blocks of `block`; the far end takes them as they come.
double SendRate(int channel, FarEnd& peer, unsigned block, unsigned total) {
  std::vector<unsigned char> data(block, 0x5A);
  std::thread taker([&] { peer.Read(total, 60000); });
  LARGE_INTEGER start, end;
  QueryPerformanceCounter(&start);
  bool ok = true;
  for (unsigned sent = 0; ok && sent < total; sent += block) {
    ok = XRT_M_Comm_SendBlock_0(channel, data.data(), block) == 0;
  }
  QueryPerformanceCounter(&end);
  taker.join();
  if (!ok) std::fprintf(stderr, "send of %u-byte blocks failed\n", block);
  return ok ? total / Seconds(start, end) : 0;
}

// The far end writes `total` bytes at once; they are read in blocks of `block`.
double ReadRate(int channel, FarEnd& peer, unsigned block, unsigned total) {
  std::vector<BYTE> data(total, 0xA5);
  std::vector<unsigned char> buffer(block);
  XRT_M_Comm_FlushBuffers(channel);
  std::thread giver([&] { peer.Write(data); });
  LARGE_INTEGER start, end;
  QueryPerformanceCounter(&start);
  bool ok = true;
  for (unsigned got = 0; ok && got < total; got += block) {
    ok = XRT_M_Comm_ReadBlock(channel, buffer.data(), 5000, block) == int(block);
  }
  QueryPerformanceCounter(&end);
  giver.join();
  if (!ok) std::fprintf(stderr, "read of %u-byte blocks failed\n", block);
  return ok ? total / Seconds(start, end) : 0;
}

}  // namespace

int main() {
  FarEnd peer(kCom);
  int channel = -1;
  if (!peer.IsOpen() || XRT_M_Comm_OpenChannel(kCom, 115200, &channel) != 0) {
    std::fprintf(stderr, "no test-bed line on COM%d\n", kCom);
    return 1;
  }
  std::printf("| block (bytes) | SendBlock_0 (bytes/s) | ReadBlock (bytes/s) |\n");
  std::printf("|---:|---:|---:|\n");
  for (unsigned block : {1u, 64u, 1024u}) {
    const unsigned total = block == 1 ? 1000 : 8192;
    std::vector<double> sends, reads;
    for (int run = 0; run < kRuns; ++run) {
      sends.push_back(SendRate(channel, peer, block, total));
      peer.Drain();
      reads.push_back(ReadRate(channel, peer, block, total));
    }
    std::printf("| %u | %.0f | %.0f |\n", block, Median(sends), Median(reads));
  }
  XRT_M_Comm_CloseChannel(channel);
  return 0;
}
