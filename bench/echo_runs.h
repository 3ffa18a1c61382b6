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
