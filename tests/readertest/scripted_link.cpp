// The scripted reader behind serchan32's calls. No GoogleTest here: the fuzz
// targets (tests/fuzz) link this file without it.
#include <cstring>

#include "readertest/reader_link.h"
#include "serchan32/serchan32.h"
#include "tests/readertest/scripted_reader.h"

ScriptedReader Reader;

Bytes ResponseFrame(unsigned char status, const Bytes& data) {
  Bytes frame;
  frame.reserve(data.size() + 5);
  frame.push_back(status);
  frame.push_back(static_cast<unsigned char>(data.size() >> 8));
  frame.push_back(static_cast<unsigned char>(data.size()));
  for (unsigned char byte : data) frame.push_back(byte);
  const WORD crc = Crc16Update(0, frame.data(), frame.size());
  frame.push_back(static_cast<unsigned char>(crc));
  frame.push_back(static_cast<unsigned char>(crc >> 8));
  return frame;
}

void AnswerWith(Answers answers) {
  Reader.answer = [answers](const Bytes& frame) {
    if (frame.size() < 5) return Bytes{0xFF};
    return answers(frame[0], Bytes(frame.begin() + 3, frame.end() - 2));
  };
}

extern "C" {

int XRT_M_Comm_OpenChannel(unsigned, unsigned, int* outIndex) {
  *outIndex = 0;
  return 0;
}

#if !defined(_WIN32)
// The scripted link stands for no device.
int XRT_M_Comm_PortDevice(unsigned, char* device, unsigned, char* source, unsigned) {
  device[0] = source[0] = '\0';
  return -1;
}
#endif

int XRT_M_Comm_CloseChannel(int index) {
  Reader.closed.push_back(index);
  return 0;
}

int XRT_M_Comm_FlushBuffers(int) {
  Reader.calls.push_back("flush");
  Reader.input.clear();
  return 0;
}

int XRT_M_Comm_SendBlock_0(int, const unsigned char* buffer, unsigned length) {
  Reader.calls.push_back("send " + std::to_string(length));
  Reader.frame.insert(Reader.frame.end(), buffer, buffer + length);
  return 0;
}

int XRT_M_Comm_ReadBlock(int, unsigned char* buffer, unsigned timeout, unsigned count) {
  Reader.calls.push_back("read " + std::to_string(count) + " " + std::to_string(timeout));
  if (!Reader.frame.empty()) {
    Reader.frames.push_back(Reader.frame);
    if (Reader.answer) {
      const Bytes answer = Reader.answer(Reader.frame);
      Reader.input.insert(Reader.input.end(), answer.begin(), answer.end());
    }
    Reader.frame.clear();
  }
  if (!Reader.reads.empty()) {
    const ScriptedReader::Read read = Reader.reads.front();
    Reader.reads.pop_front();
    if (read.forced) {
      size_t arrived = read.arrived;
      if (arrived >= count) arrived = count != 0 ? count - 1 : 0;
      if (arrived > Reader.input.size()) arrived = Reader.input.size();
      if (arrived != 0) std::memcpy(buffer, Reader.input.data(), arrived);
      Reader.input.erase(Reader.input.begin(), Reader.input.begin() + arrived);
      return read.result;
    }
  }
  // Too few bytes is a time-out, as on the line: what came is lost.
  if (Reader.input.size() < count) {
    Reader.input.clear();
    return -1;
  }
  if (count != 0) std::memcpy(buffer, Reader.input.data(), count);
  Reader.input.erase(Reader.input.begin(), Reader.input.begin() + count);
  return static_cast<int>(count);
}

}  // extern "C"
