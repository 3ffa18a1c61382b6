// The link to the reader: one command frame out, one response frame in, over
// an open serchan32 channel.
//
// Frames: a command (or status) byte, a big-endian 16-bit length, the data
// and a CRC-16 (reflected 0xA001, initial 0, no final inversion) over all the
// bytes before it, sent low byte first. A response that is the one byte 0xFF
// is a NAK.
#pragma once

#include "platform/platform.h"

enum LinkResult : int {
  kLinkOk = 0,
  kLinkNak = 1,
  kLinkCrc = 2,  // CRC mismatch, or a response longer than the caller's buffer
  kLinkTimeout = 3,
  kLinkNotSent = 4,  // nothing was sent: the command broke a rule of its own
};

// Reader commands; a per-reader command for reader 1 is reader 0's plus 0x40.
enum : BYTE {
  kReaderStatus = 0x01,
  kFirmwareVersion = 0x04,
  kEcho = 0x3F,
  kPowerUp = 0x41,
  kApduCommand = 0x42,
  kApduRequest = 0x43,
  kPowerDown = 0x44,
  kSecondReader = 0x40,
};

inline BYTE ForReader(BYTE command, int reader) {
  return reader == 0 ? command : static_cast<BYTE>(command + kSecondReader);
}

WORD Crc16Update(WORD crc, const BYTE* bytes, DWORD count);

// Discards what an earlier exchange left in the input, then sends the command
// frame in pieces (command byte, each length byte, the data, each CRC byte);
// true when every piece was written (a line that has gone fails its writes).
bool LinkSend(int channel, BYTE command, const BYTE* data, WORD length);

// Sends the command with its data (null when length is 0) on `channel` and
// receives the answer into response (capacity bytes). The status byte goes
// to *status; *responseLength is the data length, 0 on failure. The command
// goes in pieces (command byte, each length byte, the data, each CRC byte),
// the answer is read field by field: 5000 ms for the status byte and for the
// data, 100 ms for each length and CRC byte. *sent, when given, tells whether
// every piece was written: a line that has gone fails its writes.
int LinkExchange(int channel, BYTE command, const BYTE* data, WORD length, BYTE* status,
                 BYTE* response, WORD capacity, WORD* responseLength, bool* sent = nullptr);

// Brings the link back in step after a failed exchange, whose answer may
// still come late: the frames carry no sequence number, so a late answer
// would be taken for the next command's. Sends an echo of a token never sent
// before and discards what comes until that echo's answer has come whole;
// the reader answers in order, so nothing older can follow it. False when it
// did not come within the first byte's time-out (5000 ms); *sent, when
// given, tells whether the echo could be written (false: the line has gone).
bool LinkSettle(int channel, bool* sent = nullptr);
