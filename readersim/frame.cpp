#include "readersim/frame.h"

namespace readersim {

uint16_t crc16(const uint8_t* bytes, size_t count, uint16_t crc) {
  for (size_t i = 0; i < count; ++i) {
    uint8_t byte = bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      const bool low = ((crc ^ byte) & 1) != 0;
      crc >>= 1;
      if (low) crc ^= 0xA001;
      byte >>= 1;
    }
  }
  return crc;
}

std::vector<uint8_t> encode(const Frame& frame) {
  const size_t n = frame.data.size();
  std::vector<uint8_t> out;
  out.reserve(kHeaderSize + n + kCrcSize);
  out.push_back(frame.code);
  out.push_back(static_cast<uint8_t>(n >> 8));
  out.push_back(static_cast<uint8_t>(n));
  out.insert(out.end(), frame.data.begin(), frame.data.end());
  const uint16_t crc = crc16(out.data(), out.size());
  out.push_back(static_cast<uint8_t>(crc));
  out.push_back(static_cast<uint8_t>(crc >> 8));
  return out;
}

DecodeResult decode(const uint8_t* bytes, size_t count) {
  DecodeResult result;
  if (count < kHeaderSize) return result;
  const size_t n = (static_cast<size_t>(bytes[1]) << 8) | bytes[2];
  result.size = kHeaderSize + n + kCrcSize;
  if (count < result.size) return result;
  const size_t body = kHeaderSize + n;
  const uint16_t got = static_cast<uint16_t>(bytes[body] | (bytes[body + 1] << 8));
  if (crc16(bytes, body) != got) {
    result.status = Decode::kBadCrc;
    return result;
  }
  result.status = Decode::kOk;
  result.frame.code = bytes[0];
  result.frame.data.assign(bytes + kHeaderSize, bytes + body);
  return result;
}

}  // namespace readersim
