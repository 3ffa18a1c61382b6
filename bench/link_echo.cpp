// Echo exchanges (command 0x3F) through the reader console's own link code
// and serchan32: the program's own way of talking to the reader.
// Usage: link_echo COMNUMBER BAUD SECONDS PAYLOAD...
#include <cstdio>
#include <cstdlib>

#include "bench/echo_runs.h"
#include "readertest/program_state.h"
#include "readerlink/reader_commands.h"
#include "serchan32/serchan32.h"

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: link_echo COMNUMBER BAUD SECONDS PAYLOAD...\n");
    return 2;
  }
  const unsigned port = std::atoi(argv[1]);
  const unsigned baud = std::atoi(argv[2]);
  const double seconds = std::atof(argv[3]);
  if (XRT_M_Comm_OpenChannel(port, baud, &Program.channel) != 0) {
    std::fprintf(stderr, "link_echo: cannot open COM%u\n", port);
    return 1;
  }
  for (unsigned i = 0; i < kCommandBufferSize; ++i) Program.command[i] = BYTE(i * 7 + 1);
  for (int i = 4; i < argc; ++i) {
    MeasureEcho(std::atoi(argv[i]), seconds, [](unsigned payload) {
      const ReaderAnswer echo = ReaderEcho(Program.channel, Program.command, WORD(payload),
                                           Program.response, kResponseBufferSize);
      return echo.ok() && echo.length == payload;
    });
  }
  XRT_M_Comm_CloseChannel(Program.channel);
  return 0;
}
