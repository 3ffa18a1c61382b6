// The reader's operations over the framed link, and the rules for their answers.
#include "readerlink/reader_commands.h"

namespace {

ReaderAnswer Exchange(int channel, BYTE command, const BYTE* data, WORD length, BYTE* answer,
                      WORD capacity) {
  ReaderAnswer result;
  result.link = LinkExchange(channel, command, data, length, &result.status, answer, capacity,
                             &result.length, &result.sent);
  return result;
}

}  // namespace

ReaderAnswer ReaderVersion(int channel, BYTE* answer, WORD capacity) {
  return Exchange(channel, kFirmwareVersion, nullptr, 0, answer, capacity);
}

ReaderAnswer ReaderSlots(int channel, BYTE* answer, WORD capacity) {
  return Exchange(channel, kReaderStatus, nullptr, 0, answer, capacity);
}

ReaderAnswer ReaderPowerUp(int channel, int slot, BYTE* answer, WORD capacity) {
  return Exchange(channel, ForReader(kPowerUp, slot), nullptr, 0, answer, capacity);
}

ReaderAnswer ReaderPowerDown(int channel, int slot, BYTE* answer, WORD capacity) {
  return Exchange(channel, ForReader(kPowerDown, slot), nullptr, 0, answer, capacity);
}

ReaderAnswer ReaderApdu(int channel, int slot, ApduKind kind, const BYTE* apdu, WORD length,
                        BYTE* answer, WORD capacity) {
  if (length != ApduLength(kind, apdu, length)) {
    ReaderAnswer refused;
    refused.link = kLinkNotSent;
    return refused;
  }
  const BYTE command = kind == ApduKind::kCommand ? kApduCommand : kApduRequest;
  return Exchange(channel, ForReader(command, slot), apdu, length, answer, capacity);
}

ReaderAnswer ReaderEcho(int channel, const BYTE* data, WORD length, BYTE* answer, WORD capacity) {
  return Exchange(channel, kEcho, data, length, answer, capacity);
}

bool VersionReadable(const ReaderAnswer& result) {
  return result.ok() && result.length >= kVersionMinimum;
}

bool CardIn(const ReaderAnswer& result, const BYTE* answer, int slot) {
  return result.ok() && slot >= 0 && result.length > slot && (answer[slot] & 1) != 0;
}

bool AtrAccepted(const ReaderAnswer& result) {
  return result.ok() && result.status == 0 && result.length >= kAtrMinimum;
}

const char* LinkResultText(int link) {
  switch (link) {
    case kLinkNak:
      return "NAK";
    case kLinkCrc:
      return "CRC mismatch or an answer too long";
    case kLinkTimeout:
      return "time-out: no answer";
    case kLinkNotSent:
      return "not sent";
    default:
      return "unknown link result";
  }
}
