// The library's table of eight channels and its life with the module.
#pragma once

#include "platform/platform.h"
#include "serchan32/comm_port.h"

const int kChannelCount = 8;

struct ChannelSlot {
  CommPort* port;  // owned; null while the slot is free
  LONG waitMode;   // 1: do not pump window messages before reads
  LONG checkCarrier;
  LONG connected;
};

extern ChannelSlot Channels[kChannelCount];
// Serialises open, close and unload; held across a port's construction and
// destruction.
extern CRITICAL_SECTION ChannelLock;

// Load and unload of the library (process attach and detach).
void AttachLibrary(HINSTANCE module);
// unloading: the library is unloaded with the process going on (FreeLibrary),
// so the loader's lock is held and no thread can end.
void DetachLibrary(bool unloading);

bool IsChannelUsable(int index);
void PumpMessages(int index);

// The break event as XRT_M_Comm_GetBreakEvent hands it out: its handle under
// Windows; natively the file descriptor of the eventfd that holds its state
// (exported_event_*.cpp).
void* ExportedEvent(HANDLE event);
