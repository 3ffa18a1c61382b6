// ReaderExchange (readertest/reader_link.cpp): its response-frame decoding
// over whatever the reader sends. serchan32's calls are the scripted reader
// of tests/readertest (scripted_link.cpp); the input becomes the exchange's
// arguments, how each read ends and the bytes the reader answers with:
//
//   byte 0  flags: bits 0-1 the capacity (0: 2048, the shared buffer; 1: 256,
//           the complex test's; 2: byte 1; 3: byte 1 * 257, up to 65535);
//           bit 2: the answer's CRC is put right before it is sent (where
//           the answer is long enough for its own length); bit 3: a long
//           command (below); bits 4-6: how many read entries follow
//   byte 1  the capacity's parameter
//   byte 2  the command byte
//   byte 3  the command's data length n; n data bytes follow (fewer if the
//           input ends); for a long command the length is n * 16 (up to 4080,
//           past the echo test's 1024) and one byte follows, the first of
//           the data, each next one more by 1
//   then    one byte per read entry: bits 6-7 how the read ends (0 it
//           delivers as the line does, 1 time-out -1, 2 bad channel -11,
//           3 result 0), bits 0-5 bytes that arrive before a forced end
//   rest    the reader's answer
//
// Every buffer the exchange is given is a heap block of its exact size, so
// ASan sees any access beyond. Checked for every input: the result is 0..3;
// the response length is at most the capacity and 0 on every result but 0;
// the frame sent; and the result, the status byte, the response and the
// reads asked for (count and time-out, in order) are what a model of the link
// over the same scripted line gives; nothing is written into the response
// buffer past the length the answer declared (nothing at all when that is
// over the capacity).
#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dump/dump.h"
#include "readertest/reader_link.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/readertest/scripted_reader.h"

namespace {

const BYTE kUntouched = 0xEE;

// CRC-16/ARC, the bit-at-a-time form: a check on Crc16Update's table.
WORD Crc(const Bytes& bytes) {
  unsigned crc = 0;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return static_cast<WORD>(crc);
}

// The scripted line as the model sees it: the answer, and how each read ends.
struct ModelLine {
  Bytes input;
  size_t taken = 0;
  std::vector<ScriptedReader::Read> reads;
  size_t nextRead = 0;
  std::vector<std::string> calls;

  // One ReadBlock: the count it returns, the bytes delivered in *out.
  int Read(unsigned count, unsigned timeout, Bytes* out) {
    calls.push_back("read " + std::to_string(count) + " " + std::to_string(timeout));
    out->clear();
    const size_t left = input.size() - taken;
    if (nextRead < reads.size()) {
      const ScriptedReader::Read read = reads[nextRead++];
      if (read.forced) {
        size_t arrived = read.arrived;
        if (count == 0) arrived = 0;
        if (count != 0 && arrived > count - 1) arrived = count - 1;
        if (arrived > left) arrived = left;
        taken += arrived;
        return read.result;
      }
    }
    if (left < count) {
      taken = input.size();
      return -1;
    }
    out->assign(input.begin() + static_cast<long>(taken),
                input.begin() + static_cast<long>(taken + count));
    taken += count;
    return static_cast<int>(count);
  }
};

struct ModelResult {
  int result;
  bool statusRead;
  BYTE status;
  Bytes response;
  size_t asked;  // the data bytes read for: the most that may be written
};

// The link's receiving steps, over the model line.
ModelResult Receive(ModelLine* line, unsigned capacity) {
  ModelResult model{kLinkTimeout, false, 0, {}, 0};
  Bytes status, high, low, data, crcLow, crcHigh;
  if (line->Read(1, 5000, &status) <= 0) return model;
  model.statusRead = true;
  model.status = status[0];
  if (status[0] == 0xFF) {
    model.result = kLinkNak;
    return model;
  }
  if (line->Read(1, 100, &high) <= 0 || line->Read(1, 100, &low) <= 0) return model;
  const unsigned length = static_cast<unsigned>(high[0]) << 8 | low[0];
  if (length > capacity) {
    model.result = kLinkCrc;
    return model;
  }
  model.asked = length;
  if (length != 0 && line->Read(length, 5000, &data) <= 0) return model;
  if (line->Read(1, 100, &crcLow) <= 0 || line->Read(1, 100, &crcHigh) <= 0) return model;
  Bytes covered(3 + data.size());
  covered[0] = status[0];
  covered[1] = high[0];
  covered[2] = low[0];
  std::copy(data.begin(), data.end(), covered.begin() + 3);
  const WORD crc = Crc(covered);
  if (crcLow[0] != (crc & 0xFF) || crcHigh[0] != crc >> 8) {
    model.result = kLinkCrc;
    return model;
  }
  model.result = kLinkOk;
  model.response = data;
  return model;
}

std::string Printed;

}  // namespace

