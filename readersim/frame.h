// Frames of the reader's serial protocol and their CRC-16/ARC.
//
// A frame is a code byte (command from the host, status from the reader),
// a big-endian 16-bit data length, the data, and the CRC-16 of everything
// before it, low byte first. A NAK is the single byte 0xFF instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace readersim {

constexpr uint8_t kNak = 0xFF;
constexpr size_t kHeaderSize = 3;  // code, length high, length low
constexpr size_t kCrcSize = 2;

struct Frame {
  uint8_t code = 0;
  std::vector<uint8_t> data;
};

// CRC-16/ARC (reflected 0xA001, initial 0, no final xor), continuing from crc.
uint16_t crc16(const uint8_t* bytes, size_t count, uint16_t crc = 0);

// The wire bytes of a frame. Data beyond 65535 bytes is not representable;
// callers keep to that limit.
std::vector<uint8_t> encode(const Frame& frame);

enum class Decode {
  kIncomplete,  // more bytes are needed
  kOk,
  kBadCrc,
};

struct DecodeResult {
  Decode status = Decode::kIncomplete;
  size_t size = 0;  // bytes the frame occupies once its length is known, else 0
  Frame frame;      // filled for kOk
};

// Reads one frame from the start of bytes[0..count).
DecodeResult decode(const uint8_t* bytes, size_t count);

}  // namespace readersim
