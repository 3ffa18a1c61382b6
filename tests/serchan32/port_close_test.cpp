// Closing and destroying a port.
#include <algorithm>
#include <atomic>
#include <string>

#include "tests/support/port_fixture.h"
#include "tests/support/test_platform.h"

namespace {

// Whether the mask change ends the watcher's pending wait at once (Windows)
// or leaves its end for later (Wine), the wait is over before the device is
// closed and the port's OVERLAPPED freed.
TEST_F(PortTest, CloseStopsTheWatcherDropsDtrPurgesAndReleasesTheDevice) {
  for (bool waitEndsLater : {false, true}) {
    SCOPED_TRACE(waitEndsLater ? "the wait ends later" : "the mask change ends the wait");
    device_.SetMaskChangeLeavesWaitPending(waitEndsLater);
    ASSERT_EQ(kPortOk, Open());
    ASSERT_TRUE(device_.WaitUntilEventPending());
    ThreadWatch watcher(port_->watcherThread, port_->watcherThreadId);
    const size_t before = device_.Log().size();

    EXPECT_EQ(kPortOk, ClosePort(*port_));

    EXPECT_TRUE(watcher.Ended(5000));
    EXPECT_EQ(nullptr, port_->watcherThread);
    EXPECT_EQ(INVALID_HANDLE_VALUE, port_->handle);
    EXPECT_STREQ("????", port_->portName);
    EXPECT_EQ(1, port_->stopRequested.load());
    EXPECT_TRUE(device_.ApiErrors().empty());  // the watcher left without a hook call
    std::vector<std::string> log = device_.Log();
    std::vector<std::string> closing(log.begin() + before, log.end());
    // The watcher may restart its wait on the empty mask before it sees the stop.
    closing.erase(std::remove(closing.begin(), closing.end(), "WaitResult 0"), closing.end());
    closing.erase(std::remove(closing.begin(), closing.end(), "WaitCommEvent 0"), closing.end());
    EXPECT_EQ(std::vector<std::string>({"SetCommMask 0", "CancelIoEx 0", "EscapeCommFunction 6",
                                        "PurgeComm 15", "CloseHandle 0"}),
              closing);
    port_.reset();
  }
}

// A wait the watcher begins just after close's SetCommMask(0) has seen no
// mask change; under Wine nothing but another would ever end it.
TEST_F(PortTest, CloseEndsAWaitThatBeganAfterItsMaskChange) {
  device_.SetMaskChangeLeavesWaitPending(true);
  ASSERT_EQ(kPortOk, Open());
  ASSERT_TRUE(device_.WaitUntilEventPending());
  const int masks = device_.Count("SetCommMask");
  std::atomic<bool> held{false};
  device_.BeforeNextCall(Call::WaitCommEvent, [&] {
    held = true;
    ScriptedDevice::WaitUntil([&] { return device_.Count("SetCommMask") > masks; });
  });
  device_.FireCommEvent(EV_ERR);
  ASSERT_TRUE(ScriptedDevice::WaitUntil([&] { return held.load(); }));
  ThreadWatch watcher(port_->watcherThread, port_->watcherThreadId);

  EXPECT_EQ(kPortOk, ClosePort(*port_));

  EXPECT_TRUE(watcher.Ended(5000));
  const std::vector<DWORD> set = device_.Arguments("SetCommMask");
  EXPECT_EQ(std::vector<DWORD>({0, 0}), std::vector<DWORD>(set.begin() + masks, set.end()));
  EXPECT_EQ(1, device_.Count("CloseHandle"));
}

TEST_F(PortTest, SecondCloseOnlyRenames) {
  ASSERT_EQ(kPortOk, Open());
  ClosePort(*port_);
  const size_t calls = device_.Log().size();
  lstrcpyA(port_->portName, "X");
  EXPECT_EQ(kPortOk, ClosePort(*port_));
  EXPECT_EQ(calls, device_.Log().size());
  EXPECT_STREQ("????", port_->portName);
  EXPECT_EQ(1u, device_.CloseReports().size());
}

TEST_F(PortTest, CloseBuildsTheReportFromTheCountersAndKeepsThem) {
  ASSERT_EQ(kPortOk, Open());
  port_->counters[kBytesSent] = 120;
  port_->counters[kBytesReceived] = 87;
  ClosePort(*port_);
  auto reports = device_.CloseReports();
  ASSERT_EQ(1u, reports.size());
  EXPECT_NE(std::string::npos, reports[0].find(" = 120\n"));
  EXPECT_NE(std::string::npos, reports[0].find(" = 87\n"));
  EXPECT_EQ(120u, port_->counters[kBytesSent]);
}

TEST_F(PortTest, DestructionAfterAFailedOpenSucceeds) {
  device_.Fail(Call::CreateFile, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(kPortNotOpen, Open());
  port_.reset();
  EXPECT_EQ(0, device_.Count("CloseHandle"));
  EXPECT_TRUE(device_.CloseReports().empty());
}

TEST_F(PortTest, DestructionClosesAnOpenPortAndReleasesEveryHandle) {
  ASSERT_EQ(kPortOk, Open());
  ASSERT_TRUE(device_.WaitUntilEventPending());
  const CommPort& p = *port_;
  const HANDLE owned[] = {p.stopEvent,
                          p.breakEvent,
                          p.rlsdChangedEvent,
                          p.dsrChangedEvent,
                          p.lineErrorEvent,
                          p.writeOverlapped.hEvent,
                          p.readOverlapped.hEvent,
                          p.waitOverlapped.hEvent,
                          p.watcherStartedEvent,
                          p.watcherDoneEvent,
                          p.watcherReleaseEvent,
                          p.watcherThread};
  port_.reset();
  EXPECT_EQ(std::vector<DWORD>{CLRDTR}, device_.Arguments("EscapeCommFunction"));
  EXPECT_EQ(1, device_.Count("CloseHandle"));
  for (HANDLE handle : owned) EXPECT_FALSE(HandleIsOpen(handle)) << handle;
}

TEST_F(PortTest, CloseAfterAFailedConfigureStopsTheRunningWatcher) {
  device_.Fail(Call::SetCommState, 87, 1);
  ASSERT_EQ(kPortCallFailed, Open());
  ASSERT_TRUE(device_.WaitUntilEventPending());
  port_.reset();
  EXPECT_EQ(1, device_.Count("CloseHandle"));
  EXPECT_EQ(1u, device_.ApiErrors().size());
}

}  // namespace