// The one console call the link makes (ReportLinkResult).
extern "C" int ConPrint(const char* format, ...) {
  char text[256];
  va_list values;
  va_start(values, format);
  const int written = std::vsnprintf(text, sizeof text, format, values);
  va_end(values);
  FUZZ_CHECK(written >= 0 && static_cast<size_t>(written) < sizeof text);
  Printed += text;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const unsigned flags = data[0];
  unsigned capacity = 0;
  switch (flags & 3) {
    case 0:
      capacity = 2048;
      break;
    case 1:
      capacity = 256;
      break;
    case 2:
      capacity = data[1];
      break;
    default:
      capacity = data[1] * 257u;
      break;
  }
  const bool fixCrc = (flags & 4) != 0;
  const size_t entries = (flags >> 4) & 7;
  const BYTE command = data[2];
  size_t at = 4;
  size_t sent = 0;
  Bytes commandData;
  if ((flags & 8) != 0) {
    sent = data[3] * 16u;
    const unsigned first = at < size ? data[at++] : 0;
    for (size_t i = 0; i < sent; ++i) commandData.push_back(static_cast<BYTE>(first + i));
  } else {
    sent = data[3] <= size - at ? data[3] : size - at;
    commandData.assign(data + at, data + at + sent);
    at += sent;
  }
  std::vector<ScriptedReader::Read> reads;
  for (size_t i = 0; i < entries && at < size; ++i, ++at) {
    static const int kResults[] = {0, -1, -11, 0};
    const unsigned kind = data[at] >> 6;
    reads.push_back({kind != 0, kResults[kind], data[at] & 0x3Fu});
  }
  Bytes answer(data + at, data + size);
  if (fixCrc && answer.size() >= 3) {
    const size_t length = static_cast<size_t>(answer[1]) << 8 | answer[2];
    if (answer.size() >= length + 5) {
      const WORD crc = Crc(Bytes(answer.begin(), answer.begin() + static_cast<long>(length + 3)));
      answer[length + 3] = static_cast<unsigned char>(crc);
      answer[length + 4] = static_cast<unsigned char>(crc >> 8);
    }
  }

  Reader = ScriptedReader();
  Reader.answer = [answer](const Bytes&) { return answer; };
  Reader.reads.assign(reads.begin(), reads.end());
  // Each buffer a block of its own exact size; no data is null data.
  std::unique_ptr<BYTE[]> sentData;
  if (sent != 0) {
    sentData.reset(new BYTE[sent]);
    std::memcpy(sentData.get(), commandData.data(), sent);
  }
  std::unique_ptr<BYTE> status(new BYTE(kUntouched));
  std::unique_ptr<BYTE[]> response(new BYTE[capacity]);
  std::memset(response.get(), kUntouched, capacity);
  std::unique_ptr<WORD> responseLength(new WORD(0xBEEF));

  const int result =
      ReaderExchange(command, sentData.get(), static_cast<WORD>(sent), status.get(), response.get(),
                     static_cast<WORD>(capacity), responseLength.get());

  // The decoder's contract.
  FUZZ_CHECK(result >= kLinkOk && result <= kLinkTimeout);
  FUZZ_CHECK(*responseLength <= capacity);
  if (result != kLinkOk) FUZZ_CHECK(*responseLength == 0);
  // The frame it sent, and the calls that sent it.
  Bytes frame(3 + sent);
  frame[0] = command;
  frame[1] = static_cast<BYTE>(sent >> 8);
  frame[2] = static_cast<BYTE>(sent);
  std::copy(commandData.begin(), commandData.end(), frame.begin() + 3);
  const WORD crc = Crc(frame);
  frame.push_back(static_cast<BYTE>(crc));
  frame.push_back(static_cast<BYTE>(crc >> 8));
  FUZZ_CHECK(Reader.frames.size() == 1 && Reader.frames[0] == frame);
  std::vector<std::string> sends = {"flush", "send 1", "send 1", "send 1"};
  if (sent != 0) sends.push_back("send " + std::to_string(sent));
  sends.push_back("send 1");
  sends.push_back("send 1");
  FUZZ_CHECK(Reader.calls.size() >= sends.size());
  FUZZ_CHECK(std::vector<std::string>(Reader.calls.begin(),
                                      Reader.calls.begin() + static_cast<long>(sends.size())) ==
             sends);

  // What the model makes of the same line.
  ModelLine line;
  line.input = answer;
  line.reads = reads;
  const ModelResult model = Receive(&line, capacity);
  FUZZ_CHECK(result == model.result);
  FUZZ_CHECK(std::vector<std::string>(Reader.calls.begin() + static_cast<long>(sends.size()),
                                      Reader.calls.end()) == line.calls);
  if (model.statusRead) FUZZ_CHECK(*status == model.status);
  for (size_t i = model.asked; i < capacity; ++i) FUZZ_CHECK(response[i] == kUntouched);
  if (result == kLinkOk) {
    FUZZ_CHECK(*responseLength == model.response.size());
    FUZZ_CHECK(model.response.empty() ||
               std::memcmp(response.get(), model.response.data(), model.response.size()) == 0);
  }

  Printed.clear();
  ReportLinkResult(result);
  FUZZ_CHECK(!Printed.empty());
  return 0;
}
