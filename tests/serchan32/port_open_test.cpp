// Opening a port: the device path, every failing step, the watcher's start.
#include <string>

#include "tests/support/port_fixture.h"

namespace {

struct OpenFailure {
  Call call;
  const char* api;
  bool handleOpened;  // CreateFile had succeeded, so close must release it
};

class OpenFailureTest : public PortTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailureTest, YieldsNotOpenReportsTheCallAndLeavesNothingOpen) {
  const OpenFailure& failure = GetParam();
  device_.Fail(failure.call, 1234, 1);

  EXPECT_EQ(kPortNotOpen, Open());

  auto errors = device_.ApiErrors();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ(failure.api, errors[0].api);
  EXPECT_EQ("COM5", errors[0].port);
  EXPECT_EQ(1234u, errors[0].code);
  EXPECT_EQ(INVALID_HANDLE_VALUE, port_->handle);
  EXPECT_EQ(nullptr, port_->watcherThread);
  EXPECT_STREQ("????", port_->portName);
  EXPECT_EQ(0, device_.Count("CreateThread"));
  EXPECT_EQ(failure.handleOpened ? 1 : 0, device_.Count("CloseHandle"));
  EXPECT_EQ(0, device_.Count("SetCommState"));
}

INSTANTIATE_TEST_SUITE_P(EachStep, OpenFailureTest,
                         ::testing::Values(OpenFailure{Call::CreateFile, "CreateFile", false},
                                           OpenFailure{Call::SetupComm, "SetupComm", true},
                                           OpenFailure{Call::PurgeComm, "PurgeComm", true},
                                           OpenFailure{Call::GetCommState, "GetCommState", true},
                                           OpenFailure{Call::SetCommMask, "SetCommMask", true}));

TEST_F(PortTest, OpensExclusivelyForOverlappedIoAndSetsUpTheDriver) {
  ASSERT_EQ(kPortOk, Open());
  EXPECT_EQ("\\\\.\\COM5", device_.OpenedPath());
  // Share mode 0 and the overlapped flag, as the scripted device records them.
  EXPECT_EQ(std::vector<DWORD>{FILE_FLAG_OVERLAPPED}, device_.Arguments("CreateFile"));
  EXPECT_EQ(std::vector<DWORD>{4096}, device_.Arguments("SetupComm"));
  EXPECT_EQ(std::vector<DWORD>{15}, device_.Arguments("PurgeComm"));
  EXPECT_EQ(std::vector<DWORD>({EV_ERR, EV_ERR}), device_.Arguments("SetCommMask"));
  EXPECT_EQ(std::vector<DWORD>{CREATE_SUSPENDED}, device_.Arguments("CreateThread"));
  EXPECT_EQ(std::vector<DWORD>{THREAD_PRIORITY_HIGHEST}, device_.Arguments("SetThreadPriority"));
  EXPECT_TRUE(device_.WaitUntilEventPending());
  EXPECT_TRUE(device_.ApiErrors().empty());
  EXPECT_EQ(kPortAlreadyOpen, OpenPort(*port_));
}

TEST_F(PortTest, PortNumberWrapsIntoComOneTo256) {
  ASSERT_EQ(kPortOk, Construct(Settings(0, 9600)));
  EXPECT_EQ("\\\\.\\COM256", device_.OpenedPath());
  port_.reset();
  ASSERT_EQ(kPortOk, Construct(Settings(257, 9600)));
  EXPECT_EQ("\\\\.\\COM1", device_.OpenedPath());
  EXPECT_STREQ("COM1", port_->portName);
}

TEST_F(PortTest, OpenClearsTheCounters) {
  ASSERT_EQ(kPortOk, Open());
  port_->counters[kBytesSent] = 7;
  port_->counters[kModeErrors] = 3;
  ClosePort(*port_);
  EXPECT_EQ(7u, port_->counters[kBytesSent]);  // close keeps them for the report
  lstrcpyA(port_->portName, "COM5");
  ASSERT_EQ(kPortOk, OpenPort(*port_));
  for (DWORD counter : port_->counters) EXPECT_EQ(0u, counter);
}

TEST_F(PortTest, FailedWatcherCreationIsReportedAndThePortStillWorks) {
  device_.Fail(Call::CreateThread, 8, 1);
  ASSERT_EQ(kPortOk, Open());
  auto errors = device_.ApiErrors();
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ("CreateThread", errors[0].api);
  EXPECT_EQ(8u, errors[0].code);
  EXPECT_EQ(nullptr, port_->watcherThread);
  EXPECT_STREQ("9600 8,N,1 DTR-DSR=OFF CTS-RTS=OFF", port_->description);
  EXPECT_EQ(kPortOk, PurgePort(*port_));
  EXPECT_EQ(kPortOk, ClosePort(*port_));
  EXPECT_EQ(1, device_.Count("CloseHandle"));
}

TEST_F(PortTest, FailedPriorityIsReportedAndTheWatcherRuns) {
  device_.Fail(Call::SetThreadPriority, 5, 1);
  ASSERT_EQ(kPortOk, Open());
  auto errors = device_.ApiErrors();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ("SetThreadPriority", errors[0].api);
  EXPECT_TRUE(device_.WaitUntilEventPending());
  EXPECT_EQ(kPortOk, ClosePort(*port_));
}

TEST_F(PortTest, FailedResumeIsReportedAndCloseDoesNotWaitForTheWatcher) {
  device_.Fail(Call::ResumeThread, 5, 1);
  ASSERT_EQ(kPortOk, Open());
  auto errors = device_.ApiErrors();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ("ResumeThread", errors[0].api);
  EXPECT_EQ(nullptr, port_->watcherThread);
  EXPECT_EQ(0, device_.Count("WaitCommEvent"));
  EXPECT_EQ(kPortOk, ClosePort(*port_));
  EXPECT_EQ(1, device_.Count("CloseHandle"));
}

}  // namespace
