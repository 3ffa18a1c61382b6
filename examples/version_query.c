/* Asks a reader for its firmware version through serchan32: open a channel,
 * send the version frame, read the answer with a time-out, close.
 *   cc version_query.c $(pkg-config --cflags --libs serchan32) -o version_query
 *   ./version_query 1 115200          (COM1; natively SERCHAN32_COM1=/dev/ttyUSB0) */
#include <serchan32.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  /* Command 04, no data, CRC-16 41 C1; the answer: status, length 00 02,
   * the version's two bytes and its CRC. */
  static const unsigned char request[] = {0x04, 0x00, 0x00, 0x41, 0xC1};
  unsigned char answer[7];
  int channel = -1, got;
  if (argc != 3) {
    fprintf(stderr, "usage: %s <COM port> <baud>\n", argv[0]);
    return 2;
  }
  if (XRT_M_Comm_OpenChannel((unsigned)atoi(argv[1]), (unsigned)atoi(argv[2]), &channel) != 0) {
    fprintf(stderr, "COM%s cannot be opened\n", argv[1]);
    return 1;
  }
  XRT_M_Comm_SendBlock_0(channel, request, sizeof request);
  got = XRT_M_Comm_ReadBlock(channel, answer, 5000, sizeof answer); /* at most 5 s */
  XRT_M_Comm_CloseChannel(channel);
  if (got != (int)sizeof answer || answer[0] != 0x00) {
    fprintf(stderr, "no version answer (%d bytes)\n", got);
    return 1;
  }
  printf("reader firmware %u.%02u\n", answer[3], answer[4]);
  return 0;
}
