// Threads of the POSIX layer: suspension, their handles' signal at the end,
// their ids, priorities, APCs in alertable waits, and the last error.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

bool TaskExists(DWORD threadId) {
  return access(("/proc/self/task/" + std::to_string(threadId)).c_str(), F_OK) == 0;
}

struct Flags {
  std::atomic<bool> ran{false};
  std::atomic<bool> passedTheWait{false};
  std::atomic<DWORD> waitResult{0};
  std::atomic<DWORD> firstResult{0};
  std::atomic<int> callsAfterFirstWait{-1};
  std::atomic<pid_t> apcThread{0};
  std::atomic<int> apcCalls{0};
  HANDLE ready = nullptr;  // set by the thread before its wait
  HANDLE never = nullptr;  // never set
};

DWORD WINAPI SetRan(LPVOID argument) {
  static_cast<Flags*>(argument)->ran = true;
  return 0;
}

DWORD WINAPI WaitAlertably(LPVOID argument) {
  Flags& flags = *static_cast<Flags*>(argument);
  flags.waitResult = SignalObjectAndWait(flags.ready, flags.never, INFINITE, TRUE);
  flags.passedTheWait = true;
  return 0;
}

DWORD WINAPI WaitWithoutAlerts(LPVOID argument) {
  Flags& flags = *static_cast<Flags*>(argument);
  SetEvent(flags.ready);
  flags.firstResult = WaitForSingleObject(flags.never, 150);
  flags.callsAfterFirstWait = flags.apcCalls.load();
  flags.waitResult = SignalObjectAndWait(flags.ready, flags.never, INFINITE, TRUE);
  return 0;
}

Flags* apcFlags = nullptr;

void WINAPI NoteApc(ULONG_PTR data) {
  apcFlags->apcThread = gettid();
  apcFlags->apcCalls += static_cast<int>(data);
}

class ThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    flags_.ready = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    flags_.never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    apcFlags = &flags_;
  }
  void TearDown() override {
    CloseHandle(flags_.ready);
    CloseHandle(flags_.never);
    apcFlags = nullptr;
  }

  HANDLE Start(LPTHREAD_START_ROUTINE entry, DWORD flags = 0) {
    return CreateThread(nullptr, 0, entry, &flags_, flags, &threadId_);
  }

  Flags flags_;
  DWORD threadId_ = 0;
};

using Threads = ThreadTest;
using Apcs = ThreadTest;

TEST_F(Threads, CreatedSuspendedRunsOnlyOnceResumed) {
  HANDLE thread = Start(SetRan, CREATE_SUSPENDED);
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 100));
  EXPECT_FALSE(flags_.ran.load());
  EXPECT_EQ(1u, ResumeThread(thread));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
  EXPECT_TRUE(flags_.ran.load());
  EXPECT_EQ(0u, ResumeThread(thread));
  EXPECT_TRUE(CloseHandle(thread));
}

TEST_F(Threads, HandleIsSignalledWhenTheThreadEndsAndTheThreadIsReaped) {
  HANDLE thread = Start(WaitAlertably);
  ASSERT_NE(nullptr, thread);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(flags_.ready, 5000));
  EXPECT_TRUE(TaskExists(threadId_));  // the id is the kernel's
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 50));
  SetEvent(flags_.never);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));  // and stays so
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_FALSE(TaskExists(threadId_));
}

TEST_F(Threads, ThreadWhoseHandleIsClosedRunsToItsEnd) {
  HANDLE thread = Start(WaitAlertably);
  ASSERT_NE(nullptr, thread);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(flags_.ready, 5000));
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(thread, 0));
  SetEvent(flags_.never);
  for (int i = 0; i < 5000 && TaskExists(threadId_); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(flags_.passedTheWait.load());
  EXPECT_FALSE(TaskExists(threadId_));
}

