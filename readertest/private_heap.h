// A growable private heap that a command owns from its start to its end.
#pragma once

#include "platform/platform.h"

class PrivateHeap {
 public:
  PrivateHeap() : handle_(HeapCreate(0, 0, 0)) {}
  ~PrivateHeap() {
    if (handle_ != nullptr) HeapDestroy(handle_);
  }
  PrivateHeap(const PrivateHeap&) = delete;
  PrivateHeap& operator=(const PrivateHeap&) = delete;

  HANDLE handle() const { return handle_; }

 private:
  HANDLE handle_;
};
