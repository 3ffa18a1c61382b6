// Echo exchanges (command 0x3F) through the reader console's own link code
// and serchan32, against a reader simulator pacing its answers at the line's
// byte time. For each payload: exchanges per second, payload bytes per
// second, and the efficiency: the line's own time for the exchange
// (2 x (5 + n) bytes x 10 bits / baud) over the measured time.
// Usage: link_echo COMNUMBER BAUD SECONDS PAYLOAD...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "readertest/program_state.h"
#include "readertest/reader_link.h"
#include "serchan32/serchan32.h"

namespace {

struct Row {
  unsigned payload;
  unsigned exchanges;
  unsigned failures;
  double seconds;
};

// Echo exchanges of one payload for about `seconds`, in five runs; the
// median time per exchange.
Row Measure(unsigned payload, double seconds) {
  std::vector<double> perExchange;
  Row row = {payload, 0, 0, 0};
  for (BYTE& byte : Program.command) byte = static_cast<BYTE>(std::rand());
  const std::chrono::duration<double> runLength(seconds / 5);
  for (int run = 0; run < 5; ++run) {
    const auto start = std::chrono::steady_clock::now();
    unsigned count = 0;
    std::chrono::duration<double> took(0);
    do {
      WORD answered = 0;
      if (SharedExchange(kEcho, Program.command, static_cast<WORD>(payload), &answered) !=
              kLinkOk ||
          answered != payload)
        ++row.failures;
      ++count;
      took = std::chrono::steady_clock::now() - start;
    } while (took < runLength);
    perExchange.push_back(took.count() / count);
    row.exchanges += count;
  }
  std::sort(perExchange.begin(), perExchange.end());
  row.seconds = perExchange[perExchange.size() / 2];
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: link_echo COMNUMBER BAUD SECONDS PAYLOAD...\n");
    return 2;
  }
  const unsigned port = std::atoi(argv[1]);
  const unsigned baud = std::atoi(argv[2]);
  const double seconds = std::atof(argv[3]);
  if (XRT_M_Comm_OpenChannel(port, baud, &Program.channel) != 0) {
    std::fprintf(stderr, "cannot open COM%u\n", port);
    return 1;
  }
  std::printf("| baud | payload | exchanges/s | payload bytes/s | efficiency | failed |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|\n");
  for (int i = 4; i < argc; ++i) {
    const Row row = Measure(std::atoi(argv[i]), seconds);
    const double lineTime = 2.0 * (5 + row.payload) * 10 / baud;
    std::printf("| %u | %u | %.1f | %.0f | %.3f | %u/%u |\n", baud, row.payload, 1 / row.seconds,
                row.payload / row.seconds, lineTime / row.seconds, row.failures, row.exchanges);
    std::fflush(stdout);
  }
  XRT_M_Comm_CloseChannel(Program.channel);
  return 0;
}
