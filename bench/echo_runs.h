// The measuring loop shared by the echo hosts: five time-bounded runs of one
// exchange function, the median time per exchange and the process CPU time
// per exchange, printed as one line that bench/run_bench.py reads:
//   payload=N exchanges=K failed=F seconds=S cpu=C
// (S and C per exchange, in seconds).
#pragma once

#include <functional>

// One echo exchange of `payload` bytes; true when the echo came back whole.
using EchoExchange = std::function<bool(unsigned payload)>;

// Measures for about `seconds` in all and prints the line.
void MeasureEcho(unsigned payload, double seconds, const EchoExchange& exchange);

// CPU seconds (user + system) the process has used so far.
double ProcessCpuSeconds();

// Builds the echo command frame (command 0x3F, CRC-16/ARC) into frame; its size.
unsigned EchoFrame(unsigned payload, unsigned char* frame);

// Reads exactly `count` bytes of an answer; false when they do not come.
using ReadPiece = bool (*)(unsigned char* buffer, unsigned count);

// The answer to the echo command frame, read as a minimal host reads it: one
// read of each whole piece (status, length, data, CRC). True when the length
// says `payload` and every piece came.
bool ReadEchoAnswer(unsigned payload, ReadPiece read);
