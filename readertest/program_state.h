// The reader console's state for the whole run: its channel, the command
// line's port and baud rate, and the buffers the commands share.
#pragma once

#include "platform/platform.h"

enum : unsigned { kCommandBufferSize = 1024, kResponseBufferSize = 2048 };

struct ProgramState {
  int channel;
  int port;
  DWORD baud;
  BYTE command[kCommandBufferSize];    // data of the command frames typed or built
  BYTE response[kResponseBufferSize];  // where the exchanges receive their answers
};

extern ProgramState Program;
