// The readers the driver serves: each a reader.conf entry, one serial channel
// with two slots (0 the user card, 1 the SAM), its exchanges serialised.
// Plain types only: the PC/SC entry points (ifdhandler.cpp) map these results
// to the IFD handler's codes.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace pcscdriver {

enum : unsigned { kMaxReaders = 16, kSlots = 2, kMaxAtr = 33 };

enum class Result {
  kOk,
  kPresent,
  kAbsent,
  kNoDevice,     // the device is not there (unplugged, not openable)
  kError,        // the reader did not answer as it should
  kPowerFailed,  // no card, or its answer was no ATR
  kRefused,      // an APDU not to be sent; nothing was sent
  kTooSmall,     // the caller's buffer cannot hold the answer
  kBadLun,
};

enum class Power { kUp, kDown, kReset };

// A slot of a reader.conf entry is opened with its device name; the first slot
// opens the device, the others share it. A name that cannot be read fails; a
// device that cannot be opened now is logged and tried again at each later
// call, so a reader plugged in later works; until then its slots are empty.
Result OpenSlot(unsigned reader, unsigned slot, const char* deviceName);
void CloseSlot(unsigned reader, unsigned slot);

// Card present from the slots' status, asked at most once per kStatusMaxAgeMs
// for both slots together.
Result SlotPresence(unsigned reader, unsigned slot);
Result SlotPower(unsigned reader, unsigned slot, Power action, uint8_t* atr, size_t* atrLength);
// The ATR of the last power-up; 0 bytes when the card is not powered.
Result SlotAtr(unsigned reader, unsigned slot, uint8_t* atr, size_t* atrLength);
Result SlotTransmit(unsigned reader, unsigned slot, const uint8_t* apdu, size_t length,
                    uint8_t* answer, size_t* answerLength);

}  // namespace pcscdriver
