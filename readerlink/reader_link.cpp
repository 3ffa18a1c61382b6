// Framing, CRC and the exchange over serchan32's block calls.
#include "readerlink/reader_link.h"

#include "serchan32/serchan32.h"

namespace {

enum : unsigned { kFirstByteTimeoutMs = 5000, kDataTimeoutMs = 5000, kFieldByteTimeoutMs = 100 };
enum : BYTE { kNak = 0xFF };

// One block read; false when it delivered nothing (a time-out or a failure).
bool ReadPiece(int channel, BYTE* bytes, unsigned timeout, unsigned count) {
  return XRT_M_Comm_ReadBlock(channel, bytes, timeout, count) > 0;
}

// CRC-16/ARC (polynomial 0xA001 reflected) a byte at a time: the remainder of
// each byte value, so that a frame of a thousand bytes costs a thousand looks.
struct CrcTable {
  WORD remainder[256];
  constexpr CrcTable() : remainder() {
    for (unsigned value = 0; value < 256; ++value) {
      unsigned crc = value;
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xA001 : crc >> 1;
      remainder[value] = static_cast<WORD>(crc);
    }
  }
};
constexpr CrcTable kCrcTable;

}  // namespace

WORD Crc16Update(WORD crc, const BYTE* bytes, DWORD count) {
  for (DWORD i = 0; i < count; ++i)
    crc = static_cast<WORD>((crc >> 8) ^ kCrcTable.remainder[(crc ^ bytes[i]) & 0xFF]);
  return crc;
}

bool LinkSend(int channel, BYTE command, const BYTE* data, WORD length) {
  const BYTE head[3] = {command, static_cast<BYTE>(length >> 8), static_cast<BYTE>(length)};
  const WORD crc =
      Crc16Update(Crc16Update(0, head, sizeof head), data, data != nullptr ? length : 0);
  const BYTE tail[2] = {static_cast<BYTE>(crc), static_cast<BYTE>(crc >> 8)};
  // Whatever an earlier exchange left in the input is not this answer.
  XRT_M_Comm_FlushBuffers(channel);
  int failed = 0;
  failed |= XRT_M_Comm_SendBlock_0(channel, &head[0], 1);
  failed |= XRT_M_Comm_SendBlock_0(channel, &head[1], 1);
  failed |= XRT_M_Comm_SendBlock_0(channel, &head[2], 1);
  if (length != 0) failed |= XRT_M_Comm_SendBlock_0(channel, data, length);
  failed |= XRT_M_Comm_SendBlock_0(channel, &tail[0], 1);
  failed |= XRT_M_Comm_SendBlock_0(channel, &tail[1], 1);
  return failed == 0;
}

int LinkExchange(int channel, BYTE command, const BYTE* data, WORD length, BYTE* status,
                 BYTE* response, WORD capacity, WORD* responseLength, bool* sent) {
  *responseLength = 0;
  const bool written = LinkSend(channel, command, data, length);
  if (sent != nullptr) *sent = written;

  BYTE head[3];

  if (!ReadPiece(channel, &head[0], kFirstByteTimeoutMs, 1)) return kLinkTimeout;
  *status = head[0];
  if (head[0] == kNak) return kLinkNak;
  if (!ReadPiece(channel, &head[1], kFieldByteTimeoutMs, 1)) return kLinkTimeout;
  if (!ReadPiece(channel, &head[2], kFieldByteTimeoutMs, 1)) return kLinkTimeout;
  const WORD answered = static_cast<WORD>(head[1] << 8 | head[2]);
  if (answered > capacity) return kLinkCrc;
  if (answered != 0 && !ReadPiece(channel, response, kDataTimeoutMs, answered)) return kLinkTimeout;
  BYTE received[2];
  if (!ReadPiece(channel, &received[0], kFieldByteTimeoutMs, 1)) return kLinkTimeout;
  if (!ReadPiece(channel, &received[1], kFieldByteTimeoutMs, 1)) return kLinkTimeout;
  const WORD crc = Crc16Update(Crc16Update(0, head, sizeof head), response, answered);
  if (received[0] != static_cast<BYTE>(crc) || received[1] != static_cast<BYTE>(crc >> 8))
    return kLinkCrc;
  *responseLength = answered;
  return kLinkOk;
}
