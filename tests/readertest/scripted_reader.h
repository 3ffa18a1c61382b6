// Test doubles of what the reader console binds: serchan32's five calls with
// a scripted reader behind them (scripted_link.cpp, free of GoogleTest, so
// that the fuzz targets link it too), and the console calls with scripted
// keys and lines and a recorded screen (scripted_reader.cpp).
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

struct ScriptedReader {
  // Given each complete command frame (when the first read after it comes),
  // returns the bytes the reader answers with.
  std::function<Bytes(const Bytes& frame)> answer;
  Bytes input;                     // answered bytes not read yet
  Bytes frame;                     // the command frame being sent
  std::vector<Bytes> frames;       // every frame sent, in order
  std::vector<std::string> calls;  // "flush", "send N", "read N T" (count, time-out)
  std::vector<int> closed;         // channels closed
  // What the reads to come end with, one entry each in order; once they run
  // out every read delivers from input as above. A forced entry first moves
  // up to `arrived` bytes of input (fewer than the count asked for) into the
  // buffer, as bytes that came before a time-out and are lost with it, and
  // then returns `result` in place of the count: -1 a time-out or failed
  // read, -11 a bad channel, or 0.
  struct Read {
    bool forced;
    int result;
    unsigned arrived;
  };
  std::deque<Read> reads;
};

struct ScriptedConsole {
  std::string screen;             // everything written, texts as given
  std::deque<std::string> lines;  // for ConReadLine
  std::deque<Bytes> hexLines;     // for ConReadHex
  // Keys typed, each arriving once ConKeyPressed has been asked atPoll times;
  // ConGetKey waits for the next one, ConFlushKeys drops those that arrived.
  struct Key {
    int code;
    int atPoll;
  };
  std::deque<Key> keys;
  int polls = 0;
  void Type(int code, int atPoll = 0) { keys.push_back({code, atPoll}); }
  int rows = 25;
  std::vector<int> colors;  // ConSetColor's attributes, -1 for a reset
  int waits = 0;            // ConGetKey calls
};

extern ScriptedReader Reader;
extern ScriptedConsole Screen;

// Starts a test afresh: empty scripts, buffers and program state.
void ResetScripts();

// A response frame with a good CRC.
Bytes ResponseFrame(unsigned char status, const Bytes& data);
// The reader's answer to each command, by command byte; unknown ones NAK.
using Answers = std::function<Bytes(unsigned char command, const Bytes& data)>;
void AnswerWith(Answers answers);
