// The reader's operations, each one exchange on an open serchan32 channel,
// and the rules for reading their answers. readertest, readerscript and the
// PC/SC driver all go through these, so each operation and each rule is
// written once.
//
// Slots: 0 is the upper slot (the user card), 1 the lower (the SAM). The
// caller gives the buffer that receives the answer and its capacity.
#pragma once

#include <stddef.h>

#include "readerlink/reader_link.h"

enum : unsigned {
  kSlotCount = 2,
  kApduHeaderSize = 5,  // CLA INS P1 P2 P3
  kAtrMinimum = 3,      // a shorter power-up answer is no ATR
  kVersionMinimum = 2,  // major, minor
};

// What one operation gave: the link's result, the answer's status byte and
// its length (0 unless the link result is kLinkOk), and whether every piece
// of the command frame was written (false when the line has gone).
struct ReaderAnswer {
  int link = kLinkOk;
  BYTE status = 0;
  WORD length = 0;
  bool sent = true;
  bool ok() const { return link == kLinkOk; }
};

// An APDU command carries the header and as many data bytes as P3 says; an
// APDU request carries the header alone, P3 being the length of the answer
// the card is asked for.
enum class ApduKind { kCommand, kRequest };

// How many bytes an APDU of this kind must have, given its first `length`
// bytes: the header for a request or for fewer than 5 bytes, else the header
// and P3 data bytes. An APDU whose length differs is never sent.
inline size_t ApduLength(ApduKind kind, const BYTE* apdu, size_t length) {
  if (kind == ApduKind::kRequest || length < kApduHeaderSize) return kApduHeaderSize;
  return kApduHeaderSize + apdu[4];
}

ReaderAnswer ReaderVersion(int channel, BYTE* answer, WORD capacity);
// One frame answers both slots: byte s has bit 0 set when a card is in slot s.
ReaderAnswer ReaderSlots(int channel, BYTE* answer, WORD capacity);
ReaderAnswer ReaderPowerUp(int channel, int slot, BYTE* answer, WORD capacity);
ReaderAnswer ReaderPowerDown(int channel, int slot, BYTE* answer, WORD capacity);
// Sends nothing, and answers kLinkNotSent, when length breaks ApduLength.
ReaderAnswer ReaderApdu(int channel, int slot, ApduKind kind, const BYTE* apdu, WORD length,
                        BYTE* answer, WORD capacity);
ReaderAnswer ReaderEcho(int channel, const BYTE* data, WORD length, BYTE* answer, WORD capacity);

// The version answer has its two bytes.
bool VersionReadable(const ReaderAnswer& result);
// The slots' answer says a card is in the slot; an answer too short to say
// counts as no card.
bool CardIn(const ReaderAnswer& result, const BYTE* answer, int slot);
// The power-up answer is an ATR: status 00 and at least 3 bytes.
bool AtrAccepted(const ReaderAnswer& result);

// A failed link result in a few English words ("NAK", "time-out: no answer").
const char* LinkResultText(int link);
