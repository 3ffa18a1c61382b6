// Events and waits of the POSIX layer: reset kinds, which object a wait
// takes, time-outs, waits ended from another thread, bad handles.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// An event that closes itself.
class Event {
 public:
  explicit Event(bool manualReset, bool signalled = false)
      : handle_(CreateEventA(nullptr, manualReset, signalled, nullptr)) {}
  ~Event() { CloseHandle(handle_); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  HANDLE get() const { return handle_; }
  bool IsSet() const { return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }

 private:
  HANDLE handle_;
};

TEST(Events, ManualResetStaysSetThroughWaitsUntilReset) {
  Event event(true);
  ASSERT_NE(nullptr, event.get());
  EXPECT_FALSE(event.IsSet());
  EXPECT_TRUE(SetEvent(event.get()));
  EXPECT_TRUE(event.IsSet());
  EXPECT_TRUE(event.IsSet());
  EXPECT_TRUE(ResetEvent(event.get()));
  EXPECT_FALSE(event.IsSet());
}

TEST(Events, AutoResetIsTakenByTheOneWaitItSatisfies) {
  Event event(false, true);
  EXPECT_TRUE(event.IsSet());
  EXPECT_FALSE(event.IsSet());
  SetEvent(event.get());
  SetEvent(event.get());  // a second set before a wait adds nothing
  EXPECT_TRUE(event.IsSet());
  EXPECT_FALSE(event.IsSet());
}

TEST(Events, OneSetOfAnAutoResetEventReleasesOneWaiterOfTwo) {
  Event event(false);
  std::atomic<int> released{0};
  auto waiter = [&] {
    if (WaitForSingleObject(event.get(), 2000) == WAIT_OBJECT_0) ++released;
  };
  std::thread first(waiter);
  std::thread second(waiter);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  SetEvent(event.get());
  first.join();
  second.join();
  EXPECT_EQ(1, released.load());
}

TEST(Events, NamedEventsAndOtherKindsAreRefused) {
  EXPECT_EQ(nullptr, CreateEventA(nullptr, TRUE, FALSE, "shared"));
  EXPECT_EQ(DWORD{ERROR_NOT_SUPPORTED}, GetLastError());
  EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(0x7FFF0)));
  EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, GetLastError());
  HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  EXPECT_FALSE(ResetEvent(closed));
  EXPECT_FALSE(CloseHandle(closed));
  EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, GetLastError());
}

TEST(Waits, LowestSignalledIndexWinsAndOnlyItsSignalIsTaken) {
  Event first(false);
  Event second(false, true);
  Event third(false, true);
  HANDLE all[3] = {first.get(), second.get(), third.get()};
  EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(3, all, FALSE, 0));
  EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, all, FALSE, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(3, all, FALSE, 0));
  SetEvent(third.get());
  SetEvent(first.get());
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(3, all, FALSE, 0));
  EXPECT_TRUE(third.IsSet());
}

TEST(Waits, WaitForAllNeedsEveryObjectAndTakesEverySignal) {
  Event manual(true, true);
  Event automatic(false);
  HANDLE both[2] = {manual.get(), automatic.get()};
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, TRUE, 20));
  SetEvent(automatic.get());
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, TRUE, 0));
  EXPECT_TRUE(manual.IsSet());
  EXPECT_FALSE(automatic.IsSet());
}

TEST(Waits, TimeOutComesNoEarlierThanAsked) {
  Event event(true);
  const auto start = Clock::now();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.get(), 60));
  EXPECT_GE(MsSince(start), 60);
  HANDLE both[2] = {event.get(), event.get()};
  const auto again = Clock::now();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, FALSE, 40));
  EXPECT_GE(MsSince(again), 40);
}

TEST(Waits, InfiniteWaitEndsWhenAnotherThreadSets) {
  Event event(false);
  std::atomic<bool> set{false};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    set = true;
    SetEvent(event.get());
  });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), INFINITE));
  EXPECT_TRUE(set.load());
  setter.join();
}

TEST(Waits, BadHandlesFailTheWaitWhateverElseIsSignalled) {
  Event event(true, true);
  SetLastError(0);
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(reinterpret_cast<HANDLE>(0x7FFF0), INFINITE));
  EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, GetLastError());
  HANDLE mixed[2] = {event.get(), nullptr};
  EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, mixed, FALSE, INFINITE));
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(INVALID_HANDLE_VALUE, 0));
  EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(0, mixed, FALSE, 0));
  EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, GetLastError());
  EXPECT_TRUE(event.IsSet());
}

TEST(Events, ManyLiveAtOnceAreEachFoundUntilClosed) {
  // Enough for the table to grow several times; closed in a scattered order.
  const int kCount = 1000;
  std::vector<HANDLE> events;
  for (int i = 0; i < kCount; ++i) events.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  std::vector<bool> open(kCount, true);
  for (int i = 0; i < kCount; ++i) {
    const int victim = (i * 7) % kCount;
    if (victim % 3 == 0) continue;
    ASSERT_TRUE(CloseHandle(events[victim]));
    open[victim] = false;
  }
  for (int i = 0; i < kCount; ++i) {
    SetLastError(0);
    EXPECT_EQ(open[i] ? TRUE : FALSE, SetEvent(events[i])) << i;
    if (open[i]) {
      EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(events[i], 0)) << i;
      EXPECT_TRUE(CloseHandle(events[i]));
    } else {
      EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, GetLastError()) << i;
    }
  }
}

TEST(Waits, SignalAndWaitSignalsFirst) {
  Event ready(true);
  Event go(false);
  std::thread other([&] {
    if (WaitForSingleObject(ready.get(), 5000) == WAIT_OBJECT_0) SetEvent(go.get());
  });
  EXPECT_EQ(WAIT_OBJECT_0, SignalObjectAndWait(ready.get(), go.get(), 5000, FALSE));
  other.join();
  EXPECT_EQ(WAIT_FAILED, SignalObjectAndWait(nullptr, go.get(), 0, FALSE));
}

TEST(Messages, ThereAreNone) {
  MSG message = {};
  EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(0, DispatchMessageA(&message));
}

}  // namespace
