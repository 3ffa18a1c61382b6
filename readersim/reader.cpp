#include "readersim/reader.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace readersim {

const std::vector<uint8_t> kGarbageBytes = {0x5A, 0xA5, 0x3C};
const FaultKind kRandomKinds[6] = {FaultKind::kNak, FaultKind::kCrc,     FaultKind::kSilent,
                                   FaultKind::kCut, FaultKind::kGarbage, FaultKind::kLong};

namespace {

// Reader index of a slot command (0x41..0x44, 0x81..0x84), or -1.
int slot_of(uint8_t code) {
  if (code >= 0x41 && code <= 0x44) return 0;
  if (code >= 0x81 && code <= 0x84) return 1;
  return -1;
}

bool known_command(uint8_t code) {
  return code == 0x01 || code == 0x04 || code == 0x3F || slot_of(code) >= 0;
}

std::string describe_command(const Frame& f) {
  char buf[96];
  const int slot = slot_of(f.code);
  const char* what = "unknown command";
  switch (slot >= 0 ? (f.code & 0x0F) | 0x40 : f.code) {
    case 0x01:
      what = "status";
      break;
    case 0x04:
      what = "version";
      break;
    case 0x3F:
      what = "echo";
      break;
    case 0x41:
      what = "power up";
      break;
    case 0x42:
      what = "APDU command";
      break;
    case 0x43:
      what = "APDU request";
      break;
    case 0x44:
      what = "power down";
      break;
  }
  if (slot >= 0) {
    std::snprintf(buf, sizeof buf, "%s reader %d, %zu data bytes", what, slot, f.data.size());
  } else {
    std::snprintf(buf, sizeof buf, "%s 0x%02X, %zu data bytes", what, f.code, f.data.size());
  }
  return buf;
}

std::string describe_answer(const std::vector<uint8_t>& bytes) {
  if (bytes.size() == 1 && bytes[0] == kNak) return "NAK";
  char buf[64];
  const size_t n = bytes.size() - kHeaderSize - kCrcSize;
  std::snprintf(buf, sizeof buf, "status %02X, %zu data bytes", bytes[0], n);
  return buf;
}

void note(Output& out, const std::string& dir, const std::vector<uint8_t>& bytes,
          const std::string& meaning) {
  out.notes.push_back(dir + " " + hex(bytes) + " | " + meaning);
}

void arm_insert(Reader& reader, int slot, int64_t now_ms) {
  if (reader.config.insert_after_ms >= 0 && !reader.slot[slot].present) {
    reader.insert_due_ms[slot] = now_ms + reader.config.insert_after_ms;
  }
}

// Answers one good frame, through the fault, and logs both sides.
void handle(Reader& reader, const Frame& frame, const std::vector<uint8_t>& raw, int64_t now_ms,
            Output& out) {
  note(out, "in ", raw, describe_command(frame));
  std::vector<uint8_t> reply = answer(reader, frame, now_ms);
  if (reply.size() == 1) {
    out.sends.push_back(Send{now_ms, reply, FaultKind::kNone});
    note(out, "out", reply, "NAK (unknown command)");
    return;
  }
  std::string how = describe_answer(reply);
  const uint8_t kind = frame.code & 0x3F;
  if (slot_of(frame.code) >= 0 && (kind == 0x02 || kind == 0x03) && reply.size() >= 7) {
    how += ", SW " + hex(reply.data() + reply.size() - 4, 2);
  }
  Send send = apply_fault(reader.fault, std::move(reply), now_ms);
  if (send.fault != FaultKind::kNone) {
    how += std::string(", fault ") + fault_name(send.fault);
    if (send.at_ms > now_ms) how += " " + std::to_string(send.at_ms - now_ms) + " ms";
  }
  note(out, "out", send.bytes, how);
  out.sends.push_back(std::move(send));
}

void send_nak(const char* why, Output& out, int64_t now_ms) {
  const std::vector<uint8_t> nak = {kNak};
  out.sends.push_back(Send{now_ms, nak, FaultKind::kNone});
  note(out, "out", nak, std::string("NAK (") + why + ")");
}

void drop_front(Reader& reader, size_t count) {
  reader.in.erase(reader.in.begin(), reader.in.begin() + static_cast<std::ptrdiff_t>(count));
  reader.hunt_scanned = reader.hunt_scanned > count ? reader.hunt_scanned - count : 0;
}

// Looks for a good frame of a known command that the newest bytes completed;
// on finding one, drops what precedes it and stops hunting.
void hunt(Reader& reader, Output& out) {
  const std::vector<uint8_t>& in = reader.in;
  for (size_t i = 0; i + kHeaderSize <= in.size(); ++i) {
    if (!known_command(in[i])) continue;
    const size_t end =
        i + kHeaderSize + ((static_cast<size_t>(in[i + 1]) << 8) | in[i + 2]) + kCrcSize;
    if (end > in.size() || end <= reader.hunt_scanned) continue;
    if (decode(in.data() + i, in.size() - i).status != Decode::kOk) continue;
    if (i > 0) {
      out.notes.push_back("in  " + hex(in.data(), i) + " | discarded after bad frame");
    }
    drop_front(reader, i);
    reader.hunting = false;
    return;
  }
  reader.hunt_scanned = reader.in.size();
  if (reader.in.size() > kHuntLimit) drop_front(reader, reader.in.size() - kHuntLimit / 2);
}

// Consumes whatever whole frames the input holds.
void process(Reader& reader, int64_t now_ms, Output& out) {
  while (!reader.in.empty()) {
    if (reader.hunting) {
      hunt(reader, out);
      if (reader.hunting) return;
    }
    const DecodeResult r = decode(reader.in.data(), reader.in.size());
    if (r.status == Decode::kIncomplete) return;
    if (r.status == Decode::kOk) {
      const std::vector<uint8_t> raw(reader.in.begin(), reader.in.begin() + r.size);
      drop_front(reader, r.size);
      handle(reader, r.frame, raw, now_ms, out);
      continue;
    }
    // Bad CRC: the framing is lost. What came with the bad frame is its
    // leftover, so drop it all; until the line is quiet only a good frame of
    // a known command (a host's retry after the NAK) is taken.
    note(out, "in ", std::vector<uint8_t>(reader.in.begin(), reader.in.begin() + r.size),
         "bad CRC");
    send_nak("bad CRC", out, now_ms);
    if (reader.in.size() > r.size) {
      note(out, "in ", std::vector<uint8_t>(reader.in.begin() + r.size, reader.in.end()),
           "discarded after bad frame");
    }
    reader.in.clear();
    reader.hunting = true;
    reader.hunt_scanned = 0;
  }
}

}  // namespace

