// The iso card: a T=0 card with an ISO 7816-4 file system of two files, the
// MF 3F00 and the transparent EF 2F00 under it. It answers SELECT by file
// identifier, GET RESPONSE and READ BINARY.
#include "readersim/card.h"

namespace readersim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kSwBytesWaiting = 0x6100;  // low byte: how many
constexpr uint16_t kSwWrongLe = 0x6C00;       // low byte: the Le to use
constexpr uint16_t kSwNoCurrentEf = 0x6986;
constexpr uint16_t kSwNothingWaiting = 0x6985;  // conditions of use not satisfied
constexpr uint16_t kSwFileNotFound = 0x6A82;
constexpr uint16_t kSwWrongP1P2 = 0x6A86;
constexpr uint16_t kSwOffsetOutside = 0x6B00;
constexpr uint16_t kSwClaUnknown = 0x6E00;

constexpr uint8_t kP2Fci = 0x00;
constexpr uint8_t kP2Fcp = 0x04;
constexpr uint8_t kP2NoData = 0x0C;

Bytes sw(uint16_t word) { return {static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)}; }

// A count in the low byte of 61 xx or 6C xx, where 00 stands for 256.
uint16_t count_byte(size_t n) { return n >= 256 ? 0 : static_cast<uint16_t>(n); }

Bytes data_then(const uint8_t* data, size_t n, uint16_t word) {
  Bytes out(data, data + n);
  out.push_back(static_cast<uint8_t>(word >> 8));
  out.push_back(static_cast<uint8_t>(word));
  return out;
}

size_t le_of(uint8_t p3) { return p3 == 0 ? 256 : p3; }

Bytes select(IsoSession& session, const Bytes& apdu, bool with_data) {
  const uint8_t p2 = apdu[3];
  if (apdu[2] != 0x00 || (p2 != kP2Fci && p2 != kP2Fcp && p2 != kP2NoData)) {
    return sw(kSwWrongP1P2);
  }
  if (!with_data || apdu[4] != 2) return sw(kSwWrongLength);
  const uint16_t fid = static_cast<uint16_t>(apdu[5] << 8 | apdu[6]);
  // The current DF is always the MF, so 2F00 is found there.
  if (fid != kFidMf && fid != kFidDir) return sw(kSwFileNotFound);
  session.current = fid;
  if (p2 == kP2NoData) return sw(kSwOk);
  session.waiting = iso_fcp(fid);
  return sw(kSwBytesWaiting | count_byte(session.waiting.size()));
}

// GET RESPONSE and READ BINARY take an Le, not data. Sent as an APDU command
// (P3 00, no Le) they answer 6C xx with the Le to use, as a T=0 card does to
// a wrong P3; with data bytes, 67 00.
Bytes get_response(IsoSession& session, Bytes waiting, const Bytes& apdu, bool with_data) {
  if (apdu[2] != 0x00 || apdu[3] != 0x00) return sw(kSwWrongP1P2);
  if (with_data && apdu[4] != 0) return sw(kSwWrongLength);
  if (waiting.empty()) return sw(kSwNothingWaiting);
  const size_t n = waiting.size();
  const size_t le = le_of(apdu[4]);
  if (with_data || le > n) {
    session.waiting = std::move(waiting);
    return sw(kSwWrongLe | count_byte(n));
  }
  if (le == n) return data_then(waiting.data(), n, kSwOk);
  Bytes out = data_then(waiting.data(), le, kSwBytesWaiting | count_byte(n - le));
  session.waiting.assign(waiting.begin() + static_cast<std::ptrdiff_t>(le), waiting.end());
  return out;
}

Bytes read_binary(const IsoSession& session, const Bytes& apdu, bool with_data) {
  if (apdu[2] & 0x80) return sw(kSwWrongP1P2);  // a short EF identifier: not supported
  if (with_data && apdu[4] != 0) return sw(kSwWrongLength);
  if (session.current != kFidDir) return sw(kSwNoCurrentEf);
  const Bytes& ef = iso_ef_bytes();
  const size_t offset = static_cast<size_t>(apdu[2] << 8 | apdu[3]);
  if (offset >= ef.size()) return sw(kSwOffsetOutside);
  const size_t left = ef.size() - offset;
  if (with_data || le_of(apdu[4]) > left) return sw(kSwWrongLe | count_byte(left));
  return data_then(ef.data() + offset, le_of(apdu[4]), kSwOk);
}

}  // namespace

const std::vector<uint8_t>& iso_ef_bytes() {
  // 61: an application template; 4F: its AID, F0 (a proprietary, unregistered
  // RID) and "readersim"; 50: its label "ISO TEST CARD". FF pads to 48 bytes.
  static const Bytes bytes = [] {
    Bytes b = {0x61, 0x1B, 0x4F, 0x0A, 0xF0};
    for (char c : std::string("readersim")) b.push_back(static_cast<uint8_t>(c));
    b.push_back(0x50);
    b.push_back(0x0D);
    for (char c : std::string("ISO TEST CARD")) b.push_back(static_cast<uint8_t>(c));
    b.resize(0x30, 0xFF);
    return b;
  }();
  return bytes;
}

std::vector<uint8_t> iso_fcp(uint16_t fid) {
  // 82: file descriptor (38 a DF, 01 a transparent working EF); 83: file
  // identifier; 80: data size; 8A: life cycle 05, operational and activated.
  const uint8_t hi = static_cast<uint8_t>(fid >> 8), lo = static_cast<uint8_t>(fid);
  if (fid == kFidMf) return {0x62, 0x0A, 0x82, 0x01, 0x38, 0x83, 0x02, hi, lo, 0x8A, 0x01, 0x05};
  const size_t size = iso_ef_bytes().size();
  return {0x62,
          0x0E,
          0x82,
          0x01,
          0x01,
          0x83,
          0x02,
          hi,
          lo,
          0x80,
          0x02,
          static_cast<uint8_t>(size >> 8),
          static_cast<uint8_t>(size),
          0x8A,
          0x01,
          0x05};
}

std::vector<uint8_t> iso_apdu(IsoSession& session, const std::vector<uint8_t>& apdu,
                              bool with_data) {
  // Response data is there for the next command only.
  Bytes waiting = std::move(session.waiting);
  session.waiting.clear();
  if (apdu[0] != 0x00) return sw(kSwClaUnknown);
  switch (apdu[1]) {
    case kInsSelect:
      return select(session, apdu, with_data);
    case kInsGetResponse:
      return get_response(session, std::move(waiting), apdu, with_data);
    case kInsReadBinary:
      return read_binary(session, apdu, with_data);
    default:
      return sw(kSwInsUnknown);
  }
}

}  // namespace readersim
