// Private heaps: each keeps its blocks on a list, so that HeapDestroy frees
// every block still allocated at once. A heap serialises its own calls, as a
// Win32 heap does by default; a nonzero maximum size limits what it holds.
#include <stdlib.h>

#include <new>

#include "platform/posix/win32_api.h"

namespace {

// Each allocation's header, padded so that the memory after it keeps malloc's
// alignment.
struct alignas(alignof(max_align_t)) Block {
  Block* previous;
  Block* next;
  SIZE_T bytes;
};

struct Heap {
  pthread_mutex_t mutex;
  Block* first;
  SIZE_T held;
  SIZE_T maximum;  // 0: no limit
};

class HeapLock {
 public:
  explicit HeapLock(Heap* heap) : heap_(heap) { pthread_mutex_lock(&heap_->mutex); }
  ~HeapLock() { pthread_mutex_unlock(&heap_->mutex); }
  HeapLock(const HeapLock&) = delete;
  HeapLock& operator=(const HeapLock&) = delete;

 private:
  Heap* heap_;
};

Block* BlockOf(LPVOID memory) { return static_cast<Block*>(memory) - 1; }

}  // namespace

extern "C" {

HANDLE WINAPI HeapCreate(DWORD, SIZE_T, SIZE_T maximumSize) {
  Heap* heap = new (std::nothrow) Heap();
  if (heap == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  pthread_mutex_init(&heap->mutex, nullptr);
  heap->maximum = maximumSize;
  return heap;
}

LPVOID WINAPI HeapAlloc(HANDLE handle, DWORD, SIZE_T bytes) {
  Heap* heap = static_cast<Heap*>(handle);
  HeapLock lock(heap);
  if (bytes > SIZE_MAX - sizeof(Block) ||
      (heap->maximum != 0 && bytes > heap->maximum - heap->held)) {
    return nullptr;
  }
  Block* block = static_cast<Block*>(malloc(sizeof(Block) + bytes));
  if (block == nullptr) return nullptr;
  block->previous = nullptr;
  block->next = heap->first;
  block->bytes = bytes;
  if (heap->first != nullptr) heap->first->previous = block;
  heap->first = block;
  heap->held += bytes;
  return block + 1;
}

BOOL WINAPI HeapFree(HANDLE handle, DWORD, LPVOID memory) {
  if (memory == nullptr) return TRUE;
  Heap* heap = static_cast<Heap*>(handle);
  HeapLock lock(heap);
  Block* block = BlockOf(memory);
  if (block->previous != nullptr) block->previous->next = block->next;
  if (block->next != nullptr) block->next->previous = block->previous;
  if (heap->first == block) heap->first = block->next;
  heap->held -= block->bytes;
  free(block);
  return TRUE;
}

BOOL WINAPI HeapDestroy(HANDLE handle) {
  Heap* heap = static_cast<Heap*>(handle);
  if (heap == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  for (Block* block = heap->first; block != nullptr;) {
    Block* next = block->next;
    free(block);
    block = next;
  }
  pthread_mutex_destroy(&heap->mutex);
  delete heap;
  return TRUE;
}

}  // extern "C"