const char* fault_name(FaultKind kind) {
  switch (kind) {
    case FaultKind::kNone:
      return "off";
    case FaultKind::kNak:
      return "nak";
    case FaultKind::kCrc:
      return "crc";
    case FaultKind::kSilent:
      return "silent";
    case FaultKind::kCut:
      return "cut";
    case FaultKind::kGarbage:
      return "garbage";
    case FaultKind::kDelay:
      return "delay";
    case FaultKind::kLong:
      return "long";
    case FaultKind::kRandom:
      return "random";
  }
  return "?";
}

uint64_t next_random(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::string hex(const uint8_t* bytes, size_t count) {
  std::string s;
  s.reserve(count * 3);
  char buf[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
    s += buf;
  }
  return s;
}

std::string hex(const std::vector<uint8_t>& bytes) { return hex(bytes.data(), bytes.size()); }

void reader_start(Reader& reader, int64_t now_ms) {
  for (int s = 0; s < kSlots; ++s) arm_insert(reader, s, now_ms);
}

void slot_insert(Reader& reader, int slot) {
  reader.slot[slot].present = true;
  reader.slot[slot].powered = false;
  reader.insert_due_ms[slot] = -1;
}

void slot_remove(Reader& reader, int slot, int64_t now_ms) {
  reader.slot[slot].present = false;
  reader.slot[slot].powered = false;
  reader.insert_due_ms[slot] = -1;
  arm_insert(reader, slot, now_ms);
}

std::vector<uint8_t> answer(Reader& reader, const Frame& command, int64_t now_ms) {
  Frame reply;
  reply.code = kStatusOk;
  const int s = slot_of(command.code);
  switch (s >= 0 ? (command.code & 0x0F) | 0x40 : command.code) {
    case 0x01:
      reply.data = {static_cast<uint8_t>(reader.slot[0].present ? 1 : 0),
                    static_cast<uint8_t>(reader.slot[1].present ? 1 : 0)};
      break;
    case 0x04:
      reply.data = reader.config.version;
      break;
    case 0x3F:
      reply.data = command.data;
      break;
    case 0x41:
      if (reader.slot[s].present) {
        card_power_up(reader.slot[s]);
        reply.data = reader.slot[s].atr;
      } else {
        reply.code = kStatusNoCard;
      }
      break;
    case 0x42:
    case 0x43:
      reply.data = card_apdu(reader.slot[s], command.data, (command.code & 0x0F) == 0x02);
      break;
    case 0x44:
      reader.slot[s].powered = false;
      if (reader.config.remove_on_power_down && reader.slot[s].present) {
        slot_remove(reader, s, now_ms);
      }
      break;
    default:
      return {kNak};
  }
  return encode(reply);
}

namespace {

// The bytes a fault of this kind puts on the line in place of the frame.
void shape(FaultKind kind, int64_t delay_ms, std::vector<uint8_t> frame, int64_t now_ms,
           Send& send) {
  switch (kind) {
    case FaultKind::kNone:
    case FaultKind::kRandom:
      send.bytes = std::move(frame);
      break;
    case FaultKind::kNak:
      send.bytes = {kNak};
      break;
    case FaultKind::kCrc: {
      // Swap the CRC bytes; when they are equal a swap changes nothing, so
      // invert the high one instead to keep the frame wrong.
      const size_t n = frame.size();
      if (frame[n - 2] == frame[n - 1]) {
        frame[n - 1] = static_cast<uint8_t>(~frame[n - 1]);
      } else {
        std::swap(frame[n - 2], frame[n - 1]);
      }
      send.bytes = std::move(frame);
      break;
    }
    case FaultKind::kSilent:
      break;
    case FaultKind::kCut:
      send.bytes.assign(frame.begin(), frame.begin() + kHeaderSize);
      break;
    case FaultKind::kGarbage:
      send.bytes = kGarbageBytes;
      send.bytes.insert(send.bytes.end(), frame.begin(), frame.end());
      break;
    case FaultKind::kDelay:
      send.at_ms = now_ms + delay_ms;
      send.bytes = std::move(frame);
      break;
    case FaultKind::kLong:
      send.bytes = {frame[0], static_cast<uint8_t>(kLongLength >> 8),
                    static_cast<uint8_t>(kLongLength & 0xFF)};
      break;
  }
}

}  // namespace

Send apply_fault(Fault& fault, std::vector<uint8_t> frame, int64_t now_ms) {
  Send send;
  send.at_ms = now_ms;
  if (fault.kind == FaultKind::kNone) {
    send.bytes = std::move(frame);
    return send;
  }
  ++fault.counted;
  FaultKind kind = fault.kind;
  if (kind == FaultKind::kRandom) {
    // Two draws per answer, whether it is altered or not, so that an answer's
    // fate depends on its place in the sequence alone.
    const bool act = static_cast<int64_t>(next_random(fault.state) % kRateScale) < fault.rate;
    const FaultKind drawn = kRandomKinds[next_random(fault.state) % 6];
    if (!act) {
      send.bytes = std::move(frame);
      return send;
    }
    kind = drawn;
  } else {
    const bool act = fault.once || fault.every <= 1 || fault.counted % fault.every == 0;
    if (!act) {
      send.bytes = std::move(frame);
      return send;
    }
  }
  send.fault = kind;
  const int64_t delay_ms = fault.delay_ms;
  if (fault.once) fault = Fault{};
  shape(kind, delay_ms, std::move(frame), now_ms, send);
  return send;
}

void reader_feed(Reader& reader, const uint8_t* bytes, size_t count, int64_t now_ms, Output& out) {
  reader_tick(reader, now_ms, out);
  if (count == 0) return;
  reader.in.insert(reader.in.end(), bytes, bytes + count);
  reader.last_byte_ms = now_ms;
  process(reader, now_ms, out);
}

void reader_tick(Reader& reader, int64_t now_ms, Output& out) {
  for (int s = 0; s < kSlots; ++s) {
    if (reader.insert_due_ms[s] >= 0 && now_ms >= reader.insert_due_ms[s]) {
      slot_insert(reader, s);
      out.notes.push_back("card arrives in reader " + std::to_string(s));
    }
  }
  if (reader.in.empty() && !reader.hunting) return;
  const int64_t quiet = now_ms - reader.last_byte_ms;
  if (!reader.hunting && !reader.in.empty() && quiet >= kFrameGapMs) {
    // A frame cut short: give it up silently (the host has its own time-out)
    // and look for a good frame among its bytes.
    note(out, "in ", reader.in, "frame cut short, abandoned");
    drop_front(reader, 1);
    reader.hunting = true;
    reader.hunt_scanned = 0;
    process(reader, now_ms, out);
  }
  if (reader.hunting && quiet >= kQuietGapMs) {
    if (!reader.in.empty()) note(out, "in ", reader.in, "discarded, line quiet");
    reader.in.clear();
    reader.hunt_scanned = 0;
    reader.hunting = false;
  }
}

int64_t reader_deadline(const Reader& reader) {
  int64_t due = -1;
  auto take = [&due](int64_t t) {
    if (t >= 0 && (due < 0 || t < due)) due = t;
  };
  for (int s = 0; s < kSlots; ++s) take(reader.insert_due_ms[s]);
  if (!reader.in.empty() || reader.hunting) {
    take(reader.last_byte_ms + (reader.hunting ? kQuietGapMs : kFrameGapMs));
  }
  return due;
}

}  // namespace readersim
