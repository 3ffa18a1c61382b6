// The operations pcscd asks of a reader's slots (readers.h).
#include <string.h>

#include <string>

#include "pcscdriver/driver_log.h"
#include "pcscdriver/reader_state.h"
#include "pcscdriver/tpdu.h"

namespace pcscdriver {

namespace {

// pcscd asks each slot every 400 ms; one status answer serves both slots and
// both polls of a round.
const auto kStatusMaxAge = std::chrono::milliseconds(300);

// The reader of an open slot, locked; null (and *result kBadLun) otherwise.
Reader* Locked(unsigned index, unsigned slot, std::unique_lock<std::mutex>* hold, Result* result) {
  Reader* reader = ReaderAt(index);
  *result = Result::kBadLun;
  if (reader == nullptr || slot >= kSlots) return nullptr;
  *hold = std::unique_lock<std::mutex>(reader->lock);
  if ((reader->slotsOpen & (1u << slot)) == 0) return nullptr;
  *result = Result::kOk;
  return reader;
}

bool SameDevice(const DeviceName& a, const DeviceName& b) {
  return a.path == b.path && a.com == b.com && a.baud == b.baud;
}

}  // namespace

Result OpenSlot(unsigned index, unsigned slot, const char* deviceName) {
  Reader* reader = ReaderAt(index);
  if (reader == nullptr || slot >= kSlots) {
    Log(LogLevel::kError, "reader %u slot %u: the driver serves %u readers of %u slots", index,
        slot, +kMaxReaders, +kSlots);
    return Result::kBadLun;
  }
  std::lock_guard<std::mutex> hold(reader->lock);
  DeviceName device;
  std::string why;
  if (!ParseDeviceName(deviceName, &device, &why)) {
    Log(LogLevel::kError, "DEVICENAME \"%s\": %s", deviceName != nullptr ? deviceName : "",
        why.c_str());
    return Result::kError;
  }
  if (reader->slotsOpen == 0) {
    reader->device = device;
    reader->logged.clear();
    reader->everOpened = false;
  } else if (!SameDevice(device, reader->device)) {
    Log(LogLevel::kError, "reader %u slot %u names %s, but its reader is on %s", index, slot,
        DeviceText(device).c_str(), DeviceText(reader->device).c_str());
    return Result::kError;
  }
  reader->slotsOpen |= 1u << slot;
  // A device that is not there yet is logged and tried again at each call.
  if (reader->channel < 0) Prepare(*reader);
  return Result::kOk;
}

void CloseSlot(unsigned index, unsigned slot) {
  Reader* reader = ReaderAt(index);
  if (reader == nullptr || slot >= kSlots) return;
  std::lock_guard<std::mutex> hold(reader->lock);
  reader->slotsOpen &= ~(1u << slot);
  reader->atrLength[slot] = 0;
  if (reader->slotsOpen == 0) Disconnect(*reader);
}

Result SlotPresence(unsigned index, unsigned slot) {
  std::unique_lock<std::mutex> hold;
  Result result;
  Reader* reader = Locked(index, slot, &hold, &result);
  if (reader == nullptr) return result;
  const Clock::time_point now = Clock::now();
  if (!reader->statusKnown || now - reader->statusAt >= kStatusMaxAge) {
    result = Prepare(*reader);
    // A device not there since pcscd started shows as an empty reader:
    // pcscd drops a reader whose first check fails, and an unavailable one
    // while it starts up can stop it (it signals itself before it is ready).
    // Only a device that was open and went away makes the reader unavailable.
    if (result == Result::kNoDevice && !reader->everOpened) return Result::kAbsent;
    ReaderAnswer status;
    if (result == Result::kOk) {
      status = ReaderSlots(reader->channel, reader->answer, kAnswerCapacity);
      if (!status.ok()) result = Failed(*reader, status, "status");
    }
    // A status lost on the line says nothing of the cards: pcscd keeps what it
    // was last told rather than seeing them leave and come back.
    if (result == Result::kError && reader->cardsKnown)
      return reader->cardIn[slot] ? Result::kPresent : Result::kAbsent;
    if (result != Result::kOk) return result;
    for (unsigned s = 0; s < kSlots; ++s) {
      reader->cardIn[s] = CardIn(status, reader->answer, static_cast<int>(s));
      if (!reader->cardIn[s]) reader->atrLength[s] = 0;  // a card taken out is powered no more
    }
    reader->statusKnown = true;
    reader->cardsKnown = true;
    reader->statusAt = now;
  }
  return reader->cardIn[slot] ? Result::kPresent : Result::kAbsent;
}

Result SlotPower(unsigned index, unsigned slot, Power action, uint8_t* atr, size_t* atrLength) {
  const size_t capacity = *atrLength;
  *atrLength = 0;
  std::unique_lock<std::mutex> hold;
  Result result;
  Reader* reader = Locked(index, slot, &hold, &result);
  if (reader == nullptr) return result;
  result = Prepare(*reader);
  if (result != Result::kOk) return result;
  const int s = static_cast<int>(slot);
  reader->atrLength[slot] = 0;
  if (action != Power::kUp) {
    const ReaderAnswer down = ReaderPowerDown(reader->channel, s, reader->answer, kAnswerCapacity);
    if (!down.ok()) return Failed(*reader, down, "power down");
    if (action == Power::kDown) return Result::kOk;
  }
  const ReaderAnswer up = ReaderPowerUp(reader->channel, s, reader->answer, kAnswerCapacity);
  if (!up.ok()) {
    result = Failed(*reader, up, "power up");
    return result == Result::kNoDevice ? result : Result::kPowerFailed;
  }
  if (!AtrAccepted(up) || up.length > kMaxAtr || up.length > capacity) {
    Log(LogLevel::kInfo, "%s slot %u: power up answered status %02X with %u bytes: no ATR",
        DeviceText(reader->device).c_str(), slot, up.status, unsigned{up.length});
    return Result::kPowerFailed;
  }
  memcpy(reader->atr[slot], reader->answer, up.length);
  reader->atrLength[slot] = up.length;
  memcpy(atr, reader->answer, up.length);
  *atrLength = up.length;
  return Result::kOk;
}

Result SlotAtr(unsigned index, unsigned slot, uint8_t* atr, size_t* atrLength) {
  const size_t capacity = *atrLength;
  *atrLength = 0;
  std::unique_lock<std::mutex> hold;
  Result result;
  Reader* reader = Locked(index, slot, &hold, &result);
  if (reader == nullptr) return result;
  if (reader->atrLength[slot] > capacity) return Result::kTooSmall;
  memcpy(atr, reader->atr[slot], reader->atrLength[slot]);
  *atrLength = reader->atrLength[slot];
  return Result::kOk;
}

Result SlotTransmit(unsigned index, unsigned slot, const uint8_t* apdu, size_t length,
                    uint8_t* answer, size_t* answerLength) {
  const size_t capacity = *answerLength;
  *answerLength = 0;
  std::unique_lock<std::mutex> hold;
  Result result;
  Reader* reader = Locked(index, slot, &hold, &result);
  if (reader == nullptr) return result;
  const Tpdu tpdu = MapApdu(apdu, length);
  if (tpdu.apduCase == ApduCase::kRefused) {
    Log(LogLevel::kError, "slot %u: an APDU of %zu bytes not sent: %s", slot, length, tpdu.why);
    return Result::kRefused;
  }
  result = Prepare(*reader);
  if (result != Result::kOk) return result;
  const ReaderAnswer reply =
      ReaderApdu(reader->channel, static_cast<int>(slot),
                 tpdu.request ? ApduKind::kRequest : ApduKind::kCommand, tpdu.bytes,
                 static_cast<WORD>(tpdu.length), reader->answer, kAnswerCapacity);
  if (!reply.ok()) return Failed(*reader, reply, "APDU");
  // Whole, but not a card's answer: no status word, or the reader's own error.
  if (reply.status != 0 || reply.length < 2) {
    Log(LogLevel::kError, "%s slot %u: the APDU's answer has status %02X and %u bytes",
        DeviceText(reader->device).c_str(), slot, reply.status, unsigned{reply.length});
    return Result::kError;
  }
  if (reply.length > capacity) return Result::kTooSmall;
  memcpy(answer, reader->answer, reply.length);
  *answerLength = reply.length;
  return Result::kOk;
}

}  // namespace pcscdriver
