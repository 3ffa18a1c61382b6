// A first look at the reader over serchan32: asks the reader on a COM port
// for its firmware version, its card slots and the ATR of each card.
// Usage: link_demo COMNUMBER BAUD
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "readersim/frame.h"
#include "serchan32/serchan32.h"

namespace {

// One command frame out, one response frame in; false on NAK, CRC or time-out.
bool Exchange(int channel, unsigned char command, std::vector<unsigned char>& answer) {
  readersim::Frame request;
  request.code = command;
  const std::vector<unsigned char> frame = readersim::encode(request);
  XRT_M_Comm_FlushBuffers(channel);
  XRT_M_Comm_SendBlock_0(channel, frame.data(), frame.size());
  unsigned char head[3];
  if (XRT_M_Comm_ReadBlock(channel, head, 5000, 1) <= 0 || head[0] == 0xFF) return false;
  if (XRT_M_Comm_ReadBlock(channel, head + 1, 100, 2) <= 0) return false;
  const unsigned length = head[1] << 8 | head[2];
  if (length > 2048) return false;
  answer.assign(length, 0);
  if (length != 0 && XRT_M_Comm_ReadBlock(channel, answer.data(), 5000, length) <= 0) return false;
  unsigned char tail[2];
  if (XRT_M_Comm_ReadBlock(channel, tail, 100, 2) <= 0) return false;
  const int check = readersim::crc16(answer.data(), length, readersim::crc16(head, sizeof head));
  return (tail[0] | tail[1] << 8) == check;
}

void Dump(const char* label, const std::vector<unsigned char>& bytes) {
  std::printf("%s:", label);
  for (unsigned char byte : bytes) std::printf(" %02X", byte);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: link_demo COMNUMBER BAUD\n");
    return 2;
  }
  int channel = -1;
  if (XRT_M_Comm_OpenChannel(std::atoi(argv[1]), std::atoi(argv[2]), &channel) != 0) {
    std::printf("cannot open COM%s\n", argv[1]);
    return 1;
  }
  std::vector<unsigned char> answer;
  bool ok = Exchange(channel, 0x04, answer) && answer.size() >= 2;
  if (ok) std::printf("reader firmware version %u.%02u\n", answer[0], answer[1]);
  std::vector<unsigned char> slots;
  ok = ok && Exchange(channel, 0x01, slots) && slots.size() >= 2;
  for (int slot = 0; ok && slot < 2; ++slot) {
    std::printf("slot %d (%s): %s\n", slot, slot == 0 ? "upper" : "lower",
                slots[slot] & 1 ? "card present" : "empty");
    if (slots[slot] & 1 && Exchange(channel, slot == 0 ? 0x41 : 0x81, answer))
      Dump("  ATR", answer);
    if (slots[slot] & 1) Exchange(channel, slot == 0 ? 0x44 : 0x84, answer);
  }
  if (!ok) std::printf("the reader did not answer\n");
  XRT_M_Comm_CloseChannel(channel);
  return ok ? 0 : 1;
}
