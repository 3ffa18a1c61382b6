// Unloading serchan32.dll with channels left open: the unload closes them and
// returns, their watcher threads end, and the next load opens the same ports.
#include <gtest/gtest.h>
// clang-format off
#include "platform/platform.h"
#include <tlhelp32.h>
// clang-format on

#include "tests/support/far_end.h"

namespace {

using OpenChannel = int(__cdecl*)(unsigned, unsigned, int*);

int ThreadsOfThisProcess() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

// Waits until the process has `count` threads again; true when it has.
bool ThreadsBackTo(int count) {
  for (int waited = 0; waited < 5000; waited += 10) {
    if (ThreadsOfThisProcess() <= count) return true;
    Sleep(10);
  }
  return false;
}

// One cycle: under Wine 8 a program that loads the library again after its
// threads have ended can stall in Wine's own loader, with or without channels
// left open, so repeated cycles are not tried here.
TEST(LineUnloadTest, UnloadWithOpenChannelsClosesThemAndReturns) {
  FarEnd first(20);
  FarEnd second(21);
  ASSERT_TRUE(first.IsOpen() && second.IsOpen());
  const int threads = ThreadsOfThisProcess();
  HMODULE library = LoadLibraryA("serchan32.dll");
  ASSERT_NE(nullptr, library);
  auto open = reinterpret_cast<OpenChannel>(
      reinterpret_cast<void*>(GetProcAddress(library, "XRT_M_Comm_OpenChannel")));
  ASSERT_NE(nullptr, open);
  int index = -1;
  ASSERT_EQ(0, open(20, 9600, &index));
  EXPECT_EQ(0, index);
  ASSERT_EQ(0, open(21, 9600, &index));
  EXPECT_EQ(1, index);
  EXPECT_EQ(kLineDtr, first.HostLines() & kLineDtr);
  EXPECT_GT(ThreadsOfThisProcess(), threads);
  ASSERT_TRUE(FreeLibrary(library));
  EXPECT_EQ(0u, first.HostLines() & kLineDtr);
  EXPECT_EQ(0u, second.HostLines() & kLineDtr);
  EXPECT_TRUE(ThreadsBackTo(threads));  // the watchers end once the loader lets them
}

}  // namespace