TEST_F(Threads, PriorityIsTakenEvenWithoutThePrivilegeToRaiseIt) {
  HANDLE thread = Start(WaitAlertably);
  ASSERT_NE(nullptr, thread);
  EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST));
  EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_LOWEST));
  EXPECT_FALSE(SetThreadPriority(thread, 7));
  EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, GetLastError());
  SetEvent(flags_.never);
  WaitForSingleObject(thread, 5000);
  CloseHandle(thread);
  EXPECT_FALSE(SetThreadPriority(thread, THREAD_PRIORITY_NORMAL));
  EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, GetLastError());
  EXPECT_EQ(0xFFFFFFFFu, ResumeThread(thread));
}

TEST_F(Threads, LastErrorIsEachThreadsOwn) {
  SetLastError(1234);
  std::atomic<DWORD> seen{99};
  std::thread other([&] {
    seen = GetLastError();
    SetLastError(5678);
  });
  other.join();
  EXPECT_EQ(0u, seen.load());
  EXPECT_EQ(1234u, GetLastError());
}

TEST_F(Apcs, AlertableWaitRunsTheQueuedCallInItsThreadAndReturns) {
  HANDLE thread = Start(WaitAlertably);
  ASSERT_NE(nullptr, thread);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(flags_.ready, 5000));
  EXPECT_EQ(1u, QueueUserAPC(NoteApc, thread, 3));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
  EXPECT_EQ(WAIT_IO_COMPLETION, flags_.waitResult.load());
  EXPECT_EQ(3, flags_.apcCalls.load());
  EXPECT_EQ(static_cast<pid_t>(threadId_), flags_.apcThread.load());
  CloseHandle(thread);
}

TEST_F(Apcs, CallQueuedBeforeTheWaitRunsAsItBegins) {
  HANDLE thread = Start(WaitAlertably, CREATE_SUSPENDED);
  ASSERT_NE(nullptr, thread);
  QueueUserAPC(NoteApc, thread, 1);
  QueueUserAPC(NoteApc, thread, 10);
  ResumeThread(thread);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
  EXPECT_EQ(11, flags_.apcCalls.load());
  EXPECT_EQ(WAIT_IO_COMPLETION, flags_.waitResult.load());
  CloseHandle(thread);
}

TEST_F(Apcs, WaitThatIsNotAlertableLeavesTheCallQueued) {
  HANDLE thread = Start(WaitWithoutAlerts);
  ASSERT_NE(nullptr, thread);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(flags_.ready, 5000));
  QueueUserAPC(NoteApc, thread, 1);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
  EXPECT_EQ(WAIT_TIMEOUT, flags_.firstResult.load());  // its own wait ran its time
  EXPECT_EQ(0, flags_.callsAfterFirstWait.load());
  EXPECT_EQ(1, flags_.apcCalls.load());  // and the alertable one ran the call
  EXPECT_EQ(WAIT_IO_COMPLETION, flags_.waitResult.load());
  CloseHandle(thread);
}

TEST_F(Apcs, CallOfExitThreadEndsTheThreadInItsWait) {
  HANDLE thread = Start(WaitAlertably);
  ASSERT_NE(nullptr, thread);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(flags_.ready, 5000));
  EXPECT_EQ(1u, QueueUserAPC(reinterpret_cast<PAPCFUNC>(reinterpret_cast<void*>(&ExitThread)),
                             thread, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
  EXPECT_FALSE(flags_.passedTheWait.load());
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_FALSE(TaskExists(threadId_));
}

TEST_F(Apcs, NoCallIsQueuedToAThreadThatHasEnded) {
  HANDLE thread = Start(SetRan);
  ASSERT_NE(nullptr, thread);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
  EXPECT_EQ(0u, QueueUserAPC(NoteApc, thread, 1));
  CloseHandle(thread);
  EXPECT_EQ(0u, QueueUserAPC(NoteApc, thread, 1));
  EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, GetLastError());
  EXPECT_EQ(0, flags_.apcCalls.load());
}

}  // namespace
