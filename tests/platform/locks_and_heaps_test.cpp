// Critical sections and private heaps of the POSIX layer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

TEST(Locks, CriticalSectionIsReentrantAndHeldUntilItsLastLeave) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);  // the owner enters again without blocking
  std::atomic<bool> entered{false};
  std::thread other([&] {
    EnterCriticalSection(&section);
    entered = true;
    LeaveCriticalSection(&section);
  });
  LeaveCriticalSection(&section);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(entered.load());  // still held once
  LeaveCriticalSection(&section);
  other.join();
  EXPECT_TRUE(entered.load());
  DeleteCriticalSection(&section);
}

TEST(Heaps, BlocksAreSeparateAlignedAndFreedOneByOneOrAllAtOnce) {
  HANDLE heap = HeapCreate(0, 0, 0);
  ASSERT_NE(nullptr, heap);
  std::vector<char*> blocks;
  for (size_t size : {1u, 16u, 100u, 4096u, 0u}) {
    char* block = static_cast<char*>(HeapAlloc(heap, 0, size));
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(block) % alignof(max_align_t));
    std::memset(block, 0x5A, size);
    blocks.push_back(block);
  }
  for (size_t i = 1; i < blocks.size(); ++i) EXPECT_NE(blocks[i - 1], blocks[i]);
  EXPECT_TRUE(HeapFree(heap, 0, blocks[1]));
  EXPECT_TRUE(HeapFree(heap, 0, blocks.back()));
  EXPECT_TRUE(HeapFree(heap, 0, nullptr));
  EXPECT_EQ(0x5A, blocks[3][4095]);  // the others are untouched
  // The three still allocated go with the heap (the leak checker would tell).
  EXPECT_TRUE(HeapDestroy(heap));
}

TEST(Heaps, HeapWithAMaximumHoldsNoMore) {
  HANDLE heap = HeapCreate(0, 0, 1000);
  ASSERT_NE(nullptr, heap);
  void* most = HeapAlloc(heap, 0, 900);
  ASSERT_NE(nullptr, most);
  EXPECT_EQ(nullptr, HeapAlloc(heap, 0, 200));
  EXPECT_TRUE(HeapFree(heap, 0, most));
  EXPECT_NE(nullptr, HeapAlloc(heap, 0, 1000));
  EXPECT_TRUE(HeapDestroy(heap));
}

TEST(Heaps, ThreadsShareAHeap) {
  HANDLE heap = HeapCreate(0, 0, 0);
  ASSERT_NE(nullptr, heap);
  auto churn = [heap] {
    for (int i = 0; i < 2000; ++i) {
      void* block = HeapAlloc(heap, 0, 32);
      if (i % 2 == 0) HeapFree(heap, 0, block);
    }
  };
  std::thread first(churn);
  std::thread second(churn);
  first.join();
  second.join();
  EXPECT_TRUE(HeapDestroy(heap));
}

}  // namespace
