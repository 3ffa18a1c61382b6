// One reader's state and the steps every operation on it takes: the device
// opened when it is not, the link brought back in step after a failure, and
// a failure's meaning recorded (reader_state.cpp).
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "pcscdriver/device_name.h"
#include "pcscdriver/readers.h"
#include "readerlink/reader_commands.h"

namespace pcscdriver {

using Clock = std::chrono::steady_clock;

enum : unsigned { kAnswerCapacity = 2048 };

struct Reader {
  std::mutex lock;          // held across each operation: one exchange at a time
  unsigned slotsOpen = 0;   // bit s: slot s opened by pcscd
  bool everOpened = false;  // the device has been open since its first slot opened
  DeviceName device;
  int channel = -1;        // -1 while the device is not open
  bool unsettled = false;  // an exchange failed; its answer may still come
  std::string logged;      // the last failure logged, so that each is logged once
  // The slots' status, one answer for both, and when it was asked.
  bool statusKnown = false;  // and fresh enough to answer from
  bool cardsKnown = false;   // cardIn holds an answer of this device's
  Clock::time_point statusAt;
  bool cardIn[kSlots] = {};
  uint8_t atr[kSlots][kMaxAtr] = {};
  size_t atrLength[kSlots] = {};
  BYTE answer[kAnswerCapacity] = {};
};

// The reader of a Lun's reader index; null past the table.
Reader* ReaderAt(unsigned index);

// Opens the device when it is not open, and settles the link after a failed
// exchange: kOk, kNoDevice (not there, or gone while settling) or kError.
Result Prepare(Reader& reader);

// After an exchange that failed: the device has gone when the command could not
// be written (closed, and kNoDevice), else the link is out of step (kError).
Result Failed(Reader& reader, const ReaderAnswer& answer, const char* operation);

// Closes the device and forgets what it said.
void Disconnect(Reader& reader);

// Logs a failure once, until another one or a success replaces it.
void LogOnce(Reader& reader, const std::string& message);

}  // namespace pcscdriver
