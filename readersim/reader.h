// The reader: reads command frames from the line, answers them from the two
// card slots, and alters answers when a fault is set.
//
// Everything here is driven by the caller's clock (milliseconds), so the
// same code serves the live line and the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "readersim/card.h"
#include "readersim/frame.h"

namespace readersim {

constexpr int kSlots = 2;             // 0 = upper "user card", 1 = lower "SAM"
constexpr int64_t kQuietGapMs = 20;   // line quiet this long ends discarding after a bad frame
constexpr int64_t kFrameGapMs = 200;  // no byte this long inside a frame abandons it
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusNoCard = 0x01;  // power up on an empty slot
constexpr size_t kHuntLimit = 2 * (kHeaderSize + 65535 + kCrcSize);

enum class FaultKind { kNone, kNak, kCrc, kSilent, kCut, kGarbage, kDelay, kLong, kRandom };

// The kinds a random fault draws from: each fails the one answer it alters.
extern const FaultKind kRandomKinds[6];
constexpr int64_t kRateScale = 1000000;  // a random fault's rate is in millionths

struct Fault {
  FaultKind kind = FaultKind::kNone;
  int64_t every = 1;        // act on every Nth answer frame
  bool once = false;        // act on the next answer frame only, then clear
  int64_t delay_ms = 6000;  // for kDelay
  int64_t counted = 0;      // answer frames seen since the fault was set
  // kRandom: the share of answers altered (of kRateScale), the seed given and
  // the generator's state, which the seed starts.
  int64_t rate = 0;
  uint64_t seed = 1;
  uint64_t state = 1;
};

// The next number of a fault's generator (splitmix64): the same seed gives
// the same sequence on every host.
uint64_t next_random(uint64_t& state);

// Junk sent before the frame by the garbage fault.
extern const std::vector<uint8_t> kGarbageBytes;
// Length the long fault claims (just above the host's 2048-byte limit).
constexpr uint16_t kLongLength = 2049;

struct ReaderConfig {
  std::vector<uint8_t> version = {1, 0};  // data of the version answer
  bool remove_on_power_down = false;
  int64_t insert_after_ms = -1;  // < 0: cards arrive only by control command
};

struct Reader {
  ReaderConfig config;
  Card slot[kSlots];
  Fault fault;
  int64_t insert_due_ms[kSlots] = {-1, -1};
  // Input not yet consumed, and the time its last byte came.
  std::vector<uint8_t> in;
  int64_t last_byte_ms = 0;
  // After a bad frame, until the line is quiet: only a good frame of a known
  // command ends the discarding.
  bool hunting = false;
  size_t hunt_scanned = 0;
};

// Bytes to put on the line, not before at_ms.
struct Send {
  int64_t at_ms = 0;
  std::vector<uint8_t> bytes;
  FaultKind fault = FaultKind::kNone;  // the fault that shaped these bytes, if any
};

struct Output {
  std::vector<Send> sends;
  std::vector<std::string> notes;  // one line per event, for the log
};

// Arms the arrival timers of the slots that start empty.
void reader_start(Reader& reader, int64_t now_ms);

// Bytes that came in on the line.
void reader_feed(Reader& reader, const uint8_t* bytes, size_t count, int64_t now_ms, Output& out);

// Runs what is due by now: abandoning stale input, card arrivals.
void reader_tick(Reader& reader, int64_t now_ms, Output& out);

// When reader_tick next has something to do, or -1.
int64_t reader_deadline(const Reader& reader);

void slot_insert(Reader& reader, int slot);
void slot_remove(Reader& reader, int slot, int64_t now_ms);

// The answer to one good frame, before any fault.
std::vector<uint8_t> answer(Reader& reader, const Frame& command, int64_t now_ms);

// What the current fault makes of an answer frame; counts the frame.
Send apply_fault(Fault& fault, std::vector<uint8_t> frame, int64_t now_ms);

const char* fault_name(FaultKind kind);
std::string hex(const std::vector<uint8_t>& bytes);
std::string hex(const uint8_t* bytes, size_t count);

}  // namespace readersim
